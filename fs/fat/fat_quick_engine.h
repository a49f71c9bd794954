// CFastFatRecovery: the quick engine for FAT12/16/32. Walks the directory tree breadth first and catalogues
// every file (the existing ones marked so), every file inside a deleted folder and the folders on the way;
// reads them back for preview and recovery.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "catalog/found_file_catalogue.h"
#include "catalog/volume_engine.h"
#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_table_window.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CFastFatRecovery final : public VolumeEngine {
 public:
  explicit CFastFatRecovery(SavedScanStore& store) : VolumeEngine(store) {}

  int32_t Scan(std::string_view logName) override;
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  int32_t BuildAllocationMap() override;

  const FatGeometry* Geometry() const { return geometry_ ? &*geometry_ : nullptr; }

  // The clusters ReadData reads, by the same chain.
  std::vector<SectorStretch> DataRuns(const FoundFileRecord& record) override;

 private:
  // A folder met during the walk, waiting to be read and registered.
  struct PendingFolder {
    FoundFileRecord record{};
    uint32_t cluster = 0;
    uint32_t parentCluster = 0;
    uint32_t depth = 0;  // of the folder itself; its children are filed under this depth
    bool root = false;
  };

  uint32_t OpenVolume() override;
  uint32_t ReadClusterData(uint32_t cluster, std::vector<uint8_t>& block, uint32_t& bytes);
  bool ReadFirstSector(uint32_t cluster, std::vector<uint8_t>& sector);
  void ReadFolder(const PendingFolder& folder);
  void RegisterFolders();
  // Reads a file's chain, handing each piece to `sink`, until `total` bytes were delivered. 38 when the chain
  // ends first, 30 for a failed read, or the sink's non-zero answer.
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;
  std::optional<uint32_t> RootFolderRef() const override {
    return geometry_ ? std::optional<uint32_t>(geometry_->rootCluster) : std::nullopt;
  }

  std::optional<FatGeometry> geometry_;
  std::unique_ptr<FatTableWindow> table_;
  std::vector<uint8_t> allocationMap_;  // bit (n - 2) for cluster n
  bool mapBuilt_ = false;

  int32_t lastSecondsLeft_ = 100;
  int32_t callbackResult_ = 0;
  FolderWalk<uint32_t, PendingFolder> walk_;  // by first cluster
};

}  // namespace snapsave
