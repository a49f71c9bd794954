#include "os/paths.h"

#ifndef _WIN32
#include <fcntl.h>
#endif

#include <gtest/gtest.h>

#include "os/file.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

TEST(Paths, ScanLogFolderFollowsXdgDataHome) {
  test::ScratchAppData appData;
  EXPECT_EQ(os::ScanLogFolder(), appData.path() / "Vornel Snapsave" / "ScanLog");
}

TEST(Paths, InsideTestIsLexicalAndStrict) {
  EXPECT_TRUE(os::IsStrictlyInside("/a/b/c", "/a/b"));
  EXPECT_TRUE(os::IsStrictlyInside("/a/b/c", "/a/b/"));
  EXPECT_FALSE(os::IsStrictlyInside("/a/b", "/a/b"));
  EXPECT_FALSE(os::IsStrictlyInside("/a/b/../c", "/a/b"));
  EXPECT_FALSE(os::IsStrictlyInside("/a/bc", "/a/b"));
  EXPECT_FALSE(os::IsStrictlyInside("/", "/a"));
}

// Names from another system's disk are written as named where this system allows it: on Windows a name
// with a colon would make a stream of the folder, one with a trailing dot would lose it, and "nul.txt" would
// be the null device.
TEST(Paths, NamesAreFittedToWhatThisSystemCreates) {
  const std::pair<const char*, const char*> kCases[] = {
      {"a:b*?.txt", "a_b__.txt"},    {"report.", "report_"},    {"x ", "x_"},     {"NUL", "_NUL"},
      {"nul.txt", "_nul.txt"},       {"Com7.jpg", "_Com7.jpg"}, {"COM0", "COM0"}, {"console", "console"},
      {"caf\xc3\xa9", "caf\xc3\xa9"}};
  for (const auto& [name, windows] : kCases) {
#ifdef _WIN32
    EXPECT_EQ(os::FitNameToSystem(name), windows) << name;
#else
    EXPECT_EQ(os::FitNameToSystem(name), name) << windows;
#endif
  }
}

TEST(Paths, CreateFoldersAcceptsAnExistingFolderAndReportsAFileInTheWay) {
  test::TempDir dir;
  EXPECT_EQ(os::CreateFolders(dir.path() / "x" / "y"), 0u);
  EXPECT_EQ(os::CreateFolders(dir.path() / "x" / "y"), 0u);
  test::WriteFile(dir.path() / "file", std::vector<uint8_t>{1});
  EXPECT_NE(os::CreateFolders(dir.path() / "file" / "sub"), 0u);
}

TEST(File, WriteOpenTruncatesAndRefusesSymlinks) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "old", std::vector<uint8_t>(100, 7));
  os::File f;
  ASSERT_EQ(f.OpenWrite(dir.path() / "old", /*truncate=*/true), 0u);
  uint64_t size = 1;
  ASSERT_EQ(f.Size(size), 0u);
  EXPECT_EQ(size, 0u);
  std::error_code ec;
  fs::create_symlink(dir.path() / "old", dir.path() / "link", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here";
  os::File g;
  EXPECT_EQ(g.OpenWrite(dir.path() / "link", true), 5u);
}

TEST(File, ReadOnlyOpenNeverNeedsWriteAccess) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "ro.img", std::vector<uint8_t>(512, 1));
  fs::permissions(dir.path() / "ro.img", fs::perms::owner_read);
  os::File f;
  ASSERT_EQ(f.OpenRead(dir.path() / "ro.img"), 0u);
  // Sources are opened for reading only, whoever runs the program.
#ifdef _WIN32
  EXPECT_EQ(f.WriteAllAt(0, std::vector<uint8_t>(1, 0)), 5u);  // ERROR_ACCESS_DENIED
#else
  EXPECT_EQ(::fcntl(static_cast<int>(f.NativeHandle()), F_GETFL) & O_ACCMODE, O_RDONLY);
#endif
  std::vector<uint8_t> buf(600);
  size_t got = 0;
  EXPECT_EQ(f.ReadFullAt(0, buf, got), 0u);
  EXPECT_EQ(got, 512u);
}

}  // namespace
}  // namespace snapsave
