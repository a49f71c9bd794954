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

#include "catalog/found_file_catalogue.h"
#include "catalog/volume_engine.h"
#include "fs/ntfs/ntfs_volume.h"
#include "storage/sector_reader.h"

namespace snapsave {

class CProfessionalNtfsRecovery final : public DeepVolumeEngine {
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

  explicit CProfessionalNtfsRecovery(SavedScanStore& store) : DeepVolumeEngine(store) {}
  CProfessionalNtfsRecovery(SavedScanStore& store, Limits limits)
      : DeepVolumeEngine(store), limits_(limits) {}

  // Begins a pass: an empty log name starts a fresh catalogue, another reopens that saved one. 0 or a Win32
  // error.
  uint32_t StartPass(std::string_view logName) override;
  // Sectors that begin a plausible file record.
  bool Claims(ByteSpan sector) const override;
  // A record that runs past what the pass read is read whole.
  void Take(std::span<const uint8_t> rest, uint64_t sector) override;
  // Registers the folders the listed files lie in. 0, or the first read error met (the folder concerned is
  // then listed as a LostFolder).
  int32_t FinishPass() override;
  std::string_view LogPrefix() const override { return log_prefix::kProNtfs; }
  // Absolute first sector of the data of an NTFS record of either engine, read from its MFT record; nothing
  // for resident or missing data.
  std::optional<uint64_t> FirstDataSector(const FoundFileRecord& record) const override;

  // One record found at `absoluteSector` (the span holds at least a record). The caller's bytes are never
  // changed. 0 (also for folder records, which are read back later), 87 for a record too short or failing the
  // size checks, -1 without "FILE".
  int32_t TakeFileRecord(std::span<const uint8_t> record, uint64_t absoluteSector);

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

  uint32_t OpenVolume() override;
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
  int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) override;
  std::optional<uint32_t> RootFolderRef() const override { return kMftRecordRoot; }

  Limits limits_;
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
