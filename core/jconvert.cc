#include "core/jconvert.h"

#include <cstdint>

#include "core/text.h"

namespace sl {

namespace {

constexpr char kToTwoByte[] = "\x1b$B";
constexpr char kToAscii[] = "\x1b(B";

// Full-width JIS X 0208 form of the half-width katakana 21..5F (the byte
// after the single shift, top bit cleared), first byte then second byte.
constexpr uint8_t kHalfWidthKana[0x3F][2] = {
    {0x21, 0x23}, {0x21, 0x56}, {0x21, 0x57}, {0x21, 0x22}, {0x21, 0x26},  // 21-25 。「」、・
    {0x25, 0x72}, {0x25, 0x21}, {0x25, 0x23}, {0x25, 0x25}, {0x25, 0x27},  // 26-2A ヲァィゥェ
    {0x25, 0x29}, {0x25, 0x63}, {0x25, 0x65}, {0x25, 0x67}, {0x25, 0x43},  // 2B-2F ォャュョッ
    {0x21, 0x3C}, {0x25, 0x22}, {0x25, 0x24}, {0x25, 0x26}, {0x25, 0x28},  // 30-34 ーアイウエ
    {0x25, 0x2A}, {0x25, 0x2B}, {0x25, 0x2D}, {0x25, 0x2F}, {0x25, 0x31},  // 35-39 オカキクケ
    {0x25, 0x33}, {0x25, 0x35}, {0x25, 0x37}, {0x25, 0x39}, {0x25, 0x3B},  // 3A-3E コサシスセ
    {0x25, 0x3D}, {0x25, 0x3F}, {0x25, 0x41}, {0x25, 0x44}, {0x25, 0x46},  // 3F-43 ソタチツテ
    {0x25, 0x48}, {0x25, 0x4A}, {0x25, 0x4B}, {0x25, 0x4C}, {0x25, 0x4D},  // 44-48 トナニヌネ
    {0x25, 0x4E}, {0x25, 0x4F}, {0x25, 0x52}, {0x25, 0x55}, {0x25, 0x58},  // 49-4D ノハヒフヘ
    {0x25, 0x5B}, {0x25, 0x5E}, {0x25, 0x5F}, {0x25, 0x60}, {0x25, 0x61},  // 4E-52 ホマミムメ
    {0x25, 0x62}, {0x25, 0x64}, {0x25, 0x66}, {0x25, 0x68}, {0x25, 0x69},  // 53-57 モヤユヨラ
    {0x25, 0x6A}, {0x25, 0x6B}, {0x25, 0x6C}, {0x25, 0x6D}, {0x25, 0x6F},  // 58-5C リルレロワ
    {0x25, 0x73}, {0x21, 0x2B}, {0x21, 0x2C},                              // 5D-5F ン゛゜
};

constexpr uint8_t kVoicedMark = 0xDE;
constexpr uint8_t kSemiVoicedMark = 0xDF;

uint8_t ByteAt(std::string_view s, size_t i) {
  return i < s.size() ? static_cast<uint8_t>(s[i]) : 0;
}

// Converts the half-width katakana whose single shift is at s[i]; returns the
// number of input bytes used (2, or 4 when a sound mark was merged).
size_t AppendHalfWidthKana(std::string_view s, size_t i, std::string& out) {
  uint8_t k = ByteAt(s, i + 1) & 0x7F;
  if (k < 0x21 || k > 0x5F) {
    // Not a katakana byte: pass the pair on like any other.
    out += static_cast<char>(0x8E & 0x7F);
    out += static_cast<char>(k);
    return 2;
  }
  uint8_t first = kHalfWidthKana[k - 0x21][0];
  uint8_t second = kHalfWidthKana[k - 0x21][1];
  size_t used = 2;
  if (ByteAt(s, i + 2) == 0x8E && i + 3 < s.size()) {
    uint8_t mark = ByteAt(s, i + 3);
    if (mark == kVoicedMark) {
      if (k == 0x33) {  // ｳ + ﾞ = ヴ
        second = 0x74;
        used = 4;
      } else if ((k >= 0x36 && k <= 0x44) || (k >= 0x4A && k <= 0x4E)) {
        second += 1;
        used = 4;
      }
    } else if (mark == kSemiVoicedMark && k >= 0x4A && k <= 0x4E) {
      second += 2;
      used = 4;
    }
  }
  out += static_cast<char>(first);
  out += static_cast<char>(second);
  return used;
}

}  // namespace

std::string EucToJis(std::string_view euc) {
  std::string out;
  out.reserve(euc.size() + 8);
  bool two_byte = false;
  size_t i = 0;
  while (i < euc.size()) {
    uint8_t b = static_cast<uint8_t>(euc[i]);
    if (b > 0x7F) {
      if (!two_byte) {
        out += kToTwoByte;
        two_byte = true;
      }
      if (b == 0x8E) {
        i += AppendHalfWidthKana(euc, i, out);
      } else {
        out += static_cast<char>(b & 0x7F);
        out += static_cast<char>(ByteAt(euc, i + 1) & 0x7F);
        i += 2;
      }
      continue;
    }
    // CR, LF and every other single byte leave the two-byte mode first.
    if (two_byte) {
      out += kToAscii;
      two_byte = false;
    }
    out += static_cast<char>(b);
    ++i;
  }
  return out;
}

std::array<unsigned char, 2> JisToSjis(unsigned char j1, unsigned char j2) {
  unsigned char s1 = static_cast<unsigned char>(((j1 + 1) >> 1) + (j1 < 0x5F ? 0x70 : 0xB0));
  unsigned char s2;
  if (j1 & 1) {
    s2 = static_cast<unsigned char>(j2 + (j2 > 0x5F ? 0x20 : 0x1F));
  } else {
    s2 = static_cast<unsigned char>(j2 + 0x7E);
  }
  return {s1, s2};
}

std::string EucToSjis(std::string_view euc) {
  std::string out;
  out.reserve(euc.size());
  size_t i = 0;
  while (i < euc.size()) {
    uint8_t b = static_cast<uint8_t>(euc[i]);
    if (b > 0x80 && b < 0xFF) {
      if (b == 0x8E) {
        out += static_cast<char>(ByteAt(euc, i + 1));
      } else {
        auto pair = JisToSjis(b & 0x7F, ByteAt(euc, i + 1) & 0x7F);
        out += static_cast<char>(pair[0]);
        out += static_cast<char>(pair[1]);
      }
      i += 2;
    } else {
      out += static_cast<char>(b);
      ++i;
    }
  }
  return out;
}

std::string MimeHeaderEncode(std::string_view euc) {
  std::string out;
  std::string plain;
  std::string run;  // pending two-byte characters
  auto flush_run = [&] {
    out += "=?ISO-2022-JP?B?";
    out += Base64Encode(EucToJis(run));
    out += "?=";
    run.clear();
  };
  size_t i = 0;
  while (i < euc.size()) {
    uint8_t b = static_cast<uint8_t>(euc[i]);
    if (IsEucLeadByte(b)) {
      if (run.empty()) {
        out += plain;
        plain.clear();
      }
      size_t n = i + 1 < euc.size() ? 2 : 1;
      run.append(euc.substr(i, n));
      i += n;
    } else {
      if (!run.empty()) flush_run();
      plain += static_cast<char>(b);
      ++i;
    }
  }
  if (!run.empty()) {
    flush_run();
  } else {
    out += plain;
  }
  return out;
}

std::string SjisToEuc(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  for (size_t i = 0; i < text.size(); ++i) {
    auto b1 = static_cast<uint8_t>(text[i]);
    if (b1 >= 0xA1 && b1 <= 0xDF) {  // half-width katakana
      out += '\x8E';
      out += static_cast<char>(b1);
      continue;
    }
    bool lead = (b1 >= 0x81 && b1 <= 0x9F) || (b1 >= 0xE0 && b1 <= 0xFC);
    if (!lead || i + 1 >= text.size()) {
      out += static_cast<char>(b1);
      continue;
    }
    auto b2 = static_cast<uint8_t>(text[i + 1]);
    if (b2 < 0x40 || b2 == 0x7F || b2 > 0xFC) {
      out += static_cast<char>(b1);
      continue;
    }
    if (b1 >= 0xF0) {  // user-defined and IBM extension characters: no EUC-JP form
      out += "\xA2\xAE";
      ++i;
      continue;
    }
    int offset = b1 < 0xA0 ? 0x70 : 0xB0;
    int j1, j2;
    if (b2 >= 0x9F) {
      j1 = 2 * (b1 - offset);
      j2 = b2 - 0x7E;
    } else {
      j1 = 2 * (b1 - offset) - 1;
      j2 = b2 - (b2 >= 0x80 ? 0x20 : 0x1F);
    }
    out += static_cast<char>(j1 | 0x80);
    out += static_cast<char>(j2 | 0x80);
    ++i;
  }
  return out;
}

}  // namespace sl
