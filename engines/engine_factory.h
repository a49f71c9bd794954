// Which engine serves a source: the start of the volume is classified by the file-system registry and the
// engine for that file system and the scan depth asked for is made and opened on it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "catalog/file_recovery_parse.h"
#include "catalog/saved_scan_store.h"
#include "engines/deep_scan_control.h"
#include "engines/file_system_registry.h"
#include "os/byte_reader.h"
#include "storage/disk_list.h"

namespace snapsave {

// A deep scan always gets the deep engine; a quick scan gets the file system's quick engine, or nothing for a
// volume no file system recognises. Null also when the source cannot be opened or is shorter than the probe.
// The engines keep their catalogues and saved positions in `store`, which must outlive them.
std::unique_ptr<IFileRecoveryParse> CreateScanEngine(SavedScanStore& store, const VolumeSource& source,
                                                     bool deep);

// An image file as the user is offered it: a single volume, or a whole disk (registered in os::DiskTable)
// whose volumes and free stretches are listed as a physical disk's, numbered from 1.
struct ImageDisk {
  int32_t diskNumber = -1;  // -1: the image is one volume
  std::vector<VolumeInfo> entries;
};
// A partition table makes the image a disk, unless a file system starts at its first sector (a volume's
// boot sector can pass for a table). 0, or the Win32 error of reading the image.
uint32_t ReadImageDisk(const std::filesystem::path& image, ImageDisk& out);

// The deep-scan control of an engine the factory made for a deep scan; null for any other engine.
DeepScanControl* DeepControlOf(IFileRecoveryParse& engine);

}  // namespace snapsave
