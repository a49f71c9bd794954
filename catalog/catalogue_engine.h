// The part every cataloguing engine shares: its found files live in a FoundFileCatalogue opened in the folder
// of the saved-scan store it was handed, and listing, counting, paths and searches are answered from there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "catalog/file_recovery_parse.h"
#include "catalog/found_file_catalogue.h"
#include "catalog/recovery_output.h"
#include "catalog/saved_scan_store.h"

namespace snapsave {

// The run of free clusters at or after volume-relative `sector`, for NextUnallocatedRun: clusters of
// `sectorsPerCluster` sectors from `dataStart`, `clusters` of them, `used(i)` telling cluster index i (0 for
// the first data cluster) in use. `sector` and `length` come back as the run; past the last run `sector` is
// the volume's end and `length` 0.
template <typename Used>
void NextFreeClusterRun(uint64_t& sector, uint64_t& length, uint64_t dataStart, uint64_t sectorsPerCluster,
                        uint64_t clusters, uint64_t volumeSectors, Used&& used) {
  length = 0;
  const uint64_t rel = sector > dataStart ? sector - dataStart : 0;
  uint64_t index = rel / sectorsPerCluster;
  while (index < clusters && used(index)) ++index;
  if (sector >= volumeSectors || index >= clusters) {
    sector = volumeSectors;
    return;
  }
  const uint64_t position = index == rel / sectorsPerCluster ? rel : index * sectorsPerCluster;
  uint64_t end = index;
  while (end < clusters && !used(end)) ++end;
  length = end * sectorsPerCluster - position;
  sector = position + dataStart;
  if (sector >= volumeSectors) {
    length = 0;
  } else if (length > volumeSectors - sector) {
    length = volumeSectors - sector;
  }
}

class CatalogueEngine : public IFileRecoveryParse {
 public:
  explicit CatalogueEngine(SavedScanStore& store) : store_(store) {}
  ~CatalogueEngine() override = default;
  CatalogueEngine(const CatalogueEngine&) = delete;
  CatalogueEngine& operator=(const CatalogueEngine&) = delete;

  // The folder's records through FolderKeyOf; with no catalogue yet, nothing.
  uint32_t ListFolder(const FoundFileRecord* folder, int32_t depth, RecordList& out) override;
  uint32_t CountFolderFiles(const FoundFileRecord* folder, int32_t depth, uint32_t& outCount) override;
  uint64_t GetRecordCount() override;
  uint32_t GetRecordPath(const FoundFileRecord* record, std::string& outPath) override;
  uint32_t GetRecordAncestors(const FoundFileRecord* record, RecordList& out) override;
  uint32_t SetSearchCallback(SearchProgressCallback callback, void* context) override;
  uint32_t SearchByType(std::string_view extensionList, RecordList& out) override;

  // Sees every record this engine's catalogues reserve from now on.
  void ObserveRecords(FoundFileCatalogue::RecordObserver observer);

 protected:
  // The catalogue key of the records filed in (depth, folder); null folder with depth 0 is the root. A Win32
  // error for a request the engine cannot answer.
  virtual uint32_t FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const = 0;

  // RecoverRecord of an engine that reads a file's bytes with `read` (at most `total` of them, to a sink): a
  // file is written from what it delivers, a folder with everything below it.
  using RecordReader =
      std::function<int32_t(const FoundFileRecord& record, uint64_t total, const PieceSink& sink)>;
  int32_t RecoverThrough(const FoundFileRecord& record, const std::filesystem::path& destination,
                         const RecordReader& read);

  // Opens `logName` in the store's current folder.
  uint32_t OpenCatalogueFile(FoundFileCatalogue& catalogue, std::string_view logName,
                             FoundFileCatalogue::Mode mode) const;

  SavedScanStore& store_;
  EngineCallbacks callbacks_;
  std::unique_ptr<FoundFileCatalogue> catalogue_;

 private:
  FoundFileCatalogue::RecordObserver observer_;
};

}  // namespace snapsave
