// PDF: the last "%%EOF" whose cross-reference holds together, with the incremental updates that follow it.
#include <algorithm>
#include <array>
#include <string_view>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- PDF
// -------------------------------------------------------------------------------------------------------
uint32_t MatchPdf(const CarvingContext& /*ctx*/, ByteSpan b) {
  return BytesEqual(b, 0, "%PDF-") ? kPdf : kNoType;
}

// "%%EOF" markers a PDF walk examines: one per incremental update in real files; each costs reads at the
// offset its trailer names.
constexpr uint64_t kMaxEofMarkers = uint64_t{1} << 12;

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

namespace {

uint64_t MeasurePdf(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  FileBytes file(ctx, header);
  if (const uint64_t n = PdfLength(file, k2GiB, StartsOtherFile); n != 0) return n;
  return PlainWalk(ctx, k256MiB);
}

constexpr HeaderTest kPdfHeader = Lead(MatchPdf, '%');

constexpr CarvingTypeRow kRows[] = {
    {"pdf", kPdf, &kPdfHeader, MeasurePdf},
};

}  // namespace

std::span<const CarvingTypeRow> PdfFormats() {
  return kRows;
}

}  // namespace snapsave
