#include "tests/support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <random>

#include <gtest/gtest.h>
#include <zlib.h>

#ifdef _WIN32
#include <windows.h>
#endif

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

namespace {
#ifdef _WIN32
// The portable-run folder, which the program takes before the roaming application data.
constexpr const char* kAppDataVariable = "SNAPSAVE_APPDATA";
void SetVariable(const char* name, const char* value) {
  ::SetEnvironmentVariableA(name, value);
}
#else
constexpr const char* kAppDataVariable = "XDG_DATA_HOME";
void SetVariable(const char* name, const char* value) {
  if (value != nullptr) {
    ::setenv(name, value, 1);
  } else {
    ::unsetenv(name);
  }
}
#endif
}  // namespace

ScratchAppData::ScratchAppData() {
  if (const char* old = std::getenv(kAppDataVariable)) {
    previous_ = old;
    hadPrevious_ = true;
  }
  SetVariable(kAppDataVariable, dir_.path().string().c_str());
}

ScratchAppData::~ScratchAppData() {
  SetVariable(kAppDataVariable, hadPrevious_ ? previous_.c_str() : nullptr);
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
#ifdef _WIN32
  gzFile in = gzopen_w(source.c_str(), "rb");
#else
  gzFile in = gzopen(source.c_str(), "rb");
#endif
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
