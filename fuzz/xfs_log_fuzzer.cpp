// The XFS log reader over a mutated log: record headers and their cycle words, operations split over records,
// transactions' items (inodes with their forks, buffer pieces) and the log's inode cores. Nothing may crash
// or hang, and every copy it keeps is one of an inode number the geometry can place. Seed with the start of
// the log of tests/fixtures/xfs/xfs.img.gz (at sector 65584, a few hundred KiB of it).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>

#include "fs/xfs/xfs_log.h"
#include "fs/xfs/xfs_structures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  XfsGeometry g;
  g.blockSize = 4096;
  g.dataBlocks = 16384;
  g.rootInode = 128;
  g.agBlocks = 4096;
  g.agCount = 4;
  g.sectorSize = 512;
  g.inodeSize = 512;
  g.blockLog = 12;
  g.agBlockLog = 12;
  g.inodesPerBlockLog = 3;
  g.v5 = true;
  g.fileTypes = true;
  std::set<uint64_t> wanted;
  for (uint64_t s = 0; s < 4096; s += 8) wanted.insert(s);
  const XfsLogCopies copies = ReadXfsLog(
      [&](uint64_t at, std::span<uint8_t> into) {
        if (at > size || into.size() > size - at) return false;
        std::memcpy(into.data(), data + at, into.size());
        return true;
      },
      size, g, wanted);
  for (const XfsLogInode& c : copies.inodes) {
    if (c.inode.dataFork.size() > g.inodeSize) std::abort();
    if (c.inode.IsDirectory() && c.inode.format == kXfsFormatLocal)
      (void)ParseXfsShortformDir(c.inode.dataFork, g);
  }
  for (const XfsLogPiece& p : copies.pieces)
    if (wanted.count(p.sector) == 0) std::abort();
  return 0;
}
