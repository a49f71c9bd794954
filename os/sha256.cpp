#include "os/sha256.h"

#include <algorithm>
#include <vector>

#include "os/error.h"
#include "os/file.h"

namespace snapsave::os {
namespace {

constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t Rotr(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {
}

void Sha256::Block(const uint8_t* block) {
  std::array<uint32_t, 64> w{};
  for (size_t i = 0; i < 16; ++i)
    w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 | uint32_t{block[4 * i + 2]} << 8 |
           uint32_t{block[4 * i + 3]};
  for (size_t i = 16; i < 64; ++i) {
    const uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  auto [a, b, c, d, e, f, g, h] = state_;
  for (size_t i = 0; i < 64; ++i) {
    const uint32_t t1 =
        h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::array<uint32_t, 8> add{a, b, c, d, e, f, g, h};
  for (size_t i = 0; i < 8; ++i) state_[i] += add[i];
}

void Sha256::Update(std::span<const uint8_t> bytes) {
  totalBytes_ += bytes.size();
  while (!bytes.empty()) {
    if (pendingBytes_ == 0 && bytes.size() >= 64) {
      Block(bytes.data());
      bytes = bytes.subspan(64);
      continue;
    }
    const size_t take = std::min(bytes.size(), 64 - pendingBytes_);
    std::copy_n(bytes.begin(), take, pending_.begin() + static_cast<ptrdiff_t>(pendingBytes_));
    pendingBytes_ += take;
    bytes = bytes.subspan(take);
    if (pendingBytes_ == 64) {
      Block(pending_.data());
      pendingBytes_ = 0;
    }
  }
}

std::string Sha256::HexDigest() {
  const uint64_t bits = totalBytes_ * 8;
  const uint8_t one = 0x80;
  Update({&one, 1});
  const uint8_t zero = 0;
  while (pendingBytes_ != 56) Update({&zero, 1});
  std::array<uint8_t, 8> length{};
  for (size_t i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  Update(length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : state_) {
    for (int shift = 28; shift >= 0; shift -= 4) hex.push_back(kHex[(word >> shift) & 0xF]);
  }
  return hex;
}

uint32_t Sha256OfFile(const std::filesystem::path& path, std::string& hex) {
  hex.clear();
  File file;
  if (uint32_t e = file.OpenRead(path); e != err::kSuccess) return e;
  Sha256 sha;
  std::vector<uint8_t> buffer(1 << 20);
  for (uint64_t at = 0;;) {
    size_t got = 0;
    if (uint32_t e = file.ReadAt(at, buffer, got); e != err::kSuccess) return e;
    if (got == 0) break;
    sha.Update(std::span(buffer).first(got));
    at += got;
  }
  hex = sha.HexDigest();
  return err::kSuccess;
}

}  // namespace snapsave::os
