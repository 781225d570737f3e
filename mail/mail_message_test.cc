#include "mail/mail_message.h"

#include <gtest/gtest.h>

namespace sl {
namespace {

std::tm Friday() {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 6;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 7;
  t.tm_wday = 5;
  t.tm_gmtoff = 9 * 3600;
  return t;
}

TEST(MailMessageTest, DatesZonesIdsAndFolding) {
  struct {
    long gmtoff;
    const char* date;
  } zones[] = {{9 * 3600, "Fri, 06 Mar 2026 09:05:07 +0900"},
               {0, "Fri, 06 Mar 2026 09:05:07 +0000"},
               {-(3 * 3600 + 30 * 60), "Fri, 06 Mar 2026 09:05:07 -0330"}};
  for (const auto& z : zones) {
    std::tm t = Friday();
    t.tm_gmtoff = z.gmtoff;
    EXPECT_EQ(FormatMailDate(t), z.date);
  }

  std::string a = MakeMessageId("host.example.com"), b = MakeMessageId("bad host\r\n");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.front(), '<');
  EXPECT_EQ(a.substr(a.size() - 18), "@host.example.com>");
  EXPECT_EQ(b.substr(b.size() - 9), "@badhost>");

  struct {
    std::string line;
    std::vector<std::string> folded;
  } folds[] = {
      {"Subject: short", {"Subject: short"}},
      {"Subject: " + std::string(70, 'a') + " b", {"Subject: " + std::string(70, 'a'), " b"}},
      // No fold right after the name, and a word longer than a line stays whole.
      {"Subject: " + std::string(80, 'a') + " b c", {"Subject: " + std::string(80, 'a'), " b c"}},
      {"\t" + std::string(40, 'x') + " " + std::string(40, 'y'),
       {"\t" + std::string(40, 'x'), " " + std::string(40, 'y')}},
  };
  for (const auto& f : folds) EXPECT_EQ(FoldHeaderLine(f.line), f.folded) << f.line;
}

TEST(MailMessageTest, HeadersComeInTheirFixedOrder) {
  MailHeaderFields f;
  f.HdrReplyTo = "reply@example.com";
  f.HdrReturnPath = "bounce@example.com";
  f.HdrFrom = "agent@example.com";
  f.HdrTo = "a@example.com; b@example.com";
  f.HdrCc = "c@example.com";
  f.HdrSubject = "Hello";
  f.HdrPriority = smtpPriorityHigh;
  f.CharSet = "ISO-2022-JP";
  EXPECT_EQ(BuildMailHeaders(f, Friday()),
            (std::vector<std::string>{
                "Reply-To: reply@example.com", "Return-Path: bounce@example.com",
                "From: agent@example.com", "To: a@example.com,", "\tb@example.com",
                "Cc: c@example.com", "Subject: Hello", "Sender: agent@example.com",
                "Mime-Version: 1.0", "Content-Type: text/plain; charset=\"ISO-2022-JP\"",
                "Date: Fri, 06 Mar 2026 09:05:07 +0900", "X-Priority: 2", "Priority: urgent",
                "X-MSMail-Priority: High", "X-Mailer: ScanLantern Mailer V1.00"}));
}

TEST(MailMessageTest, OptionalHeadersAreLeftOut) {
  MailHeaderFields f;
  f.HdrReplyTo = "   ";
  f.HdrSender = "sender@example.com";
  f.ContentType = smtpHtml;
  f.HdrPriority = smtpPriorityLowest;
  std::vector<std::string> lines = BuildMailHeaders(f, Friday());
  EXPECT_EQ(lines,
            (std::vector<std::string>{
                "Subject: ", "Sender: sender@example.com", "Mime-Version: 1.0",
                "Content-Type: text/html; charset=\"iso-8859-1\"",
                "Date: Fri, 06 Mar 2026 09:05:07 +0900", "X-Priority: 5", "Priority: non-urgent",
                "X-MSMail-Priority: Low", "X-Mailer: ScanLantern Mailer V1.00"}));
  f.HdrPriority = smtpPriorityNormal;
  lines = BuildMailHeaders(f, Friday());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "X-MSMail-Priority: Normal"), lines.end());
}

TEST(MailMessageTest, LineBreaksInValuesBecomeBlanks) {
  MailHeaderFields f;
  f.HdrFrom = "a@example.com\r\nBcc: victim@example.com";
  f.HdrSubject = "line one\nline two\r";
  f.HdrTo = "x@example.com\r\nX-Evil: 1";
  std::vector<std::string> lines = BuildMailHeaders(f, Friday());
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
  }
  EXPECT_EQ(lines[0], "From: a@example.com  Bcc: victim@example.com");
  EXPECT_EQ(lines[1], "To: x@example.com  X-Evil: 1");
  EXPECT_EQ(lines[2], "Subject: line one line two ");
}

TEST(MailMessageTest, AddressListsFoldOneAddressPerLine) {
  EXPECT_EQ(AddressListHeader("To", "a@x, \"Doe, John\" <j@x>;c@x ; ;"),
            (std::vector<std::string>{"To: a@x,", "\t\"Doe, John\" <j@x>,", "\tc@x"}));
  EXPECT_TRUE(AddressListHeader("To", " ; , ").empty());
  EXPECT_EQ(SplitAddressList("a@x;b@x"), (std::vector<std::string>{"a@x", "b@x"}));
}

TEST(MailMessageTest, AddressIsTakenFromTheMailboxText) {
  EXPECT_EQ(ExtractMailAddress("\"Taro, Y\" <taro@example.com>"), "taro@example.com");
  EXPECT_EQ(ExtractMailAddress("'a <b>' <c@example.com>"), "c@example.com");
  EXPECT_EQ(ExtractMailAddress("Taro <taro@example.com>"), "taro@example.com");
  EXPECT_EQ(ExtractMailAddress("  taro@example.com (Taro)"), "taro@example.com");
  EXPECT_EQ(ExtractMailAddress("<>"), "");
  EXPECT_EQ(ExtractMailAddress("\"x@y\""), "\"x@y\"");
  EXPECT_EQ(ExtractMailAddress(""), "");
}

TEST(MailMessageTest, BodyLinesAreCutAndDotStuffed) {
  EXPECT_EQ(BodyWireLine("."), "..");
  EXPECT_EQ(BodyWireLine(".hidden"), "..hidden");
  EXPECT_EQ(BodyWireLine("a.b"), "a.b");
  std::string long_line(2000, 'x');
  EXPECT_EQ(BodyWireLine(long_line), long_line.substr(0, 998));
  // The doubled dot is not counted.
  EXPECT_EQ(BodyWireLine("." + long_line).size(), 999u);
}

TEST(MailMessageTest, AttachmentPartsAreLaidOut) {
  EXPECT_EQ(MultipartBoundary(Friday()), "= Multipart Boundary 0306260905");
  EXPECT_EQ(AttachmentContentType("/var/log/Report.HTML"), "text/html");
  EXPECT_EQ(AttachmentContentType("pic.jpeg"), "image/jpeg");
  EXPECT_EQ(AttachmentContentType("notes.txt"), "text/plain");
  EXPECT_EQ(AttachmentContentType("archive.tar.gz"), "application/octet-stream");
  EXPECT_EQ(AttachmentContentType("README"), "application/octet-stream");
  EXPECT_EQ(AttachmentPartHeader("B", "text/plain", BaseFileName("/tmp/dir/a.txt")),
            (std::vector<std::string>{"--B", "Content-Type: text/plain;", "\tname=\"a.txt\"",
                                      "Content-Transfer-Encoding: base64",
                                      "Content-Disposition: attachment;", "\tfilename=\"a.txt\""}));
  EXPECT_EQ(MultipartEnd("B"), (std::vector<std::string>{"", "--B--"}));
  std::vector<std::string> lines = Base64Lines(std::string(109, 'z'));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 72u);
  EXPECT_EQ(lines[1].size(), 72u);
  EXPECT_EQ(lines[2], "eg==");
}

}  // namespace
}  // namespace sl
