#include "cli/terminal_text.h"

#include <cstdint>

namespace snapsave::cli {

namespace {

void AppendEscaped(std::string& out, uint8_t byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

// Length of the valid UTF-8 sequence at `at` and its code point, or 0 when the bytes there are not one.
size_t DecodeUtf8(std::string_view s, size_t at, uint32_t& cp) {
  const auto b0 = static_cast<uint8_t>(s[at]);
  size_t length = 0;
  uint32_t min = 0;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    length = 2, cp = b0 & 0x1Fu, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, cp = b0 & 0x0Fu, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, cp = b0 & 0x07u, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto b = static_cast<uint8_t>(s[at + i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  // Overlong forms, surrogates and values past Unicode are not UTF-8.
  if (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return length;
}

}  // namespace

std::string EscapeForTerminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    uint32_t cp = 0;
    const size_t length = DecodeUtf8(text, at, cp);
    if (length == 0) {
      AppendEscaped(out, static_cast<uint8_t>(text[at]));
      ++at;
      continue;
    }
    // A backslash is escaped only where it could be read as the start of an escape (Windows paths keep
    // theirs).
    const bool escapeLike = cp == '\\' && at + 1 < text.size() && text[at + 1] == 'x';
    if (cp < 0x20 || cp == 0x7F || escapeLike || (cp >= 0x80 && cp <= 0x9F)) {
      for (size_t i = 0; i < length; ++i) AppendEscaped(out, static_cast<uint8_t>(text[at + i]));
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out;
}

}  // namespace snapsave::cli
