#include "fs/ntfs/ntfs_record.h"

#include <algorithm>
#include <string_view>

namespace snapsave {

namespace {
constexpr size_t kAttributeHeaderBytes = 16;
constexpr size_t kResidentHeaderBytes = 24;
constexpr size_t kNonResidentHeaderBytes = 56;  // up to and including the real size at 48
constexpr size_t kFileNameNameOffset = 66;      // within the $FILE_NAME value
constexpr size_t kListEntryMinBytes = 26;
}  // namespace

void ApplyFixups(std::span<uint8_t> record, uint32_t sectorSize, uint32_t sectorsPerRecord) {
  if (record.empty() || record[0] == 0 || sectorSize < 2) return;
  for (uint32_t i = 0; i < sectorsPerRecord; ++i) {
    const size_t from = 50 + 2 * size_t{i};
    const size_t to = (size_t{i} + 1) * sectorSize - 2;
    if (!Has(record, from, 2) || !Has(record, to, 2)) return;
    record[to] = record[from];
    record[to + 1] = record[from + 1];
  }
}

bool IsPlausibleFileRecord(ByteSpan b, uint32_t expectedSize) {
  return HasFileSignature(b) && Has(b, 0, 512) && Le32(b, 24) <= expectedSize &&
         Le32(b, 28) == expectedSize && Le16(b, 48) == Le16(b, 510);
}

ByteSpan Attribute::Value() const {
  if (nonResident) return {};
  const uint32_t length = Le32(bytes, 16);
  const uint16_t offset = Le16(bytes, 20);
  if (!Has(bytes, offset, length)) return {};
  return bytes.subspan(offset, length);
}

AttributeWalker::AttributeWalker(ByteSpan record, size_t limit)
    : record_(record), limit_(std::min(limit, record.size())), pos_(Le16(record, 20)) {}

std::optional<Attribute> AttributeWalker::Next() {
  if (done_) return std::nullopt;
  done_ = true;
  if (pos_ >= limit_ || limit_ - pos_ < 8) return std::nullopt;
  const uint32_t type = Le32(record_, pos_);
  if (type == 0 || type >= 0xFDFDFDFD) return std::nullopt;
  const uint32_t length = Le32(record_, pos_ + 4);
  if (length == 0) return std::nullopt;
  broken_ = true;
  if (length < kAttributeHeaderBytes || length > limit_ - pos_) return std::nullopt;
  Attribute a;
  a.type = type;
  a.bytes = record_.subspan(pos_, length);
  a.nonResident = Le8(a.bytes, 8) != 0;
  a.nameLength = Le8(a.bytes, 9);
  if (a.nameLength > 0 && !Has(a.bytes, Le16(a.bytes, 10), size_t{a.nameLength} * 2)) return std::nullopt;
  if (a.nonResident) {
    if (length < kNonResidentHeaderBytes || Le16(a.bytes, 32) > length) return std::nullopt;
  } else {
    if (length < kResidentHeaderBytes || !Has(a.bytes, Le16(a.bytes, 20), Le32(a.bytes, 16)))
      return std::nullopt;
  }
  broken_ = false;
  done_ = false;
  pos_ += length;
  return a;
}

std::optional<Attribute> FindAttribute(ByteSpan record, size_t limit, uint32_t type) {
  AttributeWalker walker(record, limit);
  while (auto a = walker.Next()) {
    if (a->type == type) return a;
  }
  return std::nullopt;
}

std::optional<FileNameInfo> ParseFileName(const Attribute& attribute) {
  if (attribute.nonResident) return std::nullopt;
  // Fields are read at fixed attribute offsets (value at 24); the value bounds the name.
  const ByteSpan value = attribute.Value();
  if (value.size() < kFileNameNameOffset) return std::nullopt;
  FileNameInfo info;
  info.parent = Le32(value, 0);
  info.creationTime = Le64(value, 8);
  info.writeTime = Le64(value, 16);
  info.accessTime = Le64(value, 32);
  info.realSize = Le64(value, 48);
  const uint8_t chars = Le8(value, 64);
  info.nameSpace = Le8(value, 65);
  if (!Has(value, kFileNameNameOffset, size_t{chars} * 2)) return std::nullopt;
  info.name.reserve(chars);
  for (size_t i = 0; i < chars; ++i) info.name.push_back(static_cast<char16_t>(Le16(value, 66 + 2 * i)));
  return info;
}

std::optional<FileNameInfo> RecordName(std::span<const Attribute> attributes) {
  std::optional<FileNameInfo> found;
  for (const Attribute& a : attributes) {
    if (a.type != kAttrFileName) continue;
    std::optional<FileNameInfo> info = ParseFileName(a);
    if (!info) continue;
    if (!found) {
      found = std::move(info);
    } else if (info->nameSpace == 1) {
      found->name = std::move(info->name);
    }
  }
  return found;
}

std::vector<AttributeListEntry> ParseAttributeList(ByteSpan value) {
  std::vector<AttributeListEntry> entries;
  size_t pos = 0;
  while (Has(value, pos, kListEntryMinBytes)) {
    const uint16_t length = Le16(value, pos + 4);
    if (length < kListEntryMinBytes || !Has(value, pos, length)) break;
    AttributeListEntry e;
    e.type = Le32(value, pos);
    e.firstVcn = Le64(value, pos + 8);
    const size_t nameBytes = size_t{Le8(value, pos + 6)} * 2;
    const size_t nameOffset = Le8(value, pos + 7);
    if (nameBytes > 0 && nameOffset + nameBytes <= length)
      e.name = value.subspan(pos + nameOffset, nameBytes);
    e.record = uint64_t{Le32(value, pos + 16)} | (uint64_t{Le16(value, pos + 20)} << 32);
    entries.push_back(e);
    pos += length;
  }
  return entries;
}

bool IsNtfsMetadataSector(ByteSpan s) {
  if (s.size() < 32) return false;
  if (BytesEqual(s, 0, "FILE") || BytesEqual(s, 0, "INDX")) return true;
  const std::string_view text(reinterpret_cast<const char*>(s.data()), s.size());
  if (BytesEqual(s, 0, "RSTR") && text.find(std::string_view("N\0T\0F\0S\0", 8)) != std::string_view::npos)
    return true;
  if (BytesEqual(s, 0, std::string_view("$\0S\0T\0A\0", 8))) return true;
  return s[0] == 0xEB && s[2] == 0x90 && BytesEqual(s, 3, "NTFS    ");
}

}  // namespace snapsave
