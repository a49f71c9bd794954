// Which engine serves a source: the start of the volume is classified (NTFS, FAT, ext or unknown) and the
// engine for that file system and the scan depth asked for is made and opened on it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "catalog/file_recovery_parse.h"
#include "catalog/saved_scan_store.h"
#include "engines/deep_scan_control.h"
#include "os/byte_reader.h"

namespace snapsave {

enum class VolumeType { kFat = 2, kNtfs = 3, kExt = 4, kUnknown = 5 };

// Bytes the classification reads from the start of a volume.
inline constexpr uint32_t kProbeBytes = 16384;

// The strict boot-sector tests in order: NTFS, then FAT, then an ext superblock at byte 1024.
VolumeType ClassifyVolume(ByteSpan probe);

// A deep scan always gets the deep engine; a quick scan gets the file system's quick engine, or nothing for a
// volume no test recognises. Null also when the source cannot be opened or is shorter than the probe. The
// engines keep their catalogues and saved positions in `store`, which must outlive them.
std::unique_ptr<IFileRecoveryParse> CreateScanEngine(SavedScanStore& store, int32_t diskNumber,
                                                     uint64_t volumeStartSector, uint64_t volumeSectorCount,
                                                     char16_t driveLetter, bool deep);
std::unique_ptr<IFileRecoveryParse> CreateScanEngineForImage(SavedScanStore& store,
                                                             const std::filesystem::path& imagePath,
                                                             char16_t driveLetter, bool deep);

// The deep-scan control of an engine the factory made for a deep scan; null for any other engine.
DeepScanControl* DeepControlOf(IFileRecoveryParse& engine);

}  // namespace snapsave
