#include "carve/length_rules.h"

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string_view>

#include "carve/container_walks.h"
#include "carve/document_walks.h"
#include "carve/fragments.h"
#include "carve/jpeg_check.h"
#include "filetypes/carving_context.h"
#include "fs/fat/fat_dir_entry.h"
#include "storage/sector_reader.h"

namespace snapsave {
namespace {

using namespace typecode;
using namespace length_limit;

// Offset of the first `marker` in `data` at or after `from`, or npos.
size_t Find(ByteSpan data, std::string_view marker, size_t from = 0) {
  if (marker.empty() || from > data.size()) return std::string_view::npos;
  const std::string_view hay(reinterpret_cast<const char*>(data.data()), data.size());
  return hay.find(marker, from);
}

// pos * 100 / total without overflow; 0 for a total of 0.
uint64_t Percent(uint64_t pos, uint64_t total) {
  if (total == 0) return 0;
  return pos / total * 100 + pos % total * 100 / total;
}

// The sector walk every walking rule shares: chunks of the work buffer read on from the sector after the
// header, the progress report per chunk, and the stop test.
//   L (length): bytes of the file so far; starts at the header sector.
//   B (base): bytes of the file before the chunk in the buffer; a marker at chunk offset p ends at B + p.
class Walk {
 public:
  Walk(CarvingContext& ctx, uint64_t limit, bool mpegStops = false)
      : ctx_(ctx), ss_(ctx_.sectorSize()), mpegStops_(mpegStops) {
    budget_ = ss_ == 0 ? 0 : limit / ss_;
    const uint64_t medium = MediumSectors(ctx_);
    mediumLeft_ = ctx_.startSector() < medium ? medium - ctx_.startSector() - 1 : 0;
    length_ = ss_;
    base_ = ss_;
  }

  // Takes the previous chunk into the file, reads the next one and reports progress. False when the budget or
  // the medium is used up, a read fails, or the callback answered non-zero; L then stays as it is.
  bool Read() {
    if (!chunk_.empty() && !stopped_) Take();
    chunk_ = {};
    const std::span<uint8_t> buffer = ctx_.workBuffer();
    if (ss_ == 0 || buffer.size() < ss_) return false;
    const uint64_t left = mediumLeft_ > consumed_ ? mediumLeft_ - consumed_ : 0;
    const uint64_t count = std::min<uint64_t>({buffer.size() / ss_, budget_, left});
    if (count == 0) return false;
    if (!ctx_.ReadSectors(buffer, ctx_.startSector() + 1 + consumed_, static_cast<uint32_t>(count)))
      return false;
    chunk_ = ByteSpan(buffer.data(), static_cast<size_t>(count * ss_));
    stopAt_ = chunk_.size();
    return Report(count);
  }

  // The stop test: the first sector of the chunk that starts another file or is file-system metadata ends
  // the file just before it. True when one did; L then includes the sectors before it.
  bool Stop() {
    for (size_t off = 0; off < chunk_.size(); off += ss_) {
      ctx_.SetCurrentSector(ctx_.currentSector() + 1);
      const ByteSpan sector = chunk_.subspan(off, ss_);
      const uint32_t type = DetectType(ctx_, sector);
      if ((type != kNoType && !(mpegStops_ && type == kMpeg)) || IsFileSystemSector(sector)) {
        stopped_ = true;
        stopAt_ = off;
        length_ = base_ + off;
        return true;
      }
    }
    return false;
  }

  // The bytes read in this chunk, also after a stop.
  ByteSpan chunk() const { return chunk_; }
  // The bytes of this chunk before the sector that stopped the file (all of them without a stop).
  ByteSpan beforeStop() const { return chunk_.first(stopAt_); }
  uint64_t base() const { return base_; }
  uint64_t length() const { return length_; }

 private:
  void Take() {
    const uint64_t sectors = chunk_.size() / ss_;
    length_ += chunk_.size();
    base_ += chunk_.size();
    budget_ -= sectors;
    consumed_ += sectors;
  }

  bool Report(uint64_t sectors) {
    CarvingContext::Progress& p = ctx_.progress();
    p.scanPosition += sectors;
    if (p.callback == nullptr) return true;
    const auto progress =
        static_cast<int32_t>(std::min<uint64_t>(Percent(p.scanPosition, p.scanTotal) + 10, INT32_MAX));
    p.callbackResult = p.callback(p.callbackContext, progress, p.weight, p.secondsLeft, p.scanPosition,
                                  p.scanTotal, p.foundCount, 0);
    return p.callbackResult == 0;
  }

  CarvingContext& ctx_;
  uint32_t ss_;
  bool mpegStops_;
  uint64_t budget_ = 0;
  uint64_t mediumLeft_ = 0;
  uint64_t consumed_ = 0;
  uint64_t length_ = 0;
  uint64_t base_ = 0;
  ByteSpan chunk_;
  size_t stopAt_ = 0;
  bool stopped_ = false;
};

// Offset just behind the first acceptable `marker` in `data` at or after `from`; when `every` is false only
// the first occurrence is examined. npos when none is accepted.
size_t AcceptedMarkerEnd(ByteSpan data, std::string_view marker, uint32_t ss, bool every) {
  for (size_t at = Find(data, marker); at != std::string_view::npos; at = Find(data, marker, at + 1)) {
    if (AcceptEndMarker(data, at + marker.size(), ss)) return at + marker.size();
    if (!every) break;
  }
  return std::string_view::npos;
}

constexpr size_t npos = std::string_view::npos;

// The length a structure walk gives, or 0 when it cannot measure the file (the caller's rule then does).
uint64_t Walked(CarvingContext& ctx, ByteSpan header, uint64_t (*walk)(FileBytes&, uint64_t),
                uint64_t limit) {
  FileBytes file(ctx, header);
  return walk(file, limit);
}

// ---- Plain sector walk (psd, tif, tiff, flv, 3gp, mts, mxf, mov, mp2, mmf, fla, mkv)
// ----------------------- Nothing marks these files' ends in a way a sector test can see: the file runs until
// a sector starts something else, or to the limit (then limit + one sector).
uint64_t PlainWalk(CarvingContext& ctx, uint64_t limit) {
  Walk w(ctx, limit);
  while (w.Read()) {
    if (w.Stop()) break;
  }
  return w.length();
}

// ---- JPEG: FF D9 (end of image)
// ------------------------------------------------------------------------------ Only the first FF D9 of a
// buffer is looked at: the first one of a chunk may be an embedded thumbnail's, and then the chunk gives no
// candidate. A later chunk's candidate replaces an earlier one. A marker at or after the sector that stopped
// the file belongs to the next file and is no candidate.
//
// A file put back together from two pieces: the outcome says where the second lies.
uint64_t Joined(CarvingContext& ctx, const Stitched& joined) {
  ctx.outcome().headSectors = joined.split.headSectors;
  ctx.outcome().tailSector = joined.split.tailSector;
  ctx.outcome().intact = joined.whole;
  return joined.length;
}

// A picture whose data breaks off, or decodes wrong, is looked for in two pieces; found whole, the outcome
// says where its second piece lies.
uint64_t JpegLength(CarvingContext& ctx, ByteSpan header) {
  // Its segments and scans say where the main image ends, whatever follows it on the medium.
  {
    FileBytes file(ctx, header);
    uint64_t validEnd = 0;
    const uint64_t n = JpegSegmentsLength(file, k128MiB, StopsJpegData, &validEnd);
    if (n != 0 || validEnd != 0) {
      JpegRows rows;
      const JpegCheck check = CheckJpeg(file, n != 0 ? n : validEnd, uint64_t{24} << 20, &rows);
      if (n != 0 && check.verdict != JpegCheck::Verdict::kBroken) return n;
      uint64_t brokenAt = n != 0 ? n : validEnd;
      if (check.verdict == JpegCheck::Verdict::kBroken) brokenAt = std::min(brokenAt, check.brokenAt);
      if (const std::optional<Stitched> joined = StitchJpeg(ctx, header, brokenAt, rows))
        return Joined(ctx, *joined);
      ctx.outcome().intact = false;
      // Segments that broke off: whatever follows the last whole one is not this picture's.
      return n != 0 ? n : std::max<uint64_t>(validEnd, ctx.sectorSize());
    }
  }
  const uint32_t ss = ctx.sectorSize();
  if (size_t e = AcceptedMarkerEnd(header, "\xFF\xD9", ss, false); e != npos) return e;
  Walk w(ctx, k128MiB);
  uint64_t candidate = 0;
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t e = AcceptedMarkerEnd(w.beforeStop(), "\xFF\xD9", ss, false); e != npos)
      candidate = w.base() + e;
    if (stopped) break;
  }
  return candidate != 0 && candidate < w.length() ? candidate : w.length();
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

// ---- RIFF (AVI, WAV): the chunk size at offset 4 plus its 8-byte chunk header
// ---------------------------------
uint64_t RiffLength(CarvingContext& ctx, ByteSpan header, uint32_t typeCode) {
  if (typeCode == kAvi && header.size() < 16) return ctx.sectorSize();
  return uint64_t{Le32(header, 4)} + 8;
}

// ---- SWF: an uncompressed ("FWS") file states its length at offset 4
// -----------------------------------------
uint64_t SwfHeaderLength(CarvingContext& ctx, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, SwfLength, k256MiB); n != 0) return n;
  return ctx.sectorSize();
}

// ---- ASF (wmv, wma): the file size of the file properties object, unless it is a broadcast
// -----------------
uint64_t AsfLength(CarvingContext& ctx, ByteSpan header) {
  const uint32_t ss = ctx.sectorSize();
  static constexpr std::array<uint8_t, 16> kFileProperties = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                              0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
  const std::string_view guid(reinterpret_cast<const char*>(kFileProperties.data()), kFileProperties.size());
  const size_t at = Find(header, guid, 30);
  if (at == npos || !Has(header, at, 92)) return ss;
  if ((Le32(header, at + 88) & 1) != 0) return ss;  // broadcast: the size is not known
  return std::min<uint64_t>(Le64(header, at + 40), k256MiB);
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

// ---- MPEG program or elementary stream: the end code
// --------------------------------------------------------- Another pack header does not end the stream
// (packs follow each other); the end code is the sequence end for an elementary stream, else the program end.
uint64_t MpegLength(CarvingContext& ctx, ByteSpan header) {
  // A program stream's packs say where it ends, with or without an end code.
  if (BytesEqual(header, 0, {0x00, 0x00, 0x01, 0xBA})) {
    if (const uint64_t n = Walked(ctx, header, MpegProgramLength, k6GiB); n != 0) return n;
  }
  const uint32_t ss = ctx.sectorSize();
  const std::string_view end = BytesEqual(header, 0, {0x00, 0x00, 0x01, 0xB3})
                                   ? std::string_view("\x00\x00\x01\xB7", 4)
                                   : std::string_view("\x00\x00\x01\xB9", 4);
  Walk w(ctx, k6GiB, true);
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t e = AcceptedMarkerEnd(w.chunk(), end, ss, true); e != npos) return w.base() + e;
    if (stopped) break;
  }
  return w.length();
}

// ---- MP3: the 128-byte ID3v1 tag ("TAG") at the end
// ---------------------------------------------------------- Like JPEG: the first "TAG" of a chunk is the
// candidate, a later chunk's replaces it, and one at or after the sector that stopped the file is the next
// file's.
uint64_t Mp3Length(CarvingContext& ctx) {
  Walk w(ctx, k2GiB);
  uint64_t candidate = 0;
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t at = Find(w.beforeStop(), "TAG"); at != npos) candidate = w.base() + at + 128;
    if (stopped) break;
  }
  return candidate != 0 && candidate < w.length() ? candidate : w.length();
}

// ---- APE: the APEv2 tag; its footer (the second "APETAGEX") closes the file
// -----------------------------------
uint64_t ApeLength(CarvingContext& ctx) {
  constexpr std::string_view kTag("APETAGEX\xD0\x07", 10);
  Walk w(ctx, k2GiB);
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t first = Find(w.chunk(), kTag); first != npos) {
      const size_t footer = Find(w.chunk(), kTag, first + kTag.size());
      return footer != npos ? w.base() + footer + 32 : w.base() + w.chunk().size();
    }
    if (stopped) break;
  }
  return w.length();
}

// ---- MIDI: the header chunk and the declared number of track chunks, each by its length
// ---------------------- The chunks are followed by their lengths (reading the sectors that hold each chunk
// header); the sectors the file then spans must pass the stop test. Damaged chunk lists fall back to the stop
// test alone.
uint64_t MidiChunksEnd(CarvingContext& ctx, ByteSpan header) {
  const uint32_t ss = ctx.sectorSize();
  const std::span<uint8_t> buffer = ctx.workBuffer();
  uint32_t tracks = Be16(header, 10);
  uint64_t at = 8 + uint64_t{Be32(header, 4)};  // behind the header chunk
  const uint64_t limit = std::min(k8MiB + ss, MediumBytesFromStart(ctx));
  uint32_t others = 0;
  std::array<uint8_t, 8> chunk{};
  while (tracks > 0) {
    if (at + 8 > limit) return 0;
    if (at + 8 <= header.size()) {
      std::copy_n(header.begin() + static_cast<ptrdiff_t>(at), 8, chunk.begin());
    } else {
      const uint64_t first = at / ss;
      const auto count = static_cast<uint32_t>((at + 8 + ss - 1) / ss - first);
      if (uint64_t{count} * ss > buffer.size() || !ctx.ReadSectors(buffer, ctx.startSector() + first, count))
        return 0;
      std::copy_n(buffer.begin() + static_cast<ptrdiff_t>(at - first * ss), 8, chunk.begin());
    }
    const ByteSpan c(chunk);
    if (BytesEqual(c, 0, "MTrk")) {
      --tracks;
    } else if (++others > 64 || !std::all_of(chunk.begin(), chunk.begin() + 4,
                                             [](uint8_t b) { return b >= 0x20 && b < 0x7F; })) {
      return 0;  // not a chunk list
    }
    at += 8 + uint64_t{Be32(c, 4)};
  }
  return at <= limit ? at : 0;
}

uint64_t MidiLength(CarvingContext& ctx, ByteSpan header) {
  const uint32_t ss = ctx.sectorSize();
  const uint64_t end = MidiChunksEnd(ctx, header);
  if (end != 0 && end <= ss) return end;
  // The sectors after the header that the chunks span, or the limit when the chunk list is damaged.
  Walk w(ctx, end != 0 ? (end - ss + ss - 1) / ss * ss : k8MiB);
  while (w.Read()) {
    if (w.Stop()) return w.length();
  }
  return end != 0 ? std::min(end, w.length()) : w.length();
}

// ---- RealMedia: an empty final index chunk
// -------------------------------------------------------------------
uint64_t RealMediaIndexLength(CarvingContext& ctx, ByteSpan header) {
  if (const uint64_t n = Walked(ctx, header, RealMediaLength, k6GiB); n != 0) return n;
  constexpr std::string_view kEmptyIndex(
      "INDX\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00", 20);
  Walk w(ctx, k6GiB);
  while (w.Read()) {
    const bool stopped = w.Stop();
    if (size_t at = Find(w.chunk(), kEmptyIndex); at != npos) return w.base() + at + kEmptyIndex.size();
    if (stopped) break;
  }
  return w.length();
}

// ---- MP4: the producer text some muxers leave in a trailing "free" box
// ---------------------------------------
uint64_t Mp4Length(CarvingContext& ctx) {
  constexpr std::string_view kProducer = "freeIsoMedia File Produced";
  Walk w(ctx, k6GiB);
  while (w.Read()) {
    const bool stopped = w.Stop();
    const ByteSpan chunk = w.chunk();
    if (size_t at = Find(chunk, kProducer); at != npos) {
      size_t end = at + kProducer.size();
      while (end < chunk.size() && chunk[end] != 0) ++end;
      return w.base() + end;
    }
    if (stopped) break;
  }
  return w.length();
}

// ---- MPEG transport stream: the run of 188-byte packets
// ------------------------------------------------------ Sectors inside the stream pass the stop test (the
// header test refuses a sector that a packet grid runs into), so the file is as long as its packets keep
// their sync byte. The carved range is kept so that no later sector inside it starts a second stream.
uint64_t TransportStreamLength(CarvingContext& ctx, ByteSpan header) {
  constexpr uint64_t kPacket = 188;
  const uint32_t ss = ctx.sectorSize();
  uint64_t run = ss - ss % kPacket;
  uint64_t next = run;  // file offset of the next packet on the grid
  bool ended = false;
  // A packet that starts in the header sector and runs on into the next one.
  for (; next < ss && next < header.size(); next += kPacket) {
    if (header[static_cast<size_t>(next)] != 0x47) {
      ended = true;
      break;
    }
    run += kPacket;
  }
  Walk w(ctx, k64GiB);
  while (w.Read()) {
    const bool stopped = w.Stop();
    const ByteSpan chunk = w.chunk();
    for (; !ended && next >= w.base() && next < w.base() + chunk.size(); next += kPacket) {
      if (chunk[static_cast<size_t>(next - w.base())] != 0x47) {
        ended = true;
        break;
      }
      run += kPacket;
    }
    if (stopped) break;
  }
  uint64_t length = run != 0 && run < w.length() ? run : w.length();
  length = std::min(length, MediumBytesFromStart(ctx));
  const uint64_t sectors = length / ss + (length % ss != 0 ? 1 : 0);
  ctx.AddTransportStreamRange(ctx.startSector(), ctx.startSector() + std::max<uint64_t>(sectors, 1) - 1);
  return length;
}

uint64_t Measure(CarvingContext& ctx, LengthRule rule, uint32_t typeCode, ByteSpan header) {
  switch (rule) {
    case LengthRule::kNone:
      return 0;
    case LengthRule::kMpegStream:
      return MpegLength(ctx, header);
    case LengthRule::kMp4TextMarker:
      return Mp4Length(ctx);
    case LengthRule::kIsoMediaBoxes:
      // Media data with no movie box after it: the movie box may lie further on, past other data.
      if (IsoMediaLacksMovie(ctx, header)) {
        if (const std::optional<Stitched> joined = StitchIsoMedia(ctx, header)) return Joined(ctx, *joined);
        ctx.outcome().intact = false;
      }
      if (const uint64_t n = Walked(ctx, header, IsoMediaLength, k6GiB); n != 0) return n;
      return typeCode == kMp4 ? Mp4Length(ctx) : PlainWalk(ctx, k6GiB);
    case LengthRule::kMatroskaElements:
      if (const uint64_t n = Walked(ctx, header, MatroskaLength, k64GiB); n != 0) return n;
      return PlainWalk(ctx, k64GiB);
    case LengthRule::kMpegAudioFrames:
      if (const uint64_t n = Walked(ctx, header, MpegAudioLength, k2GiB); n != 0) return n;
      return typeCode == kMp3 ? Mp3Length(ctx) : PlainWalk(ctx, k256MiB);
    case LengthRule::kTiffIfds:
      if (const uint64_t n = Walked(ctx, header, TiffLength, k256MiB); n != 0) return n;
      return PlainWalk(ctx, k128MiB);
    case LengthRule::kCompoundDocument:
      if (const uint64_t n = Walked(ctx, header, CompoundDocumentLength, k256MiB); n != 0) return n;
      return ctx.sectorSize();
    case LengthRule::kPsdSections:
      if (const uint64_t n = Walked(ctx, header, PsdLength, k2GiB); n != 0) return n;
      return PlainWalk(ctx, k128MiB);
    case LengthRule::kMxfPartitions:
      if (const uint64_t n = Walked(ctx, header, MxfLength, k6GiB); n != 0) return n;
      return PlainWalk(ctx, k6GiB);
    case LengthRule::kSmafChunk:
      if (const uint64_t n = Walked(ctx, header, SmafLength, k256MiB); n != 0) return n;
      return PlainWalk(ctx, k256MiB);
    case LengthRule::kM2tsGrid: {
      const uint64_t n = Walked(ctx, header, M2tsLength, k64GiB);
      if (n == 0) return PlainWalk(ctx, k6GiB);
      // No sector inside the stream may start a second one.
      const uint32_t ss = ctx.sectorSize();
      ctx.AddTransportStreamRange(ctx.startSector(),
                                  ctx.startSector() + (std::min(n, MediumBytesFromStart(ctx)) - 1) / ss);
      return n;
    }
    case LengthRule::kZipArchive: {
      // Members that break off end the archive after the last whole one.
      FileBytes file(ctx, header);
      uint64_t validEnd = 0;
      if (const uint64_t n = ZipLength(file, k6GiB, &validEnd); n != 0) return n;
      // A member that states its sizes and fails its check (the first one too) may go on further away.
      const bool framed = ZipMemberBytes(file, validEnd) != 0;
      if (framed) {
        if (const std::optional<Stitched> joined = StitchFramed(ctx, header, validEnd, kZipFraming))
          return Joined(ctx, *joined);
      }
      if (validEnd != 0 || framed) {
        ctx.outcome().intact = false;
        return std::max<uint64_t>(validEnd, ctx.sectorSize());
      }
      return PlainWalk(ctx, k256MiB);
    }
    case LengthRule::kOggPages:
    case LengthRule::kFlacFrames: {
      // Where the pages or frames break off, the stream ends after the last whole one.
      FileBytes file(ctx, header);
      uint64_t validEnd = 0;
      const bool ogg = rule == LengthRule::kOggPages;
      if (const uint64_t n = ogg ? OggLength(file, k2GiB, &validEnd) : FlacLength(file, k2GiB, &validEnd);
          n != 0)
        return n;
      if (validEnd != 0) {
        if (ogg) {
          if (const std::optional<Stitched> joined = StitchFramed(ctx, header, validEnd, kOggFraming))
            return Joined(ctx, *joined);
        }
        ctx.outcome().intact = false;
        return std::max<uint64_t>(validEnd, ctx.sectorSize());
      }
      return PlainWalk(ctx, k256MiB);
    }
    case LengthRule::kPdfTrailer: {
      FileBytes file(ctx, header);
      if (const uint64_t n = PdfLength(file, k2GiB, StartsOtherFile); n != 0) return n;
      return PlainWalk(ctx, k256MiB);
    }
    case LengthRule::kGzipMembers:
    case LengthRule::kBzip2Streams:
    case LengthRule::kXzStreams: {
      // Where a later member or stream breaks off, the file ends after the last whole one.
      FileBytes file(ctx, header);
      uint64_t validEnd = 0;
      const uint64_t n = rule == LengthRule::kGzipMembers    ? GzipLength(file, k2GiB, &validEnd)
                         : rule == LengthRule::kBzip2Streams ? Bzip2Length(file, k2GiB, &validEnd)
                                                             : XzLength(file, k2GiB, &validEnd);
      if (n != 0) return n;
      // Checked data that does not decode from its first member on: the file is not whole.
      ctx.outcome().intact = false;
      return PlainWalk(ctx, k256MiB);
    }
    case LengthRule::k7zHeaders:
      if (const uint64_t n = Walked(ctx, header, SevenZipLength, k64GiB); n != 0) return n;
      return PlainWalk(ctx, k256MiB);
    case LengthRule::kRarBlocks:
      if (const uint64_t n = Walked(ctx, header, RarLength, k64GiB); n != 0) return n;
      return PlainWalk(ctx, k256MiB);
    case LengthRule::kSqlitePages:
      if (const uint64_t n = Walked(ctx, header, SqliteLength, k64GiB); n != 0) return n;
      return PlainWalk(ctx, k256MiB);
    case LengthRule::kPstSize:
      if (const uint64_t n = Walked(ctx, header, PstLength, k64GiB); n != 0) return n;
      return PlainWalk(ctx, k2GiB);
    case LengthRule::kIffFormSize:
      if (const uint64_t n = Walked(ctx, header, IffLength, k2GiB); n != 0) return n;
      return ctx.sectorSize();
    case LengthRule::kAdtsFrames:
      if (const uint64_t n = Walked(ctx, header, AdtsLength, k2GiB); n != 0) return n;
      return PlainWalk(ctx, k256MiB);
    case LengthRule::kAmrFrames:
      if (const uint64_t n = Walked(ctx, header, AmrLength, k256MiB); n != 0) return n;
      return PlainWalk(ctx, k256MiB);
    case LengthRule::kRafOffsets:
      if (const uint64_t n = Walked(ctx, header, RafLength, k2GiB); n != 0) return n;
      return PlainWalk(ctx, k128MiB);
    case LengthRule::kFlvTags:
      if (const uint64_t n = Walked(ctx, header, FlvLength, k6GiB); n != 0) return n;
      return PlainWalk(ctx, k6GiB);
    case LengthRule::kRealMediaIndex:
      return RealMediaIndexLength(ctx, header);
    case LengthRule::kAsfFileProperties:
      return AsfLength(ctx, header);
    case LengthRule::kSwfHeaderLength:
      return SwfHeaderLength(ctx, header);
    case LengthRule::kRiffSize:
      return RiffLength(ctx, header, typeCode);
    case LengthRule::kTransportStream:
      return TransportStreamLength(ctx, header);
    case LengthRule::kMp3Tag:
      return Mp3Length(ctx);
    case LengthRule::kMidiTracks:
      return MidiLength(ctx, header);
    case LengthRule::kApeTag:
      return ApeLength(ctx);
    case LengthRule::kGifTrailer:
      return TrailerLength(ctx, header, kGifTrailer);
    case LengthRule::kBmpSizeField:
      return BmpLength(header);
    case LengthRule::kJpegEndMarker:
      return JpegLength(ctx, header);
    case LengthRule::kPngEndChunk:
      return TrailerLength(ctx, header, kPngTrailer);
    case LengthRule::kIcoDirectory:
      return IcoLength(ctx, header);
    case LengthRule::kWalk128MiB:
      return PlainWalk(ctx, k128MiB);
    case LengthRule::kWalk256MiB:
      return PlainWalk(ctx, k256MiB);
    case LengthRule::kWalk6GiB:
      return PlainWalk(ctx, k6GiB);
    case LengthRule::kWalk64GiB:
      return PlainWalk(ctx, k64GiB);
  }
  return 0;
}

}  // namespace

bool IsFileSystemSector(ByteSpan s) {
  if (s.size() < 32) return false;
  if (BytesEqual(s, 0, "FILE") || BytesEqual(s, 0, "INDX")) return true;
  if (BytesEqual(s, 0, "RSTR") && Find(s, std::string_view("N\0T\0F\0S\0", 8)) != npos) return true;
  if (BytesEqual(s, 0, std::string_view("$\0S\0T\0A\0", 8))) return true;
  if (s[0] == 0xEB && s[2] == 0x90) {
    for (std::string_view oem : {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "NTFS    ", "EXFAT   "}) {
      if (BytesEqual(s, 3, oem)) return true;
    }
  }
  return IsDirectoryBlock(s);
}

bool StartsOtherFile(CarvingContext& ctx, uint64_t sector, ByteSpan bytes) {
  ctx.SetCurrentSector(sector);
  return DetectType(ctx, bytes) != kNoType || IsFileSystemSector(bytes);
}

bool AcceptEndMarker(ByteSpan chunk, size_t end, uint32_t sectorSize) {
  if (sectorSize == 0 || end > chunk.size()) return false;
  if (end % sectorSize == 0) return true;
  const size_t sectorEnd = std::min(chunk.size(), (end / sectorSize + 1) * size_t{sectorSize});
  return std::all_of(chunk.begin() + static_cast<ptrdiff_t>(end),
                     chunk.begin() + static_cast<ptrdiff_t>(sectorEnd), [](uint8_t b) { return b == 0; });
}

uint64_t MeasureLength(CarvingContext& ctx, LengthRule rule, uint32_t typeCode, ByteSpan header) {
  const uint32_t ss = ctx.sectorSize();
  ctx.outcome() = CarvingContext::Outcome{};
  if (ss == 0 || ctx.workBuffer().size() < ss) return ss;
  const uint64_t length = Measure(ctx, rule, typeCode, header);
  // A joined file's second piece lies beyond the start sector's run; its length is checked where it was
  // joined.
  if (ctx.outcome().headSectors != 0) return length;
  return std::min(length, MediumBytesFromStart(ctx));
}

}  // namespace snapsave
