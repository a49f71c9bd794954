#include "fs/xfs/xfs_quick_engine.h"

#include <algorithm>
#include <deque>
#include <set>

#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "os/clock.h"
#include "os/error.h"

namespace snapsave {

namespace {

// Bounds against crafted volumes: no real folder or fork comes near them.
constexpr uint64_t kMaxFolderBlocks = 1u << 16;
constexpr size_t kMaxExtents = 1u << 20;
constexpr size_t kMaxTreeBlocks = 1u << 16;
constexpr size_t kMaxFreeRuns = 1u << 22;
constexpr size_t kMaxNamelessFiles = 100000;
// The folder the files no name led to are listed in: no inode has this number's low half.
constexpr uint32_t kLostFoldersKey = UINT32_MAX;

}  // namespace

uint32_t CFastXfsRecovery::OpenVolume() {
  geometry_.reset();
  freeRuns_.clear();
  freeKnown_ = false;
  log_.reset();
  // The volume is recognised either way; without a geometry it lists nothing and is carved whole.
  std::vector<uint8_t> first(std::max<uint32_t>(sectorSize_, 512));
  uint32_t got = 0;
  if (reader_.ReadSectors(first, static_cast<int32_t>(first.size() / sectorSize_), volumeStart_, sectorSize_,
                          &got) != err::kSuccess)
    return err::kSuccess;
  std::optional<XfsGeometry> g = ParseXfsSuperblock(first);
  if (!g || g->blockSize < sectorSize_ || g->blockSize % sectorSize_ != 0) return err::kSuccess;
  geometry_ = std::move(g);
  return err::kSuccess;
}

bool CFastXfsRecovery::ReadBytes(uint64_t at, std::span<uint8_t> into) {
  const uint64_t first = at / sectorSize_;
  const uint64_t end = (at + into.size() + sectorSize_ - 1) / sectorSize_;
  if (into.empty() || end > volumeSectors_ || end - first > INT32_MAX / sectorSize_) return false;
  std::vector<uint8_t> sectors((end - first) * sectorSize_);
  uint32_t got = 0;
  if (reader_.ReadSectors(sectors, static_cast<int32_t>(end - first), volumeStart_ + first, sectorSize_,
                          &got) != err::kSuccess)
    return false;
  std::copy_n(sectors.begin() + static_cast<std::ptrdiff_t>(at % sectorSize_), into.size(), into.begin());
  return true;
}

const XfsLogCopies& CFastXfsRecovery::LogCopies() {
  if (log_) return *log_;
  log_.emplace();
  const XfsGeometry& g = *geometry_;
  const std::optional<uint64_t> start = g.logStart != 0 ? g.VolumeBlock(g.logStart) : std::nullopt;
  if (!start || g.logBlocks == 0 || *start + g.logBlocks > g.dataBlocks) return *log_;
  const uint64_t base = *start * g.blockSize;
  const auto read = [&](uint64_t at, std::span<uint8_t> into) { return ReadBytes(base + at, into); };
  // The inodes first: folders the log copied in block form map the blocks (theirs then, perhaps no longer)
  // whose logged pieces hold their names. Then those pieces.
  *log_ = ReadXfsLog(read, uint64_t{g.logBlocks} * g.blockSize, g, {});
  std::set<uint64_t> wanted;
  for (const auto& [sector, folder] : folderBlockOf_) wanted.insert(sector);
  loggedFolderBlockOf_.clear();
  const uint64_t perDirBlock = uint64_t{1} << g.dirBlockLog;
  for (const XfsLogInode& c : log_->inodes) {
    if (!c.inode.IsDirectory() || c.inode.format != kXfsFormatExtents) continue;
    for (const XfsExtent& e : XfsForkExtents(c.inode.dataFork, std::min<uint64_t>(c.inode.extentCount, 64))) {
      const std::optional<uint64_t> first = g.VolumeBlock(e.block);
      if (e.logical >= XfsDirLeafBlock(g) || !first || e.count > kMaxFolderBlocks) continue;
      for (uint64_t i = 0; i + perDirBlock <= e.count && wanted.size() < kMaxFolderBlocks * 16;
           i += perDirBlock) {
        const uint64_t sector = (*first + i) * (g.blockSize / 512);
        if (wanted.insert(sector).second) loggedFolderBlockOf_[sector] = c.number;
      }
    }
  }
  log_->pieces = ReadXfsLog(read, uint64_t{g.logBlocks} * g.blockSize, g, wanted).pieces;
  return *log_;
}

std::optional<XfsInode> CFastXfsRecovery::LoggedFile(uint64_t number) {
  const XfsInode* best = nullptr;
  uint64_t order = 0;
  for (const XfsLogInode& c : LogCopies().inodes) {
    const XfsInode& n = c.inode;
    if (c.number != number || !n.IsRegular() || n.size == 0 || c.order < order) continue;
    const bool mapped =
        n.format == kXfsFormatLocal ||
        ((n.format == kXfsFormatExtents || n.format == kXfsFormatBtree) && n.extentCount != 0);
    if (!mapped) continue;
    best = &n;
    order = c.order;
  }
  return best != nullptr ? std::optional<XfsInode>(*best) : std::nullopt;
}

bool CFastXfsRecovery::AnyBlockInUse(const std::vector<XfsExtent>& extents) const {
  if (!freeKnown_) return false;
  for (const XfsExtent& e : extents) {
    const std::optional<uint64_t> first = geometry_->VolumeBlock(e.block);
    if (!first) return true;
    auto it =
        std::upper_bound(freeRuns_.begin(), freeRuns_.end(), *first,
                         [](uint64_t b, const std::pair<uint64_t, uint64_t>& run) { return b < run.first; });
    if (it == freeRuns_.begin()) return true;
    --it;
    if (*first + e.count > it->first + it->second) return true;
  }
  return false;
}

void CFastXfsRecovery::ListDeletedFromLog() {
  const XfsGeometry& g = *geometry_;
  struct Named {
    uint64_t folder = 0;
    std::string name;
    uint64_t inode = 0;
  };
  std::unordered_map<uint64_t, std::vector<Named>> names;  // by folder
  const XfsLogCopies& log = LogCopies();
  // Folders kept in their inodes, deleted ones too: every earlier copy of one lists its names then.
  for (const XfsLogInode& c : log.inodes) {
    if (!c.inode.IsDirectory() || c.inode.format != kXfsFormatLocal) continue;
    for (XfsDirEntry& e : ParseXfsShortformDir(c.inode.dataFork, g))
      names[c.number].push_back({c.number, std::move(e.name), e.inode});
  }
  // Pieces of folder blocks: an entry lies on 8 bytes and ends with the tag that gives its own offset.
  for (const XfsLogPiece& p : log.pieces) {
    uint64_t owner = 0;
    if (const auto live = folderBlockOf_.find(p.sector); live != folderBlockOf_.end()) {
      owner = live->second;
    } else if (const auto logged = loggedFolderBlockOf_.find(p.sector);
               logged != loggedFolderBlockOf_.end()) {
      owner = logged->second;
    } else {
      continue;
    }
    const ByteSpan b(p.bytes);
    for (size_t q = 0; q + 16 <= b.size(); q += 8) {
      const size_t length = Le8(b, q + 8);
      const size_t size = (8 + 1 + length + (g.fileTypes ? 1 : 0) + 2 + 7) / 8 * 8;
      if (length == 0 || size > b.size() - q || Be16(b, q + size - 2) != p.offset + q) continue;
      const uint64_t inode = Be64(b, q);
      std::string name(reinterpret_cast<const char*>(b.data() + q + 9), length);
      if (!g.InodeByte(inode) || name.find('\0') != std::string::npos || name.find('/') != std::string::npos)
        continue;
      names[owner].push_back({owner, std::move(name), inode});
    }
  }
  // From the live folders down through the deleted folders their copies name.
  std::deque<std::pair<uint64_t, uint32_t>> folders(folderDepth_.begin(), folderDepth_.end());
  std::sort(folders.begin(), folders.end());
  std::set<std::pair<uint64_t, std::string>> listed;
  std::set<uint64_t> taken;
  while (!folders.empty() && taken.size() < kMaxNamelessFiles) {
    const auto [folder, depth] = folders.front();
    folders.pop_front();
    const auto entries = names.find(folder);
    if (entries == names.end()) continue;
    const auto live = folderNames_.find(folder);
    for (const Named& n : entries->second) {
      if (n.name == "." || n.name == ".." || liveInodes_.count(n.inode) != 0 || taken.count(n.inode) != 0 ||
          n.inode == g.rootInode)
        continue;
      if ((live != folderNames_.end() && live->second.count(n.name) != 0) ||
          !listed.emplace(folder, n.name).second)
        continue;
      if (const std::optional<XfsInode> now = ReadInode(n.inode); now && now->mode != 0) continue;
      if (const std::optional<XfsInode> inode = LoggedFile(n.inode)) {
        taken.insert(n.inode);
        FoundFileRecord r = MakeRecord(n.name, n.inode, *inode);
        r.isDeleted = 1;
        // Blocks given to another file since are not this file's any more.
        if (inode->format != kXfsFormatLocal && AnyBlockInUse(ExtentsOf(*inode))) r.isIntact = 0;
        catalogue_->ReserveRecord(r);
        catalogue_->AddToFolder(static_cast<uint32_t>(folder), depth, r.recordId, r.entryRef);
      } else if (names.count(n.inode) != 0) {
        // A deleted folder whose own copies name what it held.
        const auto copy = std::find_if(log.inodes.rbegin(), log.inodes.rend(), [&](const XfsLogInode& c) {
          return c.number == n.inode && c.inode.IsDirectory();
        });
        if (copy == log.inodes.rend()) continue;
        taken.insert(n.inode);
        FoundFileRecord r = MakeRecord(n.name, n.inode, copy->inode);
        r.isDeleted = 1;
        deletedFolders_.push_back({r, n.inode, static_cast<uint32_t>(folder), depth + 1});
        folders.emplace_back(n.inode, depth + 1);
      }
    }
  }
  // Inodes the log mapped that are free now and that no name led to.
  std::set<uint64_t> numbers;
  for (const XfsLogInode& c : log.inodes)
    if (c.inode.IsRegular() && c.inode.size != 0) numbers.insert(c.number);
  std::vector<uint8_t> first(g.blockSize);
  CarvingContext context;
  size_t nameless = 0;
  for (const uint64_t number : numbers) {
    if (nameless >= kMaxNamelessFiles) break;
    if (taken.count(number) != 0 || liveInodes_.count(number) != 0 || number == g.rootInode) continue;
    if (const std::optional<XfsInode> now = ReadInode(number); now && now->mode != 0) continue;
    const std::optional<XfsInode> inode = LoggedFile(number);
    if (!inode) continue;
    const std::string name = std::to_string(number);
    FoundFileRecord r = MakeRecord(name, number, *inode);
    r.isDeleted = 1;
    const std::vector<XfsExtent> extents = ExtentsOf(*inode);
    if (inode->format != kXfsFormatLocal && AnyBlockInUse(extents)) r.isIntact = 0;
    // The extension its first block's type gives.
    std::fill(first.begin(), first.end(), uint8_t{0});
    const bool read = inode->format == kXfsFormatLocal
                          ? (std::copy_n(inode->dataFork.begin(),
                                         std::min(inode->dataFork.size(), first.size()), first.begin()),
                             true)
                          : !extents.empty() && !extents.front().unwritten &&
                                ReadBlocks(*g.VolumeBlock(extents.front().block), 1, first);
    if (read) {
      context.Begin(&reader_, sectorSize_, volumeStart_ + r.dataStartSector);
      if (const CarvingTypeRow* row = FirstRowWithCode(DetectType(context, first)); row != nullptr)
        r.SetName(name + "." + std::string(row->extension));
    }
    if (!lostFolder_) {
      FoundFileRecord lost = MakeEmptyRecord();
      lost.driveLetter = driveLetter_;
      lost.sourceKind = static_cast<uint32_t>(SourceKind::kXfsQuick);
      lost.isFolder = 1;
      lost.isDeleted = 1;
      lost.isIntact = 1;
      lost.entryRef = kLostFoldersKey;
      lost.clusterSize = g.blockSize;
      lost.volumeStartSector = volumeStart_;
      lost.SetName("LostFolders");
      lostFolder_ = PendingFolder{lost, kLostFoldersKey, static_cast<uint32_t>(g.rootInode), 1};
    }
    catalogue_->ReserveRecord(r);
    catalogue_->AddToFolder(kLostFoldersKey, 1, r.recordId, r.entryRef);
    ++nameless;
  }
}

bool CFastXfsRecovery::ReadBlocks(uint64_t volumeBlock, uint64_t count, std::span<uint8_t> into) {
  const XfsGeometry& g = *geometry_;
  const uint64_t perBlock = g.blockSize / sectorSize_;
  if (count == 0 || volumeBlock >= g.dataBlocks || count > g.dataBlocks - volumeBlock ||
      into.size() < count * g.blockSize || count * perBlock > INT32_MAX)
    return false;
  const uint64_t sector = volumeBlock * perBlock;
  if (sector + count * perBlock > volumeSectors_) return false;
  uint32_t got = 0;
  return reader_.ReadSectors(into, static_cast<int32_t>(count * perBlock), volumeStart_ + sector, sectorSize_,
                             &got) == err::kSuccess;
}

std::optional<XfsInode> CFastXfsRecovery::ReadInode(uint64_t number) {
  if (!geometry_) return std::nullopt;
  const XfsGeometry& g = *geometry_;
  const std::optional<uint64_t> byte = g.InodeByte(number);
  if (!byte) return std::nullopt;
  std::vector<uint8_t> block(g.blockSize);
  if (!ReadBlocks(*byte / g.blockSize, 1, block)) return std::nullopt;
  return ParseXfsInode(ByteSpan(block).subspan(*byte % g.blockSize), g);
}

std::vector<XfsExtent> CFastXfsRecovery::ExtentsOf(const XfsInode& inode) {
  std::vector<XfsExtent> out;
  if (!geometry_) return out;
  const XfsGeometry& g = *geometry_;
  if (inode.format == kXfsFormatExtents) {
    out = XfsForkExtents(inode.dataFork, std::min<uint64_t>(inode.extentCount, kMaxExtents));
  } else if (inode.format == kXfsFormatBtree) {
    const std::optional<XfsBmapNode> root = ParseXfsBmapRoot(inode.dataFork);
    if (!root) return out;
    // Depth first, children in key order: the leaves come in file order. Each level must be one below its
    // parent's, so that the walk ends; a block seen twice is read once.
    std::vector<std::pair<uint64_t, uint16_t>> stack;
    for (auto it = root->children.rbegin(); it != root->children.rend(); ++it)
      stack.emplace_back(*it, static_cast<uint16_t>(root->level - 1));
    std::set<uint64_t> seen;
    std::vector<uint8_t> block(g.blockSize);
    while (!stack.empty() && seen.size() < kMaxTreeBlocks && out.size() < kMaxExtents) {
      const auto [fsBlock, level] = stack.back();
      stack.pop_back();
      const std::optional<uint64_t> at = g.VolumeBlock(fsBlock);
      if (!at || !seen.insert(*at).second || !ReadBlocks(*at, 1, block)) continue;
      const std::optional<XfsBmapNode> node = ParseXfsBmapBlock(block, g);
      if (!node || node->level != level) continue;
      if (level == 0) {
        out.insert(out.end(), node->extents.begin(), node->extents.end());
      } else {
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
          stack.emplace_back(*it, static_cast<uint16_t>(level - 1));
      }
    }
  }
  // In file order, none overlapping the one before, every block on the volume.
  std::stable_sort(out.begin(), out.end(),
                   [](const XfsExtent& a, const XfsExtent& b) { return a.logical < b.logical; });
  std::vector<XfsExtent> kept;
  uint64_t next = 0;
  for (const XfsExtent& e : out) {
    if (e.count == 0 || e.logical < next || !g.VolumeBlock(e.block) ||
        !g.VolumeBlock(e.block + e.count - 1) ||
        *g.VolumeBlock(e.block + e.count - 1) - *g.VolumeBlock(e.block) != e.count - 1)
      continue;
    kept.push_back(e);
    next = e.logical + e.count;
  }
  return kept;
}

FoundFileRecord CFastXfsRecovery::MakeRecord(const std::string& name, uint64_t number,
                                             const XfsInode& inode) {
  const XfsGeometry& g = *geometry_;
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = driveLetter_;
  r.sourceKind = static_cast<uint32_t>(SourceKind::kXfsQuick);
  r.isFolder = inode.IsDirectory() ? 1 : 0;
  r.isDeleted = r.isFolder != 0 ? 0 : kExistingFile;
  r.isIntact = 1;
  r.entryRef = static_cast<uint32_t>(number);
  r.clusterSize = g.blockSize;
  r.creationTime = os::FileTimeOfUnix(inode.createTime, inode.createNs);
  r.writeTime = os::FileTimeOfUnix(inode.writeTime, inode.writeNs);
  r.accessTime = os::FileTimeOfUnix(inode.accessTime, inode.accessNs);
  r.entryLocation = number;
  r.volumeStartSector = volumeStart_;
  r.SetName(name);
  if (r.isFolder != 0) return r;
  if (inode.format == kXfsFormatLocal) {
    r.fileSize = std::min<uint64_t>(inode.size, inode.dataFork.size());
    if (const std::optional<uint64_t> byte = g.InodeByte(number)) r.dataStartSector = *byte / sectorSize_;
    return r;
  }
  const std::vector<XfsExtent> extents = ExtentsOf(inode);
  // What follows the last mapped block is not written: a crafted size must not make recovery write zeros
  // without end.
  const uint64_t mapped = extents.empty() ? 0 : (extents.back().logical + extents.back().count) * g.blockSize;
  r.fileSize = std::min({inode.size, mapped, volumeSectors_ * sectorSize_});
  if (r.fileSize < inode.size) r.isIntact = 0;
  if (!extents.empty())
    r.dataStartSector = *g.VolumeBlock(extents.front().block) * (g.blockSize / sectorSize_);
  return r;
}

int32_t CFastXfsRecovery::Scan(std::string_view logName) {
  if (!open_) return static_cast<int32_t>(err::kInvalidParameter);
  if (!logName.empty()) return static_cast<int32_t>(OpenCatalogue(logName, log_prefix::kFast));
  if (uint32_t e = OpenCatalogue({}, log_prefix::kFast); e != err::kSuccess) return static_cast<int32_t>(e);
  walk_.Clear();
  folderDepth_.clear();
  folderNames_.clear();
  folderBlockOf_.clear();
  liveInodes_.clear();
  log_.reset();
  lostFolder_.reset();
  deletedFolders_.clear();
  int32_t result = Report(1, -1);
  if (!geometry_) return CloseScan(result);
  const uint64_t rootNumber = geometry_->rootInode;
  if (const std::optional<XfsInode> root = ReadInode(rootNumber); root && root->IsDirectory()) {
    PendingFolder folder;
    folder.inode = rootNumber;
    folderDepth_[rootNumber] = 0;
    walk_.Start(rootNumber, folder);
  }
  if (result == 0) {
    result = walk_.Run([this](const PendingFolder& folder) { ReadFolder(folder); },
                       [this] { return ReportDue() ? Report(std::min(lastProgress_ + 1, 89), -1) : 0; });
  }
  if (result == 0) {
    result = Report(90, -1);
    BuildAllocationMap();
    ListDeletedFromLog();
  }
  if (result == 0) {
    std::vector<PendingFolder> folders = walk_.Walked();
    folders.insert(folders.end(), deletedFolders_.begin(), deletedFolders_.end());
    if (lostFolder_) folders.push_back(*lostFolder_);
    for (const PendingFolder& f : folders) {
      FoundFileRecord r = f.record;
      catalogue_->ReserveRecord(r);
      catalogue_->AddToFolder(f.parent, f.depth - 1, r.recordId, static_cast<uint32_t>(f.inode), r.Name());
    }
    result = Report(100, 0);
  }
  return CloseScan(result);
}

void CFastXfsRecovery::ReadFolder(const PendingFolder& folder) {
  const XfsGeometry& g = *geometry_;
  const std::optional<XfsInode> inode = ReadInode(folder.inode);
  if (!inode || !inode->IsDirectory()) return;
  std::vector<XfsDirEntry> entries;
  if (inode->format == kXfsFormatLocal) {
    entries = ParseXfsShortformDir(inode->dataFork, g);
  } else {
    // The data blocks lie below the leaf offset, in folder blocks of one or more file-system blocks.
    const uint64_t perDirBlock = uint64_t{1} << g.dirBlockLog;
    std::vector<uint8_t> block(g.DirBlockSize());
    uint64_t read = 0;
    for (const XfsExtent& e : ExtentsOf(*inode)) {
      if (e.logical >= XfsDirLeafBlock(g) || e.unwritten) break;
      for (uint64_t i = 0; i + perDirBlock <= e.count && read < kMaxFolderBlocks; i += perDirBlock, ++read) {
        folderBlockOf_[(*g.VolumeBlock(e.block) + i) * (g.blockSize / 512)] = folder.inode;
        if (!ReadBlocks(*g.VolumeBlock(e.block) + i, perDirBlock, block)) continue;
        for (XfsDirEntry& d : ParseXfsDirBlock(block, g)) entries.push_back(std::move(d));
      }
    }
  }
  std::unordered_set<std::string>& names = folderNames_[folder.inode];
  for (const XfsDirEntry& entry : entries) {
    if (entry.name == "." || entry.name == ".." || entry.inode == folder.inode) continue;
    names.insert(entry.name);
    liveInodes_.insert(entry.inode);
    const std::optional<XfsInode> child = ReadInode(entry.inode);
    if (!child || child->mode == 0) continue;
    if (!child->IsDirectory() && !child->IsRegular()) continue;
    FoundFileRecord r = MakeRecord(entry.name, entry.inode, *child);
    if (child->IsDirectory()) {
      if (!walk_.Seen(entry.inode)) folderDepth_[entry.inode] = folder.depth + 1;
      walk_.Push(entry.inode, {r, entry.inode, static_cast<uint32_t>(folder.inode), folder.depth + 1});
      continue;
    }
    catalogue_->ReserveRecord(r);
    catalogue_->AddToFolder(static_cast<uint32_t>(folder.inode), folder.depth, r.recordId, r.entryRef);
  }
}

int32_t CFastXfsRecovery::ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) {
  if (!geometry_) return static_cast<int32_t>(err::kInvalidParameter);
  const XfsGeometry& g = *geometry_;
  // A deleted file is read through the log's copy of its inode.
  const std::optional<XfsInode> inode =
      (record.isDeleted & 1) != 0 ? LoggedFile(record.entryLocation) : ReadInode(record.entryLocation);
  if (!inode) return static_cast<int32_t>(err::kReadFault);
  total = std::min(total, record.fileSize);
  if (inode->format == kXfsFormatLocal) {
    const ByteSpan bytes(inode->dataFork);
    return sink(bytes.first(static_cast<size_t>(std::min<uint64_t>(total, bytes.size()))));
  }
  std::vector<uint8_t> block(g.blockSize);
  uint64_t done = 0;
  auto emit = [&](std::span<const uint8_t> piece) -> int32_t {
    const auto n = static_cast<size_t>(std::min<uint64_t>(piece.size(), total - done));
    done += n;
    return n == 0 ? 0 : sink(piece.first(n));
  };
  auto zeros = [&](uint64_t upTo) -> int32_t {
    std::fill(block.begin(), block.end(), uint8_t{0});
    while (done < std::min(total, upTo)) {
      const auto gap = static_cast<size_t>(std::min<uint64_t>(g.blockSize, std::min(total, upTo) - done));
      if (int32_t r = emit(std::span(block).first(gap)); r != 0) return r;
    }
    return 0;
  };
  // Holes and extents never written read as zeros; the extents come in file order.
  for (const XfsExtent& e : ExtentsOf(*inode)) {
    if (done >= total) break;
    if (int32_t r = zeros(e.logical * g.blockSize); r != 0) return r;
    const uint64_t first = *g.VolumeBlock(e.block);
    for (uint64_t i = 0; i < e.count && done < total; ++i) {
      if (e.unwritten) {
        if (int32_t r = zeros(done + g.blockSize); r != 0) return r;
        continue;
      }
      if (!ReadBlocks(first + i, 1, block)) return static_cast<int32_t>(err::kReadFault);
      if (int32_t r = emit(block); r != 0) return r;
    }
  }
  return zeros(total);
}

int32_t CFastXfsRecovery::BuildAllocationMap() {
  freeRuns_.clear();
  freeKnown_ = false;
  if (!geometry_) return 1;
  const XfsGeometry& g = *geometry_;
  std::vector<uint8_t> sector(std::max<uint32_t>(g.sectorSize, sectorSize_));
  std::vector<uint8_t> block(g.blockSize);
  for (uint32_t ag = 0; ag < g.agCount; ++ag) {
    // The AGF is the group's second sector.
    const uint64_t byte = g.AgBlock(ag, 0) * g.blockSize + g.sectorSize;
    uint32_t got = 0;
    if (byte / sectorSize_ + sector.size() / sectorSize_ > volumeSectors_ ||
        reader_.ReadSectors(sector, static_cast<int32_t>(sector.size() / sectorSize_),
                            volumeStart_ + byte / sectorSize_, sectorSize_, &got) != err::kSuccess)
      return 1;
    const std::optional<XfsAgf> agf = ParseXfsAgf(ByteSpan(sector).subspan(byte % sectorSize_), ag);
    if (!agf) return 1;
    std::vector<std::pair<uint32_t, uint32_t>> stack{{agf->freeRoot, agf->freeLevels - 1}};
    std::set<uint32_t> seen;
    while (!stack.empty()) {
      const auto [agBlock, level] = stack.back();
      stack.pop_back();
      if (agBlock >= g.agBlocks || !seen.insert(agBlock).second || seen.size() > kMaxTreeBlocks) return 1;
      if (!ReadBlocks(g.AgBlock(ag, agBlock), 1, block)) return 1;
      const std::optional<XfsFreeNode> node = ParseXfsFreeBlock(block, g);
      if (!node || node->level != level) return 1;
      for (const auto& [start, count] : node->runs) {
        if (start >= g.agBlocks || count > g.agBlocks - start || freeRuns_.size() >= kMaxFreeRuns) return 1;
        freeRuns_.emplace_back(g.AgBlock(ag, start), count);
      }
      for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
        stack.emplace_back(*it, level - 1);
    }
  }
  std::sort(freeRuns_.begin(), freeRuns_.end());
  freeKnown_ = true;
  return 0;
}

int32_t CFastXfsRecovery::NextUnallocatedRun(uint64_t& sector, uint64_t& length) {
  length = 0;
  if (!geometry_ || !freeKnown_) return 0;
  const uint64_t perBlock = geometry_->blockSize / sectorSize_;
  // The first free run that ends past `sector`, from `sector` on.
  const uint64_t block = sector / perBlock;
  auto it =
      std::upper_bound(freeRuns_.begin(), freeRuns_.end(), block,
                       [](uint64_t b, const std::pair<uint64_t, uint64_t>& run) { return b < run.first; });
  if (it != freeRuns_.begin() && std::prev(it)->first + std::prev(it)->second > block) --it;
  if (it == freeRuns_.end()) {
    sector = volumeSectors_;
    return 1;
  }
  const uint64_t start = std::max(sector, it->first * perBlock);
  const uint64_t end = std::min(volumeSectors_, (it->first + it->second) * perBlock);
  if (start >= end) {
    sector = volumeSectors_;
    return 1;
  }
  sector = start;
  length = end - start;
  return 1;
}

}  // namespace snapsave
