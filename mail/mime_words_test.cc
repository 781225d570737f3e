#include "mail/mime_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/mail_message.h"
#include "mail/test_peers.h"

namespace sl {
namespace {

using testing::Convert;
using testing::Euc;

std::string Utf8(const std::string& euc) { return Convert(euc, "EUC-JP", "UTF-8"); }

// Length of every encoded word in a header value.
std::vector<size_t> EncodedWordLengths(const std::string& value) {
  std::vector<size_t> lengths;
  for (size_t pos = 0; (pos = value.find("=?", pos)) != std::string::npos;) {
    size_t end = value.find("?=", value.find("?B?", pos) + 3);
    lengths.push_back(end + 2 - pos);
    pos = end + 2;
  }
  return lengths;
}

TEST(MimeWordsTest, SubjectsDecodeWholeWithinTheLineLimits) {
  const std::string long_text = "監視 " + std::string(1800, 'x') + " 障害";
  std::string many_kanji;
  for (int i = 0; i < 700; ++i) many_kanji += "障";
  struct {
    std::string euc;
    std::string decoded;  // empty: a cut prefix of the input is expected
  } cases[] = {
      {Euc("監視 1件 障害 on vm"), "監視 1件 障害 on vm"},
      {"ScanLantern Notify", "ScanLantern Notify"},
      {Euc("ディスク障害 /dev/sdb1  at 10:00"), "ディスク障害 /dev/sdb1  at 10:00"},
      {"=?us-ascii?Q?x?= stays text", "=?us-ascii?Q?x?= stays text"},
      {Euc("ｶﾞｲﾄﾞ 半角"), "ガイド 半角"},
      // JIS X 0212 and stray bytes never reach the header raw.
      {"\x8F\xB0\xA1 a\xFF\x85z\r\nX", "〓 a??z  X"},
      {Euc("監視 " + many_kanji), ""},
      {Euc(long_text), ""},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    std::string value = EncodeSubject(c.euc);
    for (char b : value) ASSERT_EQ(static_cast<unsigned char>(b) & 0x80, 0) << value;
    std::vector<std::string> lines = FoldHeaderLine("Subject: " + value);
    size_t octets = 0;
    for (const std::string& line : lines) {
      EXPECT_LE(line.size(), 78u) << line;
      octets += line.size() + 2;
    }
    EXPECT_LE(octets, 998u);
    for (size_t n : EncodedWordLengths(value)) EXPECT_LE(n, 75u) << value;

    std::string path = dir.path() + "/subject.eml";
    std::string mail;
    for (const std::string& line : lines) mail += line + "\r\n";
    testing::WriteFile(path, mail + "\r\nbody\r\n");
    testing::DecodedMail decoded = testing::DecodeMail(path);
    EXPECT_TRUE(decoded.Defects.empty()) << decoded.Raw;
    if (!c.decoded.empty()) {
      EXPECT_EQ(decoded.Subject, c.decoded) << value;
    } else {
      std::string whole = Utf8(c.euc);
      EXPECT_GT(decoded.Subject.size(), 200u);
      EXPECT_LT(decoded.Subject.size(), whole.size());
      EXPECT_EQ(whole.compare(0, decoded.Subject.size(), decoded.Subject), 0) << decoded.Subject;
    }
  }
}

}  // namespace
}  // namespace sl
