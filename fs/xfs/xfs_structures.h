// XFS on disk (versions 4 and 5): the superblock, inodes, extent records, the block-map B-tree, folders in
// their short, block and data-block forms, and the free-space B-tree. Every field is big-endian; every parse
// reads a bounded span and refuses what no mkfs.xfs makes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os/byte_reader.h"

namespace snapsave {

struct XfsGeometry {
  uint32_t blockSize = 0;
  uint64_t dataBlocks = 0;
  uint64_t rootInode = 0;
  uint32_t agBlocks = 0;
  uint32_t agCount = 0;
  uint32_t sectorSize = 0;
  uint32_t inodeSize = 0;
  uint8_t blockLog = 0;
  uint8_t agBlockLog = 0;
  uint8_t inodesPerBlockLog = 0;
  uint8_t dirBlockLog = 0;
  bool v5 = false;         // metadata checksums, v3 inodes, self-describing blocks
  bool fileTypes = false;  // folder entries carry a file type byte
  bool nrext64 = false;    // inodes may count their extents in 64 bits
  uint64_t freeBlocks = 0;
  uint64_t logStart = 0;  // file-system block of an internal log; 0 for a log on another device
  uint32_t logBlocks = 0;
  std::string label;

  uint32_t DirBlockSize() const { return blockSize << dirBlockLog; }
  // The volume's block number of a file-system block (allocation group and block within it); nothing when it
  // lies past the volume.
  std::optional<uint64_t> VolumeBlock(uint64_t fsBlock) const;
  // The volume's byte where inode `number` lies; nothing when it lies past the volume.
  std::optional<uint64_t> InodeByte(uint64_t number) const;
  // The volume's block of allocation group `ag`'s block `agBlock`.
  uint64_t AgBlock(uint32_t ag, uint32_t agBlock) const { return uint64_t{ag} * agBlocks + agBlock; }
};

bool IsXfsSuperblock(ByteSpan sector);
std::optional<XfsGeometry> ParseXfsSuperblock(ByteSpan sector);

// A mapping of a fork: `count` blocks from file block `logical` at file-system block `block`.
struct XfsExtent {
  uint64_t logical = 0;
  uint64_t block = 0;
  uint64_t count = 0;
  bool unwritten = false;  // allocated, never written: reads as zeros
};
XfsExtent DecodeXfsExtent(ByteSpan record);

inline constexpr uint8_t kXfsFormatLocal = 1;
inline constexpr uint8_t kXfsFormatExtents = 2;
inline constexpr uint8_t kXfsFormatBtree = 3;

struct XfsInode {
  uint16_t mode = 0;
  uint8_t format = 0;
  uint64_t size = 0;
  uint64_t extentCount = 0;
  // Seconds and nanoseconds since 1970 (negative before).
  int64_t accessTime = 0, writeTime = 0, changeTime = 0, createTime = 0;
  uint32_t accessNs = 0, writeNs = 0, changeNs = 0, createNs = 0;
  std::vector<uint8_t> dataFork;

  bool IsDirectory() const { return (mode & 0xF000) == 0x4000; }
  bool IsRegular() const { return (mode & 0xF000) == 0x8000; }
};
// The inode at the start of `bytes` (inodeSize of them); nothing when it is no inode.
std::optional<XfsInode> ParseXfsInode(ByteSpan bytes, const XfsGeometry& g);

// The extent records of a fork in extents form, as many as the fork holds of `count`.
std::vector<XfsExtent> XfsForkExtents(ByteSpan fork, uint64_t count);

// A block-map B-tree node: its level and, below level 0, its children's file-system blocks; at level 0 its
// extent records. `root` is the copy in the inode's fork; a block is one the B-tree points to.
struct XfsBmapNode {
  uint16_t level = 0;
  std::vector<uint64_t> children;
  std::vector<XfsExtent> extents;
};
std::optional<XfsBmapNode> ParseXfsBmapRoot(ByteSpan fork);
std::optional<XfsBmapNode> ParseXfsBmapBlock(ByteSpan block, const XfsGeometry& g);

struct XfsDirEntry {
  std::string name;
  uint64_t inode = 0;
};
// A folder kept in its inode.
std::vector<XfsDirEntry> ParseXfsShortformDir(ByteSpan fork, const XfsGeometry& g);
// The entries of a folder's data block (the block form or a data block); none for its other blocks.
std::vector<XfsDirEntry> ParseXfsDirBlock(ByteSpan block, const XfsGeometry& g);
// Where a folder's data blocks end: its leaf and free-index blocks lie from this file block on.
uint64_t XfsDirLeafBlock(const XfsGeometry& g);

// A free-space (by block number) B-tree block of an allocation group: free runs at level 0, children
// (blocks of the group) above.
struct XfsFreeNode {
  uint16_t level = 0;
  std::vector<uint32_t> children;
  std::vector<std::pair<uint32_t, uint32_t>> runs;  // first block in the group, blocks
};
std::optional<XfsFreeNode> ParseXfsFreeBlock(ByteSpan block, const XfsGeometry& g);
// The free-space B-tree's root block and levels from an allocation group's AGF sector.
struct XfsAgf {
  uint32_t length = 0;
  uint32_t freeRoot = 0;
  uint32_t freeLevels = 0;
};
std::optional<XfsAgf> ParseXfsAgf(ByteSpan sector, uint32_t ag);

}  // namespace snapsave
