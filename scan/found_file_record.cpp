#include "scan/found_file_record.h"

#include <algorithm>
#include <cstring>

#include "os/byte_reader.h"
#include "os/text.h"

namespace snapsave {

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
  PutLe16(out, 0, r.driveLetter);
  PutLe32(out, 2, r.sourceKind);
  PutLe32(out, 6, r.isFolder);
  PutLe32(out, 10, r.isDeleted);
  PutLe32(out, 14, r.isIntact);
  PutLe32(out, 18, r.recordId);
  PutLe32(out, 22, r.entryRef);
  PutLe32(out, 26, r.clusterSize);
  PutLe64(out, 30, r.creationTime);
  PutLe64(out, 38, r.accessTime);
  PutLe64(out, 46, r.writeTime);
  PutLe64(out, 54, r.fileSize);
  PutLe64(out, 62, r.dataStartSector);
  PutLe64(out, 70, r.entryLocation);
  PutLe64(out, 78, r.volumeStartSector);
  std::memcpy(out.data() + 86, r.name, kRecordNameBytes);
}

FoundFileRecord DecodeRecord(std::span<const uint8_t, kRecordSize> in) {
  FoundFileRecord r = MakeEmptyRecord();
  r.driveLetter = Le16(in, 0);
  r.sourceKind = Le32(in, 2);
  r.isFolder = Le32(in, 6);
  r.isDeleted = Le32(in, 10);
  r.isIntact = Le32(in, 14);
  r.recordId = Le32(in, 18);
  r.entryRef = Le32(in, 22);
  r.clusterSize = Le32(in, 26);
  r.creationTime = Le64(in, 30);
  r.accessTime = Le64(in, 38);
  r.writeTime = Le64(in, 46);
  r.fileSize = Le64(in, 54);
  r.dataStartSector = Le64(in, 62);
  r.entryLocation = Le64(in, 70);
  r.volumeStartSector = Le64(in, 78);
  std::memcpy(r.name, in.data() + 86, kRecordNameBytes);
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
