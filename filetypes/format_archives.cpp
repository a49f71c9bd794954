// Archives and compressed streams: gzip, bzip2 and xz decompressed to their ends (members and streams that
// follow directly taken too), 7z by its start header, RAR by its blocks, and CAB recognised.
#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#ifdef SNAPSAVE_HAVE_BZIP2
#include <bzlib.h>
#endif
#ifdef SNAPSAVE_HAVE_LZMA
#include <lzma.h>
#endif
#include <zlib.h>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- gzip: deflate, no flags or only a file name, best or fastest compression, a known operating system
// --------
uint32_t MatchGzip(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 16 || !BytesEqual(b, 0, {0x1F, 0x8B, 0x08})) return kNoType;
  if (b[3] != 0 && b[3] != 8) return kNoType;
  if (b[8] != 2 && b[8] != 4) return kNoType;
  return b[9] <= 13 || b[9] == 0xFF ? kGzip : kNoType;
}

// ---- bzip2: block size digit and the first block's magic (or the end-of-stream magic of an empty stream);
// xz: the stream header's flags, of which only the check type may be set
uint32_t MatchBzip2(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 10 || !BytesEqual(b, 0, "BZh") || b[3] < '1' || b[3] > '9') return kNoType;
  return BytesEqual(b, 4, {0x31, 0x41, 0x59, 0x26, 0x53, 0x59}) ||
                 BytesEqual(b, 4, {0x17, 0x72, 0x45, 0x38, 0x50, 0x90})
             ? kBz2
             : kNoType;
}

uint32_t MatchXz(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 12 || !BytesEqual(b, 0, {0xFD, '7', 'z', 'X', 'Z', 0x00}) || b[6] != 0) return kNoType;
  return b[7] == 0x00 || b[7] == 0x01 || b[7] == 0x04 || b[7] == 0x0A ? kXz : kNoType;
}

// ---- 7z, zip, rar, cab
// -----------------------------------------------------------------------------------------
uint32_t Match7z(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, {0x37, 0x7A, 0xBC, 0xAF, 0x27}) ? k7z : kNoType;
}

uint32_t MatchRar(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}) ? kRar : kNoType;
}

uint32_t MatchCab(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 36) return kNoType;
  return BytesEqual(b, 0, "MSCF") ? kCab : kNoType;
}

// Members or streams one file may hold (block-compressed formats write one per 64 KiB block); each costs a
// decoder's set-up, so a crafted run of tiny ones stays cheap.
constexpr uint64_t kMaxMembers = uint64_t{1} << 16;

// Decompressing a stream to find its end stops at this much output: far beyond real archives' ratios of
// what a carve finds, and a bound on the time a crafted stream of zeros can cost.
constexpr uint64_t kMaxDecompressed = uint64_t{4} << 30;

// Decoders may use this much memory (xz -9 needs 65 MiB); a header asking for more is not decoded.
constexpr uint64_t kDecoderMemory = uint64_t{128} << 20;

// CRC-32 of the bytes [from, to); nothing when they cannot all be read.
std::optional<uint32_t> Crc32Of(FileBytes& file, uint64_t from, uint64_t to) {
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t at = from; at < to;) {
    const ByteSpan view = file.View(at);
    if (view.empty()) return std::nullopt;
    const auto n = static_cast<uInt>(std::min<uint64_t>({view.size(), to - at, 1u << 20}));
    crc = crc32(crc, view.data(), n);
    at += n;
  }
  return static_cast<uint32_t>(crc);
}

// The stream of bytes from `at` fed window by window to a decoder step; where the decoder reports the end of
// its stream, the offset just behind it, else 0. `step` takes the input and answers how much it consumed,
// whether it ended, and whether it failed.
struct StepResult {
  size_t consumed = 0;
  bool ended = false;
  bool failed = false;
};

template <typename Step>
uint64_t DecodedEnd(FileBytes& file, uint64_t at, uint64_t limit, Step step) {
  while (at < limit) {
    const ByteSpan view = file.View(at);
    if (view.empty()) return 0;
    const auto n = static_cast<size_t>(std::min<uint64_t>({view.size(), limit - at, 1u << 16}));
    const StepResult r = step(view.first(n));
    at += r.consumed;
    if (r.ended) return at;
    if (r.failed || r.consumed == 0) return 0;
  }
  return 0;
}

}  // namespace

#ifdef SNAPSAVE_HAVE_BZIP2

namespace {

uint64_t Bzip2StreamEnd(FileBytes& file, uint64_t at, uint64_t limit) {
  bz_stream z{};
  if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return 0;
  std::array<char, 65536> sink{};
  uint64_t produced = 0;
  const uint64_t end = DecodedEnd(file, at, limit, [&](ByteSpan in) {
    StepResult r;
    // libbz2's API is not const; it only reads the input.
    z.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(in.data()));
    z.avail_in = static_cast<unsigned>(in.size());
    while (z.avail_in != 0 && !r.ended && !r.failed) {
      z.next_out = sink.data();
      z.avail_out = static_cast<unsigned>(sink.size());
      const int result = BZ2_bzDecompress(&z);
      produced += sink.size() - z.avail_out;
      r.ended = result == BZ_STREAM_END;
      r.failed = (result != BZ_OK && !r.ended) || produced > kMaxDecompressed;
      if (result == BZ_OK && z.avail_out == sink.size() && z.avail_in != 0) r.failed = true;  // no progress
    }
    r.consumed = in.size() - z.avail_in;
    return r;
  });
  BZ2_bzDecompressEnd(&z);
  return end;
}

}  // namespace

#else

namespace {

// Built without libbz2 (the Windows build): the stream is not followed; the stop rules end it.
uint64_t Bzip2StreamEnd(FileBytes&, uint64_t, uint64_t) {
  return 0;
}

}  // namespace

#endif

#ifdef SNAPSAVE_HAVE_LZMA

namespace {

uint64_t XzStreamEnd(FileBytes& file, uint64_t at, uint64_t limit) {
  lzma_stream z = LZMA_STREAM_INIT;
  if (lzma_stream_decoder(&z, kDecoderMemory, 0) != LZMA_OK) return 0;
  std::array<uint8_t, 65536> sink{};
  uint64_t produced = 0;
  const uint64_t end = DecodedEnd(file, at, limit, [&](ByteSpan in) {
    StepResult r;
    z.next_in = in.data();
    z.avail_in = in.size();
    while (z.avail_in != 0 && !r.ended && !r.failed) {
      z.next_out = sink.data();
      z.avail_out = sink.size();
      const lzma_ret result = lzma_code(&z, LZMA_RUN);
      produced += sink.size() - z.avail_out;
      r.ended = result == LZMA_STREAM_END;
      r.failed = (result != LZMA_OK && !r.ended) || produced > kMaxDecompressed;
    }
    r.consumed = in.size() - z.avail_in;
    return r;
  });
  lzma_end(&z);
  return end;
}

}  // namespace

#else

namespace {

// Built without liblzma (the Windows build): the stream is not followed; the stop rules end it.
uint64_t XzStreamEnd(FileBytes&, uint64_t, uint64_t) {
  return 0;
}

}  // namespace

#endif

namespace {

// Members or streams one after another: `starts` tells whether the bytes at an offset open one, `end` where
// the one there ends (0 when it breaks off). The end of the last whole one, or 0 when the first breaks off.
template <typename Starts, typename End>
uint64_t Concatenated(FileBytes& file, uint64_t limit, uint64_t* validEnd, Starts starts, End end) {
  uint64_t at = 0;
  for (uint64_t units = 0; at < limit && units < kMaxMembers; ++units) {
    std::array<uint8_t, 6> magic{};
    if (ReadUpTo(file, at, magic) != magic.size() || !starts(ByteSpan(magic))) break;
    const uint64_t next = end(at);
    if (next <= at) break;
    at = next;
    if (validEnd != nullptr) *validEnd = at;
  }
  return at;
}

}  // namespace

uint64_t GzipLength(FileBytes& file, uint64_t limit, uint64_t* validEnd) {
  if (validEnd != nullptr) *validEnd = 0;
  const uint64_t end = Concatenated(
      file, limit, validEnd,
      [](ByteSpan m) {
        return BytesEqual(m, 0, {0x1F, 0x8B, 0x08});
      },
      [&](uint64_t at) { return InflatedEnd(file, at, limit, 16 + MAX_WBITS, kMaxDecompressed); });
  return end;
}

uint64_t Bzip2Length(FileBytes& file, uint64_t limit, uint64_t* validEnd) {
  if (validEnd != nullptr) *validEnd = 0;
  return Concatenated(
      file, limit, validEnd, [](ByteSpan m) { return BytesEqual(m, 0, "BZh") && m[3] >= '1' && m[3] <= '9'; },
      [&](uint64_t at) { return Bzip2StreamEnd(file, at, limit); });
}

uint64_t XzLength(FileBytes& file, uint64_t limit, uint64_t* validEnd) {
  if (validEnd != nullptr) *validEnd = 0;
  return Concatenated(
      file, limit, validEnd,
      [](ByteSpan m) {
        return BytesEqual(m, 0, {0xFD, '7', 'z', 'X', 'Z', 0x00});
      },
      [&](uint64_t at) { return XzStreamEnd(file, at, limit); });
}

uint64_t SevenZipLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 32> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C})) return 0;
  if (crc32(crc32(0, nullptr, 0), h.data() + 12, 20) != Le32(h, 8)) return 0;
  const uint64_t offset = Le64(h, 12), size = Le64(h, 20);
  if (offset > limit || size > limit - offset || limit - offset - size < 32) return 0;
  return 32 + offset + size;
}

namespace {

// A RAR 5 variable-length integer at `i` of `b`: 7 bits per byte, low first; the offset behind it, or 0.
size_t ReadVint(ByteSpan b, size_t i, uint64_t& value) {
  value = 0;
  for (size_t k = 0; k < 10 && i + k < b.size(); ++k) {
    value |= uint64_t{b[i + k] & 0x7Fu} << (7 * k);
    if ((b[i + k] & 0x80) == 0) return i + k + 1;
  }
  return 0;
}

constexpr uint8_t kRar4Main = 0x73, kRar4File = 0x74, kRar4Service = 0x7A, kRar4End = 0x7B;

uint64_t Rar4Length(FileBytes& file, uint64_t limit) {
  uint64_t at = 7;
  uint64_t last = 0;
  std::array<uint8_t, 40> b{};
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (ReadUpTo(file, at, std::span(b).first(7)) != 7) break;
    const uint8_t type = b[2];
    const uint16_t flags = Le16(b, 3);
    const uint16_t size = Le16(b, 5);
    if (type < 0x72 || type > kRar4End || size < 7 || (units == 0 && type != kRar4Main)) break;
    uint64_t data = 0;
    if (type == kRar4File || type == kRar4Service) {
      // Packed size at 7; its high half at 32 for large files.
      const bool large = (flags & 0x100) != 0;
      if (size < (large ? 40 : 32) ||
          ReadUpTo(file, at, std::span(b).first(large ? 40 : 32)) != (large ? 40u : 32u))
        break;
      data = Le32(b, 7) | (large ? uint64_t{Le32(b, 36)} << 32 : 0);
    } else if ((flags & 0x8000) != 0) {
      if (size < 11 || ReadUpTo(file, at, std::span(b).first(11)) != 11) break;
      data = Le32(b, 7);
    }
    const std::optional<uint32_t> crc = Crc32Of(file, at + 2, at + size);
    if (!crc || (*crc & 0xFFFF) != Le16(b, 0) || data > limit) break;
    at += size + data;
    last = at;
    if (type == kRar4End) break;
  }
  return std::min(last, limit);
}

constexpr uint64_t kRar5MaxHeader = uint64_t{2} << 20;

constexpr uint64_t kRar5Main = 1, kRar5Encryption = 4, kRar5End = 5;

uint64_t Rar5Length(FileBytes& file, uint64_t limit) {
  uint64_t at = 8;
  uint64_t last = 0;
  std::array<uint8_t, 64> b{};
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    const size_t got = ReadUpTo(file, at, b);
    uint64_t headerSize = 0;
    const size_t header = got >= 5 ? ReadVint(ByteSpan(b).first(got), 4, headerSize) : 0;
    if (header == 0 || headerSize == 0 || headerSize > kRar5MaxHeader) break;
    const std::optional<uint32_t> crc = Crc32Of(file, at + 4, at + header + headerSize);
    if (!crc || *crc != Le32(b, 0)) break;
    // Type, flags, then the extra area's and the data's sizes where the flags say they are there.
    const ByteSpan fields = ByteSpan(b).first(std::min<size_t>(got, header + headerSize));
    uint64_t type = 0, flags = 0, extra = 0, data = 0;
    size_t i = ReadVint(fields, header, type);
    if (i != 0) i = ReadVint(fields, i, flags);
    if (i != 0 && (flags & 1) != 0) i = ReadVint(fields, i, extra);
    if (i != 0 && (flags & 2) != 0) i = ReadVint(fields, i, data);
    if (i == 0 || type == 0 || type > kRar5End) break;
    if (units == 0 && type != kRar5Main && type != kRar5Encryption) break;
    if (data > limit) break;
    at += header + headerSize + data;
    last = at;
    if (type == kRar5End) break;
  }
  return std::min(last, limit);
}

}  // namespace

uint64_t RarLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 8> sig{};
  if (!file.Read(0, sig) || !BytesEqual(sig, 0, {'R', 'a', 'r', '!', 0x1A, 0x07})) return 0;
  if (sig[6] == 0x00) return Rar4Length(file, limit);
  if (sig[6] == 0x01 && sig[7] == 0x00) return Rar5Length(file, limit);
  return 0;
}

namespace {

// Where a later member or stream breaks off, the file ends after the last whole one.
uint64_t MeasureCompressed(CarvingContext& ctx, uint32_t typeCode, ByteSpan header) {
  FileBytes file(ctx, header);
  uint64_t validEnd = 0;
  const uint64_t n = typeCode == kGzip  ? GzipLength(file, k2GiB, &validEnd)
                     : typeCode == kBz2 ? Bzip2Length(file, k2GiB, &validEnd)
                                        : XzLength(file, k2GiB, &validEnd);
  if (n != 0) return n;
  // Checked data that does not decode from its first member on: the file is not whole.
  ctx.outcome().intact = false;
  return PlainWalk(ctx, k256MiB);
}

uint64_t Measure7z(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, SevenZipLength, k64GiB); n != 0) return n;
  return PlainWalk(ctx, k256MiB);
}

uint64_t MeasureRar(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, RarLength, k64GiB); n != 0) return n;
  return PlainWalk(ctx, k256MiB);
}

constexpr HeaderTest kGzipHeader = Lead(MatchGzip, 0x1F);
constexpr HeaderTest kBzip2Header = Lead(MatchBzip2, 'B');
constexpr HeaderTest kXzHeader = Lead(MatchXz, 0xFD);
constexpr HeaderTest k7zHeader = Lead(Match7z, '7');
constexpr HeaderTest kRarHeader = Lead(MatchRar, 'R');
constexpr HeaderTest kCabHeader = Lead(MatchCab, 'M');

// CAB files are recognised (they end what came before them) but not carved.
constexpr CarvingTypeRow kRows[] = {
    {"gz", kGzip, &kGzipHeader, MeasureCompressed},
    {"gzip", kGzip, &kGzipHeader, MeasureCompressed},
    {"bz2", kBz2, &kBzip2Header, MeasureCompressed},
    {"xz", kXz, &kXzHeader, MeasureCompressed},
    {"7z", k7z, &k7zHeader, Measure7z},
    {"rar", kRar, &kRarHeader, MeasureRar},
    {"cab", kCab, &kCabHeader, nullptr, true},
};

}  // namespace

std::span<const CarvingTypeRow> ArchiveFormats() {
  return kRows;
}

}  // namespace snapsave
