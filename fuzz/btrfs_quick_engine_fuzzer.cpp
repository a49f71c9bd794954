// The Btrfs quick engine over a mutated volume: the superblock, chunk array and chunk tree, tree blocks and
// their walks, inodes, references, folder entries, file extents and the three decompressors, the old-leaf
// search, the recovery of what it lists and the free runs. Nothing may crash, hang or write outside the
// scratch folder.
//
// A Btrfs volume spreads its few structures over a hundred MiB, so the input is a sparse volume: a size in
// MiB, then pieces, each its first sector (4 bytes), its length (4 bytes) and its bytes. Seed with
// fuzz/btrfs_seed.py over the volumes of tests/fixtures/btrfs.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "filetypes/file_categories.h"
#include "fs/btrfs/btrfs_compression.h"
#include "fs/btrfs/btrfs_quick_engine.h"
#include "fs/btrfs/btrfs_structures.h"
#include "fuzz/engine_fuzz.h"

namespace {

// A file may hold no more than its extents expand to plus holes as long as the volume; many items may share
// one compressed extent (as clones do), so only a loose bound holds.
constexpr uint64_t kMaxRecovered = uint64_t{4} << 30;

void Structures(snapsave::ByteSpan in) {
  using namespace snapsave;
  if (const auto h = ParseBtrfsHeader(in)) {
    for (const BtrfsLeafItem& item : BtrfsLeafItems(in, h->items)) {
      (void)ParseBtrfsInode(item.data);
      (void)ParseBtrfsInodeRefs(item.data);
      (void)ParseBtrfsDirEntries(item.data);
      (void)ParseBtrfsRootItem(item.data);
      (void)ParseBtrfsChunk(item.data, 0, item.key.offset);
      if (const auto e = ParseBtrfsFileExtent(item.data, item.key.offset); e && !e->inlineData.empty())
        (void)BtrfsDecompress(e->inlineData, e->compression, e->ramBytes, 4096);
    }
    (void)BtrfsNodePointers(in, h->items);
  }
  (void)ParseBtrfsChunkArray(in);
  if (!in.empty()) (void)BtrfsDecompress(in.subspan(1), static_cast<uint8_t>(in[0] % 4), 128 * 1024, 4096);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const ByteSpan input(data, size);
  Structures(input);
  if (size < 4) return 0;
  const uint64_t bytes = uint64_t{std::clamp<uint32_t>(Le32(input, 0), 1, 160)} << 20;
  const int fd = ::memfd_create("snapsave-btrfs-fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    ::close(fd);
    return 0;
  }
  for (size_t at = 4; at + 8 <= size;) {
    const uint64_t sector = Le32(input, at);
    const size_t length = std::min<size_t>(Le32(input, at + 4), size - at - 8);
    const uint64_t place = std::min(sector * 512, bytes);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, bytes - place));
    if (n != 0 && ::pwrite(fd, data + at + 8, n, static_cast<off_t>(place)) != static_cast<ssize_t>(n)) break;
    at += 8 + length;
  }
  const std::filesystem::path& scratch = fuzz::ScratchFolder("snapsave-btrfsfuzz");
  {
    SavedScanStore store(os::ScanLogFolder(),
                         [](const std::filesystem::path&, uint64_t) { return uint64_t{0}; });
    CFastBtrfsRecovery engine(store);
    if (engine.Open(ImageVolume("/proc/self/fd/" + std::to_string(fd), u'F')) == 0) {
      if (engine.Scan({}) == 0) {
        RecordList all;
        engine.SearchByType(std::string(kAllTypes), all);
        fuzz::RecoverEach(engine, all, scratch, kMaxRecovered);
      }
      fuzz::WalkFreeRuns(engine, bytes / 512);
    }
  }
  ::close(fd);
  fuzz::AbortIfWrittenOutside(scratch);
  return 0;
}
