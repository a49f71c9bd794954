// Names from a medium as the command line prints them: nothing a terminal acts on gets through, and the
// printed text reads back as the very bytes of the name ("\xNN" stands for a byte exactly where it was made).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cli/terminal_text.h"
#include "os/text.h"

namespace {

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string ReadBack(std::string_view shown) {
  std::string out;
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] == '\\' && i + 3 < shown.size() && shown[i + 1] == 'x' && Hex(shown[i + 2]) >= 0 &&
        Hex(shown[i + 3]) >= 0) {
      out.push_back(static_cast<char>(Hex(shown[i + 2]) * 16 + Hex(shown[i + 3])));
      i += 3;
    } else {
      out.push_back(shown[i]);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const std::string shown = snapsave::cli::EscapeForTerminal(name);
  for (size_t i = 0; i < shown.size(); ++i) {
    const auto c = static_cast<uint8_t>(shown[i]);
    if (c < 0x20 || c == 0x7F) std::abort();
    // No C1 control as UTF-8 (U+0080..U+009F is C2 80..C2 9F).
    if (c == 0xC2 && i + 1 < shown.size() && static_cast<uint8_t>(shown[i + 1]) <= 0x9F) std::abort();
  }
  if (ReadBack(shown) != name) std::abort();
  // Every byte sequence becomes some path and back without failing.
  (void)snapsave::os::Utf8OfPath(snapsave::os::PathFromUtf8(name));
  return 0;
}
