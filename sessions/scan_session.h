// The scan, search and preview sessions, and the scan targets whose engines serve everything found.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "catalog/deep_scan_control.h"
#include "catalog/file_recovery_parse.h"
#include "catalog/saved_scan_store.h"
#include "sessions/session.h"
#include "storage/disk_list.h"

namespace snapsave {

// One source to scan. Kept after the scan: its engine serves browsing, searching, preview and recovery.
struct ScanTarget {
  std::optional<VolumeInfo> volume;  // nothing for an image file
  std::unique_ptr<IFileRecoveryParse> engine;
  std::filesystem::path imagePath;  // empty for a disk volume
  char16_t imageDriveLetter = 0;

  bool IsDisk() const { return volume.has_value() && imagePath.empty(); }
  // The letter (or running number) its engine stamps on the records it finds.
  char16_t DriveLetter() const { return IsDisk() ? volume->driveLetter : imageDriveLetter; }
};

// Where a target's engine reads: its image file, or its volume on its disk.
VolumeSource SourceOf(const ScanTarget& target);

// The engine of the first target whose letter is the record's; null when none.
IFileRecoveryParse* FindEngine(std::span<ScanTarget* const> targets, uint16_t driveLetter);

// Makes an engine for a target; the factory in production, fakes in tests.
using EngineMaker = std::function<std::unique_ptr<IFileRecoveryParse>(const ScanTarget& target, bool deep)>;
// The factory's engines, keeping their catalogues and saved positions in `store` (which outlives them).
EngineMaker DefaultEngineMaker(SavedScanStore& store);

// "Scanning volume 3", "Scanning image card.img": the stage line of a target, from the view's messages.
// `letterId`, `numberId`, `imageId` name the three messages of the session.
std::string TargetStage(ProgressView& view, const ScanTarget& target, std::string_view letterId,
                        std::string_view numberId, std::string_view imageId);

class ScanSession final : public Session {
 public:
  ScanSession(ProgressView& view, std::vector<ScanTarget*> targets, bool deep, EngineMaker makeEngine);
  ~ScanSession() override { Wait(); }

  // What Scan returned for each target that was scanned, in order. Safe to read once the worker is done.
  const std::vector<int32_t>& Results() const { return results_; }
  // Where the bar stood when the user stopped the scan; nothing when it was not stopped.
  std::optional<int32_t> StoppedAt() const;

  // The scan callback; `context` is the session.
  static int32_t OnScanProgress(void* context, int32_t progress, int32_t weight, int32_t secondsLeft,
                                uint64_t currentSector, uint64_t totalSectors, uint64_t filesFound,
                                uint32_t reserved);

 private:
  void Run() override;

  std::vector<ScanTarget*> targets_;
  bool deep_;
  EngineMaker makeEngine_;
  std::vector<int32_t> results_;
  std::atomic<int32_t> bar_{0};
};

class SearchSession final : public Session {
 public:
  // Appends to `results` every record of the targets' engines whose extension is in `extensionList`.
  SearchSession(ProgressView& view, std::vector<ScanTarget*> targets, std::string extensionList,
                RecordList& results);
  ~SearchSession() override { Wait(); }

  static int32_t OnSearchProgress(void* context, int32_t percent, int32_t reserved);

 private:
  void Run() override;

  std::vector<ScanTarget*> targets_;
  std::string extensionList_;
  RecordList& results_;
};

// Where a preview lands and how it is to be shown.
struct PreviewResult {
  FoundFileRecord record{};
  std::filesystem::path path;  // the temporary file of a picture or media file
  std::vector<uint8_t> data;   // everything else: the first bytes, at most the capacity
  bool isMedia = false;
  bool isAudio = false;
  uint32_t error = 0;
};

class PreviewSession final : public Session {
 public:
  // `releaseTemporaryFile` runs before the extraction (the desktop ends the players it started, which may
  // hold the temporary file); media get a second more to let go.
  PreviewSession(ProgressView& view, std::vector<ScanTarget*> targets, const FoundFileRecord& record,
                 size_t capacity, PreviewResult& result, std::function<void()> releaseTemporaryFile = {});
  ~PreviewSession() override { Wait(); }

  static int32_t OnPreviewProgress(void* context, int32_t percent, uint32_t error);

 private:
  void Run() override;

  std::vector<ScanTarget*> targets_;
  FoundFileRecord record_;
  size_t capacity_;
  PreviewResult& result_;
  std::function<void()> releaseTemporaryFile_;
};

}  // namespace snapsave
