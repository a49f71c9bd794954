#include "fs/exfat/exfat_volume.h"

#include <algorithm>

namespace snapsave {

namespace {

constexpr uint32_t kBootRegionSectors = 12;
constexpr size_t kFatWindowBytes = 65536;

}  // namespace

std::optional<ExfatGeometry> ReadExfatBootRegion(const SectorReader& reader, uint64_t volumeStart,
                                                 uint64_t volumeSectors) {
  const uint32_t device = reader.DeviceSectorSize();
  if (device == 0) return std::nullopt;
  std::vector<uint8_t> region(size_t{2} * kBootRegionSectors * 4096);
  const uint64_t wanted = std::min<uint64_t>(region.size() / device, volumeSectors);
  uint32_t got = 0;
  if (wanted > 0) reader.ReadSectors(region, static_cast<int32_t>(wanted), volumeStart, device, &got);
  // Past a sector that cannot be read, sector by sector: it stays zeros, which fails its region's checksum,
  // and the other region is whole again.
  for (uint64_t i = got; got < wanted && i < wanted; ++i) {
    uint32_t one = 0;
    reader.ReadSectors(std::span(region).subspan(static_cast<size_t>(i * device), device), 1, volumeStart + i,
                       device, &one);
    if (reader.SourceGone()) break;
  }
  if (got < wanted && !reader.SourceGone()) got = static_cast<uint32_t>(wanted);
  const ByteSpan bytes(region.data(), uint64_t{got} * device);
  for (uint32_t backup = 0; backup < 2; ++backup) {
    for (uint32_t shift = 9; shift <= 12; ++shift) {
      const uint32_t ss = 1u << shift;
      const size_t at = size_t{backup} * kBootRegionSectors * ss;
      if (!Has(bytes, at, size_t{kBootRegionSectors} * ss) || (volumeStart * device) % ss != 0) continue;
      const ByteSpan boot = bytes.subspan(at, size_t{kBootRegionSectors} * ss);
      if (!IsExfatBootSector(boot) || Le8(boot, 108) != shift ||
          !ChecksumSectorHolds(boot.subspan(size_t{11} * ss, ss), BootRegionChecksum(boot, ss)))
        continue;
      if (auto g = ParseExfatGeometry(boot, volumeStart * device / ss, volumeSectors * device / ss)) return g;
    }
  }
  return std::nullopt;
}

std::optional<uint32_t> ExfatVolume::FatEntry(uint32_t cluster) {
  const uint64_t byte = uint64_t{cluster} * 4;
  const uint64_t sector = byte / g_.sectorSize;
  if (sector >= g_.fatSectors) return std::nullopt;
  const uint64_t perWindow = kFatWindowBytes / g_.sectorSize;
  const uint64_t windowFirst = sector / perWindow * perWindow;
  if (windowFirst != fatWindowSector_) {
    fatWindowSector_ = UINT64_MAX;
    const uint64_t count = std::min<uint64_t>(perWindow, g_.fatSectors - windowFirst);
    fatWindow_.assign(static_cast<size_t>(count * g_.sectorSize), 0);
    uint32_t got = 0;
    reader_.ReadSectors(fatWindow_, static_cast<int32_t>(count), g_.volumeStart + g_.fatStart + windowFirst,
                        g_.sectorSize, &got);
    if (got != count) return std::nullopt;
    fatWindowSector_ = windowFirst;
  }
  return Le32(fatWindow_, static_cast<size_t>(byte - windowFirst * g_.sectorSize));
}

bool ExfatVolume::ReadCluster(uint32_t cluster, std::vector<uint8_t>& block) const {
  if (!g_.IsDataCluster(cluster)) return false;
  const uint64_t first = g_.ClusterSector(cluster);
  if (first + g_.sectorsPerCluster > g_.volumeStart + g_.volumeSectors) return false;
  block.resize(g_.clusterBytes);
  uint32_t got = 0;
  reader_.ReadSectors(block, static_cast<int32_t>(g_.sectorsPerCluster), first, g_.sectorSize, &got);
  return got == g_.sectorsPerCluster;
}

bool ExfatVolume::NextCluster(const ExfatExtent& extent, uint32_t& cluster) {
  if (extent.contiguous) {
    ++cluster;
    return true;
  }
  const std::optional<uint32_t> next = FatEntry(cluster);
  if (next && g_.IsDataCluster(*next)) {
    cluster = *next;
    return true;
  }
  // A freed chain (deleted, or a card formatted since): the likeliest place of the rest is the next cluster
  // that no live file holds.
  if (extent.chainMayBeFree && (!next || *next < kEndOfChain)) {
    do {
      ++cluster;
    } while (g_.IsDataCluster(cluster) && IsAllocated(cluster));
    return true;
  }
  return false;
}

bool ExfatVolume::ReadAllocationBitmap() {
  if (!bitmap_.empty()) return true;
  std::vector<uint8_t> root;
  if (!ReadCluster(g_.rootCluster, root)) return false;
  for (size_t at = 0; at + kExfatEntrySize <= root.size() && root[at] != exfat_entry::kEndOfDirectory;
       at += kExfatEntrySize) {
    if (root[at] != exfat_entry::kBitmap) continue;
    const uint64_t bytes = (uint64_t{g_.clusterCount} + 7) / 8;
    ExfatExtent extent{Le32(root, at + 20), std::min(Le64(root, at + 24), bytes), 0, false, false};
    extent.validLength = extent.length;
    std::vector<uint8_t> bits;
    const int32_t e = ReadExtent(extent, [&](std::span<const uint8_t> piece, uint32_t) -> int32_t {
      bits.insert(bits.end(), piece.begin(), piece.end());
      return 0;
    });
    if (e != 0 || bits.size() < bytes) return false;
    bitmap_ = std::move(bits);
    return true;
  }
  return false;
}

int32_t ExfatVolume::ReadRecordData(const FoundFileRecord& record, bool chainMayBeFree, uint64_t total,
                                    const PieceSink& sink) {
  std::optional<ExfatExtent> extent = StreamExtentAt(record.entryLocation, record.entryRef, chainMayBeFree);
  if (!extent) return static_cast<int32_t>(err::kInvalidData);
  extent->length = std::min(extent->length, total);
  return ReadExtent(*extent, [&](std::span<const uint8_t> piece, uint32_t) { return sink(piece); });
}

std::optional<ExfatExtent> ExfatVolume::StreamExtentAt(uint64_t position, uint32_t firstCluster,
                                                       bool chainMayBeFree) const {
  const uint64_t sector = position / g_.sectorSize;
  if (sector < g_.volumeStart || sector >= g_.volumeStart + g_.volumeSectors) return std::nullopt;
  std::vector<uint8_t> bytes(g_.sectorSize);
  uint32_t got = 0;
  reader_.ReadSectors(bytes, 1, sector, g_.sectorSize, &got);
  const auto at = static_cast<size_t>(position % g_.sectorSize);
  if (got != 1 || !Has(bytes, at, kExfatEntrySize) ||
      (bytes[at] | exfat_entry::kInUse) != exfat_entry::kStream || Le32(bytes, at + 20) != firstCluster)
    return std::nullopt;
  const uint64_t length = Le64(bytes, at + 24);
  return ExfatExtent{firstCluster, length, std::min(Le64(bytes, at + 8), length), (bytes[at + 1] & 0x02) != 0,
                     chainMayBeFree};
}

}  // namespace snapsave
