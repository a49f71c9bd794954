#include "filetypes/file_type_catalogue.h"

#include <array>
#include <bit>
#include <cstdlib>

#include "filetypes/carving_context.h"
#include "filetypes/header_tests.h"
#include "os/text.h"

namespace snapsave {
namespace {

using namespace typecode;
using LR = LengthRule;

// Order matters: the first row whose test matches wins, and the first row with a code names its extension.
constexpr CarvingTypeRow kRows[kCarvingTypeRowCount + 1] = {
    {"mpeg", kMpeg, &kMpegHeader, LR::kMpegStream},
    {"mpg", kMpeg, &kMpegHeader, LR::kMpegStream},
    {"vob", kMpeg, &kMpegHeader, LR::kMpegStream},
    {"mp4", kMp4, &kMp4Header, LR::kIsoMediaBoxes},
    {"m4a", kM4a, &kMp4Header, LR::kIsoMediaBoxes},
    {"m4b", kM4a, &kMp4Header, LR::kIsoMediaBoxes},
    {"heic", kHeic, &kMp4Header, LR::kIsoMediaBoxes},
    {"heif", kHeif, &kMp4Header, LR::kIsoMediaBoxes},
    {"avif", kAvif, &kMp4Header, LR::kIsoMediaBoxes},
    {"cr3", kCr3, &kMp4Header, LR::kIsoMediaBoxes},
    {"rmvb", kRealMedia, &kRealMediaHeader, LR::kRealMediaIndex},
    {"rm", kRealMedia, &kRealMediaHeader, LR::kRealMediaIndex},
    {"wmv", kAsf, &kAsfHeader, LR::kAsfFileProperties},
    {"asf", kAsf, &kAsfHeader, LR::kAsfFileProperties},
    {"wma", kAsf, &kAsfHeader, LR::kAsfFileProperties},
    {"swf", kSwf, &kSwfHeader, LR::kSwfHeaderLength},
    {"avi", kAvi, &kAviHeader, LR::kRiffSize},
    {"flv", kFlv, &kFlvHeader, LR::kFlvTags},
    {"3gp", k3gp, &k3gpHeader, LR::kIsoMediaBoxes},
    {"mkv", kMkv, &kMatroskaHeader, LR::kMatroskaElements},
    {"ts", kTs, &kTransportStreamHeader, LR::kTransportStream},
    {"mts", kMts, &kTimestampedTsHeader, LR::kM2tsGrid},
    {"mxf", kMxf, &kMxfHeader, LR::kMxfPartitions},
    {"mp3", kMp3, &kMp3Header, LR::kMpegAudioFrames},
    {"mid", kMidi, &kMidiHeader, LR::kMidiTracks},
    {"ape", kApe, &kApeHeader, LR::kApeTag},
    {"wav", kWav, &kWavHeader, LR::kRiffSize},
    {"webp", kWebp, &kWebpHeader, LR::kRiffSize},
    {"aiff", kAiff, &kAiffHeader, LR::kIffFormSize},
    {"aac", kAac, &kAdtsHeader, LR::kAdtsFrames},
    {"amr", kAmr, &kAmrHeader, LR::kAmrFrames},
    {"mov", kMov, &kMovHeader, LR::kIsoMediaBoxes},
    {"mp2", kMp2, &kMp2Header, LR::kMpegAudioFrames},
    {"mmf", kMmf, &kMmfHeader, LR::kSmafChunk},
    {"ogg", kOgg, &kOggHeader, LR::kOggPages},
    {"opus", kOpus, &kOggHeader, LR::kOggPages},
    {"flac", kFlac, &kFlacHeader, LR::kFlacFrames},
    {"fla", kFla, &kFlaHeader, LR::kCompoundDocument},
    {"gif", kGif, &kGifHeader, LR::kGifTrailer},
    {"bmp", kBmp, &kBmpHeader, LR::kBmpSizeField},
    {"dib", kBmp, &kBmpHeader, LR::kBmpSizeField},
    {"jpg", kJpeg, &kJpegHeader, LR::kJpegEndMarker},
    {"jpeg", kJpeg, &kJpegHeader, LR::kJpegEndMarker},
    {"jpe", kJpeg, &kJpegHeader, LR::kJpegEndMarker},
    {"jfif", kJpeg, &kJpegHeader, LR::kJpegEndMarker},
    {"png", kPng, &kPngHeader, LR::kPngEndChunk},
    {"psd", kPsd, &kPsdHeader, LR::kPsdSections},
    {"tif", kTiff, &kTiffHeader, LR::kTiffIfds},
    {"tiff", kTiff, &kTiffHeader, LR::kTiffIfds},
    {"cr2", kCr2, &kTiffHeader, LR::kTiffIfds},
    {"nef", kNef, &kTiffHeader, LR::kTiffIfds},
    {"arw", kArw, &kTiffHeader, LR::kTiffIfds},
    {"dng", kDng, &kTiffHeader, LR::kTiffIfds},
    {"orf", kOrf, &kTiffHeader, LR::kTiffIfds},
    {"pef", kPef, &kTiffHeader, LR::kTiffIfds},
    {"rw2", kRw2, &kTiffHeader, LR::kTiffIfds},
    {"sr2", kSr2, &kTiffHeader, LR::kTiffIfds},
    {"raf", kRaf, &kRafHeader, LR::kRafOffsets},
    {"ico", kIco, &kIcoHeader, LR::kIcoDirectory},
    {"doc", kDoc, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"dot", kDoc, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"wps", kDoc, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"wpt", kDoc, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"xls", kXls, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"xlt", kXls, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"xla", kXls, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"et", kXls, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"ett", kXls, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"ppt", kPpt, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"pot", kPpt, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"pps", kPpt, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"dps", kPpt, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"dpt", kPpt, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"ole", kOle, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"msg", kMsg, &kCompoundDocumentHeader, LR::kCompoundDocument},
    {"docx", kDocx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"docm", kDocx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"dotm", kDocx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"dotx", kDocx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"xlsx", kXlsx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"xlsb", kXlsx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"xlsm", kXlsx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"xlsx", kXlsx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"xlam", kXlsx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"xltx", kXlsx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"xltm", kXlsx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"pptx", kPptx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"pptm", kPptx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"potx", kPptx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"potm", kPptx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"ppsx", kPptx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"ppsm", kPptx, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"mso07", kMso07, &kOfficeOpenXmlHeader, LR::kZipArchive},
    {"pdf", kPdf, &kPdfHeader, LR::kPdfTrailer},
    {"gz", kGzip, &kGzipHeader, LR::kGzipMembers},
    {"gzip", kGzip, &kGzipHeader, LR::kGzipMembers},
    {"bz2", kBz2, &kBzip2Header, LR::kBzip2Streams},
    {"xz", kXz, &kXzHeader, LR::kXzStreams},
    {"7z", k7z, &k7zHeader, LR::k7zHeaders},
    {"zip", kZip, &kZipHeader, LR::kZipArchive},
    {"odt", kOdt, &kZipHeader, LR::kZipArchive},
    {"ods", kOds, &kZipHeader, LR::kZipArchive},
    {"odp", kOdp, &kZipHeader, LR::kZipArchive},
    {"odg", kOdg, &kZipHeader, LR::kZipArchive},
    {"epub", kEpub, &kZipHeader, LR::kZipArchive},
    {"rar", kRar, &kRarHeader, LR::kRarBlocks},
    {"cab", kCab, &kCabHeader, LR::kNone},
    {"exe", kExe, &kExecutableHeader, LR::kNone},
    {"dll", kDll, &kExecutableHeader, LR::kNone},
    {"sys", kSys, &kExecutableHeader, LR::kNone},
    {"gho", kGho, &kGhostHeader, LR::kNone},
    {"db", kSqlite, &kSqliteHeader, LR::kSqlitePages},
    {"dbx", kDbx, &kDbxHeader, LR::kNone},
    {"pst", kPst, &kPstHeader, LR::kPstSize},
    {"ttf", kTtf, &kTrueTypeHeader, LR::kNone},
    {"", kNoType, nullptr, LR::kNone},
};

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
  for (size_t i = 0; i < kCarvingTypeRowCount; ++i) {
    if (i > 0 && kRows[i].header == kRows[i - 1].header) continue;
    const HeaderTest& test = *kRows[i].header;
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
  return kRows;
}

const CarvingTypeRow* FirstRowWithCode(uint32_t typeCode) {
  for (size_t i = 0; i < kCarvingTypeRowCount; ++i) {
    if (kRows[i].typeCode == typeCode) return &kRows[i];
  }
  return nullptr;
}

const CarvingTypeRow* FirstRowWithExtension(std::string_view extension) {
  if (extension.empty()) return nullptr;
  for (size_t i = 0; i < kCarvingTypeRowCount; ++i) {
    if (EqualsIgnoringCase(kRows[i].extension, extension)) return &kRows[i];
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
  for (size_t i = 0; i < kCarvingTypeRowCount; ++i) {
    const uint32_t type = kRows[i].MatchHeader(ctx, buffer);
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
