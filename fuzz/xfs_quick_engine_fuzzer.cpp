// The XFS quick engine over a mutated image: the superblock, inode, extent, block-map B-tree, folder (short,
// block and data-block forms) and free-space B-tree parsers, the folder walk and the recovery of what it
// lists, and the free runs. Nothing may crash, hang or write outside the scratch folder, nothing recovered is
// larger than the image, and the runs ascend inside the volume. Seed with small volumes of
// tests/fixtures/xfs (cut to their first allocation group and its metadata).
#include <algorithm>
#include <string>

#include "filetypes/file_categories.h"
#include "fs/xfs/xfs_quick_engine.h"
#include "fs/xfs/xfs_structures.h"
#include "fuzz/engine_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  const std::span<const uint8_t> input(data, size);
  if (const auto g = ParseXfsSuperblock(input.first(std::min<size_t>(size, 512)))) {
    // The folder forms over whatever follows the superblock.
    (void)ParseXfsShortformDir(input.subspan(std::min<size_t>(size, 512)), *g);
    (void)ParseXfsDirBlock(input.subspan(std::min<size_t>(size, 512)), *g);
  }
  return fuzz::WithEngine<CFastXfsRecovery>("snapsave-xfsfuzz", data, size,
                                            [&](auto& engine, const auto& scratch) {
                                              if (engine.Scan({}) == 0) {
                                                RecordList all;
                                                engine.SearchByType(std::string(kAllTypes), all);
                                                fuzz::RecoverEach(engine, all, scratch, size);
                                              }
                                              fuzz::WalkFreeRuns(engine, size / 512);
                                            });
}
