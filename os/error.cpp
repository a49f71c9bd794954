#include "os/error.h"

#include <cerrno>

#include <fmt/format.h>

namespace snapsave {

uint32_t Win32FromErrno(int e, IoDirection direction) {
  switch (e) {
    case 0:
      return err::kSuccess;
    case ENOENT:
      return err::kFileNotFound;
    case ENOTDIR:
      return err::kPathNotFound;
    case EACCES:
    case EPERM:
      return err::kAccessDenied;
    case ENOMEM:
      return err::kNotEnoughMemory;
    case EROFS:
      return err::kWriteProtect;
    case EBUSY:
      return err::kSharingViolation;
    case EEXIST:
      return err::kAlreadyExists;
    case EINVAL:
      return err::kInvalidParameter;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return err::kDiskFull;
    case ENAMETOOLONG:
      return err::kFilenameTooLong;
    case EISDIR:
      return err::kAccessDenied;
    case ELOOP:
      return err::kPathNotFound;
    case EFBIG:
      return err::kDiskFull;
    case ENODEV:
    case ENXIO:
#ifdef ENOMEDIUM
    case ENOMEDIUM:
#endif
#ifdef ESHUTDOWN
    case ESHUTDOWN:
#endif
#ifdef ENOTCONN
    case ENOTCONN:
#endif
      return err::kDeviceGone;
    case EIO:
    default:
      return direction == IoDirection::kWrite ? err::kWriteFault : err::kReadFault;
  }
}

uint32_t Win32FromErrorCode(const std::error_code& ec, IoDirection direction) {
  if (!ec) return err::kSuccess;
#ifdef _WIN32
  // The Windows file-system calls report the system's own number.
  if (ec.category() == std::system_category()) return static_cast<uint32_t>(ec.value());
#endif
  return Win32FromErrno(ec.value(), direction);
}

std::string TableErrorText(uint32_t e) {
  switch (e) {
    case err::kSuccess:
      return "The operation completed successfully.";
    case err::kFileNotFound:
      return "The file could not be found.";
    case err::kPathNotFound:
      return "The path could not be found.";
    case err::kAccessDenied:
      return "Access is denied.";
    case err::kNotEnoughMemory:
      return "Not enough memory is available.";
    case err::kInvalidData:
      return "The data is invalid.";
    case err::kWriteProtect:
      return "The medium is write-protected.";
    case err::kCrc:
      return "Data error (cyclic redundancy check).";
    case err::kWriteFault:
      return "The device cannot be written to.";
    case err::kReadFault:
      return "The device cannot be read from.";
    case err::kSharingViolation:
      return "The file or device is in use by another program.";
    case err::kHandleEof:
      return "The end of the file was reached.";
    case err::kNotSupported:
      return "The request is not supported.";
    case err::kDeviceGone:
      return "The specified network resource or device is no longer available.";
    case err::kFileExists:
      return "The file exists.";
    case err::kInvalidParameter:
      return "The parameter is incorrect.";
    case err::kDiskFull:
      return "There is not enough space on the disk.";
    case err::kInsufficientBuffer:
      return "The data area passed is too small.";
    case err::kAlreadyExists:
      return "The file or folder already exists.";
    case err::kFilenameTooLong:
      return "The file name or path is too long.";
    case err::kNoUnicodeTranslation:
      return "The text could not be converted.";
    default:
      break;
  }
  if (static_cast<int32_t>(e) == ScanCancelled) return "The operation was cancelled.";
  return fmt::format("Error {}.", e);
}

}  // namespace snapsave
