#include "storage/rescue_copy.h"

#include <algorithm>
#include <vector>

#include "os/clock.h"
#include "os/error.h"
#include "os/file.h"

namespace snapsave {

namespace {

std::span<uint8_t> Aligned(std::vector<uint8_t>& storage, size_t bytes) {
  const auto address = reinterpret_cast<uintptr_t>(storage.data());
  const size_t skip =
      (os::File::kDirectAlignment - address % os::File::kDirectAlignment) % os::File::kDirectAlignment;
  return std::span<uint8_t>(storage).subspan(skip, bytes);
}

class Copier {
 public:
  Copier(ImageSource& source, uint64_t size, os::File& image, RescueMap& map,
         const std::filesystem::path& mapPath, const RescueOptions& options, const RescueProgress& progress)
      : source_(source),
        size_(size),
        image_(image),
        map_(map),
        mapPath_(mapPath),
        options_(options),
        progress_(progress),
        sector_(std::max<uint32_t>(1, options.sectorSize)),
        block_(std::max<uint64_t>(sector_, options.blockBytes / sector_ * sector_)),
        storage_(static_cast<size_t>(block_) + os::File::kDirectAlignment),
        buffer_(Aligned(storage_, static_cast<size_t>(block_))) {}

  int32_t Run() {
    if (int32_t a = Copy(); a != 0) return a;
    if (int32_t a = CopyBackwards(); a != 0) return a;
    if (int32_t a = Trim(); a != 0) return a;
    if (int32_t a = SectorBySector(BlockStatus::kNonScraped, RescuePhase::kScraping, 1); a != 0) return a;
    for (int pass = 1; pass <= options_.retries; ++pass) {
      if (int32_t a = SectorBySector(BlockStatus::kBad, RescuePhase::kRetrying, pass); a != 0) return a;
    }
    map_.phase = RescuePhase::kFinished;
    map_.position = 0;
    return Save();
  }

  int32_t Save() { return static_cast<int32_t>(map_.Save(mapPath_, options_.commandLine)); }

 private:
  // Reads [pos, pos + len) into the buffer and, when every byte arrived, writes it to the image and marks it
  // finished. False when the read failed (nothing is marked); a failed write ends the copy through `error_`.
  bool Rescue(uint64_t pos, uint64_t len) {
    const std::span<uint8_t> out = buffer_.first(static_cast<size_t>(len));
    size_t got = 0;
    while (got < out.size()) {
      size_t n = 0;
      readError_ = source_.ReadAt(pos + got, out.subspan(got), n);
      if (readError_ != err::kSuccess || n == 0) return false;
      got += std::min(n, out.size() - got);
    }
    failures_.clear();
    nextProbe_ = kFirstProbe;
    if (uint32_t e = image_.WriteAllAt(pos, out); e != err::kSuccess) {
      error_ = e;
      return false;
    }
    map_.Set(pos, len, BlockStatus::kFinished);
    return true;
  }

  // After a read of [pos, pos + len) failed: marks it `now` (it was `before`). When the source has stopped
  // answering altogether (gone, or a sector read before fails too), what failed since its last good read
  // goes back to what it was and the copy stops (kDeviceGone), to go on where it was once the source is
  // back, instead of marking the rest of the disk bad. Non-zero stops the copy.
  int32_t Failed(uint64_t pos, uint64_t len, BlockStatus before, BlockStatus now) {
    if (error_ != err::kSuccess) return Tick(true);
    if (readError_ != err::kDeviceGone) {
      map_.Set(pos, len, now);
      failures_.push_back({pos, len, before});
      if (failures_.size() < nextProbe_) return 0;
      // Probed again after twice as many failures: a long bad area costs few extra reads.
      nextProbe_ *= 2;
      if (StillAnswers()) return 0;
    }
    for (auto it = failures_.rbegin(); it != failures_.rend(); ++it) map_.Set(it->pos, it->size, it->before);
    failures_.clear();
    error_ = err::kDeviceGone;
    return Tick(true);
  }

  // Whether a sector read earlier still reads: of the rescued sectors, the first or the last, whichever lies
  // further from the failures (a drive's cache holds what it read last). True when none was read yet.
  bool StillAnswers() {
    const std::optional<RescueMap::Range> first = map_.NextWith(BlockStatus::kFinished, 0);
    const std::optional<RescueMap::Range> last = map_.PreviousWith(BlockStatus::kFinished, size_);
    if (!first || !last) return true;
    const uint64_t lastSector = (last->pos + last->size - 1) / sector_ * sector_;
    const uint64_t here = map_.position;
    const uint64_t at =
        here - std::min(here, first->pos) > std::max(here, lastSector) - here ? first->pos : lastSector;
    const std::span<uint8_t> probe = buffer_.first(static_cast<size_t>(SectorAt(at)));
    size_t got = 0;
    return source_.ReadAt(at, probe, got) == err::kSuccess && got != 0;
  }

  // Progress, the periodic save of the map, and the stop: non-zero ends the copy (the map saved first).
  int32_t Tick(bool save) {
    if (error_ != err::kSuccess) {
      Save();
      return static_cast<int32_t>(error_);
    }
    const uint64_t now = os::TickMs();
    if (save || now - lastSave_ >= options_.saveIntervalMs) {
      if (int32_t e = Save(); e != 0) return e;
      lastSave_ = now;
    }
    if (progress_) {
      if (int32_t answer = progress_(map_); answer != 0) {
        Save();
        return answer;
      }
    }
    return 0;
  }

  // Large reads forward through the untried areas; after a failure the copy jumps ahead, twice as far each
  // time failures go on, leaving what it jumped over untried for the next pass.
  int32_t Copy() {
    map_.phase = RescuePhase::kCopying;
    map_.pass = 1;
    uint64_t skip = 0;
    for (uint64_t pos = 0; auto r = map_.NextWith(BlockStatus::kNonTried, pos);) {
      const uint64_t end = r->pos + r->size;
      for (uint64_t at = std::max(pos, r->pos); at < end;) {
        const uint64_t len = std::min(block_, end - at);
        map_.position = at;
        if (Rescue(at, len)) {
          skip = 0;
          at += len;
        } else {
          if (int32_t a = Failed(at, len, BlockStatus::kNonTried, BlockStatus::kNonTrimmed); a != 0) return a;
          skip = skip == 0 ? options_.firstSkipBytes : std::min(skip * 2, options_.maxSkipBytes);
          at += len;
          at += std::min(end - at, skip / sector_ * sector_);
        }
        if (int32_t a = Tick(false); a != 0) return a;
      }
      pos = end;
    }
    return Tick(true);
  }

  // The areas the first pass jumped over, from the end backwards, without jumping.
  int32_t CopyBackwards() {
    map_.pass = 2;
    for (uint64_t end = size_; auto r = map_.PreviousWith(BlockStatus::kNonTried, end);) {
      for (uint64_t hi = std::min(end, r->pos + r->size); hi > r->pos;) {
        const uint64_t len = std::min(block_, hi - r->pos);
        const uint64_t at = hi - len;
        map_.position = at;
        if (!Rescue(at, len)) {
          if (int32_t a = Failed(at, len, BlockStatus::kNonTried, BlockStatus::kNonTrimmed); a != 0) return a;
        }
        hi = at;
        if (int32_t a = Tick(false); a != 0) return a;
      }
      end = r->pos;
    }
    return Tick(true);
  }

  uint64_t SectorAt(uint64_t at) const { return std::min<uint64_t>(sector_, size_ - at); }

  // Each failed block read sector by sector from its start until a sector fails, then from its end backwards
  // until one fails; what lies between is left for scraping.
  int32_t Trim() {
    map_.phase = RescuePhase::kTrimming;
    map_.pass = 1;
    for (uint64_t pos = 0; auto r = map_.NextWith(BlockStatus::kNonTrimmed, pos);) {
      uint64_t lo = std::max(pos, r->pos);
      uint64_t hi = r->pos + r->size;
      while (lo < hi) {
        const uint64_t len = SectorAt(lo);
        map_.position = lo;
        const bool ok = Rescue(lo, len);
        if (!ok) {
          if (int32_t a = Failed(lo, len, BlockStatus::kNonTrimmed, BlockStatus::kBad); a != 0) return a;
        }
        lo += len;
        if (int32_t a = Tick(false); a != 0) return a;
        if (!ok) break;
      }
      while (hi > lo) {
        const uint64_t at = hi - std::min<uint64_t>(hi - lo, (hi - 1) % sector_ + 1);
        map_.position = at;
        const bool ok = Rescue(at, hi - at);
        if (!ok) {
          if (int32_t a = Failed(at, hi - at, BlockStatus::kNonTrimmed, BlockStatus::kBad); a != 0) return a;
        }
        hi = at;
        if (int32_t a = Tick(false); a != 0) return a;
        if (!ok) break;
      }
      if (hi > lo) map_.Set(lo, hi - lo, BlockStatus::kNonScraped);
      pos = r->pos + r->size;
    }
    return Tick(true);
  }

  // Every sector of the areas with `status`, one read each: finished or bad.
  int32_t SectorBySector(BlockStatus status, RescuePhase phase, int pass) {
    map_.phase = phase;
    map_.pass = pass;
    for (uint64_t pos = 0; auto r = map_.NextWith(status, pos);) {
      const uint64_t end = r->pos + r->size;
      for (uint64_t at = std::max(pos, r->pos); at < end;) {
        const uint64_t len = std::min(SectorAt(at), end - at);
        map_.position = at;
        if (!Rescue(at, len)) {
          if (int32_t a = Failed(at, len, status, BlockStatus::kBad); a != 0) return a;
        }
        at += len;
        if (int32_t a = Tick(false); a != 0) return a;
      }
      pos = end;
    }
    return Tick(true);
  }

  ImageSource& source_;
  uint64_t size_;
  os::File& image_;
  RescueMap& map_;
  const std::filesystem::path& mapPath_;
  const RescueOptions& options_;
  const RescueProgress& progress_;
  uint64_t sector_;
  uint64_t block_;
  std::vector<uint8_t> storage_;
  std::span<uint8_t> buffer_;           // in storage_, aligned for reads that bypass the system's cache
  uint32_t error_ = err::kSuccess;      // a write that failed, or the source gone: ends the copy
  uint32_t readError_ = err::kSuccess;  // of the last read
  struct Failure {
    uint64_t pos = 0;
    uint64_t size = 0;
    BlockStatus before = BlockStatus::kNonTried;
  };
  static constexpr size_t kFirstProbe = 8;
  std::vector<Failure> failures_;  // since the last good read
  size_t nextProbe_ = kFirstProbe;
  uint64_t lastSave_ = 0;
};

}  // namespace

int32_t RescueCopy::Run(ImageSource& source, uint64_t size, const std::filesystem::path& imagePath,
                        const std::filesystem::path& mapPath, const RescueOptions& options, RescueMap& map,
                        const RescueProgress& progress) {
  os::File image;
  if (uint32_t e = image.OpenWrite(imagePath, /*truncate=*/false); e != err::kSuccess)
    return static_cast<int32_t>(e);
  uint64_t imageBytes = 0;
  if (uint32_t e = image.Size(imageBytes); e != err::kSuccess) return static_cast<int32_t>(e);
  // A map is only believed with the image it describes beside it.
  std::optional<RescueMap> saved = RescueMap::Load(mapPath, size);
  if (saved && imageBytes == size) {
    map = std::move(*saved);
  } else {
    map = RescueMap(size);
    if (uint32_t e = image.Truncate(0); e != err::kSuccess) return static_cast<int32_t>(e);
  }
  // Full length from the start (sparse): what is never read stays zeros.
  if (uint32_t e = image.Truncate(size); e != err::kSuccess) return static_cast<int32_t>(e);
  Copier copier(source, size, image, map, mapPath, options, progress);
  if (int32_t e = copier.Save(); e != 0) return e;
  const int32_t result = copier.Run();
  if (uint32_t e = image.Sync(); e != err::kSuccess && result == 0) return static_cast<int32_t>(e);
  return result;
}

}  // namespace snapsave
