#include "fs/btrfs/btrfs_quick_engine.h"

#include <algorithm>
#include <array>
#include <deque>
#include <functional>
#include <unordered_set>

#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "fs/btrfs/btrfs_compression.h"
#include "os/clock.h"
#include "os/error.h"

namespace snapsave {

namespace {

// Bounds against crafted volumes: no real tree or folder comes near them.
constexpr size_t kMaxTreeBlocks = size_t{1} << 22;
constexpr size_t kMaxRuns = size_t{1} << 24;
constexpr uint32_t kMaxFolderDepth = 256;
constexpr uint64_t kMaxInode = uint64_t{1} << 40;  // records keep the tree above these bits
constexpr uint64_t kMaxTree = uint64_t{1} << 24;
constexpr uint32_t kLostFoldersKey = UINT32_MAX;
constexpr size_t kOldLeafBatch = size_t{1} << 20;
constexpr size_t kMaxVersions = 4;  // of one file offset, kept from the old leaves
constexpr BtrfsKey kLowestKey{0, 0, 0};
constexpr BtrfsKey kHighestKey{UINT64_MAX, 0xFF, UINT64_MAX};

bool IsFileTree(uint64_t id) {
  return id == kBtrfsFsTree || (id >= kBtrfsFirstFreeObject && id <= kBtrfsLastFreeObject && id < kMaxTree);
}

uint64_t LocationOf(const CFastBtrfsRecovery::FileId& id) {
  return id.tree << 40 | id.inode;
}

// Sorted runs: whether [first, first + count) meets one.
bool Meets(const std::vector<std::pair<uint64_t, uint64_t>>& runs, uint64_t first, uint64_t count) {
  auto it = std::upper_bound(runs.begin(), runs.end(), first,
                             [](uint64_t b, const std::pair<uint64_t, uint64_t>& r) { return b < r.first; });
  if (it != runs.begin() && std::prev(it)->first + std::prev(it)->second > first) return true;
  return it != runs.end() && it->first < first + count;
}

void SortAndMerge(std::vector<std::pair<uint64_t, uint64_t>>& runs) {
  std::sort(runs.begin(), runs.end());
  std::vector<std::pair<uint64_t, uint64_t>> merged;
  for (const auto& r : runs) {
    if (!merged.empty() && r.first <= merged.back().first + merged.back().second) {
      merged.back().second = std::max(merged.back().second, r.first + r.second - merged.back().first);
    } else {
      merged.push_back(r);
    }
  }
  runs = std::move(merged);
}

// Extents in file order, none overlapping the one before.
std::vector<BtrfsFileExtent> InFileOrder(std::vector<BtrfsFileExtent> all) {
  std::stable_sort(all.begin(), all.end(), [](const BtrfsFileExtent& a, const BtrfsFileExtent& b) {
    return a.fileOffset < b.fileOffset;
  });
  std::vector<BtrfsFileExtent> kept;
  uint64_t next = 0;
  for (BtrfsFileExtent& e : all) {
    if (e.fileOffset < next || e.FileBytes() == 0) continue;
    next = e.fileOffset + e.FileBytes();
    kept.push_back(std::move(e));
  }
  return kept;
}

}  // namespace

std::optional<BtrfsSuperblock> ReadBtrfsSuperblock(const SectorReader& reader, uint64_t volumeStart,
                                                   uint64_t volumeSectors, uint32_t sectorSize) {
  if (sectorSize == 0 || kBtrfsSuperblockSize % sectorSize != 0) return std::nullopt;
  std::vector<uint8_t> sb(kBtrfsSuperblockSize);
  std::array<uint64_t, 3> places = {kBtrfsSuperblockOffset, kBtrfsSuperblockCopies[0],
                                    kBtrfsSuperblockCopies[1]};
  for (const uint64_t at : places) {
    const uint64_t sector = at / sectorSize;
    const uint32_t count = kBtrfsSuperblockSize / sectorSize;
    uint32_t got = 0;
    if (sector + count > volumeSectors ||
        reader.ReadSectors(sb, static_cast<int32_t>(count), volumeStart + sector, sectorSize, &got) != 0)
      continue;
    if (std::optional<BtrfsSuperblock> s = ParseBtrfsSuperblock(sb, at)) return s;
  }
  return std::nullopt;
}

void CFastBtrfsRecovery::Count(Known& known, const BtrfsFileExtent& e) {
  known.mappedEnd = std::max(known.mappedEnd, e.fileOffset + e.FileBytes());
  if (e.type == kBtrfsExtentPrealloc || (e.type == kBtrfsExtentRegular && e.diskBytenr == 0)) return;
  known.stored = std::min(known.stored + e.FileBytes(), uint64_t{1} << 62);
}

uint32_t CFastBtrfsRecovery::OpenVolume() {
  super_.reset();
  chunks_ = BtrfsChunkMap();
  trees_.reset();
  surveyed_ = false;
  usedKnown_ = false;
  freeKnown_ = false;
  // The volume is recognised either way; without its chunks it lists nothing and is carved whole.
  std::optional<BtrfsSuperblock> s = ReadBtrfsSuperblock(reader_, volumeStart_, volumeSectors_, sectorSize_);
  if (!s || s->nodeSize % sectorSize_ != 0) return err::kSuccess;
  super_ = std::move(s);
  chunks_ = BtrfsChunkMap(super_->deviceId);
  for (const BtrfsChunk& c : ParseBtrfsChunkArray(super_->chunkArray)) chunks_.Add(c);
  std::vector<BtrfsChunk> found;
  WalkTree(super_->chunkRoot, super_->chunkRootLevel, {kBtrfsFirstFreeObject, kBtrfsChunkItem, 0},
           {kBtrfsFirstFreeObject, kBtrfsChunkItem, UINT64_MAX},
           [&](const BtrfsLeafItem& item, const BtrfsHeader&, uint64_t) {
             if (const auto c = ParseBtrfsChunk(item.data, 0, item.key.offset)) found.push_back(*c);
           });
  for (const BtrfsChunk& c : found) chunks_.Add(c);
  return err::kSuccess;
}

bool CFastBtrfsRecovery::ReadBytes(uint64_t at, std::span<uint8_t> into) {
  const uint64_t first = at / sectorSize_;
  if (into.empty() || at + into.size() < at) return false;
  const uint64_t end = (at + into.size() + sectorSize_ - 1) / sectorSize_;
  if (end > volumeSectors_ || end - first > INT32_MAX / sectorSize_) return false;
  uint32_t got = 0;
  if (at % sectorSize_ == 0 && into.size() % sectorSize_ == 0)
    return reader_.ReadSectors(into, static_cast<int32_t>(end - first), volumeStart_ + first, sectorSize_,
                               &got) == err::kSuccess;
  std::vector<uint8_t> sectors((end - first) * sectorSize_);
  if (reader_.ReadSectors(sectors, static_cast<int32_t>(end - first), volumeStart_ + first, sectorSize_,
                          &got) != err::kSuccess)
    return false;
  std::copy_n(sectors.begin() + static_cast<std::ptrdiff_t>(at % sectorSize_), into.size(), into.begin());
  return true;
}

bool CFastBtrfsRecovery::ReadLogical(uint64_t logical, std::span<uint8_t> into) {
  size_t done = 0;
  while (done < into.size()) {
    const std::optional<BtrfsChunkMap::Place> place = chunks_.Map(logical + done);
    if (!place) return false;
    const auto n = static_cast<size_t>(std::min<uint64_t>(place->contiguous, into.size() - done));
    bool read = false;
    for (const uint64_t copy : place->copies)
      if ((read = ReadBytes(copy, into.subspan(done, n)))) break;
    if (!read) return false;
    done += n;
  }
  return true;
}

bool CFastBtrfsRecovery::IsOwnBlock(ByteSpan block, uint64_t logical) const {
  const std::optional<BtrfsHeader> h = ParseBtrfsHeader(block);
  if (!h || h->bytenr != logical || h->fsid != super_->metadataUuid) return false;
  return super_->checksumType != 0 || Le32(block, 0) == BtrfsCrc32c(block.subspan(32));
}

std::optional<std::vector<uint8_t>> CFastBtrfsRecovery::ReadTreeBlock(uint64_t logical) {
  const std::optional<BtrfsChunkMap::Place> place = chunks_.Map(logical);
  if (!place || place->contiguous < super_->nodeSize) return std::nullopt;
  std::vector<uint8_t> block(super_->nodeSize);
  for (const uint64_t copy : place->copies)
    if (ReadBytes(copy, block) && IsOwnBlock(block, logical)) return block;
  return std::nullopt;
}

template <typename Visit>
bool CFastBtrfsRecovery::WalkTree(uint64_t root, uint8_t level, const BtrfsKey& low, const BtrfsKey& high,
                                  Visit&& visit) {
  if (!super_) return false;
  bool whole = true;
  std::vector<std::pair<uint64_t, uint8_t>> stack{{root, level}};
  std::unordered_set<uint64_t> seen;
  while (!stack.empty()) {
    const auto [logical, expected] = stack.back();
    stack.pop_back();
    if (!seen.insert(logical).second || seen.size() > kMaxTreeBlocks) {
      whole = false;
      continue;
    }
    const std::optional<std::vector<uint8_t>> block = ReadTreeBlock(logical);
    const std::optional<BtrfsHeader> h = block ? ParseBtrfsHeader(*block) : std::nullopt;
    if (!h || h->level != expected) {
      whole = false;
      continue;
    }
    if (h->level == 0) {
      for (const BtrfsLeafItem& item : BtrfsLeafItems(*block, h->items))
        if (item.key >= low && item.key <= high) visit(item, *h, logical);
      continue;
    }
    const std::vector<BtrfsNodePointer> children = BtrfsNodePointers(*block, h->items);
    // Children pushed last first, so that the leaves come in key order; those whose keys cannot lie in the
    // range are left. Keys out of order end the node.
    for (size_t i = children.size(); i-- > 0;) {
      if (i + 1 < children.size() && !(children[i].key < children[i + 1].key)) {
        whole = false;
        break;
      }
      if (children[i].key > high || (i + 1 < children.size() && children[i + 1].key <= low)) continue;
      stack.emplace_back(children[i].block, static_cast<uint8_t>(h->level - 1));
    }
  }
  return whole;
}

const std::map<uint64_t, BtrfsRootItem>& CFastBtrfsRecovery::Trees() {
  if (trees_) return *trees_;
  trees_.emplace();
  if (!super_) return *trees_;
  // The root tree the superblock names; where it cannot be read whole, the newest of the backup roots that
  // can (the superblock keeps the last few commits').
  std::vector<BtrfsBackupRoot> roots{{super_->root, super_->generation, super_->rootLevel}};
  std::vector<BtrfsBackupRoot> backups = super_->backupRoots;
  std::sort(backups.begin(), backups.end(), [](const BtrfsBackupRoot& a, const BtrfsBackupRoot& b) {
    return a.treeRootGeneration > b.treeRootGeneration;
  });
  for (const BtrfsBackupRoot& b : backups)
    if (b.treeRoot != super_->root) roots.push_back(b);
  for (const BtrfsBackupRoot& root : roots) {
    std::map<uint64_t, BtrfsRootItem> trees;
    std::map<uint64_t, uint64_t> offsets;
    const bool whole = WalkTree(root.treeRoot, root.treeRootLevel, kLowestKey, kHighestKey,
                                [&](const BtrfsLeafItem& item, const BtrfsHeader&, uint64_t) {
                                  if (item.key.type != kBtrfsRootItem) return;
                                  const std::optional<BtrfsRootItem> r = ParseBtrfsRootItem(item.data);
                                  if (!r) return;
                                  // A snapshot's item is keyed by its generation: the newest stands.
                                  auto [it, fresh] = offsets.emplace(item.key.objectId, item.key.offset);
                                  if (!fresh && it->second > item.key.offset) return;
                                  it->second = item.key.offset;
                                  trees[item.key.objectId] = *r;
                                });
    if (whole && trees.count(kBtrfsFsTree) != 0) {
      *trees_ = std::move(trees);
      break;
    }
  }
  return *trees_;
}

void CFastBtrfsRecovery::SurveyTree(uint64_t tree) {
  if (!treesSurveyed_.emplace(tree, true).second) return;
  const auto root = Trees().find(tree);
  if (root == Trees().end() || !IsFileTree(tree)) return;
  WalkTree(root->second.bytenr, root->second.level, kLowestKey, kHighestKey,
           [&](const BtrfsLeafItem& item, const BtrfsHeader& h, uint64_t leaf) {
             const FileId id{tree, item.key.objectId};
             if (id.inode >= kMaxInode) return;
             if (item.key.type == kBtrfsInodeItem) {
               if (const std::optional<BtrfsInode> n = ParseBtrfsInode(item.data)) {
                 Known& k = live_[id];
                 k.inode = *n;
                 k.generation = h.generation;
               }
             } else if (item.key.type == kBtrfsDirIndex) {
               for (BtrfsDirEntry& e : ParseBtrfsDirEntries(item.data)) {
                 const bool sub = e.location.type == kBtrfsRootItem;
                 if (!sub && e.location.type != kBtrfsInodeItem) continue;
                 if (sub && !IsFileTree(e.location.objectId)) continue;
                 const FileId child = sub ? FileId{e.location.objectId, kBtrfsFirstFreeObject}
                                          : FileId{tree, e.location.objectId};
                 entries_.push_back({id, child, sub, std::move(e.name)});
               }
             } else if (item.key.type == kBtrfsExtentData) {
               const std::optional<BtrfsFileExtent> e = ParseBtrfsFileExtent(item.data, item.key.offset);
               if (!e) return;
               Known& k = live_[id];
               Count(k, *e);
               if (k.firstSector != 0) return;
               if (e->type == kBtrfsExtentInline) {
                 if (const auto p = chunks_.Map(leaf)) k.firstSector = p->copies.front() / sectorSize_;
               } else if (e->diskBytenr != 0) {
                 if (const auto p = chunks_.Map(e->diskBytenr + (e->compression == 0 ? e->offset : 0)))
                   k.firstSector = p->copies.front() / sectorSize_;
               }
             }
           });
}

void CFastBtrfsRecovery::SurveyExtentTree() {
  used_.clear();
  usedKnown_ = false;
  const auto root = Trees().find(kBtrfsExtentTree);
  if (root == Trees().end()) return;
  const bool whole = WalkTree(root->second.bytenr, root->second.level, kLowestKey, kHighestKey,
                              [&](const BtrfsLeafItem& item, const BtrfsHeader&, uint64_t) {
                                if (used_.size() >= kMaxRuns) return;
                                if (item.key.type == kBtrfsExtentItem && item.key.offset != 0)
                                  used_.emplace_back(item.key.objectId, item.key.offset);
                                else if (item.key.type == kBtrfsMetadataItem)
                                  used_.emplace_back(item.key.objectId, super_->nodeSize);
                              });
  if (!whole || used_.size() >= kMaxRuns) {
    used_.clear();
    return;
  }
  SortAndMerge(used_);
  usedKnown_ = true;
}

void CFastBtrfsRecovery::SurveyOldLeaves() {
  const uint32_t node = super_->nodeSize;
  std::vector<uint8_t> batch;
  for (const BtrfsChunk& chunk : chunks_.Chunks()) {
    if ((chunk.type & kBtrfsChunkMetadata) == 0) continue;
    for (uint64_t done = 0; done + node <= chunk.length;) {
      const auto n =
          static_cast<size_t>(std::min<uint64_t>(kOldLeafBatch, (chunk.length - done) / node * node));
      batch.resize(n);
      if (!ReadBytes(chunk.stripes.front().offset + done, batch)) {
        done += n;
        continue;
      }
      for (size_t at = 0; at + node <= n; at += node) {
        const uint64_t logical = chunk.logical + done + at;
        const ByteSpan block = ByteSpan(batch).subspan(at, node);
        if (!IsOwnBlock(block, logical)) continue;
        const BtrfsHeader h = *ParseBtrfsHeader(block);
        if (h.level != 0 || !IsFileTree(h.owner)) continue;
        for (const BtrfsLeafItem& item : BtrfsLeafItems(block, h.items)) {
          const FileId id{h.owner, item.key.objectId};
          if (id.inode >= kMaxInode || live_.count(id) != 0) continue;
          if (item.key.type == kBtrfsInodeItem) {
            const std::optional<BtrfsInode> i = ParseBtrfsInode(item.data);
            Known& k = old_[id];
            if (!i || k.generation > h.generation) continue;
            k.inode = *i;
            k.generation = h.generation;
          } else if (item.key.type == kBtrfsInodeRef && item.key.offset != id.inode) {
            std::vector<BtrfsName> names = ParseBtrfsInodeRefs(item.data);
            OldName& o = oldNames_[id];
            if (names.empty() || (o.generation >= h.generation && !o.name.empty())) continue;
            o = {h.generation, item.key.offset, std::move(names.front().name)};
          } else if (item.key.type == kBtrfsDirIndex) {
            for (BtrfsDirEntry& e : ParseBtrfsDirEntries(item.data)) {
              const FileId child{h.owner, e.location.objectId};
              if (e.location.type != kBtrfsInodeItem || child.inode >= kMaxInode || live_.count(child) != 0)
                continue;
              OldName& o = oldNames_[child];
              if (o.generation > h.generation && !o.name.empty()) continue;
              o = {h.generation, id.inode, std::move(e.name)};
            }
          } else if (item.key.type == kBtrfsExtentData) {
            const std::optional<BtrfsFileExtent> e = ParseBtrfsFileExtent(item.data, item.key.offset);
            if (!e) continue;
            std::vector<std::pair<uint64_t, BtrfsFileExtent>>& versions = oldExtents_[id][item.key.offset];
            const auto same = [&](const std::pair<uint64_t, BtrfsFileExtent>& v) {
              return v.second.diskBytenr == e->diskBytenr && v.second.offset == e->offset &&
                     v.second.inlineData == e->inlineData;
            };
            if (std::any_of(versions.begin(), versions.end(), same)) continue;
            const auto older = std::find_if(versions.begin(), versions.end(),
                                            [&](const auto& v) { return v.first < h.generation; });
            versions.emplace(older, h.generation, *e);
            if (versions.size() > kMaxVersions) versions.pop_back();
          }
        }
      }
      done += n;
      if (ReportDue()) Report(std::min(lastProgress_ + 1, 89), -1);
    }
  }
}

void CFastBtrfsRecovery::Survey() {
  if (surveyed_ || !super_) return;
  surveyed_ = true;
  live_.clear();
  entries_.clear();
  treesSurveyed_.clear();
  old_.clear();
  oldNames_.clear();
  oldExtents_.clear();
  SurveyTree(kBtrfsFsTree);
  // Subvolumes are folders of their parents' trees, each with its own tree below.
  for (size_t i = 0; i < entries_.size(); ++i)
    if (entries_[i].subvolume) SurveyTree(entries_[i].child.tree);
  SurveyExtentTree();
  SurveyOldLeaves();
}

std::vector<BtrfsFileExtent> CFastBtrfsRecovery::ExtentsOf(const FileId& id, bool deleted) {
  std::vector<BtrfsFileExtent> all;
  if (deleted) {
    Survey();
    const auto it = oldExtents_.find(id);
    return it != oldExtents_.end() ? Newest(it->second) : all;
  }
  const auto root = Trees().find(id.tree);
  if (root == Trees().end() || !IsFileTree(id.tree)) return all;
  WalkTree(root->second.bytenr, root->second.level, {id.inode, kBtrfsExtentData, 0},
           {id.inode, kBtrfsExtentData, UINT64_MAX},
           [&](const BtrfsLeafItem& item, const BtrfsHeader&, uint64_t) {
             if (auto e = ParseBtrfsFileExtent(item.data, item.key.offset)) all.push_back(std::move(*e));
           });
  return InFileOrder(std::move(all));
}

bool CFastBtrfsRecovery::InUse(const BtrfsFileExtent& e) const {
  return usedKnown_ && e.type == kBtrfsExtentRegular && e.diskBytenr != 0 &&
         Meets(used_, e.diskBytenr, e.diskBytes);
}

std::vector<BtrfsFileExtent> CFastBtrfsRecovery::Newest(const Extents& extents) const {
  std::vector<BtrfsFileExtent> out;
  for (const auto& [offset, versions] : extents) {
    if (versions.empty()) continue;
    const auto free =
        std::find_if(versions.begin(), versions.end(), [&](const auto& v) { return !InUse(v.second); });
    out.push_back((free != versions.end() ? *free : versions.front()).second);
  }
  return InFileOrder(std::move(out));
}

uint32_t CFastBtrfsRecovery::FolderKey(const FileId& id) {
  if (id == FileId{kBtrfsFsTree, kBtrfsFirstFreeObject}) return kRootKey;
  const auto [it, fresh] =
      folderKeys_.try_emplace(id, static_cast<uint32_t>(kRootKey + 1 + folderKeys_.size()));
  return it->second;
}

FoundFileRecord CFastBtrfsRecovery::MakeRecord(const std::string& name, const FileId& id,
                                               const Known& known) {
  const BtrfsInode& n = known.inode;
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = driveLetter_;
  r.sourceKind = static_cast<uint32_t>(SourceKind::kBtrfsQuick);
  r.isFolder = n.IsDirectory() ? 1 : 0;
  r.isDeleted = r.isFolder != 0 ? 0 : kExistingFile;
  r.isIntact = 1;
  r.entryRef = r.isFolder != 0 ? FolderKey(id) : static_cast<uint32_t>(id.inode);
  r.clusterSize = super_->sectorSize;
  r.creationTime = os::FileTimeOfUnix(n.createTime.seconds, n.createTime.ns);
  r.writeTime = os::FileTimeOfUnix(n.writeTime.seconds, n.writeTime.ns);
  r.accessTime = os::FileTimeOfUnix(n.accessTime.seconds, n.accessTime.ns);
  r.entryLocation = LocationOf(id);
  r.volumeStartSector = volumeStart_;
  r.SetName(name);
  if (r.isFolder != 0) return r;
  // What follows the last mapped byte is not known, and holes longer than the volume are none a writer left:
  // a crafted size or extent must not make recovery write zeros without end.
  const uint64_t volumeBytes = volumeSectors_ * sectorSize_;
  r.fileSize = std::min({n.size, known.mappedEnd, known.stored + volumeBytes});
  if (r.fileSize < n.size) r.isIntact = 0;
  r.dataStartSector = known.firstSector;
  return r;
}

void CFastBtrfsRecovery::ListDeleted() {
  // Where each deleted file's folder is catalogued: a live folder, or a deleted one its old leaves still name
  // (made once, below its own folder); else "LostFolders".
  std::unordered_map<FileId, std::pair<uint32_t, uint32_t>, FileIdHash> placed;  // key, depth of its files
  std::unordered_set<FileId, FileIdHash> placing;
  std::optional<uint32_t> lostDepth;
  const auto lost = [&]() -> std::pair<uint32_t, uint32_t> {
    if (!lostDepth) {
      FoundFileRecord r = MakeEmptyRecord();
      r.driveLetter = driveLetter_;
      r.sourceKind = static_cast<uint32_t>(SourceKind::kBtrfsQuick);
      r.isFolder = 1;
      r.isDeleted = 1;
      r.isIntact = 1;
      r.entryRef = kLostFoldersKey;
      r.clusterSize = super_->sectorSize;
      r.volumeStartSector = volumeStart_;
      r.SetName("LostFolders");
      catalogue_->ReserveRecord(r);
      catalogue_->AddToFolder(kRootKey, 0, r.recordId, kLostFoldersKey, r.Name());
      lostDepth = 1;
    }
    return {kLostFoldersKey, *lostDepth};
  };
  std::function<std::optional<std::pair<uint32_t, uint32_t>>(const FileId&, uint32_t)> place =
      [&](const FileId& folder, uint32_t guard) -> std::optional<std::pair<uint32_t, uint32_t>> {
    if (const auto it = placed.find(folder); it != placed.end()) return it->second;
    const auto known = old_.find(folder);
    const auto name = oldNames_.find(folder);
    if (guard > kMaxFolderDepth || known == old_.end() || !known->second.inode.IsDirectory() ||
        name == oldNames_.end() || name->second.name.empty() || !placing.insert(folder).second)
      return std::nullopt;
    const std::optional<std::pair<uint32_t, uint32_t>> parent =
        place({folder.tree, name->second.folder}, guard + 1);
    if (!parent) return std::nullopt;
    FoundFileRecord r = MakeRecord(name->second.name, folder, known->second);
    r.isDeleted = 1;
    catalogue_->ReserveRecord(r);
    catalogue_->AddToFolder(parent->first, parent->second, r.recordId, r.entryRef, r.Name());
    return placed[folder] = {r.entryRef, parent->second + 1};
  };
  for (const auto& [id, depth] : liveFolderDepth_) placed[id] = {FolderKey(id), depth};
  // Even where the live trees could not be read.
  placed[{kBtrfsFsTree, kBtrfsFirstFreeObject}] = {kRootKey, 0};

  std::vector<FileId> files;
  for (const auto& [id, known] : old_)
    if (known.inode.IsRegular() && known.inode.size != 0 && live_.count(id) == 0) files.push_back(id);
  std::sort(files.begin(), files.end());
  std::vector<uint8_t> first(super_->sectorSize);
  CarvingContext context;
  for (const FileId& id : files) {
    Known known = old_[id];
    const std::vector<BtrfsFileExtent> extents = Newest(oldExtents_[id]);
    if (extents.empty()) continue;
    for (const BtrfsFileExtent& e : extents) Count(known, e);
    const BtrfsFileExtent& head = extents.front();
    if (head.type == kBtrfsExtentRegular && head.diskBytenr != 0 && head.compression == 0)
      if (const auto p = chunks_.Map(head.diskBytenr + head.offset))
        known.firstSector = p->copies.front() / sectorSize_;
    const auto name = oldNames_.find(id);
    std::optional<std::pair<uint32_t, uint32_t>> folder;
    if (name != oldNames_.end() && !name->second.name.empty())
      folder = place({id.tree, name->second.folder}, 0);
    std::string fileName = folder ? name->second.name : std::to_string(id.inode);
    if (!folder) {
      folder = lost();
      // The extension its first bytes' type gives.
      if (head.fileOffset == 0 && head.type == kBtrfsExtentRegular && head.compression == 0 &&
          head.diskBytenr != 0 && ReadLogical(head.diskBytenr + head.offset, first)) {
        context.Begin(&reader_, sectorSize_, volumeStart_ + known.firstSector);
        if (const CarvingTypeRow* row = FirstRowWithCode(DetectType(context, first)); row != nullptr)
          fileName += "." + std::string(row->extension);
      }
    }
    FoundFileRecord r = MakeRecord(fileName, id, known);
    r.isDeleted = 1;
    // Blocks given to another file since are not this file's any more.
    if (std::any_of(extents.begin(), extents.end(), [&](const BtrfsFileExtent& e) { return InUse(e); }))
      r.isIntact = 0;
    catalogue_->ReserveRecord(r);
    catalogue_->AddToFolder(folder->first, folder->second, r.recordId, r.entryRef);
  }
}

int32_t CFastBtrfsRecovery::Scan(std::string_view logName) {
  if (!open_) return static_cast<int32_t>(err::kInvalidParameter);
  if (!logName.empty()) return static_cast<int32_t>(OpenCatalogue(logName, log_prefix::kFast));
  if (uint32_t e = OpenCatalogue({}, log_prefix::kFast); e != err::kSuccess) return static_cast<int32_t>(e);
  folderKeys_.clear();
  liveFolderDepth_.clear();
  surveyed_ = false;
  int32_t result = Report(1, -1);
  if (!super_) return CloseScan(result);
  Survey();
  std::unordered_map<FileId, std::vector<const Entry*>, FileIdHash> children;
  for (const Entry& e : entries_) children[e.folder].push_back(&e);
  // Breadth first from the root folder; a folder is read once, however often it is named.
  const FileId root{kBtrfsFsTree, kBtrfsFirstFreeObject};
  std::deque<FileId> queue{root};
  liveFolderDepth_[root] = 0;
  while (!queue.empty() && result == 0) {
    const FileId folder = queue.front();
    queue.pop_front();
    const uint32_t depth = liveFolderDepth_[folder];
    const auto list = children.find(folder);
    if (list == children.end()) continue;
    for (const Entry* e : list->second) {
      const auto known = live_.find(e->child);
      if (known == live_.end() || e->name.find('/') != std::string::npos) continue;
      const BtrfsInode& n = known->second.inode;
      if (!n.IsDirectory() && !n.IsRegular()) continue;
      FoundFileRecord r = MakeRecord(e->name, e->child, known->second);
      if (n.IsDirectory()) {
        if (depth + 1 > kMaxFolderDepth || !liveFolderDepth_.emplace(e->child, depth + 1).second) continue;
        catalogue_->ReserveRecord(r);
        catalogue_->AddToFolder(FolderKey(folder), depth, r.recordId, r.entryRef, r.Name());
        queue.push_back(e->child);
        continue;
      }
      catalogue_->ReserveRecord(r);
      catalogue_->AddToFolder(FolderKey(folder), depth, r.recordId, r.entryRef);
    }
    if (ReportDue()) result = Report(std::min(lastProgress_ + 1, 89), -1);
  }
  if (result == 0) {
    result = Report(90, -1);
    ListDeleted();
    BuildAllocationMap();
  }
  if (result == 0) result = Report(100, 0);
  return CloseScan(result);
}

int32_t CFastBtrfsRecovery::ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) {
  if (!super_) return static_cast<int32_t>(err::kInvalidParameter);
  const FileId id{record.entryLocation >> 40, record.entryLocation & (kMaxInode - 1)};
  const std::vector<BtrfsFileExtent> extents = ExtentsOf(id, (record.isDeleted & 1) != 0);
  if (extents.empty()) return static_cast<int32_t>(err::kReadFault);
  total = std::min(total, record.fileSize);
  uint64_t done = 0;
  std::vector<uint8_t> buffer;
  auto emit = [&](ByteSpan piece) -> int32_t {
    const auto n = static_cast<size_t>(std::min<uint64_t>(piece.size(), total - done));
    done += n;
    return n == 0 ? 0 : sink(piece.first(n));
  };
  auto zeros = [&](uint64_t upTo) -> int32_t {
    buffer.assign(64 * 1024, 0);
    while (done < std::min(total, upTo)) {
      const auto gap = static_cast<size_t>(std::min<uint64_t>(buffer.size(), std::min(total, upTo) - done));
      if (int32_t r = emit(ByteSpan(buffer).first(gap)); r != 0) return r;
    }
    return 0;
  };
  // Holes, preallocated extents and what a damaged stream did not give read as zeros.
  for (const BtrfsFileExtent& e : extents) {
    if (done >= total) break;
    if (int32_t r = zeros(e.fileOffset); r != 0) return r;
    if (e.type == kBtrfsExtentInline) {
      if (e.compression == kBtrfsCompressNone) {
        if (int32_t r = emit(e.inlineData); r != 0) return r;
      } else {
        const std::optional<BtrfsExpanded> x =
            BtrfsDecompress(e.inlineData, e.compression, e.ramBytes, super_->sectorSize);
        if (!x || !x->whole) return static_cast<int32_t>(err::kReadFault);
        if (int32_t r = emit(x->bytes); r != 0) return r;
      }
    } else if (e.type == kBtrfsExtentPrealloc || e.diskBytenr == 0) {
      if (int32_t r = zeros(e.fileOffset + e.bytes); r != 0) return r;
    } else if (e.compression == kBtrfsCompressNone) {
      for (uint64_t at = 0; at < e.bytes && done < total;) {
        const auto n = static_cast<size_t>(std::min<uint64_t>(1u << 20, e.bytes - at));
        buffer.resize(n);
        if (!ReadLogical(e.diskBytenr + e.offset + at, buffer)) return static_cast<int32_t>(err::kReadFault);
        if (int32_t r = emit(buffer); r != 0) return r;
        at += n;
      }
    } else {
      buffer.resize(static_cast<size_t>(e.diskBytes));
      if (!ReadLogical(e.diskBytenr, buffer)) return static_cast<int32_t>(err::kReadFault);
      const std::optional<BtrfsExpanded> x =
          BtrfsDecompress(buffer, e.compression, e.ramBytes, super_->sectorSize);
      if (!x || !x->whole) return static_cast<int32_t>(err::kReadFault);
      if (int32_t r =
              emit(ByteSpan(x->bytes).subspan(static_cast<size_t>(e.offset), static_cast<size_t>(e.bytes)));
          r != 0)
        return r;
    }
  }
  return zeros(total);
}

int32_t CFastBtrfsRecovery::BuildAllocationMap() {
  freeRuns_.clear();
  freeKnown_ = false;
  if (!super_) return 1;
  if (!usedKnown_) SurveyExtentTree();
  if (!usedKnown_) return 1;
  // Device bytes in use: each copy of every used logical run. The rest of the volume is free, unallocated
  // space included.
  std::vector<std::pair<uint64_t, uint64_t>> inUse;
  for (const BtrfsChunk& c : chunks_.Chunks()) {
    auto it =
        std::upper_bound(used_.begin(), used_.end(), c.logical,
                         [](uint64_t b, const std::pair<uint64_t, uint64_t>& r) { return b < r.first; });
    if (it != used_.begin()) --it;
    for (; it != used_.end() && it->first < c.logical + c.length && inUse.size() < kMaxRuns; ++it) {
      const uint64_t first = std::max(it->first, c.logical);
      const uint64_t end = std::min(it->first + it->second, c.logical + c.length);
      if (first >= end) continue;
      for (const BtrfsStripe& s : c.stripes) inUse.emplace_back(s.offset + (first - c.logical), end - first);
    }
  }
  SortAndMerge(inUse);
  const uint64_t volumeBytes = volumeSectors_ * sectorSize_;
  uint64_t at = 0;
  const auto addFree = [&](uint64_t from, uint64_t to) {
    const uint64_t first = (from + sectorSize_ - 1) / sectorSize_;
    const uint64_t end = std::min(to, volumeBytes) / sectorSize_;
    if (first < end) freeRuns_.emplace_back(first, end - first);
  };
  for (const auto& [first, count] : inUse) {
    if (first > at) addFree(at, first);
    at = std::max(at, first + count);
  }
  addFree(at, volumeBytes);
  freeKnown_ = true;
  return 0;
}

int32_t CFastBtrfsRecovery::NextUnallocatedRun(uint64_t& sector, uint64_t& length) {
  length = 0;
  if (!super_ || !freeKnown_) return 0;
  auto it =
      std::upper_bound(freeRuns_.begin(), freeRuns_.end(), sector,
                       [](uint64_t s, const std::pair<uint64_t, uint64_t>& run) { return s < run.first; });
  if (it != freeRuns_.begin() && std::prev(it)->first + std::prev(it)->second > sector) --it;
  if (it == freeRuns_.end()) {
    sector = volumeSectors_;
    return 1;
  }
  const uint64_t start = std::max(sector, it->first);
  sector = start;
  length = it->first + it->second - start;
  return 1;
}

}  // namespace snapsave
