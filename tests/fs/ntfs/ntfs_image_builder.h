// Builds small synthetic NTFS volumes in memory for tests: a boot sector, an MFT of 1 KiB records and raw
// clusters, with helpers for the attributes the engines read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "os/byte_reader.h"

namespace snapsave::test {

class NtfsImageBuilder {
 public:
  static constexpr uint32_t kSectorSize = 512;
  static constexpr uint32_t kRecordSize = 1024;
  static constexpr uint64_t kMftCluster = 16;
  static constexpr uint64_t kMftRecords = 64;

  // 512-byte sectors, one sector per cluster, `totalSectors` in all.
  explicit NtfsImageBuilder(uint64_t totalSectors = 2048);

  std::vector<uint8_t>& Bytes() { return image_; }
  std::span<uint8_t> Boot() { return std::span(image_).first(512); }
  // Record `n` of the MFT (which lies in one run from kMftCluster).
  std::span<uint8_t> Record(uint64_t n);

  // Starts record `n`: "FILE", flags, first attribute at 56, number at 44. Attributes are appended with Add*.
  void BeginRecord(uint64_t n, uint16_t flags);
  void AddFileName(uint64_t n, uint32_t parent, const std::u16string& name, uint8_t nameSpace, uint64_t size);
  void AddResidentData(uint64_t n, const std::vector<uint8_t>& value);
  // A piece of a non-resident attribute mapping from `firstVcn`, named when `name` is not empty.
  void AddNonResident(uint64_t n, uint32_t type, const std::vector<uint8_t>& runList, uint64_t realSize,
                      uint64_t firstVcn = 0, const std::u16string& name = {});
  // Marks record `n` as an extension record of `base`.
  void SetBaseRecord(uint64_t n, uint64_t base);
  void AddRaw(uint64_t n, const std::vector<uint8_t>& attribute);
  // A resident attribute list whose entries name $DATA pieces: (record, first VCN, stream name).
  struct ListEntry {
    uint32_t record;
    uint64_t vcn;
    std::u16string name;
  };
  void AddDataAttributeList(uint64_t n, const std::vector<ListEntry>& entries);
  // Writes the end marker, bytes in use, and the update-sequence values (so a fixed-up read restores the
  // data).
  void EndRecord(uint64_t n);
  // A whole record with one Win32 name and size 0: BeginRecord, AddFileName, EndRecord.
  void AddNamedRecord(uint64_t n, uint16_t flags, uint32_t parent, const std::u16string& name);

  void WriteCluster(uint64_t cluster, const std::vector<uint8_t>& bytes);
  void Save(const std::filesystem::path& path) const;

 private:
  std::vector<uint8_t> image_;
  std::vector<size_t> fill_;
};

}  // namespace snapsave::test
