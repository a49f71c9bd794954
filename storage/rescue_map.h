// The state of a rescue copy as GNU ddrescue keeps it in its mapfile: the current position, phase and pass,
// then the copied stretch as ranges of one status each. Written beside the image, so that an interrupted copy
// resumes where it stopped and ddrescuelog and ddrescueview can show it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace snapsave {

// Status characters of the mapfile.
enum class BlockStatus : char {
  kNonTried = '?',
  kNonTrimmed = '*',  // failed in a large read; its edges not yet read sector by sector
  kNonScraped = '/',  // between trimmed edges; not yet read sector by sector
  kBad = '-',         // a sector that failed on its own
  kFinished = '+',
};

// What the copy was doing: "copying", "trimming", "scraping", "retrying", "finished".
enum class RescuePhase : char {
  kCopying = '?',
  kTrimming = '*',
  kScraping = '/',
  kRetrying = '-',
  kFinished = '+'
};

class RescueMap {
 public:
  struct Range {
    uint64_t pos = 0;
    uint64_t size = 0;
    BlockStatus status = BlockStatus::kNonTried;
  };

  RescueMap() = default;
  // `size` bytes, none tried.
  explicit RescueMap(uint64_t size);

  // Gives [pos, pos + size) the status `status` (clipped to the map), joining equal neighbours.
  void Set(uint64_t pos, uint64_t size, BlockStatus status);
  // In order of position, covering [0, Size()) without gaps.
  const std::vector<Range>& Ranges() const { return ranges_; }
  uint64_t Size() const { return size_; }
  // Bytes with `status`.
  uint64_t Bytes(BlockStatus status) const;
  // The first range with `status` that ends after `pos`, or none.
  std::optional<Range> NextWith(BlockStatus status, uint64_t pos) const;
  // The last range with `status` that starts before `end`, or none.
  std::optional<Range> PreviousWith(BlockStatus status, uint64_t end) const;

  uint64_t position = 0;
  RescuePhase phase = RescuePhase::kCopying;
  int pass = 1;

  // The mapfile's text; `commandLine` goes into its header comment.
  std::string Text(std::string_view commandLine) const;
  // A mapfile's text for a stretch of `size` bytes: nothing when it is malformed, overlaps, leaves gaps, or
  // runs past `size` (ranges it does not reach stay non-tried). `extent`: where its ranges end.
  static std::optional<RescueMap> Parse(std::string_view text, uint64_t size, uint64_t* extent = nullptr);

  // Writes the mapfile to `path` through a temporary file beside it, flushed and renamed over it, so that a
  // crash leaves the old map or the new one, never half of one. 0 or the Win32 error.
  uint32_t Save(const std::filesystem::path& path, std::string_view commandLine) const;
  // Reads `path`; nothing when it is missing or unusable.
  static std::optional<RescueMap> Load(const std::filesystem::path& path, uint64_t size,
                                       uint64_t* extent = nullptr);
  // The stretches not rescued (whatever their status), in order.
  std::vector<Range> Unrescued() const;

 private:
  uint64_t size_ = 0;
  std::vector<Range> ranges_;
};

// The map of the rescue copy that made an image, kept beside it (IMAGE.map, or ddrescue's usual STEM.map):
// the first that describes exactly `imageBytes` bytes, or none.
struct MapBeside {
  std::filesystem::path path;
  RescueMap map;
};
std::optional<MapBeside> FindRescueMapBeside(const std::filesystem::path& image, uint64_t imageBytes);

}  // namespace snapsave
