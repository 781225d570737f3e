// Fuzz target: the search-word split and the line matcher of the watch pass.
//
// The input gives a search string, how the text is cut into pieces and the
// text itself. SplitSearchWords must be unaffected by bytes after a NUL and
// must give the same words back from their quoted, comma-joined form.
// LineScanner, fed the text in one piece and in the chosen pieces, must
// report exactly the lines a plain reference finds: lines end at CR, LF,
// CR LF or NUL, a line matches when it holds every word in its EUC-JP or its
// UTF-8 form (and no word is empty or holds CR or LF), and a line longer than
// kKeptLineBytes is reported by its head. Lines past that size (a megabyte
// each) are the unit tests' to check: here they would slow every input down.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf8_text.h"
#include "watch/line_match.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "line_match_fuzz: %s\n", what);
    std::abort();
  }
}

std::string QuoteAndJoin(const std::vector<std::string>& words) {
  std::string s;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) s += ',';
    s += '"';
    for (char c : words[i]) {
      if (c == '"') s += '"';
      s += c;
    }
    s += '"';
  }
  return s;
}

// The lines a watch pass must report, found the plain way.
// forms[i] is the UTF-8 form of words[i], or empty.
std::vector<std::string> ReferenceMatches(std::string_view text,
                                          const std::vector<std::string>& words,
                                          const std::vector<std::string>& forms) {
  bool impossible = false;
  for (const std::string& w : words) {
    if (w.empty() || w.find_first_of("\r\n") != std::string::npos) impossible = true;
  }
  std::vector<std::string> out;
  auto consider = [&](std::string_view line) {
    if (impossible) return;
    for (size_t k = 0; k < words.size(); ++k) {
      auto holds = [&](const std::string& w) {
        return !w.empty() && ::memmem(line.data(), line.size(), w.data(), w.size()) != nullptr;
      };
      if (!holds(words[k]) && !holds(forms[k])) return;
    }
    out.emplace_back(line.substr(0, sl::LineScanner::kKeptLineBytes));
  };
  size_t start = 0;
  for (;;) {
    size_t i = text.find_first_of(std::string_view("\r\n\0", 3), start);
    if (i == std::string_view::npos) break;
    consider(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) consider(text.substr(start));
  return out;
}

std::vector<std::string> Scan(const sl::WordMatcher& matcher, std::string_view text,
                              const std::vector<size_t>& cuts) {
  std::vector<std::string> got;
  sl::LineScanner scanner(matcher, [&got](std::string_view line) { got.emplace_back(line); });
  size_t pos = 0;
  for (size_t k = 0; pos < text.size(); ++k) {
    size_t n = cuts.empty() ? text.size() : std::min(cuts[k % cuts.size()], text.size() - pos);
    scanner.Feed(text.substr(pos, n));
    pos += n;
  }
  scanner.Feed(std::string_view());
  scanner.Finish();
  return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string search = in.ConsumeRandomLengthString(80);
  std::vector<size_t> cuts;
  for (int k = in.ConsumeIntegralInRange<int>(1, 6); k > 0; --k) {
    cuts.push_back(in.ConsumeIntegralInRange<size_t>(1, 80));
  }
  const std::string text = in.ConsumeRemainingBytesAsString();

  // Word splitting.
  std::vector<std::string> words = sl::SplitSearchWords(search);
  for (const std::string& w : words)
    Check(w.find('\0') == std::string::npos, "a word holds a NUL byte");
  Check(sl::SplitSearchWords(search + '\0' + "x, \"y\"") == words,
        "bytes after a NUL change the words");
  Check(sl::SplitSearchWords(QuoteAndJoin(words)) == words,
        "quoted words do not split back to themselves");

  // Matching, with and without the UTF-8 forms of the words.
  static sl::Utf8Converter utf8;
  std::vector<std::string> no_forms(words.size()), forms(words.size());
  for (size_t k = 0; k < words.size(); ++k) {
    if (!utf8.EucToUtf8(words[k], &forms[k])) forms[k].clear();
  }
  for (bool with_forms : {false, true}) {
    sl::WordMatcher matcher(words, with_forms ? &utf8 : nullptr);
    const std::vector<std::string> expected =
        ReferenceMatches(text, words, with_forms ? forms : no_forms);
    Check(Scan(matcher, text, {}) == expected, "one-piece scan differs from the reference");
    Check(Scan(matcher, text, cuts) == expected, "scan in pieces differs from the reference");
  }
  return 0;
}
