// CFastExfatRecovery: the quick engine for exFAT. Walks the folder tree breadth first from the root and
// catalogues every deleted file (its entry set whole and its checksum holding), every file inside a deleted
// folder and the folders on the way; reads them back contiguously or through the FAT, with the bytes past a
// file's valid length as zeros; gives the deep scan the free clusters from the allocation bitmap.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <unordered_set>
#include <vector>

#include "catalog/catalogue_engine.h"
#include "catalog/found_file_catalogue.h"
#include "fs/exfat/exfat_structures.h"
#include "fs/exfat/exfat_volume.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CFastExfatRecovery final : public CatalogueEngine {
 public:
  explicit CFastExfatRecovery(SavedScanStore& store) : CatalogueEngine(store) {}
  ~CFastExfatRecovery() override = default;
  CFastExfatRecovery(const CFastExfatRecovery&) = delete;
  CFastExfatRecovery& operator=(const CFastExfatRecovery&) = delete;

  uint32_t OpenImageFile(const std::filesystem::path& imagePath, char16_t driveLetter) override;
  uint32_t OpenPhysicalDisk(int32_t diskNumber, uint64_t volumeStartSector, uint64_t volumeSectorCount,
                            char16_t driveLetter) override;
  int32_t SetCallbacks(ScanProgressCallback scanCallback, RecoverProgressCallback recoverCallback,
                       void* context, int32_t weight) override;
  int32_t Scan(std::string_view logName) override;
  int32_t RecoverRecord(const FoundFileRecord* record, const std::filesystem::path& destinationPath,
                        int32_t baseDepth) override;
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  int32_t BuildAllocationMap() override;
  uint32_t ExtractForPreview(const FoundFileRecord* record, std::filesystem::path& outPath,
                             std::span<uint8_t> buffer, uint32_t& outSize, PreviewProgressCallback callback,
                             void* context) override;

  const ExfatGeometry* Geometry() const { return geometry_ ? &*geometry_ : nullptr; }

 private:
  struct PendingFolder {
    FoundFileRecord record;
    ExfatExtent extent;
    uint32_t parentCluster = 0;
    uint32_t depth = 0;  // of the folder itself; its children are filed one deeper
    bool deleted = false;
  };

  uint32_t OpenBoot(uint64_t volumeStart, uint64_t volumeSectors);
  std::vector<uint8_t> FolderBytes(const ExfatExtent& folder, std::vector<uint64_t>& clusterSectors);
  void ReadFolder(const PendingFolder& folder);
  FoundFileRecord MakeRecord(const ExfatEntrySet& set, uint64_t entryOffset, bool deleted) const;
  int32_t Report(int32_t progress, int32_t secondsLeft);
  uint32_t FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const override;

  SectorReader reader_;
  bool open_ = false;
  char16_t driveLetter_ = 0;
  std::optional<ExfatGeometry> geometry_;
  std::optional<ExfatVolume> volume_;

  int32_t lastProgress_ = 0;
  uint64_t lastReportMs_ = 0;
  int32_t callbackResult_ = 0;
  std::deque<PendingFolder> queue_;
  std::vector<PendingFolder> found_;
  std::unordered_set<uint32_t> visited_;
};

}  // namespace snapsave
