// CProfessionalRecovery: the deep scan. The quick engine of the volume's file system runs first and yields
// the map of unallocated space; then one pass reads the volume (or only its unallocated runs) in 64 KiB
// chunks and hands every sector to exactly one of the file systems' deep engines (the first whose claim
// test takes it) or the carver.
// Where the pass got to is saved as it goes (scan_checkpoint.h), so a stopped or killed scan can be
// continued. Every record-level call goes to the engine that made the record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "carve/file_type_recovery.h"
#include "catalog/deep_scan_control.h"
#include "catalog/file_recovery_parse.h"
#include "catalog/saved_scan_store.h"
#include "catalog/volume_engine.h"
#include "engines/file_system_registry.h"
#include "engines/scan_checkpoint.h"
#include "engines/volume_search.h"
#include "os/clock.h"
#include "storage/read_ahead.h"
#include "storage/sector_reader.h"

namespace snapsave {

// How the deep scan gets the quick engine of its source (the engine factory, asked for a quick scan).
using QuickEngineMaker = std::function<std::unique_ptr<IFileRecoveryParse>(const VolumeSource& source)>;

class CProfessionalRecovery final : public IFileRecoveryParse, public DeepScanControl {
 public:
  static constexpr uint32_t kChunkBytes = 65536;
  static constexpr int32_t kWeight = 90;
  static constexpr int32_t kQuickWeight = 9;
  // MiB read ahead while pictures are decoded ahead, so that a worker meets a picture before the pass does.
  static constexpr size_t kCheckAheadBlocks = 8;

  explicit CProfessionalRecovery(SavedScanStore& store, QuickEngineMaker quick = {});
  ~CProfessionalRecovery() override;
  CProfessionalRecovery(const CProfessionalRecovery&) = delete;
  CProfessionalRecovery& operator=(const CProfessionalRecovery&) = delete;

  uint32_t Open(const VolumeSource& source) override;
  int32_t SetCallbacks(ScanProgressCallback scanCallback, RecoverProgressCallback recoverCallback,
                       void* context, int32_t weight) override;
  int32_t Scan(std::string_view logName) override;
  uint32_t ListFolder(const FoundFileRecord* folder, int32_t depth, RecordList& out) override;
  uint32_t CountFolderFiles(const FoundFileRecord* folder, int32_t depth, uint32_t& outCount) override;
  uint64_t GetRecordCount() override;
  uint32_t GetRecordPath(const FoundFileRecord* record, std::string& outPath) override;
  uint32_t GetRecordAncestors(const FoundFileRecord* record, RecordList& out) override;
  DeepScanControl* DeepControl() override { return this; }
  std::vector<SectorStretch> DataRuns(const FoundFileRecord& record) override {
    IFileRecoveryParse* engine = EngineOf(record);
    return engine != nullptr ? engine->DataRuns(record) : std::vector<SectorStretch>{};
  }
  std::vector<SectorStretch> LastFileUnreadable() const override {
    return recovering_ != nullptr ? recovering_->LastFileUnreadable() : std::vector<SectorStretch>{};
  }
  int32_t RecoverRecord(const FoundFileRecord* record, const std::filesystem::path& destinationPath,
                        int32_t baseDepth) override;
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  uint32_t SetSearchCallback(SearchProgressCallback callback, void* context) override;
  // Every engine's matches, a carved file dropped where a file-system engine found the same file (the same
  // first data sector and extension, or a thumbnail carved as a JPEG).
  uint32_t SearchByType(std::string_view extensionList, RecordList& out) override;
  // The absolute sector a found file's bytes start at, for a carved file or a file-system one; nothing when
  // its engine cannot say.
  std::optional<uint64_t> FirstSectorOf(const FoundFileRecord& record) override {
    return record.Kind() == SourceKind::kCarved ? std::optional<uint64_t>(record.entryLocation)
                                                : FirstDataSector(record);
  }
  int32_t BuildAllocationMap() override;
  uint32_t ExtractForPreview(const FoundFileRecord* record, std::filesystem::path& outPath,
                             std::span<uint8_t> buffer, uint32_t& outSize, PreviewProgressCallback callback,
                             void* context) override;

  // The merge rule of SearchByType for a front end that walks the found trees itself: note every file-system
  // file first, then ask for each record whether a merged result keeps it. A carved file is dropped where a
  // file-system engine found a file of the same type at its sector (a thumbnail carved as a JPEG too), and a
  // deep engine's find where the quick engine found the same name at the same sector.
  void ClearMerge() override;
  void NoteForMerge(const FoundFileRecord& record) override;
  bool KeptInMerge(const FoundFileRecord& record) override;

  // A saved scan of this unchanged source was found at open.
  bool HasSavedProgress() const override { return resume_; }
  bool SavedScanFinished() const override { return resume_ && (saved_.flags & kSavedScanFinished) != 0; }
  // Forgets the saved scan and deletes its folder; the next Scan starts afresh.
  void DiscardSavedProgress() override;

  // Chunks the pass could not read and skipped, and the first sector of the first of them.
  uint64_t UnreadableSectors() const override { return unreadableSectors_; }
  std::optional<uint64_t> FirstUnreadableSector() const override { return firstUnreadable_; }
  const std::vector<UnreadableRange>& UnreadableRanges() const override { return unreadable_; }
  const std::vector<LostVolumeExtent>& LostVolumes() const override { return lostVolumes_; }
  uint64_t JoinedFiles() const override { return carver_.StitchedFiles(); }
  uint64_t DamagedCarvedFiles() override { return carver_.DamagedFiles(); }
  void SetCheckpointInterval(uint64_t milliseconds, uint64_t bytes) override {
    checkpointMs_ = milliseconds;
    checkpointBytes_ = bytes;
  }
  // Threads that decode pictures ahead of the pass (0: the pass decodes each itself). The listing does not
  // depend on it.
  void SetCheckWorkers(unsigned workers) { checkWorkers_ = workers; }

  // Sectors the pass covers (after Scan).
  uint64_t TotalSectors() const { return total_; }
  IFileRecoveryParse* QuickEngine() const { return quick_.get(); }

 private:
  struct Run {
    uint64_t start = 0;  // volume-relative
    uint64_t length = 0;
  };

  // Which runs the pass reads: the whole volume, or the free runs the quick engine reports (the whole volume
  // again once it stops answering).
  class ExtentPlan {
   public:
    ExtentPlan(IFileRecoveryParse* quick, bool wholeVolume, uint64_t volumeSectors);
    // The run that starts at or after `from`; length 0 when none is left.
    Run Next(uint64_t from);
    uint64_t TotalSectors();

   private:
    IFileRecoveryParse* quick_;
    bool wholeVolume_;
    uint64_t volumeSectors_;
  };

  // Where the pass is: the run, the sectors of it done, and the files a continued scan found before.
  struct PassCursor {
    Run run;
    uint64_t done = 0;
    uint64_t foundBase = 0;
  };

  // The pass's share of the progress bar starts where the quick phase's ends; the time left is estimated
  // from the speed so far, every few seconds.
  class ProgressClock {
   public:
    static constexpr int32_t kPassStartPercent = 10;
    // The first estimate after two seconds of reading, then one a second, from the average speed so far.
    static constexpr uint64_t kFirstEstimateMs = 2000;
    static constexpr uint64_t kEstimateIntervalMs = 1000;
    static int32_t Percent(uint64_t scanned, uint64_t total);
    void Tick(uint64_t scanned, uint64_t total);
    int32_t SecondsLeft() const { return secondsLeft_; }

   private:
    uint64_t startMs_ = os::TickMs();
    uint64_t lastEstimateMs_ = startMs_;
    int32_t secondsLeft_ = -1;
  };

  // The quick engine's own scan, which also says whether it keeps a map of free runs.
  int32_t RunQuickPhase(const std::string& savedLog, bool& wholeVolume);
  // Opens the carver and starts the deep engines, fresh or on their saved catalogues.
  uint32_t OpenDeepEngines(const std::function<std::string(std::string_view)>& savedName);
  // Puts the carver and the pass where `checkpoint` left them and rebuilds the file-system engines from the
  // metadata log. 0, an error, or the stop a callback answered.
  int32_t RestoreCheckpoint(const ScanCheckpoint& checkpoint, PassCursor& cursor);
  // Saves where the pass stands: the carver's catalogue and the metadata log on the medium first, then the
  // checkpoint, then the store's record. A failure keeps the last checkpoint.
  void WriteCheckpoint(const PassCursor& cursor);
  bool CheckpointDue() const;
  // Reads the plan's runs from the cursor on, chunk by chunk; 0 or the stop a callback answered.
  int32_t Pass(ExtentPlan& plan, PassCursor& cursor);
  // The engine that made the record.
  IFileRecoveryParse* EngineOf(const FoundFileRecord& record);
  // Whether a file's data lies (in part) in a stretch the pass could not read; such files are listed damaged.
  bool CrossesUnreadable(const FoundFileRecord& r);
  void MarkUnreadable(RecordList& records, size_t from);
  IFileRecoveryParse* recovering_ = nullptr;  // the engine that recovers or previews a file now
  // Every engine of the scan: the quick one when there is one, the deep ones, then the carver.
  std::vector<IFileRecoveryParse*> Engines();
  // Reads one chunk; returns sectors usable. Where the read fails, the rest of the chunk is zeros and noted
  // for a retry at the end of the pass, and `skip` receives how many sectors after the chunk the pass jumps
  // (growing while failures go on, as a rescue copy's first pass does); 0 after a good read.
  uint32_t ReadChunk(uint64_t sector, uint32_t count, uint64_t& skip);
  // The stretches jumped over in the pass, read once more sector by sector and dispatched where they read;
  // what stays unreadable is counted. 0 or the stop a callback answered.
  int32_t RetrySkipped();
  void NoteSkipped(uint64_t sector, uint64_t count);
  void NoteUnreadable(uint64_t sector);
  // Offers each sector of the chunk to one engine; returns ScanCancelled or 0, and in `overrun` the sectors
  // the last carve ran past the chunk's end (after a stop: the sectors dispatched before it).
  int32_t Dispatch(uint64_t chunkStart, uint32_t sectors, uint64_t& overrun);
  // Hands the first sector of `rest` (absolute `sector`; `rest` runs to the chunk's end) to the file-system
  // engine it belongs to. False when it is none of theirs.
  bool DispatchMetadata(std::span<const uint8_t> rest, uint64_t sector);
  int32_t Report(int32_t progress, int32_t weight, int32_t secondsLeft, uint64_t current, uint64_t total,
                 uint64_t found);
  // The first data sector of a file-system record, where a carver would have found its header.
  std::optional<uint64_t> FirstDataSector(const FoundFileRecord& record);
  // Remembers where a file the metadata found starts, so that a carve there is measured without the checks
  // the merge would throw away.
  void NoteKnownFile(const FoundFileRecord& record, std::optional<uint64_t> firstSector);
  void NoteQuickFiles();
  // Whether the merge drops a carve with this extension at `sector` for the files known to start there.
  bool CarveDroppedAt(uint64_t sector, std::string_view extension) const;
  // Tells the picture workers not to decode a picture the merge would drop at `sector`.
  void ShareKnownStart(JpegChecksAhead& ahead, uint64_t sector) const;

  struct MergeEntry {
    std::string extension;
    std::string quickName;  // lower-cased name of the quick engine's file there, if any
  };
  std::map<uint64_t, MergeEntry> merge_;
  // Lower-case extensions of the metadata's files, by their first sector.
  std::unordered_map<uint64_t, std::vector<std::string>> knownStarts_;

  SavedScanStore& store_;
  QuickEngineMaker quickMaker_;
  VolumeSource source_;
  char16_t driveLetter_ = 0;
  uint32_t sectorSize_ = SectorReader::kImageSectorSize;
  int32_t diskNumber_ = static_cast<int32_t>(kImageDiskNumber);
  uint64_t volumeStart_ = 0;
  uint64_t volumeSectors_ = 0;
  SectorReader reader_;
  // The file systems' deep engines, in the order the registry offers sectors to them.
  struct DeepEngine {
    const FileSystem* fs;
    std::unique_ptr<DeepVolumeEngine> engine;
  };
  std::vector<DeepEngine> deep_;
  // Lost volumes looked for in what the pass reads, where no file system starts at the source's first sector.
  std::unique_ptr<VolumeSearch> volumeSearch_;
  std::vector<LostVolumeExtent> lostVolumes_;
  // Ends the search: what a continued pass did not read itself (before its checkpoint) is read for it.
  void FinishVolumeSearch(uint64_t passStart);
  CFileTypeRecovery carver_;
  std::unique_ptr<IFileRecoveryParse> quick_;
  int32_t weight_ = kWeight;
  EngineCallbacks callbacks_;
  bool resume_ = false;
  SavedScanRecord saved_{};
  std::filesystem::path savedImage_;  // the file its scan is saved under: the image, or a whole-disk image
  bool opened_ = false;

  unsigned checkWorkers_ = 1;
  JpegChecksAhead* checksAhead_ = nullptr;  // during the pass
  std::vector<uint8_t> chunk_;
  uint64_t total_ = 0;
  uint64_t scanned_ = 0;
  int32_t secondsLeft_ = -1;
  uint64_t found_ = 0;
  uint64_t unreadableSectors_ = 0;
  std::optional<uint64_t> firstUnreadable_;
  std::vector<UnreadableRange> unreadable_;  // the first kMaxUnreadableRanges stretches
  std::vector<UnreadableRange> skipped_;     // jumped over in the pass, absolute sectors
  // The first jump after a failed read, and the longest (64 KiB and 64 MiB of 512-byte sectors).
  static constexpr uint64_t kFirstSkipSectors = 128;
  static constexpr uint64_t kMaxSkipSectors = uint64_t{1} << 17;
  uint64_t skip_ = 0;        // the next jump, in sectors
  uint32_t chunkValid_ = 0;  // sectors of chunk_ that were read; zeros after them
  bool sourceGone_ = false;  // a read failed because the source went away: the pass ends
  // Checkpoints, of a fresh scan or one continued from a checkpoint (not of one saved before them).
  bool checkpointing_ = false;
  std::filesystem::path folder_;  // the scan's folder in the store
  MetadataLog metadata_;
  uint64_t checkpointMs_ = 30'000;
  uint64_t checkpointBytes_ = uint64_t{4} << 30;
  uint64_t lastCheckpointMs_ = 0;
  uint64_t lastCheckpointScanned_ = 0;
  ReadAhead* readAhead_ = nullptr;  // the pass's, while it runs
};

}  // namespace snapsave
