// Little-endian reads over bounded spans. Every on-disk parser reads through these; an offset past the span
// yields 0 instead of reading beyond what came from disk, and `Has` lets a parser reject short input first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace snapsave {

using ByteSpan = std::span<const uint8_t>;

inline bool Has(ByteSpan b, size_t offset, size_t length) {
  return offset <= b.size() && length <= b.size() - offset;
}

inline uint8_t Le8(ByteSpan b, size_t off) {
  return off < b.size() ? b[off] : 0;
}

inline uint16_t Le16(ByteSpan b, size_t off) {
  if (!Has(b, off, 2)) return 0;
  return static_cast<uint16_t>(b[off] | (b[off + 1] << 8));
}

inline uint32_t Le32(ByteSpan b, size_t off) {
  if (!Has(b, off, 4)) return 0;
  return static_cast<uint32_t>(b[off]) | (static_cast<uint32_t>(b[off + 1]) << 8) |
         (static_cast<uint32_t>(b[off + 2]) << 16) | (static_cast<uint32_t>(b[off + 3]) << 24);
}

inline uint64_t Le64(ByteSpan b, size_t off) {
  if (!Has(b, off, 8)) return 0;
  return static_cast<uint64_t>(Le32(b, off)) | (static_cast<uint64_t>(Le32(b, off + 4)) << 32);
}

inline uint16_t Be16(ByteSpan b, size_t off) {
  if (!Has(b, off, 2)) return 0;
  return static_cast<uint16_t>((b[off] << 8) | b[off + 1]);
}

inline uint32_t Be24(ByteSpan b, size_t off) {
  if (!Has(b, off, 3)) return 0;
  return (static_cast<uint32_t>(b[off]) << 16) | (static_cast<uint32_t>(b[off + 1]) << 8) |
         static_cast<uint32_t>(b[off + 2]);
}

inline uint32_t Be32(ByteSpan b, size_t off) {
  if (!Has(b, off, 4)) return 0;
  return (static_cast<uint32_t>(b[off]) << 24) | (static_cast<uint32_t>(b[off + 1]) << 16) |
         (static_cast<uint32_t>(b[off + 2]) << 8) | static_cast<uint32_t>(b[off + 3]);
}

inline uint64_t Be64(ByteSpan b, size_t off) {
  if (!Has(b, off, 8)) return 0;
  return (static_cast<uint64_t>(Be32(b, off)) << 32) | Be32(b, off + 4);
}

// True when the bytes at `off` equal `text` (no terminator compared).
inline bool BytesEqual(ByteSpan b, size_t off, std::string_view text) {
  return Has(b, off, text.size()) && std::memcmp(b.data() + off, text.data(), text.size()) == 0;
}

inline bool BytesEqual(ByteSpan b, size_t off, std::initializer_list<uint8_t> bytes) {
  if (!Has(b, off, bytes.size())) return false;
  size_t i = off;
  for (uint8_t v : bytes) {
    if (b[i++] != v) return false;
  }
  return true;
}

// Writers refuse offsets past the span, like the readers.
inline void PutLe16(std::span<uint8_t> b, size_t off, uint16_t v) {
  if (off > b.size() || b.size() - off < 2) return;
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(std::span<uint8_t> b, size_t off, uint32_t v) {
  if (off > b.size() || b.size() - off < 4) return;
  for (size_t i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe64(std::span<uint8_t> b, size_t off, uint64_t v) {
  if (off > b.size() || b.size() - off < 8) return;
  for (size_t i = 0; i < 8; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace snapsave
