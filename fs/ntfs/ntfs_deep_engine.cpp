#include "fs/ntfs/ntfs_deep_engine.h"

#include <algorithm>
#include <string>

#include "catalog/recovery_output.h"
#include "fs/ntfs/ntfs_file_data.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/text.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kMaxSectorSize = 4096;
// Deeper than any real tree; ends parent chains on damaged or planted records.
constexpr size_t kMaxDepth = 1024;
// Headers whose update sequence starts before this offset predate the record-number field.
constexpr uint16_t kRecordNumberEnd = 48;

bool IsPowerOfTwoUpTo128(uint64_t v) {
  return v != 0 && v <= 128 && (v & (v - 1)) == 0;
}

// Sectors per cluster for the size of the scanned range, the way formatting tools choose by volume size.
uint32_t GuessFromRange(uint64_t sectors, uint32_t sectorSize) {
  const double mib = static_cast<double>(sectors) * sectorSize / 1048576.0;
  const double k = sectorSize / 512.0;
  if (mib <= 7 * k) return 8;
  if (mib <= 512 * k) return 1;
  if (mib <= 1024 * k) return 2;
  if (mib <= 2048 * k) return 4;
  return 8;
}

// The size checks every handled record must pass before its attributes are walked.
bool RecordFits(ByteSpan record, uint32_t recordSize) {
  const uint32_t inUse = RecordBytesInUse(record);
  const uint32_t firstAttribute = Le16(record, 20);
  return inUse <= recordSize && firstAttribute <= recordSize && firstAttribute <= inUse;
}

}  // namespace

uint32_t CProfessionalNtfsRecovery::OpenVolume() {
  const uint32_t sectorSize = sectorSize_;
  const uint64_t firstSector = volumeStart_;
  const uint64_t sectorCount = volumeSectors_;
  if (sectorSize < 512 || sectorSize > kMaxSectorSize || (sectorSize & (sectorSize - 1)) != 0)
    return err::kInvalidData;
  sectorsPerRecord_ = sectorSize == 512 ? 2 : 1;
  recordSize_ = sectorsPerRecord_ * sectorSize;
  openGuess_ = GuessFromRange(sectorCount, sectorSize);
  clusterGuess_ = openGuess_;
  record_.assign(recordSize_, 0);

  std::vector<uint8_t> boot;
  if (ReadNtfsBootSector(reader_, firstSector, sectorCount, sectorSize, boot) &&
      Le16(boot, 11) == sectorSize) {
    const NtfsGeometry g = ParseNtfsGeometry(boot, firstSector);
    NtfsVolume volume(reader_, firstSector, g);
    if (volume.LoadMftRuns() == 0 && !volume.MftRuns().empty()) {
      KnownMft mft;
      mft.startSector = g.mftStartSector;
      mft.volumeStart = firstSector;
      mft.sectorsPerCluster = g.sectorsPerCluster;
      mft.runs = volume.MftRuns();
      bootMft_ = std::move(mft);
    }
  }
  ResetPass();
  return err::kSuccess;
}

void CProfessionalNtfsRecovery::ResetPass() {
  knownMfts_.clear();
  if (bootMft_)
    AddKnownMft(bootMft_->startSector, bootMft_->volumeStart, bootMft_->sectorsPerCluster, bootMft_->runs);
  clusterGuess_ = openGuess_;
  folderList_.clear();
  folderSet_.clear();
  depthOfParent_.clear();
  folderParent_.clear();
  lostFolders_.clear();
  registered_.clear();
  droppedFiles_ = 0;
}

uint32_t CProfessionalNtfsRecovery::StartPass(std::string_view logName) {
  if (!open_) return err::kInvalidParameter;
  ResetPass();
  const uint32_t e = OpenCatalogue(logName, LogPrefix());
  if (e == err::kSuccess && !logName.empty()) {
    for (uint32_t ref : catalogue_->FolderEntryRefs()) registered_.insert(ref);
  }
  return e;
}

bool CProfessionalNtfsRecovery::Claims(ByteSpan sector) const {
  return IsPlausibleFileRecord(sector, recordSize_);
}

void CProfessionalNtfsRecovery::Take(std::span<const uint8_t> rest, uint64_t sector) {
  if (rest.size() >= recordSize_) {
    TakeFileRecord(rest, sector);
    return;
  }
  // The record runs past what the pass read: read it whole.
  std::vector<uint8_t> whole(recordSize_);
  if (ReadDeviceSectors(whole, sector, sectorsPerRecord_)) TakeFileRecord(whole, sector);
}

void CProfessionalNtfsRecovery::AddKnownMft(uint64_t startSector, uint64_t volumeStart,
                                            uint32_t sectorsPerCluster, RunList runs) {
  if (knownMfts_.size() >= limits_.maxKnownMfts || runs.empty()) return;
  if (std::ranges::any_of(knownMfts_, [&](const KnownMft& m) { return m.startSector == startSector; }))
    return;
  KnownMft mft;
  mft.startSector = startSector;
  mft.volumeStart = volumeStart;
  mft.sectorsPerCluster = sectorsPerCluster;
  uint64_t end = 0;
  for (const DataRun& run : runs) {
    end = SatAdd(end, SatMul(run.length, sectorsPerCluster));
    mft.runEnds.push_back(end);
  }
  mft.runs = std::move(runs);
  knownMfts_.push_back(std::move(mft));
}

// Record 0 of an MFT carries the MFT's own run list, and its allocated size over its clusters says how large
// that volume's clusters are: each volume found on the disk keeps its own cluster size.
void CProfessionalNtfsRecovery::NoteMftRecord(ByteSpan record, uint64_t sector) {
  std::optional<Attribute> data;
  AttributeWalker walker(record, std::min(RecordBytesInUse(record), recordSize_));
  while (auto a = walker.Next()) {
    if (a->type == kAttrData && a->nameLength == 0) {
      data = a;
      break;
    }
  }
  if (!data || !data->nonResident) return;
  RunList runs;
  DecodeRunList(data->bytes, runs);
  if (runs.empty() || runs.front().sparse) return;
  uint32_t spc = clusterGuess_;
  const uint64_t clusters = TotalClusters(runs);
  if (clusters != 0) {
    const uint64_t quotient = Le64(data->bytes, 40) / sectorSize_ / clusters;
    if (IsPowerOfTwoUpTo128(quotient)) spc = static_cast<uint32_t>(quotient);
  }
  const uint64_t before = SatMul(runs.front().firstCluster, spc);
  if (before > sector) return;  // a volume that would start before the disk does
  AddKnownMft(sector, sector - before, spc, std::move(runs));
}

std::optional<uint64_t> CProfessionalNtfsRecovery::SectorOf(const Placement& p, uint64_t n) const {
  const uint64_t position = SatMul(n, sectorsPerRecord_);
  if (p.known < 0) return SatAdd(p.mftStart, position);
  const KnownMft& mft = knownMfts_[static_cast<size_t>(p.known)];
  const auto it = std::ranges::upper_bound(mft.runEnds, position);
  if (it == mft.runEnds.end()) return std::nullopt;
  const auto index = static_cast<size_t>(it - mft.runEnds.begin());
  const DataRun& run = mft.runs[index];
  if (run.sparse) return std::nullopt;
  const uint64_t before = index == 0 ? 0 : mft.runEnds[index - 1];
  return SatAdd(SatAdd(mft.volumeStart, SatMul(run.firstCluster, mft.sectorsPerCluster)), position - before);
}

CProfessionalNtfsRecovery::Placement CProfessionalNtfsRecovery::PlaceRecord(uint32_t n,
                                                                            uint64_t sector) const {
  for (size_t i = 0; i < knownMfts_.size(); ++i) {
    Placement p;
    p.known = static_cast<int32_t>(i);
    p.volumeStart = knownMfts_[i].volumeStart;
    p.mftStart = knownMfts_[i].startSector;
    p.sectorsPerCluster = knownMfts_[i].sectorsPerCluster;
    if (SectorOf(p, n) == sector) return p;
  }
  // No known MFT holds it: its MFT is taken to run on without a gap up to it, on a volume that starts where
  // the scanned range does.
  Placement p;
  p.volumeStart = volumeStart_;
  const uint64_t position = SatMul(n, sectorsPerRecord_);
  p.mftStart = position <= sector ? sector - position : 0;
  p.sectorsPerCluster = clusterGuess_;
  return p;
}

void CProfessionalNtfsRecovery::RefineClusterGuess(const std::vector<Attribute>& attributes) {
  for (const Attribute& a : attributes) {
    if (a.type == kAttrAttributeList) return;
    if (a.type != kAttrData) continue;
    if (!a.nonResident) return;
    RunList runs;
    DecodeRunList(a.bytes, runs);
    const uint64_t clusters = TotalClusters(runs);
    if (clusters == 0) return;
    const uint64_t quotient = Le64(a.bytes, 40) / sectorSize_ / clusters;
    // Only a size a formatting tool could have chosen; a planted allocated size must not steer later reads.
    if (IsPowerOfTwoUpTo128(quotient)) clusterGuess_ = static_cast<uint32_t>(quotient);
    return;
  }
}

FoundFileRecord CProfessionalNtfsRecovery::NewRecord() const {
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = static_cast<uint16_t>(driveLetter_);
  r.sourceKind = static_cast<uint32_t>(SourceKind::kNtfsDeep);
  r.isIntact = 1;
  return r;
}

int32_t CProfessionalNtfsRecovery::TakeFileRecord(std::span<const uint8_t> record, uint64_t absoluteSector) {
  if (!open_ || !catalogue_) return static_cast<int32_t>(err::kInvalidParameter);
  if (record.size() < recordSize_) return static_cast<int32_t>(err::kInvalidParameter);
  std::copy_n(record.begin(), recordSize_, record_.begin());
  const ByteSpan bytes(record_);
  if (!HasFileSignature(bytes)) return kNtfsNoFileRecord;
  // Folders are read back through the files that lie in them.
  if ((RecordFlags(bytes) & kRecordIsFolder) != 0) return 0;
  ApplyFixups(record_, sectorSize_, sectorsPerRecord_);
  if (!RecordFits(bytes, recordSize_)) return static_cast<int32_t>(err::kInvalidParameter);
  const RecordWalk walk = WalkRecord(bytes);
  if (!walk.ok) return static_cast<int32_t>(err::kInvalidParameter);
  const uint32_t number = RecordNumber(bytes);

  std::optional<FoundFileRecord> found;
  Placement placement;
  uint32_t parent = 0;
  for (const Attribute& a : walk.attributes) {
    if (a.type == kAttrFileName) {
      const auto info = ParseFileName(a);
      if (!info) continue;
      if (number < kFirstUserRecord) {
        if (number == kMftRecordMft && info->name == u"$MFT") NoteMftRecord(bytes, absoluteSector);
        return 0;
      }
      if (found) {
        if (info->nameSpace == 1) found->SetName(os::Utf16ToUtf8(info->name));
        continue;
      }
      RefineClusterGuess(walk.attributes);
      placement = PlaceRecord(number, absoluteSector);
      FoundFileRecord r = NewRecord();
      r.entryRef = number;
      r.clusterSize = placement.sectorsPerCluster * sectorSize_;
      r.creationTime = info->creationTime;
      r.writeTime = info->writeTime;
      r.accessTime = info->accessTime;
      r.fileSize = info->realSize;
      r.entryLocation = absoluteSector;
      r.volumeStartSector = placement.volumeStart;
      r.SetName(os::Utf16ToUtf8(info->name));
      // A record its volume freed was deleted; one still in use may be a lost volume's live file or a stale
      // copy, which the record cannot tell apart.
      if ((RecordFlags(bytes) & kRecordInUse) == 0) r.isDeleted = 1;
      parent = info->parent;
      found = r;
    } else if (a.type == kAttrData && a.nameLength == 0 && found) {
      found->fileSize = a.nonResident ? a.RealSize() : Le32(a.bytes, 16);
    }
  }
  if (!found) return 0;
  const std::optional<uint32_t> depth = DepthOfParent(parent, placement);
  if (!depth) {
    ++droppedFiles_;
    return 0;
  }
  found->isIntact = NtfsContentCheck(VolumeFor(*found), *found, bytes) ? 1 : 0;
  const uint32_t id = catalogue_->ReserveRecord(*found);
  if (id != 0) catalogue_->AddToFolder(*depth == 0 ? kMftRecordRoot : parent, *depth, id, number);
  return 0;
}

bool CProfessionalNtfsRecovery::NoteFolder(const FolderId& id, const Placement& placement) {
  if (folderSet_.count(id) != 0) return true;
  if (folderList_.size() >= limits_.maxFolders) return false;
  folderSet_.insert(id);
  folderList_.push_back({id, placement});
  return true;
}

std::optional<std::pair<FoundFileRecord, uint32_t>> CProfessionalNtfsRecovery::ReadFolder(
    uint32_t number, const Placement& p, std::vector<uint8_t>& record) {
  const std::optional<uint64_t> sector = SectorOf(p, number);
  if (!sector) return std::nullopt;
  record.assign(recordSize_, 0);
  uint32_t got = 0;
  const uint32_t e =
      reader_.ReadSectors(record, static_cast<int32_t>(sectorsPerRecord_), *sector, sectorSize_, &got);
  if (got != sectorsPerRecord_) {
    // A folder record that cannot be read leaves its files in the lost folder; a source gone ends the scan.
    if (e == err::kDeviceGone) readError_ = e;
    return std::nullopt;
  }
  const ByteSpan bytes(record);
  if (!HasFileSignature(bytes) || (RecordFlags(bytes) & kRecordIsFolder) == 0) return std::nullopt;
  // A record that names another number is some other record, not the folder the child asked for.
  if (Le16(bytes, 4) >= kRecordNumberEnd && RecordNumber(bytes) != number) return std::nullopt;
  ApplyFixups(record, sectorSize_, sectorsPerRecord_);
  if (!RecordFits(bytes, recordSize_)) return std::nullopt;
  const RecordWalk walk = WalkRecord(bytes);
  if (!walk.ok) return std::nullopt;
  const std::optional<FileNameInfo> info = RecordName(walk.attributes);
  if (!info) return std::nullopt;
  FoundFileRecord r = NewRecord();
  r.isFolder = 1;
  r.entryRef = number;
  r.clusterSize = p.sectorsPerCluster * sectorSize_;
  r.creationTime = info->creationTime;
  r.writeTime = info->writeTime;
  r.accessTime = info->accessTime;
  r.entryLocation = *sector;
  r.volumeStartSector = p.volumeStart;
  r.SetName(os::Utf16ToUtf8(info->name));
  return std::make_pair(r, info->parent);
}

// The depth at which the children of folder `parent` are filed: the number of folders from it up to the root.
// A chain that cannot reach the root (a parent that is no readable folder, parents that form a cycle, a chain
// deeper than any real tree) is cut at its last folder, which becomes a LostFolder at the root, so that what
// lies below is still listed. Every folder of a chain keeps the depth found here, so later walks agree.
std::optional<uint32_t> CProfessionalNtfsRecovery::DepthOfParent(uint32_t parent, const Placement& p) {
  if (parent == kMftRecordRoot) return 0;
  const FolderId start{p.volumeStart, parent};
  if (auto it = depthOfParent_.find(start); it != depthOfParent_.end()) return it->second;
  std::vector<uint8_t> record;
  std::vector<FolderId> chain;
  std::unordered_set<uint32_t> onChain;
  uint32_t base = 0;  // depth of the folder above the chain's top; the root's is 0
  for (uint32_t q = parent; q != kMftRecordRoot;) {
    const FolderId id{p.volumeStart, q};
    if (auto it = depthOfParent_.find(id); it != depthOfParent_.end()) {
      base = it->second;
      break;
    }
    if (onChain.count(q) != 0 || chain.size() >= kMaxDepth) {
      lostFolders_.insert(chain.back());
      break;
    }
    if (!NoteFolder(id, p)) {
      if (chain.empty()) return std::nullopt;
      lostFolders_.insert(chain.back());
      break;
    }
    chain.push_back(id);
    onChain.insert(q);
    const auto folder = ReadFolder(q, p, record);
    if (!folder) {
      lostFolders_.insert(id);
      break;
    }
    folderParent_[id] = folder->second;
    q = folder->second;
  }
  for (size_t i = 0; i < chain.size(); ++i) {
    depthOfParent_[chain[i]] = base + static_cast<uint32_t>(chain.size() - i);
  }
  return depthOfParent_.at(start);
}

void CProfessionalNtfsRecovery::AddLostFolder(const FolderEntry& entry) {
  FoundFileRecord r = NewRecord();
  r.isFolder = 1;
  r.entryRef = entry.id.number;
  r.clusterSize = clusterGuess_ * sectorSize_;
  r.entryLocation = SectorOf(entry.placement, entry.id.number).value_or(0);
  r.volumeStartSector = entry.id.volumeStart;
  const std::string name = "LostFolder" + std::to_string(entry.id.number);
  r.SetName(name);
  const uint32_t id = catalogue_->ReserveRecord(r);
  if (id != 0) catalogue_->AddToFolder(kMftRecordRoot, 0, id, entry.id.number, name);
}

void CProfessionalNtfsRecovery::AddFolder(const FolderEntry& entry, std::vector<uint8_t>& record) {
  if (registered_.count(entry.id.number) != 0) return;
  const auto parent = folderParent_.find(entry.id);
  std::optional<std::pair<FoundFileRecord, uint32_t>> folder;
  if (lostFolders_.count(entry.id) == 0 && parent != folderParent_.end()) {
    folder = ReadFolder(entry.id.number, entry.placement, record);
  }
  // A record that reads differently now than during the pass has no place in the tree either.
  if (!folder || folder->second != parent->second) {
    AddLostFolder(entry);
    return;
  }
  const std::optional<uint32_t> depth = DepthOfParent(parent->second, entry.placement);
  const uint32_t id = catalogue_->ReserveRecord(folder->first);
  if (id == 0) return;
  catalogue_->AddToFolder(depth.value_or(0) == 0 ? kMftRecordRoot : parent->second, depth.value_or(0), id,
                          entry.id.number, folder->first.Name());
}

int32_t CProfessionalNtfsRecovery::FinishPass() {
  if (!catalogue_) return static_cast<int32_t>(err::kInvalidParameter);
  readError_ = 0;
  std::vector<uint8_t> record;
  // Registering may note folders further up a chain; the list grows while it is walked.
  for (size_t i = 0; i < folderList_.size(); ++i) {
    const FolderEntry entry = folderList_[i];
    AddFolder(entry, record);
  }
  const uint32_t flushed = catalogue_->Flush();
  if (flushed != err::kSuccess) return static_cast<int32_t>(flushed);
  return static_cast<int32_t>(readError_);
}

NtfsVolume CProfessionalNtfsRecovery::VolumeFor(const FoundFileRecord& record) const {
  NtfsGeometry g;
  g.sectorSize = sectorSize_;
  g.sectorsPerRecord = sectorsPerRecord_;
  g.recordSize = recordSize_;
  g.sectorsPerCluster = std::max<uint32_t>(1, record.clusterSize / sectorSize_);
  g.clusterBytes = uint64_t{g.sectorsPerCluster} * sectorSize_;
  g.totalSectors = volumeSectors_;
  NtfsVolume volume(reader_, record.volumeStartSector, g);
  // The MFT of the record's volume, when one is known, lets an attribute list find its extension records.
  for (const KnownMft& mft : knownMfts_) {
    if (mft.volumeStart == record.volumeStartSector && mft.sectorsPerCluster == g.sectorsPerCluster) {
      volume.SetMftRuns(mft.runs);
      break;
    }
  }
  return volume;
}

std::optional<uint64_t> CProfessionalNtfsRecovery::FirstDataSector(const FoundFileRecord& record) const {
  if (!open_) return std::nullopt;
  const NtfsVolume volume = VolumeFor(record);
  RunList runs;
  if (volume.FindAttributeRuns(record.entryLocation, kAttrData, runs) != 0 || runs.empty() ||
      runs.front().sparse) {
    return std::nullopt;
  }
  return volume.ClusterSector(runs.front().firstCluster);
}

int32_t CProfessionalNtfsRecovery::ReadData(const FoundFileRecord& record, uint64_t total,
                                            const PieceSink& sink) {
  return ReadNtfsFileData(VolumeFor(record), record, total, sink);
}

}  // namespace snapsave
