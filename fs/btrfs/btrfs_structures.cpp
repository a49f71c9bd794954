#include "fs/btrfs/btrfs_structures.h"

#include <algorithm>
#include <bit>

namespace snapsave {

namespace {

constexpr uint64_t kIncompatMetadataUuid = 1u << 10;
constexpr size_t kChunkItemSize = 48;
constexpr size_t kStripeSize = 32;
constexpr size_t kInodeItemSize = 160;
constexpr size_t kDirEntryHeader = 30;
constexpr size_t kFileExtentHeader = 21;
constexpr size_t kFileExtentRegular = 53;
constexpr size_t kRootItemSize = 239;
// No stripe count, name or extent anywhere near these is made by the tools or the kernel.
constexpr uint16_t kMaxStripes = 256;
constexpr uint64_t kMaxCompressedRam = 1u << 20;  // the kernel's are at most 128 KiB

BtrfsTime TimeAt(ByteSpan b, size_t at) {
  return {static_cast<int64_t>(Le64(b, at)), Le32(b, at + 8)};
}

bool IsPowerOfTwoIn(uint32_t v, uint32_t low, uint32_t high) {
  return v >= low && v <= high && std::has_single_bit(v);
}

}  // namespace

BtrfsKey ParseBtrfsKey(ByteSpan b, size_t at) {
  return {Le64(b, at), Le8(b, at + 8), Le64(b, at + 9)};
}

uint32_t BtrfsCrc32c(ByteSpan bytes) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0x82F63B78u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (const uint8_t byte : bytes) crc = table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

bool IsBtrfsSuperblock(ByteSpan b, uint64_t at) {
  if (!Has(b, 0, kBtrfsSuperblockSize) || !BytesEqual(b, 0x40, "_BHRfS_M")) return false;
  const uint32_t sector = Le32(b, 0x90);
  const uint32_t node = Le32(b, 0x94);
  return IsPowerOfTwoIn(sector, 4096, 65536) && IsPowerOfTwoIn(node, sector, 65536) &&
         Le32(b, 0xA0) <= 2048 && Le64(b, 0x30) == at;
}

std::optional<BtrfsSuperblock> ParseBtrfsSuperblock(ByteSpan b, uint64_t at) {
  if (!IsBtrfsSuperblock(b, at)) return std::nullopt;
  BtrfsSuperblock s;
  s.checksumType = Le16(b, 0xC4);
  if (s.checksumType == 0 && Le32(b, 0) != BtrfsCrc32c(b.subspan(32, kBtrfsSuperblockSize - 32)))
    return std::nullopt;
  std::copy_n(b.begin() + 0x20, 16, s.fsid.begin());
  const uint64_t incompat = Le64(b, 0xBC);
  s.metadataUuid = s.fsid;
  if ((incompat & kIncompatMetadataUuid) != 0) std::copy_n(b.begin() + 0x23B, 16, s.metadataUuid.begin());
  s.generation = Le64(b, 0x48);
  s.root = Le64(b, 0x50);
  s.chunkRoot = Le64(b, 0x58);
  s.totalBytes = Le64(b, 0x70);
  s.bytesUsed = Le64(b, 0x78);
  s.numDevices = Le64(b, 0x88);
  s.sectorSize = Le32(b, 0x90);
  s.nodeSize = Le32(b, 0x94);
  s.rootLevel = Le8(b, 0xC6);
  s.chunkRootLevel = Le8(b, 0xC7);
  s.deviceId = Le64(b, 0xC9);
  s.deviceBytes = Le64(b, 0xD1);
  if (s.rootLevel >= 8 || s.chunkRootLevel >= 8 || s.numDevices == 0) return std::nullopt;
  const ByteSpan label = b.subspan(0x12B, 256);
  s.label.assign(label.begin(), std::find(label.begin(), label.end(), uint8_t{0}));
  const ByteSpan array = b.subspan(0x32B, Le32(b, 0xA0));
  s.chunkArray.assign(array.begin(), array.end());
  for (size_t i = 0; i < 4; ++i) {
    const size_t r = 0xB2B + i * 168;
    BtrfsBackupRoot backup{Le64(b, r), Le64(b, r + 8), Le8(b, r + 152)};
    if (backup.treeRoot != 0 && backup.treeRootLevel < 8) s.backupRoots.push_back(backup);
  }
  return s;
}

std::optional<BtrfsChunk> ParseBtrfsChunk(ByteSpan b, size_t at, uint64_t logical, size_t* used) {
  if (!Has(b, at, kChunkItemSize)) return std::nullopt;
  BtrfsChunk c;
  c.logical = logical;
  c.length = Le64(b, at);
  c.stripeLength = Le64(b, at + 16);
  c.type = Le64(b, at + 24);
  const uint16_t stripes = Le16(b, at + 44);
  if (c.length == 0 || logical + c.length < logical || stripes == 0 || stripes > kMaxStripes ||
      !Has(b, at + kChunkItemSize, size_t{stripes} * kStripeSize))
    return std::nullopt;
  for (uint16_t i = 0; i < stripes; ++i) {
    const size_t s = at + kChunkItemSize + size_t{i} * kStripeSize;
    c.stripes.push_back({Le64(b, s), Le64(b, s + 8)});
  }
  if (used != nullptr) *used = kChunkItemSize + size_t{stripes} * kStripeSize;
  return c;
}

std::vector<BtrfsChunk> ParseBtrfsChunkArray(ByteSpan array) {
  std::vector<BtrfsChunk> out;
  size_t at = 0;
  while (Has(array, at, kBtrfsKeySize)) {
    const BtrfsKey key = ParseBtrfsKey(array, at);
    size_t used = 0;
    const std::optional<BtrfsChunk> c = key.type == kBtrfsChunkItem
                                            ? ParseBtrfsChunk(array, at + kBtrfsKeySize, key.offset, &used)
                                            : std::nullopt;
    if (!c) break;
    out.push_back(*c);
    at += kBtrfsKeySize + used;
  }
  return out;
}

void BtrfsChunkMap::Add(const BtrfsChunk& chunk) {
  // Striped and parity profiles put one logical run on several devices in turn: not one device's to map.
  if ((chunk.type & (kBtrfsChunkRaid0 | kBtrfsChunkRaid10 | kBtrfsChunkRaid5 | kBtrfsChunkRaid6)) != 0)
    return;
  BtrfsChunk kept = chunk;
  std::erase_if(kept.stripes, [&](const BtrfsStripe& s) {
    return s.deviceId != deviceId_ || s.offset + chunk.length < s.offset;
  });
  if (kept.stripes.empty()) return;
  const auto at = std::lower_bound(chunks_.begin(), chunks_.end(), chunk.logical,
                                   [](const BtrfsChunk& c, uint64_t l) { return c.logical < l; });
  if (at != chunks_.end() && at->logical < chunk.logical + chunk.length) return;
  if (at != chunks_.begin() && std::prev(at)->logical + std::prev(at)->length > chunk.logical) return;
  chunks_.insert(at, std::move(kept));
}

std::optional<BtrfsChunkMap::Place> BtrfsChunkMap::Map(uint64_t logical) const {
  auto at = std::upper_bound(chunks_.begin(), chunks_.end(), logical,
                             [](uint64_t l, const BtrfsChunk& c) { return l < c.logical; });
  if (at == chunks_.begin()) return std::nullopt;
  --at;
  if (logical - at->logical >= at->length) return std::nullopt;
  Place p;
  for (const BtrfsStripe& s : at->stripes) p.copies.push_back(s.offset + (logical - at->logical));
  p.contiguous = at->length - (logical - at->logical);
  return p;
}

std::optional<BtrfsHeader> ParseBtrfsHeader(ByteSpan block) {
  if (!Has(block, 0, kBtrfsHeaderSize)) return std::nullopt;
  BtrfsHeader h;
  std::copy_n(block.begin() + 0x20, 16, h.fsid.begin());
  h.bytenr = Le64(block, 0x30);
  h.generation = Le64(block, 0x50);
  h.owner = Le64(block, 0x58);
  h.items = Le32(block, 0x60);
  h.level = Le8(block, 0x64);
  const size_t each = h.level == 0 ? 25 : 33;
  if (h.level >= 8 || h.items > (block.size() - kBtrfsHeaderSize) / each) return std::nullopt;
  return h;
}

std::vector<BtrfsLeafItem> BtrfsLeafItems(ByteSpan block, uint32_t items) {
  std::vector<BtrfsLeafItem> out;
  if (block.size() < kBtrfsHeaderSize) return out;
  const ByteSpan data = block.subspan(kBtrfsHeaderSize);
  for (uint32_t i = 0; i < items; ++i) {
    const size_t at = size_t{i} * 25;
    if (!Has(data, at, 25)) break;
    const uint32_t offset = Le32(data, at + 17);
    const uint32_t size = Le32(data, at + 21);
    if (!Has(data, offset, size) || offset < at + 25) continue;
    out.push_back({ParseBtrfsKey(data, at), data.subspan(offset, size)});
  }
  return out;
}

std::vector<BtrfsNodePointer> BtrfsNodePointers(ByteSpan block, uint32_t items) {
  std::vector<BtrfsNodePointer> out;
  for (uint32_t i = 0; i < items; ++i) {
    const size_t at = kBtrfsHeaderSize + size_t{i} * 33;
    if (!Has(block, at, 33)) break;
    out.push_back({ParseBtrfsKey(block, at), Le64(block, at + 17), Le64(block, at + 25)});
  }
  return out;
}

std::optional<BtrfsInode> ParseBtrfsInode(ByteSpan d) {
  if (!Has(d, 0, kInodeItemSize)) return std::nullopt;
  BtrfsInode n;
  n.generation = Le64(d, 0);
  n.transid = Le64(d, 8);
  n.size = Le64(d, 16);
  n.links = Le32(d, 40);
  n.mode = Le32(d, 52);
  n.flags = Le64(d, 64);
  n.accessTime = TimeAt(d, 0x70);
  n.changeTime = TimeAt(d, 0x7C);
  n.writeTime = TimeAt(d, 0x88);
  n.createTime = TimeAt(d, 0x94);
  return n;
}

std::vector<BtrfsName> ParseBtrfsInodeRefs(ByteSpan d) {
  std::vector<BtrfsName> out;
  size_t at = 0;
  while (Has(d, at, 10)) {
    const uint16_t length = Le16(d, at + 8);
    if (length == 0 || !Has(d, at + 10, length)) break;
    out.push_back({Le64(d, at), std::string(reinterpret_cast<const char*>(d.data() + at + 10), length)});
    at += 10 + size_t{length};
  }
  return out;
}

std::vector<BtrfsDirEntry> ParseBtrfsDirEntries(ByteSpan d) {
  std::vector<BtrfsDirEntry> out;
  size_t at = 0;
  while (Has(d, at, kDirEntryHeader)) {
    const uint16_t dataLength = Le16(d, at + 25);
    const uint16_t nameLength = Le16(d, at + 27);
    if (nameLength == 0 || !Has(d, at + kDirEntryHeader, size_t{nameLength} + dataLength)) break;
    BtrfsDirEntry e;
    e.location = ParseBtrfsKey(d, at);
    e.type = Le8(d, at + 29);
    e.name.assign(reinterpret_cast<const char*>(d.data() + at + kDirEntryHeader), nameLength);
    out.push_back(std::move(e));
    at += kDirEntryHeader + nameLength + dataLength;
  }
  return out;
}

std::optional<BtrfsFileExtent> ParseBtrfsFileExtent(ByteSpan d, uint64_t fileOffset) {
  if (!Has(d, 0, kFileExtentHeader)) return std::nullopt;
  BtrfsFileExtent e;
  e.fileOffset = fileOffset;
  e.generation = Le64(d, 0);
  e.ramBytes = Le64(d, 8);
  e.compression = Le8(d, 16);
  e.type = Le8(d, 20);
  if (Le8(d, 17) != 0 || Le16(d, 18) != 0 || e.compression > kBtrfsCompressZstd) return std::nullopt;
  if (e.type == kBtrfsExtentInline) {
    const ByteSpan data = d.subspan(kFileExtentHeader);
    if (e.compression == kBtrfsCompressNone) e.ramBytes = data.size();
    if (e.ramBytes > kMaxCompressedRam || fileOffset + e.ramBytes < fileOffset) return std::nullopt;
    e.inlineData.assign(data.begin(), data.end());
    return e;
  }
  if ((e.type != kBtrfsExtentRegular && e.type != kBtrfsExtentPrealloc) || !Has(d, 0, kFileExtentRegular))
    return std::nullopt;
  e.diskBytenr = Le64(d, 21);
  e.diskBytes = Le64(d, 29);
  e.offset = Le64(d, 37);
  e.bytes = Le64(d, 45);
  if (e.bytes == 0 || fileOffset + e.bytes < fileOffset || e.diskBytenr + e.diskBytes < e.diskBytenr)
    return std::nullopt;
  if (e.compression != kBtrfsCompressNone &&
      (e.ramBytes > kMaxCompressedRam || e.diskBytes > kMaxCompressedRam || e.offset > e.ramBytes ||
       e.bytes > e.ramBytes - e.offset))
    return std::nullopt;
  if (e.compression == kBtrfsCompressNone && e.diskBytenr != 0 &&
      (e.offset > e.diskBytes || e.bytes > e.diskBytes - e.offset))
    return std::nullopt;
  return e;
}

std::optional<BtrfsRootItem> ParseBtrfsRootItem(ByteSpan d) {
  if (!Has(d, 0, kRootItemSize)) return std::nullopt;
  BtrfsRootItem r{Le64(d, 160), Le64(d, 168), Le64(d, 176), Le8(d, 238)};
  if (r.level >= 8 || r.bytenr == 0) return std::nullopt;
  return r;
}

}  // namespace snapsave
