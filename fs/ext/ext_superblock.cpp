#include "fs/ext/ext_superblock.h"

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

}  // namespace snapsave
