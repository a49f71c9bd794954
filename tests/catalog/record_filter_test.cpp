// The results' filter: name patterns, size and date texts as a user types them, and each state.
#include "catalog/record_filter.h"

#include <gtest/gtest.h>

#include "os/clock.h"

namespace snapsave {
namespace {

TEST(NameMatches, RunsAnywhereWithStarsQuestionMarksAndEitherCase) {
  EXPECT_TRUE(NameMatches("", "anything"));
  EXPECT_TRUE(NameMatches("img", "DCIM_IMG_0001.JPG"));
  EXPECT_TRUE(NameMatches("img_00?1.jpg", "IMG_0001.JPG"));
  EXPECT_TRUE(NameMatches("img*.jpg", "old IMG_0001.JPG.bak"));
  EXPECT_TRUE(NameMatches("**", ""));
  EXPECT_TRUE(NameMatches("a*b*c", "xxaYYbZZcxx"));
  EXPECT_FALSE(NameMatches("img_00?1", "IMG_001"));
  EXPECT_FALSE(NameMatches("a*b*c", "xxaYYcZZbxx"));
  EXPECT_FALSE(NameMatches("x", ""));
  // A star must give back what it took when the rest fails further on.
  EXPECT_TRUE(NameMatches("ab*abc", "ababab_abc"));
  // Letters beyond ASCII match themselves only; they are never folded into something else.
  EXPECT_TRUE(NameMatches("\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9.txt"));
  EXPECT_FALSE(NameMatches("\xc3\xa9", "E"));
  // A pattern of many stars over a long name ends at once.
  EXPECT_FALSE(NameMatches(std::string(200, '*') + "z", std::string(250, 'a')));
}

TEST(RecordFilterTexts, SizesAndDatesAsTyped) {
  EXPECT_EQ(ParseSizeText("1500"), 1500u);
  EXPECT_EQ(ParseSizeText(" 10 KB "), 10240u);
  EXPECT_EQ(ParseSizeText("1.5 MiB"), 1572864u);
  EXPECT_EQ(ParseSizeText("1.5mb"), 1572864u);
  EXPECT_EQ(ParseSizeText("2G"), uint64_t{2} << 30);
  EXPECT_EQ(ParseSizeText("3 b"), 3u);
  for (const char* bad : {"", "KB", "10 XB", "10 KBB", "1.2.3", "-4", "99999999999 TB"})
    EXPECT_EQ(ParseSizeText(bad), std::nullopt) << bad;

  const auto day = ParseDateText("2026-12-01", false);
  ASSERT_TRUE(day.has_value());
  const os::LocalTime t = os::CivilTimeOfFileTime(*day);
  EXPECT_EQ(t.year * 10000 + t.month * 100 + t.day, 20261201);
  EXPECT_EQ(t.hour + t.minute + t.second, 0);
  EXPECT_EQ(ParseDateText("2026-12-01", true), *day + 864'000'000'000ull - 1);
  for (const char* bad :
       {"2026-02-30", "2026-13-01", "2026/12/01", "2026-12", "2026-12-01x", "", "1500-01-01"})
    EXPECT_EQ(ParseDateText(bad, false), std::nullopt) << bad;
}

TEST(RecordFilter, EachBoundAndStateNarrowsFilesButFoldersPassOnTheirName) {
  FoundFileRecord file = MakeEmptyRecord();
  file.SetName("IMG_0001.JPG");
  file.fileSize = 5000;
  file.writeTime = *ParseDateText("2026-06-15", false) + 1;
  file.sourceKind = static_cast<uint32_t>(SourceKind::kFatQuick);  // a quick engine lists deleted files only
  file.isIntact = 1;
  RecordFilter f;
  EXPECT_TRUE(f.IsEmpty());
  EXPECT_TRUE(f.Matches(file));
  f.minSize = 5000;
  f.maxSize = 5000;
  f.fromTime = ParseDateText("2026-06-15", false);
  f.toTime = ParseDateText("2026-06-15", true);
  f.name = "img_*";
  EXPECT_TRUE(f.Matches(file));
  f.state = RecordFilter::State::kDeleted;
  EXPECT_TRUE(f.Matches(file));
  f.state = RecordFilter::State::kIntact;
  EXPECT_TRUE(f.Matches(file));
  f.state = RecordFilter::State::kDamaged;
  EXPECT_FALSE(f.Matches(file));
  f.state = RecordFilter::State::kNameGuessed;
  EXPECT_FALSE(f.Matches(file));
  file.isDeleted |= kDeletedNameGuessed;
  EXPECT_TRUE(f.Matches(file));

  RecordFilter bounds;
  bounds.minSize = 5001;
  EXPECT_FALSE(bounds.Matches(file));
  bounds = {};
  bounds.maxSize = 4999;
  EXPECT_FALSE(bounds.Matches(file));
  bounds = {};
  bounds.toTime = ParseDateText("2026-06-14", true);
  EXPECT_FALSE(bounds.Matches(file));
  file.writeTime = 0;  // an unknown date lies in no range
  bounds = {};
  bounds.fromTime = ParseDateText("1601-01-02", false);
  EXPECT_FALSE(bounds.Matches(file));

  FoundFileRecord carved = file;
  carved.sourceKind = static_cast<uint32_t>(SourceKind::kCarved);  // cannot tell: not listed as deleted
  f = {};
  f.state = RecordFilter::State::kDeleted;
  EXPECT_FALSE(f.Matches(carved));

  FoundFileRecord folder = MakeEmptyRecord();
  folder.SetName("DCIM");
  folder.isFolder = 1;
  f = {};
  f.minSize = 1;
  f.state = RecordFilter::State::kDamaged;
  EXPECT_TRUE(f.Matches(folder));
  f.name = "music";
  EXPECT_FALSE(f.Matches(folder));
}

}  // namespace
}  // namespace snapsave
