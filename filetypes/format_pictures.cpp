// Pictures apart from JPEG and TIFF: GIF and PNG by their blocks and chunks (PNG's CRCs checked, and a PNG
// cut in two joined where its chunks' checksums hold across the cut), BMP and ICO by their headers, and
// Photoshop files by their sections.
#include <algorithm>
#include <optional>
#include <string_view>

#include <zlib.h>
#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- GIF: "GIF" + two digits + a lower-case letter (87a, 89a)
// --------------------------------------------------
uint32_t MatchGif(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 8 || !BytesEqual(b, 0, "GIF")) return kNoType;
  auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
  return digit(b[3]) && digit(b[4]) && b[5] >= 'a' && b[5] <= 'z' ? kGif : kNoType;
}

// ---- BMP: reserved words zero, an info header of a known version (40, 52, 56, 108 or 124 bytes), the pixel
// data behind it and inside the file
// ------
uint32_t MatchBmp(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 40) return kNoType;
  if (!BytesEqual(b, 0, "BM") && !BytesEqual(b, 0, "BA")) return kNoType;
  if (Le16(b, 6) != 0 || Le16(b, 8) != 0) return kNoType;
  const uint32_t info = Le32(b, 14);
  if (info != 40 && info != 52 && info != 56 && info != 108 && info != 124) return kNoType;
  if (info == 40) return kBmp;  // the classic header, as it always was
  const uint32_t size = Le32(b, 2);
  const uint32_t pixels = Le32(b, 10);
  return pixels >= 14 + info && pixels < size ? kBmp : kNoType;
}

// ---- PNG
// -------------------------------------------------------------------------------------------------------
uint32_t MatchPng(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}) ? kPng : kNoType;
}

// ---- Photoshop
// -------------------------------------------------------------------------------------------------
uint32_t MatchPsd(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 40) return kNoType;
  return BytesEqual(b, 0, "8BPS") ? kPsd : kNoType;
}

// ---- ICO: 00 00 01 00 is common in raw data, so the directory must describe images packed right behind it
// ------
uint32_t MatchIco(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16 || !BytesEqual(b, 0, {0x00, 0x00, 0x01, 0x00})) return kNoType;
  const uint16_t count = Le16(b, 4);
  if (count == 0) return kNoType;
  const size_t directoryEnd = 6 + size_t{16} * count;
  if (directoryEnd > b.size()) return kNoType;
  uint64_t expectedOffset = directoryEnd;
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = 6 + 16 * i;
    if (b[entry + 3] != 0) return kNoType;
    if (Le32(b, entry + 12) != expectedOffset) return kNoType;
    expectedOffset += Le32(b, entry + 8);
  }
  return kIco;
}

}  // namespace

// A chunk type is four letters, the third upper-case (its reserved bit clear).
bool PngChunkHeader(ByteSpan h) {
  return Has(h, 0, 8) && Be32(h, 0) <= 0x7FFFFFFF &&
         std::all_of(h.begin() + 4, h.begin() + 8,
                     [](uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }) &&
         (h[6] & 0x20) == 0;
}

uint64_t PngChunkBytes(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 8> h{};
  if (!file.Read(at, h) || !PngChunkHeader(h)) return 0;
  return 12 + uint64_t{Be32(h, 0)};
}

bool PngChunkChecks(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 8> h{};
  std::array<uint8_t, 4> stored{};
  if (!file.Read(at, h) || !PngChunkHeader(h)) return false;
  const uint64_t length = Be32(h, 0);
  if (!file.Read(at + 8 + length, stored)) return false;
  unsigned long crc = crc32(0, h.data() + 4, 4);
  return Crc32Of(file, at + 8, length, crc) && crc == Be32(stored, 0);
}

uint64_t PngLength(FileBytes& file, uint64_t limit, uint64_t* validEnd) {
  std::array<uint8_t, 12> h{};
  if (!file.Read(0, std::span(h).first(8)) || !BytesEqual(h, 0, "\x89PNG\r\n\x1a\n")) return 0;
  uint64_t at = 8;
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (validEnd != nullptr && units > 0) *validEnd = at;  // after the header chunk
    if (!file.Read(at, std::span(h).first(8))) return 0;
    const uint64_t length = Be32(h, 0);
    const bool first = BytesEqual(h, 4, "IHDR") || BytesEqual(h, 4, "CgBI");  // CgBI: Apple's variant
    if (!PngChunkHeader(h) || (units == 0 && !first)) return 0;
    // Every chunk's CRC: where one fails, the data after the last whole chunk is not this picture's.
    if (at + 12 + length > limit || !PngChunkChecks(file, at)) return 0;
    const bool end = BytesEqual(h, 4, "IEND");
    at += 12 + length;
    if (end) return at;
  }
  return 0;
}

uint64_t GifLength(FileBytes& file, uint64_t limit, uint64_t* validEnd) {
  std::array<uint8_t, 13> h{};
  if (!file.Read(0, h) || !(BytesEqual(h, 0, "GIF87a") || BytesEqual(h, 0, "GIF89a"))) return 0;
  auto colourTable = [](uint8_t flags) { return (flags & 0x80) != 0 ? 3 * (uint64_t{2} << (flags & 7)) : 0; };
  uint64_t at = 13 + colourTable(h[10]);
  // Sub-blocks: a size byte, that many bytes, until a size of 0.
  auto subBlocks = [&]() {
    std::array<uint8_t, 1> size{};
    for (uint64_t units = 0; units < kMaxUnits; ++units) {
      if (!file.Read(at, size)) return false;
      at += 1u + size[0];
      if (size[0] == 0) return true;
    }
    return false;
  };
  std::array<uint8_t, 10> b{};
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (validEnd != nullptr && units > 0) *validEnd = at;  // after a whole block
    if (!file.Read(at, std::span(b).first(1))) return 0;
    if (b[0] == 0x3B) return at + 1 <= limit ? at + 1 : 0;  // the trailer
    if (b[0] == 0x21) {                                     // an extension: its label, then sub-blocks
      at += 2;
      if (!subBlocks()) return 0;
    } else if (b[0] == 0x2C) {  // an image: its descriptor, colour table, code size, then sub-blocks
      if (!file.Read(at, b)) return 0;
      at += 10 + colourTable(b[9]) + 1;
      if (!subBlocks()) return 0;
    } else {
      return 0;
    }
  }
  return 0;
}

uint64_t PsdLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 26> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "8BPS")) return 0;
  const uint16_t version = Be16(h, 4);
  const uint64_t channels = Be16(h, 12), height = Be32(h, 14), width = Be32(h, 18), depth = Be16(h, 22);
  if ((version != 1 && version != 2) || channels == 0 || channels > 56 || height == 0 || width == 0 ||
      (depth != 1 && depth != 8 && depth != 16 && depth != 32))
    return 0;
  const bool big = version == 2;
  uint64_t at = 26;
  std::array<uint8_t, 8> n{};
  // Colour-mode data and image resources: 4-byte lengths; layers and masks: 8 bytes in a PSB.
  for (int section = 0; section < 3; ++section) {
    const size_t width8 = section == 2 && big ? 8 : 4;
    if (!file.Read(at, std::span(n).first(width8))) return 0;
    const uint64_t length = width8 == 8 ? Be64(n, 0) : Be32(n, 0);
    if (length > limit) return 0;
    at += width8 + length;
  }
  if (!file.Read(at, std::span(n).first(2))) return 0;
  const uint16_t compression = Be16(n, 0);
  at += 2;
  const uint64_t rows = channels * height;
  if (compression == 0) {
    const uint64_t rowBytes = (width * depth + 7) / 8;
    if (rowBytes != 0 && rows > limit / rowBytes) return 0;
    at += rows * rowBytes;
  } else if (compression == 1) {
    // The byte count of every row of every channel, then the rows.
    const size_t countBytes = big ? 4 : 2;
    if (rows > kMaxUnits) return 0;
    uint64_t data = 0;
    for (uint64_t r = 0; r < rows; ++r) {
      if (!file.Read(at + r * countBytes, std::span(n).first(countBytes))) return 0;
      data += big ? Be32(n, 0) : Be16(n, 0);
    }
    at += rows * countBytes + data;
  } else {
    return 0;  // deflated image data states no length
  }
  return std::min(at, limit);
}

namespace {

uint64_t PngWhole(FileBytes& file) {
  return PngLength(file, kMaxJoinedUnitBytes);
}

// ---- GIF: 00 3B (trailer) and PNG: the IEND chunk
// ----------------------------------------------------------- Every occurrence is tried; a marker wins over a
// stop in the same chunk, so a picture whose trailer lies after another file's header still ends at its
// trailer.
uint64_t TrailerLength(CarvingContext& ctx, ByteSpan header, std::string_view marker) {
  // Its chunks or blocks say where the picture ends, whatever bytes follow it; where they break off, so does
  // the picture.
  {
    FileBytes file(ctx, header);
    uint64_t validEnd = 0;
    const bool png = !header.empty() && header[0] == 0x89;
    if (const uint64_t n = png ? PngLength(file, k128MiB, &validEnd) : GifLength(file, k128MiB, &validEnd);
        n != 0)
      return n;
    if (validEnd != 0) {
      if (png) {
        if (const std::optional<Stitched> joined = StitchFramed(ctx, header, validEnd, kPngFraming))
          return Joined(ctx, *joined);
      }
      ctx.outcome().intact = false;
      return std::max<uint64_t>(validEnd, ctx.sectorSize());
    }
  }
  const uint32_t ss = ctx.sectorSize();
  if (size_t e = AcceptedMarkerEnd(header, marker, ss, true); e != npos) return e;
  Walk w(ctx, k128MiB);
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t e = AcceptedMarkerEnd(w.chunk(), marker, ss, true); e != npos) return w.base() + e;
    if (stopped) break;
  }
  return w.length();
}

constexpr std::string_view kGifTrailer("\x00\x3B", 2);

constexpr std::string_view kPngTrailer("IEND\xAE\x42\x60\x82", 8);

// ---- BMP, DIB: the file size at offset 2
// ----------------------------------------------------------------------
uint64_t BmpLength(ByteSpan header) {
  if (header.size() < 6) return 0;
  return std::min<uint64_t>(Le32(header, 2), k128MiB);
}

// ---- ICO: the last directory entry's image offset plus its size
// ----------------------------------------------
uint64_t IcoLength(CarvingContext& ctx, ByteSpan header) {
  const uint32_t ss = ctx.sectorSize();
  const uint32_t count = Le16(header, 4);
  if (count == 0) return ss;
  const size_t entry = 6 + size_t{16} * (count - 1);
  auto lengthFrom = [&](ByteSpan dir) { return uint64_t{Le32(dir, entry + 12)} + Le32(dir, entry + 8); };
  if (Has(header, entry, 16)) return lengthFrom(header);
  const std::span<uint8_t> buffer = ctx.workBuffer();
  if (ss == 0 || buffer.size() < ss || !Has(ByteSpan(buffer), entry, 16)) return ss;
  const uint64_t medium = MediumSectors(ctx);
  const auto sectors = static_cast<uint32_t>(
      std::min<uint64_t>(buffer.size() / ss, medium > ctx.startSector() ? medium - ctx.startSector() : 0));
  if (sectors == 0 || !ctx.ReadSectors(buffer, ctx.startSector(), sectors)) return ss;
  const ByteSpan dir(buffer.data(), size_t{sectors} * ss);
  return Has(dir, entry, 16) ? lengthFrom(dir) : ss;
}

}  // namespace

namespace {

uint64_t MeasureGif(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  return TrailerLength(ctx, header, kGifTrailer);
}

uint64_t MeasurePng(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  return TrailerLength(ctx, header, kPngTrailer);
}

uint64_t MeasureBmp(CarvingContext& /*ctx*/, uint32_t /*typeCode*/, ByteSpan header) {
  return BmpLength(header);
}

uint64_t MeasureIco(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  return IcoLength(ctx, header);
}

uint64_t MeasurePsd(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, PsdLength, k2GiB); n != 0) return n;
  return PlainWalk(ctx, k128MiB);
}

constexpr HeaderTest kGifHeader = Lead(MatchGif, 'G');
constexpr HeaderTest kBmpHeader = Lead(MatchBmp, 'B');
constexpr HeaderTest kPngHeader = Lead(MatchPng, 0x89);
constexpr HeaderTest kPsdHeader = Lead(MatchPsd, '8');
constexpr HeaderTest kIcoHeader = Lead(MatchIco, 0x00);

constexpr CarvingTypeRow kRows[] = {
    {"gif", kGif, &kGifHeader, MeasureGif},       {"bmp", kBmp, &kBmpHeader, MeasureBmp, true},
    {"dib", kBmp, &kBmpHeader, MeasureBmp, true}, {"png", kPng, &kPngHeader, MeasurePng},
    {"psd", kPsd, &kPsdHeader, MeasurePsd},       {"ico", kIco, &kIcoHeader, MeasureIco, true},
};

}  // namespace

const FramedFormat kPngFraming = {8, PngChunkHeader, PngChunkBytes, PngChunkChecks, PngWhole};

std::span<const CarvingTypeRow> PictureFormats() {
  return kRows;
}

}  // namespace snapsave
