// Text conversions. Names inside found-file records are in the system's narrow code page, which is UTF-8
// here; stored files that hold UTF-16 hold it as UTF-16LE.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace snapsave::os {

// Invalid input is replaced with U+FFFD rather than rejected: names come from damaged disks.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// A path from UTF-8 text, and a path as UTF-8 text with '/' between its components on every platform (as
// printed: Windows takes it, and a '\' left in a name stays unambiguous). Windows paths are UTF-16, and
// narrow text handed to std::filesystem there would be read in the ANSI code page.
std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8OfPath(const std::filesystem::path& path);

// Lower-cases A-Z only, as the on-disk comparisons do.
std::string AsciiLower(std::string_view s);
inline char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Text after the last '.', or empty when there is none.
std::string_view ExtensionOf(std::string_view name);

// "512 B", "1.5 KiB", "7.8 MiB": a size in binary units with one decimal.
std::string HumanSize(uint64_t bytes);

}  // namespace snapsave::os
