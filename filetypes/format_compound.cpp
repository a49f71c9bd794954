// Compound documents (doc, xls, ppt, msg and Flash's fla): the writing application shows in the first
// stream, the root entry's class id or the directory's stream names; the sector FAT says how long the file
// is.
#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"

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

uint64_t MeasureCompoundDocument(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
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
