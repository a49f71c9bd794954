// The carving type table: which raw-sector headers the carver recognises, the type code and extension each
// one gives a carved file, and how a file of it is measured. Each format family (filetypes/format_*.cpp)
// holds its rows with their header tests and measures; the table lists the families in the order their
// tests are tried.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "os/byte_reader.h"

namespace snapsave {

class CarvingContext;
class SectorReader;

// "No type" throughout carving: what a header test returns when it does not match.
inline constexpr uint32_t kNoType = 49;

namespace typecode {
inline constexpr uint32_t kDoc = 0, kDocx = 1, kOle = 2, kXls = 3, kXlsx = 4, kPpt = 5, kPptx = 6, kMso07 = 7,
                          kPdf = 8, kGho = 9, kJpeg = 10, kMp2 = 11, kMp3 = 12, kMidi = 13, kMmf = 14,
                          kMpeg = 15, k3gp = 16, kMov = 17, kMp4 = 18, kMkv = 19, kTs = 20, kWav = 21,
                          kAvi = 22, kRealMedia = 23, kAsf = 24, kApe = 25, kSwf = 26, kFlv = 27, kPsd = 28,
                          kBmp = 29, kPng = 30, kGif = 31, kTiff = 32, kCab = 33, k7z = 34, kZip = 35,
                          kGzip = 36, kRar = 37, kPst = 38, kSqlite = 39, kDbx = 40, kExe = 41, kDll = 42,
                          kSys = 43, kFla = 44, kTtf = 45, kIco = 46, kMts = 47, kMxf = 48;
// Camera RAW formats; 49 is kNoType.
inline constexpr uint32_t kCr2 = 50, kNef = 51, kArw = 52, kDng = 53, kOrf = 54, kPef = 55, kRw2 = 56,
                          kSr2 = 57;
// Free audio formats.
inline constexpr uint32_t kOgg = 58, kFlac = 59;
// ZIP-based documents named by their "mimetype" member.
inline constexpr uint32_t kOdt = 60, kOds = 61, kOdp = 62, kOdg = 63, kEpub = 64;
// Pictures, audio and documents of phones and today's cameras, and more archives.
inline constexpr uint32_t kHeic = 65, kHeif = 66, kAvif = 67, kCr3 = 68, kM4a = 69, kOpus = 70, kWebp = 71,
                          kAiff = 72, kAac = 73, kAmr = 74, kRaf = 75, kMsg = 76, kBz2 = 77, kXz = 78;
inline constexpr uint32_t kLastTypeCode = kXz;
}  // namespace typecode

// Whether a sector begins a file of its kind: the type code it recognises (a test may choose among several
// codes), or kNoType. Most look at the sector alone; the few that read on or know the carve so far do it
// through the carver's context.
struct HeaderTest {
  uint32_t (*match)(const CarvingContext& ctx, ByteSpan sector);
  // Values byte 0 must hold for `match` to return anything but kNoType; leadCount 0 means any value may. Lets
  // DetectType skip tests that cannot match without changing which test wins.
  uint8_t leadCount = 0;
  std::array<uint8_t, 2> lead{};
};
constexpr HeaderTest Lead(uint32_t (*match)(const CarvingContext&, ByteSpan), uint8_t lead) {
  return {match, 1, {lead, 0}};
}
constexpr HeaderTest Lead(uint32_t (*match)(const CarvingContext&, ByteSpan), uint8_t a, uint8_t b) {
  return {match, 2, {a, b}};
}
constexpr HeaderTest AnyLead(uint32_t (*match)(const CarvingContext&, ByteSpan)) {
  return {match, 0, {}};
}

// The length in bytes, from the start of its header sector, of the file of `typeCode` whose header sector is
// `header`; the start sector, reader, work buffer and progress come from the context (see MeasureLength).
using MeasureFn = uint64_t (*)(CarvingContext& ctx, uint32_t typeCode, ByteSpan header);

struct CarvingTypeRow {
  std::string_view extension;  // no dot
  uint32_t typeCode;
  const HeaderTest* header;
  // Null for rows that are recognised (they end the file being measured) but never carved.
  MeasureFn measure;
  // Measured by a header field that may be wrong, or saying little: the pass moves on one sector after the
  // carve, so that a wrong field cannot hide the files behind it.
  bool stepsOneSector = false;

  // The row's header test on `sector` (a type code, or kNoType).
  uint32_t MatchHeader(const CarvingContext& ctx, std::span<const uint8_t> sector) const;
  bool IsCarved() const { return measure != nullptr; }
};

// The rows in table order.
std::span<const CarvingTypeRow> CarvingTypeTable();

// First row in table order with this code (it names the code's extension), or null.
const CarvingTypeRow* FirstRowWithCode(uint32_t typeCode);
// First row whose extension equals `extension` regardless of ASCII case, or null.
const CarvingTypeRow* FirstRowWithExtension(std::string_view extension);

// The first result other than kNoType of the header tests in table order, or kNoType. Tests that read further
// sectors do so through `ctx`.
uint32_t DetectType(const CarvingContext& ctx, std::span<const uint8_t> buffer);

// The same answer as DetectType, found by running every test in table order; the reference DetectType's
// shortcuts are checked against.
uint32_t DetectTypeSequential(const CarvingContext& ctx, std::span<const uint8_t> buffer);

// Code of the first row with this extension (ASCII case ignored), else kNoType.
uint32_t FindTypeCodeByExtension(std::string_view extension);

// Whether the first sector of a file named with `extension` really starts such a file. True for extensions
// the table does not know. Tests that read on read `source` from `startSector`, as at the start of a file
// with no carve before it.
bool VerifyExtension(std::span<const uint8_t> buffer, std::string_view extension, const SectorReader* source,
                     uint32_t sectorSize, uint64_t startSector);

}  // namespace snapsave
