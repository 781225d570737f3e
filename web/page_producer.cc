#include "web/page_producer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "web/http_header_list.h"

namespace sl {

namespace {

bool IsBlank(int c) { return c >= 1 && c <= 32; }
bool IsSymbolStart(int c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsSymbolChar(int c) { return IsSymbolStart(c) || (c >= '0' && c <= '9'); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string DecodeTagParam(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] != '%') {
      out += s[i];
    } else {
      int hi = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
      int lo = i + 2 < s.size() ? HexDigit(s[i + 2]) : -1;
      if (hi < 0 || lo < 0) {
        throw EPageProducerError("Bad escape in tag parameter: " + std::string(s.substr(i, 3)));
      }
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return out;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

}  // namespace

TTag TagOfName(std::string_view name) {
  static const struct {
    const char* name;
    TTag tag;
  } kTags[] = {{"LINK", TTag::tgLink},     {"IMAGE", TTag::tgImage},
               {"TABLE", TTag::tgTable},   {"IMAGEMAP", TTag::tgImageMap},
               {"OBJECT", TTag::tgObject}, {"EMBED", TTag::tgEmbed}};
  for (const auto& t : kTags) {
    if (SameText(name, t.name)) return t.tag;
  }
  return TTag::tgCustom;
}

// ---------------------------------------------------------------------------
// TCopyParser

TCopyParser::TCopyParser(std::istream& in, std::string& output) : in_(in), output_(output) {
  AdvanceCopyingBlanks();
}

bool TCopyParser::Fill() {
  if (pos_ < limit_) return true;
  if (input_done_ && pos_ >= stored_) return false;
  std::memmove(buffer_, buffer_ + pos_, stored_ - pos_);
  stored_ -= pos_;
  pos_ = 0;
  if (!input_done_) {
    in_.read(buffer_ + stored_, static_cast<std::streamsize>(kBufferSize - stored_));
    std::streamsize got = in_.gcount();
    stored_ += static_cast<size_t>(got);
    if (stored_ < kBufferSize) input_done_ = true;
  }
  limit_ = stored_;
  if (stored_ == kBufferSize) {
    // A full buffer is scanned only up to its last line end, so that no
    // token is cut; a full buffer without any line end is an error.
    const void* lf = memrchr(buffer_, '\n', stored_);
    if (lf == nullptr) {
      throw EParserError("Line too long on line " + std::to_string(line_));
    }
    limit_ = static_cast<size_t>(static_cast<const char*>(lf) - buffer_) + 1;
  }
  return pos_ < limit_;
}

int TCopyParser::Peek() { return Fill() ? static_cast<unsigned char>(buffer_[pos_]) : -1; }

void TCopyParser::Advance(std::string* blanks) {
  token_.clear();
  int c = Peek();
  while (IsBlank(c)) {
    if (blanks != nullptr) blanks->push_back(static_cast<char>(c));
    if (c == '\n') ++line_;
    ++pos_;
    c = Peek();
  }
  if (c <= 0) {
    kind_ = kEnd;  // end of input or a byte 0; the 0 stays unread
    return;
  }
  if (IsSymbolStart(c)) {
    kind_ = kSymbol;
    while (IsSymbolChar(c)) {
      token_.push_back(static_cast<char>(c));
      ++pos_;
      c = Peek();
    }
    return;
  }
  kind_ = kChar;
  token_.push_back(static_cast<char>(c));
  ++pos_;
}

// ---------------------------------------------------------------------------
// TPageProducer

void TPageProducer::SetHTMLFile(const std::string& file_name) {
  if (SameText(file_name, html_file_)) return;
  html_file_ = file_name;
  html_doc_.clear();
}

void TPageProducer::SetHTMLDoc(std::vector<std::string> lines) {
  html_doc_ = std::move(lines);
  html_file_.clear();
}

std::string TPageProducer::ProducePage() {
  if (!html_file_.empty()) {
    errno = 0;
    std::ifstream file(html_file_, std::ios::binary);
    struct stat st;
    int err = 0;
    if (!file)
      err = errno != 0 ? errno : ENOENT;
    else if (::stat(html_file_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      err = EISDIR;
    if (err != 0) {
      throw EPageProducerError("Cannot open file \"" + html_file_ + "\". " + std::strerror(err));
    }
    return ProducePage(file);
  }
  std::string text;
  for (size_t i = 0; i < html_doc_.size(); ++i) {
    if (i > 0) text += '\n';
    text += html_doc_[i];
  }
  return ProducePage(std::string_view(text));
}

std::string TPageProducer::ProducePage(std::string_view html) {
  std::istringstream in{std::string(html)};
  return ProducePage(in);
}

std::string TPageProducer::ProducePage(std::istream& html) {
  std::string out;
  TCopyParser parser(html, out);
  for (;;) {
    while (parser.TokenKind() != TCopyParser::kEnd && parser.TokenChar() != '<') {
      parser.CopyTokenToOutput();
      parser.AdvanceCopyingBlanks();
    }
    if (parser.TokenKind() == TCopyParser::kEnd) break;

    parser.Advance(nullptr);  // the blanks after "<" are dropped
    if (parser.TokenChar() != '#') {
      out += '<';
      parser.CopyTokenToOutput();
      parser.AdvanceCopyingBlanks();
      continue;
    }
    parser.Advance(nullptr);
    std::string name = parser.TokenString();
    std::string params;
    if (parser.TokenKind() != TCopyParser::kEnd) {
      parser.Advance(&params);
      bool in_double = false, in_single = false;
      while (parser.TokenKind() != TCopyParser::kEnd) {
        char c = parser.TokenChar();
        if (c == '>' && !in_double && !in_single) break;
        if (c == '"' && !in_single)
          in_double = !in_double;
        else if (c == '\'' && !in_double)
          in_single = !in_single;
        params += parser.TokenString();
        parser.Advance(&params);
      }
    }
    std::vector<std::string> list = SplitTagParams(TrimBlanks(params), StripParamQuotes);
    out += ReplaceTag(name, list);
    if (parser.TokenKind() != TCopyParser::kEnd) parser.AdvanceCopyingBlanks();
  }
  return out;
}

std::string TPageProducer::ReplaceTag(const std::string& tag_string,
                                      const std::vector<std::string>& tag_params) {
  std::string reply;
  if (OnHTMLTag) OnHTMLTag(TagOfName(tag_string), tag_string, tag_params, reply);
  return reply;
}

std::vector<std::string> SplitTagParams(std::string_view text, bool strip_quotes) {
  std::vector<std::string> fields;
  size_t i = 0;
  auto separator = [](char c) { return c == ' ' || c == '\r' || c == '\n'; };
  while (i < text.size()) {
    while (i < text.size() && separator(text[i])) ++i;
    if (i >= text.size()) break;
    size_t start = i;
    bool quoted = false;
    while (i < text.size() && (quoted || !separator(text[i]))) {
      if (text[i] == '"') quoted = !quoted;
      ++i;
    }
    std::string field = DecodeTagParam(text.substr(start, i - start));
    fields.push_back(strip_quotes ? StripQuotes(std::move(field)) : std::move(field));
  }
  return fields;
}

std::string StripQuotes(std::string s) {
  size_t i = s.size();
  while (i > 0) {
    --i;
    char q = s[i];
    if (q != '"' && q != '\'') continue;
    size_t open = i == 0 ? std::string::npos : s.rfind(q, i - 1);
    if (open == std::string::npos) continue;  // a lone quote stays
    const char other = q == '"' ? '\'' : '"';
    const char* entity = other == '"' ? "&quot;" : "&#39;";
    std::string inner;
    for (size_t k = open + 1; k < i; ++k) {
      if (s[k] == other)
        inner += entity;
      else
        inner += s[k];
    }
    s = s.substr(0, open) + inner + s.substr(i + 1);
    i = open;
  }
  return s;
}

}  // namespace sl
