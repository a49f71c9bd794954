// The saved-scan store: per source, how far the last deep scan got and which folder of the scan log holds its
// catalogues, so that a later scan of the same unchanged source can continue. Kept in "config" in the
// scan-log folder: an 8-byte counter, then 1120-byte records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace snapsave {

inline constexpr size_t kSavedScanRecordSize = 1120;
inline constexpr size_t kSavedScanPathChars = 260;
// Disk number stored for an image file.
inline constexpr uint32_t kImageDiskNumber = 128;

// The scan ran to its end: its results are whole, and continuing it only reads them back.
inline constexpr uint32_t kSavedScanFinished = 1;

struct SavedScanRecord {
  uint32_t diskNumber = 0;  // kImageDiskNumber for an image
  uint32_t flags = 0;       // kSavedScanFinished; 0 in records written before it existed

  uint64_t volumeStartSector = 0;
  uint64_t volumeSectorCount = 0;
  uint64_t runStart = 0;  // run being scanned, relative to the volume
  uint64_t runLength = 0;
  uint64_t runDone = 0;
  uint64_t scannedSectors = 0;
  uint64_t filesFound = 0;
  uint64_t freeBytes = 0;       // of the volume when written; 0 for an image or an unmounted volume
  uint64_t imageWriteTime = 0;  // FILETIME of the image file; 0 for a disk
  // UTF-16, NUL-terminated. Kept whole so that a record is written back exactly as it was read.
  std::array<char16_t, kSavedScanPathChars> imagePath{};
  std::array<char16_t, kSavedScanPathChars> folder{};

  std::u16string ImagePath() const;
  std::u16string Folder() const;
};

struct SavedScanConfig {
  uint64_t counter = 0;
  std::vector<SavedScanRecord> records;
};

// "config" as bytes. Input shorter than the counter gives an empty store; a trailing partial record is
// ignored.
SavedScanConfig ParseSavedScanConfig(std::span<const uint8_t> bytes);
std::vector<uint8_t> EncodeSavedScanConfig(const SavedScanConfig& config);

// Where a deep scan stands.
struct ScanPosition {
  uint64_t runStart = 0;
  uint64_t runLength = 0;
  uint64_t runDone = 0;
  uint64_t scannedSectors = 0;
  uint64_t filesFound = 0;
  bool finished = false;
};

// The scan-log folder's saved scans. A front end keeps one for the folder and hands it to the engines it has
// made; two stores over one folder would overwrite each other's "config".
class SavedScanStore {
 public:
  // Free bytes of the volume of disk `disk` (its device) that starts at `volumeStartSector`; 0 when unknown.
  using FreeBytesQuery =
      std::function<uint64_t(const std::filesystem::path& disk, uint64_t volumeStartSector)>;

  // A store over `scanLogFolder`, loaded at once. Without a query, free space comes from the volume's mount
  // point.
  explicit SavedScanStore(std::filesystem::path scanLogFolder, FreeBytesQuery freeBytes = {});

  // Re-reads "config", taking over a "config.tmp" left without a "config".
  void Load();

  // The saved scan of an unchanged source, or nothing. A record whose source changed (free bytes, image time)
  // is removed with its folder. Sets or clears the found folder that CurrentFolder answers.
  // `disk` is the disk's device, whose volume's free space tells whether it changed.
  std::optional<SavedScanRecord> FindDiskScan(uint16_t driveLetter, int32_t diskNumber,
                                              uint64_t volumeStartSector, uint64_t volumeSectorCount,
                                              const std::filesystem::path& disk = {});
  // An image's scans are told apart by where they start: the whole image at 0, each volume of a whole-disk
  // image at its own sector.
  std::optional<SavedScanRecord> FindImageScan(const std::filesystem::path& imagePath,
                                               uint64_t volumeStartSector = 0);

  // Records `position` for the source (an image when `imagePath` is given) and writes "config". A new record
  // keeps `folder`. Returns 0 or the error of writing (55 for an image that cannot be looked at); on error
  // the previous "config" stays.
  uint32_t SaveScan(uint16_t driveLetter, int32_t diskNumber, uint64_t volumeStartSector,
                    uint64_t volumeSectorCount, const ScanPosition& position,
                    const std::filesystem::path& folder, const std::filesystem::path* imagePath = nullptr,
                    const std::filesystem::path& disk = {});

  // Moves to the next folder number and clears what an earlier use of that folder left.
  void StartNewScan();
  void UndoNewScan();

  // The found folder after a successful find, else the folder of the current counter; ends in a separator.
  std::filesystem::path CurrentFolder() const;

  // Drops the first record of `folder` (case-insensitive) and deletes the folder, but only one inside the
  // scan-log folder. Returns 0 when the folder was deleted or did not exist.
  uint32_t RemoveScan(const std::filesystem::path& folder);

  // Name of the first regular file in `folder` (in name order) that starts with `prefix`.
  std::optional<std::string> FindFileByPrefix(const std::filesystem::path& folder,
                                              std::string_view prefix) const;

  uint64_t Counter() const { return config_.counter; }
  const std::vector<SavedScanRecord>& Records() const { return config_.records; }
  const std::filesystem::path& ScanLogFolder() const { return scanLogFolder_; }

 private:
  std::filesystem::path FolderOf(uint64_t counter) const;
  // Index of the matching record, after removing a stale one; nullopt when none is current.
  std::optional<size_t> FindDisk(int32_t diskNumber, uint64_t start, uint64_t count, uint64_t freeBytes);
  std::optional<size_t> FindImage(const std::u16string& path, uint64_t writeTime, uint64_t start);
  void SetFound(std::optional<size_t> index);
  uint32_t WriteConfig() const;
  uint32_t DeleteFolderInside(const std::filesystem::path& folder) const;

  std::filesystem::path scanLogFolder_;
  FreeBytesQuery freeBytes_;
  SavedScanConfig config_;
  bool found_ = false;
  std::filesystem::path foundFolder_;
};

}  // namespace snapsave
