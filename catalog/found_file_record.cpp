#include "catalog/found_file_record.h"

#include <algorithm>
#include <cstring>

#include "os/byte_reader.h"
#include "os/text.h"

namespace snapsave {

std::optional<bool> WasDeleted(const FoundFileRecord& r) {
  const bool marked = (r.isDeleted & 1) != 0;
  if (r.isFolder != 0) return marked;
  if ((r.isDeleted & kExistingFile) != 0) return false;
  switch (r.Kind()) {
    case SourceKind::kFatQuick:
    case SourceKind::kNtfsQuick:
    case SourceKind::kExfatQuick:
    case SourceKind::kExtQuick:
    case SourceKind::kXfsQuick:
    case SourceKind::kBtrfsQuick:
      return true;
    case SourceKind::kCarved:
      return std::nullopt;
    case SourceKind::kNtfsDeep:
      // Freed records are marked; one in use cannot tell (a formatted volume's old table holds them too).
      return marked ? std::optional<bool>(true) : std::nullopt;
    default:
      // Every other engine marks its deleted files.
      return marked;
  }
}

std::string_view FoundFileRecord::Name() const {
  const void* end = std::memchr(name, 0, sizeof(name));
  size_t n = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - name) : sizeof(name);
  return {name, n};
}

void FoundFileRecord::SetName(std::string_view text) {
  size_t n = std::min(text.size(), sizeof(name) - 1);
  // Do not split a UTF-8 sequence: back up over continuation bytes.
  if (n < text.size()) {
    while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) --n;
  }
  std::memset(name, 0, sizeof(name));
  std::memcpy(name, text.data(), n);
}

FoundFileRecord MakeEmptyRecord() {
  FoundFileRecord r;
  std::memset(&r, 0, sizeof(r));
  return r;
}

void EncodeRecord(const FoundFileRecord& r, std::span<uint8_t, kRecordSize> out) {
  namespace L = record_layout;
  PutLe16(out, L::kDriveLetter, r.driveLetter);
  PutLe32(out, L::kSourceKind, r.sourceKind);
  PutLe32(out, L::kIsFolder, r.isFolder);
  PutLe32(out, L::kIsDeleted, r.isDeleted);
  PutLe32(out, L::kIsIntact, r.isIntact);
  PutLe32(out, L::kRecordId, r.recordId);
  PutLe32(out, L::kEntryRef, r.entryRef);
  PutLe32(out, L::kClusterSize, r.clusterSize);
  PutLe64(out, L::kCreationTime, r.creationTime);
  PutLe64(out, L::kAccessTime, r.accessTime);
  PutLe64(out, L::kWriteTime, r.writeTime);
  PutLe64(out, L::kFileSize, r.fileSize);
  PutLe64(out, L::kDataStartSector, r.dataStartSector);
  PutLe64(out, L::kEntryLocation, r.entryLocation);
  PutLe64(out, L::kVolumeStartSector, r.volumeStartSector);
  std::memcpy(out.data() + L::kName, r.name, kRecordNameBytes);
}

FoundFileRecord DecodeRecord(std::span<const uint8_t, kRecordSize> in) {
  namespace L = record_layout;
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = Le16(in, L::kDriveLetter);
  r.sourceKind = Le32(in, L::kSourceKind);
  r.isFolder = Le32(in, L::kIsFolder);
  r.isDeleted = Le32(in, L::kIsDeleted);
  r.isIntact = Le32(in, L::kIsIntact);
  r.recordId = Le32(in, L::kRecordId);
  r.entryRef = Le32(in, L::kEntryRef);
  r.clusterSize = Le32(in, L::kClusterSize);
  r.creationTime = Le64(in, L::kCreationTime);
  r.accessTime = Le64(in, L::kAccessTime);
  r.writeTime = Le64(in, L::kWriteTime);
  r.fileSize = Le64(in, L::kFileSize);
  r.dataStartSector = Le64(in, L::kDataStartSector);
  r.entryLocation = Le64(in, L::kEntryLocation);
  r.volumeStartSector = Le64(in, L::kVolumeStartSector);
  std::memcpy(r.name, in.data() + L::kName, kRecordNameBytes);
  return r;
}

bool RecordLess(const FoundFileRecord& a, const FoundFileRecord& b) {
  const bool af = a.isFolder != 0;
  const bool bf = b.isFolder != 0;
  if (af != bf) return !af;  // files first
  std::string_view an = a.Name();
  std::string_view bn = b.Name();
  size_t n = std::min(an.size(), bn.size());
  for (size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(os::AsciiLower(an[i]));
    auto cb = static_cast<unsigned char>(os::AsciiLower(bn[i]));
    if (ca != cb) return ca < cb;
  }
  return an.size() < bn.size();
}

void SortRecordList(RecordList& list) {
  if (list.size() >= 2) std::stable_sort(list.begin(), list.end(), RecordLess);
}

}  // namespace snapsave
