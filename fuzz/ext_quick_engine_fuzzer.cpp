// The ext quick engine over a mutated image: the superblock (and its copy's) and descriptor parsers, the
// journal index, the folder walk and the recovery of what it lists, and the free-run walk over the group
// bitmaps never crash, hang or write outside the scratch folder, nothing recovered is larger than the image,
// and the runs ascend inside the volume. Seed with small images made by mkfs.ext2/3/4 (1 KiB and 4 KiB
// blocks, 32- and 64-bit descriptors) and tests/fixtures/ext.
#include <algorithm>
#include <string>

#include "filetypes/file_categories.h"
#include "fs/ext/ext_quick_engine.h"
#include "fs/ext/ext_structures.h"
#include "fuzz/engine_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  ParseExtSuperblock(std::span(data, size).subspan(0, std::min<size_t>(size, 1024)));
  for (const uint64_t offset : ExtGroupOneCopyOffsets())
    ParseExtSuperblockCopy(std::span(data, size).subspan(0, std::min<size_t>(size, 1024)), offset);
  return fuzz::WithEngine<CFastExtRecovery>(
      "snapsave-extfuzz", data, size, [&](auto& engine, const auto& scratch) {
        if (engine.Scan({}) == 0) {
          RecordList all;
          engine.SearchByType(std::string(kPhotoList) + std::string(kVideoList) + std::string(kDocumentList),
                              all);
          RecordList root;
          engine.ListFolder(nullptr, 0, root);
          all.insert(all.end(), root.begin(), root.end());
          fuzz::RecoverEach(engine, all, scratch, size);
        }
        fuzz::WalkFreeRuns(engine, size / 512);
      });
}
