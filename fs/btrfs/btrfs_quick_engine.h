// CFastBtrfsRecovery: the quick engine of a Btrfs volume on one device. Logical bytes are mapped through the
// chunk array and chunk tree; the root tree gives the file trees (the main one and every subvolume), whose
// folder entries, inodes and file extents list what exists. Deleting a file rewrites the leaves that held it
// elsewhere (copy on write), so the old leaves stay in the metadata chunks' free space until reused: every
// tree block there that the volume wrote is read, and the files whose inodes only old leaves still hold are
// listed as deleted, by the names their inode references give, with their newest extents. The extent tree
// gives the blocks in use; the deep scan carves only the others.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalog/found_file_catalogue.h"
#include "catalog/volume_engine.h"
#include "fs/btrfs/btrfs_structures.h"

namespace snapsave {

// The volume's superblock, or where it does not hold, the first of its copies that does; nothing for none.
std::optional<BtrfsSuperblock> ReadBtrfsSuperblock(const SectorReader& reader, uint64_t volumeStart,
                                                   uint64_t volumeSectors, uint32_t sectorSize);

class CFastBtrfsRecovery final : public VolumeEngine {
 public:
  explicit CFastBtrfsRecovery(SavedScanStore& store) : VolumeEngine(store) {}

  int32_t Scan(std::string_view logName) override;
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  int32_t BuildAllocationMap() override;

  const std::optional<BtrfsSuperblock>& Superblock() const { return super_; }
  const BtrfsChunkMap& Chunks() const { return chunks_; }

  // A file: which tree, which inode (records keep both in entryLocation).
  struct FileId {
    uint64_t tree = 0;
    uint64_t inode = 0;
    auto operator<=>(const FileId&) const = default;
  };

 private:
  struct FileIdHash {
    size_t operator()(const FileId& f) const {
      return std::hash<uint64_t>()(f.tree * 0x9E3779B97F4A7C15ull ^ f.inode);
    }
  };
  struct Known {
    BtrfsInode inode;
    uint64_t generation = 0;   // of the leaf it came from
    uint64_t firstSector = 0;  // volume sector of its first data (of its leaf, inline)
    uint64_t mappedEnd = 0;    // file bytes its extents reach
    uint64_t stored = 0;       // file bytes its extents hold, holes and preallocated ones left out
  };
  struct Entry {
    FileId folder;
    FileId child;
    bool subvolume = false;
    std::string name;
  };
  struct OldName {
    uint64_t generation = 0;
    uint64_t folder = 0;
    std::string name;
  };
  // By file offset, the versions the old leaves hold: leaf generation and item, newest first.
  using Extents = std::map<uint64_t, std::vector<std::pair<uint64_t, BtrfsFileExtent>>>;

  static void Count(Known& known, const BtrfsFileExtent& e);
  uint32_t OpenVolume() override;
  bool ReadBytes(uint64_t at, std::span<uint8_t> into);
  // Logical bytes, from whichever copy reads.
  bool ReadLogical(uint64_t logical, std::span<uint8_t> into);
  // A tree block the volume wrote at `logical`: its header names that place and this volume, its checksum
  // holds (the next copy is tried where one does not).
  std::optional<std::vector<uint8_t>> ReadTreeBlock(uint64_t logical);
  bool IsOwnBlock(ByteSpan block, uint64_t logical) const;
  // Every leaf item of the tree at `root` whose key lies in [low, high], in key order. A node seen twice, a
  // level not one below its parent's or keys out of order end that branch; false when some of the tree could
  // not be read.
  template <typename Visit>
  bool WalkTree(uint64_t root, uint8_t level, const BtrfsKey& low, const BtrfsKey& high, Visit&& visit);
  // The file trees by number, from the root tree.
  const std::map<uint64_t, BtrfsRootItem>& Trees();
  // What exists (every file tree reached from the main one), then what the old leaves hold: read once.
  void Survey();
  void SurveyTree(uint64_t tree);
  void SurveyOldLeaves();
  void SurveyExtentTree();
  // The extents of a file, in file order: the live tree's, or the newest the old leaves hold.
  std::vector<BtrfsFileExtent> ExtentsOf(const FileId& id, bool deleted);
  bool InUse(const BtrfsFileExtent& e) const;
  // At each offset the newest version whose bytes no file took since, else the newest; in file order.
  std::vector<BtrfsFileExtent> Newest(const Extents& extents) const;
  uint32_t FolderKey(const FileId& id);
  FoundFileRecord MakeRecord(const std::string& name, const FileId& id, const Known& known);
  void ListDeleted();
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;
  std::optional<uint32_t> RootFolderRef() const override {
    return super_ ? std::optional<uint32_t>(kRootKey) : std::nullopt;
  }

  static constexpr uint32_t kRootKey = 256;

  std::optional<BtrfsSuperblock> super_;
  BtrfsChunkMap chunks_;
  std::optional<std::map<uint64_t, BtrfsRootItem>> trees_;
  bool surveyed_ = false;
  std::unordered_map<FileId, Known, FileIdHash> live_;
  std::vector<Entry> entries_;
  std::map<uint64_t, bool> treesSurveyed_;
  // The old leaves' newest inodes, names and extents of files the live trees no longer hold.
  std::unordered_map<FileId, Known, FileIdHash> old_;
  std::unordered_map<FileId, OldName, FileIdHash> oldNames_;
  std::unordered_map<FileId, Extents, FileIdHash> oldExtents_;
  // Logical runs in use, from the extent tree: first, count; sorted, merged.
  std::vector<std::pair<uint64_t, uint64_t>> used_;
  bool usedKnown_ = false;
  std::vector<std::pair<uint64_t, uint64_t>> freeRuns_;  // volume sectors: first, count; sorted
  bool freeKnown_ = false;
  std::unordered_map<FileId, uint32_t, FileIdHash> folderKeys_;
  std::unordered_map<FileId, uint32_t, FileIdHash> liveFolderDepth_;  // of the folders the listing reached
};

}  // namespace snapsave
