// CFastXfsRecovery: the quick engine of an XFS volume. Walks the folder tree from the root inode through
// every folder form (kept in the inode, one block, data blocks found through the extent list or the block-map
// B-tree) and lists the files and folders that exist, read through their own extents. A freed inode keeps
// nothing of its file, but the log may still hold an earlier copy of its folder, naming it, and of the inode,
// mapping it: such files are listed as deleted, read through the copy. The allocation groups' free-space
// B-trees give the deep scan the free blocks, so that its pass carves only there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "catalog/found_file_catalogue.h"
#include "catalog/volume_engine.h"
#include "fs/xfs/xfs_log.h"
#include "fs/xfs/xfs_structures.h"

namespace snapsave {

class CFastXfsRecovery final : public VolumeEngine {
 public:
  explicit CFastXfsRecovery(SavedScanStore& store) : VolumeEngine(store) {}

  int32_t Scan(std::string_view logName) override;
  // The free runs the free-space B-trees give; 0 (carve the whole volume) without them.
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  int32_t BuildAllocationMap() override;

  const std::optional<XfsGeometry>& Geometry() const { return geometry_; }
  // The inode `number`; nothing when it cannot be read or is none.
  std::optional<XfsInode> ReadInode(uint64_t number);
  // A fork's extents in file order: its list, or the leaves of its B-tree (bounded: a B-tree that loops or
  // names blocks off the volume gives what was read before).
  std::vector<XfsExtent> ExtentsOf(const XfsInode& inode);

 private:
  struct PendingFolder {
    FoundFileRecord record{};
    uint64_t inode = 0;
    uint32_t parent = 0;
    uint32_t depth = 0;
  };

  uint32_t OpenVolume() override;
  // Bytes of the volume from byte `at`, whatever the sector size.
  bool ReadBytes(uint64_t at, std::span<uint8_t> into);
  // The log's copies, read once; the buffer pieces of the folder blocks the walk met.
  const XfsLogCopies& LogCopies();
  // The newest copy in the log of inode `number` that maps a regular file with data; nothing when none does.
  std::optional<XfsInode> LoggedFile(uint64_t number);
  // Files and folders the log's copies of folders name that the folders no longer hold (below deleted folders
  // too, where the log kept theirs); then files whose inode the log mapped, now free, that no name led to: in
  // "LostFolders" by inode number.
  void ListDeletedFromLog();
  bool AnyBlockInUse(const std::vector<XfsExtent>& extents) const;
  bool ReadBlocks(uint64_t volumeBlock, uint64_t count, std::span<uint8_t> into);
  void ReadFolder(const PendingFolder& folder);
  FoundFileRecord MakeRecord(const std::string& name, uint64_t number, const XfsInode& inode);
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;
  std::optional<uint32_t> RootFolderRef() const override {
    return geometry_ ? std::optional<uint32_t>(static_cast<uint32_t>(geometry_->rootInode)) : std::nullopt;
  }

  std::optional<XfsGeometry> geometry_;
  FolderWalk<uint64_t, PendingFolder> walk_;             // by inode
  std::vector<std::pair<uint64_t, uint64_t>> freeRuns_;  // volume blocks: first, count; sorted
  bool freeKnown_ = false;
  // What the walk met: each live folder's depth and names, the sectors of their data blocks, every inode.
  std::unordered_map<uint64_t, uint32_t> folderDepth_;
  std::unordered_map<uint64_t, std::unordered_set<std::string>> folderNames_;
  std::unordered_map<uint64_t, uint64_t> folderBlockOf_;  // sector of a data block -> its folder
  // The same for the blocks the log's copies of folders mapped, where the walk did not meet them.
  std::unordered_map<uint64_t, uint64_t> loggedFolderBlockOf_;
  std::unordered_set<uint64_t> liveInodes_;
  std::optional<XfsLogCopies> log_;
  std::optional<PendingFolder> lostFolder_;
  std::vector<PendingFolder> deletedFolders_;  // named by the log's copies of their folders
};

}  // namespace snapsave
