// Pictures checked on a second thread ahead of the pass. Whoever reads ahead offers the sectors that open
// like a JPEG; the worker measures each as a carve would and decodes it; the carve, on reaching one, takes
// the verdict instead of decoding. A verdict depends on the picture's bytes alone, so what is carved is the
// same whatever the timing: a picture the worker has not begun, or measured differently, is decoded by the
// carve itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_set>

#include "filetypes/carving_context.h"
#include "filetypes/jpeg_check.h"
#include "os/byte_reader.h"

namespace snapsave {

class JpegChecksAhead {
 public:
  // Bounds on what waits and what is kept: candidates queued, verdicts not yet taken.
  static constexpr size_t kMaxQueued = 4096;
  static constexpr size_t kMaxVerdicts = 16;

  // `workers` threads (0: none, every picture is the carve's to decode).
  JpegChecksAhead(const SectorReader& reader, uint32_t sectorSize, CarvingContext::MetadataTest metadataTest,
                  unsigned workers = 1);
  ~JpegChecksAhead();
  JpegChecksAhead(const JpegChecksAhead&) = delete;
  JpegChecksAhead& operator=(const JpegChecksAhead&) = delete;

  // Offers the sectors of `bytes` (whole sectors, the first at absolute `first`) that open like a JPEG.
  // Any thread; sectors must come in ascending order.
  void OfferFrom(uint64_t first, ByteSpan bytes);
  // A file known from the metadata starts at `sector`: its checks are not wanted.
  void Known(uint64_t sector);
  // The pass reached `sector`: nothing that starts before it will be asked for.
  void Passed(uint64_t sector);
  // The verdict on the `length` bytes from absolute `start`, when a worker has it or is making it (then
  // waits for it); nothing when the carve must decode itself. `rows` receives the picture's rows.
  std::optional<JpegCheck> Take(uint64_t start, uint64_t length, JpegRows& rows);

 private:
  struct Verdict {
    uint64_t start = 0;
    uint64_t length = 0;
    JpegCheck check;
    JpegRows rows;
  };
  void Work();
  // Checks the next queued picture no one has begun, with `ctx`; false when there is none (or no room for its
  // verdict). Called with the lock held, which it lets go while it decodes.
  bool CheckNext(std::unique_lock<std::mutex>& lock, CarvingContext& ctx);
  // CheckNext on the pass's own thread, with a context of its own.
  bool Help(std::unique_lock<std::mutex>& lock);
  // Measures and decodes the picture at `start` as a carve would; nothing where it does not open as one.
  std::optional<Verdict> Check(CarvingContext& ctx, uint64_t start) const;

  const SectorReader& reader_;
  uint32_t sectorSize_;
  CarvingContext::MetadataTest metadataTest_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<uint64_t> queued_;
  std::deque<Verdict> verdicts_;
  std::unordered_set<uint64_t> working_;
  std::unordered_set<uint64_t> known_;
  uint64_t passed_ = 0;
  std::unique_ptr<CarvingContext> helper_;  // the pass's own, for Help
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace snapsave
