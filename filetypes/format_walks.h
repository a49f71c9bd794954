// The structure walks of the format families, for the joins of other families and for tests: each reads
// only the few bytes its structure points at, through the carving context, and validates what it walks;
// where a structure breaks off the file ends after its last valid unit, and a walk that cannot start
// answers 0 so that the plain rule of its type measures instead.
#pragma once

#include <cstdint>
#include <optional>

#include "filetypes/carving_context.h"
#include "filetypes/format_support.h"
#include "filetypes/jpeg_check.h"
#include "os/byte_reader.h"

namespace snapsave {

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

// JPEG: marker segments by their lengths (an Exif thumbnail inside APP1 is skipped whole), entropy-coded data
// byte by byte to the next marker, and so on to the EOI of the main image. 0 when the segments do not start,
// or no EOI comes before the limit, the medium's end, or a sector that `stop` says starts something else.
uint64_t JpegSegmentsLength(FileBytes& file, uint64_t limit, SectorStop stop, uint64_t* validEnd = nullptr);

// ---- Documents, archives, databases, and the audio and raw formats whose files state or frame their ends.
// Those that take `validEnd` set it, when their structure breaks off, to the end of the last whole unit
// walked.

// PDF: the last "%%EOF" whose "startxref" points at a cross-reference section or stream, as long as what
// follows it is another incremental update; with no such "%%EOF" before the limit, the medium's end or a
// sector that `stop` says starts something else, the last "%%EOF" of any kind. 0 when there is none.
uint64_t PdfLength(FileBytes& file, uint64_t limit, SectorStop stop);

// gzip: each member inflated to its end, the trailer's CRC and size checked by zlib; members that follow
// directly are taken too.
uint64_t GzipLength(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// bzip2: each stream decompressed to its end-of-stream marker (block and stream CRCs checked by libbz2);
// streams that follow directly are taken too.
uint64_t Bzip2Length(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// xz: each stream decoded to its footer (checks verified by liblzma); streams that follow directly are taken
// too.
uint64_t XzLength(FileBytes& file, uint64_t limit, uint64_t* validEnd = nullptr);

// 7z: the start header (its CRC checked) says where the next header lies and how long it is.
uint64_t SevenZipLength(FileBytes& file, uint64_t limit);

// RAR 4 and 5: blocks by their sizes, each header's CRC checked, to the end-of-archive block; an archive
// without one ends after its last valid block.
uint64_t RarLength(FileBytes& file, uint64_t limit);

// SQLite: page size times the header's page count, when the count is valid (written by 3.7.0 and later).
uint64_t SqliteLength(FileBytes& file, uint64_t limit);

// Outlook PST/OST, ANSI or Unicode: the end-of-file offset in the header's root.
uint64_t PstLength(FileBytes& file, uint64_t limit);

// AAC in ADTS frames: frames of one stream by their lengths; an ID3v1 tag after them included.
uint64_t AdtsLength(FileBytes& file, uint64_t limit);

// AMR narrow- or wideband: the magic, then good frames by their types' sizes, all of the first speech frame's
// mode or comfort noise or no data (an encoder keeps its mode; slack rarely passes for such a frame).
uint64_t AmrLength(FileBytes& file, uint64_t limit);

// Fujifilm RAF: the furthest of the preview, CFA header and CFA data blocks the header points at.
uint64_t RafLength(FileBytes& file, uint64_t limit);

// AIFF: the FORM chunk's size and its header, padded to an even length.
uint64_t IffLength(FileBytes& file, uint64_t limit);

// ---- Joins of pictures and movies

// A sector that cannot lie inside a JPEG's entropy-coded data: no byte of it has the high bit set (zeros,
// text), which coded data never does for a whole sector.
bool ForeignToCodedData(ByteSpan sector);

// The stop test of a JPEG's coded data: a sector that starts another file, is file-system metadata, or is
// foreign to coded data.
bool StopsJpegData(CarvingContext& ctx, uint64_t sector, ByteSpan bytes);

// The data offsets around the rows where a decoded picture's grey image jumps to other content and stays
// there: the split lies in [first, last] (the rows are those of `CheckJpeg`).
struct SeamRows {
  uint64_t first = 0;
  uint64_t last = 0;
};
std::optional<SeamRows> FindSeam(const JpegRows& rows);

// The JPEG whose header sector is `header` (at the context's start sector) broke at offset `brokenAt`. Looks
// for its second piece after the break, among sectors no stitched file claimed, within the limits above and
// the context's budget; the join kept decodes whole to its end marker.
// `rows` are those of the decode that found the break, for pictures whose decode goes on through other
// data for a while.
std::optional<Stitched> StitchJpeg(CarvingContext& ctx, ByteSpan header, uint64_t brokenAt,
                                   const JpegRows& rows);

// ISO base media (MP4, MOV, 3GP) written as cameras and phones write it, the media data first and the movie
// box after it: when no movie box follows the media data, the one a gap of whole sectors further on is read,
// and the split inside the media data is where every video sample its tables place is framed as its codec
// frames it (H.264 and H.265 by their NAL lengths, MPEG-4 Part 2 by its start codes). Where one split
// fits the join is whole; where several do (a long sample crosses them all) the first is kept, not whole.
std::optional<Stitched> StitchIsoMedia(CarvingContext& ctx, ByteSpan header);
// Whether such a file's media data is followed by no box and no movie box came before it: it cannot play.
bool IsoMediaLacksMovie(CarvingContext& ctx, ByteSpan header);

}  // namespace snapsave
