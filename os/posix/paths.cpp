#include "os/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

#include "os/error.h"

namespace snapsave::os {

namespace fs = std::filesystem;

fs::path AppDataFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') return fs::path(xdg);
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr) home = pw->pw_dir;
  }
  return fs::path(home != nullptr ? home : "/tmp") / ".local" / "share";
}

fs::path ScanLogFolder() {
  return AppDataFolder() / "Vornel Snapsave" / "ScanLog";
}

fs::path ProgramDirectory() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec);
  return exe.parent_path();
}

uint32_t CreateFolders(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (!ec) return err::kSuccess;
  if (fs::is_directory(folder)) return err::kSuccess;
  return Win32FromErrno(ec.value(), IoDirection::kWrite);
}

bool IsStrictlyInside(const fs::path& inner, const fs::path& outer) {
  std::error_code ec;
  fs::path a = fs::absolute(inner, ec).lexically_normal();
  fs::path b = fs::absolute(outer, ec).lexically_normal();
  if (a.empty() || b.empty()) return false;
  auto ai = a.begin();
  for (auto bi = b.begin(); bi != b.end(); ++bi, ++ai) {
    if (bi->empty() && std::next(bi) == b.end()) break;  // trailing separator of `outer`
    if (ai == a.end() || *ai != *bi) return false;
  }
  for (; ai != a.end(); ++ai) {
    if (!ai->empty()) return true;
  }
  return false;
}

}  // namespace snapsave::os
