#include "os/text.h"

#include <fmt/format.h>

#include <iterator>

#include <utf8.h>

namespace snapsave::os {

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::string valid;
  utf8::replace_invalid(utf8.begin(), utf8.end(), std::back_inserter(valid));
  std::u16string out;
  utf8::utf8to16(valid.begin(), valid.end(), std::back_inserter(out));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  // Unpaired surrogates become U+FFFD instead of aborting the conversion.
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(utf16[i + 1]) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    utf8::append(cp, std::back_inserter(out));
  }
  return out;
}

std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

std::string_view ExtensionOf(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return name.substr(dot + 1);
}

std::string HumanSize(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return fmt::format("{} B", bytes);
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  return fmt::format("{:.1f} {}", value, kUnits[unit]);
}

std::filesystem::path PathFromUtf8(std::string_view utf8) {
#ifdef _WIN32
  const std::u16string wide = Utf8ToUtf16(utf8);
  return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
#else
  return std::filesystem::path(std::string(utf8));
#endif
}

std::string Utf8OfPath(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::wstring wide = path.generic_wstring();
  return Utf16ToUtf8(std::u16string(wide.begin(), wide.end()));
#else
  return path.native();
#endif
}

}  // namespace snapsave::os
