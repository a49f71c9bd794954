#include "catalog/found_file_catalogue.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <limits>
#include <new>
#include <unordered_set>

#include "catalog/saved_scan_store.h"
#include "filetypes/file_categories.h"
#include "os/byte_reader.h"
#include "os/error.h"
#include "os/paths.h"
#include "os/text.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kRecordsPerBlock = FoundFileCatalogue::kBufferCapacity / kRecordSize;
// Relation text is written in pieces of about this size so that a large catalogue is never held twice.
constexpr size_t kRelationChunk = 256 * 1024;

uint64_t RecordOffset(uint32_t id) {
  return static_cast<uint64_t>(id - 1) * kRecordSize;
}

// Name field of a stored record, up to its terminator.
std::string_view StoredName(ByteSpan rec) {
  const char* name = reinterpret_cast<const char*>(rec.data() + 86);
  const void* end = std::memchr(name, 0, kRecordNameBytes);
  return {name,
          end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - name) : kRecordNameBytes};
}

// Lower-cased extension of `name` into `buffer`; empty when the name has none.
std::string_view LowerExtension(std::string_view name, std::array<char, kRecordNameBytes>& buffer) {
  const std::string_view ext = os::ExtensionOf(name);
  for (size_t i = 0; i < ext.size(); ++i) buffer[i] = os::AsciiLower(ext[i]);
  return {buffer.data(), ext.size()};
}

uint32_t ReadWhole(const os::File& file, std::vector<uint8_t>& data) {
  data.clear();
  uint64_t size = 0;
  if (uint32_t e = file.Size(size); e != err::kSuccess) return e;
  try {
    data.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return err::kNotEnoughMemory;
  }
  size_t got = 0;
  uint32_t e = file.ReadFullAt(0, data, got);
  data.resize(got);
  return e;
}

// The order of SortRecordList, computed on small keys and applied by moving each record once: a merge sort
// over 346-byte records costs far more than the comparisons.
void SortInPlace(RecordList& list) {
  if (list.size() < 2) return;
  struct Key {
    uint64_t head;  // first eight folded name bytes, big-endian, so most comparisons stay in the key
    std::string_view name;
    size_t index;
    bool folder;
  };
  std::vector<Key> keys;
  keys.reserve(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string_view name = list[i].Name();
    uint64_t head = 0;
    for (size_t k = 0; k < 8; ++k) {
      head = (head << 8) | (k < name.size() ? static_cast<unsigned char>(os::AsciiLower(name[k])) : 0u);
    }
    keys.push_back({head, name, i, list[i].isFolder != 0});
  }
  std::stable_sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
    if (a.folder != b.folder) return !a.folder;  // files first
    if (a.head != b.head) return a.head < b.head;
    const size_t n = std::min(a.name.size(), b.name.size());
    for (size_t i = 8; i < n; ++i) {
      const auto ca = static_cast<unsigned char>(os::AsciiLower(a.name[i]));
      const auto cb = static_cast<unsigned char>(os::AsciiLower(b.name[i]));
      if (ca != cb) return ca < cb;
    }
    return a.name.size() < b.name.size();
  });
  // Position k takes the record at keys[k].index; follow each cycle of that permutation once.
  std::vector<size_t> source(keys.size());
  for (size_t k = 0; k < keys.size(); ++k) source[k] = keys[k].index;
  keys = {};
  for (size_t i = 0; i < source.size(); ++i) {
    if (source[i] == i) continue;
    const FoundFileRecord held = list[i];
    size_t j = i;
    while (source[j] != i) {
      list[j] = list[source[j]];
      const size_t next = source[j];
      source[j] = j;
      j = next;
    }
    list[j] = held;
    source[j] = j;
  }
}

// Search results, kept in fixed chunks so that growth never moves them.
class Gathered {
 public:
  void Add(ByteSpan rec) {
    if (chunks_.empty() || chunks_.back().size() == kChunk) {
      chunks_.emplace_back();
      chunks_.back().reserve(kChunk);
    }
    chunks_.back().push_back(DecodeRecord(std::span<const uint8_t, kRecordSize>(rec.data(), kRecordSize)));
  }

  void MoveTo(RecordList& out) {
    size_t count = out.size();
    for (const auto& chunk : chunks_) count += chunk.size();
    out.reserve(count);
    for (const auto& chunk : chunks_) out.insert(out.end(), chunk.begin(), chunk.end());
    chunks_.clear();
  }

 private:
  static constexpr size_t kChunk = 2048;
  std::vector<RecordList> chunks_;
};

bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

std::string MakeLogName(std::string_view prefix, uint64_t volumeStartSector, const os::LocalTime& t) {
  // The start is printed signed, as the stored names always were.
  return fmt::format("{}{}_{}{}{}{}{:>2}", prefix, static_cast<int64_t>(volumeStartSector), t.year, t.month,
                     t.day, t.hour, t.minute);
}

std::string FormatSize(int64_t bytes) {
  // The units every front end shows: 1024-based, named as such.
  return os::HumanSize(bytes < 0 ? 0 : static_cast<uint64_t>(bytes));
}

FoundFileCatalogue::~FoundFileCatalogue() {
  Flush();
}

void FoundFileCatalogue::Reset() {
  Flush();
  recordsFile_.Close();
  relationFile_.Close();
  folderFile_.Close();
  writeBuffer_.clear();
  bufferFill_ = 0;
  baseRecords_ = 0;
  recordCount_ = 0;
  recordBytes_ = 0;
  pendingError_ = 0;
  sideFilesDirty_ = false;
  foldersWritten_ = 0;
  relations_.clear();
  folders_.clear();
  ForgetIndex();
}

uint32_t FoundFileCatalogue::OpenIn(const fs::path& folder, std::string_view logName, Mode mode) {
  Reset();
  // The name may come from a file listing of the scan log; it must not lead out of the folder.
  if (!IsPlainFileName(logName)) return err::kInvalidParameter;
  if (uint32_t e = os::CreateFolders(folder); e != err::kSuccess && !IsAlreadyExists(e)) return e;

  recordsPath_ = folder / fs::path(std::string(logName));
  relationPath_ = recordsPath_;
  relationPath_ += "_Relation";
  folderPath_ = recordsPath_;
  folderPath_ += "_DirInfo";
  const bool truncate = mode == Mode::kFresh;
  if (uint32_t e = recordsFile_.OpenWrite(recordsPath_, truncate); e != err::kSuccess) return e;
  if (uint32_t e = relationFile_.OpenWrite(relationPath_, truncate); e != err::kSuccess) return e;
  if (uint32_t e = folderFile_.OpenWrite(folderPath_, truncate); e != err::kSuccess) return e;

  uint64_t size = 0;
  if (uint32_t e = recordsFile_.Size(size); e != err::kSuccess) return e;
  // A partial last record is overwritten by the next one.
  baseRecords_ =
      static_cast<uint32_t>(std::min<uint64_t>(size / kRecordSize, std::numeric_limits<uint32_t>::max()));

  std::vector<uint8_t> data;
  if (uint32_t e = ReadWhole(relationFile_, data); e != err::kSuccess) return e;
  relations_ = ParseRelationText(data);
  if (uint32_t e = ReadWhole(folderFile_, data); e != err::kSuccess) return e;
  folders_ = ParseFolderNames(data);
  ForgetIndex();
  foldersWritten_ = folders_.size();
  writeBuffer_.assign(kBufferCapacity, 0);
  return err::kSuccess;
}

uint32_t FoundFileCatalogue::ReserveRecord(FoundFileRecord& record) {
  if (uint64_t{baseRecords_} + recordCount_ >= std::numeric_limits<uint32_t>::max()) {
    if (pendingError_ == err::kSuccess) pendingError_ = err::kDiskFull;  // record numbers are 32-bit
    return 0;
  }
  if (writeBuffer_.size() != kBufferCapacity) writeBuffer_.assign(kBufferCapacity, 0);
  if (bufferFill_ + kRecordSize > kBufferCapacity) WriteBuffer();
  ++recordCount_;
  record.recordId = baseRecords_ + recordCount_;
  EncodeRecord(record, std::span<uint8_t, kRecordSize>(writeBuffer_.data() + bufferFill_, kRecordSize));
  bufferFill_ += static_cast<uint32_t>(kRecordSize);
  recordBytes_ += kRecordSize;
  if (observer_) observer_(record);
  return record.recordId;
}

void FoundFileCatalogue::WriteBuffer() {
  if (bufferFill_ == 0) return;
  // The buffer holds the last bufferFill_ bytes of the records reserved so far.
  const uint64_t offset = (uint64_t{baseRecords_} + recordCount_) * kRecordSize - bufferFill_;
  uint32_t e = recordsFile_.WriteAllAt(offset, std::span<const uint8_t>(writeBuffer_.data(), bufferFill_));
  if (e != err::kSuccess && pendingError_ == err::kSuccess) pendingError_ = e;
  bufferFill_ = 0;
}

void FoundFileCatalogue::AddToFolder(uint32_t parentRef, uint32_t depth, uint32_t recordId, uint32_t entryRef,
                                     std::optional<std::string_view> folderName) {
  relations_[MakeFolderKey(depth, parentRef)].push_back(recordId);
  if (folderName) folders_.push_back({entryRef, recordId, std::string(*folderName)});
  ForgetIndex();
  sideFilesDirty_ = true;
}

uint32_t FoundFileCatalogue::Flush() {
  WriteBuffer();
  uint32_t result = pendingError_;
  pendingError_ = err::kSuccess;
  if (result != err::kSuccess) return result;
  return WriteSideFiles();
}

uint32_t FoundFileCatalogue::KeepRecords(uint32_t count) {
  if (!recordsFile_.IsOpen()) return err::kInvalidParameter;
  if (uint32_t e = Flush(); e != err::kSuccess) return e;
  const uint32_t total = baseRecords_ + recordCount_;
  if (count >= total) return err::kSuccess;
  if (uint32_t e = recordsFile_.Truncate(uint64_t{count} * kRecordSize); e != err::kSuccess) return e;
  baseRecords_ = count;
  recordCount_ = 0;
  // Ids run from 1; a list may also hold duplicates a damaged file brought in.
  for (auto it = relations_.begin(); it != relations_.end();) {
    std::vector<uint32_t>& ids = it->second;
    std::erase_if(ids, [count](uint32_t id) { return id > count; });
    it = ids.empty() ? relations_.erase(it) : std::next(it);
  }
  std::erase_if(folders_, [count](const FolderNameEntry& f) { return f.recordId > count; });
  ForgetIndex();
  if (uint32_t e = folderFile_.Truncate(0); e != err::kSuccess) return e;
  foldersWritten_ = 0;
  sideFilesDirty_ = true;
  return Flush();
}

uint32_t FoundFileCatalogue::SyncRecords() {
  if (uint32_t e = Flush(); e != err::kSuccess) return e;
  return recordsFile_.IsOpen() ? recordsFile_.Sync() : err::kInvalidParameter;
}

uint32_t FoundFileCatalogue::WriteSideFiles() {
  if (!sideFilesDirty_) return err::kSuccess;
  if (!relationFile_.IsOpen() || !folderFile_.IsOpen()) return err::kInvalidParameter;

  // The relations go to a new file renamed over the old one: a crash in the middle of the rewrite must not
  // leave half a list, whose cut numbers would name other records.
  std::filesystem::path tmpPath = relationPath_;
  tmpPath += ".tmp";
  os::File tmp;
  uint32_t first = tmp.OpenWrite(tmpPath, true);
  std::string text;
  text.reserve(kRelationChunk + 64);
  uint64_t offset = 0;
  auto put = [&] {
    if (first == err::kSuccess)
      first = tmp.WriteAllAt(
          offset, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    offset += text.size();
    text.clear();
  };
  for (const auto& [key, ids] : relations_) {
    AppendRelationEntry(text, key, ids);
    if (text.size() >= kRelationChunk) put();
  }
  put();
  if (first == err::kSuccess) first = tmp.Sync();
  if (first == err::kSuccess) {
    // Windows does not replace a file that is open: the old one is let go first, and taken back on failure.
    relationFile_.Close();
    first = os::MoveReplacing(tmpPath, relationPath_);
    if (first != err::kSuccess) relationFile_.OpenWrite(relationPath_, false);
  }
  if (first == err::kSuccess) {
    relationFile_ = std::move(tmp);
  } else {
    tmp.Close();
    std::error_code ec;
    fs::remove(tmpPath, ec);
  }

  // Folder names are only ever appended: write the ones not yet on disk.
  std::array<uint8_t, kFolderNameRecordSize> rec{};
  while (foldersWritten_ < folders_.size()) {
    EncodeFolderName(folders_[foldersWritten_], rec);
    uint32_t e = folderFile_.WriteAllAt(uint64_t{foldersWritten_} * kFolderNameRecordSize, rec);
    if (e != err::kSuccess) {
      if (first == err::kSuccess) first = e;
      break;
    }
    ++foldersWritten_;
  }
  if (first == err::kSuccess) sideFilesDirty_ = false;
  return first;
}

const std::vector<uint32_t>* FoundFileCatalogue::ListOf(FolderKey key) const {
  if (relations_.empty()) return nullptr;
  // Key 0 stands for the root, which is whatever key sorts first.
  auto it = key == 0 ? relations_.begin() : relations_.find(key);
  return it == relations_.end() ? nullptr : &it->second;
}

template <typename Visit>
uint32_t FoundFileCatalogue::ReadRecords(std::span<const uint32_t> ids, Visit&& visit) const {
  std::vector<uint8_t> block(kBufferCapacity);
  size_t i = 0;
  while (i < ids.size()) {
    // A run of consecutive ids is one read.
    size_t run = 1;
    while (i + run < ids.size() && run < kRecordsPerBlock && ids[i + run - 1] != 0 &&
           ids[i + run] == ids[i + run - 1] + 1) {
      ++run;
    }
    if (ids[i] == 0) {  // never given out; a damaged relation file may still name it
      i += 1;
      continue;
    }
    size_t got = 0;
    const std::span<uint8_t> want(block.data(), run * kRecordSize);
    if (uint32_t e = recordsFile_.ReadFullAt(RecordOffset(ids[i]), want, got); e != err::kSuccess) return e;
    // Ids past the end of the file (a damaged relation file) are skipped.
    const size_t complete = got / kRecordSize;
    for (size_t k = 0; k < complete; ++k) {
      visit(ids[i + k], ByteSpan(block.data() + k * kRecordSize, kRecordSize));
    }
    i += run;
  }
  return err::kSuccess;
}

uint32_t FoundFileCatalogue::ListFolder(FolderKey key, RecordList& out) {
  WriteBuffer();
  const std::vector<uint32_t>* ids = ListOf(key);
  if (ids == nullptr) return err::kSuccess;
  out.reserve(out.size() + ids->size());
  // Damaged photos too, marked: half a photo is worth more to its owner than none.
  uint32_t e = ReadRecords(*ids, [&](uint32_t, ByteSpan rec) {
    out.push_back(DecodeRecord(std::span<const uint8_t, kRecordSize>(rec.data(), kRecordSize)));
  });
  SortInPlace(out);
  return e;
}

uint32_t FoundFileCatalogue::CountFiles(FolderKey key, uint32_t& outCount) {
  WriteBuffer();
  outCount = 0;
  uint32_t result = err::kSuccess;
  std::deque<FolderKey> queue{key};
  // Damaged media can file a folder inside itself or list one folder twice; each key is counted once.
  std::unordered_set<FolderKey> seen{key};
  while (!queue.empty()) {
    const FolderKey current = queue.front();
    queue.pop_front();
    const std::vector<uint32_t>* ids = ListOf(current);
    if (ids == nullptr) continue;
    const uint32_t childDepth = FolderKeyDepth(current) + 1;
    uint32_t e = ReadRecords(*ids, [&](uint32_t, ByteSpan rec) {
      if (Le32(rec, 6) != 0) {
        const FolderKey child = MakeFolderKey(childDepth, Le32(rec, 22));
        if (seen.insert(child).second) queue.push_back(child);
      } else {
        ++outCount;
      }
    });
    if (e != err::kSuccess) result = e;
  }
  return result;
}

std::vector<uint32_t> FoundFileCatalogue::FolderEntryRefs() const {
  std::vector<uint32_t> refs;
  refs.reserve(folders_.size());
  for (const FolderNameEntry& f : folders_) refs.push_back(f.entryRef);
  return refs;
}

uint32_t FoundFileCatalogue::FindFolderRecord(uint32_t entryRef, FoundFileRecord& out) {
  WriteBuffer();
  if (!recordsFile_.IsOpen()) return err::kInvalidParameter;
  std::vector<uint8_t> block(kBufferCapacity);
  uint64_t offset = 0;
  for (;;) {
    size_t got = 0;
    if (uint32_t e = recordsFile_.ReadFullAt(offset, block, got); e != err::kSuccess) return e;
    const size_t complete = got / kRecordSize;
    // Every match is looked at: a folder may share its entryRef with files before it (reused clusters).
    for (size_t k = 0; k < complete; ++k) {
      ByteSpan rec(block.data() + k * kRecordSize, kRecordSize);
      if (Le32(rec, 22) != entryRef) continue;
      out = DecodeRecord(std::span<const uint8_t, kRecordSize>(rec.data(), kRecordSize));
      if (out.isFolder != 0) return err::kSuccess;
    }
    if (got < block.size()) break;
    offset += got;
  }
  return err::kInvalidParameter;
}

void FoundFileCatalogue::ForgetIndex() {
  holdersStale_ = true;
  holders_.clear();
  namedStale_ = true;
  namedIndex_.clear();
  folderRecords_.clear();
}

std::optional<FolderKey> FoundFileCatalogue::KeyHolding(uint32_t recordId) const {
  if (holdersStale_) {
    holders_.clear();
    for (const auto& [key, ids] : relations_)
      for (const uint32_t id : ids) holders_.try_emplace(id, key);
    holdersStale_ = false;
  }
  const auto it = holders_.find(recordId);
  return it == holders_.end() ? std::nullopt : std::optional<FolderKey>(it->second);
}

uint32_t FoundFileCatalogue::CollectAncestors(const FoundFileRecord* record, RecordList& out) {
  if (record == nullptr) return err::kInvalidParameter;
  if (relations_.empty()) return err::kSuccess;
  const FolderKey rootKey = relations_.begin()->first;
  std::unordered_set<uint32_t> visited{record->recordId};
  uint32_t current = record->recordId;
  // Each step adds a folder not seen before, so a cycle in damaged relations ends the walk.
  for (;;) {
    const std::optional<FolderKey> key = KeyHolding(current);
    if (!key || *key == rootKey) return err::kSuccess;
    const uint32_t parentRef = FolderKeyRef(*key);

    // The first folder filed under the reference names it; looked up through an index, not a search of every
    // name at every step (a folder view asks for a million files' folders).
    if (namedStale_) {
      namedIndex_.clear();
      for (size_t i = 0; i < folders_.size(); ++i) namedIndex_.try_emplace(folders_[i].entryRef, i);
      namedStale_ = false;
    }
    const auto indexed = namedIndex_.find(parentRef);
    const FolderNameEntry* named = indexed == namedIndex_.end() ? nullptr : &folders_[indexed->second];
    FoundFileRecord parent = MakeEmptyRecord();
    if (named != nullptr) {
      // The folder's own record says more (whether it was deleted, its times); read once, like the others.
      auto [known, added] = folderRecords_.try_emplace(parentRef);
      if (added) {
        FoundFileRecord& own = known->second.record;
        own = MakeEmptyRecord();
        const uint32_t id = named->recordId;
        ReadRecords(std::span<const uint32_t>(&id, 1), [&](uint32_t, ByteSpan rec) {
          own = DecodeRecord(std::span<const uint8_t, kRecordSize>(rec.data(), kRecordSize));
        });
        // The filing names the folder: its number and name stand whatever the stored record says.
        own.isFolder = 1;
        own.entryRef = parentRef;
        own.recordId = named->recordId;
        own.SetName(named->name);
      }
      parent = known->second.record;
    } else {
      // The records file is read once for each folder, not once for each file below it.
      auto [known, added] = folderRecords_.try_emplace(parentRef);
      if (added) {
        if (uint32_t e = FindFolderRecord(parentRef, parent); e == err::kSuccess)
          known->second.record = parent;
        else
          known->second.error = e;
      }
      if (known->second.error != err::kSuccess) return known->second.error;
      parent = known->second.record;
    }
    const uint32_t parentId = parent.recordId;  // packed: copied, never bound to a reference
    if (!visited.insert(parentId).second) return err::kSuccess;
    out.push_back(parent);
    current = parentId;
  }
}

uint32_t FoundFileCatalogue::GetRecordPath(const FoundFileRecord* record, std::string& out) {
  out.clear();
  if (record == nullptr) return err::kInvalidParameter;
  RecordList ancestors;
  // A missing folder ends the walk; the part found so far is still the best path there is.
  CollectAncestors(record, ancestors);
  for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
    out.append(it->Name());
    out.push_back('/');
  }
  return err::kSuccess;
}

uint32_t FoundFileCatalogue::SearchByType(std::string_view extensionList, RecordList& out) {
  WriteBuffer();
  if (!recordsFile_.IsOpen()) return 0;
  uint64_t fileSize = 0;
  if (recordsFile_.Size(fileSize) != err::kSuccess) return 0;
  std::vector<uint8_t> block(kBufferCapacity);
  std::array<char, kRecordNameBytes> extBuffer{};
  const bool all = extensionList == kAllTypes;
  Gathered found;
  uint64_t offset = 0;
  for (;;) {
    size_t got = 0;
    if (recordsFile_.ReadFullAt(offset, block, got) != err::kSuccess) break;
    const size_t complete = got / kRecordSize;
    for (size_t k = 0; k < complete; ++k) {
      ByteSpan rec(block.data() + k * kRecordSize, kRecordSize);
      if (Le32(rec, 6) != 0) continue;
      if (all) {
        found.Add(rec);
        continue;
      }
      const std::string_view ext = LowerExtension(StoredName(rec), extBuffer);
      if (!ext.empty() && extensionList.find(ext) != std::string_view::npos) found.Add(rec);
    }
    offset += got;
    if (got == 0) break;
    if (searchCallback_ != nullptr && fileSize > 0) {
      const auto percent = static_cast<int32_t>(std::min<uint64_t>(offset, fileSize) * 100 / fileSize);
      if (searchCallback_(searchContext_, percent, 0) != 0) break;
    }
    if (got < block.size()) break;
  }
  found.MoveTo(out);
  SortInPlace(out);
  return 1;
}

uint32_t FoundFileCatalogue::SetSearchCallback(SearchProgressCallback callback, void* context) {
  searchCallback_ = callback;
  searchContext_ = context;
  return 0;
}

}  // namespace snapsave
