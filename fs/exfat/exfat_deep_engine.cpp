#include "fs/exfat/exfat_deep_engine.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "catalog/recovery_output.h"
#include "filetypes/file_type_catalogue.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/text.h"

namespace snapsave {

namespace {

constexpr uint32_t kRootRef = 0;
constexpr uint64_t kMaxFolderBytes = uint64_t{64} << 20;
constexpr uint32_t kMaxDepth = 64;
constexpr uint32_t kNoParent = UINT32_MAX;

}  // namespace

uint32_t CProfessionalExfatRecovery::StartPass(std::string_view logName) {
  if (!open_) return err::kInvalidParameter;
  sets_.clear();
  lastPosition_ = 0;
  dropped_ = 0;
  if (uint32_t e = OpenCatalogue(logName, LogPrefix()); e != err::kSuccess) return e;
  geometry_ = ReadExfatBootRegion(reader_, volumeStart_, volumeSectors_);
  if (!geometry_) return err::kSuccess;
  volume_.emplace(reader_, *geometry_);
  // The live files' clusters, stepped over where a freed chain is followed.
  volume_->ReadAllocationBitmap();
  return err::kSuccess;
}

bool CProfessionalExfatRecovery::Claims(ByteSpan sector) const {
  return IsExfatDirectorySector(sector);
}

void CProfessionalExfatRecovery::TakeSet(ByteSpan entries, uint64_t position) {
  const std::optional<ExfatEntrySet> set = ParseEntrySet(entries);
  if (!set) return;
  if (sets_.size() >= kMaxSets) {
    ++dropped_;
    return;
  }
  sets_.push_back({position, *set});
  lastPosition_ = position + uint64_t{set->entryCount} * kExfatEntrySize;
}

void CProfessionalExfatRecovery::Take(std::span<const uint8_t> rest, uint64_t sector) {
  const uint32_t ss = reader_.DeviceSectorSize();
  if (!open_ || ss == 0 || !catalogue_) return;
  const size_t first = std::min<size_t>(rest.size(), ss);
  for (size_t at = 0; at + kExfatEntrySize <= first; at += kExfatEntrySize) {
    const uint64_t position = sector * ss + at;
    if (position < lastPosition_ || (rest[at] | exfat_entry::kInUse) != exfat_entry::kFile) continue;
    const size_t need = (size_t{rest[at + 1]} + 1) * kExfatEntrySize;
    if (at + need <= rest.size()) {
      TakeSet(rest.subspan(at), position);
      continue;
    }
    // The set goes on past what the pass read: read it whole.
    const auto count = static_cast<uint32_t>((at + need + ss - 1) / ss);
    std::vector<uint8_t> bytes(size_t{count} * ss);
    uint32_t got = 0;
    reader_.ReadSectors(bytes, static_cast<int32_t>(count), sector, ss, &got);
    if (got == count) TakeSet(ByteSpan(bytes).subspan(at), position);
  }
}

FoundFileRecord CProfessionalExfatRecovery::MakeRecord(const FoundSet& found) const {
  const ExfatGeometry& g = *geometry_;
  const ExfatEntrySet& set = found.set;
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = driveLetter_;
  r.sourceKind = static_cast<uint32_t>(SourceKind::kExfatDeep);
  r.isFolder = set.IsDirectory() ? 1 : 0;
  r.isDeleted = set.deleted ? 1 : 0;
  r.isIntact = 1;
  r.entryRef = set.firstCluster;
  r.clusterSize = g.clusterBytes;
  r.creationTime = ExfatTimeToFileTime(set.created);
  r.writeTime = ExfatTimeToFileTime(set.modified);
  r.accessTime = ExfatTimeToFileTime(set.accessed);
  r.fileSize = set.IsDirectory() ? 0 : set.dataLength;
  r.dataStartSector = g.heapStart;
  r.entryLocation = found.position + kExfatEntrySize;  // the stream extension, read again for the data
  r.volumeStartSector = g.volumeStart;
  r.SetName(set.name);
  return r;
}

// Without a boot region the geometry is voted for: a folder's first entry set opens its first cluster, so
// each folder set and each set at the start of a sector name a heap start for every cluster size. The
// true pair is named once per folder; wrong ones scatter, and one that puts a folder's own entry at its
// start is no candidate.
void CProfessionalExfatRecovery::InferGeometry() {
  const uint32_t ss = reader_.DeviceSectorSize();
  if (ss == 0) return;
  // Bounds the votes to a few million map updates however many sets a disk holds.
  constexpr size_t kMaxFolderVoters = 128;
  constexpr size_t kMaxVoters = 4096;
  std::vector<uint32_t> folders;
  // Sets that open a sector: the sector (volume-relative) and the first cluster the set names.
  std::vector<std::pair<uint64_t, uint32_t>> starts;
  for (const FoundSet& f : sets_) {
    if (f.set.IsDirectory() && f.set.firstCluster >= 2 && folders.size() < kMaxFolderVoters)
      folders.push_back(f.set.firstCluster);
    const uint64_t sector = f.position / ss;
    if (f.position % ss == 0 && sector >= volumeStart_ && starts.size() < kMaxVoters)
      starts.emplace_back(sector - volumeStart_, f.set.firstCluster);
  }
  std::pair<uint32_t, uint64_t> best{};
  uint32_t bestVotes = 0;
  for (uint32_t shift = 0; shift + 9 <= 25; ++shift) {
    std::unordered_map<uint64_t, uint32_t> votes;  // heap start -> folders that name it
    for (uint32_t cluster : folders) {
      const uint64_t offset = uint64_t{cluster - 2} << shift;
      for (const auto& [start, named] : starts) {
        // A folder's own entry lies in its parent, never at its own start.
        if (start < offset || named == cluster) continue;
        const uint32_t count = ++votes[start - offset];
        if (count > bestVotes) {
          best = {shift, start - offset};
          bestVotes = count;
        }
      }
    }
  }
  // One folder agrees with anything; two that agree are no accident.
  if (bestVotes < 2 || best.second >= volumeSectors_) return;
  ExfatGeometry g;
  g.sectorSize = ss;
  g.sectorsPerCluster = 1u << best.first;
  g.clusterBytes = ss << best.first;
  g.volumeStart = volumeStart_;
  g.volumeSectors = volumeSectors_;
  g.heapStart = static_cast<uint32_t>(std::min<uint64_t>(best.second, UINT32_MAX));
  g.clusterCount =
      static_cast<uint32_t>(std::min<uint64_t>((volumeSectors_ - best.second) >> best.first, 0xFFFFFFF0u));
  g.rootCluster = 0;  // unknown: every folder whose own entry was not found is a lost one
  geometry_ = g;
  volume_.emplace(reader_, g);
}

int32_t CProfessionalExfatRecovery::FinishPass() {
  if (!catalogue_) return static_cast<int32_t>(err::kInvalidParameter);
  if (!geometry_ && !sets_.empty()) InferGeometry();
  if (!geometry_ || !volume_ || sets_.empty()) {
    sets_ = {};
    return static_cast<int32_t>(catalogue_->Flush());
  }
  const ExfatGeometry& g = *geometry_;
  ExfatVolume& volume = *volume_;
  const uint64_t heapFirst = g.volumeStart + g.heapStart;
  auto clusterOf = [&](uint64_t position) -> std::optional<uint32_t> {
    const uint64_t sector = position / g.sectorSize;
    if (sector < heapFirst) return std::nullopt;
    const uint64_t cluster = (sector - heapFirst) / g.sectorsPerCluster + 2;
    return cluster <= g.LastCluster() ? std::optional<uint32_t>(static_cast<uint32_t>(cluster))
                                      : std::nullopt;
  };
  // The clusters of a folder: contiguous ones by its length; chained ones along the FAT where it still
  // holds them (past the stated size too: some drivers leave a growing folder's size at one cluster), else
  // on in succession up to the stated size.
  auto clustersOf = [&](uint32_t first, uint64_t length, bool contiguous, auto&& take) {
    const uint64_t stated =
        std::max<uint64_t>(1, (std::min(length, kMaxFolderBytes) + g.clusterBytes - 1) / g.clusterBytes);
    const uint64_t most = kMaxFolderBytes / g.clusterBytes;
    std::unordered_set<uint32_t> seen;
    uint32_t c = first;
    for (uint64_t k = 0; k < most && g.IsDataCluster(c) && seen.insert(c).second; ++k) {
      take(c);
      const std::optional<uint32_t> next = contiguous ? std::nullopt : volume.FatEntry(c);
      if (next && g.IsDataCluster(*next) && seen.count(*next) == 0) {
        c = *next;
      } else if (k + 1 < stated) {
        ++c;
      } else {
        break;
      }
    }
  };
  // The root's own chain, as far as the FAT holds it.
  std::unordered_set<uint32_t> rootClusters;
  for (uint32_t c = g.rootCluster; g.IsDataCluster(c) && rootClusters.insert(c).second &&
                                   rootClusters.size() <= kMaxFolderBytes / g.clusterBytes;) {
    const std::optional<uint32_t> next = volume.FatEntry(c);
    if (!next || !g.IsDataCluster(*next)) break;
    c = *next;
  }
  std::unordered_map<uint32_t, uint32_t> folderOf;  // cluster -> index of the folder's set
  for (size_t i = 0; i < sets_.size(); ++i) {
    const ExfatEntrySet& s = sets_[i].set;
    if (!s.IsDirectory() || !g.IsDataCluster(s.firstCluster) || rootClusters.count(s.firstCluster) != 0)
      continue;
    clustersOf(s.firstCluster, s.dataLength, s.noFatChain,
               [&](uint32_t c) { folderOf.emplace(c, static_cast<uint32_t>(i)); });
  }

  // Parent of each set: the root, a found folder, or the lost folder of its cluster.
  struct Place {
    uint32_t parent = kNoParent;  // index of the folder's set
    uint32_t lostCluster = 0;     // when no folder was found
    bool placed = false;
    uint32_t level = 0;
  };
  std::vector<Place> places(sets_.size());
  for (size_t i = 0; i < sets_.size(); ++i) {
    const std::optional<uint32_t> c = clusterOf(sets_[i].position);
    if (!c) continue;
    places[i].placed = true;
    if (rootClusters.count(*c) != 0) continue;
    const auto folder = folderOf.find(*c);
    if (folder != folderOf.end() && folder->second != i) {
      places[i].parent = folder->second;
    } else {
      places[i].lostCluster = *c;
    }
  }
  // Levels from the root down; a chain of parents that loops or runs too deep is cut into a lost folder.
  for (size_t i = 0; i < sets_.size(); ++i) {
    uint32_t level = 0;
    uint32_t at = static_cast<uint32_t>(i);
    while (places[at].parent != kNoParent && level <= kMaxDepth) {
      at = places[at].parent;
      ++level;
    }
    if (level > kMaxDepth) {
      places[i].lostCluster = clusterOf(sets_[i].position).value_or(0);
      places[i].parent = kNoParent;
      level = 0;
      at = static_cast<uint32_t>(i);
    }
    places[i].level = level + (places[at].lostCluster != 0 ? 1 : 0);
  }

  std::unordered_set<uint32_t> lostFolders;
  for (size_t i = 0; i < sets_.size(); ++i) {
    const Place& p = places[i];
    if (!p.placed) continue;
    uint32_t parentRef = kRootRef;
    if (p.parent != kNoParent) {
      parentRef = sets_[p.parent].set.firstCluster;
    } else if (p.lostCluster != 0) {
      parentRef = p.lostCluster;
      if (lostFolders.insert(p.lostCluster).second) {
        FoundFileRecord lost = MakeEmptyRecord();
        lost.driveLetter = driveLetter_;
        lost.sourceKind = static_cast<uint32_t>(SourceKind::kExfatDeep);
        lost.isFolder = 1;
        lost.isIntact = 1;
        lost.entryRef = p.lostCluster;
        lost.clusterSize = g.clusterBytes;
        lost.dataStartSector = g.heapStart;
        lost.entryLocation = g.ClusterSector(p.lostCluster) * g.sectorSize;
        lost.volumeStartSector = g.volumeStart;
        lost.SetName("LostFolder" + std::to_string(p.lostCluster));
        const uint32_t id = catalogue_->ReserveRecord(lost);
        if (id == 0) break;
        catalogue_->AddToFolder(kRootRef, 0, id, p.lostCluster, lost.Name());
      }
    }
    FoundFileRecord r = MakeRecord(sets_[i]);
    if (r.isFolder == 0 && r.fileSize != 0 && g.IsDataCluster(r.entryRef)) {
      std::vector<uint8_t> first;
      if (volume.ReadCluster(r.entryRef, first))
        r.isIntact = VerifyExtension(first, os::ExtensionOf(r.Name()), &reader_, g.sectorSize,
                                     g.ClusterSector(r.entryRef))
                         ? 1
                         : 0;
    }
    const uint32_t id = catalogue_->ReserveRecord(r);
    if (id == 0) break;
    if (r.isFolder != 0) {
      catalogue_->AddToFolder(parentRef, p.level, id, r.entryRef, r.Name());
    } else {
      catalogue_->AddToFolder(parentRef, p.level, id, r.entryRef);
    }
  }
  sets_ = {};
  return static_cast<int32_t>(catalogue_->Flush());
}

int32_t CProfessionalExfatRecovery::ReadData(const FoundFileRecord& record, uint64_t total,
                                             const PieceSink& sink) {
  return volume_ ? volume_->ReadRecordData(record, true, total, sink)
                 : static_cast<int32_t>(err::kInvalidData);
}

std::optional<uint64_t> CProfessionalExfatRecovery::FirstDataSector(const FoundFileRecord& r) const {
  if (r.entryRef < 2 || sectorSize_ == 0) return std::nullopt;
  return r.volumeStartSector + r.dataStartSector + uint64_t{r.entryRef - 2} * (r.clusterSize / sectorSize_);
}

}  // namespace snapsave
