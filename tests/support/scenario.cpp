#include "tests/support/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "catalog/saved_scan_store.h"
#include "os/paths.h"
#include "sessions/found_walk.h"
#include "sessions/recovery_session.h"
#include "sessions/scan_session.h"
#include "sessions/session.h"
#include "tests/support/test_support.h"

namespace snapsave::test {

namespace fs = std::filesystem;

namespace {

// A view nobody looks at: a recovery session runs to its end behind it.
class SilentView : public ProgressView {
 public:
  std::string Message(std::string_view) override { return {}; }
  void SetLine(ViewLine, const std::string&) override {}
  bool AskYesNo(std::string_view) override { return false; }
  void Close(int32_t) override {}
};

}  // namespace

Scenario ScanAndRecover(const fs::path& image, bool deep, const fs::path& out) {
  Scenario result;
  ScratchAppData appData;
  SavedScanStore store(os::ScanLogFolder(), [](const fs::path&, uint64_t) { return uint64_t{0}; });
  ScanTarget target;
  target.imagePath = image;
  target.imageDriveLetter = u'A';
  target.engine = DefaultEngineMaker(store)(target, deep);
  EXPECT_NE(target.engine, nullptr) << image;
  if (!target.engine) return result;
  result.scanned = target.engine->Scan({});
  std::vector<RecoveryItem> items;
  WalkMerged(*target.engine, [&](const FoundFileRecord& r, const std::string& path, const fs::path& folder) {
    if (r.isFolder != 0) return;
    result.files[path.substr(1) + std::string(r.Name())] = r;
    items.push_back({r, folder});
  });
  if (out.empty()) return result;
  SilentView view;
  RecoverySession recovery(view, {&target}, out, std::move(items));
  recovery.Start();
  recovery.Wait();
  result.recovered = CrcsBelow(out);
  return result;
}

// FIPS 180-4, for the fixtures whose manifests name their files by SHA-256 (no tool needed on any platform).
std::string Sha256Of(const fs::path& file) {
  static constexpr uint32_t kRound[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
      0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
      0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
      0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
      0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
      0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
      0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
  uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<uint8_t> m = ReadFile(file);
  const uint64_t bits = uint64_t{m.size()} * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (i * 8)));
  auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[64];
    for (size_t i = 0; i < 16; ++i)
      w[i] = uint32_t{m[block + 4 * i]} << 24 | uint32_t{m[block + 4 * i + 1]} << 16 |
             uint32_t{m[block + 4 * i + 2]} << 8 | m[block + 4 * i + 3];
    for (int i = 16; i < 64; ++i)
      w[i] = w[i - 16] + (rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3)) + w[i - 7] +
             (rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10));
    uint32_t v[8];
    std::copy(h, h + 8, v);
    for (int i = 0; i < 64; ++i) {
      const uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) +
                          ((v[4] & v[5]) ^ (~v[4] & v[6])) + kRound[i] + w[i];
      const uint32_t t2 =
          (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) + ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
      std::copy_backward(v, v + 7, v + 8);
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) h[i] += v[i];
  }
  std::string out;
  for (const uint32_t word : h) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", word);
    out += hex;
  }
  return out;
}

std::map<std::string, uint32_t> CrcsBelow(const fs::path& folder) {
  std::map<std::string, uint32_t> files;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(folder, ec)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), folder).generic_string()] = Crc(ReadFile(e.path()));
  }
  return files;
}

}  // namespace snapsave::test
