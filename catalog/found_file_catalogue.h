// An engine's on-disk store of found records: the records file, the "_Relation" text file (which records each
// folder holds) and the "_DirInfo" file (folder names). Only the relations and folder names stay in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalog/catalogue_format.h"
#include "catalog/file_recovery_parse.h"
#include "catalog/found_file_record.h"
#include "os/clock.h"
#include "os/file.h"

namespace snapsave {

// The kinds of catalogue, named after the engine that fills them.
// The first part of a catalogue's log name, by the engine that writes it. A deep engine of another file
// system brings its own.
namespace log_prefix {
inline constexpr std::string_view kFast = "Fast_";
inline constexpr std::string_view kFileType = "File_Type_";
inline constexpr std::string_view kProFat = "Pro_Fat_";
inline constexpr std::string_view kProNtfs = "Pro_Ntfs_";
inline constexpr std::string_view kProExfat = "Pro_Exfat_";
}  // namespace log_prefix

// "Fast_%lld_%d%d%d%d%2d" and its sisters: volume start, then year, month, day, hour and a minute
// right-aligned in two characters.
std::string MakeLogName(std::string_view prefix, uint64_t volumeStartSector, const os::LocalTime& time);

// "1.50 KB", "1023 Bytes", "3.00 GB".
std::string FormatSize(int64_t bytes);

class FoundFileCatalogue {
 public:
  static constexpr uint32_t kBufferCapacity = 200 * kRecordSize;  // 69200
  static constexpr size_t kFolderNameSize = 268;

  FoundFileCatalogue() = default;
  ~FoundFileCatalogue();
  FoundFileCatalogue(const FoundFileCatalogue&) = delete;
  FoundFileCatalogue& operator=(const FoundFileCatalogue&) = delete;

  // kResume reopens a saved scan and keeps what its files hold; kFresh empties them first. A fresh scan needs
  // kFresh: log names only go down to the minute, so an earlier scan of the same volume may own the name.
  enum class Mode { kResume, kFresh };

  // Opens or creates the three files of `logName` in `folder` (an engine's: the current folder of its
  // saved-scan store) and loads the relations and folder names.
  uint32_t OpenIn(const std::filesystem::path& folder, std::string_view logName, Mode mode = Mode::kResume);

  // Appends `record` with the next record number, which is stored into record.recordId and returned. In a
  // reopened catalogue the numbers continue after the records already in the file. 0 when numbers ran out.
  uint32_t ReserveRecord(FoundFileRecord& record);
  // Called with each record as it is reserved (a deep scan learns from it which sectors start known files).
  using RecordObserver = std::function<void(const FoundFileRecord&)>;
  void SetObserver(RecordObserver observer) { observer_ = std::move(observer); }
  // Files `recordId` under (depth, parentRef). With a folder name, the record is a folder whose own entryRef
  // is `entryRef`.
  void AddToFolder(uint32_t parentRef, uint32_t depth, uint32_t recordId, uint32_t entryRef,
                   std::optional<std::string_view> folderName = std::nullopt);
  // Writes buffered records and rewrites the relation and folder files. Also reports a write failure of an
  // earlier full buffer.
  uint32_t Flush();

  // Key 0 lists the first (smallest) key. Appends copies, hides damaged photos, then sorts all of `out`.
  // Ids that name no stored record (a damaged relation file) are skipped.
  uint32_t ListFolder(FolderKey key, RecordList& out);
  uint32_t CountFiles(FolderKey key, uint32_t& outCount);
  // Records reserved since the catalogue was opened.
  uint32_t GetRecordCount() const { return recordCount_; }
  // Records in the file, those of a reopened catalogue included.
  uint32_t TotalRecords() const { return baseRecords_ + recordCount_; }
  // Back to the first `count` records of a reopened catalogue: later records, their filings and folder
  // names are dropped, on disk too; new ids continue after `count`. 0 or the error of writing.
  uint32_t KeepRecords(uint32_t count);
  // Flush, then wait until the records are on the medium.
  uint32_t SyncRecords();
  uint32_t FindFolderRecord(uint32_t entryRef, FoundFileRecord& out);
  // Ancestor folders of `record`, nearest first.
  uint32_t CollectAncestors(const FoundFileRecord* record, RecordList& out);
  // Folder names from the farthest ancestor down, each followed by '/'.
  uint32_t GetRecordPath(const FoundFileRecord* record, std::string& out);
  // 1 when it ran (also when the callback stopped it), 0 when the records could not be read.
  uint32_t SearchByType(std::string_view extensionList, RecordList& out);
  uint32_t SetSearchCallback(SearchProgressCallback callback, void* context);

  // The entryRef of every folder filed with a name, in filing order.
  std::vector<uint32_t> FolderEntryRefs() const;

  const std::filesystem::path& RecordsPath() const { return recordsPath_; }

 private:
  void Reset();
  // Writes the buffered records; a failure is kept for the next Flush.
  void WriteBuffer();
  // Rewrites the relation and folder files when something was filed since they were last written.
  uint32_t WriteSideFiles();
  // Calls `visit` with each readable record of `ids`, in order; consecutive ids are read together.
  template <typename Visit>
  uint32_t ReadRecords(std::span<const uint32_t> ids, Visit&& visit) const;
  const std::vector<uint32_t>* ListOf(FolderKey key) const;
  // The key whose list holds `recordId`, searched in key order.
  // The folder key whose list holds the record (the first, as the relation map orders them), through an index
  // built on first use after the relations change: a path is asked for each file listed.
  std::optional<FolderKey> KeyHolding(uint32_t recordId) const;
  // Drops the index and the folder records kept for paths; the relations changed.
  void ForgetIndex();

  RecordObserver observer_;
  std::vector<uint8_t> writeBuffer_;
  uint32_t bufferFill_ = 0;
  // Records already in the file when it was opened: new ids continue after them, so id n always lives at
  // (n - 1) * 346 even in a reopened catalogue.
  uint32_t baseRecords_ = 0;
  uint32_t recordCount_ = 0;
  uint64_t recordBytes_ = 0;
  uint32_t pendingError_ = 0;
  bool sideFilesDirty_ = false;
  size_t foldersWritten_ = 0;
  os::File recordsFile_;
  os::File relationFile_;
  os::File folderFile_;
  SearchProgressCallback searchCallback_ = nullptr;
  void* searchContext_ = nullptr;
  std::filesystem::path recordsPath_;
  std::filesystem::path relationPath_;
  std::filesystem::path folderPath_;
  RelationMap relations_;
  std::vector<FolderNameEntry> folders_;
  mutable std::unordered_map<uint32_t, FolderKey> holders_;
  mutable bool holdersStale_ = true;
  // Where in folders_ the first name of each folder reference is; emptied with the index.
  std::unordered_map<uint32_t, size_t> namedIndex_;
  bool namedStale_ = true;
  // Folder records looked up by their reference for paths, or why none was found; emptied with the index.
  struct FolderLookup {
    FoundFileRecord record{};
    uint32_t error = 0;
  };
  std::unordered_map<uint32_t, FolderLookup> folderRecords_;
};

}  // namespace snapsave
