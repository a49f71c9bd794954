// CFastExtRecovery: the quick engine of an ext2/3/4 volume. Walks the folder tree from the root and lists the
// existing files (marked so), the deleted files by the names left in the slack of their folders' entries,
// and the folders on the way. A
// deleted ext3/ext4 inode has lost its block map; the journal usually still holds an earlier copy of its
// inode-table block, and the newest copy that maps blocks gives the file back. The group bitmaps give the
// deep scan the free blocks, so that its pass carves only where deleted files can be.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/found_file_catalogue.h"
#include "catalog/recovery_output.h"
#include "catalog/volume_engine.h"
#include "fs/ext/ext_structures.h"
#include "fs/ext/ext_superblock.h"
#include "storage/sector_reader.h"

namespace snapsave {

// The geometry of the ext volume at `volumeStart` from its superblock, or where that cannot be read (or is
// damaged), from the copy at the start of group 1. With `copyOnly`, from the copy alone.
std::optional<ExtGeometry> ReadExtSuperblock(const SectorReader& reader, uint64_t volumeStart,
                                             uint64_t volumeSectors, uint32_t sectorSize,
                                             bool copyOnly = false);

class CFastExtRecovery final : public VolumeEngine {
 public:
  explicit CFastExtRecovery(SavedScanStore& store) : VolumeEngine(store) {}

  int32_t Scan(std::string_view logName) override;
  // The free blocks' runs. 0 (nothing answered: carve the whole volume) without a usable map.
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  // 0 when the group descriptors were read, so that free runs can be answered; 1 when they cannot.
  int32_t BuildAllocationMap() override;

  const std::optional<ExtGeometry>& Geometry() const { return geometry_; }
  // File-system blocks the journal holds copies of.
  size_t JournalledBlocks() const { return journal_.size(); }

 private:
  // An inode as found: its content and the block its bytes were read from (the inode table's, or the
  // journal's copy of it).
  struct FoundInode {
    ExtInode inode;
    uint64_t block = 0;
    uint32_t asOf = UINT32_MAX;  // the journal transaction of the copy; UINT32_MAX for the volume's own
    std::vector<ExtRun> runs;    // of a file found deleted, mapped once
  };
  struct PendingFolder {
    FoundFileRecord record{};
    FoundInode found;
    uint32_t inode = 0;
    uint32_t parent = 0;
    uint32_t depth = 0;  // of the folder itself; its children are filed one deeper
    bool deleted = false;
  };
  // A journal copy of a file-system block: where it lies (a file-system block) and its transaction.
  struct JournalCopy {
    uint64_t block = 0;
    uint32_t sequence = 0;
    bool escaped = false;
  };

  // Reads the superblock and the group descriptors; without them the engine only recognises the volume.
  uint32_t OpenVolume() override;
  bool ReadBlock(uint64_t block, std::span<uint8_t> into);
  // Whether block `block` is in use by the group bitmaps. A bitmap that cannot be read, or that the group
  // never initialised, counts as free: carving a used block costs time, skipping a free one loses files.
  bool BlockInUse(uint64_t block);
  // The block holding inode `number` in the inode table, and the byte offset there.
  std::optional<std::pair<uint64_t, uint32_t>> InodePlace(uint32_t number) const;
  // `checksumOk`, when given, says whether the inode carries its metadata checksum (true on a volume
  // without).
  std::optional<ExtInode> InodeIn(uint64_t block, uint32_t number, bool* checksumOk = nullptr);
  // Every descriptor block of the journal, with the blocks whose copies follow it.
  void IndexJournal();
  // The inode a deleted entry named: the current one when it still maps blocks and was not reused, else the
  // newest journal copy older than transaction `before` that maps blocks and was alive, preferring one whose
  // blocks are all free.
  std::optional<FoundInode> DeletedInode(uint32_t number, bool folder, uint32_t before);
  // The inode's runs. A copy from the journal (`asOf` its transaction) reads its extent-tree nodes and
  // indirect blocks as of that transaction too: a deletion empties them on the volume.
  std::vector<ExtRun> RunsOf(const ExtInode& inode, uint32_t asOf = UINT32_MAX);
  // Block `block` as it was in transaction `asOf`: the newest journal copy no newer, else the volume's.
  bool ReadBlockAsOf(uint64_t block, uint32_t asOf, std::span<uint8_t> into);
  void ReadFolder(const PendingFolder& folder);
  // The bytes recovery writes of a file: its size, cut at its last mapped block and at the volume's size.
  uint64_t RecoverableBytes(const ExtInode& inode, const std::vector<ExtRun>& runs) const;
  bool AnyBlockInUse(const std::vector<ExtRun>& runs);
  // The record's size, first sector and integrity from the inode's map or inline bytes.
  void FillData(FoundFileRecord& r, const FoundInode& found);
  // Size and place of a file that exists, mapped by its inode as it is.
  void FillExisting(FoundFileRecord& r, FoundInode& found);
  // A file whose blocks are in use again, or whose first block is not of its type, is not intact.
  void MarkIntegrity(FoundFileRecord& r, const std::vector<ExtRun>& runs);
  // Files whose inode the journal still holds but no name led to: listed in "LostFolders" by inode number,
  // with the extension their first block's type gives.
  void ListNamelessInodes();
  FoundFileRecord MakeRecord(const ExtDirEntry& entry, const FoundInode& found, bool deleted);
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;
  std::optional<uint32_t> RootFolderRef() const override { return kExtRootInode; }

  std::optional<ExtGeometry> geometry_;
  std::vector<ExtGroupDescriptor> groups_;
  std::vector<uint8_t> bitmap_;  // of the group below, empty when it counts as all free
  uint64_t bitmapGroup_ = UINT64_MAX;
  std::unordered_map<uint64_t, std::vector<JournalCopy>> journal_;  // newest first
  std::unordered_map<uint64_t, uint32_t> copySequence_;             // a journal copy's block, its transaction

  FolderWalk<uint32_t, PendingFolder> walk_;  // by inode
  std::vector<PendingFolder> lostFolders_;    // made for the files no name led to
  std::unordered_set<uint32_t> named_;        // inodes some entry named, live or deleted
};

}  // namespace snapsave
