#include "fs/fat/fat_deep_engine.h"

#include <algorithm>

#include "catalog/recovery_output.h"
#include "filetypes/file_type_catalogue.h"
#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_dir_block.h"
#include "fs/fat/fat_dir_entry.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/text.h"

namespace snapsave {

namespace {

constexpr uint32_t kBootReadBytes = 4096;
// The fixed root region of the 12/16-bit layout, taken to lie just before the data region.
constexpr uint32_t kRootRegionSectors = 32;
// Deeper than any real tree; a longer chain of ".." entries is a loop or garbage.
constexpr size_t kMaxDepth = 1024;
// Waiting long names are few: each is completed by one of the next blocks or never.
constexpr size_t kMaxSplitNames = 8;
// Files and folders filed directly in a root, whichever volume it belongs to.
constexpr uint32_t kRootRef = 0;
constexpr uint32_t kReadPieceBytes = 0x10000;
// Sibling-name patterns kept over all folders: about 80 bytes each.
constexpr size_t kMaxSiblingPatterns = 16384;

}  // namespace

uint64_t FatVolumeGuess::ClusterSector(uint32_t cluster) const {
  if (cluster < 2) return DataSector() > kRootRegionSectors ? DataSector() - kRootRegionSectors : 0;
  return DataSector() + uint64_t{cluster - 2} * sectorsPerCluster;
}

// The deep scan looks at the whole disk from the volume's first sector on, whatever count it was given:
// folders of earlier volumes may lie past the current one.
uint32_t CProfessionalFatRecovery::OpenVolume() {
  if (sectorSize_ < 512 || sectorSize_ > kBootReadBytes) return err::kInvalidData;
  if (!source_.IsImage()) {
    const uint64_t total = reader_.TotalSectors();
    volumeSectors_ = total > volumeStart_ ? total - volumeStart_ : 0;
  }
  return err::kSuccess;
}

bool CProfessionalFatRecovery::Claims(ByteSpan sector) const {
  return IsDotPair(sector) || IsDirectoryBlock(sector);
}

void CProfessionalFatRecovery::Take(std::span<const uint8_t> rest, uint64_t sector) {
  const ByteSpan first = rest.first(std::min<size_t>(rest.size(), sectorSize_));
  if (IsDotPair(first)) {
    TakeFolderHead(first, sector);
  } else {
    TakeDirectoryBlock(first, sector);
  }
}

std::optional<uint64_t> CProfessionalFatRecovery::FirstDataSector(const FoundFileRecord& r) const {
  const uint64_t data = r.volumeStartSector + r.dataStartSector;
  if (r.entryRef == 0)
    return data >= kRootRegionSectors ? std::optional<uint64_t>(data - kRootRegionSectors) : std::nullopt;
  return data + uint64_t{r.entryRef - 2} * (r.clusterSize / sectorSize_);
}

uint32_t CProfessionalFatRecovery::ReadBootGuess() {
  if (!open_) return err::kInvalidParameter;
  std::vector<uint8_t> boot(kBootReadBytes);
  const auto count = static_cast<int32_t>(std::min<uint64_t>(kBootReadBytes / sectorSize_, volumeSectors_));
  uint32_t got = 0;
  const uint32_t e =
      count == 0 ? err::kHandleEof : reader_.ReadSectors(boot, count, volumeStart_, sectorSize_, &got);
  if (got == 0) return e != err::kSuccess ? e : err::kReadFault;
  const ByteSpan bytes(boot.data(), size_t{got} * sectorSize_);
  if (!IsFatBootSector(bytes)) return err::kSuccess;
  const auto geo = ParseFatGeometry(bytes, volumeStart_, volumeSectors_);
  // Guesses count device sectors; a boot sector of another size describes some other medium.
  if (!geo || geo->sectorSize != sectorSize_) return err::kSuccess;
  const FatVolumeGuess guess{geo->sectorsPerCluster, geo->dataStart, volumeStart_, geo->isFat32};
  const bool known = std::ranges::any_of(guesses_, [&](const FatVolumeGuess& g) {
    return g.sectorsPerCluster == guess.sectorsPerCluster && g.DataSector() == guess.DataSector();
  });
  if (!known) guesses_.insert(guesses_.begin(), guess);
  rootCluster_ = geo->isFat32 ? geo->rootCluster : 0;
  return err::kSuccess;
}

uint32_t CProfessionalFatRecovery::StartPass(std::string_view logName) {
  if (!open_) return err::kInvalidParameter;
  guesses_.clear();
  rootCluster_ = 2;
  heads_.clear();
  pending_.clear();
  stored_.clear();
  folders_.clear();
  refs_.clear();
  refOrder_.clear();
  openEnds_.clear();
  splits_.clear();
  siblings_.clear();
  siblingPatterns_ = 0;
  context_ = {};
  dropped_ = {};
  filesListed_ = 0;
  probeReads_ = 0;
  registered_.clear();
  if (uint32_t e = OpenCatalogue(logName, LogPrefix()); e != err::kSuccess) return e;
  if (!logName.empty()) {
    for (uint32_t ref : catalogue_->FolderEntryRefs()) registered_.insert(ref);
  }
  ReadBootGuess();  // without a boot sector the geometry is inferred from the folder heads
  return err::kSuccess;
}

ByteSpan CProfessionalFatRecovery::OneSector(std::span<const uint8_t> block) const {
  return block.first(std::min<size_t>(block.size(), sectorSize_));
}

bool CProfessionalFatRecovery::ReadSector(uint64_t sector, std::vector<uint8_t>& out) const {
  out.resize(sectorSize_);
  uint32_t got = 0;
  reader_.ReadSectors(out, 1, sector, sectorSize_, &got);
  return got == 1;
}

uint32_t CProfessionalFatRecovery::GuessPlacingHead(uint32_t cluster, uint64_t sector) const {
  for (size_t i = 0; i < guesses_.size(); ++i) {
    if (guesses_[i].ClusterSector(cluster) == sector) return static_cast<uint32_t>(i);
  }
  return kNoGuess;
}

// Two heads of one volume lie as far apart in sectors as their clusters are, times the cluster size. Only the
// most recent unplaced heads are paired: a disk planted with heads would otherwise make this quadratic, and
// two heads of a real volume are never far apart among the unplaced ones.
uint32_t CProfessionalFatRecovery::InferGuess(uint32_t cluster, uint64_t sector) {
  uint32_t result = kNoGuess;
  if (guesses_.size() < limits_.guesses) {
    for (const auto& [other, otherSector] : heads_) {
      if (other == cluster) continue;
      const bool newer = cluster > other;
      const uint32_t a = newer ? cluster : other;
      const uint32_t b = newer ? other : cluster;
      const uint64_t sa = newer ? sector : otherSector;
      const uint64_t sb = newer ? otherSector : sector;
      if (sa <= sb) continue;
      const uint64_t clusters = a - b;
      const uint64_t sectors = sa - sb;
      if (sectors % clusters != 0) continue;
      const uint64_t k = sectors / clusters;
      if (k > 128 || (k & (k - 1)) != 0) continue;
      const uint64_t before = uint64_t{b - 2} * k;
      if (before > sb || sb - before < volumeStart_) continue;
      const uint64_t dataStart = sb - before - volumeStart_;
      if (dataStart > UINT32_MAX) continue;
      guesses_.push_back({static_cast<uint32_t>(k), static_cast<uint32_t>(dataStart), volumeStart_, true});
      result = static_cast<uint32_t>(guesses_.size() - 1);
      break;
    }
  }
  heads_.emplace_back(cluster, sector);
  if (heads_.size() > limits_.headWindow) heads_.pop_front();
  if (result != kNoGuess) RetryPending(result);
  return result;
}

// Only a new guess can place a head that no earlier guess placed, so each pending head is tried once per
// guess, not once per block.
void CProfessionalFatRecovery::RetryPending(uint32_t guess) {
  const FatVolumeGuess g = guesses_[guess];
  const ClusterContext saved = context_;
  std::vector<uint8_t> sector;
  for (PendingHead& p : pending_) {
    if (p.done || g.ClusterSector(p.cluster) != p.sector) continue;
    p.done = true;
    if (ReadSector(p.sector, sector)) ReadPlacedBlock(sector, p.sector, {guess, p.cluster, p.cluster});
  }
  std::erase_if(pending_, [](const PendingHead& p) { return p.done; });
  context_ = saved;
}

void CProfessionalFatRecovery::SetContext(const Placement& place, uint64_t clusterFirst) {
  context_.valid = true;
  context_.place = place;
  context_.first = clusterFirst;
  context_.span = place.cluster < 2 ? kRootRegionSectors : guesses_[place.guess].sectorsPerCluster;
}

std::optional<CProfessionalFatRecovery::Placement> CProfessionalFatRecovery::PlaceBlock(uint64_t sector,
                                                                                        bool covering,
                                                                                        ByteSpan block) {
  if (context_.valid && sector >= context_.first && sector - context_.first < context_.span) {
    return context_.place;
  }
  for (size_t i = 0; i < guesses_.size(); ++i) {
    const FatVolumeGuess& g = guesses_[i];
    const auto guess = static_cast<uint32_t>(i);
    const uint64_t data = g.DataSector();
    if (sector < data) {
      const uint64_t root = g.ClusterSector(0);
      if (sector < root || (sector != root && !covering)) continue;
      const Placement place{guess, 0, 0};
      SetContext(place, root);
      return place;
    }
    const uint64_t offset = (sector - data) % g.sectorsPerCluster;
    const uint64_t cluster = (sector - data) / g.sectorsPerCluster + 2;
    if ((offset != 0 && !covering) || cluster > UINT32_MAX) continue;
    Placement place{guess, static_cast<uint32_t>(cluster), static_cast<uint32_t>(cluster)};
    // A folder that filled its cluster most likely goes on in the next one: a card is written front to back.
    if (auto open = openEnds_.find(sector - offset); open != openEnds_.end() && open->second.guess == guess) {
      place.folder = open->second.folder;
      openEnds_.erase(open);
    } else if (offset == 0 && !block.empty()) {
      // Or, when file data was written between, in the next free cluster after that data.
      if (const auto folder = TakeLooseContinuation(guess, sector, block)) place.folder = *folder;
    }
    SetContext(place, sector - offset);
    return place;
  }
  return std::nullopt;
}

std::optional<uint32_t> CProfessionalFatRecovery::TakeLooseContinuation(uint32_t guess, uint64_t clusterFirst,
                                                                        ByteSpan block) {
  // Only a cluster that starts with a file or folder entry can be the middle of a folder; its first entry is
  // not older than the last one of the cluster it would continue.
  const DirEntryView first{block.first(std::min<size_t>(block.size(), kDirEntrySize))};
  if (block.size() < kDirEntrySize || first.First() == 0 || first.IsVolumeLabel() || first.IsDotEntry())
    return std::nullopt;
  const uint64_t created = DecodeCreationTime(first.bytes);
  for (auto it = openEnds_.lower_bound(clusterFirst); it != openEnds_.begin();) {
    --it;
    if (it->second.guess != guess) continue;
    if (created != 0 && it->second.lastCreation > created) return std::nullopt;
    const uint32_t folder = it->second.folder;
    openEnds_.erase(it);
    return folder;
  }
  return std::nullopt;
}

void CProfessionalFatRecovery::TakeFolderHead(std::span<const uint8_t> block, uint64_t sector) {
  if (!open_ || !catalogue_) return;
  const ByteSpan b = OneSector(block);
  const uint32_t cluster =
      EntryCluster(DirEntryView{b.first(std::min<size_t>(b.size(), kDirEntrySize))}, true);
  if (cluster < 2) {
    TakeDirectoryBlock(block, sector);
    return;
  }
  uint32_t guess = GuessPlacingHead(cluster, sector);
  if (guess == kNoGuess) guess = InferGuess(cluster, sector);
  if (guess == kNoGuess) {
    context_.valid = false;
    if (pending_.size() < limits_.pendingHeads) {
      pending_.push_back({sector, cluster, false});
    } else {
      ++dropped_.pendingHeads;
    }
    return;
  }
  const Placement place{guess, cluster, cluster};
  SetContext(place, sector);
  // A folder's own first cluster is no continuation of one before it.
  openEnds_.erase(sector);
  ReadPlacedBlock(b, sector, place);
}

void CProfessionalFatRecovery::TakeDirectoryBlock(std::span<const uint8_t> block, uint64_t sector) {
  if (!open_ || !catalogue_) return;
  const ByteSpan b = OneSector(block);
  if (CompleteSplitName(b, sector)) return;
  const auto place = PlaceBlock(sector, false, b);
  if (place) {
    ReadPlacedBlock(b, sector, *place);
  } else if (stored_.size() < limits_.storedBlocks) {
    stored_.push_back(sector);
  } else {
    ++dropped_.storedBlocks;
  }
}

void CProfessionalFatRecovery::ReadPlacedBlock(ByteSpan block, uint64_t sector, const Placement& place) {
  const uint32_t size = sectorSize_;
  ReadEntries(
      block, place, [&](size_t offset) { return sector + offset / size; }, sector);
}

bool CProfessionalFatRecovery::CompleteSplitName(ByteSpan block, uint64_t sector) {
  if (splits_.empty() || block.size() < kDirEntrySize) return false;
  const DirEntryView first{block.first(kDirEntrySize)};
  for (auto it = splits_.begin(); it != splits_.end(); ++it) {
    const FatVolumeGuess& g = guesses_[it->place.guess];
    // The rest of a name lies in the next block of its folder, at most one cluster on.
    if (sector <= it->sector || sector - it->sector > g.sectorsPerCluster) continue;
    bool completes = false;
    if (first.IsLongName()) {
      completes = Le8(first.bytes, 13) == it->checksum;
    } else {
      // A deleted short entry lost the byte its checksum covers.
      completes = first.IsDeleted() || ShortNameChecksum(first.bytes) == it->checksum;
    }
    if (!completes) continue;
    const SplitName split = std::move(*it);
    splits_.erase(it);
    Placement place = split.place;
    uint64_t clusterFirst = g.ClusterSector(0);
    if (sector >= g.DataSector()) {
      const uint64_t cluster = (sector - g.DataSector()) / g.sectorsPerCluster + 2;
      place.cluster = static_cast<uint32_t>(std::min<uint64_t>(cluster, UINT32_MAX));
      clusterFirst = g.ClusterSector(place.cluster);
    } else {
      place.cluster = 0;
    }
    SetContext(place, clusterFirst);
    std::vector<uint8_t> joined(split.tail);
    joined.insert(joined.end(), block.begin(), block.end());
    const size_t tail = split.tail.size();
    const uint32_t size = sectorSize_;
    ReadEntries(
        joined, place,
        [&](size_t offset) { return offset < tail ? split.sector : sector + (offset - tail) / size; },
        sector);
    return true;
  }
  return false;
}

template <typename SectorOf>
void CProfessionalFatRecovery::ReadEntries(ByteSpan data, const Placement& place, SectorOf&& sectorOf,
                                           uint64_t lastSector) {
  const FatVolumeGuess& g = guesses_[place.guess];
  // The block's own names count as siblings too, whichever comes first in it.
  if (siblingPatterns_ >= kMaxSiblingPatterns) {
    siblings_.clear();
    siblingPatterns_ = 0;
  }
  SiblingNames& siblings = siblings_[place.folder];
  WalkDirectoryBlock(data, LongNameOverflow::kStartsOver,
                     [&](DirItem&& item) { siblingPatterns_ += siblings.Note(item.entry) ? 1u : 0u; });
  const DirBlockWalk walk = WalkDirectoryBlock(data, LongNameOverflow::kStartsOver, [&](DirItem&& item) {
    const DirEntryView& e = item.entry;
    if (!e.IsDirectory()) {
      ListFile(e.bytes, std::move(item.longName), place, sectorOf(item.offset), siblings);
      return;
    }
    bool guessed = false;
    const std::string name = item.longName ? *item.longName : GuessedShortName(e, true, siblings, guessed);
    uint32_t cluster = EntryCluster(e, g.fat32);
    if (g.fat32 && e.HighCluster() == 0 && e.IsDeleted())
      cluster = ProbeCluster(e.LowCluster(), true, name, g);
    if (cluster >= 2 && cluster != place.folder) {
      NoteFolder(cluster, {name, DecodeCreationTime(e.bytes), DecodeAccessTime(e.bytes),
                           DecodeModificationTime(e.bytes), sectorOf(item.offset), e.IsDeleted(), guessed});
    }
  });
  if (walk.end == DirBlockEnd::kEndMarker) return;
  if (walk.openLongName) {
    SplitName split;
    split.tail.assign(data.begin() + static_cast<std::ptrdiff_t>(*walk.openLongName), data.end());
    split.checksum = Le8(data, *walk.openLongName + 13);
    split.sector = lastSector;
    split.place = place;
    splits_.push_back(std::move(split));
    if (splits_.size() > kMaxSplitNames) splits_.pop_front();
  }
  if (place.cluster >= 2 && g.ClusterSector(place.cluster) + g.sectorsPerCluster - 1 == lastSector) {
    if (openEnds_.size() < limits_.openEnds || openEnds_.count(lastSector + 1) != 0) {
      const size_t last = data.size() / kDirEntrySize * kDirEntrySize;
      const uint64_t created =
          last >= kDirEntrySize ? DecodeCreationTime(data.subspan(last - kDirEntrySize)) : 0;
      openEnds_[lastSector + 1] = {place.guess, place.folder, created};
    }
  }
}

void CProfessionalFatRecovery::NoteFolder(uint32_t cluster, const FolderEntry& entry) {
  if (auto it = folders_.find(cluster); it != folders_.end()) {
    it->second = entry;  // the later entry for a cluster is the newer one
  } else if (folders_.size() < limits_.folders) {
    folders_.emplace(cluster, entry);
  } else {
    ++dropped_.folders;
  }
}

void CProfessionalFatRecovery::ListFile(ByteSpan entry, std::optional<std::string> longName,
                                        const Placement& place, uint64_t entrySector,
                                        const SiblingNames& siblings) {
  bool guessed = false;
  std::string name = longName ? *longName : GuessedShortName(DirEntryView{entry}, false, siblings, guessed);
  if (name.empty()) return;
  if (filesListed_ >= limits_.files) {
    ++dropped_.files;
    return;
  }
  const std::optional<uint32_t> depth = ResolveFolder(place.folder, place.guess);
  if (!depth) {
    ++dropped_.files;
    return;
  }
  const FatVolumeGuess& g = guesses_[place.guess];
  const DirEntryView e{entry};
  FoundFileRecord r = MakeEntryRecord(SourceOf(g), e, name, entrySector, false);
  uint32_t first = EntryCluster(e, g.fat32);
  if (g.fat32 && e.HighCluster() == 0 && e.IsDeleted())
    first = ProbeCluster(e.LowCluster(), false, r.Name(), g);
  r.entryRef = first;
  if (guessed) r.isDeleted = kDeletedNameGuessed;
  r.isIntact = CheckContent(first, r.Name(), g);
  const uint32_t id = catalogue_->ReserveRecord(r);
  if (id == 0) return;
  catalogue_->AddToFolder(*depth == 0 ? kRootRef : place.folder, *depth, id, first);
  ++filesListed_;
}

// Walks ".." entries from `cluster` up to a root once, and remembers every folder on the way with its parent
// and depth: every later file or folder of the chain is then filed consistently, and the folders are
// registered from the same facts. A chain that loops, names itself or goes deeper than any real tree is cut
// at its last folder, which is then listed at the root as a lost folder.
std::optional<uint32_t> CProfessionalFatRecovery::ResolveFolder(uint32_t cluster, uint32_t guess) {
  if (cluster == 0) return 0;
  if (auto it = refs_.find(cluster); it != refs_.end()) return it->second.depth;
  const FatVolumeGuess g = guesses_[guess];
  std::vector<std::pair<uint32_t, FolderRef>> chain;
  std::unordered_set<uint32_t> onChain;
  std::vector<uint8_t> sector;
  uint32_t base = 0;  // depth of the resolved folder above the chain's top
  for (uint32_t p = cluster;;) {
    if (refs_.size() + chain.size() >= limits_.folderRefs) {
      ++dropped_.folderRefs;
      return std::nullopt;
    }
    FolderRef ref;
    ref.guess = guess;
    if (!ReadSector(g.ClusterSector(p), sector)) {
      ref.parentIsRoot = true;
      chain.emplace_back(p, ref);
      break;
    }
    const ByteSpan s(sector);
    // A directory that starts with the volume label is a root, as is the root cluster unless it starts like
    // any other folder: without a boot sector cluster 2 is only taken for the root.
    if (DirEntryView{s.first(kDirEntrySize)}.IsVolumeLabel() || (p == rootCluster_ && !StartsWithDots(s))) {
      FolderRef root;
      root.guess = guess;
      root.isRoot = true;
      refs_.emplace(p, root);
      if (chain.empty()) return 0;
      chain.back().second.parentIsRoot = true;
      break;
    }
    if (!StartsWithDots(s)) {
      ref.parentIsRoot = true;
      chain.emplace_back(p, ref);
      break;
    }
    const uint32_t parent = EntryCluster(DirEntryView{s.subspan(kDirEntrySize, kDirEntrySize)}, g.fat32);
    chain.emplace_back(p, ref);
    onChain.insert(p);
    FolderRef& cur = chain.back().second;
    if (parent == 0) {
      cur.parentIsRoot = true;
      break;
    }
    if (onChain.count(parent) != 0 || chain.size() >= kMaxDepth) {
      cur.parentIsRoot = true;
      cur.lost = true;
      break;
    }
    cur.parent = parent;
    if (auto it = refs_.find(parent); it != refs_.end()) {
      if (it->second.isRoot) {
        cur.parentIsRoot = true;
      } else {
        base = it->second.depth;
      }
      break;
    }
    p = parent;
  }
  uint32_t depth = base + static_cast<uint32_t>(chain.size());
  for (auto& [folder, ref] : chain) {
    ref.depth = depth--;
    refs_.emplace(folder, ref);
    refOrder_.push_back(folder);
  }
  return refs_.at(cluster).depth;
}

uint32_t CProfessionalFatRecovery::ProbeCluster(uint32_t low, bool isFolder, std::string_view name,
                                                const FatVolumeGuess& g) {
  const ClusterSectorRead read = [&](uint32_t cluster,
                                     std::vector<uint8_t>& sector) -> std::optional<uint64_t> {
    const uint64_t at = g.ClusterSector(cluster);
    if (at >= volumeStart_ + volumeSectors_ || probeReads_ >= limits_.probeReads) return std::nullopt;
    ++probeReads_;
    if (!ReadSector(at, sector)) sector.clear();
    return at;
  };
  return ProbeFirstCluster(low, isFolder, name, read, reader_, sectorSize_);
}

uint32_t CProfessionalFatRecovery::CheckContent(uint32_t cluster, std::string_view name,
                                                const FatVolumeGuess& g) const {
  const ClusterSectorRead read = [&](uint32_t c, std::vector<uint8_t>& sector) -> std::optional<uint64_t> {
    const uint64_t at = g.ClusterSector(c);
    if (at >= volumeStart_ + volumeSectors_) return std::nullopt;
    if (!ReadSector(at, sector)) sector.clear();
    return at;
  };
  return ContentCheck(cluster, name, read, reader_, sectorSize_);
}

FatRecordSource CProfessionalFatRecovery::SourceOf(const FatVolumeGuess& g) const {
  return {driveLetter_, SourceKind::kFatDeep, g.sectorsPerCluster * sectorSize_, g.dataStart, g.volumeStart};
}

// The blocks no guess placed during the pass, read again in sector order now that every guess is known.
// Consecutive sectors are read together.
void CProfessionalFatRecovery::ReadStoredBlocks() {
  std::ranges::sort(stored_);
  stored_.erase(std::unique(stored_.begin(), stored_.end()), stored_.end());
  context_ = {};
  const uint32_t perRead = kReadPieceBytes / sectorSize_;
  std::vector<uint8_t> buffer(kReadPieceBytes);
  for (size_t i = 0; i < stored_.size();) {
    size_t run = 1;
    while (i + run < stored_.size() && run < perRead && stored_[i + run] == stored_[i] + run) ++run;
    uint32_t got = 0;
    reader_.ReadSectors(buffer, static_cast<int32_t>(run), stored_[i], sectorSize_, &got);
    for (size_t k = 0; k < got; ++k) {
      const uint64_t sector = stored_[i + k];
      const ByteSpan block(buffer.data() + k * sectorSize_, sectorSize_);
      if (CompleteSplitName(block, sector)) continue;
      if (const auto place = PlaceBlock(sector, true, block)) ReadPlacedBlock(block, sector, *place);
    }
    i += run;
  }
  stored_.clear();
  stored_.shrink_to_fit();
}

void CProfessionalFatRecovery::RegisterFolders() {
  for (uint32_t cluster : refOrder_) {
    const FolderRef& ref = refs_.at(cluster);
    if (ref.isRoot || registered_.count(cluster) != 0) continue;
    const FatVolumeGuess& g = guesses_[ref.guess];
    FoundFileRecord r = MakeVolumeRecord(SourceOf(g));
    r.isFolder = 1;
    r.entryRef = cluster;
    r.entryLocation = g.ClusterSector(cluster);
    std::string name = "LostFolder" + std::to_string(cluster);
    const auto entry = folders_.find(cluster);
    if (!ref.lost && entry != folders_.end()) {
      name = entry->second.name;
      r.creationTime = entry->second.creationTime;
      r.accessTime = entry->second.accessTime;
      r.writeTime = entry->second.writeTime;
      r.entryLocation = entry->second.entrySector;
      r.isDeleted = (entry->second.deleted ? 1 : 0) | (entry->second.nameGuessed ? kDeletedNameGuessed : 0);
    }
    r.SetName(name);
    const uint32_t id = catalogue_->ReserveRecord(r);
    if (id == 0) return;
    if (ref.parentIsRoot) {
      catalogue_->AddToFolder(kRootRef, 0, id, cluster, r.Name());
    } else {
      catalogue_->AddToFolder(ref.parent, ref.depth - 1, id, cluster, r.Name());
    }
  }
}

int32_t CProfessionalFatRecovery::FinishPass() {
  if (!catalogue_) return static_cast<int32_t>(err::kInvalidParameter);
  ReadStoredBlocks();
  RegisterFolders();
  // What remains is of no use once the folders are registered; the guesses stay for inspection.
  heads_.clear();
  pending_ = {};
  folders_ = {};
  refs_ = {};
  refOrder_ = {};
  openEnds_ = {};
  splits_.clear();
  siblings_ = {};
  siblingPatterns_ = 0;
  context_ = {};
  return static_cast<int32_t>(catalogue_->Flush());
}

// No table says where a file goes on: its clusters are taken in plain succession, which holds for the
// contiguous files a card mostly holds. Reading stops where the medium ends, so nothing larger than the
// medium comes out.
int32_t CProfessionalFatRecovery::ReadData(const FoundFileRecord& record, uint64_t total,
                                           const PieceSink& sink) {
  if (!open_) return static_cast<int32_t>(err::kInvalidParameter);
  if (record.clusterSize > kMaxRecoveryClusterBytes) return static_cast<int32_t>(err::kWriteFault);
  const uint64_t sectorsPerCluster = record.clusterSize / sectorSize_;
  if (sectorsPerCluster == 0) return static_cast<int32_t>(err::kInvalidParameter);
  // Records come from this engine's own catalogue, but a damaged one must not wrap the arithmetic.
  if (record.volumeStartSector > UINT64_MAX / 2 || record.dataStartSector > UINT64_MAX / 4) {
    return static_cast<int32_t>(err::kInvalidParameter);
  }
  const uint64_t data = record.volumeStartSector + record.dataStartSector;
  uint64_t at = record.entryRef >= 2 ? data + uint64_t{record.entryRef - 2} * sectorsPerCluster
                                     : (data > kRootRegionSectors ? data - kRootRegionSectors : 0);
  std::vector<uint8_t> buffer(kReadPieceBytes);
  const uint32_t perRead = kReadPieceBytes / sectorSize_;
  uint64_t delivered = 0;
  while (delivered < total) {
    const uint64_t owed = (total - delivered + sectorSize_ - 1) / sectorSize_;
    const auto count = static_cast<int32_t>(std::min<uint64_t>(perRead, owed));
    uint32_t got = 0;
    reader_.ReadSectors(buffer, count, at, sectorSize_, &got);
    if (got == 0) return static_cast<int32_t>(err::kReadFault);
    const auto piece =
        static_cast<size_t>(std::min<uint64_t>(uint64_t{got} * sectorSize_, total - delivered));
    if (int32_t r = sink(std::span<const uint8_t>(buffer.data(), piece)); r != 0) return r;
    delivered += piece;
    at += got;
  }
  return 0;
}

}  // namespace snapsave
