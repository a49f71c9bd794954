#include "sessions/found_walk.h"

#include <deque>
#include <set>
#include <tuple>
#include <utility>

#include "catalog/recovery_output.h"
#include "engines/engine_factory.h"
#include "filetypes/file_categories.h"
#include "os/text.h"

namespace snapsave {

namespace {
// Deeper than any real tree.
constexpr uint32_t kMaxDepth = 512;
}  // namespace

uint32_t WalkFound(IFileRecoveryParse& engine, const FoundVisitor& visit) {
  struct Level {
    RecordList list;
    uint32_t depth;  // of the listed items' children
    std::string path;
    std::filesystem::path folder;
  };
  RecordList root;
  if (uint32_t e = engine.ListFolder(nullptr, 0, root); e != err::kSuccess) return e;
  std::deque<Level> pending;
  pending.push_back({std::move(root), 1, "/", {}});
  std::set<std::tuple<uint32_t, uint32_t, uint32_t>> seen;
  while (!pending.empty()) {
    Level level = std::move(pending.front());
    pending.pop_front();
    for (const FoundFileRecord& r : level.list) {
      if (r.Kind() == SourceKind::kCarved && level.depth == 1) {
        const std::string category(ClassifyFileName(r.Name()));
        visit(r, "/" + category + "/", std::filesystem::path(category));
        continue;
      }
      visit(r, level.path, level.folder);
      if (r.isFolder == 0 || level.depth > kMaxDepth ||
          !seen.insert({r.sourceKind, level.depth, r.entryRef}).second)
        continue;
      RecordList children;
      if (engine.ListFolder(&r, static_cast<int32_t>(level.depth), children) != err::kSuccess) continue;
      pending.push_back({std::move(children), level.depth + 1, level.path + std::string(r.Name()) + "/",
                         level.folder / os::PathFromUtf8(SanitizeNameComponent(r.Name()))});
    }
  }
  return err::kSuccess;
}

uint32_t WalkMerged(IFileRecoveryParse& engine, const FoundVisitor& visit) {
  DeepScanControl* deep = engine.DeepControl();
  if (deep == nullptr) return WalkFound(engine, visit);
  deep->ClearMerge();
  const uint32_t noted = WalkFound(engine, [&](const FoundFileRecord& r, const std::string&,
                                               const std::filesystem::path&) { deep->NoteForMerge(r); });
  if (noted != err::kSuccess) return noted;
  const uint32_t walked = WalkFound(
      engine, [&](const FoundFileRecord& r, const std::string& path, const std::filesystem::path& folder) {
        if (deep->KeptInMerge(r)) visit(r, path, folder);
      });
  deep->ClearMerge();
  return walked;
}

}  // namespace snapsave
