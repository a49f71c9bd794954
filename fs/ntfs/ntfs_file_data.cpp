#include "fs/ntfs/ntfs_file_data.h"

#include <algorithm>
#include <string_view>

#include "catalog/recovery_output.h"
#include "filetypes/file_type_catalogue.h"
#include "os/error.h"
#include "os/text.h"

namespace snapsave {

namespace {
// The volume helpers' negative results are not Win32 errors; callers get 87 for them.
int32_t HelperToError(int32_t r) {
  return r < 0 && r != ScanCancelled ? static_cast<int32_t>(err::kInvalidParameter) : r;
}
}  // namespace

RecordWalk WalkRecord(ByteSpan record) {
  RecordWalk w;
  AttributeWalker walker(record, RecordBytesInUse(record));
  while (auto a = walker.Next()) w.attributes.push_back(*a);
  w.ok = !walker.Broken();
  return w;
}

bool NtfsContentCheck(const NtfsVolume& volume, const FoundFileRecord& record, ByteSpan recordBytes) {
  const NtfsGeometry& g = volume.Geometry();
  const SectorReader& reader = volume.Reader();
  const auto data =
      FindAttribute(recordBytes, std::min(RecordBytesInUse(recordBytes), g.recordSize), kAttrData);
  const std::string_view ext = os::ExtensionOf(record.Name());
  if (data && !data->nonResident) {
    const ByteSpan value = data->Value();
    if (value.empty()) return false;
    if (ext.empty()) return true;
    return VerifyExtension(value, ext, &reader, g.sectorSize, record.entryLocation);
  }
  if (ext.empty()) return true;
  RunList runs;
  if (data) {
    DecodeRunList(data->bytes, runs);
  } else if (volume.FindAttributeRuns(record.entryLocation, kAttrData, runs) != 0) {
    return true;
  }
  if (runs.empty() || runs.front().sparse) return true;
  const uint64_t sector = volume.ClusterSector(runs.front().firstCluster);
  if (sector == 0) return true;
  std::vector<uint8_t> buffer(g.sectorSize);
  uint32_t got = 0;
  if (reader.ReadSectors(buffer, 1, sector, g.sectorSize, &got) != err::kSuccess || got == 0) return true;
  return VerifyExtension(buffer, ext, &reader, g.sectorSize, sector);
}

int32_t ReadNtfsFileData(const NtfsVolume& volume, const FoundFileRecord& record, uint64_t total,
                         const std::function<int32_t(ByteSpan)>& sink) {
  if (record.clusterSize > kMaxRecoveryClusterBytes && record.clusterSize != kNoClusterSize) {
    return static_cast<int32_t>(err::kWriteFault);
  }
  const uint64_t size = std::min(total, record.fileSize);
  std::vector<uint8_t> resident;
  const int32_t r = volume.ReadResidentData(record.entryLocation, resident);
  if (r == 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(resident.size(), size));
    return n == 0 ? 0 : sink(ByteSpan(resident).first(n));
  }
  if (r != kNtfsNotResident) return HelperToError(r);
  RunList runs;
  if (int32_t f = volume.FindAttributeRuns(record.entryLocation, kAttrData, runs); f != 0) {
    return HelperToError(f);
  }
  return volume.ReadRuns(runs, size, sink);
}

}  // namespace snapsave
