#include "mail/mail_message.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

#include "core/text.h"

namespace sl {

namespace {

bool IsBlankByte(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

std::string NoLineBreaks(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

std::vector<std::string> SplitAddressList(std::string_view text) {
  std::vector<std::string> parts;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size()) {
      char c = text[i];
      if (c == '"') quoted = !quoted;
      if (quoted || (c != ',' && c != ';')) continue;
    }
    std::string part(Trim(text.substr(start, i - start)));
    if (!part.empty()) parts.push_back(std::move(part));
    start = i + 1;
  }
  return parts;
}

std::string ExtractMailAddress(std::string_view text) {
  std::string trimmed(Trim(text));
  std::string_view rest = trimmed;
  if (!rest.empty() && (rest[0] == '"' || rest[0] == '\'')) {
    size_t close = rest.find(rest[0], 1);
    rest = close == std::string_view::npos ? std::string_view() : rest.substr(close + 1);
  }
  std::string address;
  size_t lt = rest.find('<');
  if (lt != std::string_view::npos) {
    size_t gt = rest.find('>', lt + 1);
    address = Trim(
        rest.substr(lt + 1, gt == std::string_view::npos ? std::string_view::npos : gt - lt - 1));
  } else {
    size_t begin = 0;
    while (begin < rest.size() && IsBlankByte(rest[begin])) ++begin;
    size_t end = begin;
    while (end < rest.size() && !IsBlankByte(rest[end])) ++end;
    address = std::string(rest.substr(begin, end - begin));
  }
  if (address.empty() && trimmed.find('@') != std::string::npos) address = trimmed;
  return address;
}

namespace {

// A dot-atom: atoms of the bytes RFC 5322 allows, joined by single dots.
bool IsDotAtom(std::string_view text) {
  static constexpr std::string_view kSpecials = "!#$%&'*+-/=?^_`{|}~";
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '.') {
      if (text[i - 1] == '.') return false;
      continue;
    }
    const bool alnum = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    if (!alnum && kSpecials.find(static_cast<char>(c)) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// A quoted local part: printable ASCII between the quotes, '\' escaping one.
bool IsQuotedString(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c > 0x7E) return false;
    if (c == '"') return false;
    if (c == '\\' && ++i + 1 >= text.size()) return false;
  }
  return true;
}

}  // namespace

bool IsMailbox(std::string_view text) {
  const std::string address = ExtractMailAddress(text);
  const size_t at = address.rfind('@');
  if (at == std::string::npos || at == 0) return false;
  const std::string_view local = std::string_view(address).substr(0, at);
  const std::string_view domain = std::string_view(address).substr(at + 1);
  if (!IsDotAtom(local) && !IsQuotedString(local)) return false;
  if (domain.size() > 2 && domain.front() == '[' && domain.back() == ']') {
    return domain.find_first_of("[]\\", 1) == domain.size() - 1;
  }
  return IsDotAtom(domain) && domain.find_first_of("!#$%&'*+/=?^_`{|}~") == std::string_view::npos;
}

std::vector<std::string> AddressListHeader(std::string_view name, std::string_view value) {
  std::vector<std::string> parts = SplitAddressList(NoLineBreaks(value));
  std::vector<std::string> lines;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string line = i == 0 ? std::string(name) + ": " + parts[i] : "\t" + parts[i];
    if (i + 1 < parts.size()) line += ',';
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string FormatMailDate(const std::tm& t) {
  static const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  long offset = t.tm_gmtoff / 60;
  char sign = offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  char text[80];
  snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
           kDays[(t.tm_wday % 7 + 7) % 7], t.tm_mday, kMonths[(t.tm_mon % 12 + 12) % 12],
           t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec, sign, offset / 60 % 100, offset % 60);
  return text;
}

std::string MakeMessageId(const std::string& host) {
  // Process-wide by design: two mails of one second never share an id.
  static std::atomic<unsigned long> counter{0};
  std::string domain;
  for (char c : host) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '-') {
      domain += c;
    }
  }
  if (domain.empty()) domain = "localhost";
  return "<" + std::to_string(static_cast<long long>(std::time(nullptr))) + "." +
         std::to_string(getpid()) + "." + std::to_string(++counter) + "@" + domain + ">";
}

std::vector<std::string> FoldHeaderLine(std::string_view line, size_t width) {
  auto blank = [&](size_t i) { return line[i] == ' ' || line[i] == '\t'; };
  // Where the first fold may be: after "Name: " (or after a leading blank).
  size_t min = 1;
  if (!line.empty() && !blank(0)) {
    size_t colon = line.find(':');
    min = colon == std::string_view::npos ? 1 : colon + 2;
  }
  std::vector<std::string> lines;
  size_t start = 0;
  while (line.size() - start > width) {
    size_t cut = std::string_view::npos;
    for (size_t i = start + width; i >= start + min && i > start; --i) {
      if (blank(i)) {
        cut = i;
        break;
      }
    }
    if (cut == std::string_view::npos) {
      // A word longer than the line: fold at the first blank after it.
      for (size_t i = start + width + 1; i < line.size(); ++i) {
        if (blank(i)) {
          cut = i;
          break;
        }
      }
      if (cut == std::string_view::npos) break;
    }
    lines.emplace_back(line.substr(start, cut - start));
    start = cut;
    min = 1;
  }
  lines.emplace_back(line.substr(start));
  return lines;
}

const char* ContentTypeName(TSmtpContentType type) {
  return type == smtpHtml ? "text/html" : "text/plain";
}

std::vector<std::string> BuildMailHeaders(const MailHeaderFields& f, const std::tm& local_now) {
  std::vector<std::string> lines;
  auto add_list = [&lines](const char* name, const std::string& value) {
    for (std::string& line : AddressListHeader(name, value)) lines.push_back(std::move(line));
  };
  if (!Trim(f.HdrReplyTo).empty()) add_list("Reply-To", f.HdrReplyTo);
  if (!Trim(f.HdrReturnPath).empty())
    lines.push_back("Return-Path: " + NoLineBreaks(f.HdrReturnPath));
  if (!f.HdrFrom.empty()) lines.push_back("From: " + NoLineBreaks(f.HdrFrom));
  if (!f.HdrTo.empty()) add_list("To", f.HdrTo);
  if (!f.HdrCc.empty()) add_list("Cc", f.HdrCc);
  lines.push_back("Subject: " + NoLineBreaks(f.HdrSubject));
  if (!Trim(f.HdrSender).empty()) {
    lines.push_back("Sender: " + NoLineBreaks(f.HdrSender));
  } else if (!Trim(f.HdrFrom).empty()) {
    lines.push_back("Sender: " + NoLineBreaks(f.HdrFrom));
  }
  lines.push_back("Mime-Version: 1.0");
  lines.push_back(std::string("Content-Type: ") + ContentTypeName(f.ContentType) + "; charset=\"" +
                  NoLineBreaks(f.CharSet) + "\"");
  lines.push_back("Date: " + FormatMailDate(local_now));
  if (!f.MessageId.empty()) lines.push_back("Message-ID: " + NoLineBreaks(f.MessageId));
  if (f.HdrPriority != smtpPriorityNone) {
    int number = static_cast<int>(f.HdrPriority);  // 1 highest .. 5 lowest
    lines.push_back("X-Priority: " + std::to_string(number));
    if (number <= 2) {
      lines.push_back("Priority: urgent");
      lines.push_back("X-MSMail-Priority: High");
    } else if (number == 3) {
      lines.push_back("Priority: Normal");
      lines.push_back("X-MSMail-Priority: Normal");
    } else {
      lines.push_back("Priority: non-urgent");
      lines.push_back("X-MSMail-Priority: Low");
    }
  }
  lines.push_back(std::string("X-Mailer: ") + kMailerName);
  std::vector<std::string> folded;
  for (const std::string& line : lines) {
    for (std::string& part : FoldHeaderLine(line)) folded.push_back(std::move(part));
  }
  return folded;
}

std::string BodyWireLine(std::string_view line) {
  std::string_view cut = line.substr(0, kMaxBodyLine);
  std::string out;
  if (!cut.empty() && cut[0] == '.') out = ".";
  out.append(cut);
  return out;
}

std::string MultipartBoundary(const std::tm& t) {
  char text[64];
  snprintf(text, sizeof(text), "= Multipart Boundary %02d%02d%02d%02d%02d", t.tm_mon + 1, t.tm_mday,
           ((t.tm_year + 1900) % 100 + 100) % 100, t.tm_hour, t.tm_min);
  return text;
}

std::string MultipartContentTypeLine(const std::string& boundary) {
  return "Content-Type: multipart/mixed;\r\n\tboundary=\"" + boundary + "\"";
}

std::vector<std::string> MultipartPreamble(const std::string& boundary, TSmtpContentType type,
                                           const std::string& charset) {
  return {"This is a multipart MIME message.",
          "",
          "--" + boundary,
          std::string("Content-Type: ") + ContentTypeName(type) + "; charset=\"" +
              NoLineBreaks(charset) + "\"",
          "Content-Transfer-Encoding: 7bit",
          ""};
}

std::string AttachmentContentType(std::string_view file_name) {
  std::string base = BaseFileName(file_name);
  size_t dot = base.rfind('.');
  std::string ext = dot == std::string::npos ? std::string() : LowerCase(base.substr(dot + 1));
  if (ext == "htm" || ext == "html") return "text/html";
  if (ext == "gif") return "image/gif";
  if (ext == "bmp") return "image/bmp";
  if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
  if (ext == "txt") return "text/plain";
  return "application/octet-stream";
}

std::string BaseFileName(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::vector<std::string> AttachmentPartHeader(const std::string& boundary,
                                              const std::string& content_type,
                                              const std::string& file_name) {
  std::string name = NoLineBreaks(file_name);
  return {"--" + boundary,
          "Content-Type: " + NoLineBreaks(content_type) + ";",
          "\tname=\"" + name + "\"",
          "Content-Transfer-Encoding: base64",
          "Content-Disposition: attachment;",
          "\tfilename=\"" + name + "\""};
}

std::vector<std::string> MultipartEnd(const std::string& boundary) {
  return {"", "--" + boundary + "--"};
}

std::vector<std::string> Base64Lines(std::string_view bytes) {
  // 54 input bytes make one line of 72 characters.
  constexpr size_t kChunk = kBase64LineLength / 4 * 3;
  std::vector<std::string> lines;
  for (size_t i = 0; i < bytes.size(); i += kChunk)
    lines.push_back(Base64Encode(bytes.substr(i, kChunk)));
  return lines;
}

}  // namespace sl
