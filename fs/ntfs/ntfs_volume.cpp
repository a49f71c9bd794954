#include "fs/ntfs/ntfs_volume.h"

#include <algorithm>
#include <set>

#include "os/error.h"

namespace snapsave {

namespace {
// A longer attribute list would describe a file of absurd fragmentation; reading stops there.
constexpr uint64_t kMaxAttributeListBytes = 256 * 1024;
}  // namespace

NtfsVolume::NtfsVolume(const SectorReader& reader, uint64_t volumeStart, const NtfsGeometry& geometry)
    : reader_(reader), volumeStart_(volumeStart), geometry_(geometry) {}

int32_t NtfsVolume::LoadMftRuns() {
  RunList runs;
  const int32_t r = FindAttributeRuns(geometry_.mftStartSector, kAttrData, runs);
  mftRuns_ = std::move(runs);
  return r;
}

uint64_t NtfsVolume::ClusterSector(uint64_t cluster) const {
  return SatAdd(volumeStart_, SatMul(cluster, geometry_.sectorsPerCluster));
}

uint64_t NtfsVolume::RecordSector(uint64_t n) const {
  const uint64_t position = SatMul(n, geometry_.sectorsPerRecord);
  uint64_t before = 0;
  for (const DataRun& run : mftRuns_) {
    const uint64_t sectors = SatMul(run.length, geometry_.sectorsPerCluster);
    if (position - before < sectors) {
      if (run.sparse) return volumeStart_;
      const uint64_t first = ClusterSector(run.firstCluster);
      return first == UINT64_MAX ? volumeStart_ : SatAdd(first, position - before);
    }
    before = SatAdd(before, sectors);
    if (before == UINT64_MAX) break;
  }
  return volumeStart_;
}

uint32_t NtfsVolume::ReadRecord(uint64_t n, std::span<uint8_t> buffer) const {
  if (buffer.size() < geometry_.recordSize) return err::kInvalidParameter;
  uint32_t got = 0;
  const uint32_t e = reader_.ReadSectors(buffer.first(geometry_.recordSize),
                                         static_cast<int32_t>(geometry_.sectorsPerRecord), RecordSector(n),
                                         geometry_.sectorSize, &got);
  if (e != err::kSuccess) return e;
  return got == geometry_.sectorsPerRecord ? err::kSuccess : err::kReadFault;
}

int32_t NtfsVolume::ReadRecordAt(uint64_t sector, std::vector<uint8_t>& record) const {
  record.assign(geometry_.recordSize, 0);
  uint32_t got = 0;
  const uint32_t e = reader_.ReadSectors(record, static_cast<int32_t>(geometry_.sectorsPerRecord), sector,
                                         geometry_.sectorSize, &got);
  if (e != err::kSuccess) return static_cast<int32_t>(e);
  if (got != geometry_.sectorsPerRecord) return static_cast<int32_t>(err::kReadFault);
  if (!HasFileSignature(record)) return kNtfsNoFileRecord;
  ApplyFixups(record, geometry_.sectorSize, geometry_.sectorsPerRecord);
  return 0;
}

int32_t NtfsVolume::FindAttributeRuns(uint64_t sector, uint32_t type, RunList& out) const {
  return SearchRecord(sector, type, out, /*followList=*/true);
}

int32_t NtfsVolume::SearchRecord(uint64_t sector, uint32_t type, RunList& out, bool followList) const {
  std::vector<uint8_t> record;
  if (int32_t r = ReadRecordAt(sector, record); r != 0) return r;
  std::vector<uint8_t> listValue;
  bool haveList = false;
  AttributeWalker walker(record, geometry_.recordSize);
  while (auto a = walker.Next()) {
    if (a->type == type) {
      // A resident attribute has no clusters.
      if (a->nonResident) DecodeRunList(a->bytes, geometry_.sectorSize, out);
      return 0;
    }
    if (a->type == kAttrAttributeList && !haveList && followList) {
      haveList = true;
      if (!a->nonResident) {
        const ByteSpan v = a->Value();
        listValue.assign(v.begin(), v.end());
      } else {
        RunList listRuns;
        DecodeRunList(a->bytes, geometry_.sectorSize, listRuns);
        const uint64_t bytes = std::min(a->RealSize(), kMaxAttributeListBytes);
        ReadRuns(listRuns, bytes, [&](ByteSpan piece) {
          listValue.insert(listValue.end(), piece.begin(), piece.end());
          return 0;
        });
      }
    }
  }
  if (!haveList) return kNtfsAttributeAbsent;
  // Every piece of the attribute, in list order, from the records that hold them; each record once, and never
  // the base record again, so a list naming itself or looping ends here.
  const uint64_t self = RecordNumber(record);
  std::set<uint64_t> visited{self};
  bool found = false;
  for (const AttributeListEntry& e : ParseAttributeList(listValue)) {
    if (e.type != type || !visited.insert(e.record).second) continue;
    RunList part;
    if (SearchRecord(RecordSector(e.record), type, part, /*followList=*/false) == 0) {
      found = true;
      out.insert(out.end(), part.begin(), part.end());
    }
  }
  return found ? 0 : kNtfsAttributeAbsent;
}

int32_t NtfsVolume::ReadResidentData(uint64_t sector, std::vector<uint8_t>& out) const {
  out.clear();
  std::vector<uint8_t> record;
  if (int32_t r = ReadRecordAt(sector, record); r != 0) return r;
  const auto a = FindAttribute(record, geometry_.recordSize, kAttrData);
  if (!a || a->nonResident) return kNtfsNotResident;
  const ByteSpan v = a->Value();
  if (v.size() >= geometry_.recordSize) return static_cast<int32_t>(err::kInvalidParameter);
  out.assign(v.begin(), v.end());
  return 0;
}

int32_t NtfsVolume::ReadRuns(const RunList& runs, uint64_t bytes,
                             const std::function<int32_t(ByteSpan)>& sink) const {
  const uint32_t sectorSize = geometry_.sectorSize;
  // Sparse runs could claim more zeros than any volume holds; nothing is delivered past the volume's size.
  uint64_t remaining =
      std::min(bytes, SatMul(std::max(geometry_.totalSectors, reader_.TotalSectors()), sectorSize));
  std::vector<uint8_t> piece(kNtfsPieceBytes);
  for (const DataRun& run : runs) {
    if (remaining == 0) break;
    const uint64_t runBytes = SatMul(run.length, geometry_.clusterBytes);
    const uint64_t first = run.sparse ? 0 : ClusterSector(run.firstCluster);
    uint64_t pos = 0;
    while (pos < runBytes && remaining > 0) {
      const uint64_t want = std::min<uint64_t>(kNtfsPieceBytes, runBytes - pos);
      const auto sectors = static_cast<uint32_t>(want / sectorSize);
      if (sectors == 0) break;
      uint32_t got = sectors;
      if (run.sparse) {
        std::fill(piece.begin(), piece.end(), 0);
      } else {
        got = 0;
        const uint64_t at = SatAdd(first, pos / sectorSize);
        reader_.ReadSectors(std::span<uint8_t>(piece).first(size_t{sectors} * sectorSize),
                            static_cast<int32_t>(sectors), at, sectorSize, &got);
        if (got == 0) return static_cast<int32_t>(err::kReadFault);
      }
      const uint64_t delivered = std::min<uint64_t>(uint64_t{got} * sectorSize, remaining);
      remaining -= delivered;
      pos += uint64_t{got} * sectorSize;
      if (int32_t r = sink(ByteSpan(piece).first(static_cast<size_t>(delivered))); r != 0) return r;
    }
  }
  return 0;
}

int32_t NtfsVolume::ReadClusterBitmap(std::vector<uint8_t>& map) const {
  map.clear();
  const uint64_t sector = RecordSector(kMftRecordBitmap);
  RunList runs;
  if (int32_t r = FindAttributeRuns(sector, kAttrData, runs); r != 0) return r;
  std::vector<uint8_t> record;
  if (int32_t r = ReadRecordAt(sector, record); r != 0) return r;
  const auto data = FindAttribute(record, geometry_.recordSize, kAttrData);
  if (!data || !data->nonResident) return kNtfsNotResident;
  const uint64_t clusters = geometry_.totalSectors / geometry_.sectorsPerCluster + 1;
  const uint64_t size =
      std::min({data->RealSize(), SatMul(TotalClusters(runs), geometry_.clusterBytes), (clusters + 7) / 8});
  map.reserve(static_cast<size_t>(size));
  return ReadRuns(runs, size, [&](ByteSpan piece) {
    map.insert(map.end(), piece.begin(), piece.end());
    return 0;
  });
}

}  // namespace snapsave
