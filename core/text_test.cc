#include "core/text.h"

#include <gtest/gtest.h>

namespace sl {
namespace {

using Lines = std::vector<std::string>;

TEST(TextTest, Base64RoundTripsEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n : {0u, 1u, 2u, 3u, 100u, 256u}) {
    EXPECT_EQ(Base64Decode(Base64Encode(all.substr(0, n))), all.substr(0, n)) << n;
  }
  EXPECT_EQ(Base64Encode("abc"), "YWJj");
  EXPECT_EQ(Base64Encode("ab"), "YWI=");
  EXPECT_EQ(Base64Encode("a"), "YQ==");
  EXPECT_EQ(Base64Encode("\xfb\xff\xbf"), "+/+/");
  EXPECT_EQ(Base64Decode("YW\r\nJj"), "abc");
  EXPECT_EQ(Base64Decode("QQ=="), "A");
}

TEST(TextTest, SplitLinesAtEveryKindOfLineEnd) {
  EXPECT_EQ(SplitLines(""), Lines{});
  EXPECT_EQ(SplitLines("a"), Lines{"a"});
  EXPECT_EQ(SplitLines("a\n"), Lines{"a"});
  EXPECT_EQ(SplitLines("\n"), Lines{""});
  EXPECT_EQ(SplitLines("a\r\nb\rc\n\nd"), (Lines{"a", "b", "c", "", "d"}));
  EXPECT_EQ(SplitLines("a\r\r\n"), (Lines{"a", ""}));
}

TEST(TextTest, EscapeForLogKeepsTabAndEucJpAndCutsWhole) {
  EXPECT_EQ(EscapeForLog(std::string("a\tb\r\nc\x1b[2J\x7f\0", 12)), "a\tb%0D%0Ac%1B[2J%7F%00");
  EXPECT_EQ(EscapeForLog("\xa4\xa2\xa4\xa4"), "\xa4\xa2\xa4\xa4");
  EXPECT_EQ(EscapeForLog("abcd", 4), "abcd");
  EXPECT_EQ(EscapeForLog("abcde", 4), "abcd...");
  // The cut never splits a two- or three-byte character.
  EXPECT_EQ(EscapeForLog("ab\xa4\xa2", 3), "ab...");
  EXPECT_EQ(EscapeForLog("a\x8f\xa1\xa1"
                         "b",
                         3),
            "a...");
}

}  // namespace
}  // namespace sl
