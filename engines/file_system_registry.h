// Every file system the engines read, one row each: how its volumes are recognised, which engines read
// them, what its records are, and how it is named. The factory, the deep scan, the merge of what several
// engines found and the front ends read these rows instead of naming file systems.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "catalog/file_recovery_parse.h"
#include "catalog/found_file_record.h"
#include "catalog/saved_scan_store.h"
#include "catalog/volume_engine.h"
#include "os/byte_reader.h"
#include "storage/sector_reader.h"

namespace snapsave {

// Bytes the classification reads from the start of a volume: up to the end of Btrfs's superblock, the
// furthest in.
inline constexpr uint32_t kProbeBytes = 0x11000;
// A volume shorter than this is none a probe can tell; one shorter than kProbeBytes is probed with zeros
// after its end.
inline constexpr uint32_t kMinProbeBytes = 16384;

struct FileSystem {
  std::string_view name;  // "NTFS", "FAT" ...
  // The names a disk listing gives its volumes, each between bars: "|FAT|FAT32|".
  std::string_view listedAs;
  // Whether the first kProbeBytes of a volume are of this file system (a strict test: rows are tried in
  // table order).
  bool (*probe)(ByteSpan start);
  std::unique_ptr<VolumeEngine> (*makeQuick)(SavedScanStore& store);
  // Null when the deep scan has only the carver for this file system.
  std::unique_ptr<DeepVolumeEngine> (*makeDeep)(SavedScanStore& store);
  SourceKind quickKind;
  std::optional<SourceKind> deepKind;
  // Where a record's first data lies, for a file system without a deep engine (the deep engine knows it
  // otherwise): an absolute sector, or nothing.
  std::optional<uint64_t> (*firstDataSector)(const FoundFileRecord& record, uint32_t sectorSize);
  // A sector of its metadata, which ends any file a carver is measuring; null when it has none to tell.
  bool (*metadataSector)(ByteSpan sector);
  // The "found by" texts of its records, by message id.
  std::string_view quickMessageId;
  std::string_view deepMessageId;
  // How many bytes the volume says it spans, from its first kProbeBytes; nothing where they do not say.
  std::optional<uint64_t> (*statedBytes)(ByteSpan start) = nullptr;
  // Whether the copies the volume keeps of its first structures (a backup boot sector or superblock) are of
  // this file system: asked when its first sectors cannot be read. Null when it keeps none the engines read.
  bool (*probeCopies)(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                      uint32_t sectorSize) = nullptr;

  // The bytes the file system counts as free, from its own allocation records (bitmap, table or superblock);
  // nothing where they cannot be read whole.
  std::optional<uint64_t> (*freeBytes)(const SectorReader& reader, uint64_t volumeStart,
                                       uint64_t volumeSectors, uint32_t sectorSize) = nullptr;

  bool IsListedAs(std::string_view listingName) const;
};

// The rows, in the order volumes are probed and the deep scan offers its sectors.
std::span<const FileSystem> FileSystems();

// The file system whose probe accepts the start of a volume; null for none.
const FileSystem* ClassifyVolume(ByteSpan probe);
// The free bytes the volume's file system counts (see FileSystem::freeBytes); nothing when the volume's start
// cannot be read, is of no file system the engines read, or its allocation records cannot be read.
std::optional<uint64_t> VolumeFreeBytes(const SectorReader& reader, uint64_t volumeStart,
                                        uint64_t volumeSectors, uint32_t sectorSize);
// The file system whose copies of its first structures the volume holds; null for none.
const FileSystem* ClassifyVolumeByCopies(const SectorReader& reader, uint64_t volumeStart,
                                         uint64_t volumeSectors, uint32_t sectorSize);
// The file system whose engines make records of `kind`; null for carved records.
const FileSystem* FileSystemOfKind(SourceKind kind);
// Whether a sector is metadata of any file system: the carver's stop test.
bool IsFileSystemMetadata(std::span<const uint8_t> sector);
// Whether a quick engine reads volumes a listing names so.
bool QuickScannableName(std::string_view listingName);

}  // namespace snapsave
