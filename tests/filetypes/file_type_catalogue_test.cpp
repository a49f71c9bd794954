#include "filetypes/file_type_catalogue.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "filetypes/carving_context.h"
#include "tests/support/carve_test_support.h"

namespace snapsave {
namespace {

using namespace typecode;

TEST(CarvingTypeTable, RowsOfEveryFamily) {
  const auto table = CarvingTypeTable();
  ASSERT_GT(table.size(), 100u);
  for (size_t i = 0; i < table.size(); ++i) {
    EXPECT_NE(table[i].typeCode, kNoType);
    EXPECT_NE(table[i].header, nullptr);
  }
  // DetectType runs each distinct test once; that is only the same as running every row if rows sharing a
  // test are adjacent.
  for (size_t i = 0; i < table.size(); ++i) {
    for (size_t j = i + 2; j < table.size(); ++j) {
      if (table[j].header == table[i].header) {
        EXPECT_EQ(table[j - 1].header, table[i].header) << i << " " << j;
      }
    }
  }
  // Recognised only (they end other files): what has no walker yet.
  const std::set<std::string_view> kRecognisedOnly = {"cab", "exe", "dll", "sys", "gho", "dbx", "ttf"};
  for (size_t i = 0; i < table.size(); ++i)
    EXPECT_EQ(table[i].IsCarved(), kRecognisedOnly.count(table[i].extension) == 0) << table[i].extension;
}

// Every code names a row, the first of those sharing it naming the extension.
TEST(CarvingTypeTable, FirstRowOfACodeNamesItsExtension) {
  EXPECT_EQ(FirstRowWithCode(kAsf)->extension, "wmv");
  for (uint32_t code = 0; code <= kLastTypeCode; ++code)
    EXPECT_EQ(FirstRowWithCode(code) == nullptr, code == kNoType) << code;
}

TEST(FindTypeCodeByExtension, IgnoresCaseAndKnowsOnlyTableExtensions) {
  EXPECT_EQ(FindTypeCodeByExtension("XLSX"), kXlsx);
  EXPECT_EQ(FindTypeCodeByExtension("JpEg"), kJpeg);
  EXPECT_EQ(FindTypeCodeByExtension("vob"), kMpeg);
  EXPECT_EQ(FindTypeCodeByExtension("mso07"), kMso07);
  EXPECT_EQ(FindTypeCodeByExtension("txt"), kNoType);
  EXPECT_EQ(FindTypeCodeByExtension(""), kNoType);
  EXPECT_EQ(FindTypeCodeByExtension(".jpg"), kNoType);
  EXPECT_EQ(FindTypeCodeByExtension("jp"), kNoType);
}

// An extension passes when its first row's test says so; unknown extensions pass; office containers answer
// for their application.
TEST(VerifyExtension, ChecksTheFirstRowOfTheExtension) {
  const std::vector<uint8_t> junk(512, 0xAB);
  EXPECT_TRUE(VerifyExtension(junk, "txt", nullptr, 4096, 5));
  const test::SectorImage jpg(test::FixtureHead("pic.jpg"));
  EXPECT_TRUE(VerifyExtension(jpg.Sector(0), "jfif", &jpg.reader(), 512, 0));
  EXPECT_FALSE(VerifyExtension(jpg.Sector(0), "png", &jpg.reader(), 512, 0));
  const auto docx = test::FixtureHead("report.docx");
  const test::SectorImage image(docx);
  const auto sector = image.Sector(0);
  EXPECT_TRUE(VerifyExtension(sector, "docx", &image.reader(), 512, 0));
  EXPECT_TRUE(VerifyExtension(sector, "dotm", &image.reader(), 512, 0));
  EXPECT_FALSE(VerifyExtension(sector, "xlsx", &image.reader(), 512, 0));
  EXPECT_FALSE(VerifyExtension(sector, "mso07", &image.reader(), 512, 0));  // no test ever yields 7
  EXPECT_TRUE(VerifyExtension(sector, "zip", &image.reader(), 512, 0));
  // Without a source the members cannot be read.
  EXPECT_FALSE(VerifyExtension(sector, "docx", nullptr, 512, 0));
}

// DetectType skips tests by the first byte; that must never change which test wins.
TEST(DetectType, AgreesWithRunningEveryRowInOrder) {
  const CarvingContext ctx;
  std::vector<std::vector<uint8_t>> samples;
  for (const char* name :
       {"ps.vob", "movie.mp4", "movie.3gp", "movie.mov", "movie.ts", "movie.mxf", "tone.mp3", "pic.ico",
        "pic.jpg", "report.docx", "words.zip", "tiny.exe", "font.ttf"}) {
    auto head = test::FixtureHead(name);
    head.resize(512);
    samples.push_back(head);
  }
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> byte(0, 255);
  const size_t headers = samples.size();
  for (int lead = 0; lead < 256; ++lead) {
    std::vector<uint8_t> s(512);
    for (auto& b : s) b = static_cast<uint8_t>(byte(rng));
    s[0] = static_cast<uint8_t>(lead);
    samples.push_back(s);
  }
  // Headers with single bytes changed reach the deeper conditions of each test.
  for (size_t h = 0; h < headers; ++h) {
    for (int k = 0; k < 200; ++k) {
      auto s = samples[h];
      s[static_cast<size_t>(byte(rng)) % 64] = static_cast<uint8_t>(byte(rng));
      samples.push_back(s);
    }
  }
  for (const auto& s : samples) {
    ASSERT_EQ(DetectType(ctx, s), DetectTypeSequential(ctx, s));
    for (size_t len : {size_t{0}, size_t{1}, size_t{7}, size_t{15}, size_t{16}, size_t{31}, size_t{48},
                       size_t{188}, size_t{511}}) {
      const std::span<const uint8_t> prefix(s.data(), len);
      ASSERT_EQ(DetectType(ctx, prefix), DetectTypeSequential(ctx, prefix)) << len;
    }
  }
}

}  // namespace
}  // namespace snapsave
