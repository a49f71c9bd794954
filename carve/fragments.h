// Files split in two. A card written, partly deleted and written again leaves files whose second piece lies
// some way after their first, with other data between; carving by the first piece alone gives a picture
// that turns grey half-way. The search here finds where the file's structure resumes after its break and
// keeps the join only when the whole joined file validates.
#pragma once

#include <cstdint>
#include <optional>

#include "carve/container_walks.h"
#include "carve/jpeg_check.h"
#include "filetypes/carving_context.h"
#include "os/byte_reader.h"

namespace snapsave {

namespace stitch_limit {
// The most sectors of other data between the two pieces that the search looks across.
inline constexpr uint64_t kMaxGapBytes = uint64_t{32} << 20;
// Sectors before the one where the structure broke that may still be the first of the gap: the data of a
// gap can pass for the file's own for a little while.
inline constexpr uint64_t kSplitsBack = 8;
// Runs of plausible continuation data tried, and places within each run where the second piece may start.
inline constexpr size_t kMaxRuns = 12;
inline constexpr uint64_t kStartsPerRun = 4;
// Joined pictures decoded for one file, and the bytes one file's search may run through walks, checksums and
// decodes.
inline constexpr uint64_t kDecodesPerFile = 160;
inline constexpr uint64_t kWorkBytesPerFile = uint64_t{1} << 30;
// Movie boxes read for one file.
inline constexpr uint64_t kMoviesPerFile = 8;
// A jump in a picture's grey image from one row to the next counts as the place where other data took over
// when it is three times the usual change plus this, and lasts.
inline constexpr uint32_t kSeamMargin = 8;
// Rows before the one where the seam shows whose data may hold the split (the other data can pass for the
// picture's own for a row or two).
inline constexpr size_t kSeamRowsBack = 4;
// Sectors before the end of the seam's rows that may hold the split.
inline constexpr uint64_t kSeamSectors = 128;
}  // namespace stitch_limit

// A sector that cannot lie inside a JPEG's entropy-coded data: no byte of it has the high bit set (zeros,
// text), which coded data never does for a whole sector.
bool ForeignToCodedData(ByteSpan sector);

// The stop test of a JPEG's coded data: a sector that starts another file, is file-system metadata, or is
// foreign to coded data.
bool StopsJpegData(CarvingContext& ctx, uint64_t sector, ByteSpan bytes);

struct Stitched {
  SplitAt split;
  uint64_t length = 0;  // bytes of the joined file
  bool whole = true;    // the join validated to its end; else it is the likeliest of several
};

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

// A format framed in units that state their lengths and carry checksums (PNG chunks, Ogg pages, ZIP members).
struct FramedFormat {
  size_t headerBytes = 0;                                    // bytes that tell whether a unit starts
  bool (*header)(ByteSpan bytes) = nullptr;                  // whether a unit may start with `bytes`
  uint64_t (*unitBytes)(FileBytes&, uint64_t at) = nullptr;  // its whole length; 0 when unreadable
  bool (*checks)(FileBytes&, uint64_t at) = nullptr;         // whether its checksum holds
  uint64_t (*whole)(FileBytes&) = nullptr;  // the file's length by its walker; 0 unless whole
};
extern const FramedFormat kPngFraming;
extern const FramedFormat kOggFraming;
extern const FramedFormat kZipFraming;

// The framed file whose header sector is `header` broke at the unit that starts at `brokenUnit` (its
// checksum failed, or its header could not be read). The unit after it lies a whole number of sectors of
// other data further on; where a unit starts there, the split is the sector boundary inside the broken unit
// at which its checksum holds. The join kept is walked whole to its end.
std::optional<Stitched> StitchFramed(CarvingContext& ctx, ByteSpan header, uint64_t brokenUnit,
                                     const FramedFormat& format);

// ISO base media (MP4, MOV, 3GP) written as cameras and phones write it, the media data first and the movie
// box after it: when no movie box follows the media data, the one a gap of whole sectors further on is read,
// and the split inside the media data is where every video sample its tables place is framed as its codec
// frames it (H.264 and H.265 by their NAL lengths, MPEG-4 Part 2 by its start codes). Where one split
// fits the join is whole; where several do (a long sample crosses them all) the first is kept, not whole.
std::optional<Stitched> StitchIsoMedia(CarvingContext& ctx, ByteSpan header);
// Whether such a file's media data is followed by no box and no movie box came before it: it cannot play.
bool IsoMediaLacksMovie(CarvingContext& ctx, ByteSpan header);

}  // namespace snapsave
