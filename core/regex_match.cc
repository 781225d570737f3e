#include "core/regex_match.h"

#include <oniguruma.h>

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
    error_ = sjis_->Compile(EucToSjis(euc), ignore_case, ONIG_ENCODING_SJIS);
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

std::string RegexMatcher::Problem(std::string_view euc_pattern, bool ignore_case,
                                  LogEncoding encoding) {
  return RegexMatcher(euc_pattern, ignore_case, encoding).Error();
}

}  // namespace sl
