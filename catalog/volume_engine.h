// What every file-system engine shares: the volume it opened and reads through, the callbacks it reports to,
// its catalogue, and recovery and preview through the one way it reads a found file's bytes. An engine keeps
// only what is its own: what it does on opening, how it finds files, and how it reads them.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "catalog/catalogue_engine.h"
#include "catalog/file_recovery_parse.h"
#include "catalog/recovery_output.h"
#include "os/byte_reader.h"
#include "storage/sector_reader.h"

namespace snapsave {

class VolumeEngine : public CatalogueEngine {
 public:
  explicit VolumeEngine(SavedScanStore& store) : CatalogueEngine(store) {}
  ~VolumeEngine() override = default;
  VolumeEngine(const VolumeEngine&) = delete;
  VolumeEngine& operator=(const VolumeEngine&) = delete;

  // Opens the reader on the source and calls OpenVolume; an engine opened once stays on its volume.
  uint32_t Open(const VolumeSource& source) final;
  int32_t SetCallbacks(ScanProgressCallback scanCallback, RecoverProgressCallback recoverCallback,
                       void* context, int32_t weight) override;
  // A file through ReadData; a folder with everything below it.
  int32_t RecoverRecord(const FoundFileRecord* record, const std::filesystem::path& destinationPath,
                        int32_t baseDepth) override;
  uint32_t ExtractForPreview(const FoundFileRecord* record, std::filesystem::path& outPath,
                             std::span<uint8_t> buffer, uint32_t& outSize, PreviewProgressCallback callback,
                             void* context) override;
  std::vector<SectorStretch> LastFileUnreadable() const override { return lastUnreadable_; }
  // No allocation map unless the engine keeps one.
  int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) override;
  int32_t BuildAllocationMap() override;

  bool IsOpen() const { return open_; }

 private:
  // ReadData with what cannot be read handed on as zeros: 23 when some was, after the whole file.
  int32_t ReadFilling(const FoundFileRecord& record, uint64_t total, const PieceSink& sink);
  std::vector<SectorStretch> lastUnreadable_;

 protected:
  static constexpr uint64_t kReportIntervalMs = 5000;

  // The engine's own part of opening, with the reader open and the fields below set. A non-zero answer
  // closes the reader and leaves the engine closed.
  virtual uint32_t OpenVolume() = 0;
  // Hands the bytes of the found file `record`, at most `total` of them, to `sink` in pieces. 0, a Win32
  // error, or the sink's non-zero answer.
  virtual int32_t ReadData(const FoundFileRecord& record, uint64_t total, const PieceSink& sink) = 0;

  // The catalogue key of a folder's records: (0, the root's reference) for the root, else (depth, the
  // folder's entryRef).
  uint32_t FolderKeyOf(const FoundFileRecord* folder, int32_t depth, FolderKey& key) const override;
  // The entryRef the root folder is filed under; nothing while it is not known.
  virtual std::optional<uint32_t> RootFolderRef() const = 0;

  // A fresh catalogue named after `prefix` and the volume's start (empty `logName`), or the saved one of that
  // name.
  uint32_t OpenCatalogue(std::string_view logName, std::string_view prefix);
  uint32_t OpenCatalogue(std::string_view logName, std::string_view prefix, uint64_t logStart);
  // Flushes the catalogue at the end of a scan: the scan's result, else the flush's error.
  int32_t CloseScan(int32_t result);
  // Reports scan progress and remembers when; ReportDue says whether another report is owed.
  int32_t Report(int32_t progress, int32_t secondsLeft);
  bool ReportDue() const;
  // Reads whole sectors of the device at absolute `sector`; true when all of them arrived.
  bool ReadDeviceSectors(std::span<uint8_t> into, uint64_t sector, uint32_t count) const;

  SectorReader reader_;
  bool open_ = false;
  VolumeSource source_;
  char16_t driveLetter_ = 0;
  uint64_t volumeStart_ = 0;    // absolute first sector of the volume, in device sectors
  uint64_t volumeSectors_ = 0;  // device sectors the volume spans
  uint32_t sectorSize_ = SectorReader::kImageSectorSize;
  int32_t lastProgress_ = 0;
  uint64_t lastReportMs_ = 0;
};

// A deep engine: the deep scan offers it, in ascending order, every sector its claim test accepts, and it
// rebuilds what it can from them when the pass ends. On its own, Scan makes the same pass over its volume.
class DeepVolumeEngine : public VolumeEngine {
 public:
  explicit DeepVolumeEngine(SavedScanStore& store) : VolumeEngine(store) {}

  // StartPass, a pass over the whole volume, FinishPass.
  int32_t Scan(std::string_view logName) final;

  // Before a pass: a fresh catalogue (empty name) or the saved one of that name, and what the volume's first
  // sectors tell. 0 or a Win32 error.
  virtual uint32_t StartPass(std::string_view logName) = 0;
  // Whether the pass hands the sector to this engine. Every sector of a pass is asked: cheap and pure.
  virtual bool Claims(ByteSpan sector) const = 0;
  // A claimed sector at absolute `sector`; `rest` runs from it to the end of what the pass read.
  virtual void Take(std::span<const uint8_t> rest, uint64_t sector) = 0;
  // After the pass: places what was found and catalogues it. 0 or an error.
  virtual int32_t FinishPass() = 0;
  // Where a saved scan keeps this engine's catalogue: log names start so.
  virtual std::string_view LogPrefix() const = 0;
  // The absolute sector where a record of this file system (of its quick engine too) has its first data:
  // where a carver would have found its header. Nothing when that is not known.
  virtual std::optional<uint64_t> FirstDataSector(const FoundFileRecord& record) const = 0;
};

// A breadth-first walk of a folder tree by key: each folder is queued once (a folder named again before it
// is read may be given the later naming), read in turn, and remembered in the order read, so that the
// folders below the root can be catalogued parent first once the walk is done.
template <typename Key, typename Folder>
class FolderWalk {
 public:
  void Clear() {
    queue_.clear();
    pending_.clear();
    seen_.clear();
    walked_.clear();
  }
  // The root: read first and not among the walked folders.
  void Start(const Key& key, Folder root) {
    Clear();
    seen_.insert(key);
    root_ = key;
    queue_.push_back(key);
    pending_.emplace(key, std::move(root));
  }
  // Queues `folder` unless a folder of its key was queued before; false then.
  bool Push(const Key& key, Folder folder) {
    if (!seen_.insert(key).second) return false;
    queue_.push_back(key);
    pending_.emplace(key, std::move(folder));
    return true;
  }
  // The folder queued under `key` and not read yet; null when there is none.
  Folder* Pending(const Key& key) {
    const auto it = pending_.find(key);
    return it != pending_.end() ? &it->second : nullptr;
  }
  bool Seen(const Key& key) const { return seen_.count(key) != 0; }
  // Reads the queued folders in turn with `read(folder)`, which may queue more, calling `step()` after each;
  // a non-zero answer of `step` ends the walk and is returned.
  template <typename Read, typename Step>
  int32_t Run(Read&& read, Step&& step) {
    int32_t result = 0;
    while (!queue_.empty() && result == 0) {
      const Key key = queue_.front();
      queue_.pop_front();
      const auto it = pending_.find(key);
      if (it == pending_.end()) continue;
      const Folder folder = std::move(it->second);
      pending_.erase(it);
      if (!(key == root_)) walked_.push_back(folder);
      read(folder);
      result = step();
    }
    return result;
  }
  // The folders read below the root, in the order they were read.
  const std::vector<Folder>& Walked() const { return walked_; }

 private:
  std::deque<Key> queue_;
  std::unordered_map<Key, Folder> pending_;
  std::unordered_set<Key> seen_;
  std::vector<Folder> walked_;
  Key root_{};
};

}  // namespace snapsave
