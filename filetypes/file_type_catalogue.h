// The carving type table: which raw-sector headers the carver recognises, the type code and extension each
// one gives a carved file, and which length rule measures it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace snapsave {

class CarvingContext;
class SectorReader;
struct HeaderTest;

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

// How a carved file's length is decided. Rows with kNone are recognised (they end the file being measured)
// but never carved.
enum class LengthRule : uint8_t {
  kNone,
  kMpegStream,  // program/elementary stream end code
  kMp4TextMarker,
  kRealMediaIndex,
  kAsfFileProperties,  // size field, capped at 256 MiB
  kSwfHeaderLength,    // size field, capped at 256 MiB
  kRiffSize,           // avi, wav
  kTransportStream,
  kMp3Tag,
  kMidiTracks,
  kApeTag,
  kGifTrailer,
  kBmpSizeField,  // capped at 128 MiB
  kJpegEndMarker,
  kPngEndChunk,
  kIcoDirectory,
  kIsoMediaBoxes,     // top-level boxes; else mp4's text marker or a 6 GiB walk
  kMatroskaElements,  // EBML header and Segment; else a 64 GiB walk
  kFlvTags,           // tag walk; else a 6 GiB walk
  kMpegAudioFrames,   // frame walk with its tags; else mp3's ID3v1 marker or a 256 MiB walk
  kTiffIfds,          // IFD walk to the furthest data; else a 128 MiB walk
  kCompoundDocument,  // the highest sector the FAT uses; else one sector
  kPsdSections,       // sections and image data; else a 128 MiB walk
  kMxfPartitions,     // KLV walk; else a 6 GiB walk
  kSmafChunk,         // the file chunk's size; else a 256 MiB walk
  kM2tsGrid,          // 192-byte packet grid; else a 6 GiB walk
  kOggPages,          // page walk with CRCs; else a 256 MiB walk
  kFlacFrames,        // frames decoded; else a 256 MiB walk
  kZipArchive,        // members, central directory, end record; else a 256 MiB walk
  kPdfTrailer,        // the last %%EOF after a cross-reference section; else a 256 MiB walk
  kGzipMembers,       // each member inflated to its trailer; else a 256 MiB walk
  kBzip2Streams,      // each stream decompressed to its end; else a 256 MiB walk
  kXzStreams,         // each stream decoded to its footer; else a 256 MiB walk
  k7zHeaders,         // the start header's next-header offset and size; else a 256 MiB walk
  kRarBlocks,         // block walk to the end-of-archive block; else a 256 MiB walk
  kSqlitePages,       // page size times page count; else a 256 MiB walk
  kPstSize,           // the header's end-of-file offset; else a 2 GiB walk
  kIffFormSize,       // aiff: the FORM chunk's size
  kAdtsFrames,        // frame walk; else a 256 MiB walk
  kAmrFrames,         // frame walk; else a 256 MiB walk
  kRafOffsets,        // the furthest block the header points at; else a 128 MiB walk
  kWalk128MiB,        // plain sector walks up to the limit
  kWalk256MiB,
  kWalk6GiB,
  kWalk64GiB,
};

struct CarvingTypeRow {
  std::string_view extension;  // no dot; empty only in the terminator
  uint32_t typeCode;
  const HeaderTest* header;  // null only in the terminator
  LengthRule lengthRule;

  // The row's header test on `sector` (a type code, or kNoType).
  uint32_t MatchHeader(const CarvingContext& ctx, std::span<const uint8_t> sector) const;
  bool IsCarved() const { return lengthRule != LengthRule::kNone; }
};

inline constexpr size_t kCarvingTypeRowCount = 115;

// The rows in table order followed by the terminator (code kNoType, empty extension).
std::span<const CarvingTypeRow> CarvingTypeTable();

// First row in table order with this code (it names the code's extension), or null.
const CarvingTypeRow* FirstRowWithCode(uint32_t typeCode);
// First row whose extension equals `extension` regardless of ASCII case, or null; the terminator never
// matches.
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
