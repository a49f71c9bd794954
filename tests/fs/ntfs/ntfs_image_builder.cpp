#include "tests/fs/ntfs/ntfs_image_builder.h"

#include <algorithm>
#include <fstream>

namespace snapsave::test {

NtfsImageBuilder::NtfsImageBuilder(uint64_t totalSectors)
    : image_(totalSectors * kSectorSize, 0), fill_(kMftRecords, 0) {
  auto b = Boot();
  const char oem[] = "NTFS    ";
  std::copy(oem, oem + 8, b.begin() + 3);
  PutLe16(b, 11, kSectorSize);
  b[13] = 1;
  PutLe64(b, 40, totalSectors - 1);
  PutLe64(b, 48, kMftCluster);
  b[510] = 0x55;
  b[511] = 0xAA;
  // Record 0: the MFT itself, one run covering all records.
  BeginRecord(0, 0x0001);
  AddNonResident(0, 0x80, {0x11, static_cast<uint8_t>(kMftRecords * 2), static_cast<uint8_t>(kMftCluster)},
                 kMftRecords * kRecordSize);
  EndRecord(0);
}

std::span<uint8_t> NtfsImageBuilder::Record(uint64_t n) {
  return std::span(image_).subspan((kMftCluster * kSectorSize) + n * kRecordSize, kRecordSize);
}

void NtfsImageBuilder::BeginRecord(uint64_t n, uint16_t flags) {
  auto r = Record(n);
  std::fill(r.begin(), r.end(), 0);
  const char sig[] = "FILE";
  std::copy(sig, sig + 4, r.begin());
  PutLe16(r, 4, 48);
  PutLe16(r, 6, 3);
  PutLe16(r, 20, 56);
  PutLe16(r, 22, flags);
  PutLe32(r, 28, kRecordSize);
  PutLe32(r, 44, static_cast<uint32_t>(n));
  fill_[n] = 56;
}

void NtfsImageBuilder::AddRaw(uint64_t n, const std::vector<uint8_t>& attribute) {
  auto r = Record(n);
  std::copy(attribute.begin(), attribute.end(), r.begin() + static_cast<std::ptrdiff_t>(fill_[n]));
  fill_[n] += attribute.size();
}

void NtfsImageBuilder::AddDataAttributeList(uint64_t n, const std::vector<ListEntry>& entries) {
  std::vector<uint8_t> v;
  for (const ListEntry& e : entries) {
    std::vector<uint8_t> x(32 + 2 * e.name.size() + 6, 0);
    PutLe32(x, 0, 0x80);
    PutLe16(x, 4, static_cast<uint16_t>(x.size()));
    x[6] = static_cast<uint8_t>(e.name.size());
    x[7] = 26;
    PutLe64(x, 8, e.vcn);
    PutLe32(x, 16, e.record);
    for (size_t i = 0; i < e.name.size(); ++i) PutLe16(x, 26 + 2 * i, e.name[i]);
    v.insert(v.end(), x.begin(), x.end());
  }
  std::vector<uint8_t> a((24 + v.size() + 7) / 8 * 8, 0);
  PutLe32(a, 0, 0x20);
  PutLe32(a, 4, static_cast<uint32_t>(a.size()));
  PutLe32(a, 16, static_cast<uint32_t>(v.size()));
  PutLe16(a, 20, 24);
  std::copy(v.begin(), v.end(), a.begin() + 24);
  AddRaw(n, a);
}

namespace {
std::vector<uint8_t> Resident(uint32_t type, const std::vector<uint8_t>& value) {
  const size_t length = (24 + value.size() + 7) / 8 * 8;
  std::vector<uint8_t> a(length, 0);
  PutLe32(a, 0, type);
  PutLe32(a, 4, static_cast<uint32_t>(length));
  PutLe32(a, 16, static_cast<uint32_t>(value.size()));
  PutLe16(a, 20, 24);
  std::copy(value.begin(), value.end(), a.begin() + 24);
  return a;
}
}  // namespace

void NtfsImageBuilder::AddFileName(uint64_t n, uint32_t parent, const std::u16string& name, uint8_t nameSpace,
                                   uint64_t size) {
  std::vector<uint8_t> v(66 + 2 * name.size(), 0);
  PutLe32(v, 0, parent);
  PutLe16(v, 6, 1);  // sequence number
  PutLe64(v, 8, 0x01D0000000000001ULL);
  PutLe64(v, 16, 0x01D0000000000002ULL);
  PutLe64(v, 32, 0x01D0000000000003ULL);
  PutLe64(v, 48, size);
  v[64] = static_cast<uint8_t>(name.size());
  v[65] = nameSpace;
  for (size_t i = 0; i < name.size(); ++i) PutLe16(v, 66 + 2 * i, name[i]);
  AddRaw(n, Resident(0x30, v));
}

void NtfsImageBuilder::AddResidentData(uint64_t n, const std::vector<uint8_t>& value) {
  AddRaw(n, Resident(0x80, value));
}

void NtfsImageBuilder::AddNonResident(uint64_t n, uint32_t type, const std::vector<uint8_t>& runList,
                                      uint64_t realSize, uint64_t firstVcn, const std::u16string& name) {
  const size_t runsAt = (64 + 2 * name.size() + 7) / 8 * 8;
  const size_t length = (runsAt + runList.size() + 1 + 7) / 8 * 8;
  std::vector<uint8_t> a(length, 0);
  PutLe32(a, 0, type);
  PutLe32(a, 4, static_cast<uint32_t>(length));
  a[8] = 1;
  a[9] = static_cast<uint8_t>(name.size());
  PutLe16(a, 10, 64);
  for (size_t i = 0; i < name.size(); ++i) PutLe16(a, 64 + 2 * i, name[i]);
  PutLe64(a, 16, firstVcn);
  PutLe16(a, 32, static_cast<uint16_t>(runsAt));
  PutLe64(a, 40, realSize);
  PutLe64(a, 48, realSize);
  PutLe64(a, 56, realSize);
  std::copy(runList.begin(), runList.end(), a.begin() + static_cast<std::ptrdiff_t>(runsAt));
  AddRaw(n, a);
}

void NtfsImageBuilder::SetBaseRecord(uint64_t n, uint64_t base) {
  PutLe64(Record(n), 32, base);
}

void NtfsImageBuilder::EndRecord(uint64_t n) {
  auto r = Record(n);
  PutLe32(r, fill_[n], 0xFFFFFFFF);
  PutLe32(r, 24, static_cast<uint32_t>(fill_[n] + 8));
  // Update sequence: the real tails move into the array, the sequence number takes their place.
  const uint16_t usn = 0x0101;
  PutLe16(r, 48, usn);
  for (size_t i = 0; i < 2; ++i) {
    const size_t tail = (i + 1) * kSectorSize - 2;
    PutLe16(r, 50 + 2 * i, Le16(r, tail));
    PutLe16(r, tail, usn);
  }
}

void NtfsImageBuilder::WriteCluster(uint64_t cluster, const std::vector<uint8_t>& bytes) {
  std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(cluster * kSectorSize));
}

void NtfsImageBuilder::Save(const std::filesystem::path& path) const {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(image_.data()), static_cast<std::streamsize>(image_.size()));
}

void NtfsImageBuilder::AddNamedRecord(uint64_t n, uint16_t flags, uint32_t parent,
                                      const std::u16string& name) {
  BeginRecord(n, flags);
  AddFileName(n, parent, name, 1, 0);
  EndRecord(n);
}

}  // namespace snapsave::test
