#include "core/text.h"

namespace sl {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DecodeChar(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                 static_cast<unsigned char>(bytes[i + 1]) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char ch : text) {
    if (ch == '=') break;
    int v = DecodeChar(static_cast<unsigned char>(ch));
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      start = ++i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

size_t EucCharLength(std::string_view euc, size_t i, bool join_sound_mark) {
  auto lead = static_cast<unsigned char>(euc[i]);
  if (lead < 0x80) return 1;
  if (lead == 0x8F) return 3;
  if (join_sound_mark && lead == 0x8E && i + 3 < euc.size() &&
      static_cast<unsigned char>(euc[i + 2]) == 0x8E) {
    auto mark = static_cast<unsigned char>(euc[i + 3]);
    if (mark == 0xDE || mark == 0xDF) return 4;
  }
  return 2;
}

std::string EscapeForLog(std::string_view text, size_t max_bytes) {
  bool cut = false;
  if (max_bytes > 0 && text.size() > max_bytes) {
    size_t end = 0;
    for (;;) {
      size_t next = end + EucCharLength(text, end, false);
      if (next > max_bytes) break;
      end = next;
    }
    text = text.substr(0, end);
    cut = true;
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + (cut ? 3 : 0));
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && b != '\t') || b == 0x7F) {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  if (cut) out += "...";
  return out;
}

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

}  // namespace

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string LowerCase(std::string_view text) {
  std::string r(text);
  for (char& c : r) c = AsciiLower(c);
  return r;
}

std::string UpperCase(std::string_view text) {
  std::string r(text);
  for (char& c : r) c = AsciiUpper(c);
  return r;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32) text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32) text.remove_suffix(1);
  return text;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  if (from.empty()) return;
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

std::string BaseDirectoryOf(const std::string& executable_path) {
  size_t slash = executable_path.rfind('/');
  std::string dir =
      slash == std::string::npos ? std::string() : executable_path.substr(0, slash + 1);
  ReplaceAll(dir, "//", "/");
  // Only a final "bin/" component: /home/robin/sl/bin/ gives /home/robin/sl/.
  if (dir == "bin/" || (dir.size() > 4 && dir.compare(dir.size() - 5, 5, "/bin/") == 0)) {
    dir.erase(dir.size() - 4);
  }
  return dir;
}

}  // namespace sl
