#include "core/regex_match.h"

#include <oniguruma.h>

#include <cctype>
#include <mutex>

#include "core/jconvert.h"
#include "core/utf8_text.h"

namespace sl {

namespace {

// The library's tables of the three encodings are set up once per process.
void InitializeOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    OnigEncoding encodings[] = {ONIG_ENCODING_EUC_JP, ONIG_ENCODING_UTF8, ONIG_ENCODING_SJIS};
    onig_initialize(encodings, sizeof encodings / sizeof encodings[0]);
  });
}

std::string ErrorText(int code, OnigErrorInfo* info) {
  OnigUChar text[ONIG_MAX_ERROR_MESSAGE_LEN];
  int n = info ? onig_error_code_to_str(text, code, info) : onig_error_code_to_str(text, code);
  return std::string(reinterpret_cast<const char*>(text), n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

// One encoding's compiled form of the expression, with its match limits.
struct RegexMatcher::Form {
  regex_t* reg = nullptr;
  OnigMatchParam* param = nullptr;

  Form() = default;
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;
  ~Form() {
    if (param) onig_free_match_param(param);
    if (reg) onig_free(reg);
  }

  // Empty when the pattern compiled, else the library's message.
  std::string Compile(const std::string& pattern, bool ignore_case, OnigEncoding encoding) {
    OnigOptionType options = ONIG_OPTION_NONE;
    if (ignore_case) options |= ONIG_OPTION_IGNORECASE | ONIG_OPTION_IGNORECASE_IS_ASCII;
    OnigErrorInfo info;
    const auto* begin = reinterpret_cast<const OnigUChar*>(pattern.data());
    int r =
        onig_new(&reg, begin, begin + pattern.size(), options, encoding, ONIG_SYNTAX_RUBY, &info);
    if (r != ONIG_NORMAL) {
      reg = nullptr;
      return ErrorText(r, &info);
    }
    param = onig_new_match_param();
    if (param == nullptr) return "out of memory";
    onig_initialize_match_param(param);
    onig_set_retry_limit_in_match_of_match_param(param, kRetryLimitInMatch);
    onig_set_retry_limit_in_search_of_match_param(param, kRetryLimitInSearch);
    return std::string();
  }
};

RegexMatcher::RegexMatcher(std::string_view euc_pattern, bool ignore_case, LogEncoding encoding) {
  InitializeOnce();
  const std::string euc(euc_pattern);
  if (encoding == LogEncoding::kShiftJis) {
    sjis_ = std::make_unique<Form>();
    // The message may quote the expression: back in EUC-JP like every text.
    error_ = SjisToEuc(sjis_->Compile(EucToSjis(euc), ignore_case, ONIG_ENCODING_SJIS));
    return;
  }
  euc_ = std::make_unique<Form>();
  error_ = euc_->Compile(euc, ignore_case, ONIG_ENCODING_EUC_JP);
  if (!error_.empty()) return;
  std::string utf8;
  if (!Utf8Converter().EucToUtf8(euc, &utf8)) {
    error_ = "the expression is not valid EUC-JP text";
    return;
  }
  utf8_ = std::make_unique<Form>();
  error_ = utf8_->Compile(utf8, ignore_case, ONIG_ENCODING_UTF8);
}

RegexMatcher::~RegexMatcher() = default;

bool RegexMatcher::Matches(std::string_view line) {
  if (!Compiled()) return false;
  if (sjis_) return Search(*sjis_, line);
  return Search(utf8_ && IsMultibyteUtf8(line) ? *utf8_ : *euc_, line);
}

bool RegexMatcher::Search(Form& form, std::string_view line) {
  const auto* begin = reinterpret_cast<const OnigUChar*>(line.data());
  const auto* end = begin + line.size();
  int r = onig_search_with_param(form.reg, begin, end, begin, end, nullptr, ONIG_OPTION_NONE,
                                 form.param);
  if (r >= 0) return true;
  if (r != ONIG_MISMATCH) ++limit_hits_;  // a retry limit, or an error of the library
  return false;
}

uint64_t RegexMatcher::TakeLimitHits() {
  uint64_t hits = limit_hits_;
  limit_hits_ = 0;
  return hits;
}

std::string RegexMatcher::RequiredText(std::string_view p) {
  if (p.find("(?") != std::string_view::npos) return std::string();  // options, look-arounds
  std::string best;
  std::string run;
  size_t last_unit = 0;  // bytes of the run's last character
  auto end_run = [&] {
    if (run.size() > best.size()) best = run;
    run.clear();
    last_unit = 0;
  };
  int depth = 0;  // inside a group nothing is certain
  size_t i = 0;
  const size_t n = p.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(p[i]);
    size_t unit = 1;
    if (c == 0x8F) {
      unit = 3;
    } else if (IsEucLeadByte(c)) {
      unit = 2;
    }
    if (c == '\\') {
      if (i + 1 >= n) return std::string();
      const auto e = static_cast<unsigned char>(p[i + 1]);
      if (e < 0x80 && !std::isalnum(e)) {
        unit = 2;  // an escaped sign stands for itself
        if (depth == 0) {
          run += static_cast<char>(e);
          last_unit = 1;
        }
        i += unit;
        continue;
      }
      // Escapes that take no argument and match no fixed text; any other
      // (codes, properties, back references) gives up.
      if (std::string_view("dDwWsShHbBAzZGntrfvaeRX").find(static_cast<char>(e)) ==
          std::string_view::npos) {
        return std::string();
      }
      end_run();
      i += 2;
      continue;
    }
    if (c == '[') {  // a class: skipped whole (EUC-JP trail bytes are never ASCII)
      end_run();
      int nest = 0;
      ++i;
      if (i < n && p[i] == '^') ++i;
      if (i < n && p[i] == ']') ++i;
      for (; i < n; ++i) {
        if (p[i] == '\\') {
          ++i;
        } else if (p[i] == '[') {
          ++nest;
        } else if (p[i] == ']' && nest-- == 0) {
          break;
        }
      }
      ++i;
      continue;
    }
    if (c == '(' || c == ')') {
      end_run();
      depth += c == '(' ? 1 : -1;
      ++i;
      continue;
    }
    if (c == '|') {
      if (depth <= 0) return std::string();
      ++i;
      continue;
    }
    if (c == '*' || c == '?' || c == '{') {
      // The character before may be missing from a match.
      run.resize(run.size() - last_unit);
      end_run();
      if (c == '{') {
        size_t close = p.find('}', i);
        i = close == std::string_view::npos ? n : close;
      }
      ++i;
      continue;
    }
    if (c == '+' || c == '.' || c == '^' || c == '$') {
      end_run();
      ++i;
      continue;
    }
    if (depth == 0) {
      run.append(p.substr(i, unit));
      last_unit = unit;
    }
    i += unit;
  }
  end_run();
  return best;
}

std::string RegexMatcher::Problem(std::string_view euc_pattern, bool ignore_case,
                                  LogEncoding encoding) {
  return RegexMatcher(euc_pattern, ignore_case, encoding).Error();
}

}  // namespace sl
