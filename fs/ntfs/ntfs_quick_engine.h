// The quick NTFS engine: lists the file records of the MFT, deleted ones and (marked so) existing ones,
// registers the folders they lie in, and reads them back for preview and recovery.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "catalog/found_file_catalogue.h"
#include "catalog/volume_engine.h"
#include "fs/ntfs/ntfs_volume.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CFastNtfsRecovery final : public VolumeEngine {
 public:
  // Records per table read.
  static constexpr uint32_t kChunkRecords = 1024;

  explicit CFastNtfsRecovery(SavedScanStore& store) : VolumeEngine(store) {}

  int32_t Scan(std::string_view logName) override;
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  int32_t BuildAllocationMap() override;

  // For the deep scan and tests.
  const NtfsVolume* Volume() const { return volume_ ? &*volume_ : nullptr; }
  const std::vector<uint8_t>& AllocationMap() const { return allocationMap_; }

 private:
  uint32_t OpenVolume() override;
  int32_t WalkTable();
  int32_t ReportProgress(uint64_t done, uint64_t total, int32_t secondsLeft);
  // First pass: a deleted file record read at `sector`.
  void HandleRecord(std::span<uint8_t> record, uint64_t sector);
  // Second pass: folder `number` from the folder list, under its parent or as a LostFolder at the root.
  void AddFolder(uint32_t number, std::span<uint8_t> record);
  void AddLostFolder(uint32_t number);
  // A folder record of this volume for table entry `number`, found by the quick scan.
  FoundFileRecord FolderRecord(uint32_t number) const;
  // The folder record `number` (fixed up in `record`) as a found folder, with its parent; nothing when the
  // record is no readable folder with a name.
  std::optional<std::pair<FoundFileRecord, uint32_t>> ReadFolder(uint32_t number, std::span<uint8_t> record);
  uint32_t DepthOfParent(uint32_t parent);
  bool InSystemFolder(uint32_t parent) const;
  void NoteFolder(uint32_t number);
  bool ContentCheck(const FoundFileRecord& record, ByteSpan recordBytes);
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;
  std::optional<uint32_t> RootFolderRef() const override { return kMftRecordRoot; }

  std::optional<NtfsVolume> volume_;

  std::vector<uint8_t> tableBuffer_;
  std::vector<uint32_t> folderList_;
  std::unordered_set<uint32_t> folderSet_;
  std::unordered_map<uint32_t, uint32_t> depthOfParent_;  // records do not change during a scan
  std::unordered_map<uint32_t, uint32_t> folderParent_;
  // Folders whose parent chain cannot reach the root: listed at the root as LostFolders.
  std::unordered_set<uint32_t> lostFolders_;
  std::unordered_set<uint32_t> systemFoldersShown_;  // system folders above a deleted file
  std::vector<uint8_t> allocationMap_;
};

}  // namespace snapsave
