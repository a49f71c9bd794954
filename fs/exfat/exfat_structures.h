// exFAT on-disk structures: the boot region, the geometry an engine keeps for a scan, and directory entry
// sets (a file entry, its stream extension and its name entries), live or deleted. Pure parsers over bounded
// spans.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "os/byte_reader.h"

namespace snapsave {

inline constexpr size_t kExfatEntrySize = 32;

namespace exfat_entry {
inline constexpr uint8_t kEndOfDirectory = 0x00;
inline constexpr uint8_t kInUse = 0x80;  // cleared in a deleted entry
inline constexpr uint8_t kBitmap = 0x81;
inline constexpr uint8_t kUpcase = 0x82;
inline constexpr uint8_t kVolumeLabel = 0x83;
inline constexpr uint8_t kFile = 0x85;
inline constexpr uint8_t kStream = 0xC0;
inline constexpr uint8_t kName = 0xC1;
}  // namespace exfat_entry

inline constexpr uint16_t kExfatDirectoryAttribute = 0x10;

// True for a main boot sector: the name "EXFAT   ", the zero field where FAT keeps its parameters, the
// signature and sector and cluster shifts in range. The boot checksum is checked by the caller where the
// sectors after it can be read (BootRegionChecksum).
bool IsExfatBootSector(ByteSpan boot);

// The checksum of the first eleven sectors of a boot region (`region` holds them, each `sectorSize` bytes),
// which the twelfth sector repeats; the volume flags and the percentage in use are left out as they change.
uint32_t BootRegionChecksum(ByteSpan region, uint32_t sectorSize);
// True when `checksumSector` repeats `checksum` in every one of its 32-bit words.
bool ChecksumSectorHolds(ByteSpan checksumSector, uint32_t checksum);

// The detection test of the engine factory: a main boot sector whose region checksum holds where `probe`
// holds the whole region (twelve sectors of its size).
bool IsExfatVolume(ByteSpan probe);

struct ExfatGeometry {
  uint32_t sectorSize = 512;
  uint32_t sectorsPerCluster = 0;
  uint32_t clusterBytes = 0;
  uint64_t volumeStart = 0;    // absolute sector
  uint64_t volumeSectors = 0;  // as the boot sector states it, bounded by the medium
  uint32_t fatStart = 0;       // volume-relative sectors
  uint32_t fatSectors = 0;
  uint32_t heapStart = 0;  // volume-relative sector of cluster 2
  uint32_t clusterCount = 0;
  uint32_t rootCluster = 0;
  uint32_t serialNumber = 0;

  uint32_t LastCluster() const { return clusterCount + 1; }
  bool IsDataCluster(uint32_t cluster) const { return cluster >= 2 && cluster <= LastCluster(); }
  // First absolute sector of data cluster n (n >= 2).
  uint64_t ClusterSector(uint32_t cluster) const;
};

// The geometry of a main boot sector, or nullopt where it is none or its regions do not fit in the volume
// (FAT and heap inside it, clusters of at most 32 MiB, the root inside the heap). `mediumSectors` (in the
// boot sector's own sector size; 0 for unknown) bounds the volume.
std::optional<ExfatGeometry> ParseExfatGeometry(ByteSpan boot, uint64_t volumeStart, uint64_t mediumSectors);

// Timestamps: the DOS date and time word pair, the 10 ms increments and the UTC offset of an entry.
struct ExfatTime {
  uint32_t stamp = 0;
  uint8_t tenMs = 0;      // 0..199; values above are ignored
  uint8_t utcOffset = 0;  // bit 7: valid; bits 0..6: signed quarter hours
};
// Windows FILETIME of the local time the stamp records (as FAT times are kept); 0 for no calendar date.
uint64_t ExfatTimeToFileTime(const ExfatTime& t);

// One entry set, as found: the file entry, the stream extension and the name.
struct ExfatEntrySet {
  bool deleted = false;
  uint8_t entryCount = 0;  // the file entry and its secondaries
  uint16_t attributes = 0;
  ExfatTime created, modified, accessed;
  bool noFatChain = false;  // the data is contiguous; the FAT holds nothing for it
  bool allocationPossible = false;
  uint32_t firstCluster = 0;
  uint64_t validDataLength = 0;
  uint64_t dataLength = 0;
  std::string name;  // UTF-8
  uint16_t nameHash = 0;
  bool nameHashHolds = false;  // the hash of the name, up-cased for ASCII letters, matches the stored one

  bool IsDirectory() const { return (attributes & kExfatDirectoryAttribute) != 0; }
};

// The checksum over an entry set's bytes (bytes 2 and 3 of the file entry, which hold it, left out);
// `asLive` counts every entry type with its in-use bit set, as it was when the checksum was written.
uint16_t EntrySetChecksum(ByteSpan set, bool asLive = false);
// The hash of a name of UTF-16 code units already up-cased.
uint16_t NameHash(std::u16string_view upcased);

// A sector (or cluster) whose entries all have exFAT entry types, at least one of them a file entry (live or
// deleted): folder data wherever it lies. Cheap: most sectors fail on their first byte.
bool IsExfatDirectorySector(ByteSpan sector);
// An exFAT boot sector: it ends any file a carver is measuring.
bool IsExfatMetadataSector(ByteSpan sector);

// Parses the entry set that starts at the first entry of `entries` (which may run on past it). A set is
// accepted only whole: a file entry (live or deleted) with 2..18 secondaries of the same state, the stream
// extension first, enough name entries for the name's length, and the set checksum holding. nullopt
// otherwise.
std::optional<ExfatEntrySet> ParseEntrySet(ByteSpan entries);

}  // namespace snapsave
