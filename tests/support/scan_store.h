// A scratch $XDG_DATA_HOME and the saved-scan store over its scan-log folder, for engines under test.
#pragma once

#include "catalog/saved_scan_store.h"
#include "os/paths.h"
#include "tests/support/test_support.h"

namespace snapsave::test {

class ScratchScanStore {
 public:
  explicit ScratchScanStore(SavedScanStore::FreeBytesQuery freeBytes = {})
      : store_(os::ScanLogFolder(), std::move(freeBytes)) {}
  const std::filesystem::path& path() const { return appData_.path(); }
  SavedScanStore& store() { return store_; }

 private:
  ScratchAppData appData_;  // first: the store's folder is below it
  SavedScanStore store_;
};

}  // namespace snapsave::test
