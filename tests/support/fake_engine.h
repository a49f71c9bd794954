// An engine for session tests: a scan of a fixed number of steps, recovery that writes filler bytes and can
// fail.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalog/file_recovery_parse.h"
#include "catalog/recovery_output.h"

namespace snapsave::test {

// Reports 100 steps; each step counts only when the callback let it go on. Recovery writes `fill` bytes.
class FakeEngine : public IFileRecoveryParse {
 public:
  std::atomic<int32_t> steps{0};
  int32_t stepsWanted = 100;
  int32_t secondsLeft = -1;    // what every report says of the time left
  bool reportSectors = false;  // report steps as sectors of stepsWanted
  std::chrono::microseconds stepTime{1000};
  std::set<std::string> failWith112;   // names whose writing runs out of space half-way
  std::set<std::string> failSilently;  // names the engine refuses without reporting a file
  std::set<std::string> unreadable;    // names written whole with sectors 100-103 unreadable (zeros)
  std::set<std::string> sourceGoneAt;  // names half-way through which the source goes away
  EngineCallbacks callbacks;

  uint32_t Open(const VolumeSource&) override { return 0; }
  int32_t SetCallbacks(ScanProgressCallback s, RecoverProgressCallback r, void* c, int32_t w) override {
    callbacks.Set(s, r, c, w);
    return 0;
  }
  int32_t Scan(std::string_view) override {
    while (steps < stepsWanted) {
      if (callbacks.scan != nullptr &&
          callbacks.scan(callbacks.context, steps * 100 / stepsWanted, callbacks.weight, secondsLeft,
                         reportSectors ? static_cast<uint64_t>(steps.load()) : 0,
                         reportSectors ? static_cast<uint64_t>(stepsWanted) : 0,
                         static_cast<uint64_t>(steps / 10), 0) == ScanCancelled)
        return ScanCancelled;
      ++steps;
      std::this_thread::sleep_for(stepTime);
    }
    return 0;
  }
  uint32_t ListFolder(const FoundFileRecord*, int32_t, RecordList&) override { return 0; }
  uint32_t CountFolderFiles(const FoundFileRecord*, int32_t, uint32_t&) override { return 0; }
  uint64_t GetRecordCount() override { return 0; }
  uint32_t GetRecordPath(const FoundFileRecord*, std::string&) override { return 0; }
  int32_t RecoverRecord(const FoundFileRecord* record, const std::filesystem::path& path, int32_t) override {
    std::this_thread::sleep_for(stepTime);
    const std::string name(record->Name());
    if (failSilently.count(name) != 0) return static_cast<int32_t>(err::kInvalidData);
    const bool full = failWith112.count(name) != 0;
    return WriteFoundFile(callbacks, *record, path, [&](uint64_t total, const PieceSink& sink) -> int32_t {
      std::vector<uint8_t> piece(static_cast<size_t>(total / 2), 0x5A);
      if (int32_t r = sink(piece); r != 0) return r;
      if (full) return static_cast<int32_t>(err::kDiskFull);
      if (sourceGoneAt.count(name) != 0) return static_cast<int32_t>(err::kDeviceGone);
      piece.assign(static_cast<size_t>(total - total / 2), 0x5A);
      if (int32_t r = sink(piece); r != 0) return r;
      return unreadable.count(name) != 0 ? static_cast<int32_t>(err::kCrc) : 0;
    });
  }
  std::vector<SectorStretch> LastFileUnreadable() const override { return {{100, 4}}; }
  int32_t NextUnallocatedRun(uint64_t&, uint64_t&) override { return 0; }
  uint32_t SetSearchCallback(SearchProgressCallback, void*) override { return 0; }
  uint32_t SearchByType(std::string_view, RecordList&) override { return 1; }
  int32_t BuildAllocationMap() override { return 0; }
  uint32_t ExtractForPreview(const FoundFileRecord*, std::filesystem::path&, std::span<uint8_t>, uint32_t&,
                             PreviewProgressCallback, void*) override {
    return 0;
  }
};

}  // namespace snapsave::test
