// Transport streams cut in two. Packets are smaller than a sector, so the sector boundary the cut lies on is
// fixed by the first packet whose sync byte is missing; the second piece is where the packet grid resumes
// with every stream's continuity counter one on from where it stopped and the clocks a moment later.
#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "filetypes/joining.h"

namespace snapsave {

using namespace stitch_limit;

namespace {

constexpr uint8_t kSync = 0x47;
constexpr uint16_t kNullPid = 0x1FFF;
// Packets before the cut read for the counters they leave, and packets after it whose counters are checked.
constexpr uint64_t kLeadPackets = 2048;
constexpr uint64_t kCheckedPackets = 4096;
// Packets before the break the cut may lie in: a packet of the other data may begin with a sync byte.
constexpr uint64_t kPacketsBack = 4;
// A second piece shorter than this may hold packets of one stream only.
constexpr uint64_t kShortTail = 256;
// How far the clocks may move on across the cut: the programme clock (90 kHz) and the 27 MHz arrival stamps
// of 192-byte packets. Encoders repeat the programme clock at least every tenth of a second.
constexpr uint64_t kPcrSlack = 90000 / 2;
constexpr uint32_t kArrivalSlack = 27000000 / 2;
constexpr uint64_t kPcrWrap = uint64_t{1} << 33;
constexpr uint32_t kArrivalWrap = uint32_t{1} << 30;

struct Packet {
  uint16_t pid = 0;
  uint8_t counter = 0;
  bool payload = false;
  bool discontinuity = false;
  std::optional<uint64_t> pcr;  // its 90 kHz base
};

// The header of the packet whose sync byte is `p[0]` (12 bytes: header, adaptation length and flags, clock);
// nullopt for an adaptation-field code that no stream uses.
std::optional<Packet> ParsePacket(ByteSpan p) {
  if (p.size() < 12 || p[0] != kSync) return std::nullopt;
  Packet out;
  out.pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
  const uint8_t control = (p[3] >> 4) & 3;
  if (control == 0) return std::nullopt;
  out.counter = p[3] & 0x0F;
  out.payload = (control & 1) != 0;
  if ((control & 2) != 0 && p[4] > 0) {
    out.discontinuity = (p[5] & 0x80) != 0;
    if ((p[5] & 0x10) != 0 && p[4] >= 7) {
      out.pcr = (uint64_t{p[6]} << 25) | (uint64_t{p[7]} << 17) | (uint64_t{p[8]} << 9) |
                (uint64_t{p[9]} << 1) | (p[10] >> 7);
    }
  }
  return out;
}

// What the packets read so far leave: each stream's last counter, the programme clock's last value and
// its longest step, the last arrival stamp, and what the packets after the cut proved.
struct StreamState {
  static constexpr uint8_t kUnseen = 0xFF;
  std::array<uint8_t, 8192> counters;
  std::optional<uint64_t> pcr;
  uint64_t longestPcrStep = 0;
  uint16_t pcrPid = 0;
  std::optional<uint32_t> arrival;
  bool arrivalSteady = true;
  uint32_t provedStreams = 0;  // streams whose first packet after the cut carried on their counter

  StreamState() { counters.fill(kUnseen); }

  // Whether the programme clock `value` is where the clock before the cut puts the next one: later, by no
  // more than twice the longest step it took before (and a hundredth of a second).
  bool ClockFits(uint64_t value) const {
    const uint64_t passed = (value + kPcrWrap - *pcr) % kPcrWrap;
    if (passed == 0 || passed > kPcrSlack) return false;
    return longestPcrStep == 0 || passed <= 2 * longestPcrStep + 900;
  }

  // Takes one packet; false where it cannot follow what came before. Only packets after the cut are held to
  // it: `firstPacket` is the first of them, `firstOfStream` the first of its stream, `firstClock` the first
  // to carry a programme clock.
  bool Take(const Packet& p, std::optional<uint32_t> stamp, bool afterCut, bool firstPacket,
            bool firstOfStream, bool firstClock) {
    if (arrival && stamp && (*stamp + kArrivalWrap - *arrival) % kArrivalWrap > kArrivalSlack) {
      // Some writers fill the stamps with values that do not rise: they prove nothing then.
      if (!afterCut) arrivalSteady = false;
      if (afterCut && firstPacket && arrivalSteady) return false;
    }
    if (afterCut && firstClock && pcr && p.pcr && p.pid == pcrPid && !ClockFits(*p.pcr)) return false;
    if (p.pcr && (p.pid == pcrPid || !pcr)) {
      if (pcr && !afterCut) {
        const uint64_t step = (*p.pcr + kPcrWrap - *pcr) % kPcrWrap;
        if (step <= kPcrSlack) longestPcrStep = std::max(longestPcrStep, step);
      }
      pcr = p.pcr;
      pcrPid = p.pid;
    }
    if (stamp) arrival = stamp;
    if (p.pid == kNullPid) return true;
    uint8_t& last = counters[p.pid];
    const uint8_t next = static_cast<uint8_t>((last + (p.payload ? 1 : 0)) & 0x0F);
    if (afterCut && last != kUnseen && !p.discontinuity) {
      // A repeated packet keeps its counter, but not as the first after the cut: that would be chance.
      if (p.counter != next && (firstOfStream || p.counter != last)) return false;
      if (firstOfStream) ++provedStreams;
    }
    last = p.counter;
    return true;
  }
};

struct Shape {
  uint64_t packet;  // 188, or 192 with the arrival stamp first
  uint64_t syncAt;
};

// Reads packet `n`: its header and, for 192-byte packets, its arrival stamp.
bool ReadPacket(FileBytes& file, const Shape& shape, uint64_t n, std::optional<Packet>& packet,
                std::optional<uint32_t>& stamp) {
  std::array<uint8_t, 16> b{};
  const size_t bytes = static_cast<size_t>(shape.syncAt + 12);
  if (!file.Read(n * shape.packet, std::span(b).first(bytes)) || b[shape.syncAt] != kSync) return false;
  packet = ParsePacket(ByteSpan(b).subspan(static_cast<size_t>(shape.syncAt)));
  stamp = std::nullopt;
  if (shape.syncAt == 4) stamp = Be32(b, 0) & (kArrivalWrap - 1);
  return true;
}

// The packets [from, to) of the unsplit file, taken into `state`.
bool Lead(FileBytes& file, const Shape& shape, uint64_t from, uint64_t to, StreamState& state) {
  for (uint64_t n = from; n < to; ++n) {
    std::optional<Packet> p;
    std::optional<uint32_t> stamp;
    if (!ReadPacket(file, shape, n, p, stamp) || !p) return false;
    state.Take(*p, stamp, false, false, false, false);
  }
  return true;
}

// The joined file's length: its packets from `from` on follow the state the lead left, the first after the
// cut (`cut`, a packet index) with its clocks and every checked stream's counter; then the grid runs on to
// its end. 0 where the join does not hold.
uint64_t JoinedLength(FileBytes& joined, const Shape& shape, uint64_t from, uint64_t cut, StreamState state) {
  std::array<bool, 8192> seenAfter{};
  bool firstPacket = true;
  bool clockSeen = false;
  uint32_t streamsBefore = 0;
  uint64_t n = from;
  for (; n < kMaxUnits * 64; ++n) {
    std::optional<Packet> p;
    std::optional<uint32_t> stamp;
    if ((n + 1) * shape.packet > joined.MediumBytes() || !ReadPacket(joined, shape, n, p, stamp)) break;
    if (n >= cut + kCheckedPackets) continue;  // far past the cut only the grid counts
    if (!p) return 0;
    const bool afterCut = n >= cut;
    if (n == cut) {
      for (size_t pid = 0; pid < kNullPid; ++pid)
        streamsBefore += state.counters[pid] != StreamState::kUnseen;
    }
    const bool firstOfStream = afterCut && !seenAfter[p->pid];
    const bool firstClock = afterCut && p->pcr && !clockSeen;
    if (!state.Take(*p, stamp, afterCut, afterCut && firstPacket, firstOfStream, firstClock)) return 0;
    if (afterCut) {
      seenAfter[p->pid] = true;
      firstPacket = false;
      clockSeen = clockSeen || p->pcr.has_value();
    }
  }
  // The grid must run past the cut, and what came after it must have carried on three streams (a stream
  // and its tables): fewer where the file has fewer, or where the second piece is too short to show them.
  if (n <= cut) return 0;
  const uint32_t wanted = std::min<uint32_t>(n - cut >= kShortTail ? 3 : 1, streamsBefore);
  if (state.provedStreams == 0 || state.provedStreams < wanted) return 0;
  return n * shape.packet;
}

}  // namespace

bool EndsItsSector(CarvingContext& ctx, ByteSpan header, uint64_t end) {
  const uint64_t ss = ctx.sectorSize();
  if (ss == 0) return true;
  if (end % ss == 0) return false;
  // The whole sector: one that is zeros before the end too is other data, not the file's last.
  std::vector<uint8_t> sector(static_cast<size_t>(ss));
  FileBytes file(ctx, header);
  const size_t at = static_cast<size_t>(end % ss);
  if (ReadUpTo(file, end - at, sector) < ss) return true;
  return std::any_of(sector.begin(), sector.begin() + static_cast<ptrdiff_t>(at),
                     [](uint8_t b) { return b != 0; }) &&
         AcceptEndMarker(sector, at, static_cast<uint32_t>(ss));
}

std::optional<Stitched> StitchTransportStream(CarvingContext& ctx, ByteSpan header, uint64_t brokenPacket,
                                              uint64_t packetBytes) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  const uint64_t medium = MediumSectors(ctx);
  if (ss == 0 || (packetBytes != 188 && packetBytes != 192) || brokenPacket % packetBytes != 0 ||
      start >= medium || brokenPacket / ss >= medium - start)
    return std::nullopt;
  const Shape shape{packetBytes, packetBytes - 188};
  const uint64_t cut = brokenPacket / packetBytes;
  if (cut < 2) return std::nullopt;
  // The packets the cut may lie in, and the counters the ones before them leave.
  const uint64_t firstDoubtful = cut > kPacketsBack ? cut - kPacketsBack : 1;
  StreamState lead;
  {
    FileBytes file(ctx, header);
    const uint64_t from = firstDoubtful > kLeadPackets ? firstDoubtful - kLeadPackets : 0;
    if (!Lead(file, shape, from, firstDoubtful, lead)) return std::nullopt;
  }
  // Split sectors: the broken packet's sync byte lies in the second piece, the first doubtful one's in the
  // first.
  const uint64_t lastHead = (brokenPacket + shape.syncAt) / ss;
  const uint64_t firstHead = (firstDoubtful * packetBytes + shape.syncAt) / ss + 1;
  FileWork work(ctx);
  std::optional<Stitched> found;
  const size_t want = static_cast<size_t>(2 * packetBytes + 1);
  EachGap(ctx, start * ss + brokenPacket + shape.syncAt, want, [&](uint64_t g, ByteSpan bytes) {
    if (bytes[0] != kSync || bytes[packetBytes] != kSync || bytes[2 * packetBytes] != kSync) return false;
    for (uint64_t head = lastHead; head >= firstHead && head >= 1; --head) {
      const uint64_t tail = start + head + g;
      if (tail >= medium || ctx.Claimed(tail)) continue;
      if (!work.Spend((kCheckedPackets + kPacketsBack) * packetBytes)) return true;
      FileBytes joined(ctx, header, {head, tail});
      if (const uint64_t length = JoinedLength(joined, shape, firstDoubtful, cut, lead); length != 0) {
        found = Stitched{{head, tail}, length};
        return true;
      }
    }
    return false;
  });
  return found;
}

}  // namespace snapsave
