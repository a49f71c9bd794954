#include "tests/support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <random>

#include <gtest/gtest.h>
#include <zlib.h>

namespace snapsave::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device rd;
  for (;;) {
    path_ = fs::temp_directory_path() / ("snapsave-test-" + std::to_string(rd()));
    if (fs::create_directory(path_)) break;
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

ScratchAppData::ScratchAppData() {
  if (const char* old = std::getenv("XDG_DATA_HOME")) {
    previous_ = old;
    hadPrevious_ = true;
  }
  ::setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
}

ScratchAppData::~ScratchAppData() {
  if (hadPrevious_) {
    ::setenv("XDG_DATA_HOME", previous_.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
}

void WriteFile(const fs::path& path, std::span<const uint8_t> bytes) {
  if (path.has_parent_path()) fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return bytes;
}

fs::path Fixture(const std::string& name) {
  return fs::path(SNAPSAVE_FIXTURES_DIR) / name;
}

void GunzipFixture(const std::string& name, const fs::path& destination) {
  const fs::path source = Fixture(name);
  gzFile in = gzopen(source.c_str(), "rb");
  ASSERT_NE(in, nullptr) << source;
  std::ofstream out(destination, std::ios::binary | std::ios::trunc);
  std::vector<char> buf(1 << 16);
  int n = 0;
  while ((n = gzread(in, buf.data(), static_cast<unsigned>(buf.size()))) > 0) out.write(buf.data(), n);
  gzclose(in);
  ASSERT_EQ(n, 0) << "corrupt fixture " << source;
  ASSERT_TRUE(out.good()) << destination;
}

}  // namespace snapsave::test
