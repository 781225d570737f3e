// UTF-8 beside EUC-JP in watched files.
//
// Settings and the event log are EUC-JP, while most programs on a current
// system write their logs in UTF-8. Utf8Converter turns EUC-JP search words
// into their UTF-8 form, so that they are found in both kinds of log, and
// turns a matching UTF-8 line back into EUC-JP before it is logged and
// mailed. It uses the C library's iconv, with descriptors opened once; like
// them it is not thread-safe: one instance per thread.
#ifndef SL_CORE_UTF8_TEXT_H_
#define SL_CORE_UTF8_TEXT_H_

#include <iconv.h>

#include <string>
#include <string_view>

namespace sl {

// True when text is valid UTF-8 (shortest forms, no surrogates, at most
// U+10FFFF) and holds at least one character of two or more bytes.
bool IsMultibyteUtf8(std::string_view text);

class Utf8Converter {
 public:
  Utf8Converter();
  ~Utf8Converter();
  Utf8Converter(const Utf8Converter&) = delete;
  Utf8Converter& operator=(const Utf8Converter&) = delete;

  // The UTF-8 form of an EUC-JP text; false when the text is not valid
  // EUC-JP (or iconv is unavailable).
  bool EucToUtf8(std::string_view euc, std::string* utf8);
  // The same for text that may hold stray bytes: each byte that starts no
  // EUC-JP character becomes U+FFFD, so the result is always valid UTF-8
  // (without a converter, non-ASCII bytes all become U+FFFD).
  std::string EucToValidUtf8(std::string_view euc);

  // The EUC-JP form of a valid UTF-8 text. A character without an EUC-JP
  // form becomes the geta mark; the input is not checked (see
  // IsMultibyteUtf8), an invalid byte is replaced the same way.
  std::string Utf8ToEuc(std::string_view utf8);

 private:
  iconv_t to_utf8_;
  iconv_t to_euc_;
};

}  // namespace sl

#endif
