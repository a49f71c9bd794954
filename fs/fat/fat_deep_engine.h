// CProfessionalFatRecovery: rebuilds FAT folders and files from directory sectors found anywhere on a disk,
// without trusting the allocation table or even the boot sector. The deep scan hands it folder heads and
// directory blocks in ascending sector order; the engine works out where each block lies in its volume from a
// boot sector or from the positions of folder heads, and lists live and deleted files alike.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/found_file_catalogue.h"
#include "catalog/volume_engine.h"
#include "fs/fat/fat_dir_block.h"
#include "os/byte_reader.h"
#include "storage/sector_reader.h"

namespace snapsave {

// One candidate volume geometry: where cluster 2 lies and how large clusters are.
struct FatVolumeGuess {
  uint32_t sectorsPerCluster = 0;
  uint32_t dataStart = 0;    // sectors from volumeStart to cluster 2
  uint64_t volumeStart = 0;  // absolute sector
  bool fat32 = true;         // false only when a 12/16-bit boot sector said so: high cluster words are 0

  uint64_t DataSector() const { return volumeStart + dataStart; }
  // Absolute first sector of cluster n; cluster 0 is the fixed root region before the data region.
  uint64_t ClusterSector(uint32_t cluster) const;
};

class CProfessionalFatRecovery final : public DeepVolumeEngine {
 public:
  // Bounds that keep memory and time in proportion on a disk full of directory-like data.
  struct Limits {
    size_t guesses = 64;      // every block is tried against each guess
    size_t headWindow = 256;  // recent unplaced heads paired with a new one; keeps inference linear
    size_t pendingHeads = size_t{1} << 20;  // unplaced heads, 16 bytes each
    size_t storedBlocks = size_t{1} << 22;  // unplaced blocks kept as sector numbers, 8 bytes each
    size_t folders = size_t{1} << 18;       // folder entries with their names, a few hundred bytes each
    size_t folderRefs = size_t{1} << 20;    // folders that hold listed files, and their ancestors
    size_t openEnds = size_t{1} << 20;      // full directory clusters whose folder may go on in the next
    uint64_t files = 2'000'000;  // each listed file costs a catalogue record (346 bytes) per 32 bytes read
    uint64_t probeReads = uint64_t{1} << 20;  // sector reads spent on finding lost high cluster words
  };

  // What the bounds turned away, so that a truncated result can be told from a complete one.
  struct Dropped {
    uint64_t pendingHeads = 0;
    uint64_t storedBlocks = 0;
    uint64_t folders = 0;
    uint64_t folderRefs = 0;
    uint64_t files = 0;
  };

  explicit CProfessionalFatRecovery(SavedScanStore& store) : DeepVolumeEngine(store) {}

  // Clears what the last pass gathered, opens a catalogue (a fresh one without a name, else the saved scan
  // of that name) and adds the guess of a FAT boot sector at the volume's first sector, when there is one.
  uint32_t StartPass(std::string_view logName) override;
  // Folder heads (a sector beginning with "." and "..") and other sectors of plausible directory entries.
  bool Claims(ByteSpan sector) const override;
  void Take(std::span<const uint8_t> rest, uint64_t sector) override;
  // Reads the blocks no guess placed during the pass and registers the folders. 0 or the catalogue's error.
  int32_t FinishPass() override;
  std::string_view LogPrefix() const override { return log_prefix::kProFat; }
  // Of either FAT engine's records: cluster 2's sector and the first cluster (the fixed root region for
  // cluster 0).
  std::optional<uint64_t> FirstDataSector(const FoundFileRecord& record) const override;

  // The steps of Take, for tests: a folder head, and any other sector of directory entries.
  void TakeFolderHead(std::span<const uint8_t> block, uint64_t sector);
  void TakeDirectoryBlock(std::span<const uint8_t> block, uint64_t sector);

  const std::vector<FatVolumeGuess>& Guesses() const { return guesses_; }
  const Dropped& DroppedCounts() const { return dropped_; }
  void SetLimits(const Limits& limits) { limits_ = limits; }

 private:
  static constexpr uint32_t kNoGuess = UINT32_MAX;

  // Where a block is read: its guess, the folder it belongs to and the cluster that holds it.
  struct Placement {
    uint32_t guess = kNoGuess;
    uint32_t folder = 0;
    uint32_t cluster = 0;
  };
  struct ClusterContext {
    bool valid = false;
    Placement place;
    uint64_t first = 0;  // first sector of the cluster
    uint64_t span = 0;   // its sectors
  };
  struct PendingHead {
    uint64_t sector = 0;
    uint32_t cluster = 0;
    bool done = false;
  };
  struct FolderEntry {
    std::string name;
    uint64_t creationTime = 0;
    uint64_t accessTime = 0;
    uint64_t writeTime = 0;
    uint64_t entrySector = 0;
    bool deleted = false;
    bool nameGuessed = false;
  };
  // A folder cluster on the way from a listed file to the root. Resolved once, so that every file and
  // folder of one chain agrees on the depths.
  struct FolderRef {
    uint32_t parent = 0;  // meaningful unless parentIsRoot
    uint32_t depth = 0;   // depth of the folder's children; 0 for a root
    uint32_t guess = 0;
    bool parentIsRoot = false;
    bool isRoot = false;  // a root directory of its own (it starts with a volume label)
    bool lost = false;    // cut from a chain that never reaches a root
  };
  // Long-name entries at the end of a block whose short entry has not come yet.
  struct SplitName {
    std::vector<uint8_t> tail;
    uint8_t checksum = 0;
    uint64_t sector = 0;
    Placement place;
  };

  uint32_t OpenVolume() override;
  // Adds the guess of a FAT boot sector at the first sector, when there is one. 0 or the read's error.
  uint32_t ReadBootGuess();
  ByteSpan OneSector(std::span<const uint8_t> block) const;
  uint32_t GuessPlacingHead(uint32_t cluster, uint64_t sector) const;
  uint32_t InferGuess(uint32_t cluster, uint64_t sector);
  void RetryPending(uint32_t guess);
  // Placement at a cluster boundary of some guess (folder continued through an open end) or within the
  // current context; sets the context. With `covering`, a sector inside a cluster is placed too.
  // `block`, when given, is the sector itself: a loose cluster start is then tried as the continuation of
  // a folder left open behind it.
  std::optional<Placement> PlaceBlock(uint64_t sector, bool covering, ByteSpan block = {});
  // The folder of the nearest open end behind `clusterFirst` that `block` may continue (taken from the
  // open ends); nullopt when none.
  std::optional<uint32_t> TakeLooseContinuation(uint32_t guess, uint64_t clusterFirst, ByteSpan block);
  void SetContext(const Placement& place, uint64_t clusterFirst);
  // Reads `data` as entries of `place`; `sectorOf` maps an entry's offset to its sector. The block ends at
  // `lastSector`, which may leave its folder open into the next cluster.
  template <typename SectorOf>
  void ReadEntries(ByteSpan data, const Placement& place, SectorOf&& sectorOf, uint64_t lastSector);
  void ReadPlacedBlock(ByteSpan block, uint64_t sector, const Placement& place);
  // True when `block` at `sector` completes a waiting long name (which it then reads).
  bool CompleteSplitName(ByteSpan block, uint64_t sector);
  void NoteFolder(uint32_t cluster, const FolderEntry& entry);
  void ListFile(ByteSpan entry, std::optional<std::string> longName, const Placement& place,
                uint64_t entrySector, const SiblingNames& siblings);
  // Depth at which the children of `cluster` are filed; nullopt when the table of folders is full.
  std::optional<uint32_t> ResolveFolder(uint32_t cluster, uint32_t guess);
  bool ReadSector(uint64_t sector, std::vector<uint8_t>& out) const;
  // The shared first-cluster probe (within the guess's volume and the probe-read budget) and content check.
  uint32_t ProbeCluster(uint32_t low, bool isFolder, std::string_view name, const FatVolumeGuess& g);
  uint32_t CheckContent(uint32_t cluster, std::string_view name, const FatVolumeGuess& g) const;
  FatRecordSource SourceOf(const FatVolumeGuess& g) const;
  void ReadStoredBlocks();
  void RegisterFolders();
  // No table says where a file goes on: its clusters are taken in plain succession.
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;
  std::optional<uint32_t> RootFolderRef() const override { return 0; }

  Limits limits_;
  Dropped dropped_;

  std::vector<FatVolumeGuess> guesses_;
  uint32_t rootCluster_ = 2;
  std::deque<std::pair<uint32_t, uint64_t>> heads_;  // recent unplaced heads: (cluster, sector)
  std::vector<PendingHead> pending_;
  std::vector<uint64_t> stored_;
  std::unordered_map<uint32_t, FolderEntry> folders_;
  std::unordered_map<uint32_t, FolderRef> refs_;
  std::vector<uint32_t> refOrder_;
  // Folders a resumed scan registered before: registering them again would list them twice.
  std::unordered_set<uint32_t> registered_;
  // A full directory cluster whose folder may go on: in the next cluster, or, once the pass has gone past
  // that without finding more of it, in the next loose cluster of directory entries.
  struct OpenEnd {
    uint32_t guess = 0;
    uint32_t folder = 0;
    uint64_t lastCreation = 0;  // of the cluster's last entry: a folder's later entries are not older
  };
  // Keyed by the first sector of the cluster after the full one; ordered, to find the nearest one behind.
  std::map<uint64_t, OpenEnd> openEnds_;
  std::deque<SplitName> splits_;
  // Short names seen per folder so far, for the lost first letters of deleted ones; all dropped at once when
  // they grow past kMaxSiblingPatterns.
  std::unordered_map<uint32_t, SiblingNames> siblings_;
  size_t siblingPatterns_ = 0;
  ClusterContext context_;
  uint64_t filesListed_ = 0;
  uint64_t probeReads_ = 0;
};

}  // namespace snapsave
