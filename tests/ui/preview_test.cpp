#include "app/preview.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <random>
#include <string>
#include <vector>

namespace snapsave::app {
namespace {

// The literal's bytes, NULs included.
template <size_t N>
std::vector<uint8_t> Bytes(const char (&text)[N]) {
  return {text, text + N - 1};
}

// What the preview box shows of a file that is not a picture: text in each encoding it can be in (a character
// cut by the 64 KiB limit left out), and a hex view of anything else, as wide as the box allows.
TEST(BytesPreview, TextInEachEncodingAndHexForTheRest) {
  auto shown = [](const std::vector<uint8_t>& b) { return PreviewOfBytes(b, 4); };
  EXPECT_EQ(shown(Bytes("caf\xC3\xA9 au lait\n")).content, QStringLiteral("caf\u00E9 au lait\n"));
  EXPECT_EQ(shown(Bytes("caf\xE9\r\n")).content, QStringLiteral("caf\u00E9\r\n"));  // Latin-1
  EXPECT_EQ(shown(Bytes("\xFF\xFEh\0i\0")).content, QStringLiteral("hi"));
  EXPECT_EQ(shown(Bytes("\xFE\xFF\0h\0i")).content, QStringLiteral("hi"));
  EXPECT_EQ(shown(Bytes("n\0o\0 \0m\0a\0r\0k\0")).content, QStringLiteral("no mark"));

  std::vector<uint8_t> cut(kPreviewTextBytes - 1, 'a');
  for (const int c : {0xE2, 0x82, 0xAC})
    cut.push_back(static_cast<uint8_t>(c));  // a euro sign across the limit
  const BytesPreview text = shown(cut);
  EXPECT_TRUE(text.isText);
  EXPECT_EQ(text.content.size(), static_cast<qsizetype>(kPreviewTextBytes - 1));

  const BytesPreview binary = shown(Bytes("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR"));
  EXPECT_FALSE(binary.isText);
  EXPECT_EQ(binary.content.split(QLatin1Char('\n')),
            (QStringList{QStringLiteral("0000 89 50 4E 47 .PNG"), QStringLiteral("0004 0D 0A 1A 0A ...."),
                         QStringLiteral("0008 00 00 00 0D ...."), QStringLiteral("000C 49 48 44 52 IHDR")}));
  EXPECT_EQ(PreviewOfBytes(Bytes("\0\x01\x02"), 8).content,
            QStringLiteral("0000 00 01 02 ") + QString(15, QLatin1Char(' ')) + QStringLiteral("..."));
  EXPECT_EQ(HexBytesPerLine(21), 4);
  EXPECT_EQ(HexBytesPerLine(68), 8);
  EXPECT_EQ(HexBytesPerLine(69), 16);
  EXPECT_EQ(HexBytesPerLine(5), 1);
}

// Bytes from a disk are anything: random runs of every length around the limit, text-like and not, give text
// or whole hex lines (one per `perLine` bytes of the first 64 KiB), never more.
TEST(BytesPreview, AnyBytesGiveTextOrWholeHexLines) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    const size_t size = round < 100 ? random() % 300 : kPreviewTextBytes - 150 + random() % 300;
    std::vector<uint8_t> bytes(size);
    const uint32_t range = round % 3 == 0 ? 128 : 256;  // a third mostly ASCII
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() % range);
    const int perLine = 1 << (round % 5);
    const BytesPreview shown = PreviewOfBytes(bytes, perLine);
    if (shown.isText) continue;
    const size_t shownBytes = std::min(size, kPreviewTextBytes);
    const size_t lines = (shownBytes + static_cast<size_t>(perLine) - 1) / static_cast<size_t>(perLine);
    EXPECT_EQ(static_cast<size_t>(shown.content.count(QLatin1Char('\n'))) + (lines == 0 ? 0 : 1), lines);
  }
}

}  // namespace
}  // namespace snapsave::app
