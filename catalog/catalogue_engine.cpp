#include "catalog/catalogue_engine.h"

namespace snapsave {

int32_t CatalogueEngine::RecoverThrough(const FoundFileRecord& record,
                                        const std::filesystem::path& destination, const RecordReader& read) {
  const auto writeOne = [&](const FoundFileRecord& file, const std::filesystem::path& path) {
    return WriteFoundFile(callbacks_, file, path,
                          [&](uint64_t total, const PieceSink& sink) { return read(file, total, sink); });
  };
  if (record.isFolder == 0) return writeOne(record, destination);
  if (!catalogue_) return static_cast<int32_t>(err::kInvalidParameter);
  return RecoverFoundFolder(*this, *catalogue_, record, destination, writeOne);
}

uint32_t CatalogueEngine::ListFolder(const FoundFileRecord* folder, int32_t depth, RecordList& out) {
  FolderKey key = 0;
  if (uint32_t e = FolderKeyOf(folder, depth, key); e != err::kSuccess) return e;
  if (!catalogue_) return err::kSuccess;
  return catalogue_->ListFolder(key, out);
}

uint32_t CatalogueEngine::CountFolderFiles(const FoundFileRecord* folder, int32_t depth, uint32_t& outCount) {
  outCount = 0;
  FolderKey key = 0;
  if (uint32_t e = FolderKeyOf(folder, depth, key); e != err::kSuccess) return e;
  if (!catalogue_) return err::kSuccess;
  return catalogue_->CountFiles(key, outCount);
}

uint64_t CatalogueEngine::GetRecordCount() {
  return catalogue_ ? catalogue_->GetRecordCount() : 0;
}

uint32_t CatalogueEngine::GetRecordPath(const FoundFileRecord* record, std::string& outPath) {
  outPath.clear();
  if (!catalogue_) return err::kInvalidParameter;
  return catalogue_->GetRecordPath(record, outPath);
}

uint32_t CatalogueEngine::GetRecordAncestors(const FoundFileRecord* record, RecordList& out) {
  out.clear();
  if (!catalogue_ || record == nullptr) return err::kInvalidParameter;
  return catalogue_->CollectAncestors(record, out);
}

uint32_t CatalogueEngine::SetSearchCallback(SearchProgressCallback callback, void* context) {
  callbacks_.search = callback;
  callbacks_.searchContext = context;
  return 0;
}

uint32_t CatalogueEngine::SearchByType(std::string_view extensionList, RecordList& out) {
  if (!catalogue_) return 0;
  // The catalogue reads the callback only while it searches: it gets the one set last, whenever it was made.
  catalogue_->SetSearchCallback(callbacks_.search, callbacks_.searchContext);
  return catalogue_->SearchByType(extensionList, out);
}

uint32_t CatalogueEngine::OpenCatalogueFile(FoundFileCatalogue& catalogue, std::string_view logName,
                                            FoundFileCatalogue::Mode mode) const {
  catalogue.SetObserver(observer_);
  return catalogue.OpenIn(store_.CurrentFolder(), logName, mode);
}

void CatalogueEngine::ObserveRecords(FoundFileCatalogue::RecordObserver observer) {
  observer_ = std::move(observer);
  if (catalogue_) catalogue_->SetObserver(observer_);
}

}  // namespace snapsave
