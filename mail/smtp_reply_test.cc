#include "mail/smtp_reply.h"

#include <gtest/gtest.h>

namespace sl {
namespace {

TEST(SmtpReplyTest, CodeIsTheLeadingNumber) {
  EXPECT_EQ(SmtpReplyCode("250 OK"), 250);
  EXPECT_EQ(SmtpReplyCode("  354 go ahead"), 354);
  EXPECT_EQ(SmtpReplyCode("250-first"), 250);
  EXPECT_EQ(SmtpReplyCode("+221 bye"), 221);
  EXPECT_EQ(SmtpReplyCode("-5 odd"), -5);
  EXPECT_EQ(SmtpReplyCode("no code"), 0);
  EXPECT_EQ(SmtpReplyCode(""), 0);
  EXPECT_EQ(SmtpReplyCode("99999999999999999999 huge"), 2147483647);
}

TEST(SmtpReplyTest, HyphenDirectlyAfterTheCodeContinues) {
  EXPECT_TRUE(SmtpReplyContinues("250-mail.example"));
  EXPECT_FALSE(SmtpReplyContinues("250 mail.example"));
  EXPECT_FALSE(SmtpReplyContinues("250 -x"));
  EXPECT_FALSE(SmtpReplyContinues("250"));
  EXPECT_FALSE(SmtpReplyContinues("-"));
  EXPECT_EQ(SmtpReplyText("334 PDE4OTYu"), "PDE4OTYu");
  EXPECT_EQ(SmtpReplyText("250-AUTH PLAIN"), "AUTH PLAIN");
  EXPECT_EQ(SmtpReplyText("334"), "");
}

TEST(SmtpReplyTest, SplitKeepsAnIncompleteLineForLater) {
  std::string data = "250-one\r\n250-two\r\n250 thr";
  size_t consumed = 0;
  auto lines = SplitSmtpReplyLines(data, &consumed);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Text, "250-one");
  EXPECT_TRUE(lines[0].Continued);
  EXPECT_EQ(lines[1].Code, 250);
  EXPECT_EQ(data.substr(consumed), "250 thr");

  data = data.substr(consumed) + "ee\r\n";
  lines = SplitSmtpReplyLines(data, &consumed);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Text, "250 three");
  EXPECT_FALSE(lines[0].Continued);
  EXPECT_EQ(consumed, data.size());
}

TEST(SmtpReplyTest, LoneLineFeedsAndEmptyLinesAreLines) {
  size_t consumed = 0;
  auto lines = SplitSmtpReplyLines("220 hi\n\r\n250 ok\r\n", &consumed);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].Text, "220 hi");
  EXPECT_EQ(lines[1].Text, "");
  EXPECT_EQ(lines[1].Code, 0);
  EXPECT_EQ(lines[2].Text, "250 ok");
}

TEST(SmtpReplyTest, OverlongLineIsCutAtTheBufferSize) {
  std::string data(10, 'x');
  size_t consumed = 0;
  auto lines = SplitSmtpReplyLines(data, &consumed, 4);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Text, "xxxx");
  EXPECT_EQ(consumed, 8u);
  // A line that fits with its line end is not cut.
  lines = SplitSmtpReplyLines("abc\r\n", &consumed, 5);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Text, "abc");
}

TEST(SmtpReplyTest, LimitNearTheTopOfSizeTStillSplitsEveryLine) {
  const std::string data = "250-one\r\n250-two\r\n250 three\r\n";
  size_t consumed = 0;
  auto lines = SplitSmtpReplyLines(data, &consumed, static_cast<size_t>(-1));  // no practical limit
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].Text, "250-two");
  EXPECT_EQ(lines[2].Text, "250 three");
  EXPECT_EQ(consumed, data.size());
}

}  // namespace
}  // namespace sl
