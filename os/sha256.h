// SHA-256 (FIPS 180-4), for the hashes a recovery report gives of each recovered file. Written here because
// the Windows build has no packaged hash library to link.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

namespace snapsave::os {

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const uint8_t> bytes);
  // The digest as 64 lower-case hexadecimal digits; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const uint8_t* block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> pending_{};
  size_t pendingBytes_ = 0;
  uint64_t totalBytes_ = 0;
};

// The SHA-256 of a whole file: 0 and `hex`, or the error of reading it.
uint32_t Sha256OfFile(const std::filesystem::path& path, std::string& hex);

}  // namespace snapsave::os
