// CFastExtRecovery: the quick engine of an ext volume. It recognises the volume and finds nothing: within a
// deep scan it keeps no allocation map, so the whole volume is carved.
#pragma once

#include <cstdint>
#include <filesystem>

#include "catalog/file_recovery_parse.h"
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
  int32_t NextUnallocatedRun(uint64_t&, uint64_t&) override { return 0; }
  uint32_t SetSearchCallback(SearchProgressCallback, void*) override { return 0; }
  uint32_t SearchByType(std::string_view, RecordList&) override { return 0; }
  int32_t BuildAllocationMap() override { return 0; }
  uint32_t ExtractForPreview(const FoundFileRecord*, std::filesystem::path&, std::span<uint8_t>,
                             uint32_t& outSize, PreviewProgressCallback, void*) override {
    outSize = 0;
    return 0;
  }

 private:
  SectorReader reader_;
  uint64_t volumeStart_ = 0;
  uint64_t volumeSectors_ = 0;
};

}  // namespace snapsave
