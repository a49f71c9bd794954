#include "fs/fat/fat_quick_engine.h"

#include <algorithm>
#include <array>

#include "catalog/recovery_output.h"
#include "filetypes/file_type_catalogue.h"
#include "fs/fat/fat_dir_block.h"
#include "fs/fat/fat_dir_entry.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/text.h"

namespace snapsave {

namespace {

constexpr uint32_t kBootReadBytes = 4096;

bool TestBit(const std::vector<uint8_t>& map, uint64_t bit) {
  return bit / 8 < map.size() && (map[bit / 8] & (1u << (bit % 8))) != 0;
}

void SetBit(std::vector<uint8_t>& map, uint64_t bit) {
  if (bit / 8 < map.size()) map[bit / 8] = static_cast<uint8_t>(map[bit / 8] | (1u << (bit % 8)));
}

}  // namespace

// The volume counts device sectors; the geometry counts sectors of the boot sector's size.
uint32_t CFastFatRecovery::OpenVolume() {
  const uint32_t device = sectorSize_;
  std::vector<uint8_t> boot(kBootReadBytes);
  const uint64_t wanted = std::min<uint64_t>(kBootReadBytes / device, volumeSectors_);
  uint32_t got = 0;
  uint32_t e = wanted == 0
                   ? err::kHandleEof
                   : reader_.ReadSectors(boot, static_cast<int32_t>(wanted), volumeStart_, device, &got);
  if (got == 0 || uint64_t{got} * device < 512) return e != err::kSuccess ? e : err::kHandleEof;
  ByteSpan bootBytes(boot.data(), uint64_t{got} * device);
  // A boot sector overwritten (a partitioning tool, a wiped start): FAT32's copy six sectors in says the
  // same.
  if (!IsFatBootSector(bootBytes) && !IsEncryptedVolumeBootSector(bootBytes) && device == 512 &&
      bootBytes.size() >= (kFatBootCopySector + 1) * 512 &&
      IsFatBootCopy(bootBytes.subspan(kFatBootCopySector * 512)))
    bootBytes = bootBytes.subspan(kFatBootCopySector * 512);
  const uint32_t bootSectorSize = Le16(bootBytes, 11);
  if (bootSectorSize == 0 || (uint64_t{volumeStart_} * device) % bootSectorSize != 0)
    return err::kInvalidData;
  geometry_ = ParseFatGeometry(bootBytes, volumeStart_ * device / bootSectorSize,
                               volumeSectors_ * device / bootSectorSize);
  if (!geometry_) return err::kInvalidData;
  table_ = std::make_unique<FatTableWindow>(reader_, *geometry_);
  return err::kSuccess;
}

int32_t CFastFatRecovery::Scan(std::string_view logName) {
  if (!open_) return static_cast<int32_t>(err::kInvalidParameter);
  const FatGeometry& geo = *geometry_;
  if (!logName.empty()) return static_cast<int32_t>(OpenCatalogue(logName, log_prefix::kFast));
  walk_.Clear();
  if (uint32_t e = OpenCatalogue({}, log_prefix::kFast, geo.volumeStart); e != err::kSuccess)
    return static_cast<int32_t>(e);

  PendingFolder root;
  root.cluster = geo.rootCluster;
  root.root = true;
  walk_.Start(geo.rootCluster, root);
  lastSecondsLeft_ = 100;
  callbackResult_ = Report(1, -1);
  lastSecondsLeft_ = 100;
  if (callbackResult_ == 0) {
    callbackResult_ =
        walk_.Run([this](const PendingFolder& folder) { ReadFolder(folder); },
                  [this] {
                    if (!ReportDue()) return 0;
                    const int32_t progress = std::min(
                        callbacks_.weight == 100 ? lastProgress_ + 1 : std::max(lastProgress_ + 1, 21), 79);
                    lastSecondsLeft_ = callbacks_.weight == 100 ? std::max(lastSecondsLeft_ - 1, 0) : -1;
                    return Report(progress, lastSecondsLeft_);
                  });
  }
  if (callbackResult_ == 0) {
    callbackResult_ = Report(80, 10);
    RegisterFolders();
    if (callbackResult_ == 0) callbackResult_ = Report(100, 0);
  }
  return CloseScan(callbackResult_);
}

uint32_t CFastFatRecovery::ReadClusterData(uint32_t cluster, std::vector<uint8_t>& block, uint32_t& bytes) {
  const FatGeometry& geo = *geometry_;
  bytes = 0;
  const uint32_t sectors = cluster == 0 ? geo.rootDirSectors : geo.sectorsPerCluster;
  if (sectors == 0 || (cluster != 0 && !geo.IsDataCluster(cluster))) return err::kInvalidParameter;
  const uint64_t first = geo.ClusterSector(cluster);
  if (first >= geo.volumeStart + geo.volumeSectors) return err::kInvalidParameter;
  const uint64_t count = std::min<uint64_t>(sectors, geo.volumeStart + geo.volumeSectors - first);
  block.resize(static_cast<size_t>(uint64_t{sectors} * geo.sectorSize));
  uint32_t got = 0;
  const uint32_t e = reader_.ReadSectors(block, static_cast<int32_t>(count), first, geo.sectorSize, &got);
  bytes = got * geo.sectorSize;
  if (got == 0) return e != err::kSuccess ? e : err::kReadFault;
  return e;
}

bool CFastFatRecovery::ReadFirstSector(uint32_t cluster, std::vector<uint8_t>& sector) {
  const FatGeometry& geo = *geometry_;
  if (!geo.IsDataCluster(cluster)) return false;
  const uint64_t first = geo.ClusterSector(cluster);
  if (first >= geo.volumeStart + geo.volumeSectors) return false;
  sector.resize(geo.sectorSize);
  uint32_t got = 0;
  reader_.ReadSectors(sector, 1, first, geo.sectorSize, &got);
  return got == 1;
}

void CFastFatRecovery::ReadFolder(const PendingFolder& folder) {
  const FatGeometry& geo = *geometry_;
  const uint32_t folderCluster = folder.cluster;
  const bool inTable = !folder.root;
  const bool folderDeleted = inTable && folder.record.isDeleted != 0;
  const uint32_t depth = folder.depth;

  const FatRecordSource source{driveLetter_, SourceKind::kFatQuick, geo.clusterBytes, geo.dataStart,
                               geo.volumeStart};
  const ClusterSectorRead read = [this](uint32_t c, std::vector<uint8_t>& sector) -> std::optional<uint64_t> {
    const FatGeometry& g = *geometry_;
    if (!g.IsDataCluster(c) || g.ClusterSector(c) >= g.volumeStart + g.volumeSectors) return std::nullopt;
    if (!ReadFirstSector(c, sector)) sector.clear();
    return g.ClusterSector(c);
  };
  // The folder's blocks are read first: a deleted short name's first letter is guessed from all the names
  // of its folder.
  ChainGuard chain(geo);
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> blocks;
  SiblingNames siblings;
  std::vector<uint8_t> block;
  uint32_t cluster = folderCluster;
  for (bool firstBlock = true;; firstBlock = false) {
    if (!chain.Visit(cluster)) break;
    uint32_t bytes = 0;
    if (ReadClusterData(cluster, block, bytes) != err::kSuccess) break;
    const ByteSpan data(block.data(), bytes);
    if (inTable) {
      // A found folder must still start with its "." and ".." entries, or its cluster was reused. Later
      // blocks of a deleted folder are guessed to follow contiguously, so they must look like directory data.
      if (firstBlock) {
        if (!DirEntryView{data}.IsDotEntry() ||
            !DirEntryView{data.subspan(std::min<size_t>(32, bytes))}.IsDotDotEntry()) {
          return;
        }
      } else if (folderDeleted && !IsDirectoryBlock(data)) {
        break;
      }
    }
    const DirBlockWalk walk = WalkDirectoryBlock(data, LongNameOverflow::kEndsDirectory,
                                                 [&](DirItem&& item) { siblings.Note(item.entry); });
    blocks.emplace_back(cluster, std::vector<uint8_t>(data.begin(), data.end()));
    if (walk.end != DirBlockEnd::kBlockEnd) break;
    if (cluster == 0) break;  // the fixed root region is one block
    const uint32_t next = table_->NextCluster(cluster);
    if (next == 0 || next == cluster) break;
    cluster = next;
  }

  for (const auto& [blockCluster, bytes] : blocks) {
    const uint64_t blockSector = geo.ClusterSector(blockCluster);
    WalkDirectoryBlock(bytes, LongNameOverflow::kEndsDirectory, [&](DirItem&& item) {
      const DirEntryView& e = item.entry;
      const bool isDir = e.IsDirectory();
      const bool existing = !isDir && !e.IsDeleted() && !folderDeleted;
      bool guessed = false;
      const std::string name = item.longName ? *item.longName : GuessedShortName(e, isDir, siblings, guessed);
      FoundFileRecord r = MakeEntryRecord(source, e, name, blockSector + item.offset / geo.sectorSize, isDir);
      uint32_t first = EntryCluster(e, geo.isFat32);
      if (geo.isFat32 && e.HighCluster() == 0 && e.IsDeleted())
        first = ProbeFirstCluster(e.LowCluster(), isDir, r.Name(), read, reader_, geo.sectorSize);
      r.entryRef = first;

      if (isDir) {
        r.isDeleted = (e.IsDeleted() || folderDeleted) ? 1 : 0;
        if (guessed) r.isDeleted |= kDeletedNameGuessed;
        if (first != 0 && first != folderCluster && first != geo.rootCluster && geo.IsDataCluster(first)) {
          // Named again before it was read: the later naming stands.
          const PendingFolder found{r, first, folderCluster, depth + 1, false};
          if (PendingFolder* pending = walk_.Pending(first)) {
            *pending = found;
          } else {
            walk_.Push(first, found);
          }
        }
        return;
      }
      if (guessed) r.isDeleted |= kDeletedNameGuessed;
      // A file the table still chains is whole by its own metadata: no read of its first sector.
      if (existing) {
        r.isDeleted = kExistingFile;
        r.isIntact = 1;
      } else {
        r.isIntact = ContentCheck(first, r.Name(), read, reader_, geo.sectorSize);
      }
      catalogue_->ReserveRecord(r);
      catalogue_->AddToFolder(folderCluster, depth, r.recordId, r.entryRef);
    });
  }
}

void CFastFatRecovery::RegisterFolders() {
  for (const PendingFolder& folder : walk_.Walked()) {
    FoundFileRecord r = folder.record;
    r.isIntact = 1;
    catalogue_->ReserveRecord(r);
    catalogue_->AddToFolder(folder.parentCluster, folder.depth - 1, r.recordId, folder.cluster, r.Name());
  }
}

int32_t CFastFatRecovery::ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) {
  if (!open_) return static_cast<int32_t>(err::kInvalidParameter);
  if (record.clusterSize > kMaxRecoveryClusterBytes) return static_cast<int32_t>(err::kWriteFault);
  const FatGeometry& geo = *geometry_;
  std::vector<uint8_t> block;
  ChainGuard chain(geo);
  uint32_t cluster = record.entryRef;
  uint64_t delivered = 0;
  while (delivered < total) {
    // A chain that ends early, or comes back to a cluster it read (a damaged table, a live file found in a
    // deleted folder), leaves the file short; nothing is read twice or in its place, so no file grows past
    // the clusters the volume holds.
    if (!geo.IsDataCluster(cluster) || !chain.Visit(cluster)) return static_cast<int32_t>(err::kHandleEof);
    uint32_t bytes = 0;
    const uint32_t e = ReadClusterData(cluster, block, bytes);
    const auto piece = static_cast<size_t>(std::min<uint64_t>(bytes, total - delivered));
    if (piece > 0) {
      if (int32_t r = sink(std::span<const uint8_t>(block.data(), piece)); r != 0) return r;
      delivered += piece;
    }
    if (e != err::kSuccess) return static_cast<int32_t>(e == err::kInvalidParameter ? err::kReadFault : e);
    if (delivered >= total) break;
    const uint32_t next = table_->NextCluster(cluster);
    if (next == 0 || next == cluster) return static_cast<int32_t>(err::kHandleEof);
    cluster = next;
  }
  return 0;
}

std::vector<SectorStretch> CFastFatRecovery::DataRuns(const FoundFileRecord& record) {
  std::vector<SectorStretch> runs;
  if (!open_ || record.isFolder != 0) return runs;
  const FatGeometry& geo = *geometry_;
  const uint64_t clusterBytes = uint64_t{geo.sectorsPerCluster} * geo.sectorSize;
  if (clusterBytes == 0) return runs;
  ChainGuard chain(geo);
  uint32_t cluster = record.entryRef;
  for (uint64_t covered = 0; covered < record.fileSize;) {
    if (!geo.IsDataCluster(cluster) || !chain.Visit(cluster)) break;
    const uint64_t first = geo.ClusterSector(cluster);
    if (!runs.empty() && runs.back().first + runs.back().count == first) {
      runs.back().count += geo.sectorsPerCluster;
    } else {
      runs.push_back({first, geo.sectorsPerCluster});
    }
    covered += clusterBytes;
    if (covered >= record.fileSize) break;
    const uint32_t next = table_->NextCluster(cluster);
    if (next == 0 || next == cluster) break;
    cluster = next;
  }
  return runs;
}

int32_t CFastFatRecovery::BuildAllocationMap() {
  if (!open_) return 0;
  const FatGeometry& geo = *geometry_;
  allocationMap_.assign((uint64_t{geo.clusterCount} + 7) / 8, 0);
  for (uint32_t n = 2; n <= geo.LastCluster(); ++n) {
    const FatTableWindow::Entry entry = table_->ReadEntry(n);
    if (entry.status != 0 || entry.value == 0) continue;
    SetBit(allocationMap_, n - 2);
    // Entries naming clusters past the end (bad-cluster marks, garbage) are skipped, not trusted.
    if (!table_->IsEndOfChain(entry.value) && geo.IsDataCluster(entry.value))
      SetBit(allocationMap_, entry.value - 2);
  }
  mapBuilt_ = true;
  return 0;
}

int32_t CFastFatRecovery::NextUnallocatedRun(uint64_t& sector, uint64_t& length) {
  length = 0;
  if (!open_) return 0;
  if (!mapBuilt_) BuildAllocationMap();
  const FatGeometry& geo = *geometry_;
  NextFreeClusterRun(sector, length, geo.dataStart, geo.sectorsPerCluster, geo.clusterCount,
                     geo.volumeSectors, [&](uint64_t i) { return TestBit(allocationMap_, i); });
  return 1;
}

}  // namespace snapsave
