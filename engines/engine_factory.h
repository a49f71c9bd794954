// Which engine serves a source: the start of the volume is classified by the file-system registry and the
// engine for that file system and the scan depth asked for is made and opened on it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "catalog/deep_scan_control.h"
#include "catalog/file_recovery_parse.h"
#include "catalog/saved_scan_store.h"
#include "engines/file_system_registry.h"
#include "os/byte_reader.h"
#include "storage/disk_list.h"

namespace snapsave {

// A deep scan always gets the deep engine; a quick scan gets the file system's quick engine, or nothing for a
// volume no file system recognises. Null also when the source cannot be opened or is shorter than the probe.
// The engines keep their catalogues and saved positions in `store`, which must outlive them.
std::unique_ptr<IFileRecoveryParse> CreateScanEngine(SavedScanStore& store, const VolumeSource& source,
                                                     bool deep);

// The file system that starts at an image file's first sector; null for none or an unreadable image.
const FileSystem* ProbeImageStart(const std::filesystem::path& image);

// What an image of one volume lacks of what its file system says it spans, as a sentence; empty when it
// holds it all (or holds no volume a file system names).
std::string VolumeShortfall(const std::filesystem::path& image);

}  // namespace snapsave
