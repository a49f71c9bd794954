#include "fs/ext/ext_quick_engine.h"

#include <algorithm>
#include <set>
#include <string>

#include "catalog/recovery_output.h"
#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "os/clock.h"
#include "os/error.h"
#include "os/text.h"

namespace snapsave {

namespace {

// Descriptor tables beyond this (a million groups of 64 bytes, 128 TiB of 4 KiB blocks) are not read.
constexpr uint64_t kMaxDescriptorBytes = uint64_t{64} << 20;
// Folders larger than this are read to here; journals larger than this are indexed to here.
constexpr uint64_t kMaxFolderBytes = uint64_t{64} << 20;
constexpr uint64_t kMaxJournalBlocks = uint64_t{1} << 20;
constexpr size_t kMaxCopiesPerBlock = 64;
// The folder of the files no name led to; its key is no inode's.
constexpr uint32_t kLostFoldersKey = UINT32_MAX;
constexpr size_t kMaxNamelessFiles = 100000;

}  // namespace

namespace {

// `bytes.size()` bytes from byte `offset` of the volume, whatever the sector size; false when not all read.
bool ReadVolumeBytes(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                     uint32_t sectorSize, uint64_t offset, std::span<uint8_t> bytes) {
  const uint64_t first = offset / sectorSize;
  const uint64_t skip = offset % sectorSize;
  const uint64_t count = (skip + bytes.size() + sectorSize - 1) / sectorSize;
  if (first >= volumeSectors || count > volumeSectors - first) return false;
  std::vector<uint8_t> sectors(count * sectorSize);
  uint32_t got = 0;
  reader.ReadSectors(sectors, static_cast<int32_t>(count), volumeStart + first, sectorSize, &got);
  if (got != count) return false;
  std::copy_n(sectors.begin() + static_cast<ptrdiff_t>(skip), bytes.size(), bytes.begin());
  return true;
}

// Reads `sectors` sectors from `first` into `into` one by one; a sector that cannot be read is taken from
// the same place in the copy from `copy`. False when a sector is in neither.
bool ReadWithCopy(const SectorReader& reader, uint64_t first, std::optional<uint64_t> copy, uint64_t sectors,
                  uint32_t sectorSize, std::span<uint8_t> into) {
  // Sector by sector, so only what fails comes from the copy.
  for (uint64_t i = 0; i < sectors; ++i) {
    const auto sector = into.subspan(static_cast<size_t>(i * sectorSize), sectorSize);
    uint32_t one = 0;
    reader.ReadSectors(sector, 1, first + i, sectorSize, &one);
    if (one == 1) continue;
    if (!copy) return false;
    reader.ReadSectors(sector, 1, *copy + i, sectorSize, &one);
    if (one != 1) return false;
  }
  return true;
}

}  // namespace

std::optional<ExtGeometry> ReadExtSuperblock(const SectorReader& reader, uint64_t volumeStart,
                                             uint64_t volumeSectors, uint32_t sectorSize, bool copyOnly) {
  if (sectorSize == 0 || sectorSize > 4096 || 4096 % sectorSize != 0) return std::nullopt;
  std::vector<uint8_t> superblock(1024);
  if (!copyOnly && ReadVolumeBytes(reader, volumeStart, volumeSectors, sectorSize, 1024, superblock)) {
    if (auto g = ParseExtSuperblock(superblock)) return g;
  }
  for (const uint64_t offset : ExtGroupOneCopyOffsets()) {
    if (!ReadVolumeBytes(reader, volumeStart, volumeSectors, sectorSize, offset, superblock)) continue;
    if (auto g = ParseExtSuperblockCopy(superblock, offset)) return g;
  }
  return std::nullopt;
}

uint32_t CFastExtRecovery::OpenVolume() {
  geometry_.reset();
  groups_.clear();
  // The volume is recognised either way; without a geometry it lists nothing and is carved whole.
  auto geometry = ReadExtSuperblock(reader_, volumeStart_, volumeSectors_, sectorSize_);
  // Blocks smaller than a sector, and descriptor tables spread over the volume (meta_bg), give no map.
  if (!geometry || geometry->blockSize < sectorSize_ || (geometry->featureIncompat & kExtIncompatMetaBg) != 0)
    return err::kSuccess;
  const uint64_t tableBytes = uint64_t{geometry->groupCount} * geometry->descriptorSize;
  if (tableBytes > kMaxDescriptorBytes) return err::kSuccess;
  const uint64_t sectorsPerBlock = geometry->blockSize / sectorSize_;
  const uint64_t first = geometry->DescriptorTableBlock() * sectorsPerBlock;
  const uint64_t sectors = (tableBytes + sectorSize_ - 1) / sectorSize_;
  if (first + sectors > volumeSectors_) return err::kSuccess;
  std::vector<uint8_t> table(sectors * sectorSize_);
  uint32_t got = 0;
  reader_.ReadSectors(table, static_cast<int32_t>(sectors), volumeStart_ + first, sectorSize_, &got);
  if (got != sectors) {
    // The copy of the table follows the copy of the superblock in group 1, where there is one.
    std::optional<uint64_t> copy;
    const uint64_t groupOne = uint64_t{geometry->firstDataBlock} + geometry->blocksPerGroup;
    std::vector<uint8_t> superblock(1024);
    if (geometry->groupCount > 1 && (groupOne + 1) * sectorsPerBlock + sectors <= volumeSectors_ &&
        ReadVolumeBytes(reader_, volumeStart_, volumeSectors_, sectorSize_, groupOne * geometry->blockSize,
                        superblock) &&
        ParseExtSuperblockCopy(superblock, groupOne * geometry->blockSize))
      copy = volumeStart_ + (groupOne + 1) * sectorsPerBlock;
    if (!ReadWithCopy(reader_, volumeStart_ + first + got, copy ? std::optional(*copy + got) : std::nullopt,
                      sectors - got, sectorSize_, std::span(table).subspan(size_t{got} * sectorSize_)))
      return err::kSuccess;
  }
  groups_ = ParseExtGroupDescriptors(table, *geometry);
  if (groups_.size() == geometry->groupCount) geometry_ = geometry;
  return err::kSuccess;
}

bool CFastExtRecovery::ReadBlock(uint64_t block, std::span<uint8_t> into) {
  const ExtGeometry& g = *geometry_;
  const uint64_t sectorsPerBlock = g.blockSize / sectorSize_;
  if (into.size() < g.blockSize || block >= g.blocksCount || block >= volumeSectors_ / sectorsPerBlock)
    return false;
  uint32_t got = 0;
  reader_.ReadSectors(into.first(g.blockSize), static_cast<int32_t>(sectorsPerBlock),
                      volumeStart_ + block * sectorsPerBlock, sectorSize_, &got);
  return got == sectorsPerBlock;
}

int32_t CFastExtRecovery::BuildAllocationMap() {
  bitmapGroup_ = UINT64_MAX;
  return geometry_ ? 0 : 1;
}

bool CFastExtRecovery::BlockInUse(uint64_t block) {
  const ExtGeometry& g = *geometry_;
  if (block < g.firstDataBlock) return true;  // the boot block of a 1 KiB-block volume
  const uint64_t group = (block - g.firstDataBlock) / g.blocksPerGroup;
  if (group >= groups_.size()) return true;
  if (group != bitmapGroup_) {
    bitmapGroup_ = group;
    bitmap_.assign(g.blockSize, 0);
    const ExtGroupDescriptor& d = groups_[group];
    const bool uninitialised = g.GroupFlagsValid() && (d.flags & kExtGroupBlockUninit) != 0;
    if (uninitialised || !ReadBlock(d.blockBitmap, bitmap_)) bitmap_.clear();
  }
  if (bitmap_.empty()) return false;
  const uint64_t bit = (block - g.firstDataBlock) % g.blocksPerGroup;
  return ((bitmap_[bit / 8] >> (bit % 8)) & 1) != 0;
}

int32_t CFastExtRecovery::NextUnallocatedRun(uint64_t& sector, uint64_t& length) {
  length = 0;
  if (!geometry_) return 0;
  const ExtGeometry& g = *geometry_;
  NextFreeClusterRun(sector, length, 0, g.blockSize / sectorSize_, g.blocksCount, volumeSectors_,
                     [&](uint64_t block) { return BlockInUse(block); });
  return 1;
}

std::optional<std::pair<uint64_t, uint32_t>> CFastExtRecovery::InodePlace(uint32_t number) const {
  const ExtGeometry& g = *geometry_;
  if (number == 0 || number > g.inodesCount) return std::nullopt;
  const uint64_t group = (number - 1) / g.inodesPerGroup;
  if (group >= groups_.size()) return std::nullopt;
  const uint64_t offset = uint64_t{(number - 1) % g.inodesPerGroup} * g.inodeSize;
  return std::make_pair(groups_[group].inodeTable + offset / g.blockSize,
                        static_cast<uint32_t>(offset % g.blockSize));
}

std::optional<ExtInode> CFastExtRecovery::InodeIn(uint64_t block, uint32_t number, bool* checksumOk) {
  const auto place = InodePlace(number);
  if (!place) return std::nullopt;
  const ExtGeometry& g = *geometry_;
  std::vector<uint8_t> data(g.blockSize);
  if (!ReadBlock(block, data)) return std::nullopt;
  // A journal copy whose first word was the journal's magic holds zeros there; an inode's mode never is.
  const auto bytes = std::span<const uint8_t>(data).subspan(place->second);
  if (checksumOk != nullptr)
    *checksumOk = !g.MetadataChecksums() || ExtInodeChecksumOk(bytes, g.inodeSize, number, g.checksumSeed);
  return ParseExtInode(bytes, g.inodeSize);
}

std::vector<ExtRun> CFastExtRecovery::RunsOf(const ExtInode& inode, uint32_t asOf) {
  const ExtGeometry& g = *geometry_;
  ExtMapLimits limits;
  limits.blocksCount = g.blocksCount;
  limits.fileBlocks = (inode.size + g.blockSize - 1) / g.blockSize;
  return MapExtInode(inode, g.blockSize, limits, [this, asOf](uint64_t block, std::span<uint8_t> into) {
    return ReadBlockAsOf(block, asOf, into);
  });
}

bool CFastExtRecovery::ReadBlockAsOf(uint64_t block, uint32_t asOf, std::span<uint8_t> into) {
  if (asOf != UINT32_MAX) {
    if (const auto copies = journal_.find(block); copies != journal_.end()) {
      for (const JournalCopy& c : copies->second)
        if (c.sequence <= asOf) return ReadBlock(c.block, into);
    }
  }
  return ReadBlock(block, into);
}

void CFastExtRecovery::IndexJournal() {
  journal_.clear();
  copySequence_.clear();
  const ExtGeometry& g = *geometry_;
  if (g.journalInode == 0) return;
  const auto place = InodePlace(g.journalInode);
  if (!place) return;
  const auto inode = InodeIn(place->first, g.journalInode);
  if (!inode) return;
  const std::vector<ExtRun> runs = RunsOf(*inode);
  // Journal block n as a file-system block.
  auto physical = [&](uint64_t n) -> std::optional<uint64_t> {
    const auto it = std::upper_bound(runs.begin(), runs.end(), n,
                                     [](uint64_t v, const ExtRun& r) { return v < r.logical; });
    if (it == runs.begin()) return std::nullopt;
    const ExtRun& r = *std::prev(it);
    return n < r.logical + r.count ? std::optional<uint64_t>(r.physical + n - r.logical) : std::nullopt;
  };
  std::vector<uint8_t> block(g.blockSize);
  const auto zero = physical(0);
  if (!zero || !ReadBlock(*zero, block)) return;
  const auto journal = ParseJournalSuperblock(block);
  if (!journal || journal->blockSize != g.blockSize) return;
  const uint64_t length = std::min<uint64_t>(journal->maxLength, kMaxJournalBlocks);
  const uint64_t logBlocks = length - journal->first;
  // Every descriptor in the log, old transactions too: they hold the copies a deletion has not touched.
  for (uint64_t n = journal->first; n < length; ++n) {
    const auto at = physical(n);
    if (!at || !ReadBlock(*at, block)) continue;
    const auto header = ParseJournalHeader(block);
    if (!header || header->type != 1) continue;
    const std::vector<JournalTag> tags = ParseJournalDescriptor(block, *journal);
    for (size_t k = 0; k < tags.size(); ++k) {
      const uint64_t copy = journal->first + (n + 1 + k - journal->first) % logBlocks;
      const auto copyAt = physical(copy);
      if (!copyAt || tags[k].block >= g.blocksCount) continue;
      std::vector<JournalCopy>& copies = journal_[tags[k].block];
      if (copies.size() < kMaxCopiesPerBlock) copies.push_back({*copyAt, header->sequence, tags[k].escaped});
      copySequence_[*copyAt] = header->sequence;
    }
  }
  for (auto& [fsBlock, copies] : journal_) {
    // Newest first; sequence numbers wrap, which a scan of one journal does not see in practice.
    std::sort(copies.begin(), copies.end(),
              [](const JournalCopy& a, const JournalCopy& b) { return a.sequence > b.sequence; });
  }
}

std::optional<CFastExtRecovery::FoundInode> CFastExtRecovery::DeletedInode(uint32_t number, bool folder,
                                                                           uint32_t before) {
  const auto place = InodePlace(number);
  if (!place) return std::nullopt;
  // The inode found in `block` (as of transaction `asOf`), with its runs, when it still says where its bytes
  // are.
  auto withData = [&](const ExtInode& n, uint64_t block, uint32_t asOf) -> std::optional<FoundInode> {
    if (!(folder ? n.IsDirectory() : n.IsRegular())) return std::nullopt;
    FoundInode found{n, block, asOf, {}};
    if (n.IsInline()) return n.inlineData.empty() ? std::nullopt : std::optional<FoundInode>(found);
    found.runs = RunsOf(n, asOf);
    if (found.runs.empty()) return std::nullopt;
    return found;
  };
  const auto current = InodeIn(place->first, number);
  const bool reused = current && current->links != 0 && current->deleteTime == 0;
  // An old kernel's ext2 deletion keeps the block map, and a deleted inline file keeps its bytes: the inode
  // as it is gives the file back.
  if (current && !reused && current->deleteTime != 0)
    if (auto found = withData(*current, place->first, UINT32_MAX)) return found;
  const auto copies = journal_.find(place->first);
  if (copies == journal_.end()) return std::nullopt;
  std::optional<FoundInode> newest;
  for (const JournalCopy& copy : copies->second) {
    if (copy.sequence >= before) continue;
    // A copy that fails its checksum (torn, or crafted) is passed over for an older one.
    bool checksumOk = true;
    const auto old = InodeIn(copy.block, number, &checksumOk);
    if (!old || !checksumOk || old->links == 0 || old->deleteTime != 0) continue;
    auto found = withData(*old, copy.block, copy.sequence);
    if (!found) continue;
    // The newest copy whose blocks no file has taken since (an older version of a rewritten file may be
    // whole where the last one is not); else the newest, which is listed as damaged.
    if (folder || !AnyBlockInUse(found->runs)) return found;
    if (!newest) newest = std::move(found);
  }
  return newest;
}

bool CFastExtRecovery::AnyBlockInUse(const std::vector<ExtRun>& runs) {
  return std::any_of(runs.begin(), runs.end(), [&](const ExtRun& piece) {
    for (uint64_t b = 0; b < piece.count; ++b)
      if (BlockInUse(piece.physical + b)) return true;
    return false;
  });
}

FoundFileRecord CFastExtRecovery::MakeRecord(const ExtDirEntry& entry, const FoundInode& found,
                                             bool deleted) {
  const ExtGeometry& g = *geometry_;
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = driveLetter_;
  r.sourceKind = static_cast<uint32_t>(SourceKind::kExtQuick);
  r.isFolder = found.inode.IsDirectory() ? 1 : 0;
  r.isDeleted = deleted ? 1 : 0;
  r.isIntact = 1;
  r.entryRef = entry.inode;
  r.clusterSize = g.blockSize;
  r.creationTime = ExtTimeToFileTime(found.inode.createTime);
  r.writeTime = ExtTimeToFileTime(found.inode.writeTime);
  r.accessTime = ExtTimeToFileTime(found.inode.accessTime);
  r.fileSize = r.isFolder != 0 ? 0 : found.inode.size;
  r.entryLocation = found.block;
  r.volumeStartSector = volumeStart_;
  r.SetName(entry.name);
  return r;
}

int32_t CFastExtRecovery::Scan(std::string_view logName) {
  if (!open_) return static_cast<int32_t>(err::kInvalidParameter);
  if (!logName.empty()) {
    // A saved scan read back: its records name journal copies, whose transactions recovery needs.
    if (geometry_) IndexJournal();
    return static_cast<int32_t>(OpenCatalogue(logName, log_prefix::kFast));
  }
  if (uint32_t e = OpenCatalogue({}, log_prefix::kFast); e != err::kSuccess) return static_cast<int32_t>(e);
  walk_.Clear();
  lostFolders_.clear();
  named_.clear();
  int32_t result = Report(1, -1);
  if (!geometry_) return CloseScan(result);

  IndexJournal();
  const auto place = InodePlace(kExtRootInode);
  const auto root = place ? InodeIn(place->first, kExtRootInode) : std::nullopt;
  if (root && root->IsDirectory()) {
    PendingFolder folder;
    folder.found = {*root, place->first, UINT32_MAX, {}};
    folder.inode = kExtRootInode;
    walk_.Start(kExtRootInode, folder);
  }
  if (result == 0) {
    result = walk_.Run([this](const PendingFolder& folder) { ReadFolder(folder); },
                       [this] { return ReportDue() ? Report(std::min(lastProgress_ + 1, 79), -1) : 0; });
  }
  if (result == 0) {
    result = Report(80, 10);
    ListNamelessInodes();
    for (const std::vector<PendingFolder>* list :
         {&walk_.Walked(), static_cast<const std::vector<PendingFolder>*>(&lostFolders_)}) {
      for (const PendingFolder& f : *list) {
        FoundFileRecord r = f.record;
        catalogue_->ReserveRecord(r);
        catalogue_->AddToFolder(f.parent, f.depth - 1, r.recordId, f.inode, r.Name());
      }
    }
    if (result == 0) result = Report(100, 0);
  }
  return CloseScan(result);
}

void CFastExtRecovery::ReadFolder(const PendingFolder& folder) {
  const ExtGeometry& g = *geometry_;
  ExtInode bounded = folder.found.inode;
  bounded.size = std::min<uint64_t>(bounded.size, kMaxFolderBytes);
  std::vector<uint8_t> block(g.blockSize);
  // Every entry of the folder's blocks first: a hashed folder moves entries between blocks as it grows, so an
  // entry is gone only when no block of the folder holds it.
  std::vector<ExtDirEntry> entries;
  enum class Held { kEntries, kIndexRoot, kInode };
  std::vector<std::pair<uint64_t, Held>> blocks;  // the folder's blocks, and what each holds
  if (bounded.IsInline()) entries = ParseExtInlineDir(bounded, g.inodesCount);
  for (const ExtRun& run : RunsOf(bounded, folder.found.asOf)) {
    for (uint64_t i = 0; i < run.count; ++i) {
      const bool indexRoot = (bounded.flags & kExtIndexFlag) != 0 && run.logical + i == 0;
      blocks.emplace_back(run.physical + i, indexRoot ? Held::kIndexRoot : Held::kEntries);
      if (!ReadBlock(run.physical + i, block)) continue;
      for (ExtDirEntry& e : ParseExtDirBlock(block, g.inodesCount, indexRoot))
        entries.push_back(std::move(e));
    }
  }
  // Names the folder has lost (a deletion may clear the entry whole) are in the journal's earlier copies of
  // its blocks: an entry there that no block holds now was deleted since. Its inode is looked for in copies
  // older than the first copy of the block without the name: a later one may be a new file's.
  // A slack entry that a block of the folder holds live was moved there when a hashed folder split, not
  // deleted; one seen twice is listed once.
  std::set<std::pair<uint32_t, std::string>> known;
  for (const ExtDirEntry& e : entries)
    if (!e.deleted) known.emplace(e.inode, e.name);
  std::erase_if(entries,
                [&](const ExtDirEntry& e) { return e.deleted && !known.emplace(e.inode, e.name).second; });
  std::vector<uint32_t> before(entries.size(), UINT32_MAX);
  std::vector<uint8_t> copy(g.blockSize);
  // An inline folder's entries are in its inode: the journal's copies of the inode's block hold the earlier
  // ones (of a folder that has grown out of its inode since, too).
  const auto own = InodePlace(folder.inode);
  if (own) blocks.emplace_back(own->first, Held::kInode);
  for (const auto& [at, held] : blocks) {
    const auto copies = journal_.find(at);
    if (copies == journal_.end()) continue;
    uint32_t newer = UINT32_MAX;  // the sequence of the copy read before, newer than this one
    for (const JournalCopy& c : copies->second) {
      std::vector<ExtDirEntry> found;
      if (held == Held::kInode) {
        if (const auto old = InodeIn(c.block, folder.inode); old && old->IsInline())
          found = ParseExtInlineDir(*old, g.inodesCount);
      } else if (ReadBlock(c.block, copy)) {
        found = ParseExtDirBlock(copy, g.inodesCount, held == Held::kIndexRoot);
      }
      for (ExtDirEntry& e : found) {
        if (!known.emplace(e.inode, e.name).second) continue;
        e.deleted = true;
        entries.push_back(std::move(e));
        before.push_back(newer);
      }
      newer = c.sequence;
    }
  }
  for (size_t k = 0; k < entries.size(); ++k) {
    const ExtDirEntry& entry = entries[k];
    named_.insert(entry.inode);
    // Inside a deleted folder every entry is a deleted file: its inode was freed with the folder.
    const bool deleted = entry.deleted || folder.deleted;
    const bool isFolder = entry.fileType == 2;
    std::optional<FoundInode> found;
    if (!deleted) {
      if (!isFolder && entry.fileType != 0 && entry.fileType != 1) continue;
      const auto place = InodePlace(entry.inode);
      const auto inode = place ? InodeIn(place->first, entry.inode) : std::nullopt;
      if (!inode || !(isFolder ? inode->IsDirectory() : inode->IsRegular())) continue;
      found = FoundInode{*inode, place->first, UINT32_MAX, {}};
      if (!isFolder) {
        FoundFileRecord r = MakeRecord(entry, *found, false);
        FillExisting(r, *found);
        catalogue_->ReserveRecord(r);
        catalogue_->AddToFolder(folder.inode, folder.depth, r.recordId, r.entryRef);
        continue;
      }
    } else if (entry.fileType == 0 || entry.fileType == 1 || entry.fileType == 2) {
      found = DeletedInode(entry.inode, isFolder, before[k]);
    }
    if (!found) continue;
    FoundFileRecord r = MakeRecord(entry, *found, deleted);
    if (isFolder) {
      walk_.Push(entry.inode, {r, *found, entry.inode, folder.inode, folder.depth + 1, deleted});
      continue;
    }
    FillData(r, *found);
    catalogue_->ReserveRecord(r);
    catalogue_->AddToFolder(folder.inode, folder.depth, r.recordId, r.entryRef);
  }
}

uint64_t CFastExtRecovery::RecoverableBytes(const ExtInode& inode, const std::vector<ExtRun>& runs) const {
  // A crafted size must not make recovery write zeros without end: what follows the last mapped block is not
  // written, and nothing longer than the volume.
  const uint64_t mapped = runs.empty() ? 0 : (runs.back().logical + runs.back().count) * geometry_->blockSize;
  return std::min({inode.size, mapped, volumeSectors_ * sectorSize_});
}

void CFastExtRecovery::FillData(FoundFileRecord& r, const FoundInode& found) {
  const uint64_t sectorsPerBlock = geometry_->blockSize / sectorSize_;
  if (found.inode.IsInline()) {
    // The bytes are in the inode: its block stands for where the file is.
    r.fileSize = std::min<uint64_t>(found.inode.size, found.inode.inlineData.size());
    r.dataStartSector = found.block * sectorsPerBlock;
    return;
  }
  r.fileSize = RecoverableBytes(found.inode, found.runs);
  r.dataStartSector = found.runs.front().physical * sectorsPerBlock;
  MarkIntegrity(r, found.runs);
}

void CFastExtRecovery::FillExisting(FoundFileRecord& r, FoundInode& found) {
  // Whole by its own metadata: its blocks are in use because they are its own.
  r.isDeleted = kExistingFile;
  if (found.inode.IsInline()) {
    FillData(r, found);
    return;
  }
  found.runs = RunsOf(found.inode, UINT32_MAX);
  if (found.runs.empty()) {
    // An empty file; or one whose map cannot be read, which is damaged.
    r.fileSize = 0;
    if (found.inode.size != 0) r.isIntact = 0;
    return;
  }
  r.fileSize = RecoverableBytes(found.inode, found.runs);
  r.dataStartSector = found.runs.front().physical * (geometry_->blockSize / sectorSize_);
}

void CFastExtRecovery::MarkIntegrity(FoundFileRecord& r, const std::vector<ExtRun>& runs) {
  // Blocks another file took since are not this file's any more; a first block of another type neither.
  std::vector<uint8_t> first(geometry_->blockSize);
  if (AnyBlockInUse(runs)) {
    r.isIntact = 0;
  } else if (ReadBlock(runs.front().physical, first)) {
    r.isIntact = VerifyExtension(first, os::ExtensionOf(r.Name()), &reader_, sectorSize_,
                                 volumeStart_ + r.dataStartSector)
                     ? 1
                     : 0;
  }
}

void CFastExtRecovery::ListNamelessInodes() {
  const ExtGeometry& g = *geometry_;
  const uint64_t perBlock = g.blockSize / g.inodeSize;
  const uint64_t tableBlocks = (uint64_t{g.inodesPerGroup} + perBlock - 1) / perBlock;
  // Inode tables by their first block, to tell which journalled blocks hold inodes.
  std::vector<std::pair<uint64_t, uint32_t>> tables;
  for (uint32_t group = 0; group < groups_.size(); ++group)
    tables.emplace_back(groups_[group].inodeTable, group);
  std::sort(tables.begin(), tables.end());
  std::vector<std::pair<uint64_t, uint32_t>> blocks;  // journalled inode-table blocks, in block order
  for (const auto& [block, copies] : journal_) {
    auto it = std::upper_bound(tables.begin(), tables.end(), std::make_pair(block, UINT32_MAX));
    if (it == tables.begin()) continue;
    --it;
    if (block - it->first < tableBlocks) blocks.emplace_back(block, it->second);
  }
  std::sort(blocks.begin(), blocks.end());
  std::vector<uint8_t> first(g.blockSize);
  CarvingContext context;
  size_t listed = 0;
  bool folderMade = false;
  for (const auto& [block, group] : blocks) {
    const uint64_t firstInTable = (block - groups_[group].inodeTable) * perBlock;
    for (uint64_t slot = 0; slot < perBlock && listed < kMaxNamelessFiles; ++slot) {
      const uint64_t index = firstInTable + slot;
      if (index >= g.inodesPerGroup) break;
      const uint64_t number = uint64_t{group} * g.inodesPerGroup + index + 1;
      if (number < g.firstInode || number > g.inodesCount) continue;
      const auto n = static_cast<uint32_t>(number);
      if (named_.count(n) != 0) continue;
      // A file alive now is no lost one; one alive in a journal copy is, if that copy still maps blocks.
      if (const auto current = InodeIn(block, n);
          !current || (current->links != 0 && current->deleteTime == 0))
        continue;
      const auto found = DeletedInode(n, false, UINT32_MAX);
      if (!found) continue;
      std::string name = std::to_string(n);
      FoundFileRecord r = MakeRecord({n, 1, name, true}, *found, true);
      FillData(r, *found);
      std::fill(first.begin(), first.end(), uint8_t{0});
      const std::vector<uint8_t>& inlined = found->inode.inlineData;
      std::copy_n(inlined.begin(), std::min(inlined.size(), first.size()), first.begin());
      if (found->inode.IsInline() || ReadBlock(r.dataStartSector / (g.blockSize / sectorSize_), first)) {
        context.Begin(&reader_, sectorSize_, volumeStart_ + r.dataStartSector);
        if (const CarvingTypeRow* row = FirstRowWithCode(DetectType(context, first)); row != nullptr)
          r.SetName(name + "." + std::string(row->extension));
      }
      if (!folderMade) {
        FoundFileRecord lost = MakeEmptyRecord();
        lost.driveLetter = driveLetter_;
        lost.sourceKind = static_cast<uint32_t>(SourceKind::kExtQuick);
        lost.isFolder = 1;
        lost.isDeleted = 1;
        lost.isIntact = 1;
        lost.entryRef = kLostFoldersKey;
        lost.clusterSize = g.blockSize;
        lost.volumeStartSector = volumeStart_;
        lost.SetName("LostFolders");
        PendingFolder folder;
        folder.record = lost;
        folder.inode = kLostFoldersKey;
        folder.parent = kExtRootInode;
        folder.depth = 1;
        folder.deleted = true;
        lostFolders_.push_back(folder);
        folderMade = true;
      }
      catalogue_->ReserveRecord(r);
      catalogue_->AddToFolder(kLostFoldersKey, 1, r.recordId, r.entryRef);
      ++listed;
    }
  }
}

int32_t CFastExtRecovery::ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) {
  if (!geometry_) return static_cast<int32_t>(err::kInvalidParameter);
  const ExtGeometry& g = *geometry_;
  const auto inode = InodeIn(record.entryLocation, record.entryRef);
  if (!inode) return static_cast<int32_t>(err::kReadFault);
  if (inode->IsInline()) {
    const ByteSpan bytes(inode->inlineData);
    return sink(bytes.first(static_cast<size_t>(std::min<uint64_t>({total, inode->size, bytes.size()}))));
  }
  const auto copy = copySequence_.find(record.entryLocation);
  const std::vector<ExtRun> runs = RunsOf(*inode, copy == copySequence_.end() ? UINT32_MAX : copy->second);
  total = std::min(total, RecoverableBytes(*inode, runs));
  std::vector<uint8_t> block(g.blockSize);
  uint64_t done = 0;
  // Holes read as zeros; the runs come in logical order.
  auto emit = [&](std::span<const uint8_t> piece) -> int32_t {
    const auto n = static_cast<size_t>(std::min<uint64_t>(piece.size(), total - done));
    done += n;
    return n == 0 ? 0 : sink(piece.first(n));
  };
  for (const ExtRun& run : runs) {
    while (done < total && done < run.logical * g.blockSize) {
      std::fill(block.begin(), block.end(), uint8_t{0});
      const auto gap = static_cast<size_t>(std::min<uint64_t>(g.blockSize, run.logical * g.blockSize - done));
      if (int32_t r = emit(std::span(block).first(gap)); r != 0) return r;
    }
    for (uint64_t i = 0; i < run.count && done < total; ++i) {
      if (!ReadBlock(run.physical + i, block)) return static_cast<int32_t>(err::kReadFault);
      if (int32_t r = emit(block); r != 0) return r;
    }
  }
  std::fill(block.begin(), block.end(), uint8_t{0});
  while (done < total)
    if (int32_t r = emit(block); r != 0) return r;
  return 0;
}

}  // namespace snapsave
