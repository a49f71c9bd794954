// One found file or folder: the unit engines produce, catalogues store and front ends list.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace snapsave {

enum class SourceKind : uint32_t {
  kNtfsQuick = 0,   // CFastNtfsRecovery
  kFatQuick = 1,    // CFastFatRecovery
  kNtfsDeep = 2,    // CProfessionalNtfsRecovery
  kFatDeep = 3,     // CProfessionalFatRecovery
  kCarved = 4,      // CFileTypeRecovery
  kExfatQuick = 5,  // CFastExfatRecovery
  kExfatDeep = 6,   // CProfessionalExfatRecovery
  kExtQuick = 7,    // CFastExtRecovery
  kXfsQuick = 8,    // CFastXfsRecovery
  kBtrfsQuick = 9,  // CFastBtrfsRecovery
};

// `clusterSize` of a record whose data is not located by clusters.
inline constexpr uint32_t kNoClusterSize = 0xFFFFFFFFu;
inline constexpr size_t kRecordNameBytes = 260;
// A bit of isDeleted, for files and folders alike: the deleted short name's lost first letter was guessed
// from the names of its folder.
inline constexpr uint32_t kDeletedNameGuessed = 2;
// A bit of isDeleted, for files: the file still exists on its volume (it was listed for a user who wants
// every file out of a volume, not only the deleted ones).
inline constexpr uint32_t kExistingFile = 4;

// In-memory form, naturally aligned so that fields can be bound to references freely. The stored form is the
// 346-byte little-endian layout below, written and read only through EncodeRecord / DecodeRecord.
struct FoundFileRecord {
  uint16_t driveLetter;         // letter, or running number of an entry without one
  uint32_t sourceKind;          // SourceKind of the engine that made it
  uint32_t isFolder;            // 1 folder, 0 file
  uint32_t isDeleted;           // bit 0, folders: deleted or inside a deleted folder; kDeletedNameGuessed,
                                // kExistingFile
  uint32_t isIntact;            // first data matches the type, or cannot be checked
  uint32_t recordId;            // creation number in its catalogue, from 1
  uint32_t entryRef;            // FAT first cluster, NTFS MFT record number, 0 for carved files
  uint32_t clusterSize;         // bytes per cluster, kNoClusterSize when not cluster-based
  uint64_t creationTime;        // FILETIME, 0 when unknown
  uint64_t accessTime;          // FILETIME
  uint64_t writeTime;           // FILETIME
  uint64_t fileSize;            // bytes; 0 for folders
  uint64_t dataStartSector;     // FAT: first sector of cluster 2, volume-relative
  uint64_t entryLocation;       // where the entry or data was found; unit per engine
  uint64_t volumeStartSector;   // absolute first sector of the volume (0 for an image)
  char name[kRecordNameBytes];  // NUL-terminated, narrow code page

  std::string_view Name() const;
  // Copies `text` into `name`, cut at a character boundary so that a terminator always fits.
  void SetName(std::string_view text);
  SourceKind Kind() const { return static_cast<SourceKind>(sourceKind); }
};
static_assert(std::is_trivially_copyable_v<FoundFileRecord>);

// Whether a found file or folder was deleted: folders and the files of other engines say so in bit 0; a
// file of the FAT, exFAT, NTFS, ext and XFS quick engines was unless it is marked kExistingFile; a carved
// file cannot tell, nor a deep NTFS one whose record is still in use.
std::optional<bool> WasDeleted(const FoundFileRecord& record);
// A file that still exists on its volume: listed only where every file is asked for.
inline bool IsExistingFile(const FoundFileRecord& record) {
  return record.isFolder == 0 && (record.isDeleted & kExistingFile) != 0;
}

// Stored layout: byte offset of each field in the 346-byte record.
namespace record_layout {
inline constexpr size_t kDriveLetter = 0;         // u16
inline constexpr size_t kSourceKind = 2;          // u32
inline constexpr size_t kIsFolder = 6;            // u32
inline constexpr size_t kIsDeleted = 10;          // u32
inline constexpr size_t kIsIntact = 14;           // u32
inline constexpr size_t kRecordId = 18;           // u32
inline constexpr size_t kEntryRef = 22;           // u32
inline constexpr size_t kClusterSize = 26;        // u32
inline constexpr size_t kCreationTime = 30;       // u64
inline constexpr size_t kAccessTime = 38;         // u64
inline constexpr size_t kWriteTime = 46;          // u64
inline constexpr size_t kFileSize = 54;           // u64
inline constexpr size_t kDataStartSector = 62;    // u64
inline constexpr size_t kEntryLocation = 70;      // u64
inline constexpr size_t kVolumeStartSector = 78;  // u64
inline constexpr size_t kName = 86;               // 260 bytes
}  // namespace record_layout

inline constexpr size_t kRecordSize = 346;
static_assert(record_layout::kName + kRecordNameBytes == kRecordSize);

// A zero-filled record.
FoundFileRecord MakeEmptyRecord();

// Stored form: 346 bytes, little-endian.
void EncodeRecord(const FoundFileRecord& record, std::span<uint8_t, kRecordSize> out);
FoundFileRecord DecodeRecord(std::span<const uint8_t, kRecordSize> in);

// A folder's key in a catalogue: depth below the root in the high half, the folder's entryRef in the low
// half.
using FolderKey = uint64_t;
constexpr FolderKey MakeFolderKey(uint32_t depth, uint32_t entryRef) {
  return (static_cast<uint64_t>(depth) << 32) | entryRef;
}
constexpr uint32_t FolderKeyDepth(FolderKey key) {
  return static_cast<uint32_t>(key >> 32);
}
constexpr uint32_t FolderKeyRef(FolderKey key) {
  return static_cast<uint32_t>(key);
}

// Ordered copies of records: files before folders, then by name with ASCII letters folded.
using RecordList = std::vector<FoundFileRecord>;
bool RecordLess(const FoundFileRecord& a, const FoundFileRecord& b);
void SortRecordList(RecordList& list);

}  // namespace snapsave
