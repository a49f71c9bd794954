// CFastExtRecovery: the quick engine of an ext2/3/4 volume. It lists nothing yet; what it gives the deep scan
// is the map of free blocks from the group bitmaps, so that the pass carves only where deleted files can be.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "catalog/file_recovery_parse.h"
#include "fs/ext/ext_superblock.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CFastExtRecovery final : public IFileRecoveryParse {
 public:
  uint32_t OpenImageFile(const std::filesystem::path& imagePath, char16_t driveLetter) override;
  uint32_t OpenPhysicalDisk(int32_t diskNumber, uint64_t volumeStartSector, uint64_t volumeSectorCount,
                            char16_t driveLetter) override;
  int32_t SetCallbacks(ScanProgressCallback, RecoverProgressCallback, void*, int32_t) override { return 0; }
  int32_t Scan(std::string_view) override { return 0; }
  uint32_t ListFolder(const FoundFileRecord*, int32_t, RecordList&) override { return 0; }
  uint32_t CountFolderFiles(const FoundFileRecord*, int32_t, uint32_t& outCount) override {
    outCount = 0;
    return 0;
  }
  uint64_t GetRecordCount() override { return 0; }
  uint32_t GetRecordPath(const FoundFileRecord*, std::string& outPath) override {
    outPath.clear();
    return 0;
  }
  int32_t RecoverRecord(const FoundFileRecord*, const std::filesystem::path&, int32_t) override { return 0; }
  // The free blocks' runs. 0 (nothing answered: carve the whole volume) without a usable map.
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  uint32_t SetSearchCallback(SearchProgressCallback, void*) override { return 0; }
  uint32_t SearchByType(std::string_view, RecordList&) override { return 0; }
  // 0 when the group descriptors were read, so that free runs can be answered; 1 when they cannot.
  int32_t BuildAllocationMap() override;
  uint32_t ExtractForPreview(const FoundFileRecord*, std::filesystem::path&, std::span<uint8_t>,
                             uint32_t& outSize, PreviewProgressCallback, void*) override {
    outSize = 0;
    return 0;
  }

  const std::optional<ExtGeometry>& Geometry() const { return geometry_; }

 private:
  // Reads the superblock and the group descriptors; without them the engine only recognises the volume.
  void ReadGeometry();
  // Whether block `block` is in use by the group bitmaps. A bitmap that cannot be read, or that the group
  // never initialised, counts as free: carving a used block costs time, skipping a free one loses files.
  bool BlockInUse(uint64_t block);

  SectorReader reader_;
  uint64_t volumeStart_ = 0;
  uint64_t volumeSectors_ = 0;
  uint32_t sectorSize_ = SectorReader::kImageSectorSize;
  std::optional<ExtGeometry> geometry_;
  std::vector<ExtGroupDescriptor> groups_;
  std::vector<uint8_t> bitmap_;  // of the group below, empty when it counts as all free
  uint64_t bitmapGroup_ = UINT64_MAX;
};

}  // namespace snapsave
