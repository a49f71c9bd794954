// Sector images for the carving tests: byte vectors written to a scratch file and served by a SectorReader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/sector_reader.h"
#include "tests/support/test_support.h"

namespace snapsave::test {

class SectorImage {
 public:
  explicit SectorImage(const std::vector<uint8_t>& bytes);
  const SectorReader& reader() const { return reader_; }
  std::filesystem::path path() const { return dir_.path() / "image.img"; }
  // The 512-byte sector `n` as stored.
  std::vector<uint8_t> Sector(uint64_t n) const;

 private:
  TempDir dir_;
  std::vector<uint8_t> bytes_;
  SectorReader reader_;
};

// The first 8 KiB of a real file from tests/fixtures/carve/heads.
std::vector<uint8_t> FixtureHead(const std::string& name);
// A whole real media file from tests/fixtures/carve/media.
std::vector<uint8_t> Media(const std::string& name);

}  // namespace snapsave::test
