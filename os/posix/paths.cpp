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
  return Win32FromErrorCode(ec, IoDirection::kWrite);
}

std::string FitNameToSystem(std::string name) {
  return name;
}

}  // namespace snapsave::os
