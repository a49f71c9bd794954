// Ogg (Vorbis, Opus, FLAC or Theora inside) by its pages and their CRCs, joined where a file cut in two
// resumes with a page whose checksum holds across the cut; FLAC by decoding its frames.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string_view>

#ifdef SNAPSAVE_HAVE_LIBFLAC
#include <FLAC/stream_decoder.h>
#endif

#include "filetypes/file_type_catalogue.h"
#include "filetypes/format_support.h"
#include "filetypes/format_walks.h"
#include "filetypes/joining.h"

namespace snapsave {

using namespace typecode;
using namespace length_limit;
using namespace stitch_limit;

namespace {

// ---- Ogg: the first page of a stream (it begins one, at granule and sequence 0); FLAC: its STREAMINFO block
// -----------
uint32_t MatchOgg(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 28 || !BytesEqual(b, 0, "OggS") || b[4] != 0 || (b[5] & 0x02) == 0 || (b[5] & ~0x07u) != 0)
    return kNoType;
  if (Le32(b, 6) != 0 || Le32(b, 10) != 0 || Le32(b, 18) != 0 || b[26] == 0) return kNoType;
  // The first packet names the codec; Opus files have an extension of their own.
  return BytesEqual(b, 27 + size_t{b[26]}, "OpusHead") ? kOpus : kOgg;
}

uint32_t MatchFlac(const CarvingContext& /*ctx*/, ByteSpan b) {
  if (b.size() < 42 || !BytesEqual(b, 0, "fLaC") || (b[4] & 0x7F) != 0 || (Be32(b, 4) & 0xFFFFFF) != 34)
    return kNoType;
  const uint32_t minBlock = Be16(b, 8), maxBlock = Be16(b, 10);
  const uint32_t sampleRate = Be32(b, 18) >> 12;
  return minBlock >= 16 && maxBlock >= minBlock && sampleRate != 0 ? kFlac : kNoType;
}

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

namespace {

uint64_t OggWhole(FileBytes& file) {
  return OggLength(file, uint64_t{2} << 30);
}

}  // namespace

const FramedFormat kOggFraming = {27, OggPageHeader, OggPageBytes, OggPageChecks, OggWhole};

namespace {

// Where the pages or frames break off, the stream ends after the last whole one.
uint64_t MeasureOggOrFlac(CarvingContext& ctx, uint32_t typeCode, ByteSpan header) {
  FileBytes file(ctx, header);
  uint64_t validEnd = 0;
  const bool ogg = typeCode != kFlac;
  if (const uint64_t n = ogg ? OggLength(file, k2GiB, &validEnd) : FlacLength(file, k2GiB, &validEnd); n != 0)
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

constexpr HeaderTest kOggHeader = Lead(MatchOgg, 'O');
constexpr HeaderTest kFlacHeader = Lead(MatchFlac, 'f');

constexpr CarvingTypeRow kRows[] = {
    {"ogg", kOgg, &kOggHeader, MeasureOggOrFlac},
    {"opus", kOpus, &kOggHeader, MeasureOggOrFlac},
    {"flac", kFlac, &kFlacHeader, MeasureOggOrFlac},
};

}  // namespace

std::span<const CarvingTypeRow> OggFlacFormats() {
  return kRows;
}

}  // namespace snapsave
