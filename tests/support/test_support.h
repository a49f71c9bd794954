// Helpers shared by the unit tests: scratch folders and in-memory images.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace snapsave::test {

// A fresh folder under the system temporary folder, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Points $XDG_DATA_HOME at a scratch folder while alive, so the scan-log folder is private to the test.
class ScratchAppData {
 public:
  ScratchAppData();
  ~ScratchAppData();
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// Writes `bytes` to `path` (creating folders).
void WriteFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);
std::vector<uint8_t> ReadFile(const std::filesystem::path& path);

// A path to the fixture `name` under tests/fixtures.
std::filesystem::path Fixture(const std::string& name);

// Decompresses the gzip fixture `name` (e.g. "fat/fat32.img.gz") to `destination`; fails the test on error.
void GunzipFixture(const std::string& name, const std::filesystem::path& destination);

// An EWF set of `raw` as ewfacquirestream writes it, uncompressed in segments of `segmentBytes`
// ("1MiB"): folder/name.E01, .E02 ... The segment paths, or none when the tool is missing.
std::vector<std::filesystem::path> MakeEwfSet(const std::filesystem::path& raw,
                                              const std::filesystem::path& folder, const std::string& name,
                                              const std::string& segmentBytes);
// Where `bytes` first occur in the file `path`; nothing when they do not.
std::optional<size_t> FindInFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);

uint32_t Crc(std::span<const uint8_t> bytes);
// The CRC-32 of a manifest's hexadecimal field.
uint32_t CrcField(const std::string& hex);

// The tab-separated fields of each line of a fixture file ("fat/card-formatted.manifest").
std::vector<std::vector<std::string>> FixtureRows(const std::string& name);

// A line of a fixture's manifest: "path<TAB>size<TAB>crc32[<TAB>deleted|live]".
struct ManifestFile {
  std::string path;
  uint64_t size = 0;
  uint32_t crc = 0;
  bool deleted = false;
};
std::vector<ManifestFile> ReadManifest(const std::string& name);

// A regular file of a stored `fls -r -p -l | cut -f1,2,7` listing (size 0 where stored without -l).
struct FlsFile {
  std::string path;
  uint64_t size = 0;
  uint64_t inode = 0;
  bool deleted = false;
};
std::vector<FlsFile> StoredFls(const std::string& name);

}  // namespace snapsave::test
