#include "fs/ntfs/ntfs_volume.h"

#include <algorithm>
#include <optional>
#include <set>

#include "os/error.h"

namespace snapsave {

namespace {
// A longer attribute list would describe a file of absurd fragmentation; reading stops there.
constexpr uint64_t kMaxAttributeListBytes = 256 * 1024;
// Headers whose update sequence starts before this offset predate the record-number field.
constexpr uint16_t kRecordNumberEnd = 48;
}  // namespace

bool ReadNtfsBootSector(const SectorReader& reader, uint64_t volumeStart, uint64_t volumeSectors,
                        uint32_t sectorSize, std::vector<uint8_t>& boot) {
  if (sectorSize == 0 || sectorSize > kNtfsBootReadBytes) return false;
  auto bootAt = [&](uint64_t at) {
    boot.assign(std::max<uint32_t>(sectorSize, 512), 0);
    uint32_t got = 0;
    reader.ReadSectors(boot, 1, SatAdd(volumeStart, at), sectorSize, &got);
    return got == 1 && IsNtfsBootSector(boot);
  };
  return bootAt(0) || (volumeSectors > 1 && bootAt(volumeSectors - 1));
}

NtfsVolume::NtfsVolume(const SectorReader& reader, uint64_t volumeStart, const NtfsGeometry& geometry)
    : reader_(reader), volumeStart_(volumeStart), geometry_(geometry) {}

int32_t NtfsVolume::LoadMftRuns() {
  RunList runs;
  // The MFT's own record, or its copy in $MFTMirr when that cannot be read (a bad sector, torn fixups).
  uint64_t base = geometry_.mftStartSector;
  int32_t r = FindAttributeRuns(base, kAttrData, runs);
  if (r != 0 && r != kNtfsAttributeAbsent && geometry_.mftMirrorStartSector != geometry_.mftStartSector) {
    RunList mirrored;
    if (FindAttributeRuns(geometry_.mftMirrorStartSector, kAttrData, mirrored) == 0) {
      base = geometry_.mftMirrorStartSector;
      runs = std::move(mirrored);
      r = 0;
    }
  }
  mftRuns_ = std::move(runs);
  if (r != 0) return r;
  // A very fragmented MFT continues in extension records, which can only be located once the base record's
  // runs are known.
  runs.clear();
  r = FindAttributeRuns(base, kAttrData, runs);
  if (r == 0 && TotalClusters(runs) > TotalClusters(mftRuns_)) mftRuns_ = std::move(runs);
  return 0;
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
  std::vector<uint8_t> record;
  if (int32_t r = ReadRecordAt(sector, record); r != 0) return r;
  std::optional<Attribute> first;
  std::optional<Attribute> list;
  AttributeWalker walker(record, geometry_.recordSize);
  while (auto a = walker.Next()) {
    if (a->type == type && !first) first = a;
    if (a->type == kAttrAttributeList && !list) list = a;
  }
  // A resident attribute has no clusters.
  if (first && !first->nonResident) return 0;
  std::vector<uint8_t> listValue;
  if (list) ReadAttributeList(*list, listValue);
  const std::vector<AttributeListEntry> entries = ParseAttributeList(listValue);
  // The list is sorted by type, then name: its first entry of the type names the attribute wanted, as the
  // base record's first attribute of the type does when there is no list.
  const auto named =
      std::ranges::find_if(entries, [&](const AttributeListEntry& e) { return e.type == type; });
  if (named == entries.end()) {
    if (!first) return kNtfsAttributeAbsent;
    DecodeRunList(first->bytes, out);
    return 0;
  }
  const ByteSpan name = named->name;
  std::vector<Piece> pieces;
  CollectPieces(record, type, name, pieces);
  // Each record once, the base record only as read above, so a list naming itself or looping ends here.
  const uint32_t self = RecordNumber(record);
  const bool selfKnown = Le16(record, 4) >= kRecordNumberEnd;
  std::set<uint64_t> visited{self};
  std::vector<uint8_t> extension;
  for (const AttributeListEntry& e : entries) {
    if (e.type != type || !std::ranges::equal(e.name, name) || !visited.insert(e.record).second) continue;
    if (ReadRecordAt(RecordSector(e.record), extension) != 0) continue;
    // A record reused since by another file holds that file's data, not this one's.
    if (selfKnown && (Le64(extension, 32) & 0xFFFFFFFFFFFFULL) != self) continue;
    CollectPieces(extension, type, name, pieces);
  }
  if (pieces.empty()) return kNtfsAttributeAbsent;
  // Pieces map consecutive VCN ranges; order them so the runs follow the file, and drop repeats of a start.
  std::ranges::stable_sort(pieces, {}, &Piece::firstVcn);
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0 && pieces[i].firstVcn == pieces[i - 1].firstVcn) continue;
    out.insert(out.end(), pieces[i].runs.begin(), pieces[i].runs.end());
  }
  return 0;
}

void NtfsVolume::ReadAttributeList(const Attribute& list, std::vector<uint8_t>& value) const {
  value.clear();
  if (!list.nonResident) {
    const ByteSpan v = list.Value();
    value.assign(v.begin(), v.end());
    return;
  }
  RunList runs;
  DecodeRunList(list.bytes, runs);
  const uint64_t bytes = std::min(list.RealSize(), kMaxAttributeListBytes);
  ReadRuns(runs, bytes, [&](ByteSpan piece) {
    value.insert(value.end(), piece.begin(), piece.end());
    return 0;
  });
}

void NtfsVolume::CollectPieces(ByteSpan record, uint32_t type, ByteSpan name, std::vector<Piece>& out) const {
  AttributeWalker walker(record, geometry_.recordSize);
  while (auto a = walker.Next()) {
    if (a->type != type || !a->nonResident || !std::ranges::equal(a->Name(), name)) continue;
    Piece p{a->FirstVcn(), {}};
    DecodeRunList(a->bytes, p.runs);
    out.push_back(std::move(p));
  }
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
  // Sparse runs and runs that name the same clusters again could claim more than the medium holds; the boot
  // sector's total may be crafted too, so the bound is what the medium itself holds.
  uint64_t remaining = std::min(bytes, SatMul(reader_.TotalSectors(), reader_.DeviceSectorSize()));
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
