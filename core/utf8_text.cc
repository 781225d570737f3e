#include "core/utf8_text.h"

#include <cerrno>

#include "core/texts_ja.h"

namespace sl {

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Length of the UTF-8 sequence starting at p (at most n bytes available),
// or 0 when none starts there.
size_t Utf8SequenceLength(const unsigned char* p, size_t n) {
  unsigned char c = p[0];
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;  // no overlong forms
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (n < len || p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
  }
  return len;
}

// Runs cd over in, appending to out. On an input byte sequence it cannot
// convert, calls on_bad(position) which returns how many bytes to skip
// (after appending a replacement), or 0 to give up. False when it gave up.
template <typename OnBad>
bool Convert(iconv_t cd, std::string_view in, std::string* out, OnBad on_bad) {
  if (cd == kNoConverter) return false;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // initial shift state
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char buf[1024];
  while (src_left > 0) {
    char* dst = buf;
    size_t dst_left = sizeof buf;
    size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    out->append(buf, sizeof buf - dst_left);
    if (rc != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    size_t skip = on_bad(static_cast<size_t>(src - in.data()));
    if (skip == 0 || skip > src_left) return false;
    src += skip;
    src_left -= skip;
  }
  char* dst = buf;
  size_t dst_left = sizeof buf;
  iconv(cd, nullptr, nullptr, &dst, &dst_left);
  out->append(buf, sizeof buf - dst_left);
  return true;
}

}  // namespace

bool IsMultibyteUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  bool multibyte = false;
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    size_t len = Utf8SequenceLength(p + i, n - i);
    if (len == 0) return false;
    multibyte = true;
    i += len;
  }
  return multibyte;
}

Utf8Converter::Utf8Converter()
    : to_utf8_(iconv_open("UTF-8", "EUC-JP")), to_euc_(iconv_open("EUC-JP", "UTF-8")) {}

Utf8Converter::~Utf8Converter() {
  if (to_utf8_ != kNoConverter) iconv_close(to_utf8_);
  if (to_euc_ != kNoConverter) iconv_close(to_euc_);
}

bool Utf8Converter::EucToUtf8(std::string_view euc, std::string* utf8) {
  utf8->clear();
  return Convert(to_utf8_, euc, utf8, [](size_t) { return size_t{0}; });
}

std::string Utf8Converter::EucToValidUtf8(std::string_view euc) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
  std::string utf8;
  bool ok = Convert(to_utf8_, euc, &utf8, [&](size_t) {
    utf8 += kReplacement;
    return size_t{1};
  });
  if (!ok) {
    utf8.clear();
    for (char c : euc) {
      if (static_cast<unsigned char>(c) < 0x80)
        utf8 += c;
      else
        utf8 += kReplacement;
    }
  }
  return utf8;
}

std::string Utf8Converter::Utf8ToEuc(std::string_view utf8) {
  std::string euc;
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  bool ok = Convert(to_euc_, utf8, &euc, [&](size_t at) {
    euc += ja::kGetaMark;
    size_t len = Utf8SequenceLength(p + at, utf8.size() - at);
    return len == 0 ? size_t{1} : len;
  });
  if (!ok) euc.assign(utf8);  // no converter: the bytes as they are
  return euc;
}

}  // namespace sl
