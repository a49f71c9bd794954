// The two side files of a catalogue, as bytes: the "_Relation" text (which records each folder holds) and the
// "_DirInfo" folder-name records. Pure functions over spans, so tests and fuzzers need no files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/found_file_record.h"

namespace snapsave {

// Folder key -> record ids in the order they were filed.
using RelationMap = std::map<FolderKey, std::vector<uint32_t>>;

// Appends one entry: " | <key> - [<id>,<id>,...]".
void AppendRelationEntry(std::string& out, FolderKey key, std::span<const uint32_t> ids);

// Reads relation text. Garbage between entries is skipped; a key seen twice keeps its last list; an entry cut
// off before its "]" keeps the ids that were followed by a ",".
RelationMap ParseRelationText(std::span<const uint8_t> text);

// One "_DirInfo" record, 268 bytes: entryRef u32, recordId u32, 260-byte NUL-terminated name.
inline constexpr size_t kFolderNameRecordSize = 268;

struct FolderNameEntry {
  uint32_t entryRef = 0;
  uint32_t recordId = 0;
  std::string name;
};

// The name is cut at a character boundary so that its terminator always fits.
void EncodeFolderName(const FolderNameEntry& entry, std::span<uint8_t, kFolderNameRecordSize> out);
// Every complete record of `bytes`; a trailing partial record is ignored.
std::vector<FolderNameEntry> ParseFolderNames(std::span<const uint8_t> bytes);

}  // namespace snapsave
