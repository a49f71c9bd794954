#include "storage/read_ahead.h"

#include <algorithm>
#include <cstring>

namespace snapsave {

ReadAhead::ReadAhead(const SectorReader& reader, uint32_t sectorSize, size_t blockBytes, size_t blocks,
                     size_t maxInFlight)
    : reader_(reader),
      sectorSize_(std::max<uint32_t>(1, sectorSize)),
      blockSectors_(static_cast<uint32_t>(std::max<size_t>(1, blockBytes / sectorSize_))),
      blocks_(std::max<size_t>(1, blocks)),
      maxInFlight_(std::max<size_t>(1, maxInFlight)) {
  threads_.emplace_back([this] { Work(); });
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void ReadAhead::Enqueue(uint64_t firstSector, uint64_t count) {
  if (count == 0) return;
  {
    std::lock_guard lock(mutex_);
    stretches_.emplace_back(firstSector, count);
  }
  changed_.notify_all();
}

size_t ReadAhead::Depth() const {
  std::lock_guard lock(mutex_);
  return depth_;
}

bool ReadAhead::CanStartRead() const {
  return !stretches_.empty() && inFlight_ < depth_ && (!spare_.empty() || buffers_ < blocks_ + depth_ - 1);
}

void ReadAhead::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || CanStartRead(); });
    if (stopping_) return;
    auto& [first, count] = stretches_.front();
    auto owned = std::make_unique<Block>();
    Block& block = *owned;
    block.sector = first;
    block.count = static_cast<uint32_t>(std::min<uint64_t>(blockSectors_, count));
    if (spare_.empty()) {
      ++buffers_;
      spare_.emplace_back(size_t{blockSectors_} * sectorSize_);
    }
    block.bytes = std::move(spare_.back());
    spare_.pop_back();
    first += block.count;
    count -= block.count;
    if (count == 0) stretches_.pop_front();
    queue_.push_back(std::move(owned));  // the block stays while it is unpublished: `block` remains valid
    ++inFlight_;
    lock.unlock();
    uint32_t got = 0;
    const bool ok =
        reader_.ReadSectorsLarge(std::span(block.bytes).first(size_t{block.count} * sectorSize_),
                                 static_cast<int32_t>(block.count), block.sector, sectorSize_, &got) == 0 &&
        got == block.count;
    lock.lock();
    block.ok = ok;
    block.read = true;
    --inFlight_;
    changed_.notify_all();
    Publish(lock);
  }
}

void ReadAhead::Publish(std::unique_lock<std::mutex>& lock) {
  if (publishing_) return;  // the thread publishing now takes this block too
  publishing_ = true;
  for (;;) {
    auto next = std::find_if(queue_.begin(), queue_.end(), [](const auto& b) { return !b->published; });
    if (next == queue_.end() || !(*next)->read) break;
    Block& block = **next;
    if (block.ok && observer_) {
      lock.unlock();
      observer_(block.sector, std::span(block.bytes).first(size_t{block.count} * sectorSize_));
      lock.lock();
    }
    block.published = true;
    changed_.notify_all();
  }
  publishing_ = false;
}

void ReadAhead::TrimStretches(uint64_t sector) {
  while (!stretches_.empty() && stretches_.front().first + stretches_.front().second <= sector)
    stretches_.pop_front();
  if (!stretches_.empty() && stretches_.front().first < sector) {
    const uint64_t drop = sector - stretches_.front().first;
    stretches_.front().first += drop;
    stretches_.front().second -= drop;
  }
}

void ReadAhead::DropBefore(uint64_t sector) {
  std::lock_guard lock(mutex_);
  TrimStretches(sector);
}

bool ReadAhead::Take(uint64_t sector, uint32_t count, std::span<uint8_t> out) {
  if (size_t{count} * sectorSize_ > out.size()) return false;
  std::unique_lock lock(mutex_);
  uint32_t copied = 0;
  bool waitedForRead = false;
  while (copied < count) {
    const uint64_t at = sector + copied;
    // Wait for the block holding `at`, dropping those before it; give up when nothing that could hold it is
    // read or still to be read.
    for (;;) {
      while (!queue_.empty() && queue_.front()->published &&
             queue_.front()->sector + queue_.front()->count <= at) {
        spare_.push_back(std::move(queue_.front()->bytes));
        queue_.pop_front();
        changed_.notify_all();
      }
      if (!queue_.empty() && queue_.front()->published) break;
      if (queue_.empty()) {
        TrimStretches(at);
        if (stretches_.empty()) return false;
      } else if (!queue_.front()->read && !waitedForRead) {
        // The pass waits on the medium: one more read in flight from now on.
        waitedForRead = true;
        if (depth_ < maxInFlight_) {
          ++depth_;
          if (threads_.size() < depth_) threads_.emplace_back([this] { Work(); });
          changed_.notify_all();
        }
      }
      changed_.wait(lock);
    }
    const Block& block = *queue_.front();
    if (block.sector > at || !block.ok)
      return false;  // a gap the threads were not asked to read, or a failure
    const uint32_t from = static_cast<uint32_t>(at - block.sector);
    const uint32_t n = std::min(count - copied, block.count - from);
    std::memcpy(out.data() + size_t{copied} * sectorSize_, block.bytes.data() + size_t{from} * sectorSize_,
                size_t{n} * sectorSize_);
    copied += n;
  }
  return true;
}

}  // namespace snapsave
