#include "fs/ntfs/ntfs_quick_engine.h"

#include <algorithm>
#include <set>
#include <string>

#include "catalog/recovery_output.h"
#include "fs/ntfs/ntfs_file_data.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/text.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kEstimateIntervalMs = 5000;
// Larger sectors than this are not NTFS as any system writes it, and would make the table buffer huge.
constexpr uint32_t kMaxSectorSize = 4096;
// Deeper than any real tree; ends parent chains on damaged tables.
constexpr uint32_t kMaxDepth = 1024;

}  // namespace

uint32_t CFastNtfsRecovery::OpenVolume() {
  std::vector<uint8_t> boot;
  const uint32_t readSectorSize =
      sectorSize_ == 0 || sectorSize_ > kNtfsBootReadBytes ? SectorReader::kImageSectorSize : sectorSize_;
  // A geometry taken from anything else would steer every later read.
  if (!ReadNtfsBootSector(reader_, volumeStart_, volumeSectors_, readSectorSize, boot)) {
    return reader_.SourceGone() ? err::kDeviceGone : err::kInvalidData;
  }
  if (Le16(boot, 11) > kMaxSectorSize) return err::kInvalidData;
  volume_.emplace(reader_, volumeStart_, ParseNtfsGeometry(boot, volumeStart_));
  tableBuffer_.assign(size_t{kChunkRecords} * volume_->Geometry().recordSize, 0);
  volume_->LoadMftRuns();  // without runs the walk finds nothing; the open itself succeeded
  return err::kSuccess;
}

int32_t CFastNtfsRecovery::Scan(std::string_view logName) {
  if (!logName.empty()) return static_cast<int32_t>(OpenCatalogue(logName, log_prefix::kFast));
  if (!volume_) return static_cast<int32_t>(err::kInvalidParameter);
  folderList_.clear();
  folderSet_.clear();
  depthOfParent_.clear();
  folderParent_.clear();
  lostFolders_.clear();
  systemFoldersShown_.clear();
  // Log names only go down to the minute: an earlier scan of this volume may own the name.
  if (uint32_t e = OpenCatalogue({}, log_prefix::kFast); e != err::kSuccess) return static_cast<int32_t>(e);
  return CloseScan(WalkTable());
}

int32_t CFastNtfsRecovery::ReportProgress(uint64_t done, uint64_t total, int32_t secondsLeft) {
  if (callbacks_.scan == nullptr) return 0;
  // An MFT whose runs sum to nothing is finished as soon as it starts.
  const auto progress =
      static_cast<int32_t>(total == 0 ? 100 : std::min<uint64_t>(done, total) * 100 / total);
  return callbacks_.ReportScan(progress, secondsLeft);
}

int32_t CFastNtfsRecovery::WalkTable() {
  const NtfsGeometry& g = volume_->Geometry();
  const RunList& runs = volume_->MftRuns();
  uint64_t total = 0;
  for (const DataRun& run : runs) total = SatAdd(total, SatMul(run.length, g.sectorsPerCluster));
  const uint64_t start = os::TickMs();
  uint64_t lastEstimate = start;
  int32_t secondsLeft = -1;
  uint64_t done = 0;
  const uint32_t chunkSectors = kChunkRecords * g.sectorsPerRecord;

  for (const DataRun& run : runs) {
    const uint64_t runSectors = SatMul(run.length, g.sectorsPerCluster);
    const uint64_t first = volume_->ClusterSector(run.firstCluster);
    for (uint64_t at = 0; at < runSectors;) {
      const auto sectors = static_cast<uint32_t>(std::min<uint64_t>(chunkSectors, runSectors - at));
      if (!run.sparse) {
        uint32_t got = 0;
        const uint32_t e =
            reader_.ReadSectors(std::span(tableBuffer_).first(size_t{sectors} * g.sectorSize),
                                static_cast<int32_t>(sectors), SatAdd(first, at), g.sectorSize, &got);
        if (e != err::kSuccess && e != err::kReadFault) return static_cast<int32_t>(e);
        for (uint32_t i = 0; i + g.sectorsPerRecord <= sectors; i += g.sectorsPerRecord) {
          const auto record = std::span(tableBuffer_).subspan(size_t{i} * g.sectorSize, g.recordSize);
          // Past a sector that cannot be read, record by record: only the records it holds are lost.
          if (i + g.sectorsPerRecord > got) {
            uint32_t one = 0;
            const uint32_t re = reader_.ReadSectors(record, static_cast<int32_t>(g.sectorsPerRecord),
                                                    SatAdd(first, at + i), g.sectorSize, &one);
            if (re != err::kSuccess && re != err::kReadFault) return static_cast<int32_t>(re);
            if (one != g.sectorsPerRecord) continue;
          }
          HandleRecord(record, SatAdd(first, at + i));
        }
      }
      at += sectors;
      done = SatAdd(done, sectors);
      const uint64_t now = os::TickMs();
      if (callbacks_.weight == 100 && now - lastEstimate >= kEstimateIntervalMs) {
        lastEstimate = now;
        const uint64_t seconds = std::max<uint64_t>((now - start) / 1000, 1);
        const uint64_t rate = SatMul(done, g.sectorSize) / seconds;
        if (rate > 0) {
          secondsLeft = static_cast<int32_t>(
              std::min<uint64_t>(SatMul(total - std::min(done, total), g.sectorSize) / rate, INT32_MAX));
        }
      }
      if (int32_t r = ReportProgress(done, total, secondsLeft); r != 0) return r;
    }
  }

  std::vector<uint8_t> record(g.recordSize);
  for (size_t i = 0; i < folderList_.size(); ++i) {
    // The system's own folders are met on the way to its files, which are not listed.
    if (InSystemFolder(folderList_[i]) && systemFoldersShown_.count(folderList_[i]) == 0) continue;
    AddFolder(folderList_[i], record);
  }
  if (callbacks_.scan != nullptr) return ReportProgress(total, total, secondsLeft);
  return 0;
}

void CFastNtfsRecovery::NoteFolder(uint32_t number) {
  if (folderSet_.insert(number).second) folderList_.push_back(number);
}

std::optional<std::pair<FoundFileRecord, uint32_t>> CFastNtfsRecovery::ReadFolder(uint32_t number,
                                                                                  std::span<uint8_t> record) {
  const NtfsGeometry& g = volume_->Geometry();
  if (volume_->ReadRecord(number, record) != err::kSuccess || !HasFileSignature(record)) return std::nullopt;
  if ((RecordFlags(record) & kRecordIsFolder) == 0) return std::nullopt;
  ApplyFixups(record, g.sectorSize, g.sectorsPerRecord);
  const RecordWalk walk = WalkRecord(record);
  if (!walk.ok) return std::nullopt;
  const std::optional<FileNameInfo> info = RecordName(walk.attributes);
  if (!info) return std::nullopt;
  // Children name the folder by its place in the table, whatever the record's own number field says.
  FoundFileRecord r = FolderRecord(number);
  r.clusterSize = static_cast<uint32_t>(std::min<uint64_t>(g.clusterBytes, UINT32_MAX));
  r.creationTime = info->creationTime;
  r.writeTime = info->writeTime;
  r.accessTime = info->accessTime;
  r.SetName(os::Utf16ToUtf8(info->name));
  return std::make_pair(r, info->parent);
}

// The depth at which the children of folder `parent` are filed: the number of folders from it up to the root.
// A chain that cannot reach the root (a parent that is no readable folder, parents that form a cycle, a chain
// deeper than any real tree) is cut at its last folder, which becomes a LostFolder at the root, so that what
// lies below is still listed. Every folder of a chain keeps the depth found here, so later walks that meet
// the chain agree with it.
uint32_t CFastNtfsRecovery::DepthOfParent(uint32_t parent) {
  if (parent == kMftRecordRoot) return 0;
  if (auto it = depthOfParent_.find(parent); it != depthOfParent_.end()) return it->second;
  std::vector<uint8_t> record(volume_->Geometry().recordSize);
  std::vector<uint32_t> chain;
  std::unordered_set<uint32_t> onChain;
  uint32_t base = 0;  // depth of the folder above the chain's top; the root's is 0
  for (uint32_t p = parent; p != kMftRecordRoot;) {
    if (auto it = depthOfParent_.find(p); it != depthOfParent_.end()) {
      base = it->second;
      break;
    }
    if (onChain.count(p) != 0 || chain.size() >= kMaxDepth) {
      lostFolders_.insert(chain.back());
      break;
    }
    chain.push_back(p);
    onChain.insert(p);
    NoteFolder(p);
    const auto folder = ReadFolder(p, record);
    if (!folder) {
      lostFolders_.insert(p);
      break;
    }
    folderParent_[p] = folder->second;
    p = folder->second;
  }
  for (size_t i = 0; i < chain.size(); ++i)
    depthOfParent_[chain[i]] = base + static_cast<uint32_t>(chain.size() - i);
  return depthOfParent_[parent];
}

// The file system's own files ($Extend and what lies below it) are no user's. `parent` is a folder whose
// chain DepthOfParent has followed.
bool CFastNtfsRecovery::InSystemFolder(uint32_t parent) const {
  for (uint32_t p = parent, steps = 0; p != kMftRecordRoot && steps <= kMaxDepth; ++steps) {
    if (p < kFirstUserRecord) return true;
    const auto up = folderParent_.find(p);
    if (up == folderParent_.end()) return false;
    p = up->second;
  }
  return false;
}

FoundFileRecord CFastNtfsRecovery::FolderRecord(uint32_t number) const {
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = static_cast<uint16_t>(driveLetter_);
  r.sourceKind = static_cast<uint32_t>(SourceKind::kNtfsQuick);
  r.isFolder = 1;
  r.isIntact = 1;
  r.entryRef = number;
  r.entryLocation = volume_->RecordSector(number);
  r.volumeStartSector = volumeStart_;
  return r;
}

void CFastNtfsRecovery::AddLostFolder(uint32_t number) {
  FoundFileRecord r = FolderRecord(number);
  r.clusterSize = kNoClusterSize;
  const std::string name = "LostFolder" + std::to_string(number);
  r.SetName(name);
  const uint32_t id = catalogue_->ReserveRecord(r);
  catalogue_->AddToFolder(kMftRecordRoot, 0, id, number, name);
}

void CFastNtfsRecovery::AddFolder(uint32_t number, std::span<uint8_t> record) {
  const auto parent = folderParent_.find(number);
  std::optional<std::pair<FoundFileRecord, uint32_t>> folder;
  if (lostFolders_.count(number) == 0 && parent != folderParent_.end()) folder = ReadFolder(number, record);
  // A record that reads differently now than during the walk has no place in the tree either.
  if (!folder || folder->second != parent->second) {
    AddLostFolder(number);
    return;
  }
  const uint32_t id = catalogue_->ReserveRecord(folder->first);
  catalogue_->AddToFolder(parent->second, DepthOfParent(parent->second), id, number, folder->first.Name());
}

void CFastNtfsRecovery::HandleRecord(std::span<uint8_t> record, uint64_t sector) {
  const NtfsGeometry& g = volume_->Geometry();
  const uint16_t flags = RecordFlags(record);
  if ((flags & ~kRecordInUse) != 0 || !HasFileSignature(record)) return;
  const bool existing = (flags & kRecordInUse) != 0;
  // An extension record holds attributes of its base record's file, which is listed by the base record.
  if (existing && (Le64(record, 32) & 0xFFFF'FFFF'FFFFull) != 0) return;
  ApplyFixups(record, g.sectorSize, g.sectorsPerRecord);
  const RecordWalk walk = WalkRecord(record);
  if (!walk.ok) return;

  std::optional<FoundFileRecord> found;
  uint32_t parent = 0;
  bool data = false;  // an unnamed $DATA, or an attribute list that may name one elsewhere
  for (const Attribute& a : walk.attributes) {
    if (a.type == kAttrAttributeList || (a.type == kAttrData && a.nameLength == 0)) data = true;
    if (a.type == kAttrFileName) {
      if (RecordNumber(record) < kFirstUserRecord) return;
      const auto info = ParseFileName(a);
      if (!info) continue;
      if (found) {
        if (info->nameSpace == 1) found->SetName(os::Utf16ToUtf8(info->name));
        continue;
      }
      FoundFileRecord r = MakeEmptyRecord();
      r.driveLetter = static_cast<uint16_t>(driveLetter_);
      r.sourceKind = static_cast<uint32_t>(SourceKind::kNtfsQuick);
      r.isFolder = 0;
      r.isIntact = 1;
      r.entryRef = RecordNumber(record);
      r.clusterSize = static_cast<uint32_t>(std::min<uint64_t>(g.clusterBytes, UINT32_MAX));
      r.creationTime = info->creationTime;
      r.writeTime = info->writeTime;
      r.accessTime = info->accessTime;
      r.fileSize = info->realSize;
      r.entryLocation = sector;
      r.volumeStartSector = volumeStart_;
      r.SetName(os::Utf16ToUtf8(info->name));
      parent = info->parent;
      found = r;
    } else if (a.type == kAttrData && a.nameLength == 0 && found) {
      found->fileSize = a.nonResident ? a.RealSize() : Le32(a.bytes, 16);
    }
  }
  if (!found) return;
  const uint32_t depth = DepthOfParent(parent);
  if (existing) {
    // A record without data is no file to give back (a folder record that lost its flag, say).
    if (!data || InSystemFolder(parent)) return;
    found->isDeleted = kExistingFile;  // whole by its own metadata: no read of its first cluster
  } else {
    found->isIntact = ContentCheck(*found, record) ? 1 : 0;
    // A deleted file among the system's own keeps the folders above it listed.
    if (InSystemFolder(parent))
      for (uint32_t p = parent, steps = 0; p != kMftRecordRoot && steps <= kMaxDepth; ++steps) {
        systemFoldersShown_.insert(p);
        const auto up = folderParent_.find(p);
        if (up == folderParent_.end()) break;
        p = up->second;
      }
  }
  const uint32_t id = catalogue_->ReserveRecord(*found);
  catalogue_->AddToFolder(parent, depth, id, found->entryRef);
}

bool CFastNtfsRecovery::ContentCheck(const FoundFileRecord& record, ByteSpan recordBytes) {
  return NtfsContentCheck(*volume_, record, recordBytes);
}

int32_t CFastNtfsRecovery::ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) {
  if (!volume_) return static_cast<int32_t>(err::kInvalidParameter);
  return ReadNtfsFileData(*volume_, record, total, sink);
}

int32_t CFastNtfsRecovery::BuildAllocationMap() {
  allocationMap_.clear();
  if (volume_) volume_->ReadClusterBitmap(allocationMap_);
  return 0;
}

int32_t CFastNtfsRecovery::NextUnallocatedRun(uint64_t& sector, uint64_t& length) {
  length = 0;
  if (!volume_) return 0;
  if (sector >= volumeSectors_) {
    sector = volumeSectors_;
    return 1;
  }
  const uint64_t spc = volume_->Geometry().sectorsPerCluster;
  const uint64_t bits = uint64_t{allocationMap_.size()} * 8;
  auto isSet = [&](uint64_t n) { return n < bits && (allocationMap_[n / 8] >> (n % 8)) & 1; };
  uint64_t cluster = sector / spc;
  uint64_t free = cluster;
  while (free < bits) {
    if ((free % 8) == 0 && allocationMap_[free / 8] == 0xFF) {
      free += 8;
      continue;
    }
    if (!isSet(free)) break;
    ++free;
  }
  sector = SatAdd(sector, SatMul(free - cluster, spc));
  if (sector >= volumeSectors_) {
    sector = volumeSectors_;
    return 1;
  }
  uint64_t used = free;
  while (used < bits) {
    if ((used % 8) == 0 && allocationMap_[used / 8] == 0x00) {
      used += 8;
      continue;
    }
    if (isSet(used)) break;
    ++used;
  }
  // Clusters past the map are not known to be in use.
  length = used < bits ? SatMul(used - free, spc) : volumeSectors_ - sector;
  if (SatAdd(sector, length) > volumeSectors_) length = volumeSectors_ - sector;
  return 1;
}

}  // namespace snapsave
