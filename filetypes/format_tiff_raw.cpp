// TIFF and the camera RAW formats built on it (CR2, NEF, ARW, DNG, ORF, PEF, RW2, SR2), told apart by their
// first IFD and measured by the furthest data their IFDs reference, and Fujifilm's RAF by its offsets.
#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- TIFF, either byte order, and the camera RAW formats built on it
// -----------------------------------------------------------------------------------
constexpr size_t kTiffProbeBytes = 4096;

// A RAW file's first IFD names it: a DNG version, or the maker together with what no edited TIFF keeps (the
// sub-IFDs that hold the sensor data, or a maker's own compression). Anything else stays a TIFF.
uint32_t ClassifyTiffByFirstIfd(ByteSpan p, bool big) {
  const auto u16 = [&](size_t off) { return big ? Be16(p, off) : Le16(p, off); };
  const auto u32 = [&](size_t off) { return big ? Be32(p, off) : Le32(p, off); };
  if (p.size() < 8) return kTiff;
  const uint64_t ifd = u32(4);
  if (ifd < 8 || ifd + 2 > p.size()) return kTiff;
  std::string_view make, model;
  bool rawData = false;
  const uint32_t count = u16(static_cast<size_t>(ifd));
  for (uint32_t i = 0; i < count && ifd + 2 + (uint64_t{i} + 1) * 12 <= p.size(); ++i) {
    const auto e = static_cast<size_t>(ifd + 2 + uint64_t{i} * 12);
    const uint16_t tag = u16(e), type = u16(e + 2);
    const uint32_t n = u32(e + 4);
    if (tag == 0xC612) return kDng;
    if (tag == 330) rawData = true;
    if (tag == 259 && type == 3 && u16(e + 8) >= 32767) rawData = true;
    if ((tag == 0x10F || tag == 0x110) && type == 2 && n > 0) {
      const uint64_t at = n <= 4 ? e + 8 : u32(e + 8);
      if (at >= p.size() || n > p.size() - at) continue;
      std::string_view text(reinterpret_cast<const char*>(p.data() + at), n);
      text = text.substr(0, text.find('\0'));
      (tag == 0x10F ? make : model) = text;
    }
  }
  if (!rawData) return kTiff;
  if (make.starts_with("NIKON")) return kNef;
  if (make.starts_with("SONY")) return model == "DSC-R1" ? kSr2 : kArw;
  if (make.starts_with("PENTAX") || make.starts_with("RICOH")) return kPef;
  return kTiff;
}

uint32_t MatchTiff(const CarvingContext& ctx, ByteSpan b) {
  if (b.size() < 8) return kNoType;
  const uint32_t firstIfd = b[0] == 'M' ? Be32(b, 4) : Le32(b, 4);
  // Olympus and Panasonic change the magic number, not the layout.
  if ((BytesEqual(b, 0, "IIRO") || BytesEqual(b, 0, "IIRS") || BytesEqual(b, 0, "MMOR")) && firstIfd >= 8)
    return kOrf;
  if (BytesEqual(b, 0, {'I', 'I', 'U', 0x00}) && firstIfd >= 8) return kRw2;
  const bool big = BytesEqual(b, 0, {'M', 'M', 0x00, 0x2A});
  if (!big && !BytesEqual(b, 0, {'I', 'I', 0x2A, 0x00})) return kNoType;
  if (!big && b.size() >= 11 && BytesEqual(b, 8, "CR") && b[10] == 2) return kCr2;
  const std::vector<uint8_t> probe = ReadAhead(ctx, kTiffProbeBytes);
  return ClassifyTiffByFirstIfd(probe.empty() ? b : ByteSpan(probe), big);
}

// ---- Fujifilm RAF
uint32_t MatchRaf(const CarvingContext& /*ctx*/, ByteSpan b) {
  return b.size() >= 108 && BytesEqual(b, 0, "FUJIFILMCCD-RAW ") ? kRaf : kNoType;
}

// Bounds that keep a crafted TIFF's walk short: real files have a handful of IFDs of a few hundred entries.
constexpr size_t kMaxIfds = 256;

constexpr uint32_t kMaxIfdEntries = 4096;

constexpr uint64_t kMaxArrayValues = uint64_t{1} << 20;

class TiffWalk {
 public:
  TiffWalk(FileBytes& file, bool bigEndian, uint64_t limit) : file_(file), big_(bigEndian), limit_(limit) {}

  // Walks the IFD at `offset` and every IFD it leads to; false when that IFD is no IFD.
  bool Ifd(uint64_t offset) {
    std::vector<uint64_t> pending{offset};
    bool first = true;
    while (!pending.empty() && visited_.size() < kMaxIfds) {
      const uint64_t at = pending.back();
      pending.pop_back();
      if (std::find(visited_.begin(), visited_.end(), at) != visited_.end()) continue;
      visited_.push_back(at);
      std::array<uint8_t, 12> e{};
      if (at < 8 || at >= limit_ || !file_.Read(at, std::span(e).first(2))) {
        if (first) return false;
        continue;
      }
      const uint32_t count = U16(e, 0);
      if (count == 0 || count > kMaxIfdEntries) {
        if (first) return false;
        continue;
      }
      first = false;
      Entry strips{}, stripBytes{}, tiles{}, tileBytes{};
      uint64_t thumbnail = 0, thumbnailBytes = 0, privateBlock = 0, privateBytes = 0;
      for (uint32_t i = 0; i < count; ++i) {
        if (!file_.Read(at + 2 + uint64_t{i} * 12, e)) return true;
        const Entry entry{U16(e, 0), U16(e, 2), U32(e, 4), U32(e, 8)};
        const uint64_t size = ValueBytes(entry);
        if (size > 4) Reach(uint64_t{entry.value} + size);
        switch (entry.tag) {
          case 273:
            strips = entry;
            break;
          case 279:
            stripBytes = entry;
            break;
          case 324:
            tiles = entry;
            break;
          case 325:
            tileBytes = entry;
            break;
          case 513:
            thumbnail = entry.value;
            break;
          case 514:
            thumbnailBytes = entry.value;
            break;
          case 330:  // SubIFDs
            for (uint64_t k = 0; k < std::min<uint64_t>(entry.count, 64); ++k)
              pending.push_back(Value(entry, k));
            break;
          case 29184:  // a Sony RAW's encrypted private block: offset, then length
            privateBlock = entry.value;
            break;
          case 29185:
            privateBytes = entry.value;
            break;
          case 34665:  // Exif
          case 34853:  // GPS
          case 40965:  // interoperability
            pending.push_back(entry.value);
            break;
          default:
            break;
        }
      }
      Pieces(strips, stripBytes);
      Pieces(tiles, tileBytes);
      if (thumbnail != 0) Reach(thumbnail + thumbnailBytes);
      if (privateBlock != 0 && privateBytes != 0) Reach(privateBlock + privateBytes);
      const uint64_t next = at + 2 + uint64_t{count} * 12;
      Reach(next + 4);
      std::array<uint8_t, 4> link{};
      if (file_.Read(next, link) && U32(link, 0) != 0) pending.push_back(U32(link, 0));
    }
    return true;
  }

  uint64_t end() const { return std::min(end_, limit_); }

 private:
  struct Entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    uint32_t value = 0;
  };

  uint16_t U16(ByteSpan b, size_t off) const { return big_ ? Be16(b, off) : Le16(b, off); }
  uint32_t U32(ByteSpan b, size_t off) const { return big_ ? Be32(b, off) : Le32(b, off); }

  static uint64_t TypeBytes(uint16_t type) {
    switch (type) {
      case 1:
      case 2:
      case 6:
      case 7:
        return 1;
      case 3:
      case 8:
        return 2;
      case 4:
      case 9:
      case 11:
      case 13:
        return 4;
      case 5:
      case 10:
      case 12:
        return 8;
      default:
        return 0;
    }
  }
  static uint64_t ValueBytes(const Entry& e) { return TypeBytes(e.type) * e.count; }

  // Element `k` of an array of SHORT or LONG values, inline when it fits in the entry.
  uint64_t Value(const Entry& e, uint64_t k) {
    const uint64_t width = TypeBytes(e.type);
    if (width != 2 && width != 4) return 0;
    if (ValueBytes(e) <= 4) {
      std::array<uint8_t, 4> inline_{};
      if (big_) {
        inline_ = {static_cast<uint8_t>(e.value >> 24), static_cast<uint8_t>(e.value >> 16),
                   static_cast<uint8_t>(e.value >> 8), static_cast<uint8_t>(e.value)};
      } else {
        inline_ = {static_cast<uint8_t>(e.value), static_cast<uint8_t>(e.value >> 8),
                   static_cast<uint8_t>(e.value >> 16), static_cast<uint8_t>(e.value >> 24)};
      }
      return width == 2 ? U16(inline_, static_cast<size_t>(k * 2)) : U32(inline_, 0);
    }
    std::array<uint8_t, 4> b{};
    if (!file_.Read(uint64_t{e.value} + k * width, std::span(b).first(width))) return 0;
    return width == 2 ? U16(b, 0) : U32(b, 0);
  }

  // Strips or tiles: each piece's offset plus its byte count.
  void Pieces(const Entry& offsets, const Entry& counts) {
    const uint64_t n = std::min<uint64_t>({offsets.count, counts.count, kMaxArrayValues});
    for (uint64_t k = 0; k < n; ++k) {
      const uint64_t offset = Value(offsets, k);
      if (offset != 0) Reach(offset + Value(counts, k));
    }
  }

  void Reach(uint64_t end) {
    if (end <= limit_) end_ = std::max(end_, end);
  }

  FileBytes& file_;
  bool big_;
  uint64_t limit_;
  uint64_t end_ = 8;
  std::vector<uint64_t> visited_;
};

}  // namespace

uint64_t TiffLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 8> h{};
  if (!file.Read(0, h)) return 0;
  // Olympus (RO, RS) and Panasonic (U) RAW files change only the magic number.
  const bool little = BytesEqual(h, 0, {'I', 'I', 42, 0}) || BytesEqual(h, 0, "IIRO") ||
                      BytesEqual(h, 0, "IIRS") || BytesEqual(h, 0, {'I', 'I', 'U', 0});
  const bool big = BytesEqual(h, 0, {'M', 'M', 0, 42}) || BytesEqual(h, 0, "MMOR");
  if (!little && !big) return 0;
  TiffWalk walk(file, big, limit);
  const uint64_t first = big ? Be32(h, 4) : Le32(h, 4);
  if (!walk.Ifd(first)) return 0;
  return walk.end();
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

namespace {

uint64_t MeasureTiff(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, TiffLength, k256MiB); n != 0) return n;
  return PlainWalk(ctx, k128MiB);
}

uint64_t MeasureRaf(CarvingContext& ctx, uint32_t /*typeCode*/, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, RafLength, k2GiB); n != 0) return n;
  return PlainWalk(ctx, k128MiB);
}

constexpr HeaderTest kTiffHeader = Lead(MatchTiff, 'M', 'I');
constexpr HeaderTest kRafHeader = Lead(MatchRaf, 'F');

constexpr CarvingTypeRow kRows[] = {
    {"tif", kTiff, &kTiffHeader, MeasureTiff}, {"tiff", kTiff, &kTiffHeader, MeasureTiff},
    {"cr2", kCr2, &kTiffHeader, MeasureTiff},  {"nef", kNef, &kTiffHeader, MeasureTiff},
    {"arw", kArw, &kTiffHeader, MeasureTiff},  {"dng", kDng, &kTiffHeader, MeasureTiff},
    {"orf", kOrf, &kTiffHeader, MeasureTiff},  {"pef", kPef, &kTiffHeader, MeasureTiff},
    {"rw2", kRw2, &kTiffHeader, MeasureTiff},  {"sr2", kSr2, &kTiffHeader, MeasureTiff},
    {"raf", kRaf, &kRafHeader, MeasureRaf},
};

}  // namespace

std::span<const CarvingTypeRow> TiffRawFormats() {
  return kRows;
}

}  // namespace snapsave
