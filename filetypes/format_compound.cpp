// Compound documents (doc, xls, ppt, msg and Flash's fla): the writing application shows in the first
// stream, the root entry's class id or the directory's stream names; the sector FAT says how long the file
// is.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- Compound document (doc, xls, ppt, other OLE files)
// -------------------------------------------------------- Which application wrote it shows in the first
// stream (stored right behind the header), in the root entry's class id, or in the stream names of the first
// directory sector. Anything unreadable stays a plain "ole".
constexpr uint8_t kWordClassId[16] = {0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

constexpr uint8_t kExcelClassId[16] = {0x20, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

constexpr uint8_t kExcel5ClassId[16] = {0x10, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

constexpr uint8_t kPowerPointClassId[16] = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                            0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};

constexpr uint8_t kOutlookMessageClassId[16] = {0x0B, 0x0D, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                                0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

constexpr size_t kDirectoryEntryBytes = 128;

constexpr size_t kClassIdOffset = 80;

bool ClassIdIs(ByteSpan entry, const uint8_t (&id)[16]) {
  return Has(entry, kClassIdOffset, 16) && std::equal(id, id + 16, entry.begin() + kClassIdOffset);
}

// Whether the UTF-16LE name at `off` begins with the ASCII `prefix`.
bool Utf16NameStartsWith(ByteSpan b, size_t off, std::string_view prefix) {
  if (!Has(b, off, prefix.size() * 2)) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Le16(b, off + 2 * i) != static_cast<uint8_t>(prefix[i])) return false;
  }
  return true;
}

uint32_t ClassifyCompoundDocument(const CarvingContext& ctx, ByteSpan header) {
  const uint32_t sectorSize = ctx.sectorSize();
  const uint64_t current = ctx.currentSector();
  std::vector<uint8_t> sector;
  if (!UsableSectorSize(sectorSize) || ctx.source() == nullptr) return kOle;
  if (!AllocateZeroed(sector, sectorSize)) return kOle;
  if (current == UINT64_MAX || !ctx.ReadSectors(sector, current + 1, 1)) return kOle;
  if (Le16(sector, 0) == 0xA5EC) return kDoc;  // Word's FIB magic
  if (Le16(sector, 0) == 0x0809 && Le16(sector, 2) == 0x0010 && Le16(sector, 4) == 0x0600)
    return kXls;  // BOF

  const uint64_t directorySector = Le32(header, 48);
  if (current > UINT64_MAX - 1 - directorySector) return kOle;
  if (!ctx.ReadSectors(sector, current + 1 + directorySector, 1)) return kOle;
  const ByteSpan root(sector.data(), std::min<size_t>(sector.size(), kDirectoryEntryBytes));
  if (ClassIdIs(root, kWordClassId)) return kDoc;
  if (ClassIdIs(root, kExcelClassId) || ClassIdIs(root, kExcel5ClassId)) return kXls;
  if (ClassIdIs(root, kPowerPointClassId)) return kPpt;

  if (ClassIdIs(root, kOutlookMessageClassId)) return kMsg;

  bool flash = false;
  for (size_t i = 0; i < sectorSize / kDirectoryEntryBytes; ++i) {
    const size_t entry = i * kDirectoryEntryBytes;
    // An Outlook message keeps its properties in streams named by property tag.
    if (Utf16NameStartsWith(sector, entry, "__substg1.0_") ||
        Utf16NameStartsWith(sector, entry, "__properties_version1.0"))
      return kMsg;
    if (Utf16NameStartsWith(sector, entry, "WordDocument")) return kDoc;
    if (Utf16NameStartsWith(sector, entry, "Workbook")) return kXls;
    if (Utf16NameStartsWith(sector, entry, "PowerPoint Document")) return kPpt;
    // A Flash source keeps its document in "Contents" beside its pages and symbols.
    flash = flash || Utf16NameStartsWith(sector, entry, "Contents");
  }
  return flash ? kFla : kOle;
}

uint32_t MatchCompoundDocument(const CarvingContext& ctx, ByteSpan b) {
  if (!BytesEqual(b, 0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})) return kNoType;
  return ClassifyCompoundDocument(ctx, b);
}

uint32_t MatchFla(const CarvingContext& ctx, ByteSpan b) {
  if (!BytesEqual(b, 0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})) return kNoType;
  return ClassifyCompoundDocument(ctx, b) == kFla ? kFla : kNoType;
}

constexpr uint32_t kFreeSector = 0xFFFFFFFF;

constexpr uint32_t kEndOfChain = 0xFFFFFFFE;

constexpr uint32_t kFatMark = 0xFFFFFFFD;

constexpr uint32_t kDifatMark = 0xFFFFFFFC;

constexpr uint32_t kHeaderDifatEntries = 109;

}  // namespace

uint64_t CompoundDocumentLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 512> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})) return 0;
  const uint32_t shift = Le16(h, 30);
  if (Le16(h, 28) != 0xFFFE || (shift != 9 && shift != 12) || Le16(h, 32) != 6) return 0;
  const uint64_t sectorBytes = uint64_t{1} << shift;
  const uint32_t fatSectors = Le32(h, 44);
  if (fatSectors == 0 || fatSectors > limit / sectorBytes / (sectorBytes / 4) + 1) return 0;
  // The FAT's own sectors: 109 in the header, the rest in the DIFAT chain.
  std::vector<uint32_t> fat;
  fat.reserve(std::min<uint32_t>(fatSectors, 1u << 16));
  for (uint32_t i = 0; i < kHeaderDifatEntries && fat.size() < fatSectors; ++i)
    fat.push_back(Le32(h, 76 + 4 * i));
  uint32_t difat = Le32(h, 68);
  std::vector<uint8_t> sector(sectorBytes);
  uint64_t end = 0;
  auto reach = [&](uint64_t index) { end = std::max(end, (index + 2) * sectorBytes); };
  for (uint32_t hops = 0; fat.size() < fatSectors && difat < kEndOfChain && hops < fatSectors; ++hops) {
    if (!file.Read((uint64_t{difat} + 1) * sectorBytes, sector)) return 0;
    reach(difat);
    const size_t perSector = sectorBytes / 4 - 1;  // the last entry links to the next DIFAT sector
    for (size_t i = 0; i < perSector && fat.size() < fatSectors; ++i) fat.push_back(Le32(sector, 4 * i));
    difat = Le32(sector, 4 * perSector);
  }
  if (fat.size() < fatSectors) return 0;
  // Every sector the FAT marks as used, its own sectors included (marked as such).
  for (size_t k = 0; k < fat.size(); ++k) {
    if (fat[k] >= kEndOfChain - 2) return 0;  // a FAT sector that is no sector
    if ((uint64_t{fat[k]} + 2) * sectorBytes > limit) return 0;
    if (!file.Read((uint64_t{fat[k]} + 1) * sectorBytes, sector)) return 0;
    for (size_t i = 0; i < sectorBytes / 4; ++i) {
      if (Le32(sector, 4 * i) != kFreeSector) reach(k * (sectorBytes / 4) + i);
    }
  }
  return end == 0 ? 0 : std::min(end, limit);
}

namespace {

// ---- Whether a compound document holds together, and its join where it does not
// A document cut in two reads its FAT, directory or mini FAT sectors from the other data where the cut moved
// them; each of those sectors has a shape random data, pictures or text do not take, and the directory's
// streams must fit the chains the FAT gives them. The first sector that fails says where the rest lies: it
// is looked for further on, and the whole structure must hold with everything from it on read from there.

enum class Part : uint8_t { kTable, kMiniTable, kDirectory };

// A FAT, DIFAT or mini FAT sector: each entry a sector below `sectors` or one of the marks its table uses.
bool TableSectorHolds(ByteSpan s, uint64_t sectors, Part part) {
  for (size_t at = 0; at + 4 <= s.size(); at += 4) {
    const uint32_t v = Le32(s, at);
    if (v < sectors || v == kFreeSector || v == kEndOfChain) continue;
    if (part == Part::kTable && (v == kFatMark || v == kDifatMark)) continue;
    return false;
  }
  return true;
}

// A directory sector: every entry unused, or a storage, stream or root entry with a name of up to 32
// characters ending in its zero and a colour of red or black. The file's first entry is its root.
bool DirectorySectorHolds(ByteSpan s, bool first) {
  for (size_t at = 0; at + kDirectoryEntryBytes <= s.size(); at += kDirectoryEntryBytes) {
    const uint8_t type = s[at + 66];
    if (first && at == 0 && type != 5) return false;
    if (type == 0) continue;
    if (type != 1 && type != 2 && type != 5) return false;
    const uint16_t nameBytes = Le16(s, at + 64);
    if (nameBytes < 2 || nameBytes > 64 || nameBytes % 2 != 0 || Le16(s, at + nameBytes - 2) != 0)
      return false;
    if (s[at + 67] > 1) return false;
  }
  return true;
}

bool PartHolds(ByteSpan s, uint64_t sectors, Part part, bool first) {
  return part == Part::kDirectory ? DirectorySectorHolds(s, first) : TableSectorHolds(s, sectors, part);
}

struct StructuralSector {
  uint64_t index = 0;
  Part part = Part::kTable;
  bool first = false;  // the directory's first sector
};

struct CompoundCheck {
  uint64_t length = 0;  // the file's length where its structure holds, else 0
  // The lowest sector whose content failed its test, and the sector kind it should have been.
  std::optional<StructuralSector> firstBad;
  // The sectors of the structure read and found sound (only those below `firstBad` count for a split).
  std::vector<uint64_t> held;
  uint64_t sectorBytes = 0;
  // The Word text stream's sectors in its order and the text's stream offsets, where the directory names one.
  std::vector<uint32_t> wordChain;
  // The workbook stream's sectors and length, where the directory names one.
  std::vector<uint32_t> workbookChain;
  uint64_t workbookBytes = 0;
  // The application that wrote it, by the root's class id or the stream names (kNoType where none tells).
  uint32_t kind = kNoType;
};

// The application a directory entry names: by the root's class id, or by a stream the application keeps.
uint32_t EntryKind(ByteSpan entry) {
  if (entry[66] == 5) {
    if (ClassIdIs(entry, kWordClassId)) return kDoc;
    if (ClassIdIs(entry, kExcelClassId) || ClassIdIs(entry, kExcel5ClassId)) return kXls;
    if (ClassIdIs(entry, kPowerPointClassId)) return kPpt;
    if (ClassIdIs(entry, kOutlookMessageClassId)) return kMsg;
    return kNoType;
  }
  if (Utf16NameStartsWith(entry, 0, "WordDocument")) return kDoc;
  if (Utf16NameStartsWith(entry, 0, "Workbook")) return kXls;
  if (Utf16NameStartsWith(entry, 0, "PowerPoint Document")) return kPpt;
  if (Utf16NameStartsWith(entry, 0, "__substg1.0_") ||
      Utf16NameStartsWith(entry, 0, "__properties_version1.0"))
    return kMsg;
  return kNoType;
}

// Reads the structure sector by sector. Stops at the first inconsistency that no sector's content explains
// (chains that run out or loop); a sector whose content fails is noted and the check goes on with what
// remains readable, so that the lowest failing sector is found.
CompoundCheck CheckCompound(FileBytes& file, uint64_t limit) {
  CompoundCheck c;
  std::array<uint8_t, 512> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})) return c;
  const uint32_t shift = Le16(h, 30);
  if (Le16(h, 28) != 0xFFFE || (shift != 9 && shift != 12) || Le16(h, 32) != 6) return c;
  const uint64_t ss = uint64_t{1} << shift;
  c.sectorBytes = ss;
  const uint64_t maxSectors = limit / ss;
  const uint64_t perTable = ss / 4;
  const uint32_t fatCount = Le32(h, 44);
  if (fatCount == 0 || fatCount > maxSectors / perTable + 1) return c;
  std::vector<uint8_t> sector(ss);
  auto bad = [&](uint64_t index, Part part, bool first) {
    if (!c.firstBad || index < c.firstBad->index) c.firstBad = StructuralSector{index, part, first};
  };
  auto read = [&](uint64_t index, Part part, uint64_t bound, bool first) {
    if (index >= maxSectors || !file.Read((index + 1) * ss, sector)) return false;
    if (!PartHolds(sector, bound, part, first)) {
      bad(index, part, first);
      return false;
    }
    c.held.push_back(index);
    return true;
  };

  // The FAT's sectors, from the header and the DIFAT chain.
  std::vector<uint32_t> fatSectors;
  std::vector<uint32_t> difatSectors;
  for (uint32_t i = 0; i < kHeaderDifatEntries && fatSectors.size() < fatCount; ++i)
    fatSectors.push_back(Le32(h, 76 + 4 * i));
  for (uint32_t difat = Le32(h, 68); fatSectors.size() < fatCount && difat < kEndOfChain;) {
    if (difatSectors.size() >= fatCount || !read(difat, Part::kTable, maxSectors, false)) return c;
    difatSectors.push_back(difat);
    for (size_t i = 0; i + 1 < perTable && fatSectors.size() < fatCount; ++i)
      fatSectors.push_back(Le32(sector, 4 * i));
    difat = Le32(sector, 4 * (perTable - 1));
  }
  if (fatSectors.size() < fatCount) return c;
  std::vector<uint32_t> fat(fatSectors.size() * perTable, kFreeSector);
  bool fatWhole = true;
  for (size_t k = 0; k < fatSectors.size(); ++k) {
    if (!read(fatSectors[k], Part::kTable, maxSectors, false)) {
      fatWhole = false;
      continue;
    }
    for (size_t i = 0; i < perTable; ++i) fat[k * perTable + i] = Le32(sector, 4 * i);
  }
  if (!fatWhole) return c;
  // The FAT marks its own sectors and the DIFAT's; a table read from elsewhere does not.
  for (uint32_t f : fatSectors) {
    if (f >= fat.size()) return c;
    if (fat[f] != kFatMark) {
      bad(fatSectors[f / perTable], Part::kTable, false);
      return c;
    }
  }
  for (uint32_t d : difatSectors) {
    if (d >= fat.size() || fat[d] != kDifatMark) return c;
  }
  uint64_t used = 0;
  for (size_t i = 0; i < fat.size(); ++i) {
    if (fat[i] != kFreeSector) used = i + 1;
  }
  if (used == 0) return c;
  // A chain's sectors in order; empty where it leaves the file, loops or does not end. Every sector lies in
  // one chain, so all the chains together take a few times the sectors at most: a crafted directory whose
  // streams all share one long chain runs out of steps.
  uint64_t steps = 4 * used + 64;
  auto chain = [&](uint32_t first) {
    std::vector<uint32_t> out;
    for (uint32_t at = first; at != kEndOfChain; at = fat[at]) {
      if (at >= used || out.size() >= used || steps == 0) return std::vector<uint32_t>{};
      --steps;
      out.push_back(at);
    }
    return out;
  };

  // The directory, its streams' chains against their sizes, and the mini FAT.
  const std::vector<uint32_t> directory = chain(Le32(h, 48));
  if (directory.empty()) return c;
  const uint32_t cutoff = Le32(h, 56);
  bool whole = true;
  for (size_t d = 0; d < directory.size(); ++d) {
    if (!read(directory[d], Part::kDirectory, used, d == 0)) {
      whole = false;
      continue;
    }
    for (size_t at = 0; at + kDirectoryEntryBytes <= ss; at += kDirectoryEntryBytes) {
      const ByteSpan entry = ByteSpan(sector).subspan(at, kDirectoryEntryBytes);
      const uint8_t type = entry[66];
      if (c.kind == kNoType && type != 0) c.kind = EntryKind(entry);
      const uint64_t size = shift == 9 ? Le32(entry, 120) : Le64(entry, 120);
      if ((type != 2 && type != 5) || size == 0 || (type == 2 && size < cutoff)) continue;
      const std::vector<uint32_t> sectors = size <= limit ? chain(Le32(entry, 116)) : std::vector<uint32_t>{};
      if (sectors.size() < size / ss + (size % ss != 0 ? 1 : 0)) {
        bad(directory[d], Part::kDirectory, d == 0);
        whole = false;
        continue;
      }
      if (type == 2 && Utf16NameStartsWith(entry, 0, "WordDocument") && Le16(entry, 64) == 26)
        c.wordChain = sectors;
      if (type == 2 && ((Utf16NameStartsWith(entry, 0, "Workbook") && Le16(entry, 64) == 18) ||
                        (Utf16NameStartsWith(entry, 0, "Book") && Le16(entry, 64) == 10))) {
        c.workbookChain = sectors;
        c.workbookBytes = size;
      }
    }
  }
  // The mini FAT is checked whatever the directory gave, so that the lowest failing sector is found.
  const uint32_t miniFatFirst = Le32(h, 60);
  const uint32_t miniFatCount = Le32(h, 64);
  if (miniFatFirst < kEndOfChain) {
    const std::vector<uint32_t> mini = chain(miniFatFirst);
    if (mini.size() != miniFatCount) return c;
    for (uint32_t m : mini) {
      if (!read(m, Part::kMiniTable, mini.size() * perTable, false)) whole = false;
    }
  }
  if (!whole) return c;
  c.length = std::min((used + 1) * ss, limit);
  return c;
}

// Whether a sector of a Word document's text is text. UTF-16 text keeps to a few scripts, so its characters'
// high bytes take few values (random data and pictures spread over most of them), with no control codes but
// those Word uses; text stored a byte a character is printable bytes. A few odd characters are let pass, so
// that a real sector of text is never judged other data.
bool LooksLikeText(ByteSpan s) {
  auto wordControl = [](uint32_t u) {
    // Paragraph, cell and line marks, page breaks, fields, notes, pictures and hyphens.
    return (u >= 0x01 && u <= 0x05) || (u >= 0x07 && u <= 0x0D) || (u >= 0x13 && u <= 0x15) || u == 0x1E ||
           u == 0x1F;
  };
  const size_t allowedOdd = s.size() / 128;
  std::array<bool, 256> highs{};
  size_t odd = 0;
  for (size_t at = 0; at + 2 <= s.size(); at += 2) {
    const uint16_t u = Le16(s, at);
    if ((u < 0x20 && !wordControl(u)) || u >= 0xFFFE) ++odd;
    highs[u >> 8] = true;
  }
  if (odd <= allowedOdd && std::count(highs.begin(), highs.end(), true) <= 96) return true;
  odd = static_cast<size_t>(
      std::count_if(s.begin(), s.end(), [&](uint8_t b) { return b < 0x20 && !wordControl(b); }));
  return odd <= allowedOdd;
}

// Data of no structure: few zero bytes and most byte values present, as in random data, compressed data
// and pictures; a document's text and tables are not like that.
bool LooksLikeNoise(ByteSpan s) {
  std::array<uint32_t, 256> seen{};
  for (uint8_t b : s) ++seen[b];
  const auto distinct =
      static_cast<size_t>(std::count_if(seen.begin(), seen.end(), [](uint32_t n) { return n != 0; }));
  return seen[0] * 64 <= s.size() && distinct >= 160;
}

// The text's offsets within the WordDocument stream, from its first sector's FIB; nothing where it is none.
std::optional<std::pair<uint64_t, uint64_t>> WordTextRange(ByteSpan fib, uint64_t streamBytes) {
  if (Le16(fib, 0) != 0xA5EC) return std::nullopt;
  const uint32_t first = Le32(fib, 0x18);
  const uint32_t end = Le32(fib, 0x1C);
  if (first >= end || end > streamBytes) return std::nullopt;
  return std::pair<uint64_t, uint64_t>{first, end};
}

// A workbook stream's BIFF records, read in place and further on, for every split at once: the records
// before the split come from the first, those from the split on from the second. A walk from the first byte
// must reach the stream's last byte exactly, every record of a kind the format has and within its length
// bound, the first the workbook's opening record.
class WorkbookWalks {
 public:
  WorkbookWalks(std::vector<uint8_t> inPlace, std::vector<uint8_t> further, uint64_t size)
      : inPlace_(std::move(inPlace)), further_(std::move(further)), size_(size), known_(size + 1, 0) {
    // The in-place walk as far as it holds.
    stop_ = 0;
    while (stop_ + 4 <= size_ && Holds(inPlace_, stop_)) {
      starts_.push_back(stop_);
      stop_ += 4 + uint64_t{Le16(inPlace_, stop_ + 2)};
    }
  }

  // Whether the records walk with the stream's bytes below `boundary` in place and the rest further on.
  bool Walk(uint64_t boundary) {
    if (boundary >= size_) return stop_ == size_;
    if (stop_ + 4 <= boundary) return false;  // a record wholly in place breaks
    // The last record the in-place walk starts below the boundary; from there the bytes may be mixed.
    uint64_t at = 0;
    const auto below = std::lower_bound(starts_.begin(), starts_.end(), boundary);
    if (below != starts_.begin()) at = *(below - 1);
    if (stop_ < boundary) at = std::max(at, stop_);
    while (at < boundary) {
      if (at + 4 > size_) return false;
      std::array<uint8_t, 4> h{};
      for (size_t i = 0; i < h.size(); ++i) h[i] = (at + i < boundary ? inPlace_ : further_)[at + i];
      if (!Holds(h, 0, at == 0)) return false;
      at += 4 + uint64_t{Le16(h, 2)};
    }
    return FurtherFrom(at);
  }

 private:
  static bool Holds(ByteSpan b, uint64_t at, bool first) {
    const uint16_t kind = Le16(b, static_cast<size_t>(at));
    return (!first || kind == 0x0809) && kind != 0 && kind < 0x1200 &&
           Le16(b, static_cast<size_t>(at + 2)) <= 8224;
  }
  bool Holds(ByteSpan b, uint64_t at) const { return Holds(b, at, at == 0); }

  // Whether the records further on walk from `at` to the end; each start's answer is kept, so walks that
  // meet one already taken stop there.
  bool FurtherFrom(uint64_t at) {
    path_.clear();
    uint8_t answer = kBreaks;
    for (uint64_t next = at;;) {
      if (next == size_) {
        answer = kRuns;
        break;
      }
      if (next + 4 > size_) break;
      if (known_[next] != 0) {
        answer = known_[next];
        break;
      }
      path_.push_back(next);
      if (!Holds(further_, next)) break;
      next += 4 + uint64_t{Le16(further_, static_cast<size_t>(next + 2))};
    }
    for (uint64_t p : path_) known_[p] = answer;
    return answer == kRuns;
  }

  static constexpr uint8_t kRuns = 1;
  static constexpr uint8_t kBreaks = 2;
  std::vector<uint8_t> inPlace_;
  std::vector<uint8_t> further_;
  uint64_t size_;
  std::vector<uint64_t> starts_;
  uint64_t stop_ = 0;
  std::vector<uint8_t> known_;
  std::vector<uint64_t> path_;
};

// The most of a workbook stream read twice to place a split.
constexpr uint64_t kMaxWorkbookBytes = uint64_t{8} << 20;

// The document's sectors by index as they lie from `first` on (in place, or moved by a gap), read a window
// at a time: the split is placed by looking at runs of them in order.
class SectorWindow {
 public:
  SectorWindow(CarvingContext& ctx, uint64_t first) : ctx_(ctx), first_(first) {}
  // Sector `index`; empty where the medium ends or a read fails.
  ByteSpan Sector(uint64_t index) {
    const uint64_t ss = ctx_.sectorSize();
    if (index < at_ || index >= at_ + count_) {
      const uint64_t medium = MediumSectors(ctx_);
      if (ss == 0 || first_ + index >= medium) return {};
      const uint64_t count = std::min<uint64_t>(kSectors, medium - first_ - index);
      window_.resize(count * ss);
      count_ = 0;
      if (!ctx_.ReadSectors(window_, first_ + index, static_cast<uint32_t>(count))) return {};
      at_ = index;
      count_ = count;
    }
    return ByteSpan(window_).subspan((index - at_) * ss, ss);
  }

 private:
  static constexpr uint64_t kSectors = 128;
  CarvingContext& ctx_;
  uint64_t first_;
  std::vector<uint8_t> window_;
  uint64_t at_ = 0;
  uint64_t count_ = 0;
};

// The split of a document whose first failing sector lies `gap` sectors on: the number of its sectors the
// first piece holds. Structure read in place bounds it below (`low`), the failing sector above (`high`).
// Between them the streams tell where they can: a Word document's FIB lies on one side only, each sector of
// its text must read as text where the split puts it, and a workbook's records must walk to their end. The
// split is whole where exactly one fits; otherwise the sectors that look like noise place it, listed damaged.
std::pair<uint64_t, bool> PlaceSplit(CarvingContext& ctx, const CompoundCheck& joined, uint64_t low,
                                     uint64_t high, uint64_t gap) {
  if (low >= high) return {high, true};
  const uint64_t ss = joined.sectorBytes;
  const uint64_t start = ctx.startSector();
  if (ss != ctx.sectorSize()) return {high, false};
  SectorWindow here(ctx, start + 1);
  SectorWindow there(ctx, start + 1 + gap);
  // Splits from `first` to `last` still fit; a sector of the stream that cannot lie in place puts the
  // split at or below it, one that cannot lie further on puts it above.
  uint64_t first = low;
  uint64_t last = high;
  auto place = [&](uint64_t index, bool fitsInPlace, bool fitsFurther) {
    if (!fitsInPlace) last = std::min(last, index);
    if (!fitsFurther) first = std::max(first, index + 1);
  };
  FileWork work(ctx);
  if (!joined.wordChain.empty()) {
    const uint32_t fibSector = joined.wordChain.front();
    const uint64_t streamBytes = joined.wordChain.size() * ss;
    std::optional<std::pair<uint64_t, uint64_t>> text;
    if (fibSector < low) {
      text = WordTextRange(here.Sector(fibSector), streamBytes);
    } else if (fibSector >= high) {
      text = WordTextRange(there.Sector(fibSector), streamBytes);
    } else {
      const auto inPlace = WordTextRange(here.Sector(fibSector), streamBytes);
      const auto further = WordTextRange(there.Sector(fibSector), streamBytes);
      if (inPlace.has_value() != further.has_value()) {
        text = inPlace ? inPlace : further;
        place(fibSector, inPlace.has_value(), further.has_value());
      }
    }
    for (size_t i = 0; text && i < joined.wordChain.size(); ++i) {
      const uint64_t index = joined.wordChain[i];
      if (index < low || index >= high || i * ss < text->first || (i + 1) * ss > text->second) continue;
      const ByteSpan inPlace = here.Sector(index);
      const ByteSpan further = there.Sector(index);
      if (!work.Spend(2 * ss) || inPlace.empty() || further.empty()) return {high, false};
      place(index, LooksLikeText(inPlace), LooksLikeText(further));
    }
  }
  // The workbook's records, where it has them, walked with the stream split at each place left.
  std::optional<WorkbookWalks> walks;
  const std::vector<uint32_t>& book = joined.workbookChain;
  if (!book.empty() && first < last && joined.workbookBytes <= kMaxWorkbookBytes &&
      std::is_sorted(book.begin(), book.end()) && work.Spend(2 * book.size() * ss)) {
    // The stream's sectors run in order, so a split leaves a leading part of the stream in place.
    std::vector<uint8_t> inPlace(book.size() * ss);
    std::vector<uint8_t> further(book.size() * ss);
    for (size_t i = 0; i < book.size(); ++i) {
      // A sector below `low` is never read further on, one from `high` on never in place.
      const ByteSpan h = book[i] < high ? here.Sector(book[i]) : ByteSpan();
      const ByteSpan t = book[i] >= low ? there.Sector(book[i]) : ByteSpan();
      if ((book[i] < high && h.empty()) || (book[i] >= low && t.empty())) return {high, false};
      std::copy(h.begin(), h.end(), inPlace.begin() + static_cast<ptrdiff_t>(i * ss));
      std::copy(t.begin(), t.end(), further.begin() + static_cast<ptrdiff_t>(i * ss));
    }
    walks.emplace(std::move(inPlace), std::move(further), joined.workbookBytes);
  }
  auto fitsAt = [&](uint64_t split) {
    if (split < first || split > last) return false;
    if (!walks) return true;
    const auto inPlaceSectors =
        static_cast<uint64_t>(std::lower_bound(book.begin(), book.end(), split) - book.begin());
    return walks->Walk(inPlaceSectors * ss);
  };
  uint64_t fits = 0;
  uint64_t chosen = high;
  for (uint64_t split = first; split <= last && fits < 2; ++split) {
    if (fitsAt(split) && fits++ == 0) chosen = split;
  }
  if (fits == 1) return {chosen, true};
  // None or several: the document comes back whole in length, listed damaged, split where the fewest of the
  // sectors between the bounds look like noise (as other data mostly does) where the split puts them.
  if (!work.Spend(2 * (high - low) * ss)) return {chosen, false};
  uint64_t before = 0;  // sectors below the split that look like the document's in place
  uint64_t after = 0;   // sectors from the split on that look like the document's further on
  for (uint64_t index = low; index < high; ++index) {
    const ByteSpan further = there.Sector(index);
    if (further.empty()) return {chosen, false};
    after += LooksLikeNoise(further) ? 0u : 1u;
  }
  uint64_t best = 0;
  bool any = false;
  for (uint64_t split = low;; ++split) {
    if ((fits == 0 || fitsAt(split)) && (!any || before + after > best)) {
      best = before + after;
      chosen = split;
      any = true;
    }
    if (split == high) break;
    const ByteSpan inPlace = here.Sector(split);
    const ByteSpan further = there.Sector(split);
    if (inPlace.empty() || further.empty()) break;
    before += LooksLikeNoise(inPlace) ? 0u : 1u;
    after -= LooksLikeNoise(further) ? 0u : 1u;
  }
  return {chosen, false};
}

uint64_t MeasureCompoundDocument(CarvingContext& ctx, uint32_t typeCode, ByteSpan header) {
  const uint64_t limit = std::min(k256MiB, MediumBytesFromStart(ctx));
  CompoundCheck whole;
  {
    FileBytes file(ctx, header);
    whole = CheckCompound(file, limit);
  }
  if (whole.length != 0) return whole.length;
  // Cut: where a sector of the structure failed, the rest may lie further on.
  if (whole.firstBad && ctx.sectorSize() == whole.sectorBytes && whole.sectorBytes != 0) {
    const uint64_t ss = whole.sectorBytes;
    const StructuralSector failed = *whole.firstBad;
    uint64_t low = 0;
    for (uint64_t held : whole.held) {
      if (held < failed.index) low = std::max(low, held + 1);
    }
    const uint64_t start = ctx.startSector();
    FileWork work(ctx);
    std::optional<Stitched> joined;
    uint32_t kind = kNoType;
    EachGap(ctx, (start + 1 + failed.index) * ss, ss, [&](uint64_t gap, ByteSpan bytes) {
      // No sector of a document's structure is all zeros (unused directory entries carry their empty links),
      // while zeroed media are: they would each cost a check of the whole structure.
      if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }) ||
          !PartHolds(bytes, k256MiB / ss, failed.part, failed.first))
        return false;
      const SplitAt split{failed.index + 1, start + 1 + failed.index + gap};
      FileBytes file(ctx, header, split);
      const CompoundCheck check = CheckCompound(file, std::min(k256MiB, file.MediumBytes()));
      if (check.length == 0) return !work.Spend((check.held.size() + 1) * ss);
      // Structure read in place above `low` also bounds the split.
      uint64_t lowest = low;
      for (uint64_t held : check.held) {
        if (held < failed.index) lowest = std::max(lowest, held + 1);
      }
      const auto [headSectors, placed] = PlaceSplit(ctx, check, lowest, failed.index, gap);
      joined = Stitched{SplitAt{headSectors + 1, start + 1 + headSectors + gap}, check.length, placed};
      kind = check.kind;
      return true;
    });
    if (joined) {
      // A cut before the directory hid which application wrote it; the directory past the cut tells.
      if (typeCode == kOle && kind != kNoType) ctx.outcome().typeCode = kind;
      return Joined(ctx, *joined);
    }
  }
  ctx.outcome().intact = false;
  if (const uint64_t n = Walked(ctx, header, CompoundDocumentLength, k256MiB); n != 0) return n;
  return ctx.sectorSize();
}

constexpr HeaderTest kFlaHeader = Lead(MatchFla, 0xD0);
constexpr HeaderTest kCompoundDocumentHeader = Lead(MatchCompoundDocument, 0xD0);

// Flash's files before the Office ones: their test is the narrower.
constexpr CarvingTypeRow kRows[] = {
    {"fla", kFla, &kFlaHeader, MeasureCompoundDocument},
    {"doc", kDoc, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"dot", kDoc, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"wps", kDoc, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"wpt", kDoc, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"xls", kXls, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"xlt", kXls, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"xla", kXls, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"et", kXls, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"ett", kXls, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"ppt", kPpt, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"pot", kPpt, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"pps", kPpt, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"dps", kPpt, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"dpt", kPpt, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"ole", kOle, &kCompoundDocumentHeader, MeasureCompoundDocument, true},
    {"msg", kMsg, &kCompoundDocumentHeader, MeasureCompoundDocument},
};

}  // namespace

std::span<const CarvingTypeRow> CompoundDocumentFormats() {
  return kRows;
}

}  // namespace snapsave
