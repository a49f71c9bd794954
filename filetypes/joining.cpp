#include "filetypes/joining.h"

#include <algorithm>
#include <vector>

namespace snapsave {

using namespace stitch_limit;

namespace {

// The split sectors a unit can break at, and where the unit after it starts (file offsets).
struct SplitRange {
  uint64_t firstHead = 0;
  uint64_t lastHead = 0;
  uint64_t nextUnit = 0;
  bool inside = false;  // the broken unit's header lies in the first piece
};

}  // namespace

std::optional<Stitched> StitchFramed(CarvingContext& ctx, ByteSpan header, uint64_t brokenUnit,
                                     const FramedFormat& format) {
  const uint64_t ss = ctx.sectorSize();
  const uint64_t start = ctx.startSector();
  const uint64_t medium = MediumSectors(ctx);
  if (ss == 0 || start >= medium || brokenUnit / ss >= medium - start) return std::nullopt;
  // Either the broken unit's header is whole and the split lies inside it, or the split is just before it
  // (then its header starts the second piece).
  std::vector<SplitRange> ranges;
  {
    FileBytes file(ctx, header);
    const uint64_t bytes = format.unitBytes(file, brokenUnit);
    if (bytes != 0 && bytes <= kMaxJoinedUnitBytes && brokenUnit + bytes > brokenUnit / ss * ss + ss) {
      ranges.push_back({brokenUnit / ss + 1, (brokenUnit + bytes) / ss, brokenUnit + bytes, true});
    }
    if (brokenUnit % ss == 0 && brokenUnit != 0)
      ranges.push_back({brokenUnit / ss, brokenUnit / ss, brokenUnit});
  }
  FileWork work(ctx);
  std::optional<Stitched> found;
  for (const SplitRange& range : ranges) {
    // A unit starts g sectors past where it would without a gap: the split is where the broken unit's
    // checksum holds.
    bool spent = false;
    const bool byEnd = range.inside && !format.unitEnd.empty();
    const uint64_t anchor = byEnd ? range.nextUnit - format.unitEnd.size() : range.nextUnit;
    const size_t want = byEnd ? format.unitEnd.size() : format.headerBytes;
    EachGap(ctx, start * ss + anchor, want, [&](uint64_t g, ByteSpan bytes) {
      const auto same = [](uint8_t b, char c) { return b == static_cast<uint8_t>(c); };
      if (byEnd ? !std::equal(bytes.begin(), bytes.end(), format.unitEnd.begin(), same)
                : !format.header(bytes))
        return false;
      for (uint64_t head = range.firstHead; head <= range.lastHead; ++head) {
        const uint64_t tail = start + head + g;
        if (ctx.Claimed(tail)) continue;
        if (!work.Spend(range.nextUnit - brokenUnit)) return spent = true;
        FileBytes joined(ctx, header, {head, tail});
        if (range.nextUnit != brokenUnit && !format.checks(joined, brokenUnit)) continue;
        // A second split whose unit holds: the check cannot tell them apart (the rest of the file is the
        // same for both).
        if (found) {
          found->whole = false;
          return true;
        }
        const uint64_t length = format.whole(joined);
        if (length == 0) continue;
        found = Stitched{{head, tail}, length};
        if (!format.weak) return true;
      }
      return found.has_value();
    });
    if (found || spent) break;
  }
  return found;
}

}  // namespace snapsave
