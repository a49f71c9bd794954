#include "carve/container_walks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "filetypes/mpeg_audio.h"
#include "storage/sector_reader.h"

#ifdef SNAPSAVE_HAVE_LIBFLAC
#include <FLAC/stream_decoder.h>
#endif
#include <zlib.h>

namespace snapsave {

uint64_t MediumSectors(const CarvingContext& ctx) {
  const SectorReader* source = ctx.source();
  if (source == nullptr || ctx.sectorSize() == 0) return 0;
  const uint64_t device = source->DeviceSectorSize();
  const uint64_t total = source->TotalSectors();
  if (device != 0 && total > UINT64_MAX / device) return UINT64_MAX / ctx.sectorSize();
  return total * device / ctx.sectorSize();
}

uint64_t MediumBytesFromStart(const CarvingContext& ctx) {
  const uint64_t sectors = MediumSectors(ctx);
  const uint64_t left = sectors > ctx.startSector() ? sectors - ctx.startSector() : 1;
  const uint64_t ss = ctx.sectorSize();
  return left > UINT64_MAX / ss ? UINT64_MAX : left * ss;
}

FileBytes::FileBytes(CarvingContext& ctx, ByteSpan header)
    : ctx_(ctx), header_(header), medium_(MediumBytesFromStart(ctx)) {}

FileBytes::FileBytes(CarvingContext& ctx, ByteSpan header, SplitAt split)
    : ctx_(ctx), header_(header), split_(split) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t sectors = MediumSectors(ctx);
  // The head must hold the header sector, lie on the medium and end before the tail begins.
  if (ss == 0 || split.headSectors == 0 || ctx.startSector() >= sectors ||
      split.headSectors > sectors - ctx.startSector() ||
      split.tailSector < ctx.startSector() + split.headSectors || split.tailSector >= sectors) {
    split_ = {};
    medium_ = std::min<uint64_t>(header.size(), ss);
    return;
  }
  const uint64_t total = split.headSectors + (sectors - split.tailSector);
  medium_ = total > UINT64_MAX / ss ? UINT64_MAX : total * ss;
}

uint64_t FileBytes::Physical(uint64_t sector, uint64_t& run) const {
  const uint64_t ss = ctx_.sectorSize();
  const uint64_t sectors = medium_ / ss;
  run = sector < sectors ? sectors - sector : 0;
  if (split_.headSectors == 0) return ctx_.startSector() + sector;
  if (sector < split_.headSectors) {
    run = split_.headSectors - sector;
    return ctx_.startSector() + sector;
  }
  return split_.tailSector + (sector - split_.headSectors);
}

bool FileBytes::WindowHolds(uint64_t offset) const {
  return windowSize_ != 0 && ctx_.workBufferHandouts() == handout_ && offset >= windowStart_ &&
         offset < windowStart_ + windowSize_;
}

bool FileBytes::Read(uint64_t offset, std::span<uint8_t> out) {
  if (offset > UINT64_MAX - out.size() || offset + out.size() > medium_) return false;
  if (offset + out.size() <= header_.size()) {
    std::memcpy(out.data(), header_.data() + offset, out.size());
    return true;
  }
  const uint32_t ss = ctx_.sectorSize();
  if (ss == 0 || ctx_.workBufferSize() < ss || out.size() > ctx_.workBufferSize() - ss) return false;
  // One window, or the next ones where the bytes run past it or past the seam of a split file.
  while (!out.empty()) {
    if (!WindowHolds(offset)) {
      const uint64_t sector = offset / ss;
      uint64_t run = 0;
      const uint64_t physical = Physical(sector, run);
      windowSize_ = 0;
      window_ = ctx_.workBuffer();
      handout_ = ctx_.workBufferHandouts();
      const auto count = static_cast<uint32_t>(std::min<uint64_t>(window_.size() / ss, run));
      if (count == 0 || !ctx_.ReadSectors(window_, physical, count)) return false;
      windowStart_ = sector * ss;
      windowSize_ = size_t{count} * ss;
    }
    const auto n = static_cast<size_t>(std::min<uint64_t>(out.size(), windowStart_ + windowSize_ - offset));
    std::memcpy(out.data(), window_.data() + (offset - windowStart_), n);
    offset += n;
    out = out.subspan(n);
  }
  return true;
}

ByteSpan FileBytes::View(uint64_t offset) {
  if (offset >= medium_) return {};
  if (offset + 1 < header_.size()) return header_.subspan(static_cast<size_t>(offset));
  // Two bytes where the medium has them, so that a scan always sees a marker whole.
  const size_t want = offset + 2 <= medium_ ? 2 : 1;
  if (offset + want <= header_.size()) return header_.subspan(static_cast<size_t>(offset));
  // The last byte of a split file's head: it and the tail's first byte, from a buffer of their own.
  const uint64_t seam = split_.headSectors * ctx_.sectorSize();
  if (want == 2 && seam != 0 && offset + 1 == seam) {
    if (!Read(offset, seam_)) return {};
    return ByteSpan(seam_);
  }
  // A window that ends within a byte of `offset` is read again from there.
  if (WindowHolds(offset) && offset + want > windowStart_ + windowSize_) windowSize_ = 0;
  std::array<uint8_t, 2> probe{};
  if (!Read(offset, std::span(probe).first(want))) return {};
  return ByteSpan(window_.data() + (offset - windowStart_), windowSize_ - (offset - windowStart_));
}

uint64_t InflatedEnd(FileBytes& file, uint64_t at, uint64_t limit, int windowBits, uint64_t maxOutput,
                     const std::function<void(ByteSpan)>& output) {
  z_stream z{};
  if (inflateInit2(&z, windowBits) != Z_OK) return 0;
  std::array<uint8_t, 16384> sink{};
  uint64_t produced = 0;
  int result = Z_OK;
  while (result == Z_OK && at < limit) {
    const ByteSpan view = file.View(at);
    if (view.empty()) break;
    const auto chunk = static_cast<uInt>(std::min<uint64_t>({view.size(), 1u << 16, limit - at}));
    z.next_in = const_cast<Bytef*>(view.data());  // zlib's API is not const; it only reads the input
    z.avail_in = chunk;
    while (z.avail_in != 0 && result == Z_OK) {
      z.next_out = sink.data();
      z.avail_out = static_cast<uInt>(sink.size());
      result = inflate(&z, Z_NO_FLUSH);
      produced += sink.size() - z.avail_out;
      if (produced > maxOutput) result = Z_DATA_ERROR;
      if (output) output(ByteSpan(sink).first(sink.size() - z.avail_out));
    }
    at += chunk - z.avail_in;
  }
  inflateEnd(&z);
  return result == Z_STREAM_END ? at : 0;
}

namespace {

// Boxes a file may hold at its top level. Anything else ends the walk: it is the next file, or garbage.
bool IsTopLevelBox(ByteSpan type) {
  static constexpr std::string_view kTypes[] = {"ftyp", "pdin", "moov", "moof", "mfra", "mdat", "free",
                                                "skip", "wide", "meta", "uuid", "sidx", "ssix", "prft",
                                                "styp", "emsg", "pnot", "jP  ", "junk"};
  return std::any_of(std::begin(kTypes), std::end(kTypes),
                     [&](std::string_view t) { return BytesEqual(type, 0, t); });
}

// A QuickTime file may begin with any of these instead of "ftyp".
bool MayOpenFile(ByteSpan type) {
  static constexpr std::string_view kFirst[] = {"ftyp", "moov", "mdat", "wide", "free", "skip", "pnot"};
  return std::any_of(std::begin(kFirst), std::end(kFirst),
                     [&](std::string_view t) { return BytesEqual(type, 0, t); });
}

// Walks never take more steps than this: a limit far above any real file's count of units, so that a crafted
// chain of tiny units cannot keep a carve going for long.
constexpr uint64_t kMaxUnits = uint64_t{1} << 22;

}  // namespace

uint64_t IsoMediaLength(FileBytes& file, uint64_t limit) {
  uint64_t at = 0;
  uint64_t boxes = 0;
  bool media = false;
  std::array<uint8_t, 16> h{};
  while (at < limit && boxes < kMaxUnits) {
    if (!file.Read(at, std::span(h).first(8))) break;
    const ByteSpan type = ByteSpan(h).subspan(4, 4);
    if (boxes == 0 ? !MayOpenFile(type) : !IsTopLevelBox(type)) break;
    media =
        media || BytesEqual(type, 0, "moov") || BytesEqual(type, 0, "mdat") || BytesEqual(type, 0, "moof");
    uint64_t size = Be32(h, 0);
    uint64_t headerBytes = 8;
    if (size == 1) {
      if (!file.Read(at + 8, std::span(h).subspan(8, 8))) break;
      size = Be64(h, 8);
      headerBytes = 16;
    } else if (size == 0) {
      return 0;  // to the end of the file, wherever that is
    }
    if (size < headerBytes || size > UINT64_MAX - at) break;
    at += size;
    ++boxes;
  }
  // Boxes that hold no media (a type box, free space) are no file yet: the plain rule measures instead.
  return media ? std::min(at, limit) : 0;
}

namespace {

// An EBML variable-length number at `at`: its length and value, the length marker kept for IDs and dropped
// for sizes. `unknown` tells a size whose value bits are all ones.
struct Vint {
  uint32_t length = 0;
  uint64_t value = 0;
  bool unknown = false;
};

bool ReadVint(FileBytes& file, uint64_t at, uint32_t maxLength, bool keepMarker, Vint& out) {
  std::array<uint8_t, 8> b{};
  if (!file.Read(at, std::span(b).first(1)) || b[0] == 0) return false;
  uint32_t length = 1;
  while ((b[0] & (0x80u >> (length - 1))) == 0) ++length;
  if (length > maxLength || (length > 1 && !file.Read(at + 1, std::span(b).subspan(1, length - 1))))
    return false;
  const uint8_t marker = static_cast<uint8_t>(0x80u >> (length - 1));
  uint64_t value = keepMarker ? b[0] : (b[0] & static_cast<uint8_t>(marker - 1));
  bool allOnes = (b[0] & (marker - 1)) == marker - 1;
  for (uint32_t i = 1; i < length; ++i) {
    value = (value << 8) | b[i];
    allOnes = allOnes && b[i] == 0xFF;
  }
  out = {length, value, !keepMarker && allOnes};
  return true;
}

constexpr uint64_t kEbmlHeader = 0x1A45DFA3;
constexpr uint64_t kSegment = 0x18538067;

// The Segment's children a file holds at its top level.
bool IsSegmentChild(uint64_t id) {
  switch (id) {
    case 0x114D9B74:  // SeekHead
    case 0x1549A966:  // Info
    case 0x1654AE6B:  // Tracks
    case 0x1F43B675:  // Cluster
    case 0x1C53BB6B:  // Cues
    case 0x1941A469:  // Attachments
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case 0xEC:        // Void
    case 0xBF:        // CRC-32
      return true;
    default:
      return false;
  }
}

}  // namespace

uint64_t MatroskaLength(FileBytes& file, uint64_t limit) {
  Vint id, size;
  if (!ReadVint(file, 0, 4, true, id) || id.value != kEbmlHeader) return 0;
  if (!ReadVint(file, id.length, 8, false, size) || size.unknown || size.value > limit) return 0;
  uint64_t at = id.length + size.length + size.value;
  if (!ReadVint(file, at, 4, true, id) || id.value != kSegment) return 0;
  if (!ReadVint(file, at + id.length, 8, false, size)) return 0;
  const uint64_t data = at + id.length + size.length;
  if (!size.unknown) return size.value > limit - std::min(limit, data) ? limit : data + size.value;
  // A Segment written live states no size: its children say where it ends.
  at = data;
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    Vint childId, childSize;
    if (!ReadVint(file, at, 4, true, childId) || !IsSegmentChild(childId.value)) break;
    if (!ReadVint(file, at + childId.length, 8, false, childSize) || childSize.unknown) break;
    const uint64_t body = at + childId.length + childSize.length;
    if (childSize.value > UINT64_MAX - body) break;
    at = body + childSize.value;
  }
  return std::min(at, limit);
}

uint64_t FlvLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 16> h{};
  if (!file.Read(0, std::span(h).first(9)) || !BytesEqual(h, 0, "FLV") || h[3] != 1) return 0;
  const uint64_t headerBytes = Be32(h, 5);
  if (headerBytes < 9 || headerBytes > 1024) return 0;
  // The header, then the first "previous tag size", which is 0.
  if (!file.Read(headerBytes, std::span(h).first(4)) || Be32(h, 0) != 0) return 0;
  uint64_t end = headerBytes + 4;
  for (uint64_t tags = 0; end < limit && tags < kMaxUnits; ++tags) {
    if (!file.Read(end, std::span(h).first(11))) break;
    const uint8_t type = h[0] & 0x1F;
    const uint64_t dataSize = Be24(h, 1);
    if ((type != 8 && type != 9 && type != 18) || (h[0] & 0xC0) != 0 || Be24(h, 8) != 0) break;
    const uint64_t trailer = end + 11 + dataSize;
    if (!file.Read(trailer, std::span(h).first(4)) || Be32(h, 0) != 11 + dataSize) break;
    end = trailer + 4;
  }
  return std::min(end, limit);
}

uint64_t MpegAudioLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 16> h{};
  uint64_t at = 0;
  if (file.Read(0, std::span(h).first(10)) && BytesEqual(h, 0, "ID3")) {
    uint64_t size = 0;
    for (size_t i = 6; i < 10; ++i) size = (size << 7) | (h[i] & 0x7F);
    at = 10 + size + ((h[5] & 0x10) != 0 ? 10 : 0);  // a footer repeats the header
  }
  std::optional<MpegAudioFrame> first;
  uint64_t frames = 0;
  while (at < limit && frames < kMaxUnits) {
    if (!file.Read(at, std::span(h).first(4))) break;
    const std::optional<MpegAudioFrame> frame = ParseMpegAudioHeader(h);
    if (!frame || (first && !frame->SameStream(*first))) break;
    if (!first) first = frame;
    at += frame->length;
    ++frames;
  }
  if (frames < 4) return 0;
  // Tags after the frames: APEv2 from its header (its size counts the items and the footer), then ID3v1.
  std::array<uint8_t, 32> ape{};
  if (file.Read(at, ape) && BytesEqual(ape, 0, "APETAGEX") && (Le32(ape, 20) & (1u << 29)) != 0)
    at += 32 + uint64_t{Le32(ape, 12)};
  std::array<uint8_t, 3> tag{};
  if (file.Read(at, tag) && BytesEqual(tag, 0, "TAG") && at + 128 <= file.MediumBytes()) at += 128;
  return std::min(at, limit);
}

namespace {

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

namespace {}  // namespace

uint64_t SwfLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 8> h{};
  if (!file.Read(0, h)) return 0;
  const uint64_t declared = Le32(h, 4);
  if (BytesEqual(h, 0, "FWS")) return declared >= 21 && declared <= limit ? declared : 0;
  if (!BytesEqual(h, 0, "CWS") || declared < 21 || declared > limit) return 0;
  // More output than the header said: not this file.
  return InflatedEnd(file, 8, limit, MAX_WBITS, declared);
}

uint64_t MpegProgramLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 14> h{};
  uint64_t at = 0;
  uint64_t packs = 0;
  uint64_t end = 0;
  for (uint64_t units = 0; at < limit && units < kMaxUnits * 4; ++units) {
    if (!file.Read(at, std::span(h).first(4)) || h[0] != 0 || h[1] != 0 || h[2] != 1) break;
    const uint8_t id = h[3];
    if (id == 0xB9) return std::min(at + 4, limit);  // program end
    if (id == 0xBA) {
      if (!file.Read(at, h)) break;
      uint64_t bytes = 0;
      if ((h[4] & 0xC0) == 0x40) {
        bytes = 14 + (h[13] & 7);  // MPEG-2 pack header and its stuffing
      } else if ((h[4] & 0xF0) == 0x20) {
        bytes = 12;  // MPEG-1
      } else {
        break;
      }
      at += bytes;
      ++packs;
      end = at;
      continue;
    }
    if (id < 0xBB || packs == 0 || !file.Read(at + 4, std::span(h).subspan(4, 2))) break;
    at += 6 + uint64_t{Be16(h, 4)};  // a system header or a packet of one stream
    end = at;
  }
  return packs >= 2 ? std::min(end, limit) : 0;
}

namespace {

// The chunks RealMedia files hold.
bool IsRealMediaChunk(ByteSpan id) {
  for (std::string_view known : {".RMF", "PROP", "MDPR", "CONT", "DATA", "INDX", "RMMD", "RMJE"}) {
    if (BytesEqual(id, 0, known)) return true;
  }
  return false;
}

}  // namespace

uint64_t RealMediaLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 8> h{};
  uint64_t at = 0;
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (!file.Read(at, h) || !IsRealMediaChunk(h) || (units == 0 && !BytesEqual(h, 0, ".RMF"))) break;
    const uint64_t size = Be32(h, 4);
    // The file header chunk is a few fields long; a larger one is no header.
    if (size < 8 || (units == 0 && size > 64)) break;
    if (BytesEqual(h, 0, "DATA")) {
      // Muxers get the data chunk's size wrong; its packets, each with its length, are what it holds.
      std::array<uint8_t, 10> d{};
      if (!file.Read(at + 8, d)) break;
      const uint32_t packets = Be32(d, 2);
      uint64_t p = at + 18;
      uint32_t n = 0;
      for (; n < packets && n < kMaxUnits && p < limit; ++n) {
        std::array<uint8_t, 4> packet{};
        if (!file.Read(p, packet) || Be16(packet, 0) > 1 || Be16(packet, 2) < 12) break;
        p += Be16(packet, 2);
      }
      if (n != packets || packets == 0) {
        at += size;
        continue;
      }
      at = p;
      // Some muxers close the data with eight zero bytes in place of an index.
      std::array<uint8_t, 8> close{};
      if (file.Read(at, close) && std::all_of(close.begin(), close.end(), [](uint8_t b) { return b == 0; }))
        return std::min(at + 8, limit);
      continue;
    }
    at += size;
  }
  return at == 0 ? 0 : std::min(at, limit);
}

uint64_t MxfLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 25> h{};
  uint64_t at = 0;
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (!file.Read(at, std::span(h).first(17)) || !BytesEqual(h, 0, {0x06, 0x0E, 0x2B, 0x34})) break;
    // BER length: one byte below 0x80, else 0x80 + the count of bytes that follow (at most 8).
    uint64_t length = h[16];
    uint64_t lengthBytes = 1;
    if (length >= 0x80) {
      lengthBytes = 1 + (length & 0x7F);
      if (lengthBytes > 9 || !file.Read(at + 17, std::span(h).subspan(17, lengthBytes - 1))) break;
      length = 0;
      for (uint64_t i = 1; i < lengthBytes; ++i) length = (length << 8) | h[16 + i];
    }
    if (length > limit) break;
    at += 16 + lengthBytes + length;
  }
  return std::min(at, limit);
}

namespace {

// Runs `count` bytes from `offset` through zlib's CRC-32 on top of `crc`; false where the medium ends first.
bool Crc32Of(FileBytes& file, uint64_t offset, uint64_t count, uLong& crc) {
  for (uint64_t left = count; left > 0;) {
    const ByteSpan view = file.View(offset);
    if (view.empty()) return false;
    const auto n = static_cast<uInt>(std::min<uint64_t>({view.size(), left, 1u << 20}));
    crc = crc32(crc, view.data(), n);
    offset += n;
    left -= n;
  }
  return true;
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
  uLong crc = crc32(0, h.data() + 4, 4);
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

uint64_t M2tsLength(FileBytes& file, uint64_t limit) {
  constexpr uint64_t kPacket = 192;
  uint64_t at = 0;
  std::array<uint8_t, 1> sync{};
  while (at + kPacket <= limit && file.Read(at + 4, sync) && sync[0] == 0x47) at += kPacket;
  return at >= 2 * kPacket ? at : 0;
}

uint64_t SmafLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 8> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "MMMD")) return 0;
  const uint64_t size = Be32(h, 4);
  return size == 0 || size > limit - 8 ? 0 : 8 + size;
}

namespace {

constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kHeaderDifatEntries = 109;

}  // namespace

uint64_t CompoundDocumentLength(FileBytes& file, uint64_t limit) {
  std::array<uint8_t, 512> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1})) return 0;
  const uint32_t shift = Le16(h, 30);
  if (Le16(h, 28) != 0xFFFE || (shift != 9 && shift != 12) || Le16(h, 32) != 6) return 0;
  const uint64_t sectorBytes = uint64_t{1} << shift;
  const uint32_t fatSectors = Le32(h, 44);
  if (fatSectors == 0 || fatSectors > limit / sectorBytes / (sectorBytes / 4) + 1) return 0;
  // The FAT's own sectors: 109 in the header, the rest in the DIFAT chain.
  std::vector<uint32_t> fat;
  fat.reserve(std::min<uint32_t>(fatSectors, 1u << 16));
  for (uint32_t i = 0; i < kHeaderDifatEntries && fat.size() < fatSectors; ++i)
    fat.push_back(Le32(h, 76 + 4 * i));
  uint32_t difat = Le32(h, 68);
  std::vector<uint8_t> sector(sectorBytes);
  uint64_t end = 0;
  auto reach = [&](uint64_t index) { end = std::max(end, (index + 2) * sectorBytes); };
  for (uint32_t hops = 0; fat.size() < fatSectors && difat < kEndOfChain && hops < fatSectors; ++hops) {
    if (!file.Read((uint64_t{difat} + 1) * sectorBytes, sector)) return 0;
    reach(difat);
    const size_t perSector = sectorBytes / 4 - 1;  // the last entry links to the next DIFAT sector
    for (size_t i = 0; i < perSector && fat.size() < fatSectors; ++i) fat.push_back(Le32(sector, 4 * i));
    difat = Le32(sector, 4 * perSector);
  }
  if (fat.size() < fatSectors) return 0;
  // Every sector the FAT marks as used, its own sectors included (marked as such).
  for (size_t k = 0; k < fat.size(); ++k) {
    if (fat[k] >= kEndOfChain - 2) return 0;  // a FAT sector that is no sector
    if ((uint64_t{fat[k]} + 2) * sectorBytes > limit) return 0;
    if (!file.Read((uint64_t{fat[k]} + 1) * sectorBytes, sector)) return 0;
    for (size_t i = 0; i < sectorBytes / 4; ++i) {
      if (Le32(sector, 4 * i) != kFreeSector) reach(k * (sectorBytes / 4) + i);
    }
  }
  return end == 0 ? 0 : std::min(end, limit);
}

namespace {

// Markers that stand alone, without a length: TEM, the restart markers, SOI.
bool IsStandaloneMarker(uint8_t m) {
  return m == 0x01 || (m >= 0xD0 && m <= 0xD8);
}

// Markers of segments a JPEG holds before and between its scans.
bool IsSegmentMarker(uint8_t m) {
  return (m >= 0xC0 && m <= 0xFE && m != 0xC8 && m != 0xD8 && m != 0xD9 && !(m >= 0xD0 && m <= 0xD7)) ||
         m == 0x01;
}

}  // namespace

uint64_t JpegSegmentsLength(FileBytes& file, uint64_t limit, SectorStop stop, uint64_t* validEnd) {
  std::array<uint8_t, 4> h{};
  if (!file.Read(0, std::span(h).first(4)) || h[0] != 0xFF || h[1] != 0xD8 || h[2] != 0xFF ||
      !IsSegmentMarker(h[3]))
    return 0;
  const uint32_t ss = file.context().sectorSize();
  uint64_t at = 2;
  bool scanned = false;  // a scan came: an EOI now ends the main image
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (validEnd != nullptr && units > 0) *validEnd = at;  // after a whole segment or scan
    if (!file.Read(at, std::span(h).first(2)) || h[0] != 0xFF) return 0;
    if (h[1] == 0xFF) {  // fill bytes before a marker
      ++at;
      continue;
    }
    const uint8_t marker = h[1];
    if (marker == 0xD9) return scanned ? at + 2 : 0;
    if (IsStandaloneMarker(marker)) {
      at += 2;
      continue;
    }
    if (!IsSegmentMarker(marker) || !file.Read(at + 2, std::span(h).subspan(2, 2))) return 0;
    const uint32_t length = Be16(h, 2);
    if (length < 2) return 0;
    at += 2 + length;
    if (marker != 0xDA) continue;
    // Entropy-coded data: to the first marker that is no stuffed zero and no restart marker. A sector start
    // on the way that begins another file means this one was cut short.
    scanned = true;
    bool found = false;
    while (!found && at < limit) {
      const ByteSpan view = file.View(at);
      if (view.size() < 2) {  // the medium ends without an EOI
        if (validEnd != nullptr) *validEnd = std::min(at + view.size(), limit);
        return 0;
      }
      // Byte by byte only at sector starts (the stop test) and at 0xFF bytes; memchr skips the rest.
      size_t i = 0;
      while (i < view.size()) {
        const uint64_t offset = at + i;
        const size_t intoSector = ss != 0 ? static_cast<size_t>(offset % ss) : 0;
        if (ss != 0 && intoSector == 0 && offset != 0 && view.size() - i >= ss && stop != nullptr &&
            stop(file.context(), file.context().startSector() + offset / ss, view.subspan(i, ss))) {
          if (validEnd != nullptr)
            *validEnd = std::min(offset, limit);  // the scan's data up to the other file
          return 0;
        }
        const size_t sectorEnd = ss != 0 ? std::min(view.size(), i + (ss - intoSector)) : view.size();
        const void* ff = std::memchr(view.data() + i, 0xFF, sectorEnd - i);
        if (ff == nullptr) {
          i = sectorEnd;
          continue;
        }
        i = static_cast<size_t>(static_cast<const uint8_t*>(ff) - view.data());
        if (i + 1 >= view.size()) {  // the window ends on it
          i = view.size();
          break;
        }
        const uint8_t next = view[i + 1];
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7) || next == 0xFF) {
          ++i;
          continue;
        }
        found = true;
        break;
      }
      at += i;
      if (!found && i > 0 && view[i - 1] == 0xFF) --at;  // a marker split across windows: look again
      if (!found && i == 0) return 0;
    }
  }
  return 0;
}

}  // namespace snapsave

namespace snapsave {
namespace {

// Ogg's page CRC: CRC-32 with polynomial 04C11DB7, most significant bit first, no inversions.
constexpr std::array<uint32_t, 256> OggCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) != 0 ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    table[i] = crc;
  }
  return table;
}
constexpr auto kOggCrc = OggCrcTable();

uint32_t OggCrc(uint32_t crc, ByteSpan bytes) {
  for (uint8_t b : bytes) crc = (crc << 8) ^ kOggCrc[((crc >> 24) ^ b) & 0xFF];
  return crc;
}

// Feeds `count` bytes from `offset` to `feed` window by window; false where the medium ends first.
template <typename Feed>
bool FeedBytes(FileBytes& file, uint64_t offset, uint64_t count, Feed feed) {
  while (count > 0) {
    const ByteSpan view = file.View(offset);
    if (view.empty()) return false;
    const auto n = static_cast<size_t>(std::min<uint64_t>(view.size(), count));
    feed(view.first(n));
    offset += n;
    count -= n;
  }
  return true;
}

constexpr size_t kOggHeaderBytes = 27;
constexpr size_t kMaxOggStreams = 64;

}  // namespace

bool OggPageHeader(ByteSpan h) {
  return Has(h, 0, kOggHeaderBytes) && BytesEqual(h, 0, "OggS") && h[4] == 0 && (h[5] & ~0x07u) == 0 &&
         h[26] != 0;
}

uint64_t OggPageBytes(FileBytes& file, uint64_t at) {
  std::array<uint8_t, kOggHeaderBytes + 255> page{};
  if (!file.Read(at, std::span(page).first(kOggHeaderBytes)) || !OggPageHeader(page)) return 0;
  const size_t segments = page[26];
  if (!file.Read(at + kOggHeaderBytes, std::span(page).subspan(kOggHeaderBytes, segments))) return 0;
  uint64_t body = 0;
  for (size_t i = 0; i < segments; ++i) body += page[kOggHeaderBytes + i];
  return kOggHeaderBytes + segments + body;
}

bool OggPageChecks(FileBytes& file, uint64_t at) {
  std::array<uint8_t, kOggHeaderBytes + 255> page{};
  if (!file.Read(at, std::span(page).first(kOggHeaderBytes)) || !OggPageHeader(page)) return false;
  const size_t segments = page[26];
  if (!file.Read(at + kOggHeaderBytes, std::span(page).subspan(kOggHeaderBytes, segments))) return false;
  uint64_t body = 0;
  for (size_t i = 0; i < segments; ++i) body += page[kOggHeaderBytes + i];
  const uint32_t stored = Le32(page, 22);
  std::array<uint8_t, 4> zero{};
  uint32_t crc = OggCrc(0, ByteSpan(page).first(22));
  crc = OggCrc(crc, zero);
  crc = OggCrc(crc, ByteSpan(page).subspan(26, 1 + segments));
  return FeedBytes(file, at + kOggHeaderBytes + segments, body, [&](ByteSpan b) { crc = OggCrc(crc, b); }) &&
         crc == stored;
}

uint64_t OggLength(FileBytes& file, uint64_t limit, uint64_t* validEnd) {
  std::array<uint8_t, kOggHeaderBytes> page{};
  std::vector<uint32_t> open;  // serial numbers of the logical streams begun and not yet ended
  bool dataSeen = false;       // a page that begins no stream came: no stream begins after it
  uint64_t at = 0;
  for (uint64_t units = 0; at < limit && units < kMaxUnits; ++units) {
    if (validEnd != nullptr) *validEnd = at;
    if (!file.Read(at, page) || !OggPageHeader(page)) return 0;
    const uint8_t flags = page[5];
    const uint32_t serial = Le32(page, 14);
    // Streams begin together at the start; a later page belongs to one of them.
    const bool known = std::find(open.begin(), open.end(), serial) != open.end();
    if ((flags & 0x02) != 0) {
      if (known || dataSeen || open.size() == kMaxOggStreams) return 0;
    } else if (!known) {
      return 0;
    } else {
      dataSeen = true;
    }
    const uint64_t bytes = OggPageBytes(file, at);
    if (bytes == 0 || !OggPageChecks(file, at)) return 0;
    if ((flags & 0x02) != 0) open.push_back(serial);
    if ((flags & 0x04) != 0) open.erase(std::find(open.begin(), open.end(), serial));
    at += bytes;
    if (open.empty()) return at <= limit ? at : 0;  // every stream ended
  }
  return 0;
}

#ifdef SNAPSAVE_HAVE_LIBFLAC
namespace {

// libFLAC decodes the stream through these callbacks: the bytes come from the medium up to the limit, the
// samples decoded are counted, and any decoding error ends the walk.
struct FlacFeed {
  FileBytes& file;
  uint64_t limit;
  uint64_t at = 0;
  uint64_t samples = 0;
  bool failed = false;
};

FLAC__StreamDecoderReadStatus FlacRead(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                       void* context) {
  auto& feed = *static_cast<FlacFeed*>(context);
  const ByteSpan view = feed.at < feed.limit ? feed.file.View(feed.at) : ByteSpan();
  const auto n = static_cast<size_t>(std::min<uint64_t>({*bytes, view.size(), feed.limit - feed.at}));
  if (n == 0) {
    *bytes = 0;
    return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
  }
  std::memcpy(buffer, view.data(), n);
  feed.at += n;
  *bytes = n;
  return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderTellStatus FlacTell(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* context) {
  *offset = static_cast<FlacFeed*>(context)->at;
  return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderWriteStatus FlacWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                         const FLAC__int32* const[], void* context) {
  static_cast<FlacFeed*>(context)->samples += frame->header.blocksize;
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void FlacError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* context) {
  static_cast<FlacFeed*>(context)->failed = true;
}

struct FlacDecoderDelete {
  void operator()(FLAC__StreamDecoder* d) const { FLAC__stream_decoder_delete(d); }
};

}  // namespace

uint64_t FlacLength(FileBytes& file, uint64_t limit, uint64_t* validEnd) {
  std::array<uint8_t, 8> h{};
  if (!file.Read(0, h) || !BytesEqual(h, 0, "fLaC") || (h[4] & 0x7F) != 0 || (Be32(h, 4) & 0xFFFFFF) != 34)
    return 0;
  const std::unique_ptr<FLAC__StreamDecoder, FlacDecoderDelete> decoder(FLAC__stream_decoder_new());
  if (!decoder) return 0;
  FLAC__stream_decoder_set_md5_checking(decoder.get(), false);
  FlacFeed feed{file, limit};
  if (FLAC__stream_decoder_init_stream(decoder.get(), FlacRead, nullptr, FlacTell, nullptr, nullptr,
                                       FlacWrite, nullptr, FlacError,
                                       &feed) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
    return 0;
  if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder.get()) || feed.failed) return 0;
  // Unknown (0) when the encoder could not go back to write it: then the stream ends where frames stop.
  const uint64_t total = FLAC__stream_decoder_get_total_samples(decoder.get());
  uint64_t end = 0;
  for (uint64_t units = 0; units < kMaxUnits; ++units) {
    const uint64_t before = feed.samples;
    if (!FLAC__stream_decoder_process_single(decoder.get()) || feed.failed || feed.samples == before) break;
    FLAC__uint64 position = 0;
    if (!FLAC__stream_decoder_get_decode_position(decoder.get(), &position)) break;
    end = position;
    if (validEnd != nullptr) *validEnd = end;
    if (total != 0 && feed.samples >= total) break;
  }
  // With its count known, every sample must have come from frames that decoded; without it, the first frame
  // that fails to decode is where the stream ends.
  if (end == 0 || (total != 0 && (feed.failed || feed.samples < total))) return 0;
  // An ID3v1 tag some taggers append.
  std::array<uint8_t, 3> tag{};
  if (file.Read(end, tag) && BytesEqual(tag, 0, "TAG") && end + 128 <= std::min(limit, file.MediumBytes()))
    end += 128;
  return std::min(end, limit);
}
#else
// Built without libFLAC (the Windows build): a FLAC stream is not measured; the stop rules end it.
uint64_t FlacLength(FileBytes&, uint64_t, uint64_t*) {
  return 0;
}
#endif

}  // namespace snapsave

namespace snapsave {
namespace {

constexpr uint32_t kLocalHeader = 0x04034B50, kCentralHeader = 0x02014B50, kEndRecord = 0x06054B50;
constexpr uint32_t kZip64EndRecord = 0x06064B50, kZip64Locator = 0x07064B50, kDataDescriptor = 0x08074B50;

}  // namespace

namespace {

// A member's local header: where its data starts and, unless a data descriptor follows the data, its sizes
// and CRC (a ZIP64 member keeps its sizes in the extra field).
struct ZipMember {
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t data = 0;
  uint64_t packed = 0;
  uint64_t size = 0;
};

std::optional<ZipMember> ReadZipMember(FileBytes& file, uint64_t at) {
  std::array<uint8_t, 30> h{};
  if (!file.Read(at, h) || Le32(h, 0) != kLocalHeader) return std::nullopt;
  ZipMember m;
  m.flags = Le16(h, 6);
  m.method = Le16(h, 8);
  m.crc = Le32(h, 14);
  m.packed = Le32(h, 18);
  m.size = Le32(h, 22);
  const uint64_t nameLength = Le16(h, 26), extraLength = Le16(h, 28);
  m.data = at + 30 + nameLength + extraLength;
  if (m.packed == 0xFFFFFFFF) {
    for (uint64_t e = at + 30 + nameLength; e + 4 <= at + 30 + nameLength + extraLength;) {
      std::array<uint8_t, 20> x{};
      if (!file.Read(e, std::span(x).first(4))) return std::nullopt;
      // Original size first where the header gave up on it too, then the compressed size.
      const size_t skip = m.size == 0xFFFFFFFF ? 8 : 0;
      if (Le16(x, 0) == 1 && Le16(x, 2) >= skip + 8 && file.Read(e + 4, std::span(x).first(skip + 8))) {
        if (skip != 0) m.size = Le64(x, 0);
        m.packed = Le64(x, skip);
        break;
      }
      e += 4 + uint64_t{Le16(x, 2)};
    }
  }
  return m;
}

// Bytes a member may inflate to before its check gives up: far beyond any file carved.
constexpr uint64_t kMaxZipMemberBytes = uint64_t{8} << 30;

}  // namespace

bool ZipUnitHeader(ByteSpan bytes) {
  return Has(bytes, 0, 4) && (Le32(bytes, 0) == kLocalHeader || Le32(bytes, 0) == kCentralHeader);
}

uint64_t ZipMemberBytes(FileBytes& file, uint64_t at) {
  const std::optional<ZipMember> m = ReadZipMember(file, at);
  if (!m || (m->flags & 0x08) != 0 || m->packed > kMaxZipMemberBytes) return 0;
  return m->data + m->packed - at;
}

bool ZipMemberChecks(FileBytes& file, uint64_t at) {
  const std::optional<ZipMember> m = ReadZipMember(file, at);
  if (!m || (m->flags & 0x08) != 0 || m->packed > kMaxZipMemberBytes) return false;
  // Encrypted data, or a method zlib does not take, cannot be checked here.
  if ((m->flags & 0x01) != 0 || (m->method != 0 && m->method != 8)) return true;
  uLong crc = crc32(0, nullptr, 0);
  uint64_t produced = 0;
  if (m->method == 0) return Crc32Of(file, m->data, m->packed, crc) && crc == m->crc && m->packed == m->size;
  const uint64_t end =
      InflatedEnd(file, m->data, m->data + m->packed, -MAX_WBITS, m->size, [&](ByteSpan out) {
        crc = crc32(crc, out.data(), static_cast<uInt>(out.size()));
        produced += out.size();
      });
  return end == m->data + m->packed && produced == m->size && crc == m->crc;
}

uint64_t ZipLength(FileBytes& file, uint64_t limit, uint64_t* validEnd) {
  std::array<uint8_t, 56> h{};
  uint64_t at = 0;
  uint64_t members = 0;
  // The members: each local header, its name and extra field, its data and, when the header could not know
  // the sizes, the data descriptor after the deflate stream.
  for (; at < limit && members < kMaxUnits; ++members) {
    if (!file.Read(at, std::span(h).first(4))) return 0;
    if (Le32(h, 0) != kLocalHeader) break;
    // A member counts as whole once the next one's header follows it.
    if (validEnd != nullptr) *validEnd = at;
    const std::optional<ZipMember> member = ReadZipMember(file, at);
    if (!member) return 0;
    const uint16_t flags = member->flags, method = member->method;
    const uint64_t size = member->packed;
    const uint64_t data = member->data;
    if ((flags & 0x08) != 0) {
      // Sizes follow the data: only a deflate stream says where it ends.
      if (method != 8) return 0;
      const uint64_t end = InflatedEnd(file, data, limit, -MAX_WBITS, UINT64_MAX);
      if (end == 0) return 0;
      std::array<uint8_t, 4> sig{};
      at = end + (file.Read(end, sig) && Le32(sig, 0) == kDataDescriptor ? 4 : 0) + 12;
      // A ZIP64 descriptor has 8-byte sizes; the next signature tells which.
      if (file.Read(at, sig) && Le32(sig, 0) != kLocalHeader && Le32(sig, 0) != kCentralHeader) at += 8;
      continue;
    }
    // Its data must give back what its header says: where it does not, this archive's data ended before.
    if (size > limit || data > limit - size || !ZipMemberChecks(file, at)) return 0;
    at = data + size;
  }
  if (members == 0) return 0;
  // The central directory, then the ZIP64 end record and its locator where there are, then the end record
  // with its comment.
  for (uint64_t entries = 0; at < limit && entries < kMaxUnits; ++entries) {
    if (!file.Read(at, std::span(h).first(46)) || Le32(h, 0) != kCentralHeader) break;
    at += 46 + uint64_t{Le16(h, 28)} + Le16(h, 30) + Le16(h, 32);
  }
  if (file.Read(at, std::span(h).first(12)) && Le32(h, 0) == kZip64EndRecord) at += 12 + Le64(h, 4);
  if (file.Read(at, std::span(h).first(4)) && Le32(h, 0) == kZip64Locator) at += 20;
  if (!file.Read(at, std::span(h).first(22)) || Le32(h, 0) != kEndRecord) return 0;
  at += 22 + uint64_t{Le16(h, 20)};
  return at <= limit ? at : 0;
}

}  // namespace snapsave
