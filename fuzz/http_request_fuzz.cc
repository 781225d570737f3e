// Fuzz target: turning received bytes into a THTTPRequestInfo.
//
// The input is one request as it arrives (request line, header lines, empty
// line, body). ParseRequestText may refuse it only with EHTTPServerError;
// a parsed request must be consistent with its bytes, and parsing without
// parameters must differ only in Params. The pieces are checked on the
// request's own texts: the request line split, URL decoding (against a
// percent-encoded round trip), the parameter split, the document path and
// its expansion below the document root, Base64 and Basic credentials
// (round trips), header lookup and replacement, cookies, and the HTTP
// dates (a parsed date formats and parses back to the same moment).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "web/admin_text.h"
#include "web/http_date.h"
#include "web/http_header_list.h"
#include "web/http_request.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "http_request_fuzz: %s\n", what);
    std::abort();
  }
}

std::string PercentEncodeAll(std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : s) {
    unsigned char b = static_cast<unsigned char>(c);
    out += '%';
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string WithoutNul(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c != '\0') out += c;
  }
  return out;
}

void CheckUrlDecoding(std::string_view s) {
  std::string decoded = sl::URLDecode(s);
  Check(decoded.size() <= s.size(), "URLDecode made a text longer");
  if (s.find_first_of("%+") == std::string_view::npos)
    Check(decoded == s, "URLDecode changed a plain text");
  Check(sl::URLDecode(PercentEncodeAll(s)) == WithoutNul(s),
        "percent-encoded text does not decode back");

  std::vector<std::string> params = sl::DecodeParams(s);
  size_t pieces = 0;
  size_t start = 0;
  while (start < s.size()) {
    size_t amp = s.find('&', start);
    if (amp == std::string_view::npos) amp = s.size();
    Check(pieces < params.size() && params[pieces] == sl::URLDecode(s.substr(start, amp - start)),
          "DecodeParams differs from decoding each piece");
    ++pieces;
    start = amp + 1;
  }
  Check(pieces == params.size(), "DecodeParams gave the wrong number of pieces");
}

void CheckDocument(std::string_view target) {
  sl::TDocumentParts doc = sl::DecodeDocument(target);
  if (target != "*" && target.find_first_of("%+\\=#") == std::string_view::npos &&
      target.find("://") == std::string_view::npos) {
    Check(doc.Document == target, "a plain target does not stay the document path");
    Check(doc.Host.empty(), "a host taken from a relative target");
  }
  if (target.find("://") == std::string_view::npos && target.find('\\') == std::string_view::npos) {
    Check(doc.Host.empty(), "a host without a scheme");  // (a backslash counts as a slash)
  }
}

// The dispatcher maps a document below the document root with ExpandPath
// and serves it only when the result stays there: the result must be
// absolute, free of ".", ".." and empty components, and final.
void CheckExpandedPath(const std::string& document) {
  const std::string root = "/opt/ScanLantern/www";
  const std::string local = sl::ExpandPath(root + document);
  Check(!local.empty() && local[0] == '/', "an expanded path that is not absolute");
  std::string_view inner = std::string_view(local).substr(1);
  if (!inner.empty() && inner.back() == '/') inner.remove_suffix(1);
  if (!inner.empty()) {
    std::string middle = "/" + std::string(inner) + "/";
    Check(middle.find("//") == std::string::npos && middle.find("/./") == std::string::npos &&
              middle.find("/../") == std::string::npos,
          "an expanded path with an empty, \".\" or \"..\" component");
  }
  Check(sl::ExpandPath(local) == local, "expanding a path twice changes it");
  if (document.find("..") == std::string::npos) {
    Check(local.compare(0, root.size(), root) == 0,
          "a document without \"..\" expands outside the root");
  }
}

void CheckCredentials(std::string_view s) {
  Check(sl::Base64Decode(sl::Base64Encode(s)) == s, "Base64 does not decode back");
  std::string user(s.substr(0, s.size() / 2));
  std::string password(s.substr(s.size() / 2));
  if (user.find(':') == std::string::npos) {
    sl::TAuthorization a =
        sl::ParseAuthorization("bASIC " + sl::Base64Encode(user + ":" + password));
    Check(a.HasAuthorization && a.Username == user && a.Password == password,
          "Basic credentials do not read back");
  }
  sl::TAuthorization a = sl::ParseAuthorization(s);
  Check(!a.HasAuthorization || !s.empty(), "HasAuthorization without a value");
  Check(a.HasAuthorization || (a.Username.empty() && a.Password.empty()),
        "credentials without authorization");
}

void CheckDate(std::string_view text) {
  std::time_t t = sl::ParseHTTPDate(text);
  Check(t >= 0, "a negative date");
  if (t > 0 && t < 253402300800) {  // before the year 10000
    Check(sl::ParseHTTPDate(sl::FormatHTTPDate(t)) == t, "a formatted date does not parse back");
  }
}

void CheckRequestLine(std::string_view line) {
  const size_t first_space = line.find(' ');
  try {
    sl::TRequestLineParts p = sl::ParseRequestLine(line);
    // The parts make up the line again, with the method in upper case.
    const bool has_target = first_space != line.rfind(' ');
    std::string again =
        has_target ? p.Method + " " + p.Target + " " + p.Version : p.Method + " " + p.Version;
    Check(
        again == sl::UpperCase(line.substr(0, first_space)) + std::string(line.substr(first_space)),
        "the request line parts do not make up the line");
  } catch (const sl::EHTTPServerError&) {
    Check(first_space == std::string_view::npos, "a request line with a space refused");
  }
}

void CheckHeaders(const sl::THeaderList& received) {
  sl::THeaderList h = received;
  for (size_t i = 0; i < received.Count(); ++i) {
    std::string name = received.Name(i);
    if (name.empty()) continue;
    Check(received.IndexOfName(name) <= static_cast<int>(i), "a header name not found at its line");
    h.SetValue(name, "set value");
    Check(h.Value(name) == "set value", "a header value set is not read back");
  }
}

void CheckParsed(std::string_view raw, const sl::THTTPRequestInfo& r, bool parse_params) {
  Check(r.RequestLine.find('\n') == std::string::npos, "a line feed in the request line");
  Check(raw.substr(0, r.RequestLine.size()) == r.RequestLine,
        "the request line is not the first line");
  for (char c : r.Command) Check(!(c >= 'a' && c <= 'z'), "a lower-case method");
  if (!r.HeaderLines.Has("Transfer-Encoding")) {  // a chunked body is decoded
    Check(raw.find(r.FormText) != std::string_view::npos, "a body that is not in the request");
  }
  if (r.ContentLength >= 0) {
    Check(r.FormText.size() <= static_cast<size_t>(r.ContentLength),
          "a body beyond Content-Length");
  }
  Check(r.ContentLengthGiven == (r.ContentLength >= 0),
        "ContentLengthGiven disagrees with ContentLength");
  Check(!(r.ContentLengthTooLarge && r.ContentLength >= 0), "a length both too large and given");
  Check(!r.HasAuthorization || !r.HeaderLines.Value("Authorization").empty(),
        "HasAuthorization is wrong");
  if (!parse_params) Check(r.Params.empty(), "Params filled although not asked for");
  for (const sl::TCookie& c : r.Cookies.Items()) {
    Check(c.Name.find(';') == std::string::npos && c.Value.find(';') == std::string::npos,
          "a cookie that runs over a \";\"");
  }
  // Param() finds the first line of a name.
  for (const std::string& line : r.Params) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = line.substr(0, eq);
    std::string first;
    for (const std::string& l : r.Params) {
      if (l.size() > name.size() && l[name.size()] == '=' && l.compare(0, name.size(), name) == 0) {
        first = l.substr(name.size() + 1);
        break;
      }
    }
    Check(r.Param(name) == first, "Param() does not give the first value of a name");
  }
}

bool SameExceptParams(const sl::THTTPRequestInfo& a, const sl::THTTPRequestInfo& b) {
  return a.RequestLine == b.RequestLine && a.Command == b.Command && a.Document == b.Document &&
         a.Version == b.Version && a.HeaderLines.Lines() == b.HeaderLines.Lines() &&
         a.QueryText == b.QueryText && a.FormText == b.FormText && a.ParamText == b.ParamText &&
         a.HasAuthorization == b.HasAuthorization && a.AuthUsername == b.AuthUsername &&
         a.AuthUserPassword == b.AuthUserPassword && a.Cookies.Count() == b.Cookies.Count() &&
         a.ContentLength == b.ContentLength && a.Host == b.Host && a.Date == b.Date &&
         a.ContentRangeStart == b.ContentRangeStart && a.ContentRangeEnd == b.ContentRangeEnd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);

  sl::THTTPRequestInfo with_params;
  bool parsed = true;
  try {
    sl::ParseRequestText(raw, with_params, true);
  } catch (const sl::ERequestLimit&) {
    return 0;  // too many parameters: refused only when they are decoded
  } catch (const sl::EHTTPServerError&) {
    parsed = false;
  }
  sl::THTTPRequestInfo without_params;
  bool parsed_again = true;
  try {
    sl::ParseRequestText(raw, without_params, false);
  } catch (const sl::EHTTPServerError&) {
    parsed_again = false;
  }
  Check(parsed == parsed_again, "parsing with and without parameters disagree on success");

  std::string_view first_line = raw.substr(0, raw.find('\n'));
  if (!first_line.empty() && first_line.back() == '\r') first_line.remove_suffix(1);
  CheckRequestLine(first_line);

  if (parsed) {
    CheckParsed(raw, with_params, true);
    CheckParsed(raw, without_params, false);
    Check(SameExceptParams(with_params, without_params),
          "parsing without parameters changed more than Params");
    sl::TRequestLineParts parts = sl::ParseRequestLine(with_params.RequestLine);
    std::string_view target = parts.Target;
    CheckUrlDecoding(target.substr(std::min(target.find('?') + 1, target.size())));
    CheckUrlDecoding(with_params.FormText);
    CheckDocument(target.substr(0, target.find('?')));
    CheckExpandedPath(with_params.Document);
    CheckHeaders(with_params.HeaderLines);
    CheckCredentials(with_params.HeaderLines.Value("Authorization"));
    CheckDate(with_params.HeaderLines.Value("Date"));
    CheckDate(with_params.HeaderLines.Value("If-Modified-Since"));
  } else {
    CheckUrlDecoding(raw);
    CheckDocument(first_line);
    CheckCredentials(raw);
    CheckDate(raw);
  }
  return 0;
}
