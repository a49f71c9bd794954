// FAT directory entries: plausibility tests, names and times of 32-byte short and long-name entries.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "os/byte_reader.h"

namespace snapsave {

inline constexpr size_t kDirEntrySize = 32;

namespace fat_attr {
inline constexpr uint8_t kReadOnly = 0x01;
inline constexpr uint8_t kVolumeLabel = 0x08;
inline constexpr uint8_t kLongName = 0x0F;
inline constexpr uint8_t kDirectory = 0x10;
inline constexpr uint8_t kArchive = 0x20;
}  // namespace fat_attr

inline constexpr uint8_t kDeletedMark = 0xE5;
// Case flags in byte 12 of a short entry: its base or extension was written in lower case.
inline constexpr uint8_t kLowerCaseBase = 0x08;
inline constexpr uint8_t kLowerCaseExtension = 0x10;

// Field access over one entry; every accessor tolerates a short span (reads 0).
struct DirEntryView {
  ByteSpan bytes;

  uint8_t First() const { return Le8(bytes, 0); }
  uint8_t Attributes() const { return Le8(bytes, 11); }
  bool IsDeleted() const { return First() == kDeletedMark; }
  bool IsLongName() const { return Attributes() == fat_attr::kLongName; }
  bool IsDirectory() const { return !IsLongName() && (Attributes() & fat_attr::kDirectory) != 0; }
  bool IsVolumeLabel() const { return Attributes() == fat_attr::kVolumeLabel; }
  uint16_t HighCluster() const { return Le16(bytes, 20); }
  uint16_t LowCluster() const { return Le16(bytes, 26); }
  uint32_t Size() const { return Le32(bytes, 28); }
  // "." and ".." (name bytes, not the deleted form).
  bool IsDotEntry() const { return First() == '.' && Le8(bytes, 1) == ' '; }
  bool IsDotDotEntry() const { return First() == '.' && Le8(bytes, 1) == '.'; }
};

// `entries` starts at the entry and may run on to the end of its block; the next entry is consulted for the
// dot pair.
bool IsValidDirEntry(ByteSpan entries);
bool IsDotPair(ByteSpan entries);
bool HasIllegalShortNameByte(ByteSpan entry);
bool IsDirectoryBlock(ByteSpan block);
// A sector of FAT metadata that ends any file a carver is measuring: a boot sector of the usual makers, or
// a block of directory entries.
bool IsFatMetadataSector(ByteSpan sector);
uint8_t ShortNameChecksum(ByteSpan entry);

// Windows FILETIMEs without time-zone conversion; 0 for a stamp that is no calendar date.
uint64_t DecodeCreationTime(ByteSpan entry);
uint64_t DecodeAccessTime(ByteSpan entry);
uint64_t DecodeModificationTime(ByteSpan entry);
// Date word, time word, seconds and milliseconds added on top.
uint64_t FatStampToFileTime(uint16_t date, uint16_t time, uint32_t extraSeconds, uint32_t milliseconds);

// The short name in lower case, with a leading deletion mark shown as '!'. Directories carry no extension.
std::string BuildShortName(ByteSpan entry, bool isDirectory);

// Collects the pieces of a long name that precede their short entry (stored last piece first).
class LongNameCollector {
 public:
  static constexpr size_t kMaxChars = 260;
  static constexpr size_t kMaxPieces = 19;

  // Adds one long-name entry; false when the name would need more pieces than fit, which ends the directory.
  bool Add(ByteSpan entry);
  void Clear() { pieces_ = 0; }
  bool Empty() const { return pieces_ == 0; }
  // The collected name in UTF-8 (at most 259 bytes), then cleared; nullopt when nothing was collected.
  std::optional<std::string> Take();

 private:
  std::array<char16_t, kMaxChars> buffer_{};
  size_t pieces_ = 0;
};

}  // namespace snapsave
