#include "fs/fat/fat_dir_block.h"

#include "filetypes/file_type_catalogue.h"
#include "os/text.h"

namespace snapsave {

namespace {
// Enough high words for any FAT32 volume of up to 2 TiB with 512-byte clusters.
constexpr uint32_t kProbeHighWords = 257;
}  // namespace

DirBlockWalk WalkDirectoryBlock(ByteSpan block, LongNameOverflow overflow,
                                const std::function<void(DirItem&&)>& visit) {
  LongNameCollector longName;
  size_t runStart = 0;
  for (size_t off = 0; off + kDirEntrySize <= block.size(); off += kDirEntrySize) {
    const ByteSpan rest = block.subspan(off);
    const DirEntryView e{rest.first(kDirEntrySize)};
    if (e.First() == 0) return {DirBlockEnd::kEndMarker, std::nullopt};
    if (!IsValidDirEntry(rest)) {
      longName.Clear();
      continue;
    }
    if (e.IsLongName()) {
      if (longName.Empty()) runStart = off;
      if (!longName.Add(e.bytes)) {
        if (overflow == LongNameOverflow::kEndsDirectory)
          return {DirBlockEnd::kLongNameOverflow, std::nullopt};
        longName.Clear();
      }
      continue;
    }
    std::optional<std::string> collected = longName.Take();
    if (e.IsVolumeLabel()) continue;
    if (e.IsDirectory() && (e.IsDotEntry() || e.IsDotDotEntry())) continue;
    visit(DirItem{off, e, std::move(collected)});
  }
  DirBlockWalk walk;
  if (!longName.Empty()) walk.openLongName = runStart;
  return walk;
}

namespace {

std::optional<std::array<uint8_t, 10>> PatternOf(const DirEntryView& e) {
  if (e.bytes.size() < 11) return std::nullopt;
  std::array<uint8_t, 10> key{};
  for (size_t i = 1; i < 11; ++i) {
    const uint8_t c = e.bytes[i];
    key[i - 1] = i < 8 && c >= '0' && c <= '9' ? '#' : c;
  }
  return key;
}

}  // namespace

bool SiblingNames::Note(const DirEntryView& e) {
  const uint8_t first = e.First();
  // '!' is the mark of a name with no guess: it would read as one.
  if (e.IsDeleted() || e.IsLongName() || first <= 0x20 || first >= 0x80 || first == '!') return false;
  const auto key = PatternOf(e);
  if (!key) return false;
  auto it = patterns_.find(*key);
  const bool added = it == patterns_.end();
  if (added) {
    if (patterns_.size() >= kMaxPatterns) return false;
    it = patterns_.emplace(*key, std::bitset<96>{}).first;
  }
  it->second.set(first - 0x20u);
  return added;
}

std::optional<char> SiblingNames::GuessFirst(const DirEntryView& e) const {
  const auto key = PatternOf(e);
  if (!key) return std::nullopt;
  const auto it = patterns_.find(*key);
  if (it == patterns_.end() || it->second.count() != 1) return std::nullopt;
  for (size_t c = 0; c < 96; ++c) {
    if (it->second.test(c)) return static_cast<char>(c + 0x20);
  }
  return std::nullopt;
}

std::string GuessedShortName(const DirEntryView& e, bool isDirectory, const SiblingNames& siblings,
                             bool& guessed) {
  std::string name = BuildShortName(e.bytes, isDirectory);
  guessed = false;
  if (!e.IsDeleted() || name.empty()) return name;
  if (const std::optional<char> first = siblings.GuessFirst(e)) {
    name[0] = Le8(e.bytes, 12) & kLowerCaseBase ? os::AsciiLower(*first) : *first;
    guessed = true;
  }
  return name;
}

uint32_t EntryCluster(const DirEntryView& e, bool fat32) {
  return (fat32 ? uint32_t{e.HighCluster()} << 16 : 0) | e.LowCluster();
}

bool StartsWithDots(ByteSpan block) {
  return Has(block, 0, 2 * kDirEntrySize) && DirEntryView{block.first(kDirEntrySize)}.IsDotEntry() &&
         BytesEqual(block, kDirEntrySize, "..");
}

FoundFileRecord MakeVolumeRecord(const FatRecordSource& source) {
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = static_cast<uint16_t>(source.driveLetter);
  r.sourceKind = static_cast<uint32_t>(source.kind);
  r.isIntact = 1;
  r.clusterSize = source.clusterBytes;
  r.dataStartSector = source.dataStart;
  r.volumeStartSector = source.volumeStart;
  return r;
}

FoundFileRecord MakeEntryRecord(const FatRecordSource& source, const DirEntryView& e, std::string_view name,
                                uint64_t entrySector, bool isFolder) {
  FoundFileRecord r = MakeVolumeRecord(source);
  r.isFolder = isFolder ? 1 : 0;
  r.creationTime = DecodeCreationTime(e.bytes);
  r.accessTime = DecodeAccessTime(e.bytes);
  r.writeTime = DecodeModificationTime(e.bytes);
  r.fileSize = isFolder ? 0 : e.Size();
  r.entryLocation = entrySector;
  r.SetName(name);
  return r;
}

uint32_t ProbeFirstCluster(uint32_t low, bool isFolder, std::string_view name, const ClusterSectorRead& read,
                           const SectorReader& source, uint32_t sectorSize) {
  const std::string_view ext = os::ExtensionOf(name);
  if (!isFolder && ext.empty()) return low;  // nothing could confirm a candidate
  std::vector<uint8_t> sector;
  std::optional<uint32_t> unreadable;
  for (uint32_t high = 0; high < kProbeHighWords; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (cluster < 2) continue;
    const std::optional<uint64_t> at = read(cluster, sector);
    if (!at) break;
    if (sector.empty()) {
      if (!unreadable) unreadable = cluster;
      continue;
    }
    const ByteSpan s(sector);
    if (isFolder ? StartsWithDots(s) : VerifyExtension(s, ext, &source, sectorSize, *at)) return cluster;
  }
  return unreadable.value_or(low);
}

uint32_t ContentCheck(uint32_t cluster, std::string_view name, const ClusterSectorRead& read,
                      const SectorReader& source, uint32_t sectorSize) {
  const std::string_view ext = os::ExtensionOf(name);
  if (ext.empty()) return 1;
  std::vector<uint8_t> sector;
  const std::optional<uint64_t> at = read(cluster, sector);
  if (!at || sector.empty()) return 1;
  return VerifyExtension(sector, ext, &source, sectorSize, *at) ? 1 : 0;
}

}  // namespace snapsave
