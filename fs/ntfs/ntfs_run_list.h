// Run lists of non-resident attributes: where the clusters of a stream lie.
#pragma once

#include <cstdint>
#include <vector>

#include "os/byte_reader.h"

namespace snapsave {

struct DataRun {
  uint64_t length = 0;        // clusters
  int64_t offset = 0;         // as stored: relative to the previous run's first cluster
  uint64_t firstCluster = 0;  // absolute, within this attribute's list; 0 for a sparse run
  bool sparse = false;        // no offset field: the clusters read as zeros
};
using RunList = std::vector<DataRun>;

// Appends the runs of one non-resident attribute (`attribute` spans the whole attribute and lies inside the
// record as read). Decoding stops at a 0 header, a field size above 7, or the end of the attribute's length
// or of the span, whichever comes first.
void DecodeRunList(ByteSpan attribute, RunList& out);

// Sum of the run lengths in clusters, saturating.
uint64_t TotalClusters(const RunList& runs);

// a * b and a + b, saturating at UINT64_MAX so that absurd on-disk values end in a failed read, not a wrap.
inline uint64_t SatMul(uint64_t a, uint64_t b) {
  return (b != 0 && a > UINT64_MAX / b) ? UINT64_MAX : a * b;
}
inline uint64_t SatAdd(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

}  // namespace snapsave
