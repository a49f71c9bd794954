#include "fs/exfat/exfat_structures.h"

#include <algorithm>
#include <array>

#include "os/clock.h"
#include "os/text.h"

namespace snapsave {

namespace {

constexpr size_t kNameCharsPerEntry = 15;
constexpr size_t kMaxSecondaries = 18;     // a stream extension and 17 name entries: 255 characters
constexpr uint32_t kMaxClusterShift = 25;  // 32 MiB

// The rotate-right-and-add checksum exFAT uses for its boot region, entry sets and name hashes.
template <typename T>
T RotateAdd(T sum, uint8_t byte) {
  constexpr int kTop = 8 * sizeof(T) - 1;
  return static_cast<T>(static_cast<T>((sum & 1) != 0 ? T{1} << kTop : 0) + static_cast<T>(sum >> 1) + byte);
}

// Entry types with the in-use bit cleared: bitmap, up-case, label, file, the vendor entries, stream
// extension, name, vendor extension.
bool IsEntryType(uint8_t type) {
  switch (type & 0x7F) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x05:
    case 0x20:
    case 0x21:
    case 0x22:
    case 0x40:
    case 0x41:
    case 0x60:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool IsExfatDirectorySector(ByteSpan sector) {
  bool file = false;
  for (size_t at = 0; at + kExfatEntrySize <= sector.size(); at += kExfatEntrySize) {
    const uint8_t type = sector[at];
    if (type != exfat_entry::kEndOfDirectory && !IsEntryType(type)) return false;
    file = file || (type | exfat_entry::kInUse) == exfat_entry::kFile;
  }
  return file;
}

bool IsExfatBootSector(ByteSpan boot) {
  if (boot.size() < 512 || !BytesEqual(boot, 0, {0xEB, 0x76, 0x90}) || !BytesEqual(boot, 3, "EXFAT   ") ||
      !BytesEqual(boot, 510, {0x55, 0xAA}))
    return false;
  // Where FAT keeps its BIOS parameters, exFAT keeps zeros, so that no FAT driver mounts it.
  if (!std::all_of(boot.begin() + 11, boot.begin() + 64, [](uint8_t b) { return b == 0; })) return false;
  const uint32_t sectorShift = Le8(boot, 108), clusterShift = Le8(boot, 109);
  return sectorShift >= 9 && sectorShift <= 12 && sectorShift + clusterShift <= kMaxClusterShift &&
         (Le8(boot, 110) == 1 || Le8(boot, 110) == 2);
}

bool IsExfatVolume(ByteSpan probe) {
  if (!IsExfatBootSector(probe)) return false;
  const uint32_t ss = 1u << Le8(probe, 108);
  if (!Has(probe, 0, size_t{12} * ss)) return true;
  return ChecksumSectorHolds(probe.subspan(size_t{11} * ss, ss), BootRegionChecksum(probe, ss));
}

uint32_t BootRegionChecksum(ByteSpan region, uint32_t sectorSize) {
  uint32_t sum = 0;
  const size_t bytes = std::min<size_t>(region.size(), size_t{11} * sectorSize);
  for (size_t i = 0; i < bytes; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;  // volume flags, percentage in use
    sum = RotateAdd(sum, region[i]);
  }
  return sum;
}

bool ChecksumSectorHolds(ByteSpan checksumSector, uint32_t checksum) {
  if (checksumSector.size() < 4) return false;
  for (size_t i = 0; i + 4 <= checksumSector.size(); i += 4) {
    if (Le32(checksumSector, i) != checksum) return false;
  }
  return true;
}

uint64_t ExfatGeometry::ClusterSector(uint32_t cluster) const {
  return volumeStart + heapStart + uint64_t{cluster - 2} * sectorsPerCluster;
}

std::optional<ExfatGeometry> ParseExfatGeometry(ByteSpan boot, uint64_t volumeStart, uint64_t mediumSectors) {
  if (!IsExfatBootSector(boot)) return std::nullopt;
  ExfatGeometry g;
  g.sectorSize = 1u << Le8(boot, 108);
  g.sectorsPerCluster = 1u << Le8(boot, 109);
  g.clusterBytes = g.sectorSize * g.sectorsPerCluster;
  g.volumeStart = volumeStart;
  g.volumeSectors = Le64(boot, 72);
  if (mediumSectors != 0) g.volumeSectors = std::min(g.volumeSectors, mediumSectors);
  g.fatStart = Le32(boot, 80);
  g.fatSectors = Le32(boot, 84);
  g.heapStart = Le32(boot, 88);
  g.clusterCount = Le32(boot, 92);
  g.rootCluster = Le32(boot, 96);
  g.serialNumber = Le32(boot, 100);
  // The FAT behind the boot regions (24 sectors), the heap behind the FAT, the heap inside the volume as the
  // boot sector states it, and a FAT with an entry for every cluster.
  const uint64_t stated = Le64(boot, 72);
  const uint64_t heapSectors = uint64_t{g.clusterCount} * g.sectorsPerCluster;
  if (g.fatStart < 24 || g.fatSectors == 0 || g.clusterCount == 0 || g.clusterCount > 0xFFFFFFF5u - 1 ||
      uint64_t{g.fatStart} + g.fatSectors > g.heapStart || uint64_t{g.heapStart} + heapSectors > stated ||
      uint64_t{g.fatSectors} * g.sectorSize < (uint64_t{g.clusterCount} + 2) * 4 ||
      !g.IsDataCluster(g.rootCluster))
    return std::nullopt;
  return g;
}

uint64_t ExfatTimeToFileTime(const ExfatTime& t) {
  os::LocalTime c;
  c.year = 1980 + static_cast<int>(t.stamp >> 25);
  c.month = static_cast<int>((t.stamp >> 21) & 0x0F);
  c.day = static_cast<int>((t.stamp >> 16) & 0x1F);
  c.hour = static_cast<int>((t.stamp >> 11) & 0x1F);
  c.minute = static_cast<int>((t.stamp >> 5) & 0x3F);
  c.second = static_cast<int>((t.stamp & 0x1F) * 2);
  if (t.tenMs <= 199) {
    c.second += t.tenMs / 100;
    c.millisecond = t.tenMs % 100 * 10;
  }
  return os::FileTimeOfCivilTime(c);
}

uint16_t EntrySetChecksum(ByteSpan set, bool asLive) {
  uint16_t sum = 0;
  for (size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) continue;
    const bool typeByte = i % kExfatEntrySize == 0;
    sum = RotateAdd(sum, static_cast<uint8_t>(typeByte && asLive ? set[i] | exfat_entry::kInUse : set[i]));
  }
  return sum;
}

uint16_t NameHash(std::u16string_view upcased) {
  uint16_t hash = 0;
  for (char16_t c : upcased) {
    hash = RotateAdd(hash, static_cast<uint8_t>(c & 0xFF));
    hash = RotateAdd(hash, static_cast<uint8_t>(c >> 8));
  }
  return hash;
}

std::optional<ExfatEntrySet> ParseEntrySet(ByteSpan entries) {
  using namespace exfat_entry;
  if (entries.size() < 3 * kExfatEntrySize) return std::nullopt;
  const uint8_t type = entries[0];
  if ((type | kInUse) != kFile) return std::nullopt;
  const uint8_t inUse = type & kInUse;
  const size_t secondaries = entries[1];
  if (secondaries < 2 || secondaries > kMaxSecondaries ||
      entries.size() < (secondaries + 1) * kExfatEntrySize)
    return std::nullopt;
  const ByteSpan set = entries.first((secondaries + 1) * kExfatEntrySize);
  const ByteSpan stream = set.subspan(kExfatEntrySize, kExfatEntrySize);
  if (stream[0] != (kStream & ~(kInUse ^ inUse))) return std::nullopt;
  const size_t nameLength = stream[3];
  const size_t nameEntries = (nameLength + kNameCharsPerEntry - 1) / kNameCharsPerEntry;
  if (nameLength == 0 || nameEntries > secondaries - 1) return std::nullopt;
  for (size_t k = 0; k < nameEntries; ++k) {
    if (set[(2 + k) * kExfatEntrySize] != (kName & ~(kInUse ^ inUse))) return std::nullopt;
  }
  // Deleting a set clears each entry's in-use bit and leaves the checksum as it was.
  if (EntrySetChecksum(set, true) != Le16(set, 2)) return std::nullopt;

  ExfatEntrySet s;
  s.deleted = inUse == 0;
  s.entryCount = static_cast<uint8_t>(secondaries + 1);
  s.attributes = Le16(set, 4);
  s.created = {Le32(set, 8), Le8(set, 20), Le8(set, 22)};
  s.modified = {Le32(set, 12), Le8(set, 21), Le8(set, 23)};
  s.accessed = {Le32(set, 16), 0, Le8(set, 24)};
  s.allocationPossible = (stream[1] & 0x01) != 0;
  s.noFatChain = (stream[1] & 0x02) != 0;
  s.nameHash = Le16(stream, 4);
  s.validDataLength = Le64(stream, 8);
  s.firstCluster = Le32(stream, 20);
  s.dataLength = Le64(stream, 24);
  std::u16string name, upcased;
  for (size_t i = 0; i < nameLength; ++i) {
    const size_t entry = (2 + i / kNameCharsPerEntry) * kExfatEntrySize;
    const auto c = static_cast<char16_t>(Le16(set, entry + 2 + 2 * (i % kNameCharsPerEntry)));
    name.push_back(c);
    upcased.push_back(c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c);
  }
  s.name = os::Utf16ToUtf8(name);
  s.nameHashHolds = NameHash(upcased) == s.nameHash;
  return s;
}

bool IsExfatMetadataSector(ByteSpan s) {
  return s.size() >= 32 && s[0] == 0xEB && s[2] == 0x90 && BytesEqual(s, 3, "EXFAT   ");
}

}  // namespace snapsave
