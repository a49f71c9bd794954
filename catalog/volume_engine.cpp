#include "catalog/volume_engine.h"

#include <algorithm>
#include <vector>

#include "os/clock.h"
#include "os/error.h"

namespace snapsave {

uint32_t VolumeEngine::Open(const VolumeSource& source) {
  if (open_) return err::kSuccess;
  const uint32_t opened =
      source.IsImage() ? reader_.OpenFile(source.image) : reader_.OpenDiskVolume(source.disk, source.pieces);
  if (opened != err::kSuccess) return opened;
  source_ = source;
  driveLetter_ = source.driveLetter;
  sectorSize_ = reader_.DeviceSectorSize();
  volumeStart_ = source.IsImage() ? 0 : source.startSector;
  volumeSectors_ = source.IsImage() ? reader_.TotalSectors() : source.sectorCount;
  if (const uint32_t e = OpenVolume(); e != err::kSuccess) {
    reader_.Close();
    return e;
  }
  open_ = true;
  return err::kSuccess;
}

int32_t VolumeEngine::SetCallbacks(ScanProgressCallback scanCallback, RecoverProgressCallback recoverCallback,
                                   void* context, int32_t weight) {
  callbacks_.Set(scanCallback, recoverCallback, context, weight);
  return 0;
}

int32_t VolumeEngine::RecoverRecord(const FoundFileRecord* record,
                                    const std::filesystem::path& destinationPath, int32_t /*baseDepth*/) {
  if (record == nullptr || !open_) return static_cast<int32_t>(err::kInvalidParameter);
  return RecoverThrough(*record, destinationPath,
                        [this](const FoundFileRecord& file, uint64_t total, const PieceSink& sink) {
                          return ReadFilling(file, total, sink);
                        });
}

int32_t VolumeEngine::ReadFilling(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) {
  lastUnreadable_.clear();
  SectorReader::ZeroFill fill(reader_);
  const int32_t result = ReadData(record, total, sink);
  lastUnreadable_ = fill.Stretches();
  // Gone mid-file: no sector after that point was read, whatever the zeros written say.
  if (result != 0 && reader_.SourceGone()) return static_cast<int32_t>(err::kDeviceGone);
  return result == 0 && !lastUnreadable_.empty() ? static_cast<int32_t>(err::kCrc) : result;
}

uint32_t VolumeEngine::ExtractForPreview(const FoundFileRecord* record, std::filesystem::path& outPath,
                                         std::span<uint8_t> buffer, uint32_t& outSize,
                                         PreviewProgressCallback callback, void* context) {
  outSize = 0;
  if (record == nullptr || !open_) return err::kInvalidParameter;
  return ExtractThroughSink(
      *record, outPath, buffer, outSize, callback, context,
      [&](uint64_t total, const PieceSink& sink) { return ReadFilling(*record, total, sink); });
}

int32_t VolumeEngine::NextUnallocatedRun(uint64_t& /*sector*/, uint64_t& length) {
  length = 0;
  return 0;
}

int32_t VolumeEngine::BuildAllocationMap() {
  return 0;
}

uint32_t VolumeEngine::FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const {
  if (folder == nullptr) {
    const std::optional<uint32_t> root = RootFolderRef();
    if (depth != 0 || !root) return err::kInvalidParameter;
    key = MakeFolderKey(0, *root);
    return err::kSuccess;
  }
  if (depth < 0) return err::kInvalidParameter;
  key = MakeFolderKey(static_cast<uint32_t>(depth), folder->entryRef);
  return err::kSuccess;
}

uint32_t VolumeEngine::OpenCatalogue(std::string_view logName, std::string_view prefix) {
  return OpenCatalogue(logName, prefix, volumeStart_);
}

uint32_t VolumeEngine::OpenCatalogue(std::string_view logName, std::string_view prefix, uint64_t logStart) {
  catalogue_ = std::make_unique<FoundFileCatalogue>();
  if (!logName.empty()) return OpenCatalogueFile(*catalogue_, logName, FoundFileCatalogue::Mode::kResume);
  return OpenCatalogueFile(*catalogue_, MakeLogName(prefix, logStart, os::Now()),
                           FoundFileCatalogue::Mode::kFresh);
}

int32_t VolumeEngine::CloseScan(int32_t result) {
  if (!catalogue_) return result;
  const uint32_t flushed = catalogue_->Flush();
  return result == 0 && flushed != err::kSuccess ? static_cast<int32_t>(flushed) : result;
}

int32_t VolumeEngine::Report(int32_t progress, int32_t secondsLeft) {
  lastProgress_ = progress;
  lastReportMs_ = os::TickMs();
  return callbacks_.ReportScan(progress, secondsLeft);
}

bool VolumeEngine::ReportDue() const {
  return os::TickMs() - lastReportMs_ >= kReportIntervalMs;
}

bool VolumeEngine::ReadDeviceSectors(std::span<uint8_t> into, uint64_t sector, uint32_t count) const {
  if (count == 0 || uint64_t{count} * sectorSize_ > into.size()) return false;
  uint32_t got = 0;
  reader_.ReadSectors(into, static_cast<int32_t>(count), sector, sectorSize_, &got);
  return got == count;
}

int32_t DeepVolumeEngine::Scan(std::string_view logName) {
  if (!open_) return static_cast<int32_t>(err::kInvalidParameter);
  if (const uint32_t e = StartPass(logName); e != err::kSuccess) return static_cast<int32_t>(e);
  if (logName.empty()) {
    // In 64 KiB chunks, as the deep scan reads; a sector that fails to read is passed over.
    constexpr uint32_t kChunkBytes = 65536;
    const uint32_t perChunk = std::max<uint32_t>(1, kChunkBytes / sectorSize_);
    std::vector<uint8_t> chunk(size_t{perChunk} * sectorSize_);
    int32_t stop = Report(0, -1);
    for (uint64_t at = 0; at < volumeSectors_ && stop == 0;) {
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(perChunk, volumeSectors_ - at));
      uint32_t got = 0;
      reader_.ReadSectors(chunk, static_cast<int32_t>(count), volumeStart_ + at, sectorSize_, &got);
      const std::span<const uint8_t> read(chunk.data(), size_t{got} * sectorSize_);
      for (uint32_t i = 0; i < got; ++i) {
        const std::span<const uint8_t> rest = read.subspan(size_t{i} * sectorSize_);
        if (Claims(rest.first(sectorSize_))) Take(rest, volumeStart_ + at + i);
      }
      at += std::max<uint32_t>(got, 1);
      if (ReportDue()) stop = Report(static_cast<int32_t>(at * 100 / volumeSectors_), -1);
    }
    if (stop != 0) return stop;
  }
  const int32_t finished = FinishPass();
  return finished != 0 ? finished : Report(100, 0);
}

}  // namespace snapsave
