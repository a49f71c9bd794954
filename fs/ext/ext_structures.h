// ext2/3/4 inodes, block maps (extent trees and indirect blocks), directory blocks with the deleted entries
// in their slack, and the jbd2 journal's blocks: pure parsers over bounded spans. Reading blocks is the
// caller's, through a function, so that every walk is bounded here and testable without an image.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/byte_reader.h"

namespace snapsave {

inline constexpr uint32_t kExtRootInode = 2;
inline constexpr uint32_t kExtExtentsFlag = 0x80000;
inline constexpr uint32_t kExtIndexFlag = 0x1000;
inline constexpr uint32_t kExtInlineDataFlag = 0x10000000;

struct ExtInode {
  uint16_t mode = 0;
  uint64_t size = 0;
  uint32_t accessTime = 0;  // Unix seconds
  uint32_t changeTime = 0;
  uint32_t writeTime = 0;
  uint32_t deleteTime = 0;
  uint32_t createTime = 0;  // 0 when the inode has no room for it
  uint16_t links = 0;
  uint32_t flags = 0;
  std::array<uint8_t, 60> block{};  // the block map: extent tree root or block pointers
  // An inline inode's bytes: the 60 of the block map, then the "system.data" attribute's. Empty otherwise.
  std::vector<uint8_t> inlineData;

  bool IsDirectory() const { return (mode & 0xF000) == 0x4000; }
  bool IsRegular() const { return (mode & 0xF000) == 0x8000; }
  bool HasExtents() const { return (flags & kExtExtentsFlag) != 0; }
  bool IsInline() const { return (flags & kExtInlineDataFlag) != 0; }
};

// The inode at the start of `bytes` (`inodeSize` bytes of it, 128 or more).
std::optional<ExtInode> ParseExtInode(ByteSpan bytes, uint32_t inodeSize);

// The CRC-32C of a metadata_csum volume: `seed` carried on, no final inversion.
uint32_t ExtCrc32c(uint32_t seed, ByteSpan bytes);
// The metadata checksum of the inode at the start of `bytes`, numbered `number`; 0 when `bytes` is short.
uint32_t ExtInodeChecksum(ByteSpan bytes, uint32_t inodeSize, uint32_t number, uint32_t volumeSeed);
// Whether the inode at the start of `bytes` carries the checksum of inode `number` under `volumeSeed` (the
// CRC-32C of the volume's UUID, or the superblock's stored seed).
bool ExtInodeChecksumOk(ByteSpan bytes, uint32_t inodeSize, uint32_t number, uint32_t volumeSeed);

// One run of a file: `count` blocks from logical block `logical` at physical block `physical`.
struct ExtRun {
  uint64_t logical = 0;
  uint64_t physical = 0;
  uint64_t count = 0;
};

// Reads block `block` into the span (a block's size); false when it cannot.
using ExtBlockReader = std::function<bool(uint64_t block, std::span<uint8_t> into)>;

struct ExtMapLimits {
  uint64_t blocksCount = 0;  // physical blocks must lie below
  uint64_t fileBlocks = 0;   // logical blocks the size covers: runs are cut there
  size_t maxRuns = 1 << 20;
  size_t maxNodes = 1 << 16;  // extent-tree nodes or indirect blocks read
};

// The runs of `inode` in logical order, through its extent tree or its block pointers; holes are left out,
// uninitialised extents included. Empty when the map is gone (a deleted ext3/ext4 inode) or inline.
std::vector<ExtRun> MapExtInode(const ExtInode& inode, uint32_t blockSize, const ExtMapLimits& limits,
                                const ExtBlockReader& read);

struct ExtDirEntry {
  uint32_t inode = 0;
  uint8_t fileType = 0;  // 2 folder, 1 file, 0 unknown
  std::string name;
  bool deleted = false;  // found in another entry's slack, or an emptied first entry
};

// The entries of one directory block, the deleted ones in each entry's slack included; "." and ".." and
// checksum tails left out. `indexRoot` skips the slack of the first block of a hashed folder (its index).
std::vector<ExtDirEntry> ParseExtDirBlock(ByteSpan block, uint32_t inodesCount, bool indexRoot);

// The entries of an inline folder: its parent's inode number, then entries in the block map's 56 bytes and in
// the attribute's; deleted ones in their slack as in a block.
std::vector<ExtDirEntry> ParseExtInlineDir(const ExtInode& folder, uint32_t inodesCount);

// The jbd2 journal (big-endian throughout).
struct JournalSuperblock {
  uint32_t blockSize = 0;
  uint32_t maxLength = 0;  // blocks of the journal
  uint32_t first = 0;      // first block of the log
  uint32_t incompat = 0;
  uint32_t TagBytes() const;
};
std::optional<JournalSuperblock> ParseJournalSuperblock(ByteSpan block);

// A tag of a descriptor block: the file-system block whose copy follows in the log.
struct JournalTag {
  uint64_t block = 0;
  bool escaped = false;  // the copy's first four bytes were the journal's magic, stored as zeros
};
// The journal's block type and sequence at the start of a log block: nothing when it is not one.
struct JournalHeader {
  uint32_t type = 0;  // 1 descriptor, 2 commit, 3/4 superblock, 5 revoke
  uint32_t sequence = 0;
};
std::optional<JournalHeader> ParseJournalHeader(ByteSpan block);
std::vector<JournalTag> ParseJournalDescriptor(ByteSpan block, const JournalSuperblock& journal);
// The blocks a revoke block names.
std::vector<uint64_t> ParseJournalRevoke(ByteSpan block, const JournalSuperblock& journal);

// Unix seconds as FILETIME; 0 stays 0.
uint64_t ExtTimeToFileTime(uint32_t seconds);

}  // namespace snapsave
