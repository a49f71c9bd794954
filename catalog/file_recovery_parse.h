// The scan-engine contract every engine implements, and the callbacks through which engines report.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/found_file_record.h"
#include "os/error.h"
#include "storage/sector_stretch.h"

namespace snapsave {

class DeepScanControl;

// Callbacks take the caller's context first and return 0 to go on or ScanCancelled to stop.

// progress 0..100 within the engine's own work; the window shows progress * weight / 100. secondsLeft < 0:
// not known. totalSectors 0: the engine reports no sectors or files. `reserved` is 0.
using ScanProgressCallback = int32_t (*)(void* context, int32_t progress, int32_t weight, int32_t secondsLeft,
                                         uint64_t currentSector, uint64_t totalSectors, uint64_t filesFound,
                                         uint32_t reserved);
// After each written piece of one file (progress = bytes written * 100 / size, scale 100, error 0), and once
// more with progress 100 and the error when writing failed.
using RecoverProgressCallback = int32_t (*)(void* context, int32_t progress, int32_t scale, uint32_t error,
                                            const std::filesystem::path& filePath);
using SearchProgressCallback = int32_t (*)(void* context, int32_t percent, int32_t reserved);
using PreviewProgressCallback = int32_t (*)(void* context, int32_t percent, uint32_t error);

// What an engine was given through SetCallbacks and SetSearchCallback, and the one way it reports scan
// progress.
struct EngineCallbacks {
  ScanProgressCallback scan = nullptr;
  RecoverProgressCallback recover = nullptr;
  void* context = nullptr;
  int32_t weight = 100;  // share of the progress bar: 100 alone, less as a stage of a deep scan
  SearchProgressCallback search = nullptr;
  void* searchContext = nullptr;

  void Set(ScanProgressCallback scanCallback, RecoverProgressCallback recoverCallback, void* callbackContext,
           int32_t progressWeight) {
    scan = scanCallback;
    recover = recoverCallback;
    context = callbackContext;
    weight = progressWeight;
  }
  // Reports without sector and file counts; 0 when no scan callback is set.
  int32_t ReportScan(int32_t progress, int32_t secondsLeft) const {
    return scan != nullptr ? scan(context, progress, weight, secondsLeft, 0, 0, 0, 0) : 0;
  }
};

// Where an engine reads: an image file holding one volume (512-byte sectors, the whole file), or the
// volume [startSector, +sectorCount) of a disk (its own sector size), named by its device.
struct VolumeSource {
  std::filesystem::path image;  // set for an image file of one volume
  std::filesystem::path disk;   // else the disk's device, or the image file of a whole disk read as one
  int32_t diskNumber = -1;      // the disk's number in its listing, which saved scans keep
  bool diskIsImage = false;     // `disk` is an image file: saved scans know it by the file
  uint64_t startSector = 0;
  uint64_t sectorCount = 0;
  char16_t driveLetter = 0;  // stamped on every record found: the letter, or the entry's running number
  std::vector<SectorMapping> pieces;  // a logical volume's, when its sectors lie apart (VolumeInfo::pieces)

  bool IsImage() const { return !image.empty(); }
};
inline VolumeSource ImageVolume(const std::filesystem::path& image, char16_t driveLetter) {
  VolumeSource source;
  source.image = image;
  source.driveLetter = driveLetter;
  return source;
}

// The abstract scan engine. Slot order is part of the contract; do not reorder.
// The extension list SearchByType answers with every file.
inline constexpr std::string_view kAllTypes = "*";

class IFileRecoveryParse {
 public:
  // Slots 0 and 1. Opens the volume the engine reads. 0 or a Win32 error.
  virtual uint32_t Open(const VolumeSource& source) = 0;
  // Slot 2. Either callback may be null; weight is the share of the progress bar (100 when alone). Returns 0.
  virtual int32_t SetCallbacks(ScanProgressCallback scanCallback, RecoverProgressCallback recoverCallback,
                               void* context, int32_t weight) = 0;
  // Slot 3. Empty log name: a fresh scan into a new catalogue. Otherwise reopens the saved catalogue of that
  // name. 0, ScanCancelled or a Win32 error.
  virtual int32_t Scan(std::string_view logName) = 0;
  // Slot 4. Appends, sorted, the records filed in (depth, folder->entryRef); null folder with depth 0 is the
  // root, with another depth 87. Photos that failed the content check are left out.
  virtual uint32_t ListFolder(const FoundFileRecord* folder, int32_t depth, RecordList& out) = 0;
  // Slot 5. Number of file records below the folder, at any depth.
  virtual uint32_t CountFolderFiles(const FoundFileRecord* folder, int32_t depth, uint32_t& outCount) = 0;
  // Slot 6. Records added since the catalogue was opened.
  virtual uint64_t GetRecordCount() = 0;
  // Slot 7. Folder names from the root down to the record's folder, each followed by a separator.
  virtual uint32_t GetRecordPath(const FoundFileRecord* record, std::string& outPath) = 0;
  // Slot 8. Writes a file, or recreates a folder's whole subtree, at destinationPath. baseDepth is the number
  // of separators in the chosen destination folder. 0, ScanCancelled or the Win32 error of the last failure.
  virtual int32_t RecoverRecord(const FoundFileRecord* record, const std::filesystem::path& destinationPath,
                                int32_t baseDepth) = 0;
  // Slot 9. Advances `sector` (volume-relative) to the next run of free clusters; 1 when answered, 0 when the
  // engine keeps no allocation map.
  virtual int32_t NextUnallocatedRun(uint64_t& sector, uint64_t& length) = 0;
  // Slot 10. Returns 0.
  virtual uint32_t SetSearchCallback(SearchProgressCallback callback, void* context) = 0;
  // Slot 11. Appends, sorted, every file record whose lower-cased extension occurs in extensionList; every
  // file record, with an extension or not, when it is kAllTypes. 1 when it ran, 0 when the records could not
  // be read.
  virtual uint32_t SearchByType(std::string_view extensionList, RecordList& out) = 0;
  // Slot 12. Builds the cluster map NextUnallocatedRun needs. Returns 0.
  virtual int32_t BuildAllocationMap() = 0;
  // Slot 13. Pictures, audio and video go to a temporary file in the scan-log folder whose path is returned
  // in outPath; everything else (or a path too long) fills `buffer`, and `outSize` says how many bytes it
  // got.
  virtual uint32_t ExtractForPreview(const FoundFileRecord* record, std::filesystem::path& outPath,
                                     std::span<uint8_t> buffer, uint32_t& outSize,
                                     PreviewProgressCallback callback, void* context) = 0;
  // Slot 14. Releases handles, buffers and the catalogue; the log files stay on disk.
  virtual ~IFileRecoveryParse() = default;
  // After the slots: the folder records a record lies in, nearest first (their names and whether they were
  // deleted). Engines without folders leave `out` empty and say kNotSupported.
  virtual uint32_t GetRecordAncestors(const FoundFileRecord* record, RecordList& out) {
    (void)record;
    out.clear();
    return err::kNotSupported;
  }
  // A deep scan's own controls; null for every other engine.
  virtual DeepScanControl* DeepControl() { return nullptr; }
  // The sectors of the file recovery (or preview) finished last that could not be read and were written as
  // zeros; such a file is reported finished with error 23.
  virtual std::vector<SectorStretch> LastFileUnreadable() const { return {}; }
  // The absolute sectors a found file's data is read from, in file order, where the engine knows them
  // without reading the data; empty where it does not.
  virtual std::vector<SectorStretch> DataRuns(const FoundFileRecord& record) {
    (void)record;
    return {};
  }

 protected:
  IFileRecoveryParse() = default;
  IFileRecoveryParse(const IFileRecoveryParse&) = default;
  IFileRecoveryParse& operator=(const IFileRecoveryParse&) = default;
};

}  // namespace snapsave
