// MFT "FILE" records: update-sequence fixups, the attribute walk and the attributes the engines read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/byte_reader.h"

namespace snapsave {

inline constexpr uint32_t kAttrStandardInformation = 0x10;
inline constexpr uint32_t kAttrAttributeList = 0x20;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

inline constexpr uint16_t kRecordInUse = 0x0001;
inline constexpr uint16_t kRecordIsFolder = 0x0002;

inline constexpr uint32_t kMftRecordMft = 0;
inline constexpr uint32_t kMftRecordRoot = 5;
inline constexpr uint32_t kMftRecordBitmap = 6;
inline constexpr uint32_t kFirstUserRecord = 12;

inline bool HasFileSignature(ByteSpan record) {
  return BytesEqual(record, 0, "FILE");
}
inline uint16_t RecordFlags(ByteSpan record) {
  return Le16(record, 22);
}
inline uint32_t RecordBytesInUse(ByteSpan record) {
  return Le32(record, 24);
}
inline uint32_t RecordNumber(ByteSpan record) {
  return Le32(record, 44);
}

// Writes the update-sequence values (from offset 50) over the last two bytes of each of the record's sectors.
// Records whose first byte is 0 are left alone.
void ApplyFixups(std::span<uint8_t> record, uint32_t sectorSize, uint32_t sectorsPerRecord);

// "FILE", bytes in use within the expected size, allocated size equal to it, and the update-sequence number
// repeated at the end of the first 512 bytes (checked before fixups).
bool IsPlausibleFileRecord(ByteSpan buffer, uint32_t expectedSize);
// A sector of NTFS metadata that ends any file a carver is measuring: a file record, an index or log page,
// the secure descriptors' stream, or a boot sector.
bool IsNtfsMetadataSector(ByteSpan sector);

// One attribute, entirely inside the record.
struct Attribute {
  uint32_t type = 0;
  bool nonResident = false;
  uint8_t nameLength = 0;
  ByteSpan bytes;  // the whole attribute

  // Resident value; lies inside `bytes`.
  ByteSpan Value() const;
  // Non-resident: real size of the data (meaningful in the piece that starts at VCN 0).
  uint64_t RealSize() const { return Le64(bytes, 48); }
  // Non-resident: the first VCN this piece maps.
  uint64_t FirstVcn() const { return Le64(bytes, 16); }
  // UTF-16LE name bytes; the walker checked that they lie inside the attribute.
  ByteSpan Name() const {
    return nameLength == 0 ? ByteSpan{} : bytes.subspan(Le16(bytes, 10), nameLength * 2u);
  }
};

// Walks the attributes of a fixed-up record from its first-attribute offset up to `limit` bytes (never beyond
// the span). Ends at type 0, at 0xFDFDFDFD and above (the end marker and the filler), and at the first
// attribute whose length, name or value would leave the limit: what lies past a broken attribute cannot be
// trusted.
class AttributeWalker {
 public:
  AttributeWalker(ByteSpan record, size_t limit);
  std::optional<Attribute> Next();
  // True when the walk ended on something that would have left the record rather than on an end marker.
  bool Broken() const { return broken_; }

 private:
  ByteSpan record_;
  size_t limit_;
  size_t pos_;
  bool done_ = false;
  bool broken_ = false;
};

// First attribute of `type`, walking up to `limit`.
std::optional<Attribute> FindAttribute(ByteSpan record, size_t limit, uint32_t type);

// The $FILE_NAME value fields the engines use.
struct FileNameInfo {
  uint32_t parent = 0;  // low 32 bits of the parent reference
  uint64_t creationTime = 0;
  uint64_t writeTime = 0;
  uint64_t accessTime = 0;
  uint64_t realSize = 0;
  uint8_t nameSpace = 0;  // 1 = long (Windows) name, 2 = DOS alias
  std::u16string name;
};
// Empty when the value is too short for its name.
std::optional<FileNameInfo> ParseFileName(const Attribute& attribute);
// A record's name as its first readable file-name attribute gives it (with its times and parent), the name
// taken from a later long (Windows) one where there is one: the first is often the DOS alias.
std::optional<FileNameInfo> RecordName(std::span<const Attribute> attributes);

// One attribute-list entry.
struct AttributeListEntry {
  uint32_t type = 0;
  uint64_t firstVcn = 0;
  uint64_t record = 0;  // 48-bit record number
  ByteSpan name;        // UTF-16LE, inside the list value; empty when it would leave the entry
};
// Entries of an attribute list's value; an entry whose length is too short or leaves the value ends the list.
std::vector<AttributeListEntry> ParseAttributeList(ByteSpan value);

}  // namespace snapsave
