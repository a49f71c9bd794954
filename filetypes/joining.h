// The joining of files split in two. A card written, partly deleted and written again leaves files whose
// second piece lies some way after their first, with other data between; carving by the first piece alone
// gives a picture that turns grey half-way. The families look for where their structure resumes after its
// break and keep a join only when the whole joined file validates; what they share is here.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "filetypes/carving_context.h"
#include "filetypes/format_support.h"
#include "os/byte_reader.h"

namespace snapsave {

// What one file's search has left to spend; every charge also counts against the scan's budget.
class FileWork {
 public:
  explicit FileWork(CarvingContext& ctx) : budget_(ctx.stitchBudget()) {}
  bool Spend(uint64_t bytes) {
    if (bytes > left_ || bytes > budget_.workBytes) return false;
    left_ -= bytes;
    budget_.workBytes -= bytes;
    return true;
  }

 private:
  CarvingContext::StitchBudget& budget_;
  uint64_t left_ = stitch_limit::kWorkBytesPerFile;
};

// Reads the gaps a second piece may lie beyond: for g = 1 to the bound, `visit(g, bytes)` gets the `want`
// bytes found at absolute byte `base` moved g sectors on, until it answers true (done). Reads count against
// the context's budget.
template <typename Visit>
void EachGap(CarvingContext& ctx, uint64_t base, size_t want, Visit visit) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t medium = MediumSectors(ctx);
  std::vector<uint8_t> buffer(CarvingContext::kWorkBufferBytes + ss);
  const uint64_t gapSectors = stitch_limit::kMaxGapBytes / ss;
  const uint64_t perRead = CarvingContext::kWorkBufferBytes / ss;
  for (uint64_t gap = 1; gap <= gapSectors;) {
    const uint64_t sector = base / ss + gap;
    if (sector >= medium) return;
    CarvingContext::StitchBudget& budget = ctx.stitchBudget();
    // One sector more than the positions need, for bytes that run into the next sector.
    const uint64_t count = std::min({perRead, gapSectors - gap + 1, medium - sector});
    const uint64_t reading = std::min<uint64_t>(count + 1, medium - sector);
    if (budget.readBytes < reading * ss || !ctx.ReadSectors(buffer, sector, static_cast<uint32_t>(reading)))
      return;
    budget.readBytes -= reading * ss;
    for (uint64_t i = 0; i < count; ++i) {
      const size_t at = static_cast<size_t>(i * ss + base % ss);
      if (at + want <= reading * ss && visit(gap + i, ByteSpan(buffer).subspan(at, want))) return;
    }
    gap += count;
  }
}

// A format framed in units that state their lengths and carry checksums (PNG chunks, Ogg pages, ZIP members).
struct FramedFormat {
  size_t headerBytes = 0;                                    // bytes that tell whether a unit starts
  bool (*header)(ByteSpan bytes) = nullptr;                  // whether a unit may start with `bytes`
  uint64_t (*unitBytes)(FileBytes&, uint64_t at) = nullptr;  // its whole length; 0 when unreadable
  bool (*checks)(FileBytes&, uint64_t at) = nullptr;         // whether its checksum holds
  uint64_t (*whole)(FileBytes&) = nullptr;  // the file's length by its walker; 0 unless whole
  // Bytes every unit ends with, where the format has them: the rest of a unit cut inside is then found by
  // them where the unit would end, which also joins a cut inside the last unit.
  std::string_view unitEnd = {};
  // The check is no checksum (a parse): every split in the unit is tried, and where two hold the join is
  // listed damaged.
  bool weak = false;
};
extern const FramedFormat kPngFraming;
extern const FramedFormat kOggFraming;
extern const FramedFormat kZipFraming;
extern const FramedFormat kMidiFraming;
extern const FramedFormat kFlvFraming;
extern const FramedFormat kAviFraming;

// The framed file whose header sector is `header` broke at the unit that starts at `brokenUnit` (its
// checksum failed, or its header could not be read). The unit after it lies a whole number of sectors of
// other data further on; where a unit starts there, the split is the sector boundary inside the broken unit
// at which its checksum holds. The join kept is walked whole to its end.
std::optional<Stitched> StitchFramed(CarvingContext& ctx, ByteSpan header, uint64_t brokenUnit,
                                     const FramedFormat& format);

// Whether the file ending at byte `end` (from its start) fills the rest of that sector with zeros, as systems
// pad a file's last sector: a real end, not a break. False for an end on a sector boundary, and where the
// sector is zeros before the end too (other data).
bool EndsItsSector(CarvingContext& ctx, ByteSpan header, uint64_t end);

// The transport stream of `packetBytes`-byte packets (188, or 192 with an arrival stamp first) whose header
// sector is `header` and whose packet grid breaks at file offset `brokenPacket`: the cut lies in the sector
// the broken packet's sync byte starts in or one a few packets before; the second piece is where the grid
// resumes with every stream's counter carrying on and the clocks a moment later.
std::optional<Stitched> StitchTransportStream(CarvingContext& ctx, ByteSpan header, uint64_t brokenPacket,
                                              uint64_t packetBytes);

// The length of the WAV file whose header sector is `header`, as its header states. Integer PCM is followed
// to its end: where its signal jumps at a sector boundary the file was cut there, and it is joined where
// a sector further on carries the signal on and the joined data runs to its end without another jump (else
// it is listed damaged). `checked` says whether the data was followed to its end and found whole.
uint64_t WavLength(CarvingContext& ctx, ByteSpan header, bool& checked);

// The length of the ASF file whose header sector is `header` by its packets and objects, joined where a cut
// lies in one of its packets; nullopt where its header gives no fixed packet size (then its stated size is
// all there is, listed damaged where its packets broke). `checked` says whether it was walked whole.
std::optional<uint64_t> AsfJoinedLength(CarvingContext& ctx, ByteSpan header, bool& checked);

// The most a unit or a joined picture may hold.
inline constexpr uint64_t kMaxJoinedUnitBytes = uint64_t{128} << 20;

}  // namespace snapsave
