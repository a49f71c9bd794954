// The compressed extents Btrfs writes: a zlib stream, LZO segments that never straddle a sector's end, or a
// zstd frame, each expanding to at most the extent's stated size.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "os/byte_reader.h"

namespace snapsave {

struct BtrfsExpanded {
  std::vector<uint8_t> bytes;  // `ramBytes` of them; zeros where a damaged stream gave none
  bool whole = false;          // the stream decompressed to the end without error
};
// Whether this build reads extents compressed by `compression`.
bool BtrfsCanDecompress(uint8_t compression);
// `stored` decompressed by `compression` (1 zlib, 2 LZO, 3 zstd). Nothing when the method is not built in.
// `sectorSize` is the volume's: LZO's segments are laid out by it.
std::optional<BtrfsExpanded> BtrfsDecompress(ByteSpan stored, uint8_t compression, uint64_t ramBytes,
                                             uint32_t sectorSize);

}  // namespace snapsave
