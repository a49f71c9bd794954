// The state that header tests and length rules share during a carve. They are free functions that see a
// sector buffer and this context: the reader, the sector position and the stream bookkeeping live here. Each
// carver owns one, so carves of different sources never see each other's state.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace snapsave {

class JpegChecksAhead;
class SectorReader;

class CarvingContext {
 public:
  static constexpr uint32_t kDefaultSectorSize = 512;
  static constexpr size_t kWorkBufferBytes = 65536;
  // Reads through the context refuse larger sectors: no header test needs more, and it bounds what a bogus
  // geometry can make them allocate.
  static constexpr uint32_t kMaxSectorSize = 65536;

  // Same shape as the scan engines' progress callback; length rules report through it.
  using ProgressCallback = int32_t (*)(void* context, int32_t progress, int32_t weight, int32_t secondsLeft,
                                       uint64_t currentSector, uint64_t totalSectors, uint64_t filesFound,
                                       uint32_t reserved);

  CarvingContext() = default;
  CarvingContext(const CarvingContext&) = delete;
  CarvingContext& operator=(const CarvingContext&) = delete;

  // Points the context at a candidate file starting at `sector`: start and current sector both become
  // `sector`.
  void Begin(const SectorReader* source, uint32_t sectorSize, uint64_t sector);

  const SectorReader* source() const { return source_; }
  uint32_t sectorSize() const { return sectorSize_; }
  uint64_t startSector() const { return startSector_; }
  uint64_t currentSector() const { return currentSector_; }
  void SetCurrentSector(uint64_t sector) { currentSector_ = sector; }

  // Reads `count` whole sectors at `firstSector` into the front of `into`. True only when all of them
  // arrived; false without a source, with an unusable sector size, a range that wraps, or a buffer too small.
  bool ReadSectors(std::span<uint8_t> into, uint64_t firstSector, uint32_t count) const;

  // The 64 KiB buffer length rules read into, held by the carver for its lifetime. Acquire returns false (and
  // holds nothing) when the memory is not there.
  bool AcquireWorkBuffer();
  void ReleaseWorkBuffer();
  // Each call hands the buffer to a new user: whoever kept bytes in it from an earlier call (a window of
  // them) sees by the count that they may have been overwritten.
  std::span<uint8_t> workBuffer() {
    ++workBufferHandouts_;
    return workBuffer_;
  }
  uint64_t workBufferHandouts() const { return workBufferHandouts_; }
  size_t workBufferSize() const { return workBuffer_.size(); }

  // Set after a carve attempt that carved nothing or carved a transport stream; while set, the
  // transport-stream test also looks backwards for a packet grid running into the sector.
  bool streamStart() const { return streamStart_; }
  void SetStreamStart(bool on) { streamStart_ = on; }

  // Set while the last carve started a timestamped transport stream (code 47).
  bool transportStreamInProgress() const { return transportStreamInProgress_; }
  void SetTransportStreamInProgress(bool on) { transportStreamInProgress_ = on; }

  // Sector ranges, both ends included, of the transport streams carved in this scan.
  void AddTransportStreamRange(uint64_t firstSector, uint64_t lastSector);
  bool InTransportStreamRange(uint64_t sector) const;
  void ClearTransportStreamRanges() { transportStreamRanges_.clear(); }
  // A new source: no ranges carved or claimed, and the stitching budget whole again.
  void BeginSource() {
    transportStreamRanges_.clear();
    claimedRanges_.clear();
    stitchBudget_ = StitchBudget{};
  }
  const std::vector<std::pair<uint64_t, uint64_t>>& TransportStreamRanges() const {
    return transportStreamRanges_;
  }

  // What the last measure found beside the length: whether the file validated to its end, and, for a file
  // put back together from two pieces, how many sectors its first holds and the absolute sector its second
  // starts at (0 and 0 for a file in one piece).
  struct Outcome {
    bool intact = true;
    // The measure read the file to its end and found it whole: the pass may move past it, also for rows
    // that otherwise move on one sector.
    bool checked = false;
    uint64_t headSectors = 0;
    uint64_t tailSector = 0;
    // The file's kind where the measure learned it better than the header sector showed (a joined
    // document's directory found past the cut); nothing keeps the kind its header gave.
    std::optional<uint32_t> typeCode;
  };
  Outcome& outcome() { return outcome_; }

  // Sector ranges, both ends included, that stitched files took as their second pieces: no other file's
  // piece may lie in them.
  void AddClaimedRange(uint64_t firstSector, uint64_t lastSector);
  bool Claimed(uint64_t sector) const;

  // What the search for second pieces may still spend in this scan: bytes read past the files' breaks, and
  // bytes run through walks, checksums and decodes of joins tried.
  struct StitchBudget {
    uint64_t readBytes = uint64_t{4} << 30;
    uint64_t workBytes = uint64_t{8} << 30;
  };
  StitchBudget& stitchBudget() { return stitchBudget_; }

  struct Progress {
    ProgressCallback callback = nullptr;
    void* callbackContext = nullptr;
    int32_t weight = 0;
    uint64_t scanPosition = 0;
    uint64_t scanTotal = 0;
    int32_t secondsLeft = 0;
    uint64_t foundCount = 0;
    int32_t callbackResult = 0;
  };
  Progress& progress() { return progress_; }
  const Progress& progress() const { return progress_; }

  // What tells a sector of file-system metadata (which ends any file being measured): the file systems'
  // tests, handed in by whoever drives the carve. Without one no sector counts as metadata.
  using MetadataTest = bool (*)(std::span<const uint8_t> sector);
  void SetMetadataTest(MetadataTest test) { metadataTest_ = test; }
  bool IsMetadataSector(std::span<const uint8_t> sector) const {
    return metadataTest_ != nullptr && metadataTest_(sector);
  }

  // False while the candidate starts where a file the metadata found starts, as the same kind of file: the
  // listing shows that file instead, so its checks that cost a decode are not worth making.
  bool checksWanted() const { return checksWanted_; }
  void SetChecksWanted(bool wanted) { checksWanted_ = wanted; }

  // Pictures decoded ahead of the carve on another thread, where the pass runs one (else null).
  JpegChecksAhead* checksAhead() const { return checksAhead_; }
  void SetChecksAhead(JpegChecksAhead* ahead) { checksAhead_ = ahead; }

  // Back to a fresh context's state, keeping the work buffer and the metadata test.
  void Reset();

 private:
  const SectorReader* source_ = nullptr;
  uint32_t sectorSize_ = kDefaultSectorSize;
  uint64_t startSector_ = 0;
  uint64_t currentSector_ = 0;
  std::vector<uint8_t> workBuffer_;
  uint64_t workBufferHandouts_ = 0;
  bool streamStart_ = true;
  bool transportStreamInProgress_ = false;
  std::vector<std::pair<uint64_t, uint64_t>> transportStreamRanges_;
  std::map<uint64_t, uint64_t> claimedRanges_;  // first sector to last, apart
  Outcome outcome_;
  StitchBudget stitchBudget_;
  Progress progress_;
  MetadataTest metadataTest_ = nullptr;
  bool checksWanted_ = true;
  JpegChecksAhead* checksAhead_ = nullptr;
};

}  // namespace snapsave
