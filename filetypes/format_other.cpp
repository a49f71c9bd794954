// Programs, databases, mail stores, fonts and disk images: PE executables told apart by their
// characteristics, SQLite databases and Outlook stores measured by their headers; Ghost images, Outlook
// Express stores and TrueType fonts recognised.
#include <algorithm>
#include <string_view>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- PE executables: the file header's characteristics tell driver, library and program apart
// ----------------
constexpr uint32_t kMaxPeHeaderOffset =
    488;  // "PE\0\0" and the characteristics word stay in the first sector
constexpr uint16_t kImageExecutable = 0x0002;

constexpr uint16_t kImageSystem = 0x1000;

constexpr uint16_t kImageDll = 0x2000;

uint32_t MatchExecutable(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 512 || !BytesEqual(b, 0, "MZ")) return kNoType;
  const uint32_t peOffset = Le32(b, 60);
  if (peOffset > kMaxPeHeaderOffset || !BytesEqual(b, peOffset, {'P', 'E', 0, 0})) return kNoType;
  const uint16_t characteristics = Le16(b, size_t{peOffset} + 22);
  if ((characteristics & kImageExecutable) == 0) return kNoType;
  if ((characteristics & kImageSystem) != 0) return kSys;
  if ((characteristics & kImageDll) != 0) return kDll;
  return kExe;
}

// ---- Ghost image, SQLite, Outlook Express dbx, Outlook pst
// -----------------------------------------------------
uint32_t MatchGhost(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, {0xFE, 0xEF, 0x00, 0x00}) ? kGho : kNoType;
}

uint32_t MatchSqlite(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, std::string_view("SQLite format 3\0", 16)) ? kSqlite : kNoType;
}

uint32_t MatchDbx(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, {0xCF, 0xAD, 0x12, 0xFE}) ? kDbx : kNoType;
}

uint32_t MatchPst(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16) return kNoType;
  return BytesEqual(b, 0, "!BDN") && BytesEqual(b, 8, "SM") ? kPst : kNoType;
}

// ---- TrueType: a plausible table directory followed by a 1.0 version number
// -------------------------------------
uint32_t MatchTrueType(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16 || !BytesEqual(b, 0, {0x00, 0x01, 0x00, 0x00})) return kNoType;
  const uint16_t tables = Be16(b, 4);
  if (tables == 0 || Le16(b, 6) == 0 || Le16(b, 8) == 0 || Le16(b, 10) == 0) return kNoType;
  const size_t behind = 12 + size_t{16} * tables;
  if (behind + 4 > b.size()) return kNoType;
  return BytesEqual(b, behind, {0x00, 0x01, 0x00, 0x00}) ? kTtf : kNoType;
}

}  // namespace

uint64_t SqliteLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 100> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, std::string_view("SQLite format 3\0", 16))) return 0;
  const uint64_t pageSize = Be16(h, 16) == 1 ? 65536 : Be16(h, 16);
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return 0;
  // Fixed payload fractions; the page count is only kept by writers that also keep this counter in step.
  if (h[21] != 64 || h[22] != 32 || h[23] != 32) return 0;
  const uint64_t pages = Be32(h, 28);
  if (pages == 0 || Be32(h, 24) != Be32(h, 92)) return 0;
  const uint64_t end = pageSize * pages;
  return end <= limit ? end : 0;
}

uint64_t PstLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 0xC0> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "!BDN") || !BytesEqual(h, 8, "SM")) return 0;
  const uint16_t version = Le16(h, 10);
  uint64_t end = 0;
  if (version == 14 || version == 15) {
    end = Le32(h, 0xA8);  // ANSI root
  } else if (version >= 23 && version <= 40) {
    end = Le64(h, 0xB8);  // Unicode root
  }
  // At least the header and the first allocation map.
  return end > 0x4400 && end <= limit ? end : 0;
}

namespace {

uint64_t MeasureSqlite(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, SqliteLength, k64GiB); n != 0) return n;
  return PlainWalk(ctx, k256MiB);
}

uint64_t MeasurePst(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, PstLength, k64GiB); n != 0) return n;
  return PlainWalk(ctx, k2GiB);
}

constexpr HeaderTest kExecutableHeader = Lead(MatchExecutable, 'M');
constexpr HeaderTest kGhostHeader = Lead(MatchGhost, 0xFE);
constexpr HeaderTest kSqliteHeader = Lead(MatchSqlite, 'S');
constexpr HeaderTest kDbxHeader = Lead(MatchDbx, 0xCF);
constexpr HeaderTest kPstHeader = Lead(MatchPst, '!');
constexpr HeaderTest kTrueTypeHeader = Lead(MatchTrueType, 0x00);

// Programs, Ghost images, dbx stores and fonts are recognised (they end what came before them), not carved.
constexpr CarvingTypeRow kRows[] = {
    {"exe", kExe, &kExecutableHeader, nullptr},     {"dll", kDll, &kExecutableHeader, nullptr},
    {"sys", kSys, &kExecutableHeader, nullptr},     {"gho", kGho, &kGhostHeader, nullptr},
    {"db", kSqlite, &kSqliteHeader, MeasureSqlite}, {"dbx", kDbx, &kDbxHeader, nullptr},
    {"pst", kPst, &kPstHeader, MeasurePst},         {"ttf", kTtf, &kTrueTypeHeader, nullptr, true},
};

}  // namespace

std::span<const CarvingTypeRow> OtherFormats() {
  return kRows;
}

}  // namespace snapsave
