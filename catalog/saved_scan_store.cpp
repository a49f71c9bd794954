#include "catalog/saved_scan_store.h"

#include <algorithm>
#include <chrono>
#include <system_error>

#include "os/byte_reader.h"
#include "os/error.h"
#include "os/file.h"
#include "os/paths.h"
#include "os/text.h"
#include "os/volume_space.h"

namespace snapsave {

namespace fs = std::filesystem;

namespace {

constexpr size_t kCounterSize = 8;
constexpr size_t kImagePathOffset = 80;
constexpr size_t kFolderOffset = 600;
// "config" is small (a record per saved scan); anything far larger is not ours to load.
constexpr uint64_t kMaxConfigBytes = 64ull << 20;
// FILETIME of the Unix epoch.
constexpr int64_t kFiletimeUnixEpoch = 116444736000000000;

using PathChars = std::array<char16_t, kSavedScanPathChars>;

std::u16string UpToTerminator(const PathChars& chars) {
  auto end = std::find(chars.begin(), chars.end(), u'\0');
  return {chars.begin(), end};
}

// False when `text` and its terminator do not fit.
bool StorePath(PathChars& chars, std::u16string_view text) {
  if (text.size() >= chars.size()) return false;
  chars.fill(u'\0');
  std::copy(text.begin(), text.end(), chars.begin());
  return true;
}

std::u16string ToUtf16(const fs::path& path) {
  return os::Utf8ToUtf16(path.string());
}

bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  const auto lower = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

void DecodePath(ByteSpan rec, size_t offset, PathChars& out) {
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char16_t>(Le16(rec, offset + 2 * i));
}

void EncodePath(std::span<uint8_t> rec, size_t offset, const PathChars& chars) {
  for (size_t i = 0; i < chars.size(); ++i) PutLe16(rec, offset + 2 * i, static_cast<uint16_t>(chars[i]));
}

// Last-write time of a file as a FILETIME; 0 when it cannot be read.
uint64_t ImageWriteTime(const fs::path& path) {
  std::error_code ec;
  const fs::file_time_type written = fs::last_write_time(path, ec);
  if (ec) return 0;
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
  const int64_t ticks =
      std::chrono::duration_cast<Ticks>(std::chrono::file_clock::to_sys(written).time_since_epoch()).count();
  return ticks + kFiletimeUnixEpoch > 0 ? static_cast<uint64_t>(ticks + kFiletimeUnixEpoch) : 0;
}

}  // namespace

std::u16string SavedScanRecord::ImagePath() const {
  return UpToTerminator(imagePath);
}
std::u16string SavedScanRecord::Folder() const {
  return UpToTerminator(folder);
}

SavedScanConfig ParseSavedScanConfig(std::span<const uint8_t> bytes) {
  SavedScanConfig config;
  if (!Has(bytes, 0, kCounterSize)) return config;
  config.counter = Le64(bytes, 0);
  for (size_t off = kCounterSize; Has(bytes, off, kSavedScanRecordSize); off += kSavedScanRecordSize) {
    ByteSpan rec = bytes.subspan(off, kSavedScanRecordSize);
    SavedScanRecord r;
    r.diskNumber = Le32(rec, 0);
    r.flags = Le32(rec, 4);
    r.volumeStartSector = Le64(rec, 8);
    r.volumeSectorCount = Le64(rec, 16);
    r.runStart = Le64(rec, 24);
    r.runLength = Le64(rec, 32);
    r.runDone = Le64(rec, 40);
    r.scannedSectors = Le64(rec, 48);
    r.filesFound = Le64(rec, 56);
    r.freeBytes = Le64(rec, 64);
    r.imageWriteTime = Le64(rec, 72);
    DecodePath(rec, kImagePathOffset, r.imagePath);
    DecodePath(rec, kFolderOffset, r.folder);
    config.records.push_back(r);
  }
  return config;
}

std::vector<uint8_t> EncodeSavedScanConfig(const SavedScanConfig& config) {
  std::vector<uint8_t> bytes(kCounterSize + config.records.size() * kSavedScanRecordSize);
  PutLe64(bytes, 0, config.counter);
  size_t off = kCounterSize;
  for (const SavedScanRecord& r : config.records) {
    std::span<uint8_t> rec(bytes.data() + off, kSavedScanRecordSize);
    PutLe32(rec, 0, r.diskNumber);
    PutLe32(rec, 4, r.flags);
    PutLe64(rec, 8, r.volumeStartSector);
    PutLe64(rec, 16, r.volumeSectorCount);
    PutLe64(rec, 24, r.runStart);
    PutLe64(rec, 32, r.runLength);
    PutLe64(rec, 40, r.runDone);
    PutLe64(rec, 48, r.scannedSectors);
    PutLe64(rec, 56, r.filesFound);
    PutLe64(rec, 64, r.freeBytes);
    PutLe64(rec, 72, r.imageWriteTime);
    EncodePath(rec, kImagePathOffset, r.imagePath);
    EncodePath(rec, kFolderOffset, r.folder);
    off += kSavedScanRecordSize;
  }
  return bytes;
}

SavedScanStore::SavedScanStore(fs::path scanLogFolder, FreeBytesQuery freeBytes)
    : scanLogFolder_(std::move(scanLogFolder)), freeBytes_(std::move(freeBytes)) {
  if (!freeBytes_) freeBytes_ = os::VolumeFreeBytes;
  Load();
}

void SavedScanStore::Load() {
  config_ = {};
  found_ = false;
  foundFolder_.clear();
  const fs::path config = scanLogFolder_ / "config";
  const fs::path tmp = scanLogFolder_ / "config.tmp";
  std::error_code ec;
  // A crash between replacing and renaming leaves only the new file, under its temporary name.
  if (!fs::exists(fs::symlink_status(config, ec)) && fs::is_regular_file(fs::symlink_status(tmp, ec))) {
    fs::rename(tmp, config, ec);
  }
  os::File file;
  if (file.OpenRead(config) != err::kSuccess) return;
  uint64_t size = 0;
  if (file.Size(size) != err::kSuccess || size > kMaxConfigBytes) return;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  size_t got = 0;
  if (file.ReadFullAt(0, bytes, got) != err::kSuccess) return;
  bytes.resize(got);
  config_ = ParseSavedScanConfig(bytes);
}

fs::path SavedScanStore::FolderOf(uint64_t counter) const {
  return scanLogFolder_ / std::to_string(counter) / "";
}

fs::path SavedScanStore::CurrentFolder() const {
  return found_ ? foundFolder_ : FolderOf(config_.counter);
}

void SavedScanStore::SetFound(std::optional<size_t> index) {
  found_ = index.has_value();
  foundFolder_ = found_ ? fs::path(os::Utf16ToUtf8(config_.records[*index].Folder())) : fs::path();
}

std::optional<size_t> SavedScanStore::FindDisk(int32_t diskNumber, uint64_t start, uint64_t count,
                                               uint64_t freeBytes) {
  auto& records = config_.records;
  for (size_t i = 0; i < records.size(); ++i) {
    const SavedScanRecord& r = records[i];
    if (r.diskNumber != static_cast<uint32_t>(diskNumber) || r.volumeStartSector != start ||
        r.volumeSectorCount != count) {
      continue;
    }
    if (r.freeBytes == freeBytes) return i;
    RemoveScan(fs::path(os::Utf16ToUtf8(r.Folder())));  // written to since: its results are out of date
    return std::nullopt;
  }
  return std::nullopt;
}

std::optional<size_t> SavedScanStore::FindImage(const std::u16string& path, uint64_t writeTime,
                                                uint64_t start) {
  if (path.empty()) return std::nullopt;
  auto& records = config_.records;
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i].ImagePath() != path || records[i].volumeStartSector != start) continue;
    if (records[i].imageWriteTime == writeTime) return i;
    RemoveScan(fs::path(os::Utf16ToUtf8(records[i].Folder())));
    return std::nullopt;
  }
  return std::nullopt;
}

std::optional<SavedScanRecord> SavedScanStore::FindDiskScan(uint16_t /*driveLetter*/, int32_t diskNumber,
                                                            uint64_t volumeStartSector,
                                                            uint64_t volumeSectorCount,
                                                            const fs::path& disk) {
  // Entries have no drive letters here: free space comes from the volume's mount point.
  const uint64_t freeBytes = freeBytes_(disk, volumeStartSector);
  const std::optional<size_t> index = FindDisk(diskNumber, volumeStartSector, volumeSectorCount, freeBytes);
  SetFound(index);
  if (!index) return std::nullopt;
  return config_.records[*index];
}

std::optional<SavedScanRecord> SavedScanStore::FindImageScan(const fs::path& imagePath,
                                                             uint64_t volumeStartSector) {
  const std::optional<size_t> index =
      FindImage(ToUtf16(imagePath), ImageWriteTime(imagePath), volumeStartSector);
  SetFound(index);
  if (!index) return std::nullopt;
  return config_.records[*index];
}

uint32_t SavedScanStore::SaveScan(uint16_t /*driveLetter*/, int32_t diskNumber, uint64_t volumeStartSector,
                                  uint64_t volumeSectorCount, const ScanPosition& position,
                                  const fs::path& folder, const fs::path* imagePath, const fs::path& disk) {
  SavedScanRecord fresh;
  fresh.volumeStartSector = volumeStartSector;
  fresh.volumeSectorCount = volumeSectorCount;
  if (!StorePath(fresh.folder, ToUtf16(folder))) return err::kFilenameTooLong;
  std::optional<size_t> index;
  if (imagePath != nullptr) {
    fresh.diskNumber = kImageDiskNumber;
    fresh.imageWriteTime = ImageWriteTime(*imagePath);
    // An image that cannot be looked at now (its disk gone) would be recorded as another, changed one, and
    // the saved scan of it dropped.
    if (fresh.imageWriteTime == 0) return err::kDeviceGone;
    if (!StorePath(fresh.imagePath, ToUtf16(*imagePath))) return err::kFilenameTooLong;
    // A stale record of this very folder is the scan being saved: drop it, but keep its files.
    auto& records = config_.records;
    auto same = std::find_if(records.begin(), records.end(), [&](const SavedScanRecord& r) {
      return r.ImagePath() == fresh.ImagePath() && r.volumeStartSector == volumeStartSector &&
             r.imageWriteTime != fresh.imageWriteTime && EqualIgnoringAsciiCase(r.Folder(), fresh.Folder());
    });
    if (same != records.end()) records.erase(same);
    index = FindImage(fresh.ImagePath(), fresh.imageWriteTime, volumeStartSector);
  } else {
    fresh.diskNumber = static_cast<uint32_t>(diskNumber);
    fresh.freeBytes = freeBytes_(disk, volumeStartSector);
    auto& records = config_.records;
    auto same = std::find_if(records.begin(), records.end(), [&](const SavedScanRecord& r) {
      return r.diskNumber == fresh.diskNumber && r.volumeStartSector == volumeStartSector &&
             r.volumeSectorCount == volumeSectorCount && r.freeBytes != fresh.freeBytes &&
             EqualIgnoringAsciiCase(r.Folder(), fresh.Folder());
    });
    if (same != records.end()) records.erase(same);
    index = FindDisk(diskNumber, volumeStartSector, volumeSectorCount, fresh.freeBytes);
  }

  SavedScanRecord& target = index ? config_.records[*index] : config_.records.emplace_back(fresh);
  target.runStart = position.runStart;
  target.runLength = position.runLength;
  target.runDone = position.runDone;
  target.scannedSectors = position.scannedSectors;
  target.filesFound = position.filesFound;
  target.flags = position.finished ? target.flags | kSavedScanFinished : target.flags & ~kSavedScanFinished;
  return WriteConfig();
}

uint32_t SavedScanStore::WriteConfig() const {
  if (uint32_t e = os::CreateFolders(scanLogFolder_); e != err::kSuccess && !IsAlreadyExists(e)) return e;
  // Only a completely written store replaces the old one.
  return os::ReplaceFile(scanLogFolder_ / "config", EncodeSavedScanConfig(config_));
}

void SavedScanStore::StartNewScan() {
  ++config_.counter;
  found_ = false;
  foundFolder_.clear();
  const fs::path folder = FolderOf(config_.counter);
  const std::u16string name = ToUtf16(folder);
  std::erase_if(config_.records,
                [&](const SavedScanRecord& r) { return EqualIgnoringAsciiCase(r.Folder(), name); });
  DeleteFolderInside(folder);
}

void SavedScanStore::UndoNewScan() {
  if (config_.counter > 0) --config_.counter;
}

uint32_t SavedScanStore::RemoveScan(const fs::path& folder) {
  const std::u16string name = ToUtf16(folder);
  auto& records = config_.records;
  auto it = std::find_if(records.begin(), records.end(),
                         [&](const SavedScanRecord& r) { return EqualIgnoringAsciiCase(r.Folder(), name); });
  if (it != records.end()) {
    records.erase(it);
    // The record goes first: a crash while the folder is being deleted must not leave a record of a scan
    // whose catalogues are half gone.
    if (uint32_t e = WriteConfig(); e != err::kSuccess) return e;
  }
  return DeleteFolderInside(folder);
}

uint32_t SavedScanStore::DeleteFolderInside(const fs::path& folder) const {
  fs::path target = folder;
  if (!target.has_filename()) target = target.parent_path();  // one trailing separator
  std::error_code ec;
  if (target.empty() || !fs::exists(fs::symlink_status(target, ec))) return err::kSuccess;
  // The folder name comes from "config" on disk: whatever it says, nothing outside the scan log is deleted,
  // neither by its spelling ("..") nor through a symbolic link on the way.
  const fs::path realTarget = fs::weakly_canonical(target, ec);
  const fs::path realBase = fs::weakly_canonical(scanLogFolder_, ec);
  if (!os::IsStrictlyInside(target, scanLogFolder_) || !os::IsStrictlyInside(realTarget, realBase)) {
    return err::kAccessDenied;
  }
  fs::remove_all(target, ec);
  return ec ? Win32FromErrorCode(ec, IoDirection::kWrite) : err::kSuccess;
}

std::optional<std::string> SavedScanStore::FindFileByPrefix(const fs::path& folder,
                                                            std::string_view prefix) const {
  std::optional<std::string> best;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.empty() || name[0] == '.' || !name.starts_with(prefix)) continue;
    if (!fs::is_regular_file(it->symlink_status(ec))) continue;
    // Name order makes the records file come before its "_Relation" and "_DirInfo" companions.
    if (!best || name < *best) best = name;
  }
  return best;
}

}  // namespace snapsave
