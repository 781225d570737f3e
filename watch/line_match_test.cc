#include "watch/line_match.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/utf8_text.h"
#include "testing/test_support.h"

namespace sl {
namespace {

using Words = std::vector<std::string>;

TEST(SplitSearchWordsTest, BlanksCommasAndQuotes) {
  EXPECT_EQ(SplitSearchWords(""), Words{});
  EXPECT_EQ(SplitSearchWords("   "), Words{});
  EXPECT_EQ(SplitSearchWords("a,b"), (Words{"a", "b"}));
  EXPECT_EQ(SplitSearchWords("  a \t b  "), (Words{"a", "b"}));
  EXPECT_EQ(SplitSearchWords("a , b"), (Words{"a", "b"}));
  EXPECT_EQ(SplitSearchWords("\"disk full\",sda"), (Words{"disk full", "sda"}));
  EXPECT_EQ(SplitSearchWords("\"say \"\"hi\"\"\""), (Words{"say \"hi\""}));
  EXPECT_EQ(SplitSearchWords("\"a b\"c"), (Words{"a b", "c"}));
  EXPECT_EQ(SplitSearchWords("\"open"), (Words{"open"}));
  EXPECT_EQ(SplitSearchWords("a,,b"), (Words{"a", "", "b"}));
  EXPECT_EQ(SplitSearchWords(",a"), (Words{"", "a"}));
  // Only a comma that is the very last byte adds an empty word.
  EXPECT_EQ(SplitSearchWords("a,"), (Words{"a", ""}));
  EXPECT_EQ(SplitSearchWords("a, "), (Words{"a"}));
  EXPECT_EQ(SplitSearchWords(std::string("a\0b", 3)), (Words{"a"}));
  // EUC-JP bytes are word bytes.
  EXPECT_EQ(SplitSearchWords("\xB4\xC1\xBB\xFA,x"), (Words{"\xB4\xC1\xBB\xFA", "x"}));
}

TEST(WordMatcherTest, EveryWordAnywhere) {
  WordMatcher two(SplitSearchWords("disk,full"));
  EXPECT_TRUE(two.Matches("full: disk /dev/sda"));
  EXPECT_TRUE(two.Matches("diskfull"));
  EXPECT_FALSE(two.Matches("disk is fine"));
  EXPECT_FALSE(two.Matches("DISK FULL"));
  WordMatcher phrase(SplitSearchWords("\"disk full\""));
  EXPECT_TRUE(phrase.Matches("the disk full again"));
  EXPECT_FALSE(phrase.Matches("full disk"));
  WordMatcher trailing_comma(SplitSearchWords("disk,"));
  EXPECT_TRUE(trailing_comma.MatchesNothing());
  EXPECT_FALSE(trailing_comma.Matches("disk"));
  WordMatcher none(SplitSearchWords(""));
  EXPECT_TRUE(none.Matches(""));
  EXPECT_TRUE(none.Matches("anything"));
  WordMatcher line_end(Words{"a\nb"});
  EXPECT_TRUE(line_end.MatchesNothing());
}

// Lines reported for text fed in the given pieces.
Words Scan(const WordMatcher& m, const std::vector<std::string>& pieces) {
  Words lines;
  LineScanner scanner(m, [&](std::string_view line) { lines.emplace_back(line); });
  for (const std::string& p : pieces) scanner.Feed(p);
  scanner.Finish();
  return lines;
}

// A Japanese word is found in its EUC-JP and its UTF-8 form, also as the
// lead word of the search and in overlong lines; matching UTF-8 lines come
// back to EUC-JP, with the geta mark for what EUC-JP cannot hold.
TEST(WordMatcherTest, JapaneseWordsInEucJpAndUtf8) {
  const std::string euc = "\xA5\xA8\xA5\xE9\xA1\xBC";  // エラー
  const std::string utf8 = "\xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC";
  Utf8Converter conv;
  std::string form;
  ASSERT_TRUE(conv.EucToUtf8(euc, &form));
  EXPECT_EQ(form, utf8);
  EXPECT_FALSE(conv.EucToUtf8("x\xA5", &form));  // a lead byte alone
  WordMatcher cut(Words{"x\xA5"}, &conv);        // is no word "x" in UTF-8
  EXPECT_FALSE(cut.Matches("x"));
  WordMatcher jp(Words{euc}, &conv);
  WordMatcher jp_and_ascii(Words{euc, "disk"}, &conv);
  WordMatcher euc_only(Words{euc});
  EXPECT_TRUE(jp.Matches("x " + utf8 + " y"));
  EXPECT_TRUE(jp.Matches("x " + euc));
  EXPECT_FALSE(euc_only.Matches(utf8));
  std::string text = "disk " + utf8 + "\nnone\n" + euc + " disk\n" + utf8 + "\n";
  EXPECT_EQ(Scan(jp, {text}), (Words{"disk " + utf8, euc + " disk", utf8}));
  EXPECT_EQ(Scan(jp_and_ascii, {text}), (Words{"disk " + utf8, euc + " disk"}));
  std::string longer(LineScanner::kKeptLineBytes + 10, 'x');
  EXPECT_EQ(Scan(jp, {longer, utf8, longer + "\n"}).size(), 1u);

  EXPECT_TRUE(IsMultibyteUtf8("a " + utf8));
  EXPECT_FALSE(IsMultibyteUtf8("ascii only"));
  EXPECT_FALSE(IsMultibyteUtf8(euc));
  EXPECT_FALSE(IsMultibyteUtf8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(IsMultibyteUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(IsMultibyteUtf8("\xE3\x82"));      // cut
  EXPECT_EQ(conv.Utf8ToEuc("a " + utf8), "a " + euc);
  // U+1F600 and U+0E01 have no EUC-JP form.
  EXPECT_EQ(conv.Utf8ToEuc("x\xF0\x9F\x98\x80y\xE0\xB8\x81"), "x\xA2\xAEy\xA2\xAE");
}

// Exclusion words and letter case, over ASCII, EUC-JP and UTF-8 lines of
// one Japanese word: each line alone, after a prefix long enough for the
// vector filter, and as an overlong line.
TEST(LineScannerTest, ExclusionWordsAndCaseInEveryCode) {
  Utf8Converter conv;
  const std::string error = testing::Euc("エラー"), retry = testing::Euc("再試行");
  std::string error8, retry8;
  ASSERT_TRUE(conv.EucToUtf8(error, &error8));
  ASSERT_TRUE(conv.EucToUtf8(retry, &retry8));
  struct Case {
    std::string search, exclude;
    bool ignore_case;
    std::string line;
    bool match;
  } cases[] = {
      {"error", "retrying", true, "ERROR disk full", true},
      {"error", "retrying", true, "Error: Retrying in 5 s", false},
      {"error", "retrying", true, "errno 5", false},
      {"error", "retrying", false, "ERROR disk full", false},
      {"ERROR", "retrying", false, "ERROR RETRYING", true},
      {"ERROR", "retrying,timeout", false, "ERROR timeout", false},
      {"ERROR,disk", "", true, "Disk eRRor", true},
      {"", "debug", true, "DEBUG tick", false},
      {"", "debug", true, "INFO tick", true},
      {error, retry, false, error + ": disk", true},
      {error, retry, false, error + " " + retry + "します", false},
      {error, retry, false, error8 + ": disk", true},
      {error, retry, false, error8 + " " + retry8, false},
      {error + ",disk", "", true, error8 + " DISK", true},
      {error + ",disk", retry, true, "DISK " + error + retry, false},
      {"@[", "", true, "`{ not folded", false},  // only letters take the other case
  };
  const std::string prefix(70, '.');
  const std::string overlong(LineScanner::kKeptLineBytes + 10, '.');
  for (const Case& c : cases) {
    WordMatcher words(SplitSearchWords(c.search), &conv, c.ignore_case);
    WordMatcher exclude(SplitSearchWords(c.exclude), &conv, c.ignore_case);
    auto scan = [&](const std::string& text) {
      Words lines;
      LineScanner scanner(
          words, [&](std::string_view line) { lines.emplace_back(line); }, &exclude);
      scanner.Feed("first\n" + text + "\n");
      scanner.Finish();
      return std::count(lines.begin(), lines.end(), text) == 1;
    };
    std::string name = ::testing::PrintToString(c.line);
    EXPECT_EQ(scan(c.line), c.match) << name;
    EXPECT_EQ(scan(prefix + c.line), c.match) << name;
    Words lines;
    LineScanner scanner(
        words, [&](std::string_view line) { lines.emplace_back(line); }, &exclude);
    scanner.Feed(overlong);
    scanner.Feed(c.line + "\n");
    scanner.Finish();
    EXPECT_EQ(lines.size(), c.match ? 1u : 0u) << "overlong " << name;
  }
}

TEST(LineScannerTest, OneBufferLineRules) {
  WordMatcher all(Words{});
  EXPECT_EQ(Scan(all, {""}), Words{});
  EXPECT_EQ(Scan(all, {"a"}), Words{"a"});
  EXPECT_EQ(Scan(all, {"a\n"}), Words{"a"});
  EXPECT_EQ(Scan(all, {"\r\n"}), Words{""});
  EXPECT_EQ(Scan(all, {"a\r\nb\rc\n\nd"}), (Words{"a", "b", "c", "", "d"}));
  EXPECT_EQ(Scan(all, {"a\r\rb\n\r"}), (Words{"a", "", "b", ""}));
  // A NUL ends a line, not the text.
  EXPECT_EQ(Scan(all, {std::string("a\nb\0c\nd", 7)}), (Words{"a", "b", "c", "d"}));
  EXPECT_EQ(Scan(all, {std::string("\0a", 2)}), (Words{"", "a"}));
  EXPECT_EQ(Scan(all, {std::string("a\r\0b", 4)}), (Words{"a", "", "b"}));
  WordMatcher key(Words{"key"});
  EXPECT_EQ(Scan(key, {std::string("x\0key after a NUL\0key", 21)}),
            (Words{"key after a NUL", "key"}));
}

// Splitting the text anywhere must not change the lines.
TEST(LineScannerTest, PieceBoundariesDoNotMatter) {
  const std::vector<std::string> texts = {
      "abc\r\ndef\r\n",
      "x\r\n\r\ny\rz\n",
      "no line end",
      "\r\r\n\n\r",
      std::string("ab\r\0\ncd\n", 8),
      "key here\nkey\r\nother key",
      "\nkey key\r\n\r\nk",
      "kekey\rkey\n",
  };
  for (const Words& words : {Words{}, Words{"key"}, Words{"key", "here"}, Words{"e"}}) {
    WordMatcher m(words);
    for (const std::string& text : texts) {
      Words expected = Scan(m, {text});
      for (size_t i = 0; i <= text.size(); ++i) {
        EXPECT_EQ(Scan(m, {text.substr(0, i), text.substr(i)}), expected)
            << "split at " << i << " of " << ::testing::PrintToString(text);
        for (size_t j = i; j <= text.size(); ++j) {
          ASSERT_EQ(Scan(m, {text.substr(0, i), text.substr(i, j - i), text.substr(j)}), expected)
              << "split at " << i << "," << j << " of " << ::testing::PrintToString(text);
        }
      }
    }
  }
}

TEST(LineScannerTest, OnlyLinesHoldingEveryWordInOrder) {
  WordMatcher m(Words{"ERROR", "disk"});
  EXPECT_EQ(Scan(m, {"ok\nERROR disk\nERROR net\r\ndisk ERROR\rERROR"}),
            (Words{"ERROR disk", "disk ERROR"}));
  // The lead word at a line start and end.
  EXPECT_EQ(Scan(m, {"ERROR\ndisk\ndiskERROR"}), Words{"diskERROR"});
}

TEST(LineScannerTest, LineLongerThanKeptIsMatchedWholeAndReportedByItsHead) {
  const size_t kept = LineScanner::kKeptLineBytes;
  std::string line = "start " + std::string(3 * kept, 'x') + " fin";
  line.replace(kept + 5, 4, "tail");  // far beyond what is kept
  WordMatcher m(Words{"start", "tail", "fin"});
  std::vector<std::string> pieces;
  std::string text = "first\n" + line + "\nlast\n";
  // Pieces of a size that cuts "tail" and "fin" in two.
  for (size_t at = 0; at < text.size(); at += kept / 2 + 3)
    pieces.push_back(text.substr(at, kept / 2 + 3));
  Words lines = Scan(m, pieces);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], line.substr(0, kept));
  WordMatcher missing(Words{"start", "nowhere"});
  EXPECT_EQ(Scan(missing, pieces), Words{});
}

}  // namespace
}  // namespace sl
