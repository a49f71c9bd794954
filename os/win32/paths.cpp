#include "os/paths.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <string_view>
#include <vector>

#include "os/error.h"
#include "os/win32/win32_util.h"

namespace snapsave::os {

namespace fs = std::filesystem;

fs::path AppDataFolder() {
  // A portable run (from a stick) keeps its scan logs off the disk being recovered.
  std::vector<wchar_t> portable(32768);
  const DWORD n =
      ::GetEnvironmentVariableW(L"SNAPSAVE_APPDATA", portable.data(), static_cast<DWORD>(portable.size()));
  if (n > 0 && n < portable.size()) {
    const fs::path p(std::wstring(portable.data(), n));
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

uint32_t CreateFolders(const fs::path& folder) {
  // Folder by folder through the "\\?\" form, so that a recovered tree may run deeper than MAX_PATH.
  std::error_code ec;
  const fs::path absolute = fs::absolute(folder, ec);
  if (ec) return err::kInvalidParameter;
  fs::path at = absolute.root_path();
  for (const fs::path& part : absolute.relative_path()) {
    if (part.empty()) continue;
    at /= part;
    const std::wstring name = win32::LongPath(at);
    if (::CreateDirectoryW(name.c_str(), nullptr)) continue;
    const DWORD e = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (e == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
      continue;
    return e == ERROR_ALREADY_EXISTS ? err::kAlreadyExists : e;
  }
  return err::kSuccess;
}

std::string FitNameToSystem(std::string name) {
  for (char& c : name) {
    if (std::string_view("<>:\"|?*").find(c) != std::string_view::npos) c = '_';
  }
  if (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.back() = '_';
  // "NUL", "nul.txt", "COM1.jpg" all open the device, whatever the case and extension.
  std::string stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  const bool numbered = stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
                        stem[3] >= '1' && stem[3] <= '9';
  if (numbered || stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") name.insert(0, "_");
  return name;
}

}  // namespace snapsave::os
