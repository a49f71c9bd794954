#include "tests/support/scenario.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "catalog/saved_scan_store.h"
#include "os/paths.h"
#include "os/sha256.h"
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

Scenario ScanAndRecover(const fs::path& image, bool deep, const fs::path& out, bool all) {
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
    if (r.isFolder != 0 || (!all && IsExistingFile(r))) return;
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

std::string Sha256Of(const fs::path& file) {
  std::string hex;
  return os::Sha256OfFile(file, hex) == 0 ? hex : std::string();
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
