#include "filetypes/file_type_catalogue.h"

#include <array>
#include <bit>
#include <cstdlib>
#include <vector>

#include "filetypes/carving_context.h"
#include "os/text.h"

namespace snapsave {

// Each family's rows, defined with its tests and measures in its own file.
std::span<const CarvingTypeRow> MpegFormats();
std::span<const CarvingTypeRow> IsoMediaFormats();
std::span<const CarvingTypeRow> VideoFormats();
std::span<const CarvingTypeRow> RiffFormats();
std::span<const CarvingTypeRow> AudioFormats();
std::span<const CarvingTypeRow> OggFlacFormats();
std::span<const CarvingTypeRow> CompoundDocumentFormats();
std::span<const CarvingTypeRow> PictureFormats();
std::span<const CarvingTypeRow> JpegFormats();
std::span<const CarvingTypeRow> TiffRawFormats();
std::span<const CarvingTypeRow> ZipFormats();
std::span<const CarvingTypeRow> PdfFormats();
std::span<const CarvingTypeRow> ArchiveFormats();
std::span<const CarvingTypeRow> OtherFormats();

namespace {

// The families in the order their tests are tried: the first row whose test matches wins, and the first row
// with a code names its extension. Only tests that may accept the same first byte can compete; among those
// the order is: MPEG audio frames before JPEG (0xFF), the audio formats before TIFF, CAB and programs ('M'),
// RIFF before RAR ('R'), Flash before AIFF before RAF ('F'), BMP before bzip2 ('B').
std::vector<CarvingTypeRow> BuildRows() {
  std::vector<CarvingTypeRow> rows;
  for (auto family : {MpegFormats, IsoMediaFormats, VideoFormats, RiffFormats, AudioFormats, OggFlacFormats,
                      CompoundDocumentFormats, PictureFormats, JpegFormats, TiffRawFormats, ZipFormats,
                      PdfFormats, ArchiveFormats, OtherFormats}) {
    const std::span<const CarvingTypeRow> some = family();
    rows.insert(rows.end(), some.begin(), some.end());
  }
  return rows;
}

const std::vector<CarvingTypeRow>& Rows() {
  static const std::vector<CarvingTypeRow> rows = BuildRows();
  return rows;
}

// For each value of byte 0, the tests (bits in table order) that can match a sector starting with it. A
// random sector then costs the handful of tests that do not key on byte 0 plus those that share its value.
// Rows that share a test are adjacent (the tests check it), so running each distinct test once, in row order,
// gives the same first match as running every row.
constexpr size_t kMaxTests = 64;

struct Dispatch {
  std::array<const HeaderTest*, kMaxTests> tests{};
  std::array<uint64_t, 256> candidates{};
};

Dispatch BuildDispatch() {
  Dispatch d;
  size_t t = 0;
  const std::vector<CarvingTypeRow>& rows = Rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0 && rows[i].header == rows[i - 1].header) continue;
    const HeaderTest& test = *rows[i].header;
    if (t == kMaxTests) std::abort();  // the candidate sets are 64-bit masks
    d.tests[t] = &test;
    const uint64_t bit = uint64_t{1} << t;
    if (test.leadCount == 0) {
      for (auto& c : d.candidates) c |= bit;
    } else {
      for (size_t k = 0; k < test.leadCount; ++k) d.candidates[test.lead[k]] |= bit;
    }
    ++t;
  }
  return d;
}

const Dispatch& TheDispatch() {
  static const Dispatch dispatch = BuildDispatch();
  return dispatch;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (os::AsciiLower(a[i]) != os::AsciiLower(b[i])) return false;
  }
  return true;
}

}  // namespace

uint32_t CarvingTypeRow::MatchHeader(const CarvingContext& ctx, std::span<const uint8_t> sector) const {
  return header != nullptr ? header->match(ctx, sector) : kNoType;
}

std::span<const CarvingTypeRow> CarvingTypeTable() {
  return Rows();
}

const CarvingTypeRow* FirstRowWithCode(uint32_t typeCode) {
  for (const CarvingTypeRow& row : Rows()) {
    if (row.typeCode == typeCode) return &row;
  }
  return nullptr;
}

const CarvingTypeRow* FirstRowWithExtension(std::string_view extension) {
  if (extension.empty()) return nullptr;
  for (const CarvingTypeRow& row : Rows()) {
    if (EqualsIgnoringCase(row.extension, extension)) return &row;
  }
  return nullptr;
}

uint32_t DetectType(const CarvingContext& ctx, std::span<const uint8_t> buffer) {
  if (buffer.empty()) return kNoType;
  const Dispatch& d = TheDispatch();
  for (uint64_t pending = d.candidates[buffer[0]]; pending != 0; pending &= pending - 1) {
    const uint32_t type = d.tests[static_cast<size_t>(std::countr_zero(pending))]->match(ctx, buffer);
    if (type != kNoType) return type;
  }
  return kNoType;
}

uint32_t DetectTypeSequential(const CarvingContext& ctx, std::span<const uint8_t> buffer) {
  for (const CarvingTypeRow& row : Rows()) {
    const uint32_t type = row.MatchHeader(ctx, buffer);
    if (type != kNoType) return type;
  }
  return kNoType;
}

uint32_t FindTypeCodeByExtension(std::string_view extension) {
  const CarvingTypeRow* row = FirstRowWithExtension(extension);
  return row != nullptr ? row->typeCode : kNoType;
}

bool VerifyExtension(std::span<const uint8_t> buffer, std::string_view extension, const SectorReader* source,
                     uint32_t sectorSize, uint64_t startSector) {
  const CarvingTypeRow* row = FirstRowWithExtension(extension);
  if (row == nullptr) return true;
  CarvingContext ctx;
  ctx.Begin(source, sectorSize, startSector);
  ctx.SetStreamStart(false);
  return row->MatchHeader(ctx, buffer) == row->typeCode;
}

}  // namespace snapsave
