#include <cerrno>

#include "os/error.h"

namespace snapsave {

uint32_t LastWin32Error(IoDirection direction) {
  return Win32FromErrno(errno, direction);
}

std::string ErrorText(uint32_t e) {
  return TableErrorText(e);
}

}  // namespace snapsave
