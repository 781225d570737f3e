#include "web/http_request.h"

#include <algorithm>
#include <limits>

#include "core/text.h"
#include "web/http_date.h"

namespace sl {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// EUC-JP lead bytes: SS2 (8E) and the two-byte range A1..FE.
bool IsLeadByte(unsigned char c) { return c == 0x8E || (c >= 0xA1 && c <= 0xFE); }

// A decimal number with an optional sign; false for anything else.
bool ParseDecimal(std::string_view s, long long& out, bool& overflow) {
  overflow = false;
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  if (i == s.size()) return false;
  long long v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    if (v < (1LL << 40))
      v = v * 10 + (s[i] - '0');
    else
      overflow = true;
  }
  out = negative ? -v : v;
  return true;
}

// A character of an RFC 9110 token (method, header name).
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

uint32_t ParseUnsigned(std::string_view s) {
  long long v = 0;
  bool overflow = false;
  if (!ParseDecimal(Trim(s), v, overflow) || overflow || v < 0 ||
      v > std::numeric_limits<uint32_t>::max()) {
    return 0;
  }
  return static_cast<uint32_t>(v);
}

// Fills Document and, for an absolute URI, returns its host.
std::string DocumentPath(std::string target, std::string& host) {
  for (size_t i = 0; i < target.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(target[i]);
    if (IsLeadByte(c)) {
      ++i;  // the trail byte goes with it
    } else if (c == '\\') {
      target[i] = '/';
    }
  }
  std::string_view path = target;
  bool absolute = false;
  size_t scheme_end = path.find("://");
  if (scheme_end != std::string_view::npos) {
    absolute = true;
    std::string_view rest = path.substr(scheme_end + 3);
    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    size_t at = authority.rfind('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    size_t colon = authority.find(':');
    host = std::string(authority.substr(0, colon));
  }
  size_t param_pos = path.find('=');
  std::string_view before_param = path.substr(0, param_pos);
  size_t last_slash = before_param.rfind('/');
  size_t dir_len = last_slash == std::string_view::npos ? 0 : last_slash + 1;
  std::string dir(path.substr(0, dir_len));
  if (absolute) dir.insert(dir.begin(), '/');
  std::string_view segment = before_param.substr(dir_len);
  std::string_view params =
      param_pos == std::string_view::npos ? std::string_view() : path.substr(param_pos);
  size_t hash = params.find('#');
  if (hash != std::string_view::npos) params = params.substr(0, hash);
  if (absolute) {
    hash = segment.find('#');
    if (hash != std::string_view::npos) segment = segment.substr(0, hash);
  }
  return URLDecode(dir) + URLDecode(segment) + std::string(params);
}

}  // namespace

std::string THTTPRequestInfo::Param(std::string_view name) const {
  for (const std::string& line : Params) {
    if (line.size() > name.size() && line[name.size()] == '=' &&
        line.compare(0, name.size(), name) == 0) {
      return line.substr(name.size() + 1);
    }
  }
  return std::string();
}

TRequestLineParts ParseRequestLine(std::string_view line) {
  size_t last_space = line.rfind(' ');
  if (last_space == std::string_view::npos) throw EHTTPServerError(kErrParsingCommand);
  TRequestLineParts parts;
  parts.Version = std::string(line.substr(last_space + 1));
  std::string_view head = line.substr(0, last_space);
  size_t first_space = head.find(' ');
  parts.Method = UpperCase(head.substr(0, first_space));
  if (first_space != std::string_view::npos)
    parts.Target = std::string(head.substr(first_space + 1));
  return parts;
}

TRequestLineParts ParseWellFormedRequestLine(std::string_view line) {
  TRequestLineParts parts;
  try {
    parts = ParseRequestLine(line);
  } catch (const EHTTPServerError&) {
    throw EBadRequest(kErrParsingCommand);
  }
  const std::string& v = parts.Version;
  bool version_ok = v.size() == 8 && v.compare(0, 5, "HTTP/") == 0 && IsDigit(v[5]) &&
                    v[6] == '.' && IsDigit(v[7]);
  if (!IsToken(parts.Method) || parts.Target.empty() || !version_ok)
    throw EBadRequest(kErrParsingCommand);
  return parts;
}

void AddReceivedHeaderLine(THeaderList& headers, std::string_view line) {
  if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.remove_prefix(1);
  const bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
  bool well_formed;
  if (continuation) {
    well_formed = headers.Count() > 0;
  } else {
    size_t colon = line.find(':');
    well_formed = colon != std::string_view::npos && IsToken(line.substr(0, colon));
  }
  if (!well_formed) throw EBadRequest("Malformed header line.");
  headers.Add(std::string(line));
}

std::string MediaTypeOf(std::string_view content_type) {
  return LowerCase(Trim(content_type.substr(0, content_type.find(';'))));
}

TBodyFraming BodyFramingOf(const THTTPRequestInfo& r, std::string_view version, int64_t max_body) {
  const THeaderList& h = r.HeaderLines;
  std::string coding, length;
  bool has_coding = false, has_length = false;
  for (size_t i = 0; i < h.Count(); ++i) {
    std::string name = h.Name(i);
    if (SameText(name, "Transfer-Encoding")) {
      if (has_coding) coding += ",";
      coding += h.ValueAt(i);
      has_coding = true;
    } else if (SameText(name, "Content-Length")) {
      const std::string raw = h.ValueAt(i);
      const std::string value(Trim(raw));
      if (has_length && value != length) throw EBadRequest("Conflicting Content-Length values.");
      length = value;
      has_length = true;
    }
  }
  if (has_coding && has_length) throw EBadRequest("Both Content-Length and Transfer-Encoding.");
  if (has_coding) {
    if (!SameText(Trim(coding), "chunked")) throw EBadRequest("Unsupported transfer coding.");
    return TBodyFraming::kChunked;
  }
  if (has_length) {
    if (length.empty()) throw EBadRequest("Invalid Content-Length.");
    for (char c : length) {
      if (!IsDigit(c)) throw EBadRequest("Invalid Content-Length.");
    }
    if (r.ContentLengthTooLarge || r.ContentLength > max_body) throw EBodyTooLarge();
    return r.ContentLength > 0 ? TBodyFraming::kLength : TBodyFraming::kNone;
  }
  if (version == "HTTP/1.0" && r.Command == "POST") return TBodyFraming::kUntilClose;
  return TBodyFraming::kNone;
}

size_t ParseChunkSize(std::string_view line, size_t limit) {
  std::string_view digits = Trim(line.substr(0, line.find(';')));
  if (digits.empty()) throw EBadRequest("Invalid chunk size.");
  size_t size = 0;
  for (char c : digits) {
    int v = HexValue(c);
    if (v < 0) throw EBadRequest("Invalid chunk size.");
    if (size > limit) throw EBodyTooLarge();
    size = size * 16 + static_cast<size_t>(v);
  }
  if (size > limit) throw EBodyTooLarge();
  return size;
}

void FillHeaderFields(THTTPRequestInfo& r) {
  const THeaderList& h = r.HeaderLines;
  r.Connection = h.Value("Connection");
  r.ContentVersion = h.Value("Content-Version");
  r.ContentEncoding = h.Value("Content-Encoding");
  r.ContentLanguage = h.Value("Content-Language");
  r.ContentType = h.Value("Content-Type");
  r.ContentLength = -1;
  r.ContentLengthTooLarge = false;
  long long length = 0;
  bool overflow = false;
  if (ParseDecimal(h.Value("Content-Length"), length, overflow)) {
    if (overflow || length > std::numeric_limits<int32_t>::max()) {
      r.ContentLengthTooLarge = length > 0;
    } else if (length >= std::numeric_limits<int32_t>::min()) {
      r.ContentLength = static_cast<int32_t>(length);
    }
  }
  r.ContentLengthGiven = r.ContentLength >= 0;
  r.Date = ParseHTTPDate(h.Value("Date"));
  r.LastModified = ParseHTTPDate(h.Value("Last-Modified"));
  r.Expires = ParseHTTPDate(h.Value("Expires"));
  r.Pragma = h.Value("Pragma");
  r.Accept = h.Value("Accept");
  r.AcceptCharSet = h.Value("Accept-Charset");
  r.AcceptEncoding = h.Value("Accept-Encoding");
  r.AcceptLanguage = h.Value("Accept-Language");
  r.Host = h.Value("Host");
  r.From = h.Value("From");
  r.Referer = h.Value("Referer");
  r.UserAgent = h.Value("User-Agent");
  std::string range = h.Value("Range");
  r.ContentRangeStart = r.ContentRangeEnd = 0;
  size_t eq = range.find('=');
  if (eq != std::string::npos) {
    std::string_view bounds = std::string_view(range).substr(eq + 1);
    size_t dash = bounds.find('-');
    r.ContentRangeStart = ParseUnsigned(bounds.substr(0, dash));
    if (dash != std::string_view::npos) {
      std::string_view last = bounds.substr(dash + 1);
      r.ContentRangeEnd = ParseUnsigned(last.substr(0, last.find(' ')));
    }
  }
}

std::string URLDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '+') {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else {
      // "%" and the two characters after it are consumed in every case.
      int hi = i + 1 < s.size() ? HexValue(s[i + 1]) : -1;
      int lo = i + 2 < s.size() ? HexValue(s[i + 2]) : -1;
      if (hi >= 0 && lo >= 0 && (hi | lo) != 0) out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return out;
}

std::vector<std::string> DecodeParams(std::string_view s) {
  std::vector<std::string> params;
  size_t start = 0;
  while (start < s.size()) {
    size_t amp = s.find('&', start);
    if (amp == std::string_view::npos) amp = s.size();
    params.push_back(URLDecode(s.substr(start, amp - start)));
    start = amp + 1;
  }
  return params;
}

TDocumentParts DecodeDocument(std::string_view target) {
  TDocumentParts parts;
  if (target == "*") {
    parts.Document = "*";
    return parts;
  }
  parts.Document = DocumentPath(std::string(target), parts.Host);
  return parts;
}

TAuthorization ParseAuthorization(std::string_view value) {
  TAuthorization auth;
  auth.HasAuthorization = !value.empty();
  if (!auth.HasAuthorization) return auth;
  size_t space = value.find(' ');
  std::string_view scheme = value.substr(0, space);
  std::string_view rest =
      space == std::string_view::npos ? std::string_view() : value.substr(space + 1);
  if (!SameText(scheme, "Basic")) {
    auth.HasAuthorization = false;
    return auth;
  }
  std::string decoded = Base64Decode(rest);
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) {
    auth.Username = std::move(decoded);
  } else {
    auth.Username = decoded.substr(0, colon);
    auth.Password = decoded.substr(colon + 1);
  }
  return auth;
}

void ParseCookies(const THeaderList& headers, TServerCookies& cookies) {
  for (size_t i = 0; i < headers.Count(); ++i) {
    if (!SameText(headers.Name(i), "Cookie")) continue;
    std::string value = headers.ValueAt(i);
    std::string_view rest = value;
    for (size_t semi = rest.find(';'); semi != std::string_view::npos; semi = rest.find(';')) {
      cookies.AddCookie(rest.substr(0, semi));
      rest = Trim(rest.substr(semi + 1));
    }
    if (!rest.empty()) cookies.AddCookie(rest);
  }
}

void CompleteRequest(THTTPRequestInfo& r, std::string_view target, std::string version) {
  size_t question = target.find('?');
  if (question != std::string_view::npos) {
    r.QueryText = std::string(target.substr(question + 1));
    target = target.substr(0, question);
  }
  if (!r.QueryText.empty()) {
    if (r.ParamText.empty()) {
      r.ParamText = r.QueryText;
    } else {
      r.ParamText += "\r\n";
      r.ParamText += r.QueryText;
    }
  }
  r.Version = std::move(version);
  TDocumentParts doc = DecodeDocument(target);
  r.Document = std::move(doc.Document);
  if (!doc.Host.empty() && !r.HeaderLines.Has("Host")) r.Host = doc.Host;
  TAuthorization auth = ParseAuthorization(r.HeaderLines.Value("Authorization"));
  r.HasAuthorization = auth.HasAuthorization;
  r.AuthUsername = std::move(auth.Username);
  r.AuthUserPassword = std::move(auth.Password);
}

void DecodeRequestFields(THTTPRequestInfo& r, bool parse_params) {
  r.Cookies.Clear();
  ParseCookies(r.HeaderLines, r.Cookies);
  if (r.Cookies.Count() > kMaxCookies) {
    r.Cookies.Clear();
    throw ERequestLimit("More than " + std::to_string(kMaxCookies) + " cookies.");
  }
  r.Params.clear();
  if (!parse_params) return;
  std::string_view text =
      MediaTypeOf(r.ContentType) == "application/x-www-form-urlencoded" ? r.ParamText : r.QueryText;
  // Counted before anything is built: "&&&..." would be millions of lines.
  size_t count = text.empty() ? 0
                              : static_cast<size_t>(std::count(text.begin(), text.end(), '&')) +
                                    (text.back() == '&' ? 0 : 1);
  if (count > kMaxParams)
    throw ERequestLimit("More than " + std::to_string(kMaxParams) + " parameters.");
  r.Params = DecodeParams(text);
}

void ParseRequestText(std::string_view raw, THTTPRequestInfo& r, bool parse_params,
                      int64_t max_body) {
  // The request as a line and byte source, like the connection.
  struct Source {
    std::string_view rest;
    bool ReadLine(std::string_view& line) {
      if (rest.empty()) return false;
      size_t lf = rest.find('\n');
      line = rest.substr(0, lf);
      rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      return true;
    }
    std::string ReadLn() {
      std::string_view line;
      if (!ReadLine(line)) throw EBadRequest("Request ends early.");
      return std::string(line);
    }
    void ReadBytes(std::string& out, size_t count) {
      if (rest.size() < count) throw EBadRequest("Request ends early.");
      out.append(rest.substr(0, count));
      rest.remove_prefix(count);
    }
  } in{raw};
  std::string_view line;
  if (!in.ReadLine(line)) throw EBadRequest(kErrParsingCommand);
  TRequestLineParts parts = ParseWellFormedRequestLine(line);
  r.RequestLine = std::string(line);
  r.Command = parts.Method;
  r.HeaderLines.Clear();
  while (in.ReadLine(line) && !line.empty()) AddReceivedHeaderLine(r.HeaderLines, line);
  FillHeaderFields(r);
  switch (BodyFramingOf(r, parts.Version, max_body)) {
    case TBodyFraming::kNone: break;
    case TBodyFraming::kLength:
      in.ReadBytes(r.FormText, static_cast<size_t>(r.ContentLength));
      break;
    case TBodyFraming::kChunked:
      ReadChunkedBody(in, r.FormText, static_cast<size_t>(max_body), kMaxHeaderBytes);
      break;
    case TBodyFraming::kUntilClose:
      if (static_cast<int64_t>(in.rest.size()) > max_body) throw EBodyTooLarge();
      r.FormText = std::string(in.rest);
      break;
  }
  r.ParamText = r.FormText;
  CompleteRequest(r, parts.Target, parts.Version);
  DecodeRequestFields(r, parse_params);
}

}  // namespace sl
