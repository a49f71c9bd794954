// CFastExfatRecovery: the quick engine for exFAT. Walks the folder tree breadth first from the root and
// catalogues every file (its entry set whole and its checksum holding; the existing ones marked so), every
// file inside a deleted folder and the folders on the way; reads them back contiguously or through the FAT,
// with the bytes past a file's valid length as zeros; gives the deep scan the free clusters from the
// allocation bitmap.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <unordered_set>
#include <vector>

#include "catalog/found_file_catalogue.h"
#include "catalog/volume_engine.h"
#include "fs/exfat/exfat_structures.h"
#include "fs/exfat/exfat_volume.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CFastExfatRecovery final : public VolumeEngine {
 public:
  explicit CFastExfatRecovery(SavedScanStore& store) : VolumeEngine(store) {}

  int32_t Scan(std::string_view logName) override;
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  int32_t BuildAllocationMap() override;

  const ExfatGeometry* Geometry() const { return geometry_ ? &*geometry_ : nullptr; }

 private:
  struct PendingFolder {
    FoundFileRecord record;
    ExfatExtent extent;
    uint32_t parentCluster = 0;
    uint32_t depth = 0;  // of the folder itself; its children are filed one deeper
    bool deleted = false;
  };

  uint32_t OpenVolume() override;
  std::vector<uint8_t> FolderBytes(const ExfatExtent& folder, std::vector<uint64_t>& clusterSectors);
  void ReadFolder(const PendingFolder& folder);
  FoundFileRecord MakeRecord(const ExfatEntrySet& set, uint64_t entryOffset, bool deleted) const;
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;
  std::optional<uint32_t> RootFolderRef() const override {
    return geometry_ ? std::optional<uint32_t>(geometry_->rootCluster) : std::nullopt;
  }

  std::optional<ExfatGeometry> geometry_;
  std::optional<ExfatVolume> volume_;
  FolderWalk<uint32_t, PendingFolder> walk_;  // by first cluster
};

}  // namespace snapsave
