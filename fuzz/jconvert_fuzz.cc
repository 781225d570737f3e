// Fuzz target: the Japanese conversions (EucToJis, EucToSjis, JisToSjis,
// Base64Encode, MimeHeaderEncode).
//
// Every function runs on the raw input, where it must not fail and must
// keep its promises for any bytes: ISO-2022-JP output is 7-bit, Base64
// decodes back, text without EUC-JP lead bytes leaves the header encoder
// unchanged. The input is also mapped onto well-formed EUC-JP (ASCII
// without ESC, JIS X 0208 pairs, half-width katakana), where the
// conversions must be exact: Shift_JIS converts back to the same EUC-JP,
// ISO-2022-JP (without katakana) decodes back, and the encoded words of a
// header decode back to the header.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/jconvert.h"
#include "core/text.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "jconvert_fuzz: %s\n", what);
    std::abort();
  }
}

unsigned char Byte(std::string_view s, size_t i) { return static_cast<unsigned char>(s[i]); }

// Well-formed EUC-JP made of the input: ASCII stays (ESC is dropped), any
// other byte starts a JIS X 0208 pair, or with kana a half-width katakana
// after 8E.
std::string WellFormedEuc(std::string_view raw, bool kana) {
  std::string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    unsigned char b = Byte(raw, i);
    if (b < 0x80) {
      if (b != 0x1B) out += static_cast<char>(b);
      continue;
    }
    unsigned char next = i + 1 < raw.size() ? Byte(raw, ++i) : 0;
    if (kana && b == 0x8E) {
      out += '\x8E';
      out += static_cast<char>(0xA1 + next % 0x3F);
    } else {
      out += static_cast<char>(0xA1 + b % 0x5E);
      out += static_cast<char>(0xA1 + next % 0x5E);
    }
  }
  return out;
}

// ISO-2022-JP as EucToJis writes it back to EUC-JP; false when the text
// has an escape other than the two it uses, or a cut pair.
bool DecodeJis(std::string_view jis, std::string* euc) {
  bool two_byte = false;
  for (size_t i = 0; i < jis.size();) {
    if (jis[i] == '\x1b') {
      std::string_view esc = jis.substr(i, 3);
      if (esc == "\x1b$B")
        two_byte = true;
      else if (esc == "\x1b(B")
        two_byte = false;
      else
        return false;
      i += 3;
    } else if (two_byte) {
      if (i + 1 >= jis.size()) return false;
      *euc += static_cast<char>(Byte(jis, i) | 0x80);
      *euc += static_cast<char>(Byte(jis, i + 1) | 0x80);
      i += 2;
    } else {
      *euc += jis[i++];
    }
  }
  return true;
}

// The header MimeHeaderEncode wrote, with its encoded words decoded.
bool DecodeHeader(std::string_view header, std::string* euc) {
  static constexpr std::string_view kOpen = "=?ISO-2022-JP?B?";
  for (size_t i = 0; i < header.size();) {
    if (header.substr(i, kOpen.size()) != kOpen) {
      *euc += header[i++];
      continue;
    }
    size_t close = header.find("?=", i + kOpen.size());
    if (close == std::string_view::npos) return false;
    std::string_view payload = header.substr(i + kOpen.size(), close - i - kOpen.size());
    std::string jis = sl::Base64Decode(payload);
    if (sl::Base64Encode(jis) != payload) return false;
    if (jis.substr(0, 3) != "\x1b$B") return false;  // a word starts in two-byte mode
    if (!DecodeJis(jis, euc)) return false;
    i = close + 2;
  }
  return true;
}

bool SevenBit(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) > 0x7F) return false;
  }
  return true;
}

void CheckAnyBytes(std::string_view raw) {
  std::string b64 = sl::Base64Encode(raw);
  Check(b64.size() == (raw.size() + 2) / 3 * 4, "Base64 has the wrong length");
  Check(
      b64.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") ==
          std::string::npos,
      "Base64 outside its alphabet");
  Check(sl::Base64Decode(b64) == raw, "Base64 does not decode back");

  std::string jis = sl::EucToJis(raw);
  Check(SevenBit(jis), "ISO-2022-JP output with 8-bit bytes");
  std::string ignored;
  // (A byte 1B or 9B would put an escape into the output by itself.)
  if (raw.find_first_of("\x1b\x9b") == std::string_view::npos) {
    Check(DecodeJis(jis, &ignored), "ISO-2022-JP out of step");
  }

  std::string sjis = sl::EucToSjis(raw);
  Check(sjis.size() <= raw.size() + 1, "Shift_JIS longer than its EUC-JP");

  bool has_lead = false;
  for (size_t i = 0; i < raw.size(); ++i) has_lead = has_lead || sl::IsEucLeadByte(Byte(raw, i));
  std::string header = sl::MimeHeaderEncode(raw);
  if (!has_lead) Check(header == raw, "a header without Japanese text was changed");
  Check(header.find_first_of("\r\n") == std::string::npos ||
            raw.find_first_of("\r\n") != std::string_view::npos,
        "the header encoder added a line break");
}

void CheckWellFormed(std::string_view raw) {
  const std::string euc = WellFormedEuc(raw, true);
  Check(sl::SjisToEuc(sl::EucToSjis(euc)) == euc,
        "Shift_JIS does not convert back to the same EUC-JP");
  std::string back;
  Check(DecodeJis(sl::EucToJis(euc), &back), "ISO-2022-JP of well-formed text out of step");
  for (size_t i = 0; i < back.size(); ++i) {
    unsigned char b = Byte(back, i);
    Check(b < 0x80 || (b >= 0xA1 && b <= 0xFE), "katakana converted outside JIS X 0208");
  }

  const std::string plain = WellFormedEuc(raw, false);
  back.clear();
  Check(DecodeJis(sl::EucToJis(plain), &back) && back == plain, "ISO-2022-JP does not decode back");
  if (plain.find("=?") == std::string::npos) {
    back.clear();
    Check(DecodeHeader(sl::MimeHeaderEncode(plain), &back) && back == plain,
          "an encoded header does not decode back");
  }

  for (size_t i = 0; i + 1 < raw.size(); i += 2) {
    unsigned char j1 = static_cast<unsigned char>(0x21 + Byte(raw, i) % 0x5E);
    unsigned char j2 = static_cast<unsigned char>(0x21 + Byte(raw, i + 1) % 0x5E);
    auto s = sl::JisToSjis(j1, j2);
    Check((s[0] >= 0x81 && s[0] <= 0x9F) || (s[0] >= 0xE0 && s[0] <= 0xEF),
          "a Shift_JIS lead byte out of range");
    Check(s[1] >= 0x40 && s[1] <= 0xFC && s[1] != 0x7F, "a Shift_JIS trail byte out of range");
    std::string pair{static_cast<char>(s[0]), static_cast<char>(s[1])};
    Check(sl::SjisToEuc(pair) ==
              std::string{static_cast<char>(j1 | 0x80), static_cast<char>(j2 | 0x80)},
          "JisToSjis does not convert back");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  CheckAnyBytes(raw);
  CheckWellFormed(raw);
  return 0;
}
