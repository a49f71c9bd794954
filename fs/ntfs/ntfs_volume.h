// An opened NTFS volume: where records lie, reading them, and finding the data of a record's attributes.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "fs/ntfs/ntfs_boot_sector.h"
#include "fs/ntfs/ntfs_record.h"
#include "fs/ntfs/ntfs_run_list.h"
#include "storage/sector_reader.h"

namespace snapsave {

// Helper results besides Win32 errors.
inline constexpr int32_t kNtfsNoFileRecord = -1;
inline constexpr int32_t kNtfsAttributeAbsent = -100;
inline constexpr int32_t kNtfsNotResident = -101;

// Piece size of data reads.
inline constexpr uint32_t kNtfsPieceBytes = 0x10000;

// The boot sector of the volume at `volumeStart` (`volumeSectors` sectors of `sectorSize`): its first
// sector, or where that cannot be read or is no NTFS boot sector, the copy in the volume's last sector.
// `boot` gets at least 512 bytes of it; false when neither is one.
bool ReadNtfsBootSector(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                        uint32_t sectorSize, std::vector<uint8_t>& boot);

class NtfsVolume {
 public:
  // `reader` must outlive the volume.
  NtfsVolume(const SectorReader& reader, uint64_t volumeStart, const NtfsGeometry& geometry);

  // Decodes the MFT's run list from record 0 at the MFT start. 0 or the helper/Win32 result.
  int32_t LoadMftRuns();

  const NtfsGeometry& Geometry() const { return geometry_; }
  const SectorReader& Reader() const { return reader_; }
  uint64_t VolumeStart() const { return volumeStart_; }
  const RunList& MftRuns() const { return mftRuns_; }
  void SetMftRuns(RunList runs) { mftRuns_ = std::move(runs); }

  // Absolute sector of record `n`; the volume's first sector when the MFT's runs do not reach it.
  uint64_t RecordSector(uint64_t n) const;
  // Absolute sector of cluster `cluster`; UINT64_MAX when it cannot be addressed.
  uint64_t ClusterSector(uint64_t cluster) const;

  // Reads one record (recordSize bytes) into `buffer`, without fixups. 0 or a Win32 error.
  uint32_t ReadRecord(uint64_t n, std::span<uint8_t> buffer) const;
  // Reads the record at `sector` and applies its fixups. 0, kNtfsNoFileRecord or a Win32 error.
  int32_t ReadRecordAt(uint64_t sector, std::vector<uint8_t>& record) const;

  // Runs of the first attribute of `type` in the record at `sector`. With an attribute list, every piece of
  // that attribute (same type and name) from the base record and the extension records the list names, in
  // VCN order. 0, kNtfsNoFileRecord, kNtfsAttributeAbsent or a Win32 error.
  int32_t FindAttributeRuns(uint64_t sector, uint32_t type, RunList& out) const;
  // The resident value of the record's first $DATA. 0, 87 (too long), kNtfsNoFileRecord, kNtfsNotResident.
  int32_t ReadResidentData(uint64_t sector, std::vector<uint8_t>& out) const;

  // Reads the clusters of `runs` in pieces of at most kNtfsPieceBytes, up to `bytes` in all, handing each
  // piece to `sink` (a nonzero answer stops with it). Sparse runs deliver zeros. 30 when a read yields
  // nothing.
  int32_t ReadRuns(const RunList& runs, uint64_t bytes, const std::function<int32_t(ByteSpan)>& sink) const;

  // The cluster bitmap ($DATA of record 6): one bit per cluster, set when in use; limited to the attribute's
  // real size, to its runs, and to the clusters of the volume.
  int32_t ReadClusterBitmap(std::vector<uint8_t>& map) const;

 private:
  struct Piece {
    uint64_t firstVcn = 0;
    RunList runs;
  };
  // The value of an attribute list, resident or not, up to a bound.
  void ReadAttributeList(const Attribute& list, std::vector<uint8_t>& value) const;
  // The non-resident attributes of `type` named `name` in a fixed-up record.
  void CollectPieces(ByteSpan record, uint32_t type, ByteSpan name, std::vector<Piece>& out) const;

  const SectorReader& reader_;
  uint64_t volumeStart_;
  NtfsGeometry geometry_;
  RunList mftRuns_;
};

}  // namespace snapsave
