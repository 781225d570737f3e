#include "watch/line_match.h"

#include <algorithm>
#include <cstring>

namespace sl {

namespace {

bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// The first CR or LF in [p, e), or e.
const char* FindLineEnd(const char* p, const char* e) {
  while (p < e && !IsLineEnd(*p)) ++p;
  return p;
}

// The start of the last line end (CR, LF or CR LF) in [b, e), or nullptr.
const char* FindLastLineEnd(const char* b, const char* e) {
  const char* q = e;
  while (q > b) {
    --q;
    if (*q == '\r') return q;
    if (*q == '\n') return (q > b && q[-1] == '\r') ? q - 1 : q;
  }
  return nullptr;
}

// Where the line after the line end at t (in [t, end)) starts.
const char* SkipLineEnd(const char* t, const char* end) {
  if (*t == '\r' && t + 1 < end && t[1] == '\n') return t + 2;
  return t + 1;
}

bool Contains(std::string_view text, const std::string& word) {
  return ::memmem(text.data(), text.size(), word.data(), word.size()) != nullptr;
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

WordMatcher::WordMatcher(std::vector<std::string> words) : words_(std::move(words)) {
  for (size_t i = 0; i < words_.size(); ++i) {
    const std::string& w = words_[i];
    if (w.empty() || w.find_first_of("\r\n") != std::string::npos) impossible_ = true;
    if (w.size() > longest_) {
      longest_ = w.size();
      lead_ = i;
    }
  }
}

bool WordMatcher::Matches(std::string_view line) const {
  if (impossible_) return false;
  for (const std::string& w : words_) {
    if (!Contains(line, w)) return false;
  }
  return true;
}

size_t WordMatcher::FindLead(std::string_view text) const {
  const std::string& w = words_[lead_];
  const void* hit = ::memmem(text.data(), text.size(), w.data(), w.size());
  return hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data())
             : std::string_view::npos;
}

LineScanner::LineScanner(const WordMatcher& matcher, MatchHandler on_match)
    : matcher_(matcher), on_match_(std::move(on_match)) {}

void LineScanner::Feed(std::string_view piece) {
  if (ended_ || piece.empty()) return;
  const char* p = piece.data();
  const char* e = p + piece.size();
  if (const void* nul = std::memchr(p, '\0', piece.size())) {
    e = static_cast<const char*>(nul);
    ended_ = true;
  }
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
    if (*t == '\r' && t + 1 == e && !ended_) pending_cr_ = true;  // its LF may come next
  }
  if (begin >= e) return;
  const char* last = FindLastLineEnd(begin, e);
  if (last == nullptr) {
    ExtendPartial(std::string_view(begin, static_cast<size_t>(e - begin)));
    return;
  }
  ScanCompleteLines(begin, last);
  const char* rest = SkipLineEnd(last, e);
  if (*last == '\r' && last + 1 == e && !ended_) {
    pending_cr_ = true;  // its LF may come next
  } else if (rest < e) {
    ExtendPartial(std::string_view(rest, static_cast<size_t>(e - rest)));
  }
}

void LineScanner::Finish() {
  FinishPartial();
  pending_cr_ = false;
}

// [begin, end) holds whole lines; the last one ends at end.
void LineScanner::ScanCompleteLines(const char* begin, const char* end) {
  if (matcher_.MatchesNothing()) return;
  if (matcher_.MatchesEverything()) {
    const char* s = begin;
    for (;;) {
      const char* t = FindLineEnd(s, end);
      on_match_(std::string_view(s, static_cast<size_t>(t - s)));
      if (t == end) break;
      s = SkipLineEnd(t, end);
    }
    return;
  }
  // Search the whole region for the lead word; only lines that hold it are
  // cut out and tested for the other words.
  const size_t lead_size = matcher_.longest();
  const char* s = begin;
  while (s < end) {
    size_t off = matcher_.FindLead(std::string_view(s, static_cast<size_t>(end - s)));
    if (off == std::string_view::npos) break;
    const char* hit = s + off;
    const char* line_begin = hit;
    while (line_begin > s && !IsLineEnd(line_begin[-1])) --line_begin;
    const char* line_end = FindLineEnd(hit + lead_size, end);
    std::string_view line(line_begin, static_cast<size_t>(line_end - line_begin));
    if (matcher_.Matches(line)) on_match_(line);
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
    found_.assign(matcher_.words().size(), false);
    tail_.clear();
    std::string head;
    head.swap(partial_);
    ExtendPartial(head);
  }
  if (partial_.size() < kKeptLineBytes) {
    partial_.append(text.substr(0, kKeptLineBytes - partial_.size()));
  }
  if (matcher_.MatchesNothing() || matcher_.MatchesEverything()) return;
  std::string window = tail_;
  window.append(text);
  for (size_t i = 0; i < found_.size(); ++i) {
    if (!found_[i] && Contains(window, matcher_.words()[i])) found_[i] = true;
  }
  size_t keep = std::min(window.size(), matcher_.longest() - 1);
  tail_.assign(window, window.size() - keep, keep);
}

void LineScanner::FinishPartial() {
  if (!in_partial_) return;
  bool match;
  if (!streaming_) {
    match = matcher_.Matches(partial_);
  } else if (matcher_.MatchesNothing() || matcher_.MatchesEverything()) {
    match = matcher_.MatchesEverything();
  } else {
    match = std::all_of(found_.begin(), found_.end(), [](bool f) { return f; });
  }
  if (match) on_match_(partial_);
  in_partial_ = false;
  streaming_ = false;
  partial_.clear();
  tail_.clear();
  found_.clear();
}

}  // namespace sl
