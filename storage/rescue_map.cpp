#include "storage/rescue_map.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <system_error>

#include "os/error.h"
#include "os/file.h"

namespace snapsave {

namespace {

bool IsBlockStatus(char c) {
  return c == '?' || c == '*' || c == '/' || c == '-' || c == '+';
}
bool IsPhase(char c) {
  return IsBlockStatus(c) || c == 'F' || c == 'G';
}

// A number as ddrescue writes it (hex with 0x) or as a user may (decimal); nothing when it is neither.
std::optional<uint64_t> ParseNumber(const std::string& word) {
  if (word.empty() || word.size() > 20) return std::nullopt;
  const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  uint64_t value = 0;
  for (size_t i = hex ? 2 : 0; i < word.size(); ++i) {
    const char c = word[i];
    uint64_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<uint64_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<uint64_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    const uint64_t base = hex ? 16 : 10;
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

}  // namespace

RescueMap::RescueMap(uint64_t size) : size_(size) {
  if (size != 0) ranges_.push_back({0, size, BlockStatus::kNonTried});
}

void RescueMap::Set(uint64_t pos, uint64_t size, BlockStatus status) {
  if (pos >= size_ || size == 0) return;
  const uint64_t end = pos + std::min(size, size_ - pos);
  std::vector<Range> out;
  out.reserve(ranges_.size() + 2);
  auto add = [&out](Range r) {
    if (r.size == 0) return;
    if (!out.empty() && out.back().status == r.status && out.back().pos + out.back().size == r.pos) {
      out.back().size += r.size;
    } else {
      out.push_back(r);
    }
  };
  bool placed = false;
  for (const Range& r : ranges_) {
    const uint64_t rEnd = r.pos + r.size;
    if (rEnd <= pos || r.pos >= end) {
      if (!placed && r.pos >= end) {
        add({pos, end - pos, status});
        placed = true;
      }
      add(r);
      continue;
    }
    if (r.pos < pos) add({r.pos, pos - r.pos, r.status});
    if (!placed) {
      add({pos, end - pos, status});
      placed = true;
    }
    if (rEnd > end) add({end, rEnd - end, r.status});
  }
  if (!placed) add({pos, end - pos, status});
  ranges_ = std::move(out);
}

uint64_t RescueMap::Bytes(BlockStatus status) const {
  uint64_t n = 0;
  for (const Range& r : ranges_) n += r.status == status ? r.size : 0;
  return n;
}

std::optional<RescueMap::Range> RescueMap::NextWith(BlockStatus status, uint64_t pos) const {
  for (const Range& r : ranges_) {
    if (r.status == status && r.pos + r.size > pos) return r;
  }
  return std::nullopt;
}

std::optional<RescueMap::Range> RescueMap::PreviousWith(BlockStatus status, uint64_t end) const {
  for (auto it = ranges_.rbegin(); it != ranges_.rend(); ++it) {
    if (it->status == status && it->pos < end) return *it;
  }
  return std::nullopt;
}

std::string RescueMap::Text(std::string_view commandLine) const {
  std::string text = "# Mapfile. Created by Snapsave\n# Command line: ";
  for (char c : commandLine) text += c == '\n' || c == '\r' ? ' ' : c;
  text += "\n# current_pos  current_status  current_pass\n";
  char line[96];
  std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               %d\n", position,
                static_cast<char>(phase), pass);
  text += line;
  text += "#      pos        size  status\n";
  for (const Range& r : ranges_) {
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", r.pos, r.size,
                  static_cast<char>(r.status));
    text += line;
  }
  return text;
}

std::optional<RescueMap> RescueMap::Parse(std::string_view text, uint64_t size, uint64_t* extent) {
  RescueMap map(size);
  std::vector<Range> ranges;
  std::istringstream lines{std::string(text)};
  bool header = false;
  uint64_t expected = 0;  // where the next range must start
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string a, b, c;
    words >> a >> b >> c;
    if (a.empty()) continue;
    if (!header) {
      const std::optional<uint64_t> pos = ParseNumber(a);
      if (!pos || b.size() != 1 || !IsPhase(b[0])) return std::nullopt;
      map.position = *pos;
      map.phase = IsBlockStatus(b[0]) ? static_cast<RescuePhase>(b[0]) : RescuePhase::kCopying;
      const std::optional<uint64_t> pass = c.empty() ? std::optional<uint64_t>(1) : ParseNumber(c);
      map.pass = pass && *pass >= 1 && *pass <= 1000 ? static_cast<int>(*pass) : 1;
      header = true;
      continue;
    }
    const std::optional<uint64_t> pos = ParseNumber(a), length = ParseNumber(b);
    if (!pos || !length || c.size() != 1 || !IsBlockStatus(c[0])) return std::nullopt;
    if (*pos != expected || *length == 0 || *length > size || *pos > size - *length) return std::nullopt;
    // In order and contiguous: appended, joined to an equal neighbour (Set would cost a pass per line).
    const auto status = static_cast<BlockStatus>(c[0]);
    if (!ranges.empty() && ranges.back().status == status) {
      ranges.back().size += *length;
    } else {
      ranges.push_back({*pos, *length, status});
    }
    expected = *pos + *length;
  }
  if (!header) return std::nullopt;
  if (extent != nullptr) *extent = expected;
  if (expected < size) {
    if (!ranges.empty() && ranges.back().status == BlockStatus::kNonTried) {
      ranges.back().size += size - expected;
    } else {
      ranges.push_back({expected, size - expected, BlockStatus::kNonTried});
    }
  }
  map.ranges_ = std::move(ranges);
  return map;
}

uint32_t RescueMap::Save(const std::filesystem::path& path, std::string_view commandLine) const {
  const std::string text = Text(commandLine);
  return os::ReplaceFile(path, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::optional<RescueMap> RescueMap::Load(const std::filesystem::path& path, uint64_t size, uint64_t* extent) {
  constexpr uint64_t kMaxMapBytes = uint64_t{64} << 20;
  os::File file;
  if (file.OpenRead(path) != err::kSuccess) return std::nullopt;
  uint64_t bytes = 0;
  if (file.Size(bytes) != err::kSuccess || bytes > kMaxMapBytes) return std::nullopt;
  std::string text(static_cast<size_t>(bytes), '\0');
  size_t got = 0;
  if (file.ReadFullAt(0, std::span(reinterpret_cast<uint8_t*>(text.data()), text.size()), got) !=
      err::kSuccess)
    return std::nullopt;
  text.resize(got);
  return Parse(text, size, extent);
}

std::vector<RescueMap::Range> RescueMap::Unrescued() const {
  std::vector<Range> out;
  for (const Range& r : ranges_) {
    if (r.status == BlockStatus::kFinished) continue;
    if (!out.empty() && out.back().pos + out.back().size == r.pos) {
      out.back().size += r.size;
    } else {
      out.push_back(r);
    }
  }
  return out;
}

std::optional<MapBeside> FindRescueMapBeside(const std::filesystem::path& image, uint64_t imageBytes) {
  if (imageBytes == 0) return std::nullopt;
  std::filesystem::path withSuffix = image;
  withSuffix += ".map";
  std::filesystem::path stem = image;
  stem.replace_extension(".map");
  for (const std::filesystem::path& path : {withSuffix, stem}) {
    uint64_t extent = 0;
    std::optional<RescueMap> map = RescueMap::Load(path, imageBytes, &extent);
    // A map of another copy (another size) says nothing of this image.
    if (map && extent == imageBytes) return MapBeside{path, std::move(*map)};
  }
  return std::nullopt;
}

}  // namespace snapsave
