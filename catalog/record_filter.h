// Narrowing a list of found files: by name, size, modified date and state. The desktop results and their
// counts use one filter, so that what a type or folder says it holds is what its list shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "catalog/found_file_record.h"

namespace snapsave {

// Whether `name` holds a run that matches `pattern`: `*` stands for any characters, `?` for one, letters
// match in either case (ASCII). An empty pattern matches every name.
bool NameMatches(std::string_view pattern, std::string_view name);

// "1500", "10 KB", "1.5 MB", "2g" (binary units, as the size column shows them); nothing for anything else.
std::optional<uint64_t> ParseSizeText(std::string_view text);
// "2026-12-01" as a FILETIME: that day's first tick, or with `endOfDay` its last; nothing for a date that is
// not a calendar day.
std::optional<uint64_t> ParseDateText(std::string_view text, bool endOfDay);

struct RecordFilter {
  enum class State { kAny, kDeleted, kIntact, kDamaged, kNameGuessed, kExisting };

  std::string name;
  std::optional<uint64_t> minSize, maxSize;  // bytes, both inclusive
  std::optional<uint64_t> fromTime, toTime;  // FILETIME of the last write, both inclusive
  State state = State::kAny;
  // Files that still exist on their volume are shown (by default only deleted and lost ones are); the state
  // kExisting shows them regardless.
  bool existing = false;

  // Narrows nothing but, perhaps, the existing files.
  bool IsEmpty() const {
    return name.empty() && !minSize && !maxSize && !fromTime && !toTime && state == State::kAny;
  }
  // Whether an existing file is shown, whatever else the filter asks.
  bool ShowsExisting() const { return existing || state == State::kExisting; }
  bool operator==(const RecordFilter&) const = default;
  // Folders pass on their name alone: the others say nothing of a folder.
  bool Matches(const FoundFileRecord& record) const;
};

}  // namespace snapsave
