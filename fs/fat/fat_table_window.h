// A window of the first FAT held in memory, and the rule by which FAT engines follow live and deleted chains.
// A sector of the first FAT that cannot be read is taken from the same sector of another copy; one no copy
// gives is not read again.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fs/fat/fat_boot_sector.h"
#include "storage/sector_reader.h"

namespace snapsave {

class FatTableWindow {
 public:
  static constexpr uint32_t kWindowBytes = 0x1000000;  // 16 MiB
  static constexpr size_t kMaxUnreadable = 4096;

  struct Entry {
    uint32_t value = 0;
    uint32_t status = 0;  // 0, 87 for a cluster the FAT does not describe, or the read's error
  };

  // `reader` must outlive the window. The window never reaches past the first FAT.
  FatTableWindow(const SectorReader& reader, const FatGeometry& geometry);

  Entry ReadEntry(uint32_t cluster);
  // The cluster after `cluster`, or 0 at the end of the chain, on a failed read and for anything outside the
  // data clusters. A free cluster is taken to belong to deleted data, which goes on at the next free cluster:
  // when the file was written, the clusters in use between its pieces were skipped the same way.
  uint32_t NextCluster(uint32_t cluster);
  // The first free cluster after `cluster`, or 0 when none follows or the table cannot be read.
  uint32_t NextFreeCluster(uint32_t cluster);
  bool IsEndOfChain(uint32_t value) const;

 private:
  uint32_t Load(uint64_t firstSector);
  // Sector `sector` (relative to the FAT) from the first copy that gives it, into `out`.
  bool ReadFromCopies(uint64_t sector, std::span<uint8_t> out);

  const SectorReader& reader_;
  FatGeometry geo_;
  std::vector<uint8_t> window_;
  uint64_t windowSector_ = 0;  // relative to fatStart
  uint64_t windowBytes_ = 0;   // valid bytes in window_
  bool loaded_ = false;
  std::vector<uint64_t> unreadable_;  // sectors no copy gave, relative to the FAT
};

// The clusters one chain has visited, so that a chain that loops is read once round. Short chains stay in a
// small list; a long one moves to one bit per cluster of the volume.
class ChainGuard {
 public:
  explicit ChainGuard(const FatGeometry& geometry) : lastCluster_(geometry.LastCluster()) {}
  // False when `cluster` was visited before.
  bool Visit(uint32_t cluster);

 private:
  static constexpr size_t kListLimit = 64;
  uint32_t lastCluster_;
  std::vector<uint32_t> list_;
  std::vector<uint64_t> bits_;
};

}  // namespace snapsave
