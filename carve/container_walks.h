// Length rules that walk a container's own structure: ISO base media boxes, Matroska elements, FLV tags. Each
// walker reads only the few bytes its structure points at, through the carving context, and validates what
// it walks; where a structure breaks off the file ends after its last valid unit, and a walker that cannot
// start answers 0 so that the plain rule of its type measures instead.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>

#include "filetypes/carving_context.h"
#include "os/byte_reader.h"

namespace snapsave {

// Sectors of the context's size that the medium holds, or 0 without a source.
uint64_t MediumSectors(const CarvingContext& ctx);
// Bytes the medium holds from the candidate's start sector on (at least the header sector).
uint64_t MediumBytesFromStart(const CarvingContext& ctx);

// A file in two pieces: its first `headSectors` sectors from its start sector on, the rest from the absolute
// sector `tailSector` on.
struct SplitAt {
  uint64_t headSectors = 0;
  uint64_t tailSector = 0;
};

// The candidate file's bytes by offset from the start of its header sector: the header sector itself, then
// 64 KiB windows of the context's work buffer read as the walk moves on. Several may be in use at once: a
// window another user of the work buffer overwrote is read again. With a split, the offsets past the
// head run on in the tail; no window spans the seam.
class FileBytes {
 public:
  FileBytes(CarvingContext& ctx, ByteSpan header);
  FileBytes(CarvingContext& ctx, ByteSpan header, SplitAt split);
  // Fills `out` from `offset`; false where the medium ends, a read fails, or `out` is larger than a window.
  bool Read(uint64_t offset, std::span<uint8_t> out);
  // The bytes from `offset` to the end of the window that holds it (the header sector's rest when it lies
  // there); empty where the medium ends or a read fails. For scans that look at every byte.
  ByteSpan View(uint64_t offset);
  uint64_t MediumBytes() const { return medium_; }
  CarvingContext& context() { return ctx_; }

 private:
  // The absolute sector that holds file sector `sector`, and how many sectors follow it there unbroken.
  uint64_t Physical(uint64_t sector, uint64_t& run) const;
  // Whether the window read last still holds `offset`: no one took the work buffer since.
  bool WindowHolds(uint64_t offset) const;

  CarvingContext& ctx_;
  ByteSpan header_;
  SplitAt split_;
  uint64_t medium_ = 0;
  std::span<uint8_t> window_;
  uint64_t handout_ = 0;
  uint64_t windowStart_ = 0;
  size_t windowSize_ = 0;
  std::array<uint8_t, 2> seam_{};
};

// Where a zlib (`windowBits` 8..15), gzip (16 + that) or raw deflate (negative) stream starting at `at`
// ends, inflated up to the limit (for gzip the trailer's check and size included); 0 where it breaks off or
// gives more than `maxOutput` bytes. `output`, where given, sees the inflated bytes.
uint64_t InflatedEnd(FileBytes& file, uint64_t at, uint64_t limit, int windowBits, uint64_t maxOutput,
                     const std::function<void(ByteSpan)>& output = {});

// ISO base media (MP4, MOV, 3GP, M4A, HEIF): the end of the last top-level box of a known type, walked from
// the header; 0 when the first box is none, or a box runs "to the end of the file" (size 0).
uint64_t IsoMediaLength(FileBytes& file, uint64_t limit);

// Matroska / WebM: the EBML header, then the Segment by its declared size, or, for a Segment of unknown size,
// its top-level elements one by one; 0 when the header is no EBML header.
uint64_t MatroskaLength(FileBytes& file, uint64_t limit);

// FLV: the header, then tag after tag while each tag's trailing size matches it; 0 without a valid header.
uint64_t FlvLength(FileBytes& file, uint64_t limit);

// MPEG audio (MP3, MP2): an ID3v2 tag, frames of one stream by their lengths, then an APEv2 and an ID3v1 tag
// where they follow; 0 when fewer than four frames come.
uint64_t MpegAudioLength(FileBytes& file, uint64_t limit);

// TIFF and the TIFF-based camera raw formats: the IFD chain with its sub-IFDs (Exif, GPS, interoperability,
// SubIFDs); the file ends at the furthest end of any IFD, strip, tile, thumbnail or value they reference. 0
// when the header or the first IFD is not valid.
uint64_t TiffLength(FileBytes& file, uint64_t limit);

// Compound documents (doc, xls, ppt, msg ...): the header's sector size and its FAT, found through the DIFAT;
// the file ends after the highest sector the FAT marks as used. 0 when the header is not valid.
uint64_t CompoundDocumentLength(FileBytes& file, uint64_t limit);

// PSD and PSB: the header, the colour-mode, image-resource and layer sections by their lengths, then the
// image data, raw by its dimensions or RLE by its row byte counts. 0 for any other header or compression.
uint64_t PsdLength(FileBytes& file, uint64_t limit);

// SWF: an uncompressed file ("FWS") states its length; a zlib-compressed one ("CWS") ends where its deflate
// stream ends, found by inflating it. 0 when neither holds.
uint64_t SwfLength(FileBytes& file, uint64_t limit);

// MPEG program streams (mpg, vob): pack headers and the packets between them by their lengths, to the program
// end code or after the last whole pack; 0 for anything but a pack header, or fewer than two packs.
uint64_t MpegProgramLength(FileBytes& file, uint64_t limit);

// RealMedia: its chunks (.RMF, PROP, MDPR, CONT, DATA, INDX ...) by their sizes; 0 without a valid first
// chunk.
uint64_t RealMediaLength(FileBytes& file, uint64_t limit);

// MXF: key-length-value triplets with SMPTE keys, to the last whole one (the footer partition and the random
// index pack included); 0 when the first is none.
uint64_t MxfLength(FileBytes& file, uint64_t limit);

// SMAF ringtones: the "MMMD" chunk's size; 0 for no SMAF header.
uint64_t SmafLength(FileBytes& file, uint64_t limit);

// M2TS (Blu-ray and camcorder MTS): 192-byte packets, each a timestamp and a transport packet, while their
// sync bytes keep the grid; 0 for fewer than two packets.
uint64_t M2tsLength(FileBytes& file, uint64_t limit);

// The picture and audio walkers that take `validEnd` answer 0 when their structure breaks off before its end;
// `validEnd`, where given, then receives the end of the last whole unit walked (0 when none was).

// PNG: its chunks (the first a header chunk) by their lengths, each chunk's CRC checked, to the IEND chunk.
uint64_t PngLength(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// GIF: the screen descriptor and colour table, then extensions and images with their sub-blocks, to the
// trailer.
uint64_t GifLength(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// Ogg (Vorbis, Opus, FLAC or Theora inside): pages by their segment tables, each page's CRC checked, from the
// streams begun on the first pages to the page that ends the last of them.
uint64_t OggLength(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// FLAC: the stream decoded frame by frame (its frames state no lengths) until it holds the samples its
// STREAMINFO counts, or, where that count is unknown, while frames decode; an ID3v1 tag after it included.
uint64_t FlacLength(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// ZIP and the formats built on it (Office Open XML, OpenDocument, EPUB, JAR): the members by their local
// headers, each checked against its size and CRC (a deflate stream inflated where the header could not state
// its size), the central directory, the
// ZIP64 records, the end record and its comment.
uint64_t ZipLength(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// Units of PNG and Ogg, for the search of a split file's second piece: whether `header` may start one, its
// whole length from its header at `at` (0 when that cannot be read), and whether its checksum holds.
bool PngChunkHeader(ByteSpan header);
uint64_t PngChunkBytes(FileBytes& file, uint64_t at);
bool PngChunkChecks(FileBytes& file, uint64_t at);
bool OggPageHeader(ByteSpan header);
uint64_t OggPageBytes(FileBytes& file, uint64_t at);
bool OggPageChecks(FileBytes& file, uint64_t at);
// ZIP: a member's local header or the central directory's first entry; a member whose sizes its header
// states, and its data inflated (or read, when stored) against its size and CRC.
bool ZipUnitHeader(ByteSpan header);
uint64_t ZipMemberBytes(FileBytes& file, uint64_t at);
bool ZipMemberChecks(FileBytes& file, uint64_t at);

// Whether the whole sector `sector` (absolute) starts another file or is file-system metadata: the end of a
// file cut short.
using SectorStop = bool (*)(CarvingContext& ctx, uint64_t sector, ByteSpan bytes);

// JPEG: marker segments by their lengths (an Exif thumbnail inside APP1 is skipped whole), entropy-coded data
// byte by byte to the next marker, and so on to the EOI of the main image. 0 when the segments do not start,
// or no EOI comes before the limit, the medium's end, or a sector that `stop` says starts something else.
uint64_t JpegSegmentsLength(FileBytes& file, uint64_t limit, SectorStop stop, uint64_t* validEnd = nullptr);

}  // namespace snapsave
