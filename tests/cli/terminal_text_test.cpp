#include "cli/terminal_text.h"

#include <gtest/gtest.h>

namespace snapsave::cli {
namespace {

TEST(EscapeForTerminal, PrintableUtf8PassesAndEverythingElseBecomesVisible) {
  EXPECT_EQ(EscapeForTerminal("IMG_0001.JPG"), "IMG_0001.JPG");
  EXPECT_EQ(EscapeForTerminal("\xc3\x9cn\xc3\xaf \xd1\x84\xd0\xbe\xd1\x82\xd0\xbe \xf0\x9f\x93\xb7"),
            "\xc3\x9cn\xc3\xaf \xd1\x84\xd0\xbe\xd1\x82\xd0\xbe \xf0\x9f\x93\xb7");
  // Controls a terminal acts on: ESC sequences, carriage return, bell, tab (the listing's separator), DEL.
  EXPECT_EQ(EscapeForTerminal("\x1b[2J\r\a\t\x7f"), "\\x1B[2J\\x0D\\x07\\x09\\x7F");
  EXPECT_EQ(EscapeForTerminal(std::string_view("a\0b", 3)), "a\\x00b");
  // C1 controls (U+009B is a one-character CSI) and the escape character itself.
  EXPECT_EQ(EscapeForTerminal("\xc2\x9b"
                              "31m"),
            "\\xC2\\x9B31m");
  EXPECT_EQ(EscapeForTerminal("\xc2\xa0"), "\xc2\xa0");
  EXPECT_EQ(EscapeForTerminal("a\\x1B"), "a\\x5Cx1B");
  EXPECT_EQ(EscapeForTerminal("\\\\.\\PhysicalDrive0 D:\\"), "\\\\.\\PhysicalDrive0 D:\\");
  // Invalid UTF-8 byte by byte: a stray continuation, a cut sequence, an overlong '/', a surrogate, past
  // U+10FFFF, and a lead byte no sequence starts with.
  EXPECT_EQ(EscapeForTerminal("\x80"), "\\x80");
  EXPECT_EQ(EscapeForTerminal("ok\xe2\x82"), "ok\\xE2\\x82");
  EXPECT_EQ(EscapeForTerminal("\xc0\xaf"), "\\xC0\\xAF");
  EXPECT_EQ(EscapeForTerminal("\xed\xa0\x80"), "\\xED\\xA0\\x80");
  EXPECT_EQ(EscapeForTerminal("\xf4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
  EXPECT_EQ(EscapeForTerminal("\xff"
                              "a"),
            "\\xFFa");
}

}  // namespace
}  // namespace snapsave::cli
