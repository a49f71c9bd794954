#include "engines/deep_scan_engine.h"

#include <algorithm>
#include <map>

#include "engines/file_system_registry.h"
#include "filetypes/file_categories.h"
#include "filetypes/file_type_catalogue.h"
#include "filetypes/jpeg_checks_ahead.h"
#include "os/clock.h"
#include "os/device.h"
#include "os/error.h"
#include "os/text.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

// What a carved picture is named with.
constexpr std::string_view kJpegExtension = "jpg";

std::string LowerExtension(std::string_view name) {
  return os::AsciiLower(os::ExtensionOf(name));
}

// Whether the merge lists the file the metadata found (extension `known`) instead of a carve of the same
// start (extension `carved`): the same kind, or a camera's thumbnail file whose data is a JPEG.
bool SameFileInMerge(std::string_view known, std::string_view carved) {
  return carved == known || (known == "thm" && carved == kJpegExtension);
}

bool IsQuickKind(SourceKind k) {
  const FileSystem* fs = FileSystemOfKind(k);
  return fs != nullptr && fs->quickKind == k;
}

}  // namespace

CProfessionalRecovery::CProfessionalRecovery(SavedScanStore& store, QuickEngineMaker quick)
    : store_(store), quickMaker_(std::move(quick)), carver_(store) {
  // File-system metadata ends any file being carved.
  carver_.context().SetMetadataTest(IsFileSystemMetadata);
  for (const FileSystem& fs : FileSystems()) {
    if (fs.makeDeep == nullptr) continue;
    deep_.push_back({&fs, fs.makeDeep(store)});
    DeepVolumeEngine* engine = deep_.back().engine.get();
    engine->ObserveRecords(
        [this, engine](const FoundFileRecord& r) { NoteKnownFile(r, engine->FirstDataSector(r)); });
  }
  carver_.SetKnownFileTest(
      [this](uint64_t sector, std::string_view extension) { return CarveDroppedAt(sector, extension); });
}

CProfessionalRecovery::~CProfessionalRecovery() {
  // The quick engine goes first; the deep engines, the carver and the reader follow.
  quick_.reset();
}

uint32_t CProfessionalRecovery::Open(const VolumeSource& source) {
  source_ = source;
  driveLetter_ = source.driveLetter;
  if (source.IsImage()) {
    if (uint32_t e = reader_.OpenFile(source.image); e != err::kSuccess) return e;
    diskNumber_ = static_cast<int32_t>(kImageDiskNumber);
    volumeStart_ = 0;
    volumeSectors_ = reader_.TotalSectors();
    savedImage_ = source.image;
  } else {
    diskNumber_ = source.diskNumber;
    volumeStart_ = source.startSector;
    volumeSectors_ = source.sectorCount;
    if (uint32_t e = reader_.OpenDiskVolume(source.disk, source.pieces); e != err::kSuccess) return e;
    // A volume of a whole-disk image is saved by its file, whose time says whether it changed since; its
    // disk number is only this run's.
    savedImage_ = source.diskIsImage ? source.disk : fs::path();
  }
  sectorSize_ = reader_.DeviceSectorSize();
  const auto found = source.IsImage()      ? store_.FindImageScan(source.image)
                     : savedImage_.empty() ? store_.FindDiskScan(driveLetter_, diskNumber_, volumeStart_,
                                                                 volumeSectors_, source.disk)
                                           : store_.FindImageScan(savedImage_, volumeStart_);
  resume_ = found.has_value();
  saved_ = found.value_or(SavedScanRecord{});
  uint32_t opened = err::kSuccess;
  for (const DeepEngine& deep : deep_) {
    // The result of the first deep engine that cannot open is the scan's: its volume is not readable.
    if (const uint32_t e = deep.engine->Open(source); e != err::kSuccess && opened == err::kSuccess)
      opened = e;
  }
  if (quickMaker_) quick_ = quickMaker_(source);
  opened_ = true;
  return opened;
}

int32_t CProfessionalRecovery::SetCallbacks(ScanProgressCallback scanCallback,
                                            RecoverProgressCallback recoverCallback, void* context,
                                            int32_t /*weight*/) {
  callbacks_.Set(scanCallback, recoverCallback, context, kWeight);
  weight_ = kWeight;
  if (quick_) quick_->SetCallbacks(scanCallback, recoverCallback, context, kQuickWeight);
  for (const DeepEngine& deep : deep_)
    deep.engine->SetCallbacks(scanCallback, recoverCallback, context, kWeight);
  carver_.SetCallbacks(scanCallback, recoverCallback, context, kWeight);
  return 0;
}

std::vector<IFileRecoveryParse*> CProfessionalRecovery::Engines() {
  std::vector<IFileRecoveryParse*> all;
  if (quick_) all.push_back(quick_.get());
  for (const DeepEngine& deep : deep_) all.push_back(deep.engine.get());
  all.push_back(&carver_);
  return all;
}

void CProfessionalRecovery::DiscardSavedProgress() {
  resume_ = false;
  store_.RemoveScan(fs::path(os::Utf16ToUtf8(saved_.Folder())));
  saved_ = SavedScanRecord{};
}

int32_t CProfessionalRecovery::Report(int32_t progress, int32_t weight, int32_t secondsLeft, uint64_t current,
                                      uint64_t total, uint64_t found) {
  if (callbacks_.scan == nullptr) return 0;
  return callbacks_.scan(callbacks_.context, progress, weight, secondsLeft, current, total, found, 0);
}

// ---- The extent plan: which runs the pass reads.
CProfessionalRecovery::ExtentPlan::ExtentPlan(IFileRecoveryParse* quick, bool wholeVolume,
                                              uint64_t volumeSectors)
    : quick_(quick), wholeVolume_(wholeVolume || quick == nullptr), volumeSectors_(volumeSectors) {}

CProfessionalRecovery::Run CProfessionalRecovery::ExtentPlan::Next(uint64_t from) {
  auto whole = [&] { return from == 0 ? Run{0, volumeSectors_} : Run{volumeSectors_, 0}; };
  if (wholeVolume_) return whole();
  uint64_t position = from;
  uint64_t length = 0;
  // A quick engine that keeps no map answers nothing (an ext volume): the volume is then read whole.
  if (quick_->NextUnallocatedRun(position, length) == 0) {
    wholeVolume_ = true;
    return whole();
  }
  // A run must lie ahead of where the last one ended, or the pass could go round for ever.
  if (position < from || position >= volumeSectors_) length = 0;
  return {position, std::min(length, volumeSectors_ - std::min(position, volumeSectors_))};
}

uint64_t CProfessionalRecovery::ExtentPlan::TotalSectors() {
  uint64_t total = 0;
  if (!wholeVolume_) {
    for (uint64_t from = 0;;) {
      const Run run = Next(from);
      if (run.length == 0) break;
      total += run.length;
      from = run.start + run.length;
    }
  }
  return wholeVolume_ ? volumeSectors_ : total;
}

// ---- The progress clock.
int32_t CProfessionalRecovery::ProgressClock::Percent(uint64_t scanned, uint64_t total) {
  return static_cast<int32_t>(total == 0 ? 100 : scanned * 100 / total + kPassStartPercent);
}

void CProfessionalRecovery::ProgressClock::Tick(uint64_t scanned, uint64_t total) {
  const uint64_t now = os::TickMs();
  if (now - startMs_ < kFirstEstimateMs || now - lastEstimateMs_ < kEstimateIntervalMs) return;
  lastEstimateMs_ = now;
  const uint64_t elapsedMs = std::max<uint64_t>(now - startMs_, 1);
  const uint64_t left = total - std::min(scanned, total);
  // In sectors a second; rounded up to whole seconds.
  const uint64_t perSecond = std::max<uint64_t>(scanned * 1000 / elapsedMs, 1);
  secondsLeft_ = static_cast<int32_t>(std::min<uint64_t>((left + perSecond - 1) / perSecond, INT32_MAX));
}

// ---- The scan.
int32_t CProfessionalRecovery::Scan(std::string_view /*logName*/) {
  if (!opened_ || !reader_.IsOpen()) return static_cast<int32_t>(err::kInvalidParameter);
  const bool fresh = !resume_;
  const fs::path savedFolder = fs::path(os::Utf16ToUtf8(saved_.Folder()));
  // A scan saved with checkpoints goes on from its last one; a finished one, or one saved before there were
  // checkpoints, from its catalogues.
  std::optional<ScanCheckpoint> checkpoint;
  if (!fresh && !SavedScanFinished()) checkpoint = LoadScanCheckpoint(savedFolder);
  if (fresh) store_.StartNewScan();
  // Taken now: another scan started through the same store moves its current folder on.
  folder_ = fresh ? store_.CurrentFolder() : savedFolder;
  // From a checkpoint the file-system engines are rebuilt, into fresh catalogues.
  if (checkpoint) {
    for (const DeepEngine& deep : deep_) {
      while (const auto name = store_.FindFileByPrefix(savedFolder, deep.engine->LogPrefix())) {
        std::error_code ec;
        if (!fs::remove(savedFolder / *name, ec)) break;
      }
    }
  }
  auto savedName = [&](std::string_view prefix) {
    return fresh ? std::string() : store_.FindFileByPrefix(savedFolder, prefix).value_or(std::string());
  };

  bool wholeVolume = true;
  knownStarts_.clear();
  lostVolumes_.clear();
  volumeSearch_.reset();
  int32_t r = RunQuickPhase(savedName("Fast_"), wholeVolume);
  // No file system starts here: this is a whole disk, whose volumes the pass can find by their structures.
  if (!quick_ && volumeStart_ == 0 && sectorSize_ == SectorReader::kImageSectorSize)
    volumeSearch_ = std::make_unique<VolumeSearch>(reader_, volumeSectors_);
  if (r == 0) NoteQuickFiles();
  if (r == 0) r = static_cast<int32_t>(OpenDeepEngines(savedName));
  checkpointing_ = fresh || checkpoint.has_value();
  if (r == 0 && checkpointing_)
    r = static_cast<int32_t>(
        metadata_.Open(folder_ / kMetadataLogFileName, checkpoint ? checkpoint->metadataEntries : 0));

  ExtentPlan plan(quick_.get(), wholeVolume, volumeSectors_);
  total_ = plan.TotalSectors();
  PassCursor cursor{plan.Next(0), 0, 0};
  scanned_ = 0;
  unreadableSectors_ = 0;
  firstUnreadable_.reset();
  unreadable_.clear();
  skipped_.clear();
  skip_ = 0;
  if (r == 0 && checkpoint) {
    r = RestoreCheckpoint(*checkpoint, cursor);
  } else if (r == 0 && !fresh) {
    cursor = {
        {saved_.runStart, saved_.runLength}, std::min(saved_.runDone, saved_.runLength), saved_.filesFound};
    scanned_ = std::min(saved_.scannedSectors, total_);
  }
  if (r != 0) {
    // A continued scan keeps its saved position and checkpoint; only a fresh one gives its folder number
    // back.
    metadata_.Close();
    if (fresh) store_.UndoNewScan();
    return r;
  }

  sourceGone_ = false;
  const uint64_t passStart = cursor.run.start + cursor.done;
  int32_t stop = Pass(plan, cursor);
  // A stop inside the retries keeps the checkpoint of the pass's end: what they found since is found again.
  // So does a source that went away: what was carved while it went may be cut short.
  if (stop != static_cast<int32_t>(err::kDeviceGone)) WriteCheckpoint(cursor);
  if (stop == 0) stop = RetrySkipped();

  for (const DeepEngine& deep : deep_) deep.engine->FinishPass();
  if (stop == 0) FinishVolumeSearch(passStart);
  volumeSearch_.reset();
  carver_.Flush();
  chunk_ = {};
  if (stop == 0) Report(100, 100, 0, 0, 0, 0);
  const ScanPosition position{
      cursor.run.start, cursor.run.length, cursor.done, scanned_, GetRecordCount() + cursor.foundBase,
      stop == 0};
  // A source that went away cannot be told from a changed one now (no write time, no free space): the record
  // its last checkpoint wrote stands.
  const uint32_t saved =
      stop == static_cast<int32_t>(err::kDeviceGone)
          ? err::kSuccess
          : store_.SaveScan(driveLetter_, diskNumber_, volumeStart_, volumeSectors_, position, folder_,
                            savedImage_.empty() ? nullptr : &savedImage_, source_.disk);
  metadata_.Close();
  // A finished scan is read back from its catalogues; its checkpoint has no use left.
  if (stop == 0 && saved == err::kSuccess) {
    std::error_code ec;
    fs::remove(folder_ / kCheckpointFileName, ec);
    fs::remove(folder_ / kMetadataLogFileName, ec);
  }
  checkpointing_ = false;
  return stop;
}

void CProfessionalRecovery::FinishVolumeSearch(uint64_t passStart) {
  if (!volumeSearch_) return;
  std::vector<uint8_t> chunk(kChunkBytes);
  const uint32_t chunkSectors = kChunkBytes / sectorSize_;
  for (uint64_t at = 0; at < passStart;) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(chunkSectors, passStart - at));
    uint32_t got = 0;
    reader_.ReadSectors(std::span(chunk).first(size_t{count} * sectorSize_), static_cast<int32_t>(count), at,
                        sectorSize_, &got);
    volumeSearch_->Look(at, std::span<const uint8_t>(chunk).first(size_t{got} * sectorSize_));
    at += got == 0 ? count : got;
  }
  for (const FoundVolume& v : volumeSearch_->Finish()) {
    if (v.fileSystem == nullptr) continue;
    lostVolumes_.push_back({v.startSector, v.sectorCount, std::string(v.fileSystem->name)});
  }
}

int32_t CProfessionalRecovery::RestoreCheckpoint(const ScanCheckpoint& c, PassCursor& cursor) {
  if (uint32_t e = carver_.KeepRecords(c.carverRecords); e != err::kSuccess) return static_cast<int32_t>(e);
  CarvingContext& context = carver_.context();
  context.SetStreamStart(c.streamStart);
  context.SetTransportStreamInProgress(c.transportStreamInProgress);
  for (const auto& [first, last] : c.transportStreamRanges) context.AddTransportStreamRange(first, last);
  const ScanPosition& at = c.position;
  const uint64_t start = std::min(at.runStart, volumeSectors_);
  const uint64_t length = std::min(at.runLength, volumeSectors_ - start);
  cursor = {{start, length}, std::min(at.runDone, length), 0};
  scanned_ = std::min(at.scannedSectors, total_);
  skipped_ = c.skipped;
  unreadableSectors_ = c.unreadableSectors;
  unreadable_ = c.unreadable;
  if (unreadable_.size() > kMaxUnreadableRanges) unreadable_.resize(kMaxUnreadableRanges);
  if (!unreadable_.empty()) firstUnreadable_ = unreadable_.front().firstSector;

  // The sectors the file-system engines were given, read again chunk by chunk and given in the same order.
  const uint32_t maxSectors = kChunkBytes / sectorSize_;
  chunk_.assign(kChunkBytes, 0);
  uint64_t loaded = UINT64_MAX;
  uint32_t loadedSectors = 0;
  uint64_t replayed = 0;
  int32_t stop = 0;
  const uint32_t e = metadata_.ForEach([&](const MetadataEntry& m) {
    if (m.chunkSectors == 0 || m.chunkSectors > maxSectors || m.index >= m.chunkSectors ||
        m.validSectors > m.chunkSectors)
      return true;
    if (m.chunkStart != loaded || m.chunkSectors != loadedSectors) {
      loaded = m.chunkStart;
      loadedSectors = m.chunkSectors;
      uint32_t got = 0;
      if (m.validSectors != 0)
        reader_.ReadSectors(std::span(chunk_).first(size_t{m.validSectors} * sectorSize_), m.validSectors,
                            m.chunkStart, sectorSize_, &got);
      std::fill(chunk_.begin() +
                    static_cast<ptrdiff_t>(size_t{std::min<uint32_t>(got, m.validSectors)} * sectorSize_),
                chunk_.end(), uint8_t{0});
    }
    DispatchMetadata(std::span<const uint8_t>(chunk_).subspan(
                         size_t{m.index} * sectorSize_, (size_t{m.chunkSectors} - m.index) * sectorSize_),
                     m.chunkStart + m.index);
    if (++replayed % 4096 == 0 && callbacks_.scan != nullptr) {
      stop =
          Report(ProgressClock::Percent(scanned_, total_), kWeight, -1, scanned_, total_, GetRecordCount());
      return stop == 0;
    }
    return true;
  });
  if (stop != 0) return stop;
  if (e != err::kSuccess) return static_cast<int32_t>(e);
  cursor.foundBase = at.filesFound - std::min(at.filesFound, GetRecordCount());
  return 0;
}

bool CProfessionalRecovery::CheckpointDue() const {
  if (!checkpointing_) return false;
  return (scanned_ - std::min(scanned_, lastCheckpointScanned_)) * sectorSize_ >= checkpointBytes_ ||
         os::TickMs() - lastCheckpointMs_ >= checkpointMs_;
}

void CProfessionalRecovery::WriteCheckpoint(const PassCursor& cursor) {
  if (!checkpointing_ || !metadata_.IsOpen() || reader_.SourceGone()) return;
  lastCheckpointMs_ = os::TickMs();
  lastCheckpointScanned_ = scanned_;
  ScanCheckpoint c;
  if (carver_.SyncCatalogue(c.carverRecords) != err::kSuccess || metadata_.Sync() != err::kSuccess) return;
  c.metadataEntries = metadata_.Entries();
  c.position = {
      cursor.run.start, cursor.run.length, cursor.done, scanned_, GetRecordCount() + cursor.foundBase, false};
  const CarvingContext& context = carver_.context();
  c.streamStart = context.streamStart();
  c.transportStreamInProgress = context.transportStreamInProgress();
  c.transportStreamRanges = context.TransportStreamRanges();
  c.skipped = skipped_;
  c.unreadableSectors = unreadableSectors_;
  c.unreadable = unreadable_;
  if (os::ReplaceFile(folder_ / kCheckpointFileName, EncodeScanCheckpoint(c)) != err::kSuccess) return;
  store_.SaveScan(driveLetter_, diskNumber_, volumeStart_, volumeSectors_, c.position, folder_,
                  savedImage_.empty() ? nullptr : &savedImage_, source_.disk);
}

int32_t CProfessionalRecovery::RunQuickPhase(const std::string& savedLog, bool& wholeVolume) {
  wholeVolume = true;
  if (!quick_) return 0;
  quick_->SetCallbacks(callbacks_.scan, nullptr, callbacks_.context, kQuickWeight);
  wholeVolume = quick_->BuildAllocationMap() != 0;
  const int32_t r = quick_->Scan(savedLog);
  quick_->SetCallbacks(callbacks_.scan, callbacks_.recover, callbacks_.context, kQuickWeight);
  return r;
}

uint32_t CProfessionalRecovery::OpenDeepEngines(
    const std::function<std::string(std::string_view)>& savedName) {
  const uint32_t opened = resume_ ? carver_.Attach(source_, savedName(log_prefix::kFileType), sectorSize_)
                                  : carver_.Open(source_);
  // A deep engine that cannot start (its volume unreadable, its catalogue not written) finds nothing; the
  // pass goes on for the others.
  for (const DeepEngine& deep : deep_) deep.engine->StartPass(savedName(deep.engine->LogPrefix()));
  if (opened != err::kSuccess) return opened;
  carver_.context().ClearTransportStreamRanges();
  carver_.SetCallbacks(callbacks_.scan, callbacks_.recover, callbacks_.context, kWeight);
  return err::kSuccess;
}

int32_t CProfessionalRecovery::Pass(ExtentPlan& plan, PassCursor& cursor) {
  const uint32_t chunkSectors = kChunkBytes / sectorSize_;
  chunk_.assign(kChunkBytes, 0);
  ProgressClock clock;
  secondsLeft_ = -1;
  int32_t stop = 0;
  lastCheckpointMs_ = os::TickMs();
  lastCheckpointScanned_ = scanned_;
  // Pictures in what is read ahead are decoded on another thread; the carve takes their verdicts.
  JpegChecksAhead checksAhead(reader_, sectorSize_, IsFileSystemMetadata, checkWorkers_);
  for (const auto& [sector, extensions] : knownStarts_) ShareKnownStart(checksAhead, sector);
  // The thread reads this run and the next while the pass works; the plan is asked on this thread only.
  ReadAhead readAhead(reader_, sectorSize_, size_t{1} << 20, checkWorkers_ != 0 ? kCheckAheadBlocks : 4);
  if (checkWorkers_ != 0)
    readAhead.SetObserver([&checksAhead](uint64_t first, std::span<const uint8_t> bytes) {
      checksAhead.OfferFrom(first, bytes);
    });
  readAhead_ = &readAhead;
  checksAhead_ = &checksAhead;
  carver_.context().SetChecksAhead(&checksAhead);
  struct Forget {
    CProfessionalRecovery& scan;
    ~Forget() {
      scan.readAhead_ = nullptr;
      scan.checksAhead_ = nullptr;
      scan.carver_.context().SetChecksAhead(nullptr);
    }
  } forget{*this};
  Run next = cursor.run;
  if (cursor.run.length != 0)
    readAhead.Enqueue(volumeStart_ + cursor.run.start + cursor.done, cursor.run.length - cursor.done);
  auto enqueueAfter = [&](const Run& run) {
    next = plan.Next(run.start + run.length);
    if (next.length != 0) readAhead.Enqueue(volumeStart_ + next.start, next.length);
  };
  if (cursor.run.length != 0) enqueueAfter(cursor.run);
  while (cursor.run.length != 0 && stop == 0) {
    const uint64_t first = volumeStart_ + cursor.run.start;
    while (cursor.done < cursor.run.length) {
      const auto count =
          static_cast<uint32_t>(std::min<uint64_t>(chunkSectors, cursor.run.length - cursor.done));
      uint64_t skip = 0;
      const uint32_t usable = ReadChunk(first + cursor.done, count, skip);
      if (sourceGone_) {
        stop = static_cast<int32_t>(err::kDeviceGone);
        break;
      }
      uint64_t overrun = 0;
      if (volumeSearch_ && usable != 0)
        volumeSearch_->Look(first + cursor.done,
                            std::span<const uint8_t>(chunk_).first(size_t{usable} * sectorSize_));
      if (usable != 0) {
        found_ = GetRecordCount() + cursor.foundBase;
        stop = Dispatch(first + cursor.done, usable, overrun);
      }
      // After a failed read the pass jumps ahead (past what a carve took already); the jumped-over sectors
      // are read again at the end of the pass.
      if (stop == 0 && skip > overrun) {
        const uint64_t from = cursor.done + count + overrun;
        const uint64_t jump = std::min(skip - overrun, cursor.run.length - std::min(cursor.run.length, from));
        NoteSkipped(first + from, jump);
        overrun += jump;
        readAhead.DropBefore(first + from + jump);
      }
      // Stopped inside the chunk: the position saved is the sector whose carve was stopped, so that a
      // continued scan neither skips the rest of the chunk nor carves a file twice.
      const uint64_t advance = stop != 0 ? overrun : count + overrun;
      scanned_ += std::min(advance, cursor.run.length - cursor.done);
      cursor.done = std::min(cursor.run.length, cursor.done + advance);
      if (weight_ == kWeight) {
        clock.Tick(scanned_, total_);
        secondsLeft_ = clock.SecondsLeft();
      }
      if (stop != 0) break;
      if (CheckpointDue()) WriteCheckpoint(cursor);
      if (callbacks_.scan != nullptr) {
        stop = Report(ProgressClock::Percent(scanned_, total_), kWeight, secondsLeft_, scanned_, total_,
                      GetRecordCount() + cursor.foundBase);
        if (stop != 0) break;
      }
    }
    if (stop != 0) break;
    cursor.run = next;
    cursor.done = 0;
    if (cursor.run.length != 0) enqueueAfter(cursor.run);
  }
  return stop;
}

uint32_t CProfessionalRecovery::ReadChunk(uint64_t sector, uint32_t count, uint64_t& skip) {
  skip = 0;
  chunkValid_ = count;
  if (readAhead_ != nullptr && readAhead_->Take(sector, count, chunk_)) {
    skip_ = 0;
    return count;
  }
  uint32_t got = 0;
  const uint32_t e = reader_.ReadSectors(std::span(chunk_).first(size_t{count} * sectorSize_),
                                         static_cast<int32_t>(count), sector, sectorSize_, &got);
  skip = 0;
  if (got != count && (e == err::kDeviceGone || reader_.SourceGone())) {
    sourceGone_ = true;
    return 0;
  }
  if (got == count) {
    skip_ = 0;
    return count;
  }
  chunkValid_ = got;
  // A bad area, or the end of a truncated image: no sector-by-sector retries now (on a failing disk each
  // costs the drive's own retries); the rest of the chunk is zeros for now and read again after the pass.
  std::fill(chunk_.begin() + static_cast<ptrdiff_t>(size_t{got} * sectorSize_),
            chunk_.begin() + static_cast<ptrdiff_t>(size_t{count} * sectorSize_), uint8_t{0});
  NoteSkipped(sector + got, count - got);
  skip_ = skip_ == 0 ? kFirstSkipSectors : std::min(skip_ * 2, kMaxSkipSectors);
  skip = skip_;
  return count;
}

void CProfessionalRecovery::NoteSkipped(uint64_t sector, uint64_t count) {
  if (count == 0) return;
  if (!skipped_.empty() && skipped_.back().firstSector + skipped_.back().count == sector) {
    skipped_.back().count += count;
    return;
  }
  skipped_.push_back({sector, count});
}

void CProfessionalRecovery::NoteUnreadable(uint64_t sector) {
  ++unreadableSectors_;
  if (!firstUnreadable_) firstUnreadable_ = sector;
  if (!unreadable_.empty() && unreadable_.back().firstSector + unreadable_.back().count == sector) {
    ++unreadable_.back().count;
  } else if (unreadable_.size() < kMaxUnreadableRanges) {
    unreadable_.push_back({sector, 1});
  }
}

int32_t CProfessionalRecovery::RetrySkipped() {
  const uint32_t chunkSectors = kChunkBytes / sectorSize_;
  for (const UnreadableRange& stretch : skipped_) {
    const uint64_t end = stretch.firstSector + stretch.count;
    uint64_t at = stretch.firstSector;
    while (at < end) {
      // The sectors that read, one by one, gathered into a chunk until one fails or the chunk is full.
      uint32_t good = 0;
      while (at + good < end && good < chunkSectors) {
        const std::span<uint8_t> one = std::span(chunk_).subspan(size_t{good} * sectorSize_, sectorSize_);
        uint32_t single = 0;
        reader_.ReadSectors(one, 1, at + good, sectorSize_, &single);
        if (single != 1) {
          if (reader_.SourceGone()) return static_cast<int32_t>(err::kDeviceGone);
          break;
        }
        ++good;
      }
      uint64_t overrun = 0;
      chunkValid_ = good;
      if (good != 0) {
        if (const int32_t stop = Dispatch(at, good, overrun); stop != 0) return stop;
      }
      at += good + overrun;
      if (at < end && good < chunkSectors && overrun == 0) {
        NoteUnreadable(at);
        ++at;
      }
      if (callbacks_.scan != nullptr) {
        if (const int32_t stop = Report(ProgressClock::Percent(scanned_, total_), kWeight, secondsLeft_,
                                        scanned_, total_, GetRecordCount());
            stop != 0)
          return stop;
      }
    }
  }
  skipped_.clear();
  return 0;
}

int32_t CProfessionalRecovery::Dispatch(uint64_t chunkStart, uint32_t sectors, uint64_t& overrun) {
  if (checksAhead_ != nullptr) checksAhead_->Passed(chunkStart);
  uint64_t i = 0;
  while (i < sectors) {
    const uint64_t absolute = chunkStart + i;
    const std::span<const uint8_t> rest =
        std::span<const uint8_t>(chunk_).subspan(size_t{i} * sectorSize_, size_t{sectors - i} * sectorSize_);
    uint64_t consumed = 1;
    if (DispatchMetadata(rest, absolute)) {
      if (metadata_.IsOpen())
        metadata_.Append({chunkStart, static_cast<uint16_t>(sectors), static_cast<uint16_t>(chunkValid_),
                          static_cast<uint16_t>(i)});
    } else {
      const int32_t r = carver_.CarveAt(rest.first(sectorSize_), absolute, scanned_, total_, secondsLeft_,
                                        &reader_, sectorSize_, consumed, found_);
      if (r == ScanCancelled) {
        overrun = i;  // with a stop: the sectors dispatched before it
        return r;
      }
    }
    i += consumed;
  }
  overrun = i - sectors;
  return 0;
}

bool CProfessionalRecovery::DispatchMetadata(std::span<const uint8_t> rest, uint64_t absolute) {
  const std::span<const uint8_t> sector = rest.first(sectorSize_);
  for (const DeepEngine& deep : deep_) {
    if (!deep.engine->Claims(sector)) continue;
    deep.engine->Take(rest, absolute);
    return true;
  }
  return false;
}

IFileRecoveryParse* CProfessionalRecovery::EngineOf(const FoundFileRecord& record) {
  if (record.Kind() == SourceKind::kCarved) return &carver_;
  if (IsQuickKind(record.Kind())) return quick_.get();
  const FileSystem* fs = FileSystemOfKind(record.Kind());
  if (fs == nullptr) return nullptr;
  for (const DeepEngine& deep : deep_) {
    if (deep.fs == fs) return deep.engine.get();
  }
  return nullptr;
}

uint32_t CProfessionalRecovery::ListFolder(const FoundFileRecord* folder, int32_t depth, RecordList& out) {
  const size_t before = out.size();
  if (folder == nullptr) {
    if (depth != 0) return err::kInvalidParameter;
    for (IFileRecoveryParse* engine : Engines()) engine->ListFolder(nullptr, 0, out);
    MarkUnreadable(out, before);
    SortRecordList(out);
    return err::kSuccess;
  }
  IFileRecoveryParse* engine = EngineOf(*folder);
  uint32_t e = err::kSuccess;
  if (engine != nullptr && folder->Kind() != SourceKind::kCarved) e = engine->ListFolder(folder, depth, out);
  MarkUnreadable(out, before);
  SortRecordList(out);
  return e;
}

bool CProfessionalRecovery::CrossesUnreadable(const FoundFileRecord& r) {
  if (r.isFolder != 0 || unreadable_.empty()) return false;
  const uint64_t sectors = r.fileSize / sectorSize_ + (r.fileSize % sectorSize_ != 0);
  std::vector<FilePiece> pieces;
  if (r.Kind() == SourceKind::kCarved) {
    pieces = carver_.PiecesOf(r);
  } else if (const auto first = FirstDataSector(r)) {
    // Where the engines read a deleted file from: on from its first sector.
    pieces.push_back({*first, sectors});
  }
  for (const FilePiece& p : pieces) {
    // The first stretch ending after the piece starts.
    auto it =
        std::upper_bound(unreadable_.begin(), unreadable_.end(), p.firstSector,
                         [](uint64_t at, const UnreadableRange& u) { return at < u.firstSector + u.count; });
    if (it != unreadable_.end() && it->firstSector < p.firstSector + p.sectors) return true;
  }
  return false;
}

void CProfessionalRecovery::MarkUnreadable(RecordList& records, size_t from) {
  if (unreadable_.empty()) return;
  for (size_t i = from; i < records.size(); ++i) {
    if (records[i].isIntact != 0 && CrossesUnreadable(records[i])) records[i].isIntact = 0;
  }
}

uint32_t CProfessionalRecovery::CountFolderFiles(const FoundFileRecord* folder, int32_t depth,
                                                 uint32_t& outCount) {
  outCount = 0;
  if (folder == nullptr) {
    if (depth != 0) return err::kInvalidParameter;
    for (IFileRecoveryParse* engine : Engines()) {
      uint32_t n = 0;
      if (engine->CountFolderFiles(nullptr, 0, n) == err::kSuccess) outCount += n;
    }
    return err::kSuccess;
  }
  IFileRecoveryParse* engine = EngineOf(*folder);
  if (engine == nullptr || folder->Kind() == SourceKind::kCarved) return err::kSuccess;
  return engine->CountFolderFiles(folder, depth, outCount);
}

uint64_t CProfessionalRecovery::GetRecordCount() {
  uint64_t count = 0;
  for (IFileRecoveryParse* engine : Engines()) count += engine->GetRecordCount();
  return count;
}

uint32_t CProfessionalRecovery::GetRecordPath(const FoundFileRecord* record, std::string& outPath) {
  outPath.clear();
  if (record == nullptr) return err::kInvalidParameter;
  if (record->Kind() == SourceKind::kCarved) return err::kSuccess;
  IFileRecoveryParse* engine = EngineOf(*record);
  return engine != nullptr ? engine->GetRecordPath(record, outPath) : err::kInvalidParameter;
}

uint32_t CProfessionalRecovery::GetRecordAncestors(const FoundFileRecord* record, RecordList& out) {
  out.clear();
  if (record == nullptr) return err::kInvalidParameter;
  if (record->Kind() == SourceKind::kCarved) return err::kSuccess;
  IFileRecoveryParse* engine = EngineOf(*record);
  return engine != nullptr ? engine->GetRecordAncestors(record, out) : err::kInvalidParameter;
}

int32_t CProfessionalRecovery::RecoverRecord(const FoundFileRecord* record, const fs::path& destinationPath,
                                             int32_t baseDepth) {
  if (record == nullptr) return static_cast<int32_t>(err::kInvalidParameter);
  IFileRecoveryParse* engine = EngineOf(*record);
  if (engine == nullptr) return static_cast<int32_t>(err::kInvalidParameter);
  recovering_ = engine;
  return engine->RecoverRecord(record, destinationPath, baseDepth);
}

int32_t CProfessionalRecovery::NextUnallocatedRun(uint64_t& /*sector*/, uint64_t& /*length*/) {
  return 0;
}

uint32_t CProfessionalRecovery::SetSearchCallback(SearchProgressCallback callback, void* context) {
  callbacks_.search = callback;
  callbacks_.searchContext = context;
  for (IFileRecoveryParse* engine : Engines()) engine->SetSearchCallback(callback, context);
  return 0;
}

std::optional<uint64_t> CProfessionalRecovery::FirstDataSector(const FoundFileRecord& r) {
  const FileSystem* fs = FileSystemOfKind(r.Kind());
  if (fs == nullptr) return std::nullopt;
  for (const DeepEngine& deep : deep_) {
    if (deep.fs == fs) return deep.engine->FirstDataSector(r);
  }
  return fs->firstDataSector != nullptr ? fs->firstDataSector(r, sectorSize_) : std::nullopt;
}

void CProfessionalRecovery::NoteKnownFile(const FoundFileRecord& r, std::optional<uint64_t> firstSector) {
  if (r.isFolder != 0 || !firstSector) return;
  std::vector<std::string>& known = knownStarts_[*firstSector];
  std::string extension = LowerExtension(r.Name());
  if (std::find(known.begin(), known.end(), extension) == known.end()) known.push_back(std::move(extension));
  if (checksAhead_ != nullptr) ShareKnownStart(*checksAhead_, *firstSector);
}

void CProfessionalRecovery::ShareKnownStart(JpegChecksAhead& ahead, uint64_t sector) const {
  if (CarveDroppedAt(sector, kJpegExtension)) ahead.Known(sector);
}

void CProfessionalRecovery::NoteQuickFiles() {
  if (!quick_) return;
  // Every extension a file may have that a carve could start at: the categories' and the carved types'.
  std::string extensions;
  for (std::string_view list : {kPhotoList, kAudioList, kVideoList, kDocumentList, kArchiveList})
    extensions += list;
  for (const CarvingTypeRow& row : CarvingTypeTable()) {
    extensions += row.extension;
    extensions += ';';
  }
  RecordList found;
  quick_->SearchByType(extensions, found);
  for (const FoundFileRecord& r : found) NoteKnownFile(r, FirstDataSector(r));
}

bool CProfessionalRecovery::CarveDroppedAt(uint64_t sector, std::string_view extension) const {
  const auto known = knownStarts_.find(sector);
  if (known == knownStarts_.end()) return false;
  return std::all_of(known->second.begin(), known->second.end(),
                     [&](const std::string& ext) { return SameFileInMerge(ext, extension); });
}

void CProfessionalRecovery::ClearMerge() {
  merge_.clear();
}

void CProfessionalRecovery::NoteForMerge(const FoundFileRecord& r) {
  if (r.isFolder != 0 || r.Kind() == SourceKind::kCarved) return;
  const auto sector = FirstDataSector(r);
  if (!sector) return;
  MergeEntry& entry = merge_[*sector];
  if (entry.extension.empty()) entry.extension = LowerExtension(r.Name());
  if (IsQuickKind(r.Kind())) entry.quickName = os::AsciiLower(r.Name());
}

bool CProfessionalRecovery::KeptInMerge(const FoundFileRecord& r) {
  if (r.isFolder != 0) return true;
  const bool deep = r.Kind() != SourceKind::kCarved && !IsQuickKind(r.Kind());
  if (!deep && r.Kind() != SourceKind::kCarved) return true;
  const auto sector = FirstSectorOf(r);
  if (!sector) return true;
  const auto known = merge_.find(*sector);
  if (known == merge_.end()) return true;
  if (deep) return known->second.quickName.empty() || known->second.quickName != os::AsciiLower(r.Name());
  return !SameFileInMerge(known->second.extension, LowerExtension(r.Name()));
}

uint32_t CProfessionalRecovery::SearchByType(std::string_view extensionList, RecordList& out) {
  RecordList found;
  for (IFileRecoveryParse* engine : Engines()) engine->SearchByType(extensionList, found);
  ClearMerge();
  for (const FoundFileRecord& r : found) NoteForMerge(r);
  const size_t before = out.size();
  for (const FoundFileRecord& r : found) {
    if (KeptInMerge(r)) out.push_back(r);
  }
  ClearMerge();
  MarkUnreadable(out, before);
  if (out.size() > 1) SortRecordList(out);
  return 1;
}

int32_t CProfessionalRecovery::BuildAllocationMap() {
  return 0;
}

uint32_t CProfessionalRecovery::ExtractForPreview(const FoundFileRecord* record, fs::path& outPath,
                                                  std::span<uint8_t> buffer, uint32_t& outSize,
                                                  PreviewProgressCallback callback, void* context) {
  outSize = 0;
  if (record == nullptr) return err::kInvalidParameter;
  IFileRecoveryParse* engine = EngineOf(*record);
  if (engine == nullptr) return err::kInvalidParameter;
  recovering_ = engine;
  return engine->ExtractForPreview(record, outPath, buffer, outSize, callback, context);
}

}  // namespace snapsave
