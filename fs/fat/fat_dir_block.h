// One walk over the entries of a FAT directory block, and what both FAT engines do with an entry they list:
// the record it becomes, the first-cluster probe of a deleted FAT32 entry and the check that a file's first
// sector still holds what its name says.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/found_file_record.h"
#include "fs/fat/fat_dir_entry.h"
#include "os/byte_reader.h"

namespace snapsave {

class SectorReader;

// A short entry that names a file or a folder, with the long name collected before it.
struct DirItem {
  size_t offset = 0;  // of the short entry within the block
  DirEntryView entry;
  std::optional<std::string> longName;
};

// What a long name that needs more pieces than fit does: the quick walk ends the directory there, the deep
// scan, which reads loose blocks, starts the name over.
enum class LongNameOverflow { kEndsDirectory, kStartsOver };

enum class DirBlockEnd {
  kEndMarker,         // an entry starting with 0: nothing follows in this directory
  kLongNameOverflow,  // with kEndsDirectory
  kBlockEnd,          // the block ran out; the directory may go on
};

struct DirBlockWalk {
  DirBlockEnd end = DirBlockEnd::kBlockEnd;
  // With kBlockEnd: where a long name that the block ends inside started (its rest is in the next block).
  std::optional<size_t> openLongName;
};

// Walks the 32-byte entries of `block` in order and hands every short entry that names a file or a folder to
// `visit`: implausible entries are skipped (and break a long name), volume labels and "." / ".." are passed
// over. Reads nothing outside `block`.
DirBlockWalk WalkDirectoryBlock(ByteSpan block, LongNameOverflow overflow,
                                const std::function<void(DirItem&&)>& visit);

// The short names seen in one folder, by their pattern: the name after its first character with the stem's
// digits as '#', the extension as it is. A deleted short name lost its first character; where siblings of the
// same pattern ("DSC_0002.JPG" for "?SC_0001.JPG", "MUSIC002.MID" for "?USIC001.MID") all start with the same
// one, that is the guess.
class SiblingNames {
 public:
  // Patterns kept per folder: a camera folder has a handful, a hostile one no more than this.
  static constexpr size_t kMaxPatterns = 1024;

  // Notes a live short entry; deleted ones have nothing to give. True when its pattern is a new one.
  bool Note(const DirEntryView& e);
  // The lost first character of the deleted entry `e`, upper case as stored; nothing when no sibling of its
  // pattern was seen, or siblings disagree.
  std::optional<char> GuessFirst(const DirEntryView& e) const;
  bool Empty() const { return patterns_.empty(); }

 private:
  // Bit c - 0x20 set for every first character c seen with the pattern.
  std::map<std::array<uint8_t, 10>, std::bitset<96>> patterns_;
};

// The name of a deleted short entry with its first character from `siblings` where they agree; `guessed` says
// whether it was. Live entries and entries with a long name are not the guess's business.
std::string GuessedShortName(const DirEntryView& e, bool isDirectory, const SiblingNames& siblings,
                             bool& guessed);

// The first cluster an entry records: both words on FAT32, the low word elsewhere.
uint32_t EntryCluster(const DirEntryView& e, bool fat32);

// The ".", ".." start of a folder's first block.
bool StartsWithDots(ByteSpan block);

// Where an engine's records come from: the volume as it knows it.
struct FatRecordSource {
  char16_t driveLetter = 0;
  SourceKind kind = SourceKind::kFatQuick;
  uint32_t clusterBytes = 0;
  uint64_t dataStart = 0;    // volume-relative sector of cluster 2
  uint64_t volumeStart = 0;  // absolute sector of the volume
};

// What every record of the volume shares: drive letter, kind, cluster size, data and volume start; intact.
FoundFileRecord MakeVolumeRecord(const FatRecordSource& source);

// The record of a listed entry: name, times, size (0 for a folder), the sector its entry lies in. The first
// cluster (entryRef) is the caller's: it may need the probe.
FoundFileRecord MakeEntryRecord(const FatRecordSource& source, const DirEntryView& e, std::string_view name,
                                uint64_t entrySector, bool isFolder);

// Reads the first sector of `cluster` into `sector`; its absolute sector number, or nullopt where the cluster
// lies outside the volume or no read is left. A sector inside the volume that cannot be read is returned
// empty, with its number.
using ClusterSectorRead =
    std::function<std::optional<uint64_t>(uint32_t cluster, std::vector<uint8_t>& sector)>;

// A deleted FAT32 entry keeps only the low word of its first cluster. The first of (high << 16 | low), high =
// 0, 1, ..., whose first sector starts what the entry names (a folder's dot pair, a file of its extension);
// `low` when none does or nothing could confirm one, but the first that could not be read when there is one
// (on a failing disk, one that cannot be checked is likelier than one found wrong). `source`/`sectorSize`
// serve the type tests that read on.
uint32_t ProbeFirstCluster(uint32_t low, bool isFolder, std::string_view name, const ClusterSectorRead& read,
                           const SectorReader& source, uint32_t sectorSize);

// 1 when the file's first sector starts a file of its extension (or cannot tell: no extension the type
// table knows, an unreadable sector), else 0: the cluster was reused.
uint32_t ContentCheck(uint32_t cluster, std::string_view name, const ClusterSectorRead& read,
                      const SectorReader& source, uint32_t sectorSize);

}  // namespace snapsave
