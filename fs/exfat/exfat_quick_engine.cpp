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

// exFAT folders hold at most 2^21 entries (64 MiB); a crafted size stops there.
constexpr uint64_t kMaxFolderBytes = uint64_t{64} << 20;

}  // namespace

uint32_t CFastExfatRecovery::OpenVolume() {
  geometry_ = ReadExfatBootRegion(reader_, volumeStart_, volumeSectors_);
  if (!geometry_) return err::kInvalidData;
  volume_.emplace(reader_, *geometry_);
  return err::kSuccess;
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
  const ExfatGeometry& g = *geometry_;
  if (!logName.empty()) return static_cast<int32_t>(OpenCatalogue(logName, log_prefix::kFast));
  if (uint32_t e = OpenCatalogue({}, log_prefix::kFast, g.volumeStart); e != err::kSuccess)
    return static_cast<int32_t>(e);

  volume_->ReadAllocationBitmap();
  PendingFolder root;
  root.extent = {g.rootCluster, kMaxFolderBytes, kMaxFolderBytes, false, false};
  walk_.Start(g.rootCluster, root);
  int32_t result = Report(1, -1);
  if (result == 0) {
    result = walk_.Run([this](const PendingFolder& folder) { ReadFolder(folder); },
                       [this] { return ReportDue() ? Report(std::min(lastProgress_ + 1, 79), -1) : 0; });
  }
  if (result == 0) {
    result = Report(80, 10);
    for (const PendingFolder& f : walk_.Walked()) {
      FoundFileRecord r = f.record;
      catalogue_->ReserveRecord(r);
      catalogue_->AddToFolder(f.parentCluster, f.depth - 1, r.recordId, f.extent.firstCluster, r.Name());
    }
    if (result == 0) result = Report(100, 0);
  }
  return CloseScan(result);
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
      if (g.IsDataCluster(set->firstCluster) && set->dataLength != 0)
        walk_.Push(set->firstCluster, {r, own, folder.extent.firstCluster, folder.depth + 1, deleted});
      continue;
    }
    if (!deleted) {
      // Whole by its own metadata: no read of its first cluster.
      r.isDeleted = kExistingFile;
    } else if (g.IsDataCluster(set->firstCluster) && set->dataLength != 0) {
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

int32_t CFastExfatRecovery::ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) {
  return volume_->ReadRecordData(record, (record.isDeleted & 1) != 0, total, sink);
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
