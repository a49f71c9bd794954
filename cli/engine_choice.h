// Which quick engine serves a source: the boot-sector tests in one place, so that each file system adds one
// line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "scan/file_recovery_parse.h"

namespace snapsave::cli {

// Reads the start of the image, picks the engine whose boot-sector test accepts it and opens it. On failure
// returns null and sets `error` (13 when no engine knows the volume).
std::unique_ptr<IFileRecoveryParse> OpenQuickEngineForImage(const std::filesystem::path& image,
                                                            char16_t letter, uint32_t& error);

}  // namespace snapsave::cli
