// What a disk image or rescue copy reads from: the disk or file opened read-only in production; tests put
// failing media here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace snapsave {

class ImageSource {
 public:
  virtual ~ImageSource() = default;
  // Positioned read: 0 and `got` (short or 0 at the end), or a Win32 error.
  virtual uint32_t ReadAt(uint64_t offset, std::span<uint8_t> buffer, size_t& got) = 0;
};

}  // namespace snapsave
