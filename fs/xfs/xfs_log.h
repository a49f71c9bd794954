// What an XFS log still holds of the volume's past: the inodes and the pieces of buffers its transactions
// logged, in the order they were written. A file deleted after the log took it is named there (an earlier
// copy of its folder) and mapped there (an earlier copy of its inode, with its size and extents).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <vector>

#include "fs/xfs/xfs_structures.h"
#include "os/byte_reader.h"

namespace snapsave {

struct XfsLogInode {
  uint64_t number = 0;
  uint64_t order = 0;  // larger is newer
  XfsInode inode;
};
// Bytes of a buffer as a transaction logged them: `offset` bytes into the buffer at 512-byte sector `sector`
// of the volume.
struct XfsLogPiece {
  uint64_t sector = 0;
  uint32_t offset = 0;
  uint64_t order = 0;
  std::vector<uint8_t> bytes;
};
struct XfsLogCopies {
  std::vector<XfsLogInode> inodes;
  std::vector<XfsLogPiece> pieces;
};

// An inode core as the log keeps it (in the writer's byte order, little-endian here) with its data fork in
// the volume's own form; nothing when it is no inode.
std::optional<XfsInode> ParseXfsLogInode(ByteSpan core, ByteSpan dataFork, const XfsGeometry& g);

// Reads `bytes` of the log from byte `at` of the log; false when they cannot be read.
using XfsLogRead = std::function<bool(uint64_t at, std::span<uint8_t> into)>;
// Every log record of a log of `logBytes`, in the order written (cycle, then block); of their transactions
// the inodes (all of them) and the buffer pieces of the sectors in `wantedSectors`. Bounded: records, copies
// and bytes kept stop at limits no real log reaches.
XfsLogCopies ReadXfsLog(const XfsLogRead& read, uint64_t logBytes, const XfsGeometry& g,
                        const std::set<uint64_t>& wantedSectors);

}  // namespace snapsave
