// ZIP and what is built on it (Office Open XML by its member names, OpenDocument and EPUB by their mimetype
// member, JAR): members checked against their sizes and CRCs, the central directory and end records; an
// archive cut in two is joined where the member across the cut passes its check.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"
#include "storage/sector_reader.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- Office Open XML: a zip whose member names show the application
// -------------------------------------------- The members are read from the medium, at most 20 sectors, 4 at
// a time into a window that keeps the last 4 bytes of the previous read in front so a signature split by a
// read is still seen.
constexpr size_t kOoxmlSectorsPerRead = 4;

constexpr size_t kOoxmlMaxReads = 5;

constexpr size_t kOoxmlCarry = 4;

uint32_t MemberNameType(ByteSpan window, size_t nameOffset) {
  if (BytesEqual(window, nameOffset, "word")) return kDocx;
  if (BytesEqual(window, nameOffset, "ppt")) return kPptx;
  if (BytesEqual(window, nameOffset, "xl")) return kXlsx;
  return kNoType;
}

uint32_t ScanOoxmlWindow(ByteSpan window, bool& ended) {
  size_t end = window.size();  // the first end-of-central-directory record closes the search
  for (size_t p = 0; p + 4 <= window.size(); ++p) {
    if (BytesEqual(window, p, {'P', 'K', 0x05, 0x06})) {
      end = p;
      ended = true;  // and the reads after this window: what follows is another file's
      break;
    }
  }
  for (size_t p = 0; p < end; ++p) {
    if (window[p] != 'P') continue;
    uint32_t type = kNoType;
    if (BytesEqual(window, p, {'P', 'K', 0x03, 0x04})) {
      type = MemberNameType(window, p + 30);
    } else if (BytesEqual(window, p, {'P', 'K', 0x01, 0x02})) {
      type = MemberNameType(window, p + 46);
    }
    if (type != kNoType) return type;
  }
  return kNoType;
}

uint32_t MatchOfficeOpenXml(const CarvingContext& ctx, ByteSpan b) {
  if (b.size() < 31) return kNoType;
  if (!BytesEqual(b, 0, {'P', 'K', 0x03, 0x04}) && !BytesEqual(b, 31, "[Content_Types].xml")) return kNoType;

  const uint32_t sectorSize = ctx.sectorSize();
  if (!UsableSectorSize(sectorSize) || ctx.source() == nullptr) return kNoType;
  std::vector<uint8_t> window;
  if (!AllocateZeroed(window, kOoxmlCarry + kOoxmlSectorsPerRead * sectorSize)) return kNoType;
  const std::span<uint8_t> body = std::span<uint8_t>(window).subspan(kOoxmlCarry);
  const uint64_t total = ctx.source()->TotalSectors();

  uint64_t sector = ctx.currentSector();
  for (size_t read = 0; read < kOoxmlMaxReads && sector < total; ++read) {
    // A small file in the last sectors of the medium still gets the sectors that exist.
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kOoxmlSectorsPerRead, total - sector));
    std::fill(body.begin(), body.end(), uint8_t{0});
    if (!ctx.ReadSectors(body, sector, count)) break;
    bool ended = false;
    if (uint32_t type = ScanOoxmlWindow(window, ended); type != kNoType || ended) return type;
    std::copy(window.end() - kOoxmlCarry, window.end(), window.begin());
    sector += count;
  }
  return kNoType;
}

// OpenDocument and EPUB files start with a stored "mimetype" member that names them.
uint32_t MatchZip(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 48 || !BytesEqual(b, 0, {'P', 'K', 0x03, 0x04})) return kNoType;
  if (Le16(b, 26) != 8 || !BytesEqual(b, 30, "mimetype")) return kZip;
  const size_t content = 38 + size_t{Le16(b, 28)};
  static constexpr std::pair<std::string_view, uint32_t> kKinds[] = {
      {"application/vnd.oasis.opendocument.text", kOdt},
      {"application/vnd.oasis.opendocument.spreadsheet", kOds},
      {"application/vnd.oasis.opendocument.presentation", kOdp},
      {"application/vnd.oasis.opendocument.graphics", kOdg},
      {"application/epub+zip", kEpub}};
  for (const auto& [mime, code] : kKinds) {
    // The exact type: "...text-template" and the like stay plain ZIP.
    if (BytesEqual(b, content, mime) && Le32(b, 18) == mime.size()) return code;
  }
  return kZip;
}

constexpr uint32_t kLocalHeader = 0x04034B50, kCentralHeader = 0x02014B50, kEndRecord = 0x06054B50;

constexpr uint32_t kZip64EndRecord = 0x06064B50, kZip64Locator = 0x07064B50, kDataDescriptor = 0x08074B50;

// A member's local header: where its data starts and, unless a data descriptor follows the data, its sizes
// and CRC (a ZIP64 member keeps its sizes in the extra field).
struct ZipMember {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t data = 0;
  uint64_t packed = 0;
  uint64_t size = 0;
};

std::optional<ZipMember> ReadZipMember(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 30> h{};
  if (!file.Read(at, h) || Le32(h, 0) != kLocalHeader) return std::nullopt;
  ZipMember m;
  m.flags = Le16(h, 6);
  m.method = Le16(h, 8);
  m.crc = Le32(h, 14);
  m.packed = Le32(h, 18);
  m.size = Le32(h, 22);
  const uint64_t nameLength = Le16(h, 26), extraLength = Le16(h, 28);
  m.data = at + 30 + nameLength + extraLength;
  if (m.packed == 0xFFFFFFFF) {
    for (uint64_t e = at + 30 + nameLength; e + 4 <= at + 30 + nameLength + extraLength;) {
      std::array<uint8_t, 20> x{};
      if (!file.Read(e, std::span(x).first(4))) return std::nullopt;
      // Original size first where the header gave up on it too, then the compressed size.
      const size_t skip = m.size == 0xFFFFFFFF ? 8 : 0;
      if (Le16(x, 0) == 1 && Le16(x, 2) >= skip + 8 && file.Read(e + 4, std::span(x).first(skip + 8))) {
        if (skip != 0) m.size = Le64(x, 0);
        m.packed = Le64(x, skip);
        break;
      }
      e += 4 + uint64_t{Le16(x, 2)};
    }
  }
  return m;
}

// Bytes a member may inflate to before its check gives up: far beyond any file carved.
constexpr uint64_t kMaxZipMemberBytes = uint64_t{8} << 30;

}  // namespace

bool ZipUnitHeader(ByteSpan bytes) {
  return Has(bytes, 0, 4) && (Le32(bytes, 0) == kLocalHeader || Le32(bytes, 0) == kCentralHeader);
}

uint64_t ZipMemberBytes(FileBytes& file, uint64_t at) {
  const std::optional<ZipMember> m = ReadZipMember(file, at);
  if (!m || (m->flags & 0x08) != 0 || m->packed > kMaxZipMemberBytes) return 0;
  return m->data + m->packed - at;
}

bool ZipMemberChecks(FileBytes& file, uint64_t at) {
  const std::optional<ZipMember> m = ReadZipMember(file, at);
  if (!m || (m->flags & 0x08) != 0 || m->packed > kMaxZipMemberBytes) return false;
  // Encrypted data, or a method zlib does not take, cannot be checked here.
  if ((m->flags & 0x01) != 0 || (m->method != 0 && m->method != 8)) return true;
  uLong crc = crc32(0, nullptr, 0);
  uint64_t produced = 0;
  if (m->method == 0) return Crc32Of(file, m->data, m->packed, crc) && crc == m->crc && m->packed == m->size;
  const uint64_t end =
      InflatedEnd(file, m->data, m->data + m->packed, -MAX_WBITS, m->size, [&](ByteSpan out) {
        crc = crc32(crc, out.data(), static_cast<uInt>(out.size()));
        produced += out.size();
      });
  return end == m->data + m->packed && produced == m->size && crc == m->crc;
}

uint64_t ZipLength(FileBytes& file, uint64_t limit, uint64_t* validEnd) {
  std::array<uint8_t, 56> h{};
  uint64_t at = 0;
  uint64_t members = 0;
  // The members: each local header, its name and extra field, its data and, when the header could not know
  // the sizes, the data descriptor after the deflate stream.
  for (; at < limit && members < kMaxUnits; ++members) {
    if (!file.Read(at, std::span(h).first(4))) return 0;
    if (Le32(h, 0) != kLocalHeader) break;
    // A member counts as whole once the next one's header follows it.
    if (validEnd != nullptr) *validEnd = at;
    const std::optional<ZipMember> member = ReadZipMember(file, at);
    if (!member) return 0;
    const uint16_t flags = member->flags, method = member->method;
    const uint64_t size = member->packed;
    const uint64_t data = member->data;
    if ((flags & 0x08) != 0) {
      // Sizes follow the data: only a deflate stream says where it ends.
      if (method != 8) return 0;
      const uint64_t end = InflatedEnd(file, data, limit, -MAX_WBITS, UINT64_MAX);
      if (end == 0) return 0;
      std::array<uint8_t, 4> sig{};
      at = end + (file.Read(end, sig) && Le32(sig, 0) == kDataDescriptor ? 4 : 0) + 12;
      // A ZIP64 descriptor has 8-byte sizes; the next signature tells which.
      if (file.Read(at, sig) && Le32(sig, 0) != kLocalHeader && Le32(sig, 0) != kCentralHeader) at += 8;
      continue;
    }
    // Its data must give back what its header says: where it does not, this archive's data ended before.
    if (size > limit || data > limit - size || !ZipMemberChecks(file, at)) return 0;
    at = data + size;
  }
  if (members == 0) return 0;
  // The central directory, then the ZIP64 end record and its locator where there are, then the end record
  // with its comment.
  for (uint64_t entries = 0; at < limit && entries < kMaxUnits; ++entries) {
    if (!file.Read(at, std::span(h).first(46)) || Le32(h, 0) != kCentralHeader) break;
    at += 46 + uint64_t{Le16(h, 28)} + Le16(h, 30) + Le16(h, 32);
  }
  if (file.Read(at, std::span(h).first(12)) && Le32(h, 0) == kZip64EndRecord) at += 12 + Le64(h, 4);
  if (file.Read(at, std::span(h).first(4)) && Le32(h, 0) == kZip64Locator) at += 20;
  if (!file.Read(at, std::span(h).first(22)) || Le32(h, 0) != kEndRecord) return 0;
  at += 22 + uint64_t{Le16(h, 20)};
  return at <= limit ? at : 0;
}

namespace {

uint64_t ZipWhole(FileBytes& file) {
  return ZipLength(file, uint64_t{6} << 30);
}

}  // namespace

const FramedFormat kZipFraming = {4, ZipUnitHeader, ZipMemberBytes, ZipMemberChecks, ZipWhole};

namespace {

// Members that break off end the archive after the last whole one.
uint64_t MeasureZip(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  FileBytes file(ctx, header);
  uint64_t validEnd = 0;
  if (const uint64_t n = ZipLength(file, k6GiB, &validEnd); n != 0) return n;
  // A member that states its sizes and fails its check (the first one too) may go on further away.
  const bool framed = ZipMemberBytes(file, validEnd) != 0;
  if (framed) {
    if (const std::optional<Stitched> joined = StitchFramed(ctx, header, validEnd, kZipFraming))
      return Joined(ctx, *joined);
  }
  if (validEnd != 0 || framed) {
    ctx.outcome().intact = false;
    return std::max<uint64_t>(validEnd, ctx.sectorSize());
  }
  return PlainWalk(ctx, k256MiB);
}

constexpr HeaderTest kOfficeOpenXmlHeader = AnyLead(MatchOfficeOpenXml);
constexpr HeaderTest kZipHeader = Lead(MatchZip, 'P');

constexpr CarvingTypeRow kRows[] = {
    {"docx", kDocx, &kOfficeOpenXmlHeader, MeasureZip},
    {"docm", kDocx, &kOfficeOpenXmlHeader, MeasureZip},
    {"dotm", kDocx, &kOfficeOpenXmlHeader, MeasureZip},
    {"dotx", kDocx, &kOfficeOpenXmlHeader, MeasureZip},
    {"xlsx", kXlsx, &kOfficeOpenXmlHeader, MeasureZip},
    {"xlsb", kXlsx, &kOfficeOpenXmlHeader, MeasureZip},
    {"xlsm", kXlsx, &kOfficeOpenXmlHeader, MeasureZip},
    {"xlsx", kXlsx, &kOfficeOpenXmlHeader, MeasureZip},
    {"xlam", kXlsx, &kOfficeOpenXmlHeader, MeasureZip},
    {"xltx", kXlsx, &kOfficeOpenXmlHeader, MeasureZip},
    {"xltm", kXlsx, &kOfficeOpenXmlHeader, MeasureZip},
    {"pptx", kPptx, &kOfficeOpenXmlHeader, MeasureZip},
    {"pptm", kPptx, &kOfficeOpenXmlHeader, MeasureZip},
    {"potx", kPptx, &kOfficeOpenXmlHeader, MeasureZip},
    {"potm", kPptx, &kOfficeOpenXmlHeader, MeasureZip},
    {"ppsx", kPptx, &kOfficeOpenXmlHeader, MeasureZip},
    {"ppsm", kPptx, &kOfficeOpenXmlHeader, MeasureZip},
    {"mso07", kMso07, &kOfficeOpenXmlHeader, MeasureZip},
    {"zip", kZip, &kZipHeader, MeasureZip},
    {"odt", kOdt, &kZipHeader, MeasureZip},
    {"ods", kOds, &kZipHeader, MeasureZip},
    {"odp", kOdp, &kZipHeader, MeasureZip},
    {"odg", kOdg, &kZipHeader, MeasureZip},
    {"epub", kEpub, &kZipHeader, MeasureZip},
};

}  // namespace

std::span<const CarvingTypeRow> ZipFormats() {
  return kRows;
}

}  // namespace snapsave
