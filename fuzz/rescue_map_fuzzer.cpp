// Rescue maps over arbitrary text (a map beside an image may be damaged or crafted): parsing never crashes, a
// parsed map covers exactly its stretch, what it leaves unrescued lies in it, and its text parses back to the
// same map.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "storage/rescue_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace snapsave;
  if (size < 2) return 0;
  const uint64_t stretch = (uint64_t{data[0]} << 8 | data[1]) * 512;
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  uint64_t extent = 0;
  const std::optional<RescueMap> map = RescueMap::Parse(text, stretch, &extent);
  if (!map) return 0;
  if (extent > stretch) std::abort();
  // What was not rescued: in order, apart, inside the stretch, and all of it.
  uint64_t end = 0, holes = 0;
  for (const RescueMap::Range& r : map->Unrescued()) {
    if (r.size == 0 || (end != 0 && r.pos <= end) || r.pos + r.size > stretch) std::abort();
    end = r.pos + r.size;
    holes += r.size;
  }
  if (holes + map->Bytes(BlockStatus::kFinished) != stretch) std::abort();
  uint64_t covered = 0;
  for (const RescueMap::Range& r : map->Ranges()) {
    if (r.pos != covered || r.size == 0) std::abort();
    covered += r.size;
  }
  if (covered != stretch) std::abort();
  const std::optional<RescueMap> again = RescueMap::Parse(map->Text("fuzz"), stretch);
  if (!again || again->Text("fuzz") != map->Text("fuzz")) std::abort();
  return 0;
}
