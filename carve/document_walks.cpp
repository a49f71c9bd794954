#include "carve/document_walks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>

#include "filetypes/mpeg_audio.h"

#ifdef SNAPSAVE_HAVE_BZIP2
#include <bzlib.h>
#endif
#ifdef SNAPSAVE_HAVE_LZMA
#include <lzma.h>
#endif
#include <zlib.h>

namespace snapsave {
namespace {

// Walks never take more steps than this (as the container walkers).
constexpr uint64_t kMaxUnits = uint64_t{1} << 22;
// Members or streams one file may hold (block-compressed formats write one per 64 KiB block); each costs a
// decoder's set-up, so a crafted run of tiny ones stays cheap.
constexpr uint64_t kMaxMembers = uint64_t{1} << 16;
// "%%EOF" markers a PDF walk examines: one per incremental update in real files; each costs reads at the
// offset its trailer names.
constexpr uint64_t kMaxEofMarkers = uint64_t{1} << 12;
// Decompressing a stream to find its end stops at this much output: far beyond real archives' ratios of
// what a carve finds, and a bound on the time a crafted stream of zeros can cost.
constexpr uint64_t kMaxDecompressed = uint64_t{4} << 30;
// Decoders may use this much memory (xz -9 needs 65 MiB); a header asking for more is not decoded.
constexpr uint64_t kDecoderMemory = uint64_t{128} << 20;

// Up to `out.size()` bytes from `at`, as many as the medium holds; how many were read (0 on a failed read).
size_t ReadUpTo(FileBytes& file, uint64_t at, std::span<uint8_t> out) {
  if (at >= file.MediumBytes()) return 0;
  const auto n = static_cast<size_t>(std::min<uint64_t>(out.size(), file.MediumBytes() - at));
  return file.Read(at, out.first(n)) ? n : 0;
}

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

#ifdef SNAPSAVE_HAVE_BZIP2
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
#else
// Built without libbz2 (the Windows build): the stream is not followed; the stop rules end it.
uint64_t Bzip2StreamEnd(FileBytes&, uint64_t, uint64_t) {
  return 0;
}
#endif

#ifdef SNAPSAVE_HAVE_LZMA
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
#else
// Built without liblzma (the Windows build): the stream is not followed; the stop rules end it.
uint64_t XzStreamEnd(FileBytes&, uint64_t, uint64_t) {
  return 0;
}
#endif

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

// ---- PDF
bool IsPdfSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}
bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}

size_t SkipSpace(ByteSpan b, size_t i) {
  while (i < b.size() && IsPdfSpace(b[i])) ++i;
  return i;
}

// Digits at `i`, at most `most` of them; where they end, or `i` for none or too many.
size_t SkipDigits(ByteSpan b, size_t i, size_t most) {
  size_t d = i;
  while (d < b.size() && IsDigit(b[d])) ++d;
  return d - i <= most ? d : i;
}

// Whether `b` begins, after white space, with a cross-reference table ("xref") or an indirect object
// ("12 0 obj"), which is what a cross-reference stream is and what an incremental update opens with.
bool OpensXrefOrObject(ByteSpan b) {
  const size_t i = SkipSpace(b, 0);
  if (BytesEqual(b, i, "xref")) return true;
  const size_t number = SkipDigits(b, i, 10);
  if (number == i) return false;
  const size_t gap = SkipSpace(b, number);
  const size_t generation = SkipDigits(b, gap, 5);
  if (gap == number || generation == gap) return false;
  const size_t keyword = SkipSpace(b, generation);
  return keyword != generation && BytesEqual(b, keyword, "obj");
}

// Whether the "%%EOF" at `eof` closes a trailer: "startxref", an offset and only white space before it, the
// offset pointing at a cross-reference section or stream. `newline` receives the line end the file uses.
bool ClosesCrossReference(FileBytes& file, uint64_t eof, std::string_view& newline) {
  std::array<uint8_t, 64> back{};
  const auto n = static_cast<size_t>(std::min<uint64_t>(eof, back.size()));
  if (!file.Read(eof - n, std::span(back).first(n))) return false;
  const ByteSpan b = ByteSpan(back).first(n);
  newline = n >= 2 && b[n - 2] == '\r' && b[n - 1] == '\n' ? "\r\n"
            : n >= 1 && b[n - 1] == '\n'                   ? "\n"
            : n >= 1 && b[n - 1] == '\r'                   ? "\r"
                                                           : "";
  size_t keyword = n;
  for (size_t p = 0; p + 9 <= n; ++p) {
    if (BytesEqual(b, p, "startxref")) keyword = p;
  }
  if (keyword == n) return false;
  const size_t digits = SkipSpace(b, keyword + 9);
  const size_t after = SkipDigits(b, digits, 19);
  if (after == digits || after == keyword + 9 || SkipSpace(b, after) != n) return false;
  uint64_t offset = 0;
  for (size_t i = digits; i < after; ++i) offset = offset * 10 + (b[i] - '0');
  if (offset >= eof) return false;
  std::array<uint8_t, 40> target{};
  const size_t got = ReadUpTo(file, offset, std::span(target).first(std::min<uint64_t>(40, eof - offset)));
  return got != 0 && OpensXrefOrObject(ByteSpan(target).first(got));
}

}  // namespace

uint64_t PdfLength(FileBytes& file, uint64_t limit, SectorStop stop) {
  std::array<uint8_t, 5> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "%PDF-")) return 0;
  CarvingContext& ctx = file.context();
  const uint32_t ss = ctx.sectorSize();
  uint64_t closed = 0;  // behind the last "%%EOF" that closes a trailer
  uint64_t any = 0;     // behind the last "%%EOF" of any kind
  uint64_t tested = 0;  // sectors up to this one passed the stop test (sector 0 is the header)
  uint64_t at = h.size();
  for (uint64_t markers = 0; at < limit && markers < kMaxEofMarkers;) {
    const ByteSpan view = file.View(at);
    if (view.empty()) break;
    const auto n = static_cast<size_t>(std::min<uint64_t>(view.size(), limit - at));
    // Byte by byte only at sector starts (the stop test) and at '%'; memchr skips the rest.
    size_t i = 0;
    bool marker = false;
    bool stopped = false;
    while (i < n) {
      const uint64_t offset = at + i;
      if (ss != 0 && offset % ss == 0 && offset / ss > tested) {
        if (view.size() - i >= ss && stop != nullptr &&
            stop(ctx, ctx.startSector() + offset / ss, view.subspan(i, ss))) {
          stopped = true;
          break;
        }
        tested = offset / ss;
      }
      const size_t sectorEnd = ss != 0 ? std::min<size_t>(n, i + (ss - offset % ss)) : n;
      const void* percent = std::memchr(view.data() + i, '%', sectorEnd - i);
      if (percent == nullptr) {
        i = sectorEnd;
        continue;
      }
      i = static_cast<size_t>(static_cast<const uint8_t*>(percent) - view.data());
      if (i + 5 > view.size()) {  // the window ends within it: read it whole
        std::array<uint8_t, 5> m{};
        marker = file.Read(at + i, m) && BytesEqual(m, 0, "%%EOF");
        if (!marker) ++i;
        break;  // the window may have moved
      }
      if (BytesEqual(view, i, "%%EOF")) {
        marker = true;
        break;
      }
      ++i;
    }
    if (stopped) break;
    if (!marker) {
      at += i;
      continue;
    }
    const uint64_t eof = at + i;
    ++markers;
    std::string_view newline;
    const bool closes = ClosesCrossReference(file, eof, newline);
    uint64_t end = eof + 5;
    std::array<uint8_t, 40> next{};
    if (!newline.empty() && ReadUpTo(file, end, std::span(next).first(newline.size())) == newline.size() &&
        BytesEqual(next, 0, newline))
      end += newline.size();
    end = std::min(end, limit);
    if (closes) {
      closed = end;
      // An incremental update or a linearized file's main part goes on; anything else is not this file's.
      const size_t got = ReadUpTo(file, end, next);
      if (got == 0 || !OpensXrefOrObject(ByteSpan(next).first(got))) return closed;
    } else {
      any = end;
    }
    at = eof + 5;
  }
  return std::max(closed, any);
}

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

uint64_t AdtsLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 7> first{};
  if (!file.Read(0, first) || !IsAdtsFrameHeader(first, 0)) return 0;
  uint64_t at = 0;
  uint64_t frames = 0;
  std::array<uint8_t, 7> h{};
  for (; at < limit && frames < kMaxUnits; ++frames) {
    if (ReadUpTo(file, at, h) != h.size() || !SameAdtsStream(first, h, 0)) break;
    const size_t length = AdtsFrameLength(h, 0);
    if (length > limit - at) break;
    at += length;
  }
  std::array<uint8_t, 3> tag{};
  if (ReadUpTo(file, at, tag) == 3 && BytesEqual(tag, 0, "TAG") && limit - at >= 128) at += 128;
  return frames >= 2 ? at : 0;
}

uint64_t AmrLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 9> h{};
  if (ReadUpTo(file, 0, h) < 6) return 0;
  const bool wide = BytesEqual(h, 0, "#!AMR-WB\n");
  if (!wide && !BytesEqual(h, 0, "#!AMR\n")) return 0;
  uint64_t at = wide ? 9 : 6;
  uint64_t frames = 0;
  int mode = -1;
  const unsigned comfortNoise = wide ? 9 : 8;
  for (std::array<uint8_t, 1> toc{}; at < limit && frames < kMaxUnits * 4; ++frames) {
    if (ReadUpTo(file, at, toc) != 1) break;
    const size_t bytes = AmrFrameBytes(toc[0], wide);
    const auto type = static_cast<unsigned>((toc[0] >> 3) & 0x0F);
    if (bytes == 0 || bytes > limit - at) break;
    if (type < comfortNoise) {
      if (mode >= 0 && static_cast<unsigned>(mode) != type) break;
      mode = static_cast<int>(type);
    }
    at += bytes;
  }
  return frames != 0 ? at : 0;
}

uint64_t RafLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 108> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "FUJIFILMCCD-RAW ")) return 0;
  uint64_t end = 0;
  for (size_t field : {84u, 92u, 100u}) {  // preview, CFA header, CFA: offset and length each
    const uint64_t length = Be32(h, field + 4);
    if (length != 0) end = std::max(end, uint64_t{Be32(h, field)} + length);
  }
  return end >= h.size() && end <= limit ? end : 0;
}

uint64_t IffLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 12> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "FORM")) return 0;
  const uint64_t size = Be32(h, 4);
  const uint64_t end = 8 + size + (size & 1);
  return size >= 4 && end <= limit ? end : 0;
}

}  // namespace snapsave
