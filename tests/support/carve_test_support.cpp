#include "tests/support/carve_test_support.h"

#include <gtest/gtest.h>

namespace snapsave::test {

SectorImage::SectorImage(const std::vector<uint8_t>& bytes) : bytes_(bytes) {
  WriteFile(dir_.path() / "image.img", bytes_);
  EXPECT_EQ(reader_.OpenFile(dir_.path() / "image.img"), 0u);
}

std::vector<uint8_t> SectorImage::Sector(uint64_t n) const {
  std::vector<uint8_t> s(512, 0);
  for (size_t i = 0; i < 512 && n * 512 + i < bytes_.size(); ++i) s[i] = bytes_[n * 512 + i];
  return s;
}

std::vector<uint8_t> FixtureHead(const std::string& name) {
  TempDir dir;
  GunzipFixture("carve/heads/" + name + ".gz", dir.path() / name);
  return ReadFile(dir.path() / name);
}

std::vector<uint8_t> Media(const std::string& name) {
  TempDir dir;
  GunzipFixture("carve/media/" + name + ".gz", dir.path() / name);
  return ReadFile(dir.path() / name);
}

}  // namespace snapsave::test
