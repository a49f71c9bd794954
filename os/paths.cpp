#include "os/paths.h"

#include <system_error>

#include "os/error.h"

namespace snapsave::os {

namespace fs = std::filesystem;

fs::path ScanLogFolder() {
  return AppDataFolder() / "Vornel Snapsave" / "ScanLog";
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
