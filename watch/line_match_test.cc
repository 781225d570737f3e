#include "watch/line_match.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/jconvert.h"
#include "core/regex_match.h"
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

// Exclusion words, letter case and expressions, over ASCII, EUC-JP, UTF-8
// and Shift_JIS lines of one Japanese word: each line alone, after a prefix
// long enough for the vector filter, and as an overlong line.
TEST(LineScannerTest, ExclusionCaseAndExpressionsInEveryCode) {
  Utf8Converter conv;
  const std::string error = testing::Euc("エラー"), retry = testing::Euc("再試行");
  const std::string error_sj = EucToSjis(error), retry_sj = EucToSjis(retry);
  std::string error8, retry8;
  ASSERT_TRUE(conv.EucToUtf8(error, &error8));
  ASSERT_TRUE(conv.EucToUtf8(retry, &retry8));
  // Shift_JIS characters whose second byte is an ASCII letter: ア is 83 41
  // ("A"), ャ is 83 61 ("a").
  const std::string a_sj = EucToSjis(testing::Euc("ア")),
                    small_ya_sj = EucToSjis(testing::Euc("ャ"));
  ASSERT_EQ(a_sj, "\x83\x41");
  enum Kind { kWords, kRegex, kSjis, kSjisRegex };
  struct Case {
    Kind kind;
    std::string search, exclude;
    bool ignore_case;
    std::string line;
    bool match;
  } cases[] = {
      {kWords, "error", "retrying", true, "ERROR disk full", true},
      {kWords, "error", "retrying", true, "Error: Retrying in 5 s", false},
      {kWords, "error", "retrying", true, "errno 5", false},
      {kWords, "error", "retrying", false, "ERROR disk full", false},
      {kWords, "ERROR", "retrying", false, "ERROR RETRYING", true},
      {kWords, "ERROR", "retrying,timeout", false, "ERROR timeout", false},
      {kWords, "ERROR,disk", "", true, "Disk eRRor", true},
      {kWords, "", "debug", true, "DEBUG tick", false},
      {kWords, "", "debug", true, "INFO tick", true},
      {kWords, error, retry, false, error + ": disk", true},
      {kWords, error, retry, false, error + " " + retry + "します", false},
      {kWords, error, retry, false, error8 + ": disk", true},
      {kWords, error, retry, false, error8 + " " + retry8, false},
      {kWords, error + ",disk", "", true, error8 + " DISK", true},
      {kWords, error + ",disk", retry, true, "DISK " + error + retry, false},
      {kWords, "@[", "", true, "`{ not folded", false},  // only letters take the other case
      {kRegex, "status=5[0-9]{2}", "", false, "GET / status=503 12ms", true},
      {kRegex, "status=5[0-9]{2}", "", false, "GET / status=404 status=5x", false},
      {kRegex, "STATUS=5\\d\\d", "retrying", true, "status=500", true},
      {kRegex, "status=5\\d\\d", "retrying", true, "Status=502 Retrying", false},
      {kRegex, "status=5\\d\\d", "", false, "STATUS=500", false},
      {kRegex, error + "[:;]", retry, false, error + ": disk", true},
      {kRegex, error + "[:;]", retry, false, error8 + "; disk", true},
      {kRegex, error + "[:;]", retry, false, error8 + ": " + retry8, false},
      {kRegex, error + "$", "", false, "x" + error, true},
      {kRegex, "(disk|net) " + error, "", true, "NET " + error8, true},
      {kSjis, error, retry, false, error_sj + ": disk", true},
      {kSjis, error, retry, false, error_sj + " " + retry_sj, false},
      {kSjis, error + ",disk", "", true, "DISK " + error_sj, true},
      {kSjis, "Ab", "", false, a_sj + "b", false},  // "A" is only a second byte
      {kSjis, "ab", "", true, a_sj + "b", false},
      {kSjis, "ab", "", true, a_sj + "AB", true},
      {kSjis, testing::Euc("ア") + "x", "", true, a_sj + "X", true},
      {kSjis, testing::Euc("ア") + "x", "", true, small_ya_sj + "x",
       false},  // second bytes keep case
      {kSjis, "disk", "Ab", false, a_sj + "b disk", true},
      {kSjisRegex, error + ".*disk", retry, true, error_sj + ": DISK", true},
      {kSjisRegex, error + ".*disk", retry, true, error_sj + retry_sj + ": disk", false},
      {kSjisRegex, "Ab", "", false, a_sj + "b", false},
  };
  const std::string prefix(70, '.');
  const std::string overlong(LineScanner::kKeptLineBytes + 10, '.');
  for (const Case& c : cases) {
    const bool regex = c.kind == kRegex || c.kind == kSjisRegex;
    const bool sjis = c.kind == kSjis || c.kind == kSjisRegex;
    Words filter;
    if (!regex) {
      filter = SplitSearchWords(c.search);
    } else if (std::string required = RegexMatcher::RequiredText(c.search); !required.empty()) {
      filter.push_back(required);
    }
    WordMatcher words(filter, &conv, c.ignore_case, sjis);
    WordMatcher exclude(SplitSearchWords(c.exclude), &conv, c.ignore_case, sjis);
    RegexMatcher expression(
        c.search, c.ignore_case,
        sjis ? RegexMatcher::LogEncoding::kShiftJis : RegexMatcher::LogEncoding::kAuto);
    ASSERT_TRUE(!regex || expression.Compiled()) << expression.Error();
    auto scan = [&](const std::vector<std::string>& pieces) {
      Words lines;
      LineScanner scanner(
          words, [&](std::string_view line) { lines.emplace_back(line); }, &exclude,
          regex ? &expression : nullptr);
      for (const std::string& piece : pieces) scanner.Feed(piece);
      scanner.Finish();
      return lines;
    };
    std::string name = ::testing::PrintToString(c.search + " / " + c.line);
    for (const std::string& text : {c.line, prefix + c.line}) {
      Words lines = scan({"first\n" + text + "\n"});
      EXPECT_EQ(std::count(lines.begin(), lines.end(), text) == 1, c.match) << name;
    }
    // An overlong line: words find it in full, the others look at its head.
    EXPECT_EQ(scan({overlong, c.line + "\n"}).size(), c.match && c.kind == kWords ? 1u : 0u)
        << "overlong " << name;
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
