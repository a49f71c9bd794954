#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

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

namespace snapsave::test {

uint32_t Crc(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

uint32_t CrcField(const std::string& hex) {
  return static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
}

std::vector<std::vector<std::string>> FixtureRows(const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(Fixture(name));
  EXPECT_TRUE(in.is_open()) << name;
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string>& row = rows.emplace_back();
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) row.push_back(field);
  }
  return rows;
}

std::vector<ManifestFile> ReadManifest(const std::string& name) {
  std::vector<ManifestFile> files;
  for (const auto& row : FixtureRows(name)) {
    if (row.size() < 3) continue;
    files.push_back({row[0], std::stoull(row[1]), CrcField(row[2]), row.size() > 3 && row[3] == "deleted"});
  }
  return files;
}

std::vector<FlsFile> StoredFls(const std::string& name) {
  std::vector<FlsFile> files;
  for (const auto& row : FixtureRows(name)) {
    // "r/r * 842-128-2:" or "-/r 4:": the type, a star for a deleted name, the address.
    if (row.size() < 2 || !(row[0].starts_with("r/r") || row[0].starts_with("-/r"))) continue;
    const bool deleted = row[0].find(" * ") != std::string::npos;
    const std::string address = row[0].substr(deleted ? 6 : 4);
    files.push_back({row[1], row.size() > 2 ? std::stoull(row[2]) : 0, std::stoull(address), deleted});
  }
  return files;
}

std::vector<std::filesystem::path> MakeEwfSet(const std::filesystem::path& raw,
                                              const std::filesystem::path& folder, const std::string& name,
                                              const std::string& segmentBytes) {
  std::filesystem::create_directories(folder);
  const std::string command =
      "cd '" + folder.string() + "' && ewfacquirestream -q -t '" + name + "' -c none -S " + segmentBytes +
      " -C case -D fixture -E 1 -e tests -N none < '" + raw.string() + "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) return {};
  std::vector<std::filesystem::path> segments;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind(name + ".E", 0) == 0) segments.push_back(entry.path());
  }
  std::sort(segments.begin(), segments.end());
  return segments;
}

std::optional<size_t> FindInFile(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  const std::vector<uint8_t> all = ReadFile(path);
  const auto at = std::search(all.begin(), all.end(), bytes.begin(), bytes.end());
  if (at == all.end()) return std::nullopt;
  return static_cast<size_t>(at - all.begin());
}

}  // namespace snapsave::test
