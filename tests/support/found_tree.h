// Walks an engine's found tree from the root down, as a front end would.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "catalog/file_recovery_parse.h"

namespace snapsave::test {

// Found path ("dir/dir/name") -> record, for every item reachable through ListFolder; files that still exist
// only with `existing`, as the front ends list them. `listed` counts every item kept, so that a path listed
// twice shows.
inline std::map<std::string, FoundFileRecord> FoundTree(IFileRecoveryParse& engine, size_t* listed = nullptr,
                                                        bool existing = false) {
  std::map<std::string, FoundFileRecord> out;
  struct Level {
    FoundFileRecord folder;
    int32_t depth;
    std::string path;
  };
  RecordList root;
  EXPECT_EQ(engine.ListFolder(nullptr, 0, root), 0u);
  auto skipped = [existing](const FoundFileRecord& r) { return !existing && IsExistingFile(r); };
  std::erase_if(root, skipped);
  std::vector<Level> pending;
  for (const auto& r : root) {
    out[std::string(r.Name())] = r;
    if (r.isFolder) pending.push_back({r, 1, std::string(r.Name()) + "/"});
  }
  if (listed != nullptr) *listed = root.size();
  for (size_t i = 0; i < pending.size() && i < 100000; ++i) {
    RecordList children;
    EXPECT_EQ(engine.ListFolder(&pending[i].folder, pending[i].depth, children), 0u);
    std::erase_if(children, skipped);
    if (listed != nullptr) *listed += children.size();
    for (const auto& r : children) {
      out[pending[i].path + std::string(r.Name())] = r;
      if (r.isFolder)
        pending.push_back({r, pending[i].depth + 1, pending[i].path + std::string(r.Name()) + "/"});
    }
  }
  return out;
}

}  // namespace snapsave::test
