#include "fs/xfs/xfs_structures.h"

#include <algorithm>
#include <bit>

namespace snapsave {

namespace {

constexpr uint32_t kSuperMagic = 0x58465342;   // "XFSB"
constexpr uint16_t kInodeMagic = 0x494e;       // "IN"
constexpr uint32_t kBmapMagicV5 = 0x424d4133;  // "BMA3"
constexpr uint32_t kBmapMagicV4 = 0x424d4150;  // "BMAP"
constexpr uint32_t kDirBlockV5 = 0x58444233;   // "XDB3": a folder of one block, entries and leaf
constexpr uint32_t kDirDataV5 = 0x58444433;    // "XDD3": a data block of a larger folder
constexpr uint32_t kDirBlockV4 = 0x58443242;   // "XD2B"
constexpr uint32_t kDirDataV4 = 0x58443244;    // "XD2D"
constexpr uint32_t kFreeMagicV5 = 0x41423342;  // "AB3B"
constexpr uint32_t kFreeMagicV4 = 0x41425442;  // "ABTB"
constexpr uint32_t kAgfMagic = 0x58414746;     // "XAGF"
constexpr uint32_t kIncompatFileType = 1;
constexpr uint32_t kIncompatNrext64 = 0x20;
constexpr uint32_t kFeatures2FileType = 0x200;
constexpr uint64_t kFlags2BigTime = 1u << 3;
constexpr uint64_t kFlags2Nrext64 = 1u << 4;
constexpr uint16_t kFreeTag = 0xffff;

bool PowerOfTwo(uint64_t v, uint64_t low, uint64_t high) {
  return v >= low && v <= high && std::has_single_bit(v);
}

uint8_t Log2(uint64_t v) {
  return static_cast<uint8_t>(std::bit_width(v) - 1);
}

// Seconds and nanoseconds of an inode time: seconds and nanoseconds, or with big timestamps nanoseconds
// counted from the earliest time the small form holds.
void Time(ByteSpan b, size_t off, bool big, int64_t& seconds, uint32_t& ns) {
  if (big) {
    const uint64_t v = Be64(b, off);
    seconds = static_cast<int64_t>(v / 1000000000u) - (int64_t{1} << 31);
    ns = static_cast<uint32_t>(v % 1000000000u);
  } else {
    seconds = static_cast<int32_t>(Be32(b, off));
    ns = std::min<uint32_t>(Be32(b, off + 4), 999999999u);
  }
}

}  // namespace

std::optional<uint64_t> XfsGeometry::VolumeBlock(uint64_t fsBlock) const {
  const uint64_t ag = fsBlock >> agBlockLog;
  const uint64_t agBlock = fsBlock & ((uint64_t{1} << agBlockLog) - 1);
  if (ag >= agCount || agBlock >= agBlocks) return std::nullopt;
  const uint64_t block = ag * agBlocks + agBlock;
  if (block >= dataBlocks) return std::nullopt;
  return block;
}

std::optional<uint64_t> XfsGeometry::InodeByte(uint64_t number) const {
  const unsigned agInodeBits = unsigned{agBlockLog} + inodesPerBlockLog;
  if (agInodeBits >= 64) return std::nullopt;
  const uint64_t ag = number >> agInodeBits;
  const uint64_t agInode = number & ((uint64_t{1} << agInodeBits) - 1);
  const uint64_t agBlock = agInode >> inodesPerBlockLog;
  const uint64_t slot = agInode & ((uint64_t{1} << inodesPerBlockLog) - 1);
  if (ag >= agCount || agBlock >= agBlocks) return std::nullopt;
  const uint64_t block = ag * agBlocks + agBlock;
  if (block >= dataBlocks) return std::nullopt;
  return block * blockSize + slot * inodeSize;
}

bool IsXfsSuperblock(ByteSpan sector) {
  return ParseXfsSuperblock(sector).has_value();
}

std::optional<XfsGeometry> ParseXfsSuperblock(ByteSpan sb) {
  if (!Has(sb, 0, 512) || Be32(sb, 0) != kSuperMagic) return std::nullopt;
  XfsGeometry g;
  g.blockSize = Be32(sb, 4);
  g.dataBlocks = Be64(sb, 8);
  g.rootInode = Be64(sb, 56);
  g.agBlocks = Be32(sb, 84);
  g.agCount = Be32(sb, 88);
  const uint16_t version = Be16(sb, 100);
  g.sectorSize = Be16(sb, 102);
  g.inodeSize = Be16(sb, 104);
  const uint16_t inodesPerBlock = Be16(sb, 106);
  g.blockLog = Le8(sb, 120);
  g.inodesPerBlockLog = Le8(sb, 123);
  g.agBlockLog = Le8(sb, 124);
  g.dirBlockLog = Le8(sb, 192);
  g.freeBlocks = Be64(sb, 144);
  g.logStart = Be64(sb, 48);
  g.logBlocks = Be32(sb, 96);
  const unsigned kind = version & 0xf;
  if (kind != 4 && kind != 5) return std::nullopt;
  g.v5 = kind == 5;
  if (!PowerOfTwo(g.blockSize, 512, 65536) || Log2(g.blockSize) != g.blockLog) return std::nullopt;
  if (!PowerOfTwo(g.sectorSize, 512, 32768) || g.sectorSize > g.blockSize) return std::nullopt;
  if (!PowerOfTwo(g.inodeSize, 256, 2048) || g.inodeSize > g.blockSize) return std::nullopt;
  if (inodesPerBlock != g.blockSize / g.inodeSize || Log2(inodesPerBlock) != g.inodesPerBlockLog)
    return std::nullopt;
  if (g.agBlocks < 16 || g.agCount == 0 || g.agBlockLog > 31 ||
      g.agBlockLog != std::bit_width(g.agBlocks - 1u))
    return std::nullopt;
  if (g.dataBlocks == 0 || g.dataBlocks > uint64_t{g.agCount} * g.agBlocks ||
      g.dataBlocks <= uint64_t{g.agCount - 1} * g.agBlocks)
    return std::nullopt;
  if (g.blockLog + g.dirBlockLog > 16 || g.rootInode == 0) return std::nullopt;
  if (g.v5) {
    g.fileTypes = (Be32(sb, 216) & kIncompatFileType) != 0;
    g.nrext64 = (Be32(sb, 216) & kIncompatNrext64) != 0;
  } else {
    g.fileTypes = (Be32(sb, 200) & kFeatures2FileType) != 0;
  }
  for (size_t i = 108; i < 120 && sb[i] != 0; ++i) g.label += static_cast<char>(sb[i]);
  if (!g.InodeByte(g.rootInode)) return std::nullopt;
  return g;
}

XfsExtent DecodeXfsExtent(ByteSpan record) {
  const uint64_t l0 = Be64(record, 0);
  const uint64_t l1 = Be64(record, 8);
  XfsExtent e;
  e.unwritten = (l0 >> 63) != 0;
  e.logical = (l0 & ~(uint64_t{1} << 63)) >> 9;
  e.block = ((l0 & 0x1ff) << 43) | (l1 >> 21);
  e.count = l1 & 0x1fffff;
  return e;
}

std::optional<XfsInode> ParseXfsInode(ByteSpan b, const XfsGeometry& g) {
  if (!Has(b, 0, g.inodeSize) || Be16(b, 0) != kInodeMagic) return std::nullopt;
  const uint8_t version = Le8(b, 4);
  if (version < 1 || version > 3 || (g.v5 != (version == 3))) return std::nullopt;
  XfsInode n;
  n.mode = Be16(b, 2);
  n.format = Le8(b, 5);
  const uint64_t size = Be64(b, 56);
  if (size > (uint64_t{1} << 63) - 1) return std::nullopt;
  n.size = size;
  const uint64_t flags2 = version == 3 ? Be64(b, 120) : 0;
  n.extentCount = g.nrext64 && (flags2 & kFlags2Nrext64) != 0 ? Be64(b, 24) : Be32(b, 76);
  const bool big = (flags2 & kFlags2BigTime) != 0;
  Time(b, 32, big, n.accessTime, n.accessNs);
  Time(b, 40, big, n.writeTime, n.writeNs);
  Time(b, 48, big, n.changeTime, n.changeNs);
  if (version == 3) Time(b, 144, big, n.createTime, n.createNs);
  const size_t core = version == 3 ? 176 : 100;
  const size_t forkOffset = size_t{Le8(b, 82)} * 8;
  const size_t end = forkOffset != 0 ? core + forkOffset : g.inodeSize;
  if (end > g.inodeSize || end < core) return std::nullopt;
  n.dataFork.assign(b.begin() + static_cast<std::ptrdiff_t>(core),
                    b.begin() + static_cast<std::ptrdiff_t>(end));
  return n;
}

std::vector<XfsExtent> XfsForkExtents(ByteSpan fork, uint64_t count) {
  std::vector<XfsExtent> out;
  for (uint64_t i = 0; i < count && Has(fork, i * 16, 16); ++i)
    out.push_back(DecodeXfsExtent(fork.subspan(i * 16, 16)));
  return out;
}

std::optional<XfsBmapNode> ParseXfsBmapRoot(ByteSpan fork) {
  if (fork.size() < 4 + 16) return std::nullopt;
  XfsBmapNode n;
  n.level = Be16(fork, 0);
  const uint16_t records = Be16(fork, 2);
  const size_t most = (fork.size() - 4) / 16;
  if (n.level == 0 || records == 0 || records > most) return std::nullopt;
  for (size_t i = 0; i < records; ++i) n.children.push_back(Be64(fork, 4 + most * 8 + i * 8));
  return n;
}

std::optional<XfsBmapNode> ParseXfsBmapBlock(ByteSpan block, const XfsGeometry& g) {
  const uint32_t magic = Be32(block, 0);
  if (magic != (g.v5 ? kBmapMagicV5 : kBmapMagicV4)) return std::nullopt;
  const size_t header = g.v5 ? 72 : 24;
  if (block.size() <= header + 16) return std::nullopt;
  XfsBmapNode n;
  n.level = Be16(block, 4);
  const uint16_t records = Be16(block, 6);
  const size_t most = (block.size() - header) / 16;
  if (records > most) return std::nullopt;
  if (n.level == 0) {
    for (size_t i = 0; i < records; ++i)
      n.extents.push_back(DecodeXfsExtent(block.subspan(header + i * 16, 16)));
  } else {
    for (size_t i = 0; i < records; ++i) n.children.push_back(Be64(block, header + most * 8 + i * 8));
  }
  return n;
}

std::vector<XfsDirEntry> ParseXfsShortformDir(ByteSpan fork, const XfsGeometry& g) {
  std::vector<XfsDirEntry> out;
  const uint8_t count = Le8(fork, 0);
  const size_t inodeBytes = Le8(fork, 1) != 0 ? 8 : 4;
  size_t pos = 2 + inodeBytes;
  for (uint8_t i = 0; i < count; ++i) {
    const size_t nameLength = Le8(fork, pos);
    const size_t entry = 1 + 2 + nameLength + (g.fileTypes ? 1 : 0) + inodeBytes;
    if (nameLength == 0 || !Has(fork, pos, entry)) break;
    XfsDirEntry e;
    e.name.assign(reinterpret_cast<const char*>(fork.data() + pos + 3), nameLength);
    const size_t at = pos + 3 + nameLength + (g.fileTypes ? 1 : 0);
    e.inode = inodeBytes == 8 ? Be64(fork, at) : Be32(fork, at);
    out.push_back(std::move(e));
    pos += entry;
  }
  return out;
}

std::vector<XfsDirEntry> ParseXfsDirBlock(ByteSpan block, const XfsGeometry& g) {
  std::vector<XfsDirEntry> out;
  const uint32_t magic = Be32(block, 0);
  const bool single = magic == (g.v5 ? kDirBlockV5 : kDirBlockV4);
  if (!single && magic != (g.v5 ? kDirDataV5 : kDirDataV4)) return out;
  const size_t header = g.v5 ? 64 : 16;
  size_t end = block.size();
  if (single) {
    // The block form keeps its leaf at the end: a count of entries and of stale ones, after them.
    const uint64_t leaves = Be32(block, block.size() - 8);
    if (leaves > (block.size() - header - 8) / 8) return out;
    end = block.size() - 8 - static_cast<size_t>(leaves) * 8;
  }
  size_t pos = header;
  while (pos + 16 <= end) {
    if (Be16(block, pos) == kFreeTag) {
      const size_t length = Be16(block, pos + 2);
      if (length < 8 || length % 8 != 0 || length > end - pos) break;
      pos += length;
      continue;
    }
    const size_t nameLength = Le8(block, pos + 8);
    const size_t size = (8 + 1 + nameLength + (g.fileTypes ? 1 : 0) + 2 + 7) / 8 * 8;
    if (nameLength == 0 || size > end - pos || Be16(block, pos + size - 2) != pos) break;
    XfsDirEntry e;
    e.inode = Be64(block, pos);
    e.name.assign(reinterpret_cast<const char*>(block.data() + pos + 9), nameLength);
    out.push_back(std::move(e));
    pos += size;
  }
  return out;
}

uint64_t XfsDirLeafBlock(const XfsGeometry& g) {
  return (uint64_t{1} << 35) >> g.blockLog;
}

std::optional<XfsFreeNode> ParseXfsFreeBlock(ByteSpan block, const XfsGeometry& g) {
  if (Be32(block, 0) != (g.v5 ? kFreeMagicV5 : kFreeMagicV4)) return std::nullopt;
  const size_t header = g.v5 ? 56 : 16;
  if (block.size() <= header + 8) return std::nullopt;
  XfsFreeNode n;
  n.level = Be16(block, 4);
  const uint16_t records = Be16(block, 6);
  // Leaves hold runs of 8 bytes; nodes keys of 8 and pointers of 4.
  const size_t most = (block.size() - header) / (n.level == 0 ? 8 : 12);
  if (records > most) return std::nullopt;
  for (size_t i = 0; i < records; ++i) {
    if (n.level == 0) {
      n.runs.emplace_back(Be32(block, header + i * 8), Be32(block, header + i * 8 + 4));
    } else {
      n.children.push_back(Be32(block, header + most * 8 + i * 4));
    }
  }
  return n;
}

std::optional<XfsAgf> ParseXfsAgf(ByteSpan sector, uint32_t ag) {
  if (Be32(sector, 0) != kAgfMagic || Be32(sector, 4) != 1 || Be32(sector, 8) != ag) return std::nullopt;
  XfsAgf a;
  a.length = Be32(sector, 12);
  a.freeRoot = Be32(sector, 16);
  a.freeLevels = Be32(sector, 28);
  if (a.freeLevels == 0 || a.freeLevels > 16) return std::nullopt;
  return a;
}

}  // namespace snapsave
