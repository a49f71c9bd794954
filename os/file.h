// A raw file or device handle. Sources are only ever opened read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

namespace snapsave::os {

class File {
 public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = kNoHandle; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing file or device for reading only.
  uint32_t OpenRead(const std::filesystem::path& path);
  // The same, past the system's cache where the system allows it (`direct` says whether it did): each read
  // then reaches the medium as asked, so a failing sector costs one read and fails only itself, not the
  // page read around it. Direct reads take whole sectors at sector offsets into buffers aligned to
  // kDirectAlignment; the system refuses others (87).
  uint32_t OpenReadUncached(const std::filesystem::path& path, bool& direct);
  static constexpr size_t kDirectAlignment = 4096;
  // Opens for reading and writing, creating the file when absent. With `truncate`, an existing file starts
  // empty, so a recovered file never keeps the tail of an older, longer one. The last path component is never
  // followed when it is a symbolic link.
  uint32_t OpenWrite(const std::filesystem::path& path, bool truncate);

  bool IsOpen() const { return handle_ != kNoHandle; }
  void Close();

  // Size in bytes: the length of a block device, the size of a regular file.
  uint32_t Size(uint64_t& bytes) const;

  // Positioned read; `got` is what arrived (short at the end of the file). 0 bytes at the end is success.
  uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) const;
  // Reads until `buffer` is full, the end of the file, or an error.
  uint32_t ReadFullAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) const;
  // Writes all of `data` at `offset`, repeating short writes.
  uint32_t WriteAllAt(uint64_t offset, std::span<const uint8_t> data) const;
  // Drops everything past `bytes`.
  uint32_t Truncate(uint64_t bytes) const;
  // Asks the system to forget what it keeps of [offset, +bytes) in its cache, so that the next read of it
  // reaches the medium. Advice only: nothing happens where the system offers none.
  void ForgetCached(uint64_t offset, uint64_t bytes) const;
  // Waits until what was written is on the medium.
  uint32_t Sync() const;

  // The descriptor on POSIX, the HANDLE on Windows.
  intptr_t NativeHandle() const { return handle_; }

 private:
  static constexpr intptr_t kNoHandle = -1;  // also INVALID_HANDLE_VALUE
  intptr_t handle_ = kNoHandle;
};

// Whether `path` still names what `file` has open: false once a device was unplugged (its node gone, or
// another device in its place) or the file system holding the file went away.
bool StillAt(const File& file, const std::filesystem::path& path);

// Renames `from` to `to`, replacing what `to` names, in one step. `from` may still be open here.
uint32_t MoveReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// Sets the times of the file at `path` (FILETIMEs in UTC; 0 leaves that time as it is). The creation time
// only where the file system keeps one the system lets a program set (Windows).
uint32_t SetFileTimes(const std::filesystem::path& path, uint64_t writeTime, uint64_t accessTime,
                      uint64_t creationTime);

// The UTC FILETIME of a FILETIME that holds a local time as a clock showed it (FAT and exFAT store them so),
// by the system's time zone rules for that date; 0 for 0 or a time the zone cannot place.
uint64_t UtcOfLocalFileTime(uint64_t localTime);

// Puts `bytes` at `path` in one step: written to "path.tmp", flushed to the medium, then renamed over `path`,
// so that a crash leaves the old file or the new one, never a mix. 0 or the error (the old file stays).
uint32_t ReplaceFile(const std::filesystem::path& path, std::span<const uint8_t> bytes);

}  // namespace snapsave::os
