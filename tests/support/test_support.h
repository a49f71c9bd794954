// Helpers shared by the unit tests: scratch folders and in-memory images.
#pragma once

#include <cstdint>
#include <filesystem>
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

}  // namespace snapsave::test
