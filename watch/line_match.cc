#include "watch/line_match.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/jconvert.h"
#include "core/text.h"
#include "core/utf8_text.h"

namespace sl {

namespace {

bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

// A NUL byte ends a line like CR and LF: text written after one (a crashed
// writer's padding, a binary record) is still examined.
bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

// The first CR, LF or NUL in [p, e), or e.
const char* FindLineEnd(const char* p, const char* e) {
  while (p < e && !IsLineEnd(*p)) ++p;
  return p;
}

// The start of the last line end (CR, LF, CR LF or NUL) in [b, e), or nullptr.
const char* FindLastLineEnd(const char* b, const char* e) {
  const char* q = e;
  while (q > b) {
    --q;
    if (*q == '\r' || *q == '\0') return q;
    if (*q == '\n') return (q > b && q[-1] == '\r') ? q - 1 : q;
  }
  return nullptr;
}

// Where the line after the line end at t (in [t, end)) starts.
const char* SkipLineEnd(const char* t, const char* end) {
  if (*t == '\r' && t + 1 < end && t[1] == '\n') return t + 2;
  return t + 1;
}

const char* Find(const char* b, const char* e, const std::string& word) {
  return static_cast<const char*>(
      ::memmem(b, static_cast<size_t>(e - b), word.data(), word.size()));
}

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// p holds the lower-case word in either case of its ASCII letters.
bool EqualFolded(const char* p, const std::string& word) {
  for (size_t i = 0; i < word.size(); ++i) {
    if (FoldCase(p[i]) != word[i]) return false;
  }
  return true;
}

// Find for a lower-case word in text of either case. Used for the lines
// around a hit and the scalar rest of a region, so plain is fast enough.
const char* FindFolded(const char* b, const char* e, const std::string& word) {
  if (static_cast<size_t>(e - b) < word.size()) return nullptr;
  if (word.empty()) return b;
  const char* last = e - word.size();
  for (const char* p = b; p <= last; ++p) {
    if (FoldCase(*p) == word[0] && EqualFolded(p, word)) return p;
  }
  return nullptr;
}

// Find, or FindFolded for a matcher that ignores case.
template <bool kFold>
const char* FindWord(const char* b, const char* e, const std::string& word) {
  return kFold ? FindFolded(b, e, word) : Find(b, e, word);
}

// How common a byte is in log text, roughly (higher: more common). Used
// only to choose which bytes of a word to compare first.
int Commonness(unsigned char c) {
  static const char kLetters[] = "etaoinsrhldcumfpgwybvkxjqz";
  if (c == ' ') return 100;
  if (c == 0xE3) return 98;  // UTF-8 lead byte of kana and many kanji
  if (c >= 'a' && c <= 'z') return 95 - static_cast<int>(std::strchr(kLetters, c) - kLetters);
  if (c == 0xA1 || c == 0xA4 || c == 0xA5) return 90;  // EUC-JP symbols, hiragana, katakana
  if (c >= '0' && c <= '9') return 85;
  if (std::strchr(":/.-_[]()=,'\"", c) != nullptr && c != 0) return 80;
  if (c >= 0x80 && c <= 0xBF) return 60;  // UTF-8 continuation bytes
  if (c >= 0xA1) return 50;
  if (c >= 'A' && c <= 'Z') return 40;
  return 30;
}

// Shift_JIS: a byte that starts a double-byte character.
bool IsSjisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The Shift_JIS text with the ASCII letters of its single-byte characters
// in lower case; second bytes stay as they are.
std::string LowerSjis(std::string s) {
  for (size_t i = 0; i < s.size(); ++i) {
    if (IsSjisLead(static_cast<unsigned char>(s[i]))) {
      ++i;
    } else {
      s[i] = FoldCase(s[i]);
    }
  }
  return s;
}

// p holds the word (folded as LowerSjis does) in either case of its
// single-byte letters; double-byte characters are compared as they are.
bool EqualSjisFolded(const char* p, const std::string& word) {
  for (size_t i = 0; i < word.size(); ++i) {
    if (IsSjisLead(static_cast<unsigned char>(word[i])) && i + 1 < word.size()) {
      if (p[i] != word[i] || p[i + 1] != word[i + 1]) return false;
      ++i;
    } else if (FoldCase(p[i]) != word[i]) {
      return false;
    }
  }
  return true;
}

bool HasHighByte(const std::string& s) {
  return std::any_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

}  // namespace

std::vector<std::string> SplitSearchWords(std::string_view search_string) {
  std::string_view s = search_string.substr(0, search_string.find('\0'));
  std::vector<std::string> words;
  size_t n = s.size();
  size_t i = 0;
  auto skip_blanks = [&] {
    while (i < n && IsBlank(static_cast<unsigned char>(s[i]))) ++i;
  };
  skip_blanks();
  while (i < n) {
    std::string word;
    if (s[i] == '"') {
      ++i;
      while (i < n) {
        if (s[i] == '"') {
          if (i + 1 < n && s[i + 1] == '"') {
            word += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        word += s[i++];
      }
    } else {
      size_t start = i;
      while (i < n && !IsBlank(static_cast<unsigned char>(s[i])) && s[i] != ',') ++i;
      word.assign(s.substr(start, i - start));
    }
    words.push_back(std::move(word));
    skip_blanks();
    if (i < n && s[i] == ',') {
      if (i + 1 == n) words.emplace_back();
      ++i;
      skip_blanks();
    }
  }
  return words;
}

WordMatcher::WordMatcher(std::vector<std::string> words, Utf8Converter* utf8, bool ignore_case,
                         bool shift_jis)
    : fold_(ignore_case), sjis_(shift_jis) {
  words_.reserve(words.size());
  for (std::string& w : words) {
    Word word;
    if (sjis_) {
      // The lead search takes every byte in either case (a superset);
      // Contains then folds single-byte characters only.
      w = EucToSjis(w);
      word.sjis = fold_ ? LowerSjis(w) : w;
      utf8 = nullptr;
    }
    if (fold_) w = LowerCase(w);
    if (w.empty() || w.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      impossible_ = true;
    }
    // A word that is not valid EUC-JP has no other form.
    if (utf8 && HasHighByte(w) && (!utf8->EucToUtf8(w, &word.utf8) || word.utf8 == w)) {
      word.utf8.clear();
    }
    word.euc = std::move(w);
    longest_ = std::max({longest_, word.euc.size(), word.utf8.size()});
    words_.push_back(std::move(word));
  }
  // Lead: the longest word of one form, else the longest word.
  bool lead_single = false;
  for (size_t i = 0; i < words_.size(); ++i) {
    bool single = words_[i].utf8.empty();
    const Word& lead = words_[lead_];
    if ((single && !lead_single) ||
        (single == lead_single && words_[i].euc.size() > lead.euc.size())) {
      lead_ = i;
      lead_single = single;
    }
  }
  if (words_.empty() || impossible_) return;
  for (const std::string* form : {&words_[lead_].euc, &words_[lead_].utf8}) {
    if (form->empty()) continue;
    Needle& n = needles_[needle_count_++];
    n.text = form;
    auto rarer = [&](size_t a, size_t b) {
      return Commonness(static_cast<unsigned char>((*form)[a])) <
             Commonness(static_cast<unsigned char>((*form)[b]));
    };
    n.second = 0;
    for (size_t k = 1; k < form->size(); ++k) {
      if (rarer(k, n.second)) n.second = k;
    }
    n.first = n.second == 0 && form->size() > 1 ? 1 : 0;
    for (size_t k = 0; k < form->size(); ++k) {
      if (k != n.second && rarer(k, n.first)) n.first = k;
    }
    auto fold = [&](size_t k) {
      char c = (*form)[k];
      return static_cast<char>(fold_ && c >= 'a' && c <= 'z' ? 0x20 : 0);
    };
    n.fold_first = fold(n.first);
    n.fold_second = fold(n.second);
  }
}

bool WordMatcher::Contains(std::string_view text, const std::string& word) const {
  const char* e = text.data() + text.size();
  return (fold_ ? FindFolded(text.data(), e, word) : Find(text.data(), e, word)) != nullptr;
}

// Like Contains, for the Shift_JIS form of a word in a text that starts at
// a character boundary: a candidate counts only when it starts on one, found
// by walking the characters from the start up to it (only when a candidate
// is there, so that the common line costs one search).
bool WordMatcher::ContainsSjis(std::string_view text, const Word& word) const {
  const char* boundary = text.data();
  const char* e = boundary + text.size();
  for (const char* from = boundary;;) {
    const char* hit = fold_ ? FindFolded(from, e, word.euc) : Find(from, e, word.euc);
    if (hit == nullptr) return false;
    while (boundary < hit) {
      boundary += IsSjisLead(static_cast<unsigned char>(*boundary)) && boundary + 1 < e ? 2 : 1;
    }
    if (boundary == hit && (!fold_ || EqualSjisFolded(hit, word.sjis))) return true;
    from = hit + 1;
  }
}

bool WordMatcher::Holds(size_t i, std::string_view text) const {
  const Word& w = words_[i];
  if (sjis_) return ContainsSjis(text, w);
  return Contains(text, w.euc) || (!w.utf8.empty() && Contains(text, w.utf8));
}

bool WordMatcher::HoldsAny(std::string_view text) const {
  for (size_t i = 0; i < words_.size(); ++i) {
    if (!words_[i].euc.empty() && Holds(i, text)) return true;
  }
  return false;
}

bool WordMatcher::Matches(std::string_view line) const {
  if (impossible_) return false;
  for (size_t i = 0; i < words_.size(); ++i) {
    if (!Holds(i, line)) return false;
  }
  return true;
}

// The first candidate of a filter step at q whose form k is marked in
// masks[k] (bit j: position q + j) and that holds the form whole.
template <bool kFold>
const char* WordMatcher::Candidates(const char* q, const uint32_t* masks, uint32_t any,
                                    size_t* length) const {
  while (any != 0) {
    int j = __builtin_ctz(any);
    any &= any - 1;
    for (int k = 0; k < needle_count_; ++k) {
      const std::string& t = *needles_[k].text;
      if ((masks[k] >> j & 1) != 0 &&
          (kFold ? EqualFolded(q + j, t) : std::memcmp(q + j, t.data(), t.size()) == 0)) {
        *length = t.size();
        return q + j;
      }
    }
  }
  return nullptr;
}

#if defined(__x86_64__)
// The first 32-position step of FindLead, for processors with AVX2: the
// same filter over twice the positions at a time. Returns the hit, or
// nullptr with *p moved to where fewer than 31 + longest bytes are left.
template <bool kFold>
__attribute__((target("avx2"))) const char* WordMatcher::FindLeadWide(const char** p,
                                                                      const char* end,
                                                                      size_t longest,
                                                                      size_t* length) const {
  __m256i want_first[2];
  __m256i want_second[2];
  __m256i fold_first[2];
  __m256i fold_second[2];
  for (int k = 0; k < needle_count_; ++k) {
    const Needle& n = needles_[k];
    want_first[k] = _mm256_set1_epi8((*n.text)[n.first]);
    want_second[k] = _mm256_set1_epi8((*n.text)[n.second]);
    fold_first[k] = _mm256_set1_epi8(n.fold_first);
    fold_second[k] = _mm256_set1_epi8(n.fold_second);
  }
  const char* q = *p;
  while (end - q >= static_cast<ptrdiff_t>(31 + longest)) {
    uint32_t masks[2] = {0, 0};
    uint32_t any = 0;
    for (int k = 0; k < needle_count_; ++k) {
      const Needle& n = needles_[k];
      __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + n.first));
      __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + n.second));
      if constexpr (kFold) {
        a = _mm256_or_si256(a, fold_first[k]);
        b = _mm256_or_si256(b, fold_second[k]);
      }
      masks[k] = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(
          _mm256_cmpeq_epi8(a, want_first[k]), _mm256_cmpeq_epi8(b, want_second[k]))));
      any |= masks[k];
    }
    if (any != 0) {
      if (const char* hit = Candidates<kFold>(q, masks, any, length)) return hit;
    }
    q += 32;
  }
  *p = q;
  return nullptr;
}
#endif

// The 16-position filter, for the rest the wide one left (or all of it
// without AVX2); then the last bytes one position at a time.
template <bool kFold>
const char* WordMatcher::FindLeadNarrow(const char* p, const char* end, size_t* length) const {
#if defined(__SSE2__)
  // Sixteen start positions at a time: a position is a candidate when both
  // chosen bytes of a form are in place; candidates are then compared whole.
  size_t longest = 0;
  __m128i want_first[2];
  __m128i want_second[2];
  __m128i fold_first[2];
  __m128i fold_second[2];
  for (int k = 0; k < needle_count_; ++k) {
    const Needle& n = needles_[k];
    longest = std::max(longest, n.text->size());
    want_first[k] = _mm_set1_epi8((*n.text)[n.first]);
    want_second[k] = _mm_set1_epi8((*n.text)[n.second]);
    fold_first[k] = _mm_set1_epi8(n.fold_first);
    fold_second[k] = _mm_set1_epi8(n.fold_second);
  }
  while (end - p >= static_cast<ptrdiff_t>(15 + longest)) {
    uint32_t masks[2] = {0, 0};
    uint32_t any = 0;
    for (int k = 0; k < needle_count_; ++k) {
      const Needle& n = needles_[k];
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n.first));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n.second));
      if constexpr (kFold) {
        a = _mm_or_si128(a, fold_first[k]);
        b = _mm_or_si128(b, fold_second[k]);
      }
      masks[k] = static_cast<uint32_t>(_mm_movemask_epi8(
          _mm_and_si128(_mm_cmpeq_epi8(a, want_first[k]), _mm_cmpeq_epi8(b, want_second[k]))));
      any |= masks[k];
    }
    if (any != 0) {
      if (const char* hit = Candidates<kFold>(p, masks, any, length)) return hit;
    }
    p += 16;
  }
#endif
  const char* best = nullptr;
  for (int k = 0; k < needle_count_; ++k) {
    const char* hit = FindWord<kFold>(p, end, *needles_[k].text);
    if (hit != nullptr && (best == nullptr || hit < best)) {
      best = hit;
      *length = needles_[k].text->size();
    }
  }
  return best;
}

const char* WordMatcher::FindLead(const char* from, const char* end, size_t* length) const {
  const char* p = from;
#if defined(__x86_64__)
  static const bool kWide = __builtin_cpu_supports("avx2");
  if (kWide) {
    size_t longest = std::max(needles_[0].text->size(),
                              needle_count_ > 1 ? needles_[1].text->size() : size_t{0});
    const char* hit = fold_ ? FindLeadWide<true>(&p, end, longest, length)
                            : FindLeadWide<false>(&p, end, longest, length);
    if (hit) return hit;
  }
#endif
  return fold_ ? FindLeadNarrow<true>(p, end, length) : FindLeadNarrow<false>(p, end, length);
}

LineScanner::LineScanner(const WordMatcher& matcher, MatchHandler on_match,
                         const WordMatcher* exclude, RegexMatcher* expression)
    : matcher_(matcher),
      on_match_(std::move(on_match)),
      exclude_(exclude),
      expression_(expression) {}

void LineScanner::Feed(std::string_view piece) {
  if (piece.empty()) return;
  const char* p = piece.data();
  const char* e = p + piece.size();
  if (pending_cr_ && p < e) {
    if (*p == '\n') ++p;  // second half of a CR LF split between pieces
    pending_cr_ = false;
  }
  const char* begin = p;
  if (in_partial_) {
    const char* t = FindLineEnd(p, e);
    ExtendPartial(std::string_view(p, static_cast<size_t>(t - p)));
    if (t == e) return;
    FinishPartial();
    begin = SkipLineEnd(t, e);
    if (*t == '\r' && t + 1 == e) pending_cr_ = true;  // its LF may come next
  }
  if (begin >= e) return;
  const char* last = FindLastLineEnd(begin, e);
  if (last == nullptr) {
    ExtendPartial(std::string_view(begin, static_cast<size_t>(e - begin)));
    return;
  }
  ScanCompleteLines(begin, last);
  const char* rest = SkipLineEnd(last, e);
  if (*last == '\r' && last + 1 == e) {
    pending_cr_ = true;  // its LF may come next
  } else if (rest < e) {
    ExtendPartial(std::string_view(rest, static_cast<size_t>(e - rest)));
  }
}

void LineScanner::Finish() {
  FinishPartial();
  pending_cr_ = false;
}

bool LineScanner::TakeUnfinished(size_t max_bytes, std::string* line) {
  if (!in_partial_ || streaming_ || partial_.size() > max_bytes) return false;
  line->swap(partial_);
  partial_.clear();
  in_partial_ = false;
  return true;
}

// [begin, end) holds whole lines; the last one ends at end.
void LineScanner::ScanCompleteLines(const char* begin, const char* end) {
  if (matcher_.MatchesNothing()) return;
  if (matcher_.MatchesEverything()) {
    const char* s = begin;
    for (;;) {
      const char* t = FindLineEnd(s, end);
      std::string_view line(s, static_cast<size_t>(t - s));
      if (Passes(line)) on_match_(line);
      if (t == end) break;
      s = SkipLineEnd(t, end);
    }
    return;
  }
  // Search the whole region for the lead word; only lines that hold it are
  // cut out and tested for the other words.
  const char* s = begin;
  while (s < end) {
    size_t lead_size = 0;
    const char* hit = matcher_.FindLead(s, end, &lead_size);
    if (hit == nullptr) break;
    const char* line_begin = hit;
    while (line_begin > s && !IsLineEnd(line_begin[-1])) --line_begin;
    const char* line_end = FindLineEnd(hit + lead_size, end);
    std::string_view line(line_begin, static_cast<size_t>(line_end - line_begin));
    if (matcher_.Matches(line) && Passes(line)) on_match_(line);
    s = line_end;
  }
}

void LineScanner::ExtendPartial(std::string_view text) {
  in_partial_ = true;
  if (!streaming_) {
    if (partial_.size() + text.size() <= kKeptLineBytes) {
      partial_.append(text);
      return;
    }
    // Too long to keep whole: from here on keep the head for reporting and
    // mark the words as they are seen.
    streaming_ = true;
    found_.assign(matcher_.size(), false);
    tail_.clear();
    std::string head;
    head.swap(partial_);
    ExtendPartial(head);
  }
  if (partial_.size() < kKeptLineBytes) {
    partial_.append(text.substr(0, kKeptLineBytes - partial_.size()));
  }
  if (matcher_.MatchesNothing() || MatchesHeadOnly()) return;
  size_t longest = std::max(matcher_.longest(), exclude_ ? exclude_->longest() : 0);
  if (longest == 0) return;
  std::string window = tail_;
  window.append(text);
  for (size_t i = 0; i < found_.size(); ++i) {
    if (!found_[i] && matcher_.Holds(i, window)) found_[i] = true;
  }
  if (!excluded_ && Excluded(window)) excluded_ = true;
  size_t keep = std::min(window.size(), longest - 1);
  tail_.assign(window, window.size() - keep, keep);
}

void LineScanner::FinishPartial() {
  if (!in_partial_) return;
  bool match;
  if (!streaming_ || MatchesHeadOnly()) {
    match = matcher_.Matches(partial_) && Passes(partial_);
  } else if (matcher_.MatchesNothing()) {
    match = false;
  } else {
    match = std::all_of(found_.begin(), found_.end(), [](bool f) { return f; }) && !excluded_;
  }
  if (match) on_match_(partial_);
  in_partial_ = false;
  streaming_ = false;
  excluded_ = false;
  partial_.clear();
  tail_.clear();
  found_.clear();
}

}  // namespace sl
