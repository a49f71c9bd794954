#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/fat/fat_boot_sector.h"
#include "fs/fat/fat_dir_block.h"
#include "fs/fat/fat_dir_entry.h"
#include "fs/fat/fat_table_window.h"
#include "os/byte_reader.h"
#include "os/error.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

// A FAT16-style boot sector: 512-byte sectors, 4 per cluster, 1 reserved, 2 FATs of 32 sectors, 512 root
// entries.
std::vector<uint8_t> Boot16(uint32_t totalSectors = 32768) {
  std::vector<uint8_t> b(512, 0);
  PutLe16(b, 11, 512);
  b[13] = 4;
  PutLe16(b, 14, 1);
  b[16] = 2;
  PutLe16(b, 17, 512);
  PutLe16(b, 19, static_cast<uint16_t>(totalSectors));
  PutLe16(b, 22, 32);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

std::vector<uint8_t> Boot32() {
  std::vector<uint8_t> b(512, 0);
  PutLe16(b, 11, 512);
  b[13] = 1;
  PutLe16(b, 14, 32);
  b[16] = 2;
  PutLe32(b, 32, 200000);
  PutLe32(b, 36, 1600);
  PutLe32(b, 44, 2);
  std::memcpy(b.data() + 82, "FAT32   ", 8);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

// A 32-byte short entry dated 2020-06-15 12:30:10.
std::array<uint8_t, 32> Entry(const char name11[12], uint8_t attr, uint32_t cluster = 5,
                              uint32_t size = 100) {
  std::array<uint8_t, 32> e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = attr;
  const uint16_t date = static_cast<uint16_t>(((2020 - 1980) << 9) | (6 << 5) | 15);
  const uint16_t time = static_cast<uint16_t>((12 << 11) | (30 << 5) | 5);
  PutLe16(e, 14, time);
  PutLe16(e, 16, date);
  PutLe16(e, 18, date);
  PutLe16(e, 22, time);
  PutLe16(e, 24, date);
  PutLe16(e, 20, static_cast<uint16_t>(cluster >> 16));
  PutLe16(e, 26, static_cast<uint16_t>(cluster));
  PutLe32(e, 28, size);
  return e;
}

TEST(FatBootSector, DetectionFollowsTheParameterTests) {
  EXPECT_TRUE(IsFatBootSector(Boot16()));
  EXPECT_TRUE(IsFatBootSector(Boot32()));

  auto encrypted = Boot16();
  std::memcpy(encrypted.data() + 3, "-FVE-FS-", 8);
  EXPECT_TRUE(IsEncryptedVolumeBootSector(encrypted));
  EXPECT_FALSE(IsFatBootSector(encrypted));

  auto marker = Boot32();
  std::memset(marker.data() + 480, 0x78, 8);
  std::memset(marker.data() + 488, 0xFF, 19);
  marker[507] = 0x00;
  marker[508] = 0x1F;
  marker[509] = 0x2C;
  EXPECT_FALSE(IsFatBootSector(marker));

  // A FAT32 label whose other FAT32 fields are zero, with the 16-bit test failing too.
  auto hollow = Boot32();
  PutLe32(hollow, 36, 0);
  EXPECT_FALSE(IsFatBootSector(hollow));

  auto oddSector = Boot16();
  PutLe16(oddSector, 11, 700);
  EXPECT_FALSE(IsFatBootSector(oddSector));
  auto noSignature = Boot16();
  noSignature[510] = 0;
  EXPECT_FALSE(IsFatBootSector(noSignature));
  EXPECT_FALSE(IsFatBootSector(std::vector<uint8_t>(100, 0)));
}

TEST(FatBootSector, GeometryLocatesRegionsAndPicksTheEntryWidth) {
  auto g16 = ParseFatGeometry(Boot16(), 0, 32768);
  ASSERT_TRUE(g16);
  EXPECT_FALSE(g16->isFat32);
  EXPECT_EQ(g16->width, FatWidth::k16);
  EXPECT_EQ(g16->dataStart, 1u + 64 + 32);
  EXPECT_EQ(g16->ClusterSector(2), 97u);
  EXPECT_EQ(g16->ClusterSector(0), 65u);  // the fixed root region
  EXPECT_EQ(g16->clusterBytes, 2048u);

  // A floppy: 224 root entries take 14 sectors, and 2847 clusters call for 12-bit entries.
  auto floppy = Boot16(2880);
  floppy[13] = 1;
  PutLe16(floppy, 17, 224);
  PutLe16(floppy, 22, 9);
  auto g12 = ParseFatGeometry(floppy, 0, 2880);
  ASSERT_TRUE(g12);
  EXPECT_EQ(g12->width, FatWidth::k12);
  EXPECT_EQ(g12->rootDirSectors, 14u);
  EXPECT_EQ(g12->dataStart, 1u + 18 + 14);

  auto g32 = ParseFatGeometry(Boot32(), 2048, 200000);
  ASSERT_TRUE(g32);
  EXPECT_TRUE(g32->isFat32);
  EXPECT_EQ(g32->rootCluster, 2u);
  EXPECT_EQ(g32->fatStart, 2048u + 32);
  EXPECT_EQ(g32->ClusterSector(3), 2048u + 32 + 3200 + 1);

  // Values no FAT driver accepts are refused before they reach any arithmetic.
  auto absurd = Boot16();
  PutLe16(absurd, 11, 65024);
  absurd[13] = 128;
  EXPECT_FALSE(ParseFatGeometry(absurd, 0, 32768));
  auto noData = Boot16(60);
  EXPECT_FALSE(ParseFatGeometry(noData, 0, 60));
}

TEST(FatDirEntry, PlausibilityRules) {
  auto file = Entry("PHOTO   JPG", fat_attr::kArchive);
  EXPECT_TRUE(IsValidDirEntry(file));
  auto noArchive = Entry("PHOTO   JPG", 0);
  EXPECT_FALSE(IsValidDirEntry(noArchive));
  EXPECT_TRUE(IsValidDirEntry(Entry("PHOTOS     ", fat_attr::kDirectory, 5, 0)));

  // 1985 is before any plausible live stamp, but a deleted entry is not held to it.
  auto old = Entry("PHOTO   JPG", fat_attr::kArchive);
  PutLe16(old, 16, static_cast<uint16_t>((5 << 9) | (1 << 5) | 1));
  EXPECT_FALSE(IsValidDirEntry(old));
  old[0] = kDeletedMark;
  EXPECT_TRUE(IsValidDirEntry(old));

  EXPECT_FALSE(IsValidDirEntry(Entry("photo   jpg", fat_attr::kArchive)));
  EXPECT_FALSE(IsValidDirEntry(Entry("PHOTO   JPG", fat_attr::kArchive, 5, 0)));  // empty file with a cluster
  EXPECT_FALSE(IsValidDirEntry(Entry("PHOTOS     ", fat_attr::kDirectory, 5, 10)));
  EXPECT_FALSE(IsValidDirEntry(Entry("PHOTOS     ", fat_attr::kDirectory | fat_attr::kReadOnly, 5, 0)));
  EXPECT_FALSE(IsValidDirEntry(Entry("PHOTO   JPG", 0x60)));

  std::array<uint8_t, 64> dots{};
  auto dot = Entry(".          ", fat_attr::kDirectory, 5, 0);
  auto dotdot = Entry("..         ", fat_attr::kDirectory, 0, 0);
  std::memcpy(dots.data(), dot.data(), 32);
  std::memcpy(dots.data() + 32, dotdot.data(), 32);
  EXPECT_TRUE(IsDotPair(dots));
  EXPECT_TRUE(IsValidDirEntry(dots));  // '.' is an illegal name byte, but the pair is accepted first
}

TEST(FatDirEntry, NamesAndTimes) {
  auto deleted = Entry("\xE5OTO    JPG", fat_attr::kArchive);
  // Capitals as stored, unless the entry's case flags lower the base (0x08) or the extension (0x10).
  EXPECT_EQ(BuildShortName(deleted, false), "!OTO.JPG");
  EXPECT_EQ(BuildShortName(Entry("PHOTOS  ABC", fat_attr::kDirectory, 5, 0), true), "PHOTOS");
  EXPECT_EQ(BuildShortName(Entry("README     ", fat_attr::kArchive), false), "README");
  for (const auto& [flags, name] : {std::pair<uint8_t, const char*>{0x08, "img_0001.JPG"},
                                    {0x10, "IMG_0001.jpg"},
                                    {0x18, "img_0001.jpg"}}) {
    auto lower = Entry("IMG_0001JPG", fat_attr::kArchive);
    lower[12] = flags;
    EXPECT_EQ(BuildShortName(lower, false), name);
    lower[0] = kDeletedMark;
    EXPECT_EQ(BuildShortName(lower, false), "!" + std::string(name + 1));
  }
  // A guessed first letter takes the case of the rest of the base.
  for (const uint8_t flags : {uint8_t{0}, uint8_t{0x18}}) {
    auto live = Entry("DSC_0001JPG", fat_attr::kArchive);
    auto gone = Entry("\xE5SC_0003JPG", fat_attr::kArchive);
    live[12] = gone[12] = flags;
    SiblingNames siblings;
    siblings.Note(DirEntryView{live});
    bool guessed = false;
    EXPECT_EQ(GuessedShortName(DirEntryView{gone}, false, siblings, guessed),
              flags ? "dsc_0003.jpg" : "DSC_0003.JPG");
    EXPECT_TRUE(guessed);
  }

  const auto e = Entry("PHOTO   JPG", fat_attr::kArchive);
  // 2020-06-15 12:30:10 as a FILETIME.
  const uint64_t expected = (uint64_t{1592224210} + 11644473600ull) * 10'000'000ull;
  EXPECT_EQ(DecodeModificationTime(e), expected);
  EXPECT_EQ(DecodeAccessTime(e), (uint64_t{1592179200} + 11644473600ull) * 10'000'000ull);
  auto fine = e;
  fine[13] = 150;  // one more second and a remainder of 50
  EXPECT_EQ(DecodeCreationTime(fine), expected + 10'000'000ull + 50 * 10'000ull);
  auto bad = e;
  PutLe16(bad, 24, static_cast<uint16_t>((40 << 9) | (2 << 5) | 30));  // 30 February
  EXPECT_EQ(DecodeModificationTime(bad), 0u);
}

std::array<uint8_t, 32> LongPiece(uint8_t ordinal, std::u16string_view chars13) {
  std::array<uint8_t, 32> e{};
  e[0] = ordinal;
  e[11] = fat_attr::kLongName;
  static constexpr size_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t i = 0; i < 13; ++i) PutLe16(e, kOffsets[i], i < chars13.size() ? chars13[i] : 0xFFFF);
  return e;
}

TEST(FatDirEntry, LongNamesAreCollectedInReadingOrder) {
  LongNameCollector c;
  // 26 characters in two full pieces, no terminator: nothing beyond them may be read.
  ASSERT_TRUE(c.Add(LongPiece(0x42, u"nopqrstuvwxyz")));
  ASSERT_TRUE(c.Add(LongPiece(0x01, u"abcdefghijklm")));
  EXPECT_EQ(c.Take(), "abcdefghijklmnopqrstuvwxyz");
  EXPECT_FALSE(c.Take());

  std::u16string shortName = u"\u00dcber";
  shortName.push_back(0);
  ASSERT_TRUE(c.Add(LongPiece(0x41, shortName)));
  EXPECT_EQ(c.Take(),
            "\xc3\x9c"
            "ber");

  for (size_t i = 0; i < LongNameCollector::kMaxPieces; ++i)
    ASSERT_TRUE(c.Add(LongPiece(1, u"aaaaaaaaaaaaa")));
  EXPECT_FALSE(c.Add(LongPiece(1, u"aaaaaaaaaaaaa")));
  EXPECT_LE(c.Take()->size(), 259u);
}

TEST(FatDirEntry, DirectoryBlocks) {
  std::vector<uint8_t> block(512, 0);
  auto a = Entry("PHOTO   JPG", fat_attr::kArchive);
  auto b = Entry("NOTES   TXT", fat_attr::kArchive, 9, 40);
  std::memcpy(block.data(), a.data(), 32);
  std::memcpy(block.data() + 32, b.data(), 32);
  EXPECT_TRUE(IsDirectoryBlock(block));
  block[100] = 1;  // garbage after the end marker
  EXPECT_FALSE(IsDirectoryBlock(block));
  EXPECT_FALSE(IsDirectoryBlock(std::vector<uint8_t>(512, 0)));

  // A long-name piece must carry the checksum of the short entry it precedes.
  std::vector<uint8_t> named(512, 0);
  auto piece = LongPiece(0x41, u"photo.jpg");
  piece[13] = ShortNameChecksum(a);
  std::memcpy(named.data(), piece.data(), 32);
  std::memcpy(named.data() + 32, a.data(), 32);
  EXPECT_TRUE(IsDirectoryBlock(named));
  named[13] ^= 1;
  EXPECT_FALSE(IsDirectoryBlock(named));
}

// One walk serves both engines: what it visits, where a directory ends, and what each long-name policy does.
TEST(FatDirBlock, WalkVisitsNamedEntriesAndSaysWhereTheDirectoryEnds) {
  auto put = [](std::vector<uint8_t>& block, size_t slot, const std::array<uint8_t, 32>& e) {
    std::memcpy(block.data() + slot * 32, e.data(), 32);
  };
  const auto photo = Entry("PHOTO   JPG", fat_attr::kArchive);
  std::u16string longName = u"photo.jpg";
  longName.push_back(0);
  auto piece = LongPiece(0x41, longName);
  piece[13] = ShortNameChecksum(photo);
  auto deleted = Entry("NOTES   TXT", fat_attr::kArchive, 9, 40);
  deleted[0] = kDeletedMark;

  std::vector<uint8_t> block(512, 0);
  put(block, 0, Entry("LABEL      ", fat_attr::kVolumeLabel));
  put(block, 1, Entry(".          ", fat_attr::kDirectory));
  put(block, 2, Entry("..         ", fat_attr::kDirectory));
  put(block, 3, piece);
  put(block, 4, photo);
  put(block, 5, deleted);
  block[7 * 32] = 'X';  // after the end marker: never looked at
  std::vector<std::pair<size_t, std::string>> seen;
  auto collect = [&](DirItem&& item) {
    seen.emplace_back(item.offset, item.longName ? *item.longName : BuildShortName(item.entry.bytes, false));
  };
  DirBlockWalk walk = WalkDirectoryBlock(block, LongNameOverflow::kEndsDirectory, collect);
  EXPECT_EQ(walk.end, DirBlockEnd::kEndMarker);
  EXPECT_EQ(seen, (std::vector<std::pair<size_t, std::string>>{{128, "photo.jpg"}, {160, "!OTES.TXT"}}));

  // A long name the block ends inside is open at its first piece; the next block holds its short entry.
  std::vector<uint8_t> cut(512, 0xFF);
  for (size_t slot = 0; slot < 15; ++slot) put(cut, slot, photo);
  put(cut, 15, piece);
  seen.clear();
  walk = WalkDirectoryBlock(cut, LongNameOverflow::kStartsOver, collect);
  EXPECT_EQ(walk.end, DirBlockEnd::kBlockEnd);
  EXPECT_EQ(walk.openLongName, std::optional<size_t>(480));
  EXPECT_EQ(seen.size(), 15u);

  // Twenty pieces are one too many: the quick walk ends the directory, the deep one starts the name over.
  std::vector<uint8_t> overlong(1024, 0);
  for (size_t slot = 0; slot < 20; ++slot) put(overlong, slot, LongPiece(1, u"aaaaaaaaaaaaa"));
  put(overlong, 20, photo);
  seen.clear();
  EXPECT_EQ(WalkDirectoryBlock(overlong, LongNameOverflow::kEndsDirectory, collect).end,
            DirBlockEnd::kLongNameOverflow);
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(WalkDirectoryBlock(overlong, LongNameOverflow::kStartsOver, collect).end,
            DirBlockEnd::kEndMarker);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, 640u);
}

// The table window over a small image: 12-bit pairs, free-cluster continuation and loops stay bounded.
TEST(FatTableWindow, ReadsEveryWidthAndFollowsDeletedData) {
  test::TempDir dir;
  auto floppy = Boot16(2880);
  floppy[13] = 1;
  PutLe16(floppy, 17, 224);
  PutLe16(floppy, 22, 9);
  std::vector<uint8_t> image(2880 * 512, 0);
  std::memcpy(image.data(), floppy.data(), 512);
  // 12-bit FAT: 2 -> 3 -> end; 4 free, 5 free, 6 allocated; 7 -> 7 (a loop onto itself).
  auto set12 = [&](uint32_t n, uint32_t v) {
    uint8_t* p = image.data() + 512 + n + n / 2;
    if (n & 1) {
      p[0] = static_cast<uint8_t>((p[0] & 0x0F) | (v << 4));
      p[1] = static_cast<uint8_t>(v >> 4);
    } else {
      p[0] = static_cast<uint8_t>(v);
      p[1] = static_cast<uint8_t>((p[1] & 0xF0) | (v >> 8));
    }
  };
  set12(2, 3);
  set12(3, 0xFFF);
  set12(6, 0xFFF);
  set12(7, 7);
  set12(341, 342);  // an entry that straddles the first and second FAT sectors
  test::WriteFile(dir.path() / "f.img", image);

  SectorReader reader;
  ASSERT_EQ(reader.OpenFile(dir.path() / "f.img"), 0u);
  auto geo = ParseFatGeometry(image, 0, 2880);
  ASSERT_TRUE(geo);
  FatTableWindow table(reader, *geo);
  EXPECT_EQ(table.ReadEntry(2).value, 3u);
  EXPECT_EQ(table.NextCluster(2), 3u);
  EXPECT_EQ(table.NextCluster(3), 0u);
  EXPECT_EQ(table.NextCluster(4), 5u);  // free, and so is its successor
  // Free, the next two in use: deleted data goes on at the next free cluster, as when it was written.
  EXPECT_EQ(table.NextCluster(5), 8u);
  EXPECT_EQ(table.NextCluster(7), 7u);  // callers end a chain that names itself
  EXPECT_EQ(table.ReadEntry(341).value, 342u);
  EXPECT_EQ(table.ReadEntry(geo->LastCluster() + 1).status, err::kInvalidParameter);
  EXPECT_EQ(table.NextCluster(geo->LastCluster()), 0u);
  // The last free cluster has no free successor.
  for (uint32_t n = 343; n <= geo->LastCluster(); ++n) set12(n, 0xFF7);
  test::WriteFile(dir.path() / "full.img", image);
  SectorReader full;
  ASSERT_EQ(full.OpenFile(dir.path() / "full.img"), 0u);
  FatTableWindow fullTable(full, *geo);
  EXPECT_EQ(fullTable.NextCluster(340), 342u);
  EXPECT_EQ(fullTable.NextCluster(342), 0u);
  EXPECT_EQ(fullTable.NextFreeCluster(8), 9u);
}

TEST(ChainGuard, ReportsEveryRepeatAcrossTheSwitchToABitmap) {
  FatGeometry geo;
  geo.clusterCount = 100000;
  ChainGuard guard(geo);
  for (uint32_t n = 2; n < 5000; n += 3) ASSERT_TRUE(guard.Visit(n)) << n;
  for (uint32_t n = 2; n < 5000; n += 3) EXPECT_FALSE(guard.Visit(n)) << n;
  EXPECT_TRUE(guard.Visit(3));
  EXPECT_TRUE(guard.Visit(geo.LastCluster()));
  EXPECT_FALSE(guard.Visit(geo.LastCluster() + 1));
}

}  // namespace
}  // namespace snapsave
