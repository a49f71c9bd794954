// WAV files of integer PCM cut in two. Sound is smooth at its sampling rate: from one frame to the next each
// channel moves by about as much as it did over the frames before. Where a sector boundary brings a jump
// many times that, and the sector after it moves quite unlike the one before, other data took over: the file
// was cut there. Its rest is where a sector continues the signal from the last frames before the cut, and the
// joined data then runs to the length the header states without another such jump.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <vector>

#include "filetypes/joining.h"

namespace snapsave {

using namespace stitch_limit;

namespace {

constexpr uint32_t kMaxChannels = 8;
// Sectors before the cut read again to know the signal there.
constexpr uint64_t kWarmSectors = 8;
// Frames looked at after each sector boundary and before the next: enough to know the signal's usual step
// and bend there and how rough the sector is; those between are passed over.
constexpr uint64_t kFramesAfter = 8;
constexpr uint64_t kFramesBefore = 24;
// Places where the signal carries on that are followed to the end, and that hold to it, at most (a steady
// tone carries on at many places).
constexpr size_t kMaxTries = 64;
constexpr size_t kMaxContinuations = 16;

struct PcmLayout {
  uint64_t dataStart = 0;
  uint64_t dataEnd = 0;
  uint32_t channels = 0;
  uint32_t sampleBytes = 0;  // 1 (unsigned), 2, 3 or 4 (signed, little-endian)
  uint32_t frameBytes() const { return channels * sampleBytes; }
};

// The fmt and data chunks of a RIFF WAVE file of integer PCM; nullopt for other codings or odd chunks.
std::optional<PcmLayout> ReadPcmLayout(FileBytes& file, uint64_t riffEnd) {
  std::array<uint8_t, 16> h{};
  std::optional<PcmLayout> pcm;
  uint64_t at = 12;
  for (int chunks = 0; chunks < 64 && at + 8 <= riffEnd && file.Read(at, std::span(h).first(8)); ++chunks) {
    const uint64_t size = Le32(h, 4);
    if (BytesEqual(h, 0, "fmt ")) {
      if (size < 16 || !file.Read(at + 8, h)) return std::nullopt;
      const uint16_t tag = Le16(h, 0);
      const uint16_t channels = Le16(h, 2);
      const uint16_t bits = Le16(h, 14);
      if ((tag != 1 && tag != 0xFFFE) || channels == 0 || channels > kMaxChannels || bits == 0 || bits > 32 ||
          bits % 8 != 0 || Le16(h, 12) != channels * (bits / 8))
        return std::nullopt;
      pcm = PcmLayout{0, 0, channels, static_cast<uint32_t>(bits / 8)};
    } else if (BytesEqual(h, 0, "data")) {
      if (!pcm) return std::nullopt;
      pcm->dataStart = at + 8;
      pcm->dataEnd = std::min(at + 8 + size, riffEnd);
      return pcm->dataEnd > pcm->dataStart ? pcm : std::nullopt;
    }
    at += 8 + size + (size & 1);
  }
  return std::nullopt;
}

using Frame = std::array<int64_t, kMaxChannels>;

// Follows the signal frame by frame: the usual step of each channel, and each sector's average step.
class PcmSignal {
 public:
  PcmSignal(const PcmLayout& pcm, uint32_t sectorSize)
      : pcm_(pcm),
        ss_(sectorSize),
        margin_(pcm.sampleBytes >= 2 ? int64_t{1} << (8 * pcm.sampleBytes - 10) : 2),
        fullScale_(int64_t{1} << (8 * pcm.sampleBytes)) {}

  // Reads the frames wholly inside [from, to); the offset of the first sector boundary where the signal
  // jumped, or 0 where it ran on smoothly. Stops early on a failed read (`ok` false).
  uint64_t Follow(FileBytes& file, uint64_t from, uint64_t to, bool& ok) {
    ok = true;
    const uint32_t fb = pcm_.frameBytes();
    from = std::max(from, pcm_.dataStart);
    to = std::min(to, pcm_.dataEnd);
    uint64_t at = pcm_.dataStart + (from - pcm_.dataStart + fb - 1) / fb * fb;
    while (at + fb <= to) {
      // The whole frames of the window that holds `at`; a frame across a window's end is read on its own.
      const ByteSpan view = file.View(at);
      const uint64_t whole = std::min<uint64_t>(view.size(), to - at) / fb * fb;
      if (whole == 0) {
        std::array<uint8_t, kMaxChannels * 4> raw{};
        if (!file.Read(at, std::span(raw).first(fb))) {
          ok = false;
          return 0;
        }
        if (const uint64_t seam = Take(Decode(raw), at); seam != 0) return seam;
        at += fb;
        continue;
      }
      for (uint64_t i = 0; i < whole; i += fb) {
        // Only the frames around each sector boundary are looked at: the first few of a sector and those
        // before its end. The ones between are passed over.
        if (const uint64_t resume = Resume(at + i); resume != at + i) {
          gap_ = true;
          i = resume - at - fb;
          continue;
        }
        if (const uint64_t seam = Take(Decode(view.subspan(static_cast<size_t>(i), fb)), at + i); seam != 0)
          return seam;
      }
      at += whole;
    }
    // The data ends: a jump at its last boundary is judged on what the last sector holds.
    if (to == pcm_.dataEnd && pending_ != 0 && sectorFrames_ >= 8 && Unlike(Rough(), pendingRoughBefore_))
      return pending_;
    return 0;
  }

  // How far the frames of `bytes` (read from file offset `at`, which lies on a sector boundary) stray from
  // carrying on the signal: the most that either of the first two whole frames lies from where the two
  // frames before it point. Negative where that is more than a few times the signal's usual bend.
  int64_t Strays(ByteSpan bytes, uint64_t at) const {
    if (frames_ < 3) return -1;
    const uint32_t fb = pcm_.frameBytes();
    const uint64_t skip = (fb - (at - pcm_.dataStart) % fb) % fb;
    Frame before = prev_;
    Frame previous = last_;
    int64_t most = 0;
    for (uint64_t f = 0; f < 2; ++f) {
      const uint64_t offset = skip + f * fb;
      if (offset + fb > bytes.size()) return -1;
      std::array<uint8_t, kMaxChannels * 4> raw{};
      std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(offset), fb, raw.begin());
      const Frame x = Decode(raw);
      // Over a frame the boundary ran through, the first whole frame lies two steps on.
      const int64_t steps = f == 0 && skip != 0 ? 2 : 1;
      const int64_t into = f == 1 && skip != 0 ? 2 : 1;
      for (uint32_t c = 0; c < pcm_.channels; ++c) {
        const int64_t predicted = previous[c] + (previous[c] - before[c]) * steps / into;
        const int64_t off = std::abs(x[c] - predicted);
        if (off > 4 * steps * steps * Bend(c) + margin_) return -1;
        most = std::max(most, off);
      }
      before = previous;
      previous = x;
    }
    return most;
  }

  int64_t margin() const { return margin_; }

 private:
  Frame Decode(std::span<const uint8_t> raw) const {
    Frame x{};
    if (pcm_.sampleBytes == 2) {  // the common case, without the general loop
      for (uint32_t c = 0; c < pcm_.channels; ++c)
        x[c] = static_cast<int16_t>(static_cast<uint16_t>(raw[2 * c] | (raw[2 * c + 1] << 8)));
      return x;
    }
    for (uint32_t c = 0; c < pcm_.channels; ++c) {
      const size_t at = size_t{c} * pcm_.sampleBytes;
      if (pcm_.sampleBytes == 1) {
        x[c] = int64_t{raw[at]} - 128;
        continue;
      }
      uint64_t v = 0;
      for (uint32_t i = 0; i < pcm_.sampleBytes; ++i) v |= uint64_t{raw[at + i]} << (8 * i);
      const uint32_t bits = 8 * pcm_.sampleBytes;
      x[c] =
          static_cast<int64_t>(v) - ((v >> (bits - 1)) != 0 ? static_cast<int64_t>(uint64_t{1} << bits) : 0);
    }
    return x;
  }

  // The frame offset to look at next from `at`: `at` itself, or past the middle of its sector.
  uint64_t Resume(uint64_t at) const {
    const uint64_t fb = pcm_.frameBytes();
    if (nextBoundary_ == 0 || ss_ < (kFramesAfter + kFramesBefore + 32) * fb) return at;
    const uint64_t sectorStart = nextBoundary_ - ss_;
    const uint64_t tail = nextBoundary_ - kFramesBefore * fb;
    if (at < sectorStart + kFramesAfter * fb || at >= tail) return at;
    return pcm_.dataStart + (tail - pcm_.dataStart + fb - 1) / fb * fb;
  }

  int64_t Usual(uint32_t c) const { return usual_[c] / 16; }
  int64_t Bend(uint32_t c) const { return bend_[c] / 16; }
  int64_t Rough() const {
    return sectorFrames_ > 1 ? sectorSteps_ / static_cast<int64_t>(sectorFrames_ - 1) : 0;
  }
  bool Unlike(int64_t after, int64_t before) const {
    return after > 4 * before + margin_ || 4 * after + margin_ < before;
  }

  // Takes the frame at file offset `at`; a seam found by it, or 0.
  uint64_t Take(const Frame& x, uint64_t at) {
    const uint32_t fb = pcm_.frameBytes();
    // The next sector boundary is kept, not divided out per frame.
    bool first = false;
    uint64_t boundary = 0;
    if (nextBoundary_ == 0 || at >= nextBoundary_) {
      first = nextBoundary_ != 0 || at % ss_ == 0;
      boundary = at - at % ss_;
      nextBoundary_ = boundary + ss_;
    }
    // A frame a boundary runs through holds bytes of both sides: it is left out, and the step over it
    // halved.
    if (at + fb > nextBoundary_) {
      skipped_ = true;
      return 0;
    }
    first = first || skipped_;
    if (skipped_) boundary = at - at % ss_;
    const int shift = skipped_ ? 1 : 0;
    const int64_t steps = skipped_ ? 2 : 1;
    skipped_ = false;
    uint64_t seam = 0;
    if (first && frames_ >= 2) {
      const int64_t rough = Rough();
      if (pending_ != 0 && Unlike(rough, pendingRoughBefore_)) seam = pending_;
      // Noise at a good part of full scale, where the sector before was calm: other data, jump or not.
      if (seam == 0 && sectorStart_ != 0 && rough * 8 > fullScale_ && Unlike(rough, previousRough_))
        seam = sectorStart_;
      previousRough_ = rough;
      sectorStart_ = frames_ >= 64 ? boundary : 0;
      pending_ = 0;
      bool jump = false;
      for (uint32_t c = 0; c < pcm_.channels; ++c) {
        if ((std::abs(x[c] - last_[c]) >> shift) > 8 * Usual(c) + margin_) jump = true;
      }
      if (jump && frames_ >= 64) {
        pending_ = boundary;
        pendingRoughBefore_ = rough;
      }
      sectorSteps_ = 0;
      sectorFrames_ = 0;
    }
    const bool resumed = gap_;
    gap_ = false;
    for (uint32_t c = 0; c < pcm_.channels && frames_ > 0 && !resumed; ++c) {
      const int64_t step = std::abs(x[c] - last_[c]) >> shift;
      usual_[c] += (step * 16 - usual_[c]) >> 6;  // about the last 64 steps, in sixteenths
      if (frames_ > 1 && steps == 1 && !afterGap_)
        bend_[c] += (std::abs(x[c] - 2 * last_[c] + prev_[c]) * 16 - bend_[c]) >> 6;
      if (!first) sectorSteps_ += step;
    }
    afterGap_ = resumed;
    if (!resumed) ++sectorFrames_;
    std::copy_n(last_.begin(), pcm_.channels, prev_.begin());
    std::copy_n(x.begin(), pcm_.channels, last_.begin());
    ++frames_;
    return seam;
  }

  PcmLayout pcm_;
  uint64_t ss_;
  int64_t margin_;
  Frame prev_{};
  Frame last_{};
  Frame usual_{};
  Frame bend_{};  // the usual second difference, in sixteenths
  uint64_t nextBoundary_ = 0;
  bool gap_ = false;       // frames were passed over before the next one
  bool afterGap_ = false;  // the last frame came after such a gap: no bend from it yet
  bool skipped_ = false;
  uint64_t frames_ = 0;
  int64_t sectorSteps_ = 0;
  uint64_t sectorFrames_ = 0;
  uint64_t pending_ = 0;
  int64_t pendingRoughBefore_ = 0;
  uint64_t sectorStart_ = 0;  // the boundary the current sector started at, once the signal is known
  int64_t previousRough_ = 0;
  int64_t fullScale_;
};

// Whether `count` sectors from `a` hold the same bytes as those from `b`.
bool SameSectors(CarvingContext& ctx, FileWork& work, uint64_t a, uint64_t b, uint64_t count) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t perRead = CarvingContext::kWorkBufferBytes / ss;
  std::vector<uint8_t> one(CarvingContext::kWorkBufferBytes);
  std::vector<uint8_t> other(CarvingContext::kWorkBufferBytes);
  for (uint64_t done = 0; done < count;) {
    const auto n = static_cast<uint32_t>(std::min(perRead, count - done));
    if (!work.Spend(2 * n * ss) || !ctx.ReadSectors(one, a + done, n) ||
        !ctx.ReadSectors(other, b + done, n) ||
        !std::equal(one.begin(), one.begin() + static_cast<ptrdiff_t>(n * ss), other.begin()))
      return false;
    done += n;
  }
  return true;
}

}  // namespace

uint64_t WavLength(CarvingContext& ctx, ByteSpan header, bool& checked) {
  checked = false;
  const uint64_t length = uint64_t{Le32(header, 4)} + 8;
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  const uint64_t medium = MediumSectors(ctx);
  if (ss == 0 || start >= medium) return length;
  std::optional<PcmLayout> pcm;
  uint64_t seam = 0;
  {
    FileBytes file(ctx, header);
    pcm = ReadPcmLayout(file, length);
    if (!pcm) return length;
    PcmSignal signal(*pcm, ctx.sectorSize());
    bool ok = true;
    seam = signal.Follow(file, pcm->dataStart, pcm->dataEnd, ok);
    if (seam == 0) {
      checked = ok;
      return length;
    }
  }
  // Cut at `seam`: the signal just before it, then the places further on that carry it on.
  ctx.outcome().intact = false;
  const uint64_t head = seam / ss;
  PcmSignal before(*pcm, ctx.sectorSize());
  {
    FileBytes file(ctx, header);
    bool ok = true;
    before.Follow(file, head > kWarmSectors ? (head - kWarmSectors) * ss : 0, seam, ok);
  }
  // Of the places that carry the signal on to the end, the one whose seam strays least; listed whole only
  // where no other comes near it, or the others that do hold the same bytes (a copy of the same sound).
  FileWork work(ctx);
  std::vector<std::pair<int64_t, uint64_t>> carried;  // how far it strays, tail sector
  size_t tried = 0;
  const size_t want = std::min<size_t>(static_cast<size_t>(ss), 4 * pcm->frameBytes());
  EachGap(ctx, start * ss + seam, want, [&](uint64_t g, ByteSpan bytes) {
    const uint64_t tail = start + head + g;
    const int64_t strays = before.Strays(bytes, seam);
    if (strays < 0 || ctx.Claimed(tail)) return false;
    if (carried.size() >= kMaxContinuations || ++tried > kMaxTries) return true;
    const uint64_t from = head > kWarmSectors ? (head - kWarmSectors) * ss : 0;
    if (!work.Spend(pcm->dataEnd - std::min(from, pcm->dataEnd))) return true;
    FileBytes joined(ctx, header, {head, tail});
    if (joined.MediumBytes() < length) return false;
    PcmSignal signal(*pcm, ctx.sectorSize());
    bool ok = true;
    if (signal.Follow(joined, from, pcm->dataEnd, ok) == 0 && ok) carried.emplace_back(strays, tail);
    return false;
  });
  if (carried.empty()) return length;
  std::sort(carried.begin(), carried.end());
  const auto [best, tail] = carried.front();
  Stitched found{{head, tail}, length};
  const uint64_t tailSectors = (length - std::min(length, seam) + ss - 1) / ss;
  for (size_t i = 1; i < carried.size() && found.whole; ++i) {
    if (carried[i].first >= 4 * best + before.margin() / 4) break;
    found.whole = SameSectors(ctx, work, tail, carried[i].second, tailSectors);
  }
  return Joined(ctx, found);
}

}  // namespace snapsave
