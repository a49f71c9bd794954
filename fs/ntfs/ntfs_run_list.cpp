#include "fs/ntfs/ntfs_run_list.h"

#include <algorithm>

namespace snapsave {

void DecodeRunList(ByteSpan attribute, RunList& out) {
  const size_t length = std::min<size_t>(Le32(attribute, 4), attribute.size());
  size_t pos = Le16(attribute, 32);
  uint64_t cluster = 0;
  while (pos < length) {
    const uint8_t header = attribute[pos];
    if (header == 0) break;
    const size_t lengthBytes = header & 0x0F;
    const size_t offsetBytes = header >> 4;
    if (lengthBytes > 7 || offsetBytes > 7) break;
    if (1 + lengthBytes + offsetBytes > length - pos) break;
    DataRun run;
    for (size_t i = 0; i < lengthBytes; ++i) run.length |= uint64_t{attribute[pos + 1 + i]} << (8 * i);
    uint64_t raw = 0;
    for (size_t i = 0; i < offsetBytes; ++i) raw |= uint64_t{attribute[pos + 1 + lengthBytes + i]} << (8 * i);
    if (offsetBytes > 0 && (raw >> (8 * offsetBytes - 1)) & 1) raw |= ~uint64_t{0} << (8 * offsetBytes);
    run.offset = static_cast<int64_t>(raw);
    run.sparse = offsetBytes == 0;
    if (!run.sparse) {
      cluster += raw;  // two's complement: adding the sign-extended value moves back for a negative offset
      run.firstCluster = cluster;
    }
    out.push_back(run);
    pos += 1 + lengthBytes + offsetBytes;
  }
}

uint64_t TotalClusters(const RunList& runs) {
  uint64_t total = 0;
  for (const DataRun& r : runs) total = SatAdd(total, r.length);
  return total;
}

}  // namespace snapsave
