#include "core/regex_match.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "testing/test_support.h"

namespace sl {
namespace {

using testing::Euc;
using LogEncoding = RegexMatcher::LogEncoding;

std::string Sjis(const std::string& utf8) { return testing::Convert(utf8, "UTF-8", "CP932"); }

// One expression with a Japanese literal, typed once (in EUC-JP, as the
// settings keep it), against the same lines in every encoding a log comes in.
TEST(RegexMatcherTest, OneExpressionMatchesEachEncodingInItsOwnBytes) {
  const std::string pattern = Euc("障害(コード|code)=[0-9]{3}");
  struct {
    const char* what;
    std::string line;
    LogEncoding encoding;
    bool ignore_case;
    bool match;
  } cases[] = {
      {"EUC-JP", Euc("ERROR 障害コード=503 発生"), LogEncoding::kAuto, false, true},
      {"UTF-8", "ERROR 障害コード=503 発生", LogEncoding::kAuto, false, true},
      {"Shift_JIS", Sjis("ERROR 障害コード=503 発生"), LogEncoding::kShiftJis, false, true},
      {"two digits", Euc("障害コード=50"), LogEncoding::kAuto, false, false},
      {"case kept", Euc("障害CODE=500"), LogEncoding::kAuto, false, false},
      {"case ignored", Euc("障害CODE=500"), LogEncoding::kAuto, true, true},
      {"case ignored in Shift_JIS", Sjis("障害Code=500"), LogEncoding::kShiftJis, true, true},
  };
  for (const auto& c : cases) {
    RegexMatcher matcher(pattern, c.ignore_case, c.encoding);
    ASSERT_TRUE(matcher.Compiled()) << matcher.Error();
    EXPECT_EQ(matcher.Matches(c.line), c.match) << c.what;
  }
  // The second byte of "表" in Shift_JIS is "\\": no backslash is seen there.
  RegexMatcher backslash("\\\\", false, LogEncoding::kShiftJis);
  EXPECT_FALSE(backslash.Matches(Sjis("表示")));
  EXPECT_TRUE(backslash.Matches("C:\\log"));
}

// A bad expression is refused with the library's message; a pathological
// one is stopped by the retry limits and counted, quickly.
TEST(RegexMatcherTest, BadExpressionsAreRefusedAndPathologicalOnesBounded) {
  EXPECT_EQ(RegexMatcher::Problem("status=(5", false, LogEncoding::kAuto),
            "end pattern with unmatched parenthesis");
  EXPECT_EQ(RegexMatcher::Problem("[0-9]+", false, LogEncoding::kShiftJis), "");
  RegexMatcher bad("a{2,1}x(", false, LogEncoding::kAuto);
  EXPECT_FALSE(bad.Compiled());
  EXPECT_FALSE(bad.Matches("a{2,1}x("));

  RegexMatcher slow("^(a|aa)+$", false, LogEncoding::kAuto);
  ASSERT_TRUE(slow.Compiled());
  std::string line = std::string(100000, 'a') + "b";
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(slow.Matches(line));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  EXPECT_EQ(slow.TakeLimitHits(), 1u);
  EXPECT_EQ(slow.TakeLimitHits(), 0u);
}

// The quick filter must be text every match holds: a wrong one loses
// matches, so each construct that makes text optional or uncertain is here.
TEST(RegexMatcherTest, RequiredTextIsHeldByEveryMatch) {
  const std::string error = testing::Euc("エラー");
  const std::pair<std::string, std::string> cases[] = {
      {"status=5[0-9]{2}", "status=5"},
      {"ab*c", "a"},
      {"abc?def", "def"},
      {"x{2}longer", "longer"},
      {"(ERROR|FATAL) disk", " disk"},
      {"ERROR|FATAL", ""},
      {"a\\.conf+", "a.conf"},
      {"[^]x]yz", "yz"},
      {"[[:alpha:]]+end", "end"},
      {"\\d+ms\\b", "ms"},
      {"\\x41BC", ""},
      {"(?i)error", ""},
      {"^" + error + "$", error},
      {error + "?ab", testing::Euc("エラ")},
  };
  for (const auto& [pattern, required] : cases) {
    EXPECT_EQ(RegexMatcher::RequiredText(pattern), required) << pattern;
  }
}

}  // namespace
}  // namespace sl
