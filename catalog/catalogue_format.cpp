#include "catalog/catalogue_format.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "os/byte_reader.h"

namespace snapsave {

namespace {

constexpr std::string_view kEntryStart = " | ";
constexpr std::string_view kListStart = "- [";

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

void SkipSpaces(std::string_view text, size_t& pos) {
  while (pos < text.size() && text[pos] == ' ') ++pos;
}

// Reads a decimal number at `pos`, advancing past its digits. Values wrap modulo 2^64; the callers bound
// them.
bool ReadDecimal(std::string_view text, size_t& pos, uint64_t& value, bool& overflow) {
  value = 0;
  overflow = false;
  const size_t start = pos;
  while (pos < text.size() && IsDigit(text[pos])) {
    const auto digit = static_cast<uint64_t>(text[pos] - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
    value = value * 10 + digit;
    ++pos;
  }
  return pos > start;
}

}  // namespace

void AppendRelationEntry(std::string& out, FolderKey key, std::span<const uint32_t> ids) {
  char digits[24];
  out.append(kEntryStart);
  auto r = std::to_chars(digits, digits + sizeof(digits), key);
  out.append(digits, r.ptr);
  out.append(" - [");
  bool first = true;
  for (uint32_t id : ids) {
    if (!first) out.push_back(',');
    first = false;
    r = std::to_chars(digits, digits + sizeof(digits), id);
    out.append(digits, r.ptr);
  }
  out.push_back(']');
}

RelationMap ParseRelationText(std::span<const uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  RelationMap relations;
  std::vector<uint32_t> ids;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t entry = text.find(kEntryStart, pos);
    if (entry == std::string_view::npos) break;
    pos = entry + kEntryStart.size();

    // The key was written as a signed 64-bit number; a negative one is taken modulo 2^64 like the writer's
    // cast.
    SkipSpaces(text, pos);
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
      negative = text[pos] == '-';
      ++pos;
    }
    uint64_t key = 0;
    bool overflow = false;
    if (!ReadDecimal(text, pos, key, overflow) || overflow) continue;
    if (negative) key = 0 - key;

    const size_t list = text.find(kListStart, pos);
    if (list == std::string_view::npos) break;
    pos = list + kListStart.size();

    ids.clear();
    for (;;) {
      SkipSpaces(text, pos);
      uint64_t id = 0;
      const bool hasId = ReadDecimal(text, pos, id, overflow);
      const bool valid = hasId && !overflow && id <= std::numeric_limits<uint32_t>::max();
      if (pos >= text.size() || (text[pos] != ',' && text[pos] != ']')) break;  // cut off or garbage
      if (valid) ids.push_back(static_cast<uint32_t>(id));
      if (text[pos++] == ']') break;
    }
    // An exact-size copy: the lists are the bulk of a catalogue's memory.
    relations[key] = std::vector<uint32_t>(ids.begin(), ids.end());
  }
  return relations;
}

void EncodeFolderName(const FolderNameEntry& entry, std::span<uint8_t, kFolderNameRecordSize> out) {
  std::fill(out.begin(), out.end(), uint8_t{0});
  PutLe32(out, 0, entry.entryRef);
  PutLe32(out, 4, entry.recordId);
  size_t n = std::min(entry.name.size(), kRecordNameBytes - 1);
  if (n < entry.name.size()) {
    while (n > 0 && (static_cast<uint8_t>(entry.name[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(out.data() + 8, entry.name.data(), n);
}

std::vector<FolderNameEntry> ParseFolderNames(std::span<const uint8_t> bytes) {
  std::vector<FolderNameEntry> entries;
  entries.reserve(bytes.size() / kFolderNameRecordSize);
  for (size_t off = 0; Has(bytes, off, kFolderNameRecordSize); off += kFolderNameRecordSize) {
    ByteSpan rec = bytes.subspan(off, kFolderNameRecordSize);
    FolderNameEntry e;
    e.entryRef = Le32(rec, 0);
    e.recordId = Le32(rec, 4);
    const char* name = reinterpret_cast<const char*>(rec.data() + 8);
    const void* end = std::memchr(name, 0, kRecordNameBytes);
    e.name.assign(
        name, end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - name) : kRecordNameBytes);
    entries.push_back(std::move(e));
  }
  return entries;
}

}  // namespace snapsave
