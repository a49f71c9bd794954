#include "catalog/record_filter.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "os/clock.h"

namespace snapsave {

namespace {

char Fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

bool NameMatches(std::string_view pattern, std::string_view name) {
  // A run anywhere in the name is a whole-name match of "*pattern*". Greedy with one star to return to:
  // linear in practice and never worse than quadratic, whatever the pattern.
  size_t p = 0, n = 0;
  size_t starP = std::string_view::npos, starN = 0;
  auto at = [&](size_t i) { return i == 0 || i > pattern.size() ? '*' : pattern[i - 1]; };
  const size_t end = pattern.size() + 2;  // the pattern between two stars
  while (n < name.size()) {
    if (p < end && at(p) == '*') {
      starP = p++;
      starN = n;
    } else if (p < end && (at(p) == '?' || Fold(at(p)) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < end && at(p) == '*') ++p;
  return p == end;
}

std::optional<uint64_t> ParseSizeText(std::string_view text) {
  text = Trimmed(text);
  size_t digits = 0;
  while (digits < text.size() && ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.'))
    ++digits;
  if (digits == 0) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + digits, value);
  if (ec != std::errc{} || end != text.data() + digits) return std::nullopt;
  std::string_view unit = Trimmed(text.substr(digits));
  int shift = 0;
  if (!unit.empty()) {
    static constexpr std::string_view kUnits = "bkmgt";
    const size_t index = kUnits.find(Fold(unit.front()));
    if (index == std::string_view::npos) return std::nullopt;
    shift = static_cast<int>(index) * 10;
    unit.remove_prefix(1);
    // "KiB" as the program shows sizes, "KB" and "K" as people type them: all 1024-based.
    if (!unit.empty() && shift != 0 && Fold(unit.front()) == 'i') unit.remove_prefix(1);
    if (!unit.empty() && shift != 0 && Fold(unit.front()) == 'b') unit.remove_prefix(1);
    if (!unit.empty()) return std::nullopt;
  }
  const double bytes = std::ldexp(value, shift);
  if (!(bytes < 1.8e19)) return std::nullopt;
  return static_cast<uint64_t>(std::llround(bytes));
}

std::optional<uint64_t> ParseDateText(std::string_view text, bool endOfDay) {
  text = Trimmed(text);
  int parts[3] = {};
  const char* at = text.data();
  const char* const end = text.data() + text.size();
  for (int i = 0; i < 3; ++i) {
    const auto [next, ec] = std::from_chars(at, end, parts[i]);
    if (ec != std::errc{} || next == at) return std::nullopt;
    at = next;
    if (i < 2) {
      if (at == end || *at != '-') return std::nullopt;
      ++at;
    }
  }
  if (at != end) return std::nullopt;
  os::LocalTime day;
  day.year = parts[0];
  day.month = parts[1];
  day.day = parts[2];
  const uint64_t first = os::FileTimeOfCivilTime(day);
  if (first == 0) return std::nullopt;
  constexpr uint64_t kTicksPerDay = 864'000'000'000ull;
  return endOfDay ? first + kTicksPerDay - 1 : first;
}

bool RecordFilter::Matches(const FoundFileRecord& record) const {
  if (!name.empty() && !NameMatches(name, record.Name())) return false;
  if (record.isFolder != 0) return true;
  if (IsExistingFile(record) && !ShowsExisting()) return false;
  if ((minSize && record.fileSize < *minSize) || (maxSize && record.fileSize > *maxSize)) return false;
  if ((fromTime || toTime) && record.writeTime == 0) return false;  // an unknown date is in no range
  if ((fromTime && record.writeTime < *fromTime) || (toTime && record.writeTime > *toTime)) return false;
  switch (state) {
    case State::kAny:
      return true;
    case State::kDeleted:
      return WasDeleted(record).value_or(false);
    case State::kIntact:
      return record.isIntact != 0;
    case State::kDamaged:
      return record.isIntact == 0;
    case State::kNameGuessed:
      return (record.isDeleted & kDeletedNameGuessed) != 0;
    case State::kExisting:
      return IsExistingFile(record);
  }
  return true;
}

}  // namespace snapsave
