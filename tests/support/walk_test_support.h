// Crafted files for the length-rule walkers: bytes built field by field, laid out from sector 0 of an image
// and walked there.
#pragma once

#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "filetypes/format_walks.h"
#include "filetypes/carving_context.h"
#include "tests/support/carve_test_support.h"

namespace snapsave::test {

class Bytes {
 public:
  Bytes& Raw(const std::string& s) {
    // Byte by byte: GCC 12 at -O3 sees an overflow that is not there in a range insert from a string.
    for (char c : s) data_.push_back(static_cast<uint8_t>(c));
    return *this;
  }
  Bytes& Le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) data_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& Be(uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) data_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bytes& Fill(size_t n, uint8_t v = 0x5A) {
    data_.insert(data_.end(), n, v);
    return *this;
  }
  // A PNG chunk: its length, type, data and CRC.
  Bytes& PngChunk(const std::string& type, const std::string& body) {
    Be(body.size(), 4).Raw(type).Raw(body);
    const std::string both = type + body;
    return Be(crc32(0, reinterpret_cast<const Bytef*>(both.data()), static_cast<uInt>(both.size())), 4);
  }
  // An ISO box of `total` bytes with a 32-bit size.
  Bytes& Box(const std::string& type, uint32_t total) { return Be(total, 4).Raw(type).Fill(total - 8); }
  Bytes& Cut(size_t n) {
    data_.resize(n);
    return *this;
  }
  Bytes& Append(const std::vector<uint8_t>& v) {
    data_.insert(data_.end(), v.begin(), v.end());
    return *this;
  }
  size_t size() const { return data_.size(); }
  const std::vector<uint8_t>& data() const { return data_; }
  std::vector<uint8_t> Image(size_t bytes) const {
    std::vector<uint8_t> out = data_;
    out.resize(bytes, 0xA7);  // not zeros: nothing may end only because the rest is empty
    return out;
  }

 private:
  std::vector<uint8_t> data_;
};

// Runs `walk` over `bytes` laid out from sector 0 of an image of `imageBytes`.
template <typename Walk>
inline uint64_t Walked(const Bytes& bytes, size_t imageBytes, Walk walk) {
  SectorImage image(bytes.Image(imageBytes));
  CarvingContext ctx;
  EXPECT_TRUE(ctx.AcquireWorkBuffer());
  ctx.Begin(&image.reader(), 512, 0);
  const std::vector<uint8_t> header = image.Sector(0);
  FileBytes file(ctx, header);
  return walk(file);
}

inline Bytes Of(const std::vector<uint8_t>& v, size_t n = SIZE_MAX) {
  Bytes b;
  b.Raw(std::string(v.begin(), v.begin() + static_cast<ptrdiff_t>(std::min(n, v.size()))));
  return b;
}

}  // namespace snapsave::test
