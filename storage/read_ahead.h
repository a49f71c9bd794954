// Reading ahead of a sequential pass: threads read the stretches the pass will ask for next into a small
// ring of large buffers while the pass works on what was read before, so that neither the device nor the
// processor waits for the other. One read is in flight at first; each time the pass has to wait for a block
// still being read, one more may be (up to a limit), so that a source with a long latency per request that
// serves several at once (a network disk, a USB bridge, a busy array) is kept busy, while a fast one costs
// one thread. The pass still asks for every chunk itself, in its own order; what the threads have not read
// (yet, or at all: a failed read) the pass reads directly, so errors are found where they are.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "storage/sector_reader.h"

namespace snapsave {

class ReadAhead {
 public:
  // `blocks` buffers of `blockBytes` each (a whole number of sectors), and one more for each read in
  // flight beyond the first; at most `maxInFlight` reads at once.
  ReadAhead(const SectorReader& reader, uint32_t sectorSize, size_t blockBytes = size_t{1} << 20,
            size_t blocks = 4, size_t maxInFlight = kMaxInFlight);
  static constexpr size_t kMaxInFlight = 8;
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Sees each block read whole (absolute first sector, its bytes), on a reading thread, one at a time, in
  // order, before the pass can take it. Set before the first Enqueue.
  using BlockObserver = std::function<void(uint64_t firstSector, std::span<const uint8_t> bytes)>;
  void SetObserver(BlockObserver observer) { observer_ = std::move(observer); }

  // Adds a stretch (absolute sectors) the pass will read next, after those added before.
  void Enqueue(uint64_t firstSector, uint64_t count);
  // Fills `out` with `count` sectors from `sector` when the threads read them whole; false when they did not
  // (the caller reads them itself). Blocks that end before `sector` are dropped: the pass never goes back.
  bool Take(uint64_t sector, uint32_t count, std::span<uint8_t> out);
  // The pass jumps to `sector`: what lies before it is not read ahead any more.
  void DropBefore(uint64_t sector);
  // Reads the threads may have in flight now.
  size_t Depth() const;

 private:
  struct Block {
    uint64_t sector = 0;
    uint32_t count = 0;  // sectors held
    bool ok = false;
    bool read = false;       // its read has ended
    bool published = false;  // the observer has seen it: the pass may take it
    std::vector<uint8_t> bytes;
  };
  void Work();
  // Hands the blocks read so far, in order, to the observer and then to the pass; one thread at a time.
  // Called and returns with the lock held.
  void Publish(std::unique_lock<std::mutex>& lock);
  bool CanStartRead() const;
  // Drops what is still to be read before `sector`. Called with the lock held.
  void TrimStretches(uint64_t sector);

  const SectorReader& reader_;
  uint32_t sectorSize_;
  uint32_t blockSectors_;
  size_t blocks_;
  size_t maxInFlight_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<uint64_t, uint64_t>> stretches_;  // still to read: first sector, count
  // Being read, read or published, in disk order; a block leaves only once published.
  std::deque<std::unique_ptr<Block>> queue_;
  std::vector<std::vector<uint8_t>> spare_;  // buffers free for the threads
  size_t buffers_ = 0;                       // made so far
  size_t depth_ = 1;                         // reads allowed in flight
  size_t inFlight_ = 0;
  bool publishing_ = false;
  bool stopping_ = false;
  BlockObserver observer_;
  std::vector<std::thread> threads_;
};

}  // namespace snapsave
