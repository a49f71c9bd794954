// The Windows side of `os`: native error numbers and texts, long and non-ASCII paths, the portable data
// folder.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/device.h"
#include "os/error.h"
#include "os/file.h"
#include "os/paths.h"
#include "os/sysfs.h"
#include "os/text.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

TEST(Win32Errors, AreTheSystemsOwnNumbersAndTexts) {
  test::TempDir dir;
  os::File f;
  EXPECT_EQ(f.OpenRead(dir.path() / "absent.img"), 2u);           // ERROR_FILE_NOT_FOUND
  EXPECT_EQ(f.OpenRead(dir.path() / "absent" / "card.img"), 3u);  // ERROR_PATH_NOT_FOUND
  EXPECT_EQ(f.OpenWrite(dir.path() / "absent" / "out.jpg", true), 3u);
  // The system's US-English message, without its line break; the program's own table where it has none.
  const std::string text = ErrorText(err::kFileNotFound);
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.rfind("Error ", 0), 0u) << text;
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(ErrorText(0x2BADBEEFu), "Error 732806895.");
  EXPECT_EQ(ErrorText(static_cast<uint32_t>(ScanCancelled)), "The operation was cancelled.");
}

TEST(Win32Paths, LongAndNonAsciiPathsReadAndWrite) {
  test::TempDir dir;
  // Past MAX_PATH: the "\\?\" form is used underneath, down to the folders.
  fs::path deep = dir.path();
  while (deep.native().size() < 400) deep /= std::string(60, 'd');
  ASSERT_EQ(os::CreateFolders(deep), 0u);
  const std::vector<uint8_t> bytes(5000, 0x5A);
  const fs::path name = deep / "photo.jpg";
  {
    os::File out;
    ASSERT_EQ(out.OpenWrite(name, true), 0u);
    ASSERT_EQ(out.WriteAllAt(0, bytes), 0u);
    ASSERT_EQ(out.Sync(), 0u);
  }
  os::File in;
  ASSERT_EQ(in.OpenRead(name), 0u);
  uint64_t size = 0;
  ASSERT_EQ(in.Size(size), 0u);
  EXPECT_EQ(size, bytes.size());
  std::vector<uint8_t> back(6000);
  size_t got = 0;
  ASSERT_EQ(in.ReadFullAt(0, back, got), 0u);
  EXPECT_EQ(got, bytes.size());
  ASSERT_EQ(in.ReadAt(size + 100, back, got), 0u);  // past the end: nothing, and no error
  EXPECT_EQ(got, 0u);
  EXPECT_TRUE(os::StillAt(in, name));
  ASSERT_EQ(os::ReplaceFile(deep / "config", std::vector<uint8_t>{1, 2, 3}), 0u);
  ASSERT_EQ(os::ReplaceFile(deep / "config", std::vector<uint8_t>{4, 5}), 0u);
  os::File config;
  ASSERT_EQ(config.OpenRead(deep / "config"), 0u);
  ASSERT_EQ(config.Size(size), 0u);
  EXPECT_EQ(size, 2u);

  // A name beyond ASCII is written and listed back as the same UTF-8.
  const std::string utf8 = "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.jpg";
  os::File named;
  ASSERT_EQ(named.OpenWrite(dir.path() / os::PathFromUtf8(utf8), true), 0u);
  std::vector<std::string> listed;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    if (!entry.is_directory()) listed.push_back(os::Utf8OfPath(entry.path().filename()));
  }
  EXPECT_EQ(listed, std::vector<std::string>{utf8});
  EXPECT_EQ(os::Utf8OfPath(fs::path(L"a\\b\\c.txt")), "a/b/c.txt");
}

TEST(Win32Paths, APortableRunKeepsItsDataInTheGivenFolder) {
  test::ScratchAppData scratch;
  EXPECT_EQ(os::AppDataFolder(), scratch.path());
  EXPECT_EQ(os::ScanLogFolder(), scratch.path() / "Vornel Snapsave" / "ScanLog");
  EXPECT_TRUE(os::ProgramDirectory().is_absolute());
}

// (An image file's geometry is checked with the other platforms' in device_test.)
TEST(Win32Devices, ImageFilesAreNoDisksAndDriveQueriesAnswerSafely) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "card.img", std::vector<uint8_t>(512, 0));
  EXPECT_FALSE(os::IsRemovableDisk(dir.path() / "card.img"));
  EXPECT_FALSE(os::IsRemovableDisk("\\\\.\\PhysicalDrive99"));
  // Whatever drives there are, each is named as CreateFileW takes it.
  for (const fs::path& disk : os::DiskTable::Discover())
    EXPECT_EQ(disk.wstring().rfind(L"\\\\.\\PhysicalDrive", 0), 0u);
}

}  // namespace
}  // namespace snapsave
