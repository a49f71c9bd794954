// The report's hashes must be the SHA-256 every other tool computes: the standard's test vectors, fed whole
// and in uneven pieces.
#include "os/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace snapsave::os {
namespace {

std::string Hash(const std::string& text, size_t piece) {
  Sha256 sha;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  for (size_t at = 0; at < text.size(); at += piece)
    sha.Update(std::span(bytes + at, std::min(piece, text.size() - at)));
  return sha.HexDigest();
}

TEST(Sha256, StandardVectorsWholeAndInPieces) {
  const std::string million(1000000, 'a');
  const std::string twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  for (size_t piece : {size_t{1}, size_t{7}, size_t{63}, size_t{64}, size_t{1000}, size_t{1} << 20}) {
    EXPECT_EQ(Hash("", piece), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Hash("abc", piece), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Hash(twoBlocks, piece), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Hash(million, piece), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  }
}

}  // namespace
}  // namespace snapsave::os
