#include <windows.h>

#include "os/error.h"
#include "os/win32/win32_util.h"

namespace snapsave {

uint32_t LastWin32Error(IoDirection) {
  return ::GetLastError();
}

std::string ErrorText(uint32_t e) {
  if (static_cast<int32_t>(e) == ScanCancelled) return TableErrorText(e);
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e,
      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (n == 0 || text == nullptr) return TableErrorText(e);
  std::wstring message(text, n);
  ::LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  return message.empty() ? TableErrorText(e) : os::win32::Utf8(message);
}

}  // namespace snapsave
