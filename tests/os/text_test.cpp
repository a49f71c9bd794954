#include "os/text.h"

#include <gtest/gtest.h>

#include "os/byte_reader.h"

namespace snapsave {
namespace {

TEST(TextConversion, RoundTripsNonAsciiAndAstralCharacters) {
  const std::string utf8 = "Fotos_\xC3\xA9t\xC3\xA9_\xE6\x97\xA5\xE6\x9C\xAC_\xF0\x9F\x98\x80";
  const std::u16string utf16 = os::Utf8ToUtf16(utf8);
  EXPECT_EQ(utf16.size(), 6u + 3u + 1u + 2u + 1u + 2u);
  EXPECT_EQ(os::Utf16ToUtf8(utf16), utf8);
}

TEST(TextConversion, DamagedInputIsReplacedNotRejected) {
  EXPECT_EQ(os::Utf16ToUtf8(u"a\xD800z"), "a\xEF\xBF\xBDz");
  std::u16string fromBad = os::Utf8ToUtf16("a\xFFz");
  ASSERT_EQ(fromBad.size(), 3u);
  EXPECT_EQ(fromBad[1], 0xFFFD);
}

TEST(TextConversion, ExtensionIsTextAfterTheLastDot) {
  EXPECT_EQ(os::ExtensionOf("a.tar.GZ"), "GZ");
  EXPECT_EQ(os::ExtensionOf("README"), "");
  EXPECT_EQ(os::ExtensionOf("dot."), "");
  EXPECT_EQ(os::AsciiLower("IMG_01.JPG"), "img_01.jpg");
}

TEST(ByteReader, ReadsLittleAndBigEndianAndNeverPastTheSpan) {
  const uint8_t raw[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  ByteSpan b(raw);
  EXPECT_EQ(Le16(b, 0), 0x0201);
  EXPECT_EQ(Le32(b, 4), 0x08070605u);
  EXPECT_EQ(Le64(b, 0), 0x0807060504030201ull);
  EXPECT_EQ(Be32(b, 0), 0x01020304u);
  // Reads that would leave the span yield 0.
  EXPECT_EQ(Le32(b, 6), 0u);
  EXPECT_EQ(Le64(b, 1), 0u);
  EXPECT_EQ(Le16(b, SIZE_MAX), 0u);
  EXPECT_FALSE(Has(b, SIZE_MAX, 2));
  EXPECT_TRUE(BytesEqual(b, 2, {0x03, 0x04}));
  EXPECT_FALSE(BytesEqual(b, 7, {0x08, 0x09}));
}

}  // namespace
}  // namespace snapsave
