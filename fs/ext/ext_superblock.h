// The ext2/3/4 superblock and group descriptors: the engine factory's test and the geometry the quick engine
// reads block bitmaps with.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "os/byte_reader.h"

namespace snapsave {

// `superblock` is the 1024 bytes from volume byte 1024 on.
bool IsExtSuperblock(ByteSpan superblock);

inline constexpr uint32_t kExtIncompatMetaBg = 0x10;
inline constexpr uint32_t kExtIncompat64Bit = 0x80;
inline constexpr uint32_t kExtRoCompatGdtCsum = 0x10;
inline constexpr uint32_t kExtRoCompatMetadataCsum = 0x400;
inline constexpr uint16_t kExtGroupBlockUninit = 0x2;

struct ExtGeometry {
  uint32_t blockSize = 0;  // 1 KiB to 64 KiB
  uint64_t blocksCount = 0;
  uint32_t firstDataBlock = 0;
  uint32_t blocksPerGroup = 0;
  uint32_t inodesPerGroup = 0;
  uint32_t groupCount = 0;
  uint32_t descriptorSize = 32;
  uint32_t featureIncompat = 0;
  uint32_t featureRoCompat = 0;
  uint32_t inodesCount = 0;
  uint32_t firstInode = 11;  // the first inode for files; those below are reserved
  uint32_t inodeSize = 128;
  uint32_t journalInode = 0;  // 0 without a journal
  uint32_t checksumSeed = 0;  // of the metadata checksums: the UUID's CRC-32C, or the stored seed

  bool MetadataChecksums() const { return (featureRoCompat & kExtRoCompatMetadataCsum) != 0; }

  // The descriptor table starts in the block after the superblock's.
  uint64_t DescriptorTableBlock() const { return uint64_t{firstDataBlock} + 1; }
  bool GroupFlagsValid() const {
    return (featureRoCompat & (kExtRoCompatGdtCsum | kExtRoCompatMetadataCsum)) != 0;
  }
};

// The geometry of a superblock IsExtSuperblock accepts, with the block count its 64-bit feature gives.
std::optional<ExtGeometry> ParseExtSuperblock(ByteSpan superblock);

// Where the copy of the superblock at the start of group 1 lies, in volume bytes, for each block size.
std::vector<uint64_t> ExtGroupOneCopyOffsets();
// The geometry of the copy of the superblock read `offset` bytes into the volume: one that says it is group
// 1's and whose geometry puts group 1 there.
std::optional<ExtGeometry> ParseExtSuperblockCopy(ByteSpan superblock, uint64_t offset);

struct ExtGroupDescriptor {
  uint64_t blockBitmap = 0;
  uint64_t inodeTable = 0;
  uint16_t flags = 0;
};

// The descriptors of `table` (the descriptor table's bytes), at most `geometry.groupCount` of them.
std::vector<ExtGroupDescriptor> ParseExtGroupDescriptors(ByteSpan table, const ExtGeometry& geometry);

}  // namespace snapsave
