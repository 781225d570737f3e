// RegexMatcher: a watch entry's SearchString as one regular expression (Ruby
// syntax, Oniguruma), for entries whose MatchMode is "regex".
//
// The expression is kept in EUC-JP like every setting. It is compiled once
// for each encoding a line of the log may come in: EUC-JP and UTF-8 for an
// "auto" log, Shift_JIS for a "sjis" one, so that an expression typed once
// in the pages matches every line in the line's own bytes. A line of an
// "auto" log that is valid UTF-8 with a character of several bytes is
// matched with the UTF-8 form, any other with the EUC-JP form.
//
// Matching is bounded: a line whose search passes the retry limits counts
// as no match, and is counted (TakeLimitHits) for the pass to log.
//
// Not thread-safe: one matcher belongs to one pass at a time.
#ifndef SL_CORE_REGEX_MATCH_H_
#define SL_CORE_REGEX_MATCH_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sl {

class RegexMatcher {
 public:
  enum class LogEncoding { kAuto, kShiftJis };
  // Retries one match attempt, and one whole search of a line, may take.
  static constexpr unsigned long kRetryLimitInMatch = 100000;
  static constexpr unsigned long kRetryLimitInSearch = 10000000;

  // Compiles `euc_pattern`; when it does not compile, Error() holds the
  // library's message and nothing matches. `ignore_case`: ASCII letters
  // match in either case.
  RegexMatcher(std::string_view euc_pattern, bool ignore_case, LogEncoding encoding);
  ~RegexMatcher();
  RegexMatcher(const RegexMatcher&) = delete;
  RegexMatcher& operator=(const RegexMatcher&) = delete;

  bool Compiled() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

  // True when the expression occurs in the line.
  bool Matches(std::string_view line);
  // Lines given up at the retry limits since the last call.
  uint64_t TakeLimitHits();

  // The longest run of plain characters every match of the expression
  // holds (EUC-JP, as the expression), for a quick filter of lines before
  // the expression runs; empty when none is certain. Read conservatively:
  // a top-level alternative or any "(?" construct gives none.
  static std::string RequiredText(std::string_view euc_pattern);

  // Why an expression does not compile, or empty when it does (the check of
  // a setting).
  static std::string Problem(std::string_view euc_pattern, bool ignore_case, LogEncoding encoding);

 private:
  struct Form;  // one compiled encoding
  bool Search(Form& form, std::string_view line);

  std::unique_ptr<Form> euc_;
  std::unique_ptr<Form> utf8_;
  std::unique_ptr<Form> sjis_;
  std::string error_;
  uint64_t limit_hits_ = 0;
};

}  // namespace sl

#endif
