#include "storage/read_ahead.h"

#include <algorithm>
#include <cstring>

namespace snapsave {

ReadAhead::ReadAhead(const SectorReader& reader, uint32_t sectorSize, size_t blockBytes, size_t blocks)
    : reader_(reader),
      sectorSize_(std::max<uint32_t>(1, sectorSize)),
      blockSectors_(static_cast<uint32_t>(std::max<size_t>(1, blockBytes / sectorSize_))),
      capacity_(std::max<size_t>(1, blocks)) {
  for (size_t i = 0; i < capacity_; ++i) spare_.emplace_back(size_t{blockSectors_} * sectorSize_);
  thread_ = std::thread([this] { Work(); });
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void ReadAhead::Enqueue(uint64_t firstSector, uint64_t count) {
  if (count == 0) return;
  {
    std::lock_guard lock(mutex_);
    stretches_.emplace_back(firstSector, count);
  }
  changed_.notify_all();
}

void ReadAhead::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || (!stretches_.empty() && !spare_.empty()); });
    if (stopping_) return;
    auto& [first, count] = stretches_.front();
    Block block;
    block.sector = first;
    block.count = static_cast<uint32_t>(std::min<uint64_t>(blockSectors_, count));
    block.bytes = std::move(spare_.back());
    spare_.pop_back();
    first += block.count;
    count -= block.count;
    if (count == 0) stretches_.pop_front();
    lock.unlock();
    uint32_t got = 0;
    block.ok =
        reader_.ReadSectorsLarge(std::span(block.bytes).first(size_t{block.count} * sectorSize_),
                                 static_cast<int32_t>(block.count), block.sector, sectorSize_, &got) == 0 &&
        got == block.count;
    if (block.ok && observer_)
      observer_(block.sector, std::span(block.bytes).first(size_t{block.count} * sectorSize_));
    lock.lock();
    ready_.push_back(std::move(block));
    changed_.notify_all();
  }
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
  while (copied < count) {
    const uint64_t at = sector + copied;
    // Wait for the block holding `at`, dropping those before it; give up when nothing that could hold it is
    // read or still to be read.
    for (;;) {
      while (!ready_.empty() && ready_.front().sector + ready_.front().count <= at) {
        spare_.push_back(std::move(ready_.front().bytes));
        ready_.pop_front();
        changed_.notify_all();
      }
      if (!ready_.empty()) break;
      const bool pending =
          !stretches_.empty() || spare_.size() < capacity_;  // a block is being read right now
      if (!pending) return false;
      TrimStretches(at);
      if (stretches_.empty() && spare_.size() == capacity_) return false;
      changed_.wait(lock);
    }
    const Block& block = ready_.front();
    if (block.sector > at || !block.ok) return false;  // a gap the thread was not asked to read, or a failure
    const uint32_t from = static_cast<uint32_t>(at - block.sector);
    const uint32_t n = std::min(count - copied, block.count - from);
    std::memcpy(out.data() + size_t{copied} * sectorSize_, block.bytes.data() + size_t{from} * sectorSize_,
                size_t{n} * sectorSize_);
    copied += n;
  }
  return true;
}

}  // namespace snapsave
