#include "mail/mime_words.h"

#include <vector>

#include "core/jconvert.h"
#include "core/text.h"
#include "mail/mail_message.h"

namespace sl {

namespace {

constexpr char kEncodedPrefix[] = "=?ISO-2022-JP?B?";
constexpr size_t kEncodedOverhead = sizeof(kEncodedPrefix) - 1 + 2;  // prefix and "?="
constexpr char kSubstitute[] = "\xA2\xAE";                           // the geta mark

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool InRange(std::string_view s, size_t i, unsigned lo, unsigned hi) {
  if (i >= s.size()) return false;
  auto b = static_cast<unsigned char>(s[i]);
  return b >= lo && b <= hi;
}
bool HasEightBit(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  }
  return false;
}

size_t Base64Length(size_t n) { return (n + 2) / 3 * 4; }

// Encoded words of a whole run of clean EUC-JP text (blanks included),
// separated by single blanks.
std::string EncodeRun(std::string_view run) {
  std::string out;
  auto emit = [&](std::string_view chars) {
    if (!out.empty()) out += ' ';
    out += kEncodedPrefix;
    out += Base64Encode(ClosedJis(chars));
    out += "?=";
  };
  size_t start = 0, i = 0;
  while (i < run.size()) {
    size_t next = i + EucCharLength(run, i, true);
    if (next > run.size()) next = run.size();
    size_t length =
        Base64Length(ClosedJis(run.substr(start, next - start)).size()) + kEncodedOverhead;
    if (length > kMaxEncodedWord && i > start) {
      emit(run.substr(start, i - start));
      start = i;
    }
    i = next;
  }
  if (start < run.size()) emit(run.substr(start));
  return out;
}

// Octets of a folded header field, CR LF after each line.
size_t FoldedOctets(const std::string& field) {
  size_t total = 0;
  for (const std::string& line : FoldHeaderLine(field)) total += line.size() + 2;
  return total;
}

}  // namespace

std::string ClosedJis(std::string_view euc) {
  std::string jis = EucToJis(euc);
  size_t esc = jis.rfind('\x1b');
  if (esc != std::string::npos && jis.compare(esc, 3, "\x1b(B") != 0) jis += "\x1b(B";
  return jis;
}

std::string CleanEuc(std::string_view euc, bool header) {
  std::string out;
  out.reserve(euc.size());
  size_t i = 0;
  while (i < euc.size()) {
    auto b = static_cast<unsigned char>(euc[i]);
    if (b < 0x80) {
      char c = static_cast<char>(b);
      if (header) {
        if (c == '\r' || c == '\n')
          c = ' ';
        else if ((b < 0x20 && c != '\t') || b == 0x7F)
          c = '?';
      } else if (b == 0x00 || b == 0x1B || b == 0x0E || b == 0x0F) {
        c = '?';
      }
      out += c;
      ++i;
    } else if (b == 0x8E && InRange(euc, i + 1, 0xA1, 0xDF)) {
      out.append(euc.substr(i, 2));
      i += 2;
    } else if (b == 0x8F && InRange(euc, i + 1, 0xA1, 0xFE) && InRange(euc, i + 2, 0xA1, 0xFE)) {
      out += kSubstitute;  // JIS X 0212 has no place in ISO-2022-JP
      i += 3;
    } else if (b >= 0xA1 && b <= 0xFE && InRange(euc, i + 1, 0xA1, 0xFE)) {
      out.append(euc.substr(i, 2));
      i += 2;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

std::string EncodeHeaderText(std::string_view raw) {
  std::string euc = CleanEuc(raw, true);
  struct Token {
    std::string_view text;
    std::string_view blanks_before;
    bool encode;
  };
  std::vector<Token> tokens;
  std::string_view rest = euc;
  while (!rest.empty()) {
    size_t word = 0;
    while (word < rest.size() && IsBlank(rest[word])) ++word;
    size_t end = word;
    while (end < rest.size() && !IsBlank(rest[end])) ++end;
    if (end == word) break;  // trailing blanks
    std::string_view text = rest.substr(word, end - word);
    // Plain text that looks like an encoded word, or that no fold can
    // shorten, is encoded too.
    bool encode = HasEightBit(text) || text.find("=?") != std::string_view::npos ||
                  text.size() > kMaxEncodedWord;
    tokens.push_back({text, rest.substr(0, word), encode});
    rest.remove_prefix(end);
  }
  std::string out;
  for (size_t i = 0; i < tokens.size();) {
    if (i > 0) out += tokens[i].blanks_before;
    if (!tokens[i].encode) {
      out += tokens[i++].text;
      continue;
    }
    // A run of encoded tokens takes the blanks between them along.
    size_t j = i + 1;
    while (j < tokens.size() && tokens[j].encode) ++j;
    const char* begin = tokens[i].text.data();
    const char* end = tokens[j - 1].text.data() + tokens[j - 1].text.size();
    out += EncodeRun(std::string_view(begin, static_cast<size_t>(end - begin)));
    i = j;
  }
  return out;
}

std::string EncodeAddressList(std::string_view raw) {
  std::string out;
  for (const std::string& part : SplitAddressList(CleanEuc(raw, true))) {
    std::string text = part;
    if (HasEightBit(part)) {
      size_t lt = part.find('<');
      std::string name(Trim(std::string_view(part).substr(0, lt == std::string::npos ? 0 : lt)));
      std::string address = lt == std::string::npos ? part : part.substr(lt);
      if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
      for (char& c : address) {
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
      }
      text = name.empty() ? address : EncodeRun(name) + " " + address;
    }
    if (!out.empty()) out += ", ";
    out += text;
  }
  return out;
}

std::string EncodeSubject(std::string_view raw) {
  std::string euc = CleanEuc(raw, true);
  // Character boundaries; a field of kMaxHeaderOctets holds fewer
  // characters than that, so the rest is never looked at.
  std::vector<size_t> ends;
  for (size_t i = 0; i < euc.size() && ends.size() < kMaxHeaderOctets;) {
    i += EucCharLength(euc, i, true);
    ends.push_back(i < euc.size() ? i : euc.size());
  }
  auto fits = [&](size_t chars) {
    std::string value =
        EncodeHeaderText(std::string_view(euc).substr(0, chars ? ends[chars - 1] : 0));
    return FoldedOctets("Subject: " + value) <= kMaxHeaderOctets;
  };
  size_t count = ends.size();
  bool whole = ends.empty() || ends.back() == euc.size();
  if (whole && fits(count)) return EncodeHeaderText(euc);
  // The longest prefix that fits.
  size_t lo = 0, hi = count;
  while (lo < hi) {
    size_t mid = (lo + hi + 1) / 2;
    if (fits(mid))
      lo = mid;
    else
      hi = mid - 1;
  }
  return EncodeHeaderText(std::string_view(euc).substr(0, lo ? ends[lo - 1] : 0));
}

}  // namespace sl
