// The common run of an engine fuzz target: the mutated image opened read-only from memory, a fresh engine
// with its scan log in the scratch folder, the recovery of what it lists (nothing larger than the image,
// nothing outside the scratch folder) and its free runs.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <system_error>

#include "catalog/file_recovery_parse.h"
#include "catalog/saved_scan_store.h"
#include "fuzz/memory_image.h"
#include "fuzz/output_bound.h"
#include "os/paths.h"

namespace snapsave::fuzz {

// Runs `body(engine, scratch)` on a fresh `Engine` opened over the image, then aborts if anything but the
// scan log was written to the scratch folder.
template <class Engine, class Body>
int WithEngine(const char* scratchName, const uint8_t* data, size_t size, Body body) {
  const std::filesystem::path& scratch = ScratchFolder(scratchName);
  MemoryImage image(data, size);
  if (!image.ok()) return 0;
  {
    SavedScanStore store(os::ScanLogFolder(),
                         [](const std::filesystem::path&, uint64_t) { return uint64_t{0}; });
    Engine engine(store);
    if (engine.Open(ImageVolume(image.path(), u'F')) == 0) body(engine, scratch);
  }
  AbortIfWrittenOutside(scratch);
  return 0;
}

// Recovers up to `limit` of `records`, one at a time, below scratch/out, which is emptied after each: what a
// record names is read from the image and no more.
inline void RecoverEach(IFileRecoveryParse& engine, const RecordList& records,
                        const std::filesystem::path& scratch, uint64_t imageSize, size_t limit = 8) {
  const std::filesystem::path out = scratch / "out";
  size_t tried = 0;
  for (const FoundFileRecord& r : records) {
    if (++tried > limit) break;
    engine.RecoverRecord(&r, out / "item", 0);
    AbortIfLargerThan(out, imageSize);
    std::error_code ec;
    std::filesystem::remove_all(out, ec);
  }
}

// Lists the root and recovers what it holds.
inline void RecoverRoot(IFileRecoveryParse& engine, const std::filesystem::path& scratch, uint64_t imageSize,
                        size_t limit = 8) {
  RecordList root;
  engine.ListFolder(nullptr, 0, root);
  RecoverEach(engine, root, scratch, imageSize, limit);
}

// Walks the free runs after building the map: each starts after the last ends and, when `sectors` is given,
// ends inside it.
inline void WalkFreeRuns(IFileRecoveryParse& engine, uint64_t sectors = 0) {
  if (engine.BuildAllocationMap() != 0) return;
  uint64_t from = 0;
  for (int runs = 0; runs < 100000; ++runs) {
    uint64_t sector = from, length = 0;
    if (engine.NextUnallocatedRun(sector, length) != 1 || length == 0) break;
    if (sector < from || (sectors != 0 && sector + length > sectors)) abort();
    from = sector + length;
  }
}

// A deep engine's pass over every sector `feed(engine, rest, sector)` is given, as the deep scan's dispatcher
// gives them; then what it found is recovered.
template <class Engine, class Feed>
void DeepPass(Engine& engine, std::span<const uint8_t> data, const std::filesystem::path& scratch,
              Feed feed) {
  if (engine.StartPass({}) != 0) return;
  for (size_t at = 0; at + 512 <= data.size(); at += 512) feed(engine, data.subspan(at), at / 512);
  engine.FinishPass();
  RecoverRoot(engine, scratch, data.size());
}

}  // namespace snapsave::fuzz
