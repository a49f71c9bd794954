// The found trees of a scan walked for a front end that lists or recovers them whole.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "catalog/file_recovery_parse.h"

namespace snapsave {

// One found item: the record, its folder path in the found tree ("/" for the root, "/photo/" for a carved
// file) and the folder below the destination that a recovery puts it in.
using FoundVisitor = std::function<void(const FoundFileRecord& record, const std::string& path,
                                        const std::filesystem::path& folder)>;

// Every found item, breadth first. Carved files sit in the root and are given the folder of their category.
// A folder is walked once (known by its engine, depth and number: two engines may number different folders
// alike) and no deeper than any real tree. 0, or the error of listing the root.
uint32_t WalkFound(IFileRecoveryParse& engine, const FoundVisitor& visit);

// WalkFound of a deep scan's merged results: what a file-system engine found is visited once, and a carved
// file only where no file-system engine found the same file. Other engines are walked as they are.
uint32_t WalkMerged(IFileRecoveryParse& engine, const FoundVisitor& visit);

}  // namespace snapsave
