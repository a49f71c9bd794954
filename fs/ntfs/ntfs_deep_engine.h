// The deep NTFS engine: rebuilds files from MFT records found anywhere on a disk, including records of
// volumes whose boot sector or MFT location is lost. The deep-scan orchestration hands it the records; the
// engine works out which MFT each one belongs to, where that volume starts and how large its clusters are.
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

#include "catalog/catalogue_engine.h"
#include "catalog/file_recovery_parse.h"
#include "catalog/found_file_catalogue.h"
#include "fs/ntfs/ntfs_volume.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CProfessionalNtfsRecovery final : public CatalogueEngine {
 public:
  // Bounds on what hostile media can make the engine keep. A medium of crafted records must not exhaust
  // memory: each folder noted costs a list entry, a depth and a parent, and each MFT a run list searched for
  // every record.
  struct Limits {
    // Far more folders than any real volume holds; about 100 MiB of bookkeeping when full.
    size_t maxFolders = size_t{1} << 20;
    // More volumes than any disk carries, counting the mirror copies of record 0 each volume has.
    size_t maxKnownMfts = 64;
  };

  explicit CProfessionalNtfsRecovery(SavedScanStore& store) : CatalogueEngine(store) {}
  CProfessionalNtfsRecovery(SavedScanStore& store, Limits limits) : CatalogueEngine(store), limits_(limits) {}
  ~CProfessionalNtfsRecovery() override = default;
  CProfessionalNtfsRecovery(const CProfessionalNtfsRecovery&) = delete;
  CProfessionalNtfsRecovery& operator=(const CProfessionalNtfsRecovery&) = delete;

  uint32_t OpenImageFile(const std::filesystem::path& imagePath, char16_t driveLetter) override;
  uint32_t OpenPhysicalDisk(int32_t diskNumber, uint64_t firstSector, uint64_t sectorCount,
                            char16_t driveLetter) override;
  int32_t SetCallbacks(ScanProgressCallback scanCallback, RecoverProgressCallback recoverCallback,
                       void* context, int32_t weight) override;
  // The orchestration drives the pass; this does nothing.
  int32_t Scan(std::string_view logName) override;
  int32_t RecoverRecord(const FoundFileRecord* record, const std::filesystem::path& destinationPath,
                        int32_t baseDepth) override;
  // No allocation map: returns 0.
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  // No allocation map: returns 0.
  int32_t BuildAllocationMap() override;
  uint32_t ExtractForPreview(const FoundFileRecord* record, std::filesystem::path& outPath,
                             std::span<uint8_t> buffer, uint32_t& outSize, PreviewProgressCallback callback,
                             void* context) override;

  // Begins a pass: an empty log name starts a fresh catalogue, another reopens that saved one. 0 or a Win32
  // error.
  uint32_t StartScan(std::string_view logName);
  // One record found at `absoluteSector` (the span holds at least a record). The caller's bytes are never
  // changed. 0 (also for folder records, which are read back later), 87 for a record too short or failing the
  // size checks, -1 without "FILE".
  int32_t TakeFileRecord(std::span<const uint8_t> record, uint64_t absoluteSector);
  // Registers the folders the listed files lie in. 0, or the first read error met (the folder concerned is
  // then listed as a LostFolder).
  int32_t FinishScan();

  // Absolute first sector of the data of an NTFS record of either engine, read from its MFT record; nothing
  // for resident or missing data.
  std::optional<uint64_t> FirstDataSector(const FoundFileRecord& record) const;

  // Sectors per cluster assumed for records of no known MFT.
  uint32_t ClusterGuess() const { return clusterGuess_; }
  size_t KnownMftCount() const { return knownMfts_.size(); }
  size_t FolderCount() const { return folderList_.size(); }
  uint32_t SectorSize() const { return sectorSize_; }
  uint32_t RecordSize() const { return recordSize_; }
  // Files left out because the folder list was full.
  uint64_t DroppedFiles() const { return droppedFiles_; }

 private:
  // An MFT whose location was learnt from a boot sector or a "$MFT" record: its runs with their prefix sums
  // of sectors, so that a record number finds its run by binary search.
  struct KnownMft {
    uint64_t startSector = 0;
    uint64_t volumeStart = 0;
    uint32_t sectorsPerCluster = 1;
    RunList runs;
    std::vector<uint64_t> runEnds;  // sectors of the runs up to and including each one
  };
  // Where the records of one MFT lie: a known MFT (by index), or an MFT assumed contiguous from `mftStart`.
  struct Placement {
    uint64_t volumeStart = 0;
    uint64_t mftStart = 0;
    uint32_t sectorsPerCluster = 1;
    int32_t known = -1;
  };
  // A folder is named by its record number within its volume.
  struct FolderId {
    uint64_t volumeStart = 0;
    uint32_t number = 0;
    bool operator==(const FolderId&) const = default;
  };
  struct FolderIdHash {
    size_t operator()(const FolderId& id) const {
      return std::hash<uint64_t>()(id.volumeStart * 0x9E3779B97F4A7C15ULL ^ id.number);
    }
  };
  struct FolderEntry {
    FolderId id;
    Placement placement;
  };

  uint32_t OpenAt(uint64_t firstSector, uint64_t sectorCount, uint32_t sectorSize, char16_t driveLetter);
  void ResetPass();
  // Enters an MFT unless it is known already or the table is full.
  void AddKnownMft(uint64_t startSector, uint64_t volumeStart, uint32_t sectorsPerCluster, RunList runs);
  // Record 0 named "$MFT" found at `sector`.
  void NoteMftRecord(ByteSpan record, uint64_t sector);
  // Absolute sector of record `n` under `p`; nothing when no run holds it.
  std::optional<uint64_t> SectorOf(const Placement& p, uint64_t n) const;
  Placement PlaceRecord(uint32_t n, uint64_t sector) const;
  // Refines the cluster guess from the record's first $DATA.
  void RefineClusterGuess(const std::vector<Attribute>& attributes);
  bool NoteFolder(const FolderId& id, const Placement& placement);
  // Reads folder record `number` under `p` (fixed up into `record`): the folder as found, with its parent.
  std::optional<std::pair<FoundFileRecord, uint32_t>> ReadFolder(uint32_t number, const Placement& p,
                                                                 std::vector<uint8_t>& record);
  // Depth at which the children of `parent` are filed; nothing when the folder list is full and the chain
  // could not be noted at all.
  std::optional<uint32_t> DepthOfParent(uint32_t parent, const Placement& p);
  void AddFolder(const FolderEntry& entry, std::vector<uint8_t>& record);
  void AddLostFolder(const FolderEntry& entry);
  FoundFileRecord NewRecord() const;
  // The volume a listed record is read through.
  NtfsVolume VolumeFor(const FoundFileRecord& record) const;
  int32_t WriteFile(const FoundFileRecord& record, const std::filesystem::path& path);
  uint32_t FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const override;

  Limits limits_;
  SectorReader reader_;
  bool open_ = false;
  uint64_t firstSector_ = 0;
  uint64_t sectorCount_ = 0;
  char16_t driveLetter_ = 0;
  uint32_t sectorSize_ = 512;
  uint32_t sectorsPerRecord_ = 2;
  uint32_t recordSize_ = 1024;
  uint32_t openGuess_ = 1;
  uint32_t clusterGuess_ = 1;

  std::vector<uint8_t> record_;  // the record being handled: fixups go here, never into the caller's bytes

  std::optional<KnownMft> bootMft_;
  std::vector<KnownMft> knownMfts_;
  std::vector<FolderEntry> folderList_;
  // Every map below holds folders of folderList_ only, so the folder cap bounds them all.
  std::unordered_set<FolderId, FolderIdHash> folderSet_;
  std::unordered_map<FolderId, uint32_t, FolderIdHash> depthOfParent_;
  std::unordered_map<FolderId, uint32_t, FolderIdHash> folderParent_;
  // Folders whose parent chain cannot reach the root: listed at the root as LostFolders.
  std::unordered_set<FolderId, FolderIdHash> lostFolders_;
  // Folders a resumed scan registered before: registering them again would list them twice.
  std::unordered_set<uint32_t> registered_;
  uint32_t readError_ = 0;
  uint64_t droppedFiles_ = 0;
};

}  // namespace snapsave
