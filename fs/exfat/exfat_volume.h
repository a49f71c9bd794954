// Reading an exFAT volume's data: the boot region found and checked, the FAT read through a window, and a
// file's or folder's extent read contiguously or along its chain, with the bytes past its valid length as
// zeros. Shared by the quick and the deep engine.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "catalog/recovery_output.h"
#include "fs/exfat/exfat_structures.h"
#include "os/error.h"
#include "storage/sector_reader.h"

namespace snapsave {

// Where a file's or folder's data lies, as its stream extension says.
struct ExfatExtent {
  uint32_t firstCluster = 0;
  uint64_t length = 0;
  uint64_t validLength = 0;
  bool contiguous = false;  // NoFatChain: the FAT holds nothing for it
  // Deleted or formatted over: where the chain stops, the rest follows on in the clusters no live file holds.
  bool chainMayBeFree = false;
};

// The geometry of the volume at `volumeStart` (device sectors; `volumeSectors` of them): the main boot
// region when its checksum holds, else the backup behind it.
std::optional<ExfatGeometry> ReadExfatBootRegion(const SectorReader& reader, uint64_t volumeStart,
                                                 uint64_t volumeSectors);

class ExfatVolume {
 public:
  static constexpr uint32_t kEndOfChain = 0xFFFFFFF8u;

  ExfatVolume(const SectorReader& reader, const ExfatGeometry& geometry) : reader_(reader), g_(geometry) {}

  const ExfatGeometry& geometry() const { return g_; }
  // Reads the allocation bitmap the root folder names; false when there is none to read (no root, no
  // bitmap entry, or a bitmap that cannot be read whole). Until then every cluster counts as free.
  bool ReadAllocationBitmap();
  bool HasBitmap() const { return !bitmap_.empty(); }
  bool IsAllocated(uint32_t cluster) const {
    const uint64_t bit = uint64_t{cluster} - 2;
    return cluster >= 2 && bit / 8 < bitmap_.size() && (bitmap_[bit / 8] & (1u << (bit % 8))) != 0;
  }
  // The FAT's entry for `cluster`; nullopt past the FAT or for a failed read.
  std::optional<uint32_t> FatEntry(uint32_t cluster);
  bool ReadCluster(uint32_t cluster, std::vector<uint8_t>& block) const;
  // The extent of the stream extension entry at absolute byte `position`, if it is still one and names
  // `firstCluster`.
  std::optional<ExfatExtent> StreamExtentAt(uint64_t position, uint32_t firstCluster,
                                            bool chainMayBeFree) const;

  // A catalogued file's bytes, at most `total`, from its stream extension read again at entryLocation (the
  // record's first cluster must still be what it names): 0, invalid data where it is no longer there, or what
  // ReadExtent answers.
  int32_t ReadRecordData(const FoundFileRecord& record, bool chainMayBeFree, uint64_t total,
                         const PieceSink& sink);

  // Hands the extent's bytes to `sink(piece, cluster)` cluster by cluster: 0, 38 (handle EOF) where its
  // clusters end first, 30 for a failed read, or the sink's answer. No file holds more than the heap, and a
  // chain that comes back to a cluster ends there: nothing is read twice.
  template <typename Sink>
  int32_t ReadExtent(const ExfatExtent& extent, Sink&& sink) {
    if (g_.clusterBytes > kMaxRecoveryClusterBytes) return static_cast<int32_t>(err::kWriteFault);
    const uint64_t length = std::min<uint64_t>(extent.length, uint64_t{g_.clusterCount} * g_.clusterBytes);
    std::vector<uint8_t> block;
    std::unordered_set<uint32_t> chain;
    uint32_t cluster = extent.firstCluster;
    uint64_t delivered = 0;
    while (delivered < length) {
      if (!g_.IsDataCluster(cluster) || (!extent.contiguous && !chain.insert(cluster).second))
        return static_cast<int32_t>(err::kHandleEof);
      if (!ReadCluster(cluster, block)) return static_cast<int32_t>(err::kReadFault);
      const auto piece = static_cast<size_t>(std::min<uint64_t>(block.size(), length - delivered));
      // What lies past the valid length was never written for this file.
      if (delivered + piece > extent.validLength) {
        const size_t from =
            extent.validLength > delivered ? static_cast<size_t>(extent.validLength - delivered) : 0;
        std::fill(block.begin() + static_cast<ptrdiff_t>(from), block.begin() + static_cast<ptrdiff_t>(piece),
                  0);
      }
      if (int32_t r = sink(std::span<const uint8_t>(block.data(), piece), cluster); r != 0) return r;
      delivered += piece;
      if (delivered >= length) break;
      if (!NextCluster(extent, cluster)) return static_cast<int32_t>(err::kHandleEof);
    }
    return 0;
  }

 private:
  bool NextCluster(const ExfatExtent& extent, uint32_t& cluster);

  const SectorReader& reader_;
  ExfatGeometry g_;
  std::vector<uint8_t> fatWindow_;
  uint64_t fatWindowSector_ = UINT64_MAX;
  std::vector<uint8_t> bitmap_;  // bit n - 2 for cluster n
};

}  // namespace snapsave
