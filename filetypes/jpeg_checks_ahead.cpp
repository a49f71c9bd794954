#include "filetypes/jpeg_checks_ahead.h"

#include <algorithm>
#include <vector>

#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"

namespace snapsave {

JpegChecksAhead::JpegChecksAhead(const SectorReader& reader, uint32_t sectorSize,
                                 CarvingContext::MetadataTest metadataTest, unsigned workers)
    : reader_(reader), sectorSize_(sectorSize), metadataTest_(metadataTest) {
  if (sectorSize_ == 0 || sectorSize_ > CarvingContext::kMaxSectorSize) workers = 0;
  for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { Work(); });
}

JpegChecksAhead::~JpegChecksAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void JpegChecksAhead::OfferFrom(uint64_t first, ByteSpan bytes) {
  if (threads_.empty() || sectorSize_ == 0) return;
  std::vector<uint64_t> found;
  for (size_t at = 0; at + 4 <= bytes.size(); at += sectorSize_) {
    // Cheap enough for every sector read: the start of image and a marker after it.
    if (bytes[at] == 0xFF && bytes[at + 1] == 0xD8 && bytes[at + 2] == 0xFF && bytes[at + 3] >= 0xC0)
      found.push_back(first + at / sectorSize_);
  }
  if (found.empty()) return;
  {
    std::lock_guard lock(mutex_);
    for (const uint64_t sector : found) {
      if (queued_.size() < kMaxQueued) queued_.push_back(sector);
    }
  }
  changed_.notify_all();
}

void JpegChecksAhead::Known(uint64_t sector) {
  if (threads_.empty()) return;
  std::lock_guard lock(mutex_);
  known_.insert(sector);
}

void JpegChecksAhead::Passed(uint64_t sector) {
  if (threads_.empty()) return;
  std::lock_guard lock(mutex_);
  if (sector <= passed_) return;
  passed_ = sector;
  while (!queued_.empty() && queued_.front() < passed_) queued_.pop_front();
  const bool full = verdicts_.size() >= kMaxVerdicts;
  std::erase_if(verdicts_, [&](const Verdict& v) { return v.start < passed_; });
  // Called for every chunk: workers are woken only when room for a verdict was made.
  if (full && verdicts_.size() < kMaxVerdicts) changed_.notify_all();
}

std::optional<JpegCheck> JpegChecksAhead::Take(uint64_t start, uint64_t length, JpegRows& rows) {
  if (threads_.empty()) return std::nullopt;
  std::unique_lock lock(mutex_);
  for (;;) {
    const auto v =
        std::find_if(verdicts_.begin(), verdicts_.end(), [&](const Verdict& x) { return x.start == start; });
    if (v != verdicts_.end()) {
      std::optional<JpegCheck> check;
      if (v->length == length) {
        check = v->check;
        rows = std::move(v->rows);
      }
      verdicts_.erase(v);
      return check;
    }
    if (!working_.contains(start)) break;
    // While a worker finishes this one, the caller checks a later one rather than wait idle.
    if (!Help(lock)) changed_.wait(lock);
  }
  // Not begun: the carve decodes it, and no worker starts on it now.
  known_.insert(start);
  return std::nullopt;
}

bool JpegChecksAhead::Help(std::unique_lock<std::mutex>& lock) {
  if (!helper_) {
    helper_ = std::make_unique<CarvingContext>();
    helper_->SetMetadataTest(metadataTest_);
    helper_->AcquireWorkBuffer();
  }
  return helper_->workBufferSize() != 0 && CheckNext(lock, *helper_);
}

bool JpegChecksAhead::CheckNext(std::unique_lock<std::mutex>& lock, CarvingContext& ctx) {
  while (!queued_.empty() && (queued_.front() < passed_ || known_.contains(queued_.front()) ||
                              working_.contains(queued_.front())))
    queued_.pop_front();
  if (queued_.empty() || verdicts_.size() >= kMaxVerdicts) return false;
  const uint64_t start = queued_.front();
  queued_.pop_front();
  working_.insert(start);
  lock.unlock();
  std::optional<Verdict> verdict = Check(ctx, start);
  lock.lock();
  working_.erase(start);
  if (verdict && start >= passed_ && !known_.contains(start)) verdicts_.push_back(std::move(*verdict));
  changed_.notify_all();
  return true;
}

void JpegChecksAhead::Work() {
  CarvingContext ctx;
  ctx.SetMetadataTest(metadataTest_);
  if (!ctx.AcquireWorkBuffer()) return;
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock,
                  [this] { return stopping_ || (!queued_.empty() && verdicts_.size() < kMaxVerdicts); });
    if (stopping_) return;
    CheckNext(lock, ctx);
  }
}

std::optional<JpegChecksAhead::Verdict> JpegChecksAhead::Check(CarvingContext& ctx, uint64_t start) const {
  std::vector<uint8_t> header(sectorSize_);
  ctx.Begin(&reader_, sectorSize_, start);
  ctx.SetStreamStart(false);
  ctx.SetTransportStreamInProgress(false);
  if (!ctx.ReadSectors(header, start, 1)) return std::nullopt;
  uint64_t validEnd = 0;
  uint64_t length = 0;
  {
    FileBytes file(ctx, header);
    const uint64_t n = JpegSegmentsLength(file, length_limit::k128MiB, StopsJpegData, &validEnd);
    length = n != 0 ? n : validEnd;
  }
  if (length == 0) return std::nullopt;
  Verdict verdict;
  verdict.start = start;
  verdict.length = length;
  FileBytes file(ctx, header);
  verdict.check = CheckJpeg(file, length, kJpegCheckMemory, &verdict.rows);
  return verdict;
}

}  // namespace snapsave
