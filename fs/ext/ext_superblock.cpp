#include "fs/ext/ext_superblock.h"

#include "fs/ext/ext_structures.h"

namespace snapsave {

bool IsExtSuperblock(ByteSpan b) {
  if (!Has(b, 0, 1024) || Le16(b, 56) != 0xEF53) return false;
  const uint32_t inodes = Le32(b, 0);
  const uint32_t blocks = Le32(b, 4);
  const uint32_t firstDataBlock = Le32(b, 20);
  const uint32_t blocksPerGroup = Le32(b, 32);
  const uint32_t inodesPerGroup = Le32(b, 40);
  const uint32_t firstInode = Le32(b, 84);
  if (inodes == 0 || blocks == 0 || blocksPerGroup == 0 || inodesPerGroup == 0 || firstInode <= 2)
    return false;
  // The group count follows from the blocks and from the inodes alike (unsigned 32-bit, as stored).
  const uint32_t byBlocks = (blocks - firstDataBlock - 1) / blocksPerGroup + 1;
  const uint32_t byInodes = (inodes - 1) / inodesPerGroup + 1;
  if (byBlocks != byInodes) return false;
  // Only 1 KiB blocks put the superblock in block 1.
  const uint32_t blockSize = 1024u << (Le32(b, 24) & 0x1F);
  if (firstDataBlock != (blockSize == 1024 ? 1u : 0u)) return false;
  return inodes > firstInode;
}

std::optional<ExtGeometry> ParseExtSuperblock(ByteSpan b) {
  if (!IsExtSuperblock(b)) return std::nullopt;
  ExtGeometry g;
  const uint32_t logBlock = Le32(b, 24);
  if (logBlock > 6) return std::nullopt;  // past 64 KiB
  g.blockSize = 1024u << logBlock;
  g.firstDataBlock = Le32(b, 20);
  g.blocksPerGroup = Le32(b, 32);
  g.inodesPerGroup = Le32(b, 40);
  g.featureIncompat = Le32(b, 96);
  g.featureRoCompat = Le32(b, 100);
  g.blocksCount = Le32(b, 4);
  g.inodesCount = Le32(b, 0);
  g.firstInode = Le32(b, 84);
  if (Le32(b, 76) >= 1) g.inodeSize = Le16(b, 88);  // dynamic revision
  if (g.inodeSize < 128 || g.inodeSize > g.blockSize || (g.inodeSize & (g.inodeSize - 1)) != 0)
    return std::nullopt;
  if ((Le32(b, 92) & 0x4) != 0) g.journalInode = Le32(b, 0xE0);
  // A group's block bitmap is one block: it cannot describe more blocks than it has bits.
  if (g.blocksPerGroup > g.blockSize * 8) return std::nullopt;
  if ((g.featureIncompat & kExtIncompat64Bit) != 0) {
    g.blocksCount |= uint64_t{Le32(b, 0x150)} << 32;
    g.descriptorSize = Le16(b, 0xFE);
    if (g.descriptorSize < 32 || g.descriptorSize > 1024 || (g.descriptorSize & (g.descriptorSize - 1)) != 0)
      return std::nullopt;
  }
  if (g.blocksCount <= g.firstDataBlock) return std::nullopt;
  const uint64_t groups = (g.blocksCount - g.firstDataBlock - 1) / g.blocksPerGroup + 1;
  if (groups > UINT32_MAX) return std::nullopt;
  g.groupCount = static_cast<uint32_t>(groups);
  if (g.MetadataChecksums()) {
    constexpr uint32_t kIncompatCsumSeed = 0x2000;
    g.checksumSeed =
        (g.featureIncompat & kIncompatCsumSeed) != 0 ? Le32(b, 0x270) : ExtCrc32c(~0u, b.subspan(0x68, 16));
  }
  return g;
}

std::vector<uint64_t> ExtGroupOneCopyOffsets() {
  std::vector<uint64_t> offsets;
  // Groups of as many blocks as a bitmap block has bits, as every formatting tool makes by default.
  for (uint64_t blockSize = 1024; blockSize <= 65536; blockSize *= 2)
    offsets.push_back(((blockSize == 1024 ? 1 : 0) + blockSize * 8) * blockSize);
  return offsets;
}

std::optional<ExtGeometry> ParseExtSuperblockCopy(ByteSpan b, uint64_t offset) {
  constexpr size_t kBlockGroupNumber = 0x5A;
  auto g = ParseExtSuperblock(b);
  if (!g || Le16(b, kBlockGroupNumber) != 1) return std::nullopt;
  if ((uint64_t{g->firstDataBlock} + g->blocksPerGroup) * g->blockSize != offset) return std::nullopt;
  return g;
}

std::vector<ExtGroupDescriptor> ParseExtGroupDescriptors(ByteSpan table, const ExtGeometry& g) {
  std::vector<ExtGroupDescriptor> groups;
  const bool wide = (g.featureIncompat & kExtIncompat64Bit) != 0 && g.descriptorSize >= 64;
  for (size_t at = 0; groups.size() < g.groupCount && Has(table, at, g.descriptorSize);
       at += g.descriptorSize) {
    ExtGroupDescriptor d;
    d.blockBitmap = Le32(table, at);
    d.inodeTable = Le32(table, at + 8);
    if (wide) {
      d.blockBitmap |= uint64_t{Le32(table, at + 0x20)} << 32;
      d.inodeTable |= uint64_t{Le32(table, at + 0x28)} << 32;
    }
    d.flags = Le16(table, at + 0x12);
    groups.push_back(d);
  }
  return groups;
}

}  // namespace snapsave
