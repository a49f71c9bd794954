// Reading ahead of a sequential pass: one thread reads the stretches the pass will ask for next into a small
// ring of large buffers while the pass works on what was read before, so that neither the device nor the
// processor waits for the other. The pass still asks for every chunk itself, in its own order; what the
// thread has not read (yet, or at all: a failed read) the pass reads directly, so errors are found where they
// are.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "storage/sector_reader.h"

namespace snapsave {

class ReadAhead {
 public:
  // `blocks` buffers of `blockBytes` each (a whole number of sectors).
  ReadAhead(const SectorReader& reader, uint32_t sectorSize, size_t blockBytes = size_t{1} << 20,
            size_t blocks = 4);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Sees each block read whole (absolute first sector, its bytes), on the reading thread, in order. Set
  // before the first Enqueue.
  using BlockObserver = std::function<void(uint64_t firstSector, std::span<const uint8_t> bytes)>;
  void SetObserver(BlockObserver observer) { observer_ = std::move(observer); }

  // Adds a stretch (absolute sectors) the pass will read next, after those added before.
  void Enqueue(uint64_t firstSector, uint64_t count);
  // Fills `out` with `count` sectors from `sector` when the thread read them whole; false when it did not
  // (the caller reads them itself). Blocks that end before `sector` are dropped: the pass never goes back.
  bool Take(uint64_t sector, uint32_t count, std::span<uint8_t> out);
  // The pass jumps to `sector`: what lies before it is not read ahead any more.
  void DropBefore(uint64_t sector);

 private:
  struct Block {
    uint64_t sector = 0;
    uint32_t count = 0;  // sectors held
    bool ok = false;
    std::vector<uint8_t> bytes;
  };
  void Work();
  // Drops what is still to be read before `sector`. Called with the lock held.
  void TrimStretches(uint64_t sector);

  const SectorReader& reader_;
  uint32_t sectorSize_;
  uint32_t blockSectors_;
  size_t capacity_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<uint64_t, uint64_t>> stretches_;  // still to read: first sector, count
  std::deque<Block> ready_;                              // read, in order
  std::vector<std::vector<uint8_t>> spare_;              // buffers free for the thread
  bool stopping_ = false;
  BlockObserver observer_;
  std::thread thread_;
};

}  // namespace snapsave
