#include "os/error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace snapsave {
namespace {

TEST(ErrorMapping, ErrnoValuesMapToTheWin32Numbers) {
  EXPECT_EQ(Win32FromErrno(ENOENT), 2u);
  EXPECT_EQ(Win32FromErrno(ENOTDIR), 3u);
  EXPECT_EQ(Win32FromErrno(EACCES), 5u);
  EXPECT_EQ(Win32FromErrno(EPERM), 5u);
  EXPECT_EQ(Win32FromErrno(ENOMEM), 8u);
  EXPECT_EQ(Win32FromErrno(EROFS), 19u);
  EXPECT_EQ(Win32FromErrno(EBUSY), 32u);
  EXPECT_EQ(Win32FromErrno(EEXIST), 183u);
  EXPECT_EQ(Win32FromErrno(EINVAL), 87u);
  EXPECT_EQ(Win32FromErrno(ENOSPC), 112u);
  EXPECT_EQ(Win32FromErrno(ENAMETOOLONG), 206u);
  // EIO depends on the direction of the failing call.
  EXPECT_EQ(Win32FromErrno(EIO, IoDirection::kRead), 30u);
  EXPECT_EQ(Win32FromErrno(EIO, IoDirection::kWrite), 29u);
}

}  // namespace
}  // namespace snapsave
