// CFastFatRecovery: the quick engine for FAT12/16/32. Walks the directory tree breadth first and catalogues
// every deleted file, every file inside a deleted folder and the folders on the way; reads them back for
// preview and recovery.
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

#include "catalog/catalogue_engine.h"
#include "catalog/file_recovery_parse.h"
#include "catalog/found_file_catalogue.h"
#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_table_window.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CFastFatRecovery final : public CatalogueEngine {
 public:
  explicit CFastFatRecovery(SavedScanStore& store) : CatalogueEngine(store) {}
  ~CFastFatRecovery() override = default;
  CFastFatRecovery(const CFastFatRecovery&) = delete;
  CFastFatRecovery& operator=(const CFastFatRecovery&) = delete;

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

  const FatGeometry* Geometry() const { return geometry_ ? &*geometry_ : nullptr; }

 private:
  // A folder met during the walk, waiting to be read and registered.
  struct PendingFolder {
    FoundFileRecord record;
    uint32_t parentCluster = 0;
    uint32_t depth = 0;  // of the folder itself; its children are filed under this depth
  };

  uint32_t OpenBoot(uint64_t volumeStart, uint64_t volumeSectors);
  uint32_t ReadClusterData(uint32_t cluster, std::vector<uint8_t>& block, uint32_t& bytes);
  bool ReadFirstSector(uint32_t cluster, std::vector<uint8_t>& sector);
  int32_t Report(int32_t progress, int32_t secondsLeft);
  void ReadFolder(uint32_t cluster);
  void AddFile(const FoundFileRecord& base, uint32_t folderCluster, uint32_t depth);
  void RegisterFolders();
  // Reads a file's chain, handing each piece to `sink`, until `total` bytes were delivered. 38 when the chain
  // ends first, 30 for a failed read, or the sink's non-zero answer.
  template <typename Sink>
  int32_t ReadFileData(const FoundFileRecord& record, uint64_t total, Sink&& sink);
  uint32_t FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const override;

  SectorReader reader_;
  bool open_ = false;
  char16_t driveLetter_ = 0;
  std::optional<FatGeometry> geometry_;
  std::unique_ptr<FatTableWindow> table_;
  std::vector<uint8_t> allocationMap_;  // bit (n - 2) for cluster n
  bool mapBuilt_ = false;

  int32_t lastProgress_ = 0;
  int32_t lastSecondsLeft_ = 100;
  uint64_t lastReportMs_ = 0;
  int32_t callbackResult_ = 0;

  std::deque<uint32_t> folderQueue_;
  std::unordered_map<uint32_t, PendingFolder> folderTable_;
  std::vector<uint32_t> visitedOrder_;
  std::unordered_set<uint32_t> visited_;
  uint64_t filesFound_ = 0;
};

}  // namespace snapsave
