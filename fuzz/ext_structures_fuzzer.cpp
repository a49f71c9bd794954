// ext parsers over arbitrary bytes: folder blocks (with the slack search), journal superblocks, descriptors
// and revokes, inodes (inline bytes and folders, checksums) and their block maps, the input serving as the
// volume's 1 KiB blocks. Nothing may read past its span, and every map stays inside its bounds.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "fs/ext/ext_structures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::span<const uint8_t> in(data, size);
  for (const ExtDirEntry& e : ParseExtDirBlock(in, 1000, size > 0 && (data[0] & 1) != 0))
    if (e.name.empty() || e.name.size() > 255 || e.inode > 1000) std::abort();
  if (const auto journal = ParseJournalSuperblock(in.first(std::min<size_t>(size, 1024)))) {
    ParseJournalDescriptor(in, *journal);
    ParseJournalRevoke(in, *journal);
  }
  if (const auto wide = ParseExtInode(in, 256)) {
    if (wide->IsInline() && wide->inlineData.size() > 60 + 256) std::abort();
    for (const ExtDirEntry& e : ParseExtInlineDir(*wide, 1000))
      if (e.name.empty() || e.inode > 1000) std::abort();
    ExtInodeChecksumOk(in, 256, 12, 0);
  }
  if (const auto inode = ParseExtInode(in, 128)) {
    const uint64_t blocks = size / 1024 + 1;
    ExtMapLimits limits{blocks, 1 << 20, 4096, 256};
    const auto runs = MapExtInode(*inode, 1024, limits, [&](uint64_t block, std::span<uint8_t> into) {
      if (block >= size / 1024) return false;
      std::copy_n(data + block * 1024, 1024, into.begin());
      return true;
    });
    uint64_t next = 0;
    for (const ExtRun& r : runs) {
      if (r.logical < next || r.count == 0 || r.physical + r.count > blocks) std::abort();
      next = r.logical + r.count;
    }
  }
  return 0;
}
