// The text side of the watch pass: search words, line splitting, matching.
//
// SplitSearchWords turns an entry's search string into its words.
// WordMatcher answers whether a line holds every word; a word holding
// Japanese text may be found in its EUC-JP or its UTF-8 form, or, for a
// Shift_JIS log, in its Shift_JIS form on the line's character boundaries.
// LineScanner
// takes the appended bytes of a file piece by piece and reports each line
// that matches, with exactly the lines one buffer of all pieces would give:
// a line or a CR LF pair may span two pieces, and a NUL byte ends a line like
// CR and LF do. Memory stays bounded by the piece size and kKeptLineBytes,
// whatever the append size.
#ifndef SL_WATCH_LINE_MATCH_H_
#define SL_WATCH_LINE_MATCH_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/regex_match.h"

namespace sl {

class Utf8Converter;

// Splits a search string into words: blanks (bytes 1 to 32) and commas
// separate words; a word starting with a double quote runs to the closing
// quote, two quotes inside standing for one; a comma as the very last byte
// adds an empty word; a NUL byte ends the text.
std::vector<std::string> SplitSearchWords(std::string_view search_string);

// Tests lines for all of a fixed set of words (byte substrings, case-sensitive
// unless ignore_case: then ASCII letters match in either case, other bytes
// as they are). Given a converter, a word holding bytes of 128 and above
// (EUC-JP) also occurs where its UTF-8 form does. No words: every line
// matches. An empty word, or one holding CR, LF or NUL, occurs in no line,
// so such a set matches nothing (and HoldsAny skips it).
// With shift_jis the words (EUC-JP) are looked for in their Shift_JIS form
// instead, and only where they start on a character boundary of the text
// (whose first byte is taken as one): an ASCII word does not match the
// second bytes of double-byte characters, and case folding leaves second
// bytes alone. Holds, HoldsAny and Matches expect a text that starts at a
// line's start then; FindLead only finds candidates.
class WordMatcher {
 public:
  explicit WordMatcher(std::vector<std::string> words, Utf8Converter* utf8 = nullptr,
                       bool ignore_case = false, bool shift_jis = false);
  // Not copyable: the lead needles point into the words.
  WordMatcher(const WordMatcher&) = delete;
  WordMatcher& operator=(const WordMatcher&) = delete;

  bool Matches(std::string_view line) const;
  // True when word i occurs in text, in either of its forms.
  bool Holds(size_t i, std::string_view text) const;
  // True when any non-empty word occurs in text (exclusion words).
  bool HoldsAny(std::string_view text) const;

  // The first occurrence in [from, end) of the word chosen to lead the
  // search (a word of one form where there is one, the rarest and fastest
  // to find), in either of its forms, or nullptr; *length is the length of
  // the form found. Both forms are looked for in one sweep. Only meaningful
  // when !MatchesEverything() && !MatchesNothing().
  const char* FindLead(const char* from, const char* end, size_t* length) const;

  bool MatchesEverything() const { return words_.empty(); }
  bool ShiftJis() const { return sjis_; }
  bool MatchesNothing() const { return impossible_; }
  size_t size() const { return words_.size(); }
  // The longest form of any word.
  size_t longest() const { return longest_; }

 private:
  struct Word {
    std::string euc;   // for a Shift_JIS log its Shift_JIS form (all bytes folded with ignore_case)
    std::string utf8;  // empty when the word has no other form
    std::string
        sjis;  // for a Shift_JIS log: the Shift_JIS form, folded on its ASCII characters only
  };
  template <bool kFold>
  const char* FindLeadWide(const char** p, const char* end, size_t longest, size_t* length) const;
  template <bool kFold>
  const char* FindLeadNarrow(const char* p, const char* end, size_t* length) const;
  template <bool kFold>
  const char* Candidates(const char* q, const uint32_t* masks, uint32_t any, size_t* length) const;
  bool Contains(std::string_view text, const std::string& word) const;
  bool ContainsSjis(std::string_view text, const Word& word) const;

  // One form of the lead word, with the two of its bytes that are compared
  // first: the rarest ones in log text. With ignore_case the words are held
  // in lower case, and a byte compared first that is a letter is compared
  // with 0x20 set (the fold masks), which takes either case of it and
  // nothing else.
  struct Needle {
    const std::string* text;
    size_t first;
    size_t second;
    char fold_first;
    char fold_second;
  };
  std::vector<Word> words_;
  Needle needles_[2] = {};
  int needle_count_ = 0;
  size_t lead_ = 0;
  size_t longest_ = 0;
  bool impossible_ = false;
  bool fold_ = false;  // ignore_case
  bool sjis_ = false;  // shift_jis
};

// Feeds pieces of one text through line splitting and matching. OnMatch gets
// each matching line in text order; the view is valid only during the call.
// With exclusion words, a line that holds all the words and any exclusion
// word is not reported (only lines holding the words are tested for them).
// With an expression, a line must match it too; the words are then only a
// quick filter (words every match holds, or none).
// A line longer than kKeptLineBytes is reported by its first kKeptLineBytes
// bytes. It is matched in full by words; an expression, or the words of a
// Shift_JIS log (whose character boundaries are known only from a line's
// start), match what is kept of it.
class LineScanner {
 public:
  static constexpr size_t kKeptLineBytes = 1 << 20;

  using MatchHandler = std::function<void(std::string_view line)>;

  // exclude and expression, when given, must outlive the scanner.
  LineScanner(const WordMatcher& matcher, MatchHandler on_match,
              const WordMatcher* exclude = nullptr, RegexMatcher* expression = nullptr);

  // The next piece of the text.
  void Feed(std::string_view piece);
  // End of the text: reports the last line when it had no line end.
  void Finish();
  // End of what the text holds for now: moves a last line without a line
  // end into *line instead of reporting it, when it has at most max_bytes
  // (the scanner is then as new). False, with the line kept, when there is
  // none or it is longer.
  bool TakeUnfinished(size_t max_bytes, std::string* line);

 private:
  bool Excluded(std::string_view line) const { return exclude_ && exclude_->HoldsAny(line); }
  // A line holding the words passes the exclusion words and the expression.
  bool Passes(std::string_view line) const {
    return !Excluded(line) && (expression_ == nullptr || expression_->Matches(line));
  }
  // Whether a line too long to keep is matched by its kept head only.
  bool MatchesHeadOnly() const {
    return expression_ != nullptr || matcher_.ShiftJis() || (exclude_ && exclude_->ShiftJis());
  }
  void ScanCompleteLines(const char* begin, const char* end);
  void ExtendPartial(std::string_view text);
  void FinishPartial();

  const WordMatcher& matcher_;
  MatchHandler on_match_;
  const WordMatcher* exclude_;
  RegexMatcher* expression_;
  bool pending_cr_ = false;  // the previous piece ended in CR

  // The line begun in an earlier piece. While it is short its bytes are all
  // in partial_; beyond kKeptLineBytes only its head is kept, the words seen
  // so far are marked in found_, and tail_ holds the last bytes that a word
  // could still start in.
  bool in_partial_ = false;
  bool streaming_ = false;
  std::string partial_;
  std::string tail_;
  std::vector<bool> found_;
  bool excluded_ = false;  // an exclusion word was seen in the streamed line
};

}  // namespace sl

#endif
