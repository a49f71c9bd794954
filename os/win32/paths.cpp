#include "os/paths.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdlib>
#include <vector>

namespace snapsave::os {

namespace fs = std::filesystem;

fs::path AppDataFolder() {
  // A portable run (from a stick) keeps its scan logs off the disk being recovered.
  if (const wchar_t* portable = _wgetenv(L"SNAPSAVE_APPDATA"); portable != nullptr && portable[0] != L'\0') {
    const fs::path p(portable);
    if (p.is_absolute()) return p;
  }
  wchar_t* folder = nullptr;
  fs::path out;
  if (::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &folder) == S_OK && folder != nullptr)
    out = fs::path(folder);
  ::CoTaskMemFree(folder);
  if (out.empty()) {
    std::error_code ec;
    out = fs::temp_directory_path(ec);
  }
  return out;
}

fs::path ProgramDirectory() {
  std::vector<wchar_t> name(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) {
      std::error_code ec;
      return fs::current_path(ec);
    }
    if (n < name.size()) return fs::path(std::wstring(name.data(), n)).parent_path();
    if (name.size() >= 32768) return {};
    name.resize(name.size() * 2);
  }
}

}  // namespace snapsave::os
