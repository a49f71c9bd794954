#include "fs/exfat/exfat_quick_engine.h"

#include <algorithm>
#include <array>

#include "catalog/recovery_output.h"
#include "filetypes/file_type_catalogue.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/text.h"

namespace snapsave {

namespace {

constexpr uint64_t kReportIntervalMs = 5000;
// exFAT folders hold at most 2^21 entries (64 MiB); a crafted size stops there.
constexpr uint64_t kMaxFolderBytes = uint64_t{64} << 20;

}  // namespace

uint32_t CFastExfatRecovery::OpenImageFile(const std::filesystem::path& imagePath, char16_t driveLetter) {
  if (open_) return err::kSuccess;
  if (uint32_t e = reader_.OpenFile(imagePath); e != err::kSuccess) return e;
  driveLetter_ = driveLetter;
  return OpenBoot(0, reader_.TotalSectors());
}

uint32_t CFastExfatRecovery::OpenPhysicalDisk(int32_t diskNumber, uint64_t volumeStartSector,
                                              uint64_t volumeSectorCount, char16_t driveLetter) {
  if (open_) return err::kSuccess;
  if (uint32_t e = reader_.OpenDisk(diskNumber); e != err::kSuccess) return e;
  driveLetter_ = driveLetter;
  return OpenBoot(volumeStartSector, volumeSectorCount);
}

uint32_t CFastExfatRecovery::OpenBoot(uint64_t volumeStart, uint64_t volumeSectors) {
  geometry_ = ReadExfatBootRegion(reader_, volumeStart, volumeSectors);
  if (!geometry_) {
    reader_.Close();
    return err::kInvalidData;
  }
  volume_.emplace(reader_, *geometry_);
  open_ = true;
  return err::kSuccess;
}

int32_t CFastExfatRecovery::SetCallbacks(ScanProgressCallback scanCallback,
                                         RecoverProgressCallback recoverCallback, void* context,
                                         int32_t weight) {
  callbacks_.Set(scanCallback, recoverCallback, context, weight);
  return 0;
}

int32_t CFastExfatRecovery::Report(int32_t progress, int32_t secondsLeft) {
  lastProgress_ = progress;
  lastReportMs_ = os::TickMs();
  return callbacks_.ReportScan(progress, secondsLeft);
}

FoundFileRecord CFastExfatRecovery::MakeRecord(const ExfatEntrySet& set, uint64_t streamOffset,
                                               bool deleted) const {
  const ExfatGeometry& g = *geometry_;
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = driveLetter_;
  r.sourceKind = static_cast<uint32_t>(SourceKind::kExfatQuick);
  r.isFolder = set.IsDirectory() ? 1 : 0;
  r.isDeleted = deleted ? 1 : 0;
  r.isIntact = 1;
  r.entryRef = set.firstCluster;
  r.clusterSize = g.clusterBytes;
  r.creationTime = ExfatTimeToFileTime(set.created);
  r.writeTime = ExfatTimeToFileTime(set.modified);
  r.accessTime = ExfatTimeToFileTime(set.accessed);
  r.fileSize = set.IsDirectory() ? 0 : set.dataLength;
  r.dataStartSector = g.heapStart;
  r.entryLocation = streamOffset;
  r.volumeStartSector = g.volumeStart;
  r.SetName(set.name);
  return r;
}

int32_t CFastExfatRecovery::Scan(std::string_view logName) {
  if (!open_) return static_cast<int32_t>(err::kInvalidParameter);
  catalogue_ = std::make_unique<FoundFileCatalogue>();
  if (!logName.empty())
    return static_cast<int32_t>(OpenCatalogueFile(*catalogue_, logName, FoundFileCatalogue::Mode::kResume));
  const ExfatGeometry& g = *geometry_;
  if (uint32_t e = OpenCatalogueFile(*catalogue_, MakeLogName(LogKind::kFast, g.volumeStart, os::Now()),
                                     FoundFileCatalogue::Mode::kFresh);
      e != err::kSuccess)
    return static_cast<int32_t>(e);

  queue_.clear();
  found_.clear();
  visited_.clear();
  volume_->ReadAllocationBitmap();
  PendingFolder root;
  root.extent = {g.rootCluster, kMaxFolderBytes, kMaxFolderBytes, false, false};
  queue_.push_back(root);
  visited_.insert(g.rootCluster);
  callbackResult_ = Report(1, -1);
  while (!queue_.empty() && callbackResult_ == 0) {
    const PendingFolder folder = queue_.front();
    queue_.pop_front();
    if (folder.depth > 0) found_.push_back(folder);
    ReadFolder(folder);
    if (os::TickMs() - lastReportMs_ >= kReportIntervalMs)
      callbackResult_ = Report(std::min(lastProgress_ + 1, 79), -1);
  }
  if (callbackResult_ == 0) {
    callbackResult_ = Report(80, 10);
    for (const PendingFolder& f : found_) {
      FoundFileRecord r = f.record;
      catalogue_->ReserveRecord(r);
      catalogue_->AddToFolder(f.parentCluster, f.depth - 1, r.recordId, f.extent.firstCluster, r.Name());
    }
    if (callbackResult_ == 0) callbackResult_ = Report(100, 0);
  }
  const uint32_t flushed = catalogue_->Flush();
  if (callbackResult_ == 0 && flushed != err::kSuccess) return static_cast<int32_t>(flushed);
  return callbackResult_;
}

std::vector<uint8_t> CFastExfatRecovery::FolderBytes(const ExfatExtent& folder,
                                                     std::vector<uint64_t>& clusterSectors) {
  // In one piece, as entry sets cross cluster ends; with the first sector of each cluster it came from.
  std::vector<uint8_t> data;
  clusterSectors.clear();
  ExfatExtent extent = folder;
  extent.length = std::min(extent.length, kMaxFolderBytes);
  extent.validLength = extent.length;
  volume_->ReadExtent(extent, [&](std::span<const uint8_t> piece, uint32_t cluster) -> int32_t {
    clusterSectors.push_back(geometry_->ClusterSector(cluster));
    data.insert(data.end(), piece.begin(), piece.end());
    return 0;
  });
  return data;
}

void CFastExfatRecovery::ReadFolder(const PendingFolder& folder) {
  const ExfatGeometry& g = *geometry_;
  std::vector<uint64_t> clusterSectors;
  const std::vector<uint8_t> data = FolderBytes(folder.extent, clusterSectors);
  auto byteOffsetOf = [&](size_t at) -> uint64_t {
    const size_t k = at / g.clusterBytes;
    return k < clusterSectors.size() ? clusterSectors[k] * g.sectorSize + at % g.clusterBytes : 0;
  };

  const ByteSpan bytes(data);
  for (size_t at = 0; at + kExfatEntrySize <= bytes.size();) {
    const uint8_t type = bytes[at];
    if (type == exfat_entry::kEndOfDirectory) break;
    const std::optional<ExfatEntrySet> set =
        (type | exfat_entry::kInUse) == exfat_entry::kFile ? ParseEntrySet(bytes.subspan(at)) : std::nullopt;
    if (!set) {
      at += kExfatEntrySize;
      continue;
    }
    const bool deleted = set->deleted || folder.deleted;
    FoundFileRecord r = MakeRecord(*set, byteOffsetOf(at + kExfatEntrySize), deleted);
    ExfatExtent own{set->firstCluster, set->dataLength, std::min(set->validDataLength, set->dataLength),
                    set->noFatChain, deleted};
    // A live folder on a chain is read to the chain's end: some drivers leave its stated size at its first
    // cluster as it grows.
    if (set->IsDirectory() && !set->noFatChain && !deleted) own.length = own.validLength = kMaxFolderBytes;
    at += size_t{set->entryCount} * kExfatEntrySize;
    if (set->IsDirectory()) {
      // Each folder is queued once, however many entries name its cluster.
      if (g.IsDataCluster(set->firstCluster) && set->dataLength != 0 &&
          visited_.insert(set->firstCluster).second)
        queue_.push_back({r, own, folder.extent.firstCluster, folder.depth + 1, deleted});
      continue;
    }
    if (!deleted) continue;
    if (g.IsDataCluster(set->firstCluster) && set->dataLength != 0) {
      std::vector<uint8_t> first;
      if (volume_->ReadCluster(set->firstCluster, first))
        r.isIntact = VerifyExtension(first, os::ExtensionOf(r.Name()), &reader_, g.sectorSize,
                                     g.ClusterSector(set->firstCluster))
                         ? 1
                         : 0;
    }
    catalogue_->ReserveRecord(r);
    catalogue_->AddToFolder(folder.extent.firstCluster, folder.depth, r.recordId, r.entryRef);
  }
}

uint32_t CFastExfatRecovery::FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const {
  if (!catalogue_ || !geometry_) return err::kInvalidParameter;
  if (folder == nullptr) {
    if (depth != 0) return err::kInvalidParameter;
    key = MakeFolderKey(0, geometry_->rootCluster);
    return err::kSuccess;
  }
  if (depth < 0) return err::kInvalidParameter;
  key = MakeFolderKey(static_cast<uint32_t>(depth), folder->entryRef);
  return err::kSuccess;
}

int32_t CFastExfatRecovery::RecoverRecord(const FoundFileRecord* record,
                                          const std::filesystem::path& destinationPath,
                                          int32_t /*baseDepth*/) {
  if (record == nullptr || !catalogue_ || !open_) return static_cast<int32_t>(err::kInvalidParameter);
  return RecoverThrough(*record, destinationPath,
                        [this](const FoundFileRecord& file, uint64_t total, const PieceSink& sink) {
                          return volume_->ReadRecordData(file, file.isDeleted != 0, total, sink);
                        });
}

uint32_t CFastExfatRecovery::ExtractForPreview(const FoundFileRecord* record, std::filesystem::path& outPath,
                                               std::span<uint8_t> buffer, uint32_t& outSize,
                                               PreviewProgressCallback callback, void* context) {
  outSize = 0;
  if (record == nullptr || !open_) return err::kInvalidParameter;
  return ExtractThroughSink(*record, outPath, buffer, outSize, callback, context,
                            [&](uint64_t total, const PieceSink& sink) {
                              return volume_->ReadRecordData(*record, record->isDeleted != 0, total, sink);
                            });
}

int32_t CFastExfatRecovery::BuildAllocationMap() {
  if (open_) volume_->ReadAllocationBitmap();
  return 0;
}

int32_t CFastExfatRecovery::NextUnallocatedRun(uint64_t& sector, uint64_t& length) {
  length = 0;
  if (!open_) return 0;
  // Without a bitmap every cluster counts as free: the whole heap is scanned.
  const ExfatGeometry& g = *geometry_;
  NextFreeClusterRun(sector, length, g.heapStart, g.sectorsPerCluster, g.clusterCount, g.volumeSectors,
                     [&](uint64_t i) { return volume_->IsAllocated(static_cast<uint32_t>(i + 2)); });
  return 1;
}

}  // namespace snapsave
