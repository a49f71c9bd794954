// Btrfs on disk: the superblock with its chunk array and backup roots, chunk items and the map from logical
// to device bytes they make, tree blocks (header, leaf items, node pointers) and the items the engines read:
// inodes, inode references, folder entries, file extents and tree roots. Every field is little-endian; every
// parse reads a bounded span and refuses what mkfs.btrfs and the kernel never write.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "os/byte_reader.h"

namespace snapsave {

inline constexpr uint64_t kBtrfsSuperblockOffset = 0x10000;
// Where the copies lie, on volumes long enough to hold them.
inline constexpr std::array<uint64_t, 2> kBtrfsSuperblockCopies = {uint64_t{1} << 26, uint64_t{1} << 38};
inline constexpr uint32_t kBtrfsSuperblockSize = 4096;
inline constexpr size_t kBtrfsHeaderSize = 0x65;
inline constexpr size_t kBtrfsKeySize = 17;

// Tree and object numbers.
inline constexpr uint64_t kBtrfsRootTree = 1;
inline constexpr uint64_t kBtrfsExtentTree = 2;
inline constexpr uint64_t kBtrfsChunkTree = 3;
inline constexpr uint64_t kBtrfsFsTree = 5;
inline constexpr uint64_t kBtrfsFirstFreeObject = 256;  // the root folder of every file tree; first subvolume
inline constexpr uint64_t kBtrfsLastFreeObject = UINT64_MAX - 256;

// Item types.
inline constexpr uint8_t kBtrfsInodeItem = 1;
inline constexpr uint8_t kBtrfsInodeRef = 12;
inline constexpr uint8_t kBtrfsDirItem = 84;
inline constexpr uint8_t kBtrfsDirIndex = 96;
inline constexpr uint8_t kBtrfsExtentData = 108;
inline constexpr uint8_t kBtrfsRootItem = 132;
inline constexpr uint8_t kBtrfsExtentItem = 168;
inline constexpr uint8_t kBtrfsMetadataItem = 169;
inline constexpr uint8_t kBtrfsChunkItem = 228;

// Chunk type bits.
inline constexpr uint64_t kBtrfsChunkData = 1;
inline constexpr uint64_t kBtrfsChunkSystem = 2;
inline constexpr uint64_t kBtrfsChunkMetadata = 4;
inline constexpr uint64_t kBtrfsChunkRaid0 = 8;
inline constexpr uint64_t kBtrfsChunkRaid10 = 64;
inline constexpr uint64_t kBtrfsChunkRaid5 = 128;
inline constexpr uint64_t kBtrfsChunkRaid6 = 256;

struct BtrfsKey {
  uint64_t objectId = 0;
  uint8_t type = 0;
  uint64_t offset = 0;

  auto operator<=>(const BtrfsKey&) const = default;
};
BtrfsKey ParseBtrfsKey(ByteSpan b, size_t at);

struct BtrfsBackupRoot {
  uint64_t treeRoot = 0;
  uint64_t treeRootGeneration = 0;
  uint8_t treeRootLevel = 0;
};

struct BtrfsSuperblock {
  std::array<uint8_t, 16> fsid{};
  std::array<uint8_t, 16> metadataUuid{};  // what tree blocks carry: the fsid unless changed since
  uint64_t generation = 0;
  uint64_t root = 0;
  uint64_t chunkRoot = 0;
  uint8_t rootLevel = 0;
  uint8_t chunkRootLevel = 0;
  uint64_t totalBytes = 0;  // of the whole file system
  uint64_t bytesUsed = 0;
  uint64_t deviceBytes = 0;  // of this device
  uint64_t deviceId = 0;
  uint64_t numDevices = 0;
  uint32_t sectorSize = 0;
  uint32_t nodeSize = 0;
  uint16_t checksumType = 0;  // 0 CRC-32C; others are not checked
  std::string label;
  std::vector<uint8_t> chunkArray;
  std::vector<BtrfsBackupRoot> backupRoots;
};

// The superblock (or its copy) read from the volume's byte `at`; nothing unless its magic, sizes, place and
// checksum hold.
std::optional<BtrfsSuperblock> ParseBtrfsSuperblock(ByteSpan bytes, uint64_t at = kBtrfsSuperblockOffset);
// Whether `bytes` hold a superblock whose magic, sizes and place hold, its checksum unchecked: the probe's
// test.
bool IsBtrfsSuperblock(ByteSpan bytes, uint64_t at = kBtrfsSuperblockOffset);

// The CRC-32C Btrfs stores, inverted at the end, as its checksum of `bytes`.
uint32_t BtrfsCrc32c(ByteSpan bytes);

struct BtrfsStripe {
  uint64_t deviceId = 0;
  uint64_t offset = 0;  // device byte
};

struct BtrfsChunk {
  uint64_t logical = 0;
  uint64_t length = 0;
  uint64_t type = 0;
  uint64_t stripeLength = 0;
  std::vector<BtrfsStripe> stripes;
};
// A chunk item of `bytes` at `at` mapping logical byte `logical`; nothing when it is malformed.
std::optional<BtrfsChunk> ParseBtrfsChunk(ByteSpan bytes, size_t at, uint64_t logical,
                                          size_t* used = nullptr);
// The chunks of the superblock's array (those of the system chunks, which hold the chunk tree).
std::vector<BtrfsChunk> ParseBtrfsChunkArray(ByteSpan array);

// Logical bytes mapped to this device's bytes through the chunks whose copies lie whole on it: single, DUP
// and mirrored profiles (striped ones span devices and parities, and are not mapped).
class BtrfsChunkMap {
 public:
  explicit BtrfsChunkMap(uint64_t deviceId = 1) : deviceId_(deviceId) {}
  // Keeps the chunk unless it overlaps one kept before or has no copy on this device.
  void Add(const BtrfsChunk& chunk);
  // The device bytes of each copy of logical `logical`, and how many bytes from there the chunk still maps.
  struct Place {
    std::vector<uint64_t> copies;
    uint64_t contiguous = 0;
  };
  std::optional<Place> Map(uint64_t logical) const;
  const std::vector<BtrfsChunk>& Chunks() const { return chunks_; }  // by logical byte

 private:
  uint64_t deviceId_;
  std::vector<BtrfsChunk> chunks_;
};

struct BtrfsHeader {
  std::array<uint8_t, 16> fsid{};
  uint64_t bytenr = 0;
  uint64_t generation = 0;
  uint64_t owner = 0;
  uint32_t items = 0;
  uint8_t level = 0;
};
// The header of a tree block; nothing when the block cannot hold its items.
std::optional<BtrfsHeader> ParseBtrfsHeader(ByteSpan block);

struct BtrfsLeafItem {
  BtrfsKey key;
  ByteSpan data;
};
// A leaf's items, in the order stored; an item whose data lies outside the block is left out.
std::vector<BtrfsLeafItem> BtrfsLeafItems(ByteSpan block, uint32_t items);

struct BtrfsNodePointer {
  BtrfsKey key;
  uint64_t block = 0;
  uint64_t generation = 0;
};
std::vector<BtrfsNodePointer> BtrfsNodePointers(ByteSpan block, uint32_t items);

struct BtrfsTime {
  int64_t seconds = 0;
  uint32_t ns = 0;
};

struct BtrfsInode {
  uint64_t generation = 0;
  uint64_t transid = 0;
  uint64_t size = 0;
  uint32_t links = 0;
  uint32_t mode = 0;
  uint64_t flags = 0;
  BtrfsTime accessTime;
  BtrfsTime changeTime;
  BtrfsTime writeTime;
  BtrfsTime createTime;

  bool IsDirectory() const { return (mode & 0170000) == 0040000; }
  bool IsRegular() const { return (mode & 0170000) == 0100000; }
};
std::optional<BtrfsInode> ParseBtrfsInode(ByteSpan data);

struct BtrfsName {
  uint64_t index = 0;
  std::string name;
};
// The names an inode reference item gives its inode in one folder.
std::vector<BtrfsName> ParseBtrfsInodeRefs(ByteSpan data);

struct BtrfsDirEntry {
  BtrfsKey location;  // an inode item, or the root item of a subvolume
  uint8_t type = 0;   // 1 file, 2 folder, 7 symbolic link ...
  std::string name;
};
// The entries of a folder entry item (several where names collide in the hash).
std::vector<BtrfsDirEntry> ParseBtrfsDirEntries(ByteSpan data);

inline constexpr uint8_t kBtrfsExtentInline = 0;
inline constexpr uint8_t kBtrfsExtentRegular = 1;
inline constexpr uint8_t kBtrfsExtentPrealloc = 2;
inline constexpr uint8_t kBtrfsCompressNone = 0;
inline constexpr uint8_t kBtrfsCompressZlib = 1;
inline constexpr uint8_t kBtrfsCompressLzo = 2;
inline constexpr uint8_t kBtrfsCompressZstd = 3;

struct BtrfsFileExtent {
  uint64_t fileOffset = 0;  // the item key's offset
  uint64_t generation = 0;
  uint64_t ramBytes = 0;  // what the extent holds decompressed
  uint8_t compression = 0;
  uint8_t type = 0;
  std::vector<uint8_t> inlineData;  // as stored: compressed where `compression` says
  uint64_t diskBytenr = 0;          // logical; 0 for a hole
  uint64_t diskBytes = 0;
  uint64_t offset = 0;  // into the decompressed extent
  uint64_t bytes = 0;   // of the file this item maps

  // The file bytes the item maps: for an inline extent, its decompressed size.
  uint64_t FileBytes() const { return type == kBtrfsExtentInline ? ramBytes : bytes; }
};
// Nothing for an encrypted extent, an unknown type or compression, or sizes no writer makes.
std::optional<BtrfsFileExtent> ParseBtrfsFileExtent(ByteSpan data, uint64_t fileOffset);

struct BtrfsRootItem {
  uint64_t generation = 0;
  uint64_t rootFolder = 0;
  uint64_t bytenr = 0;
  uint8_t level = 0;
};
std::optional<BtrfsRootItem> ParseBtrfsRootItem(ByteSpan data);

}  // namespace snapsave
