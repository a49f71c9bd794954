// The system's error space: Win32 error numbers on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

namespace snapsave {

// Result of an operation that a progress callback stopped.
inline constexpr int32_t ScanCancelled = -9527;

namespace err {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kPathNotFound = 3;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kInvalidData = 13;
inline constexpr uint32_t kWriteProtect = 19;
inline constexpr uint32_t kCrc = 23;  // ERROR_CRC: data that fails its checksum, or is missing from an image
inline constexpr uint32_t kWriteFault = 29;
inline constexpr uint32_t kReadFault = 30;
inline constexpr uint32_t kSharingViolation = 32;
inline constexpr uint32_t kHandleEof = 38;
inline constexpr uint32_t kNotSupported = 50;
inline constexpr uint32_t kDeviceGone = 55;  // ERROR_DEV_NOT_EXIST: unplugged, or its connection lost
inline constexpr uint32_t kFileExists = 80;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kDiskFull = 112;
inline constexpr uint32_t kInsufficientBuffer = 122;
inline constexpr uint32_t kAlreadyExists = 183;
inline constexpr uint32_t kFilenameTooLong = 206;
inline constexpr uint32_t kNoUnicodeTranslation = 1113;
}  // namespace err

// Which way the failing call moved data; EIO maps differently for each.
enum class IoDirection { kNone, kRead, kWrite };

// Maps an errno value to the Win32 number the rest of the system speaks.
uint32_t Win32FromErrno(int errnoValue, IoDirection direction = IoDirection::kNone);

// The calling thread's last error: errno mapped on POSIX, GetLastError() as it stands on Windows.
uint32_t LastWin32Error(IoDirection direction = IoDirection::kNone);

// A std::filesystem error as a Win32 number.
uint32_t Win32FromErrorCode(const std::error_code& ec, IoDirection direction = IoDirection::kNone);

// A readable English description of a Win32 error number (never empty): the system's US-English message on
// Windows, this program's own table elsewhere.
std::string ErrorText(uint32_t win32Error);
// The program's own table, which backs ErrorText where the system has no text.
std::string TableErrorText(uint32_t win32Error);

// True for the two codes that say a folder being created exists already.
inline bool IsAlreadyExists(uint32_t e) {
  return e == err::kFileExists || e == err::kAlreadyExists;
}

}  // namespace snapsave
