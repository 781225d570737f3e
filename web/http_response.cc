#include "web/http_response.h"

#include <vector>

#include "web/http_date.h"
#include "web/http_request.h"
#include "web/tcp_server.h"

namespace sl {

namespace {

// A stream body up to this size goes out in the same write as the header.
constexpr std::streamoff kCoalesceLimit = 65536;

// Size of a seekable stream from its start, or -1.
std::streamoff StreamSize(std::istream& s) {
  s.clear();
  std::streampos here = s.tellg();
  if (here == std::streampos(-1)) return -1;
  s.seekg(0, std::ios::end);
  std::streampos end = s.tellg();
  s.seekg(here);
  return end == std::streampos(-1) ? -1 : static_cast<std::streamoff>(end);
}

std::string StatusPage(int32_t code, const std::string& text) {
  return "<HTML><BODY><B>" + std::to_string(code) + " " + text + "</B></BODY></HTML>";
}

}  // namespace

std::string StatusPageOf(int32_t code) { return StatusPage(code, StatusTextOf(code)); }

const char* StatusTextOf(int32_t code) {
  switch (code) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Moved Temporarily";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 305: return "Use Proxy";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method not allowed";
    case 406: return "Not Acceptable";
    case 407: return "Proxy Authentication Required";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity To Long";
    case 414: return "Request-URI Too Long. 256 Chars max";
    case 415: return "Unsupported Media Type";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway timeout";
    case 505: return "HTTP version not supported";
    default: return "Unknown Response Code";
  }
}

THTTPResponseInfo::THTTPResponseInfo(TTCPConnection* connection, bool head_request)
    : connection_(connection), head_request_(head_request) {
  SetCloseAfterResponse(true);
}

THTTPResponseInfo::~THTTPResponseInfo() = default;

void THTTPResponseInfo::SetStatusCode(int32_t code) {
  status_code_ = code;
  StatusText = StatusTextOf(code);
  if (code == 404) SetCloseAfterResponse(true);
}

void THTTPResponseInfo::SetCloseAfterResponse(bool close) {
  close_after_response_ = close;
  Connection = close ? "close" : "keep-alive";
}

void THTTPResponseInfo::SetBodyStream(std::unique_ptr<std::istream> stream) {
  owned_stream_ = std::move(stream);
  body_stream_ = owned_stream_.get();
}

void THTTPResponseInfo::SetBorrowedBodyStream(std::istream* stream) {
  owned_stream_.reset();
  body_stream_ = stream;
}

void THTTPResponseInfo::ReleaseBodyStream() {
  owned_stream_.reset();
  body_stream_ = nullptr;
}

TTCPConnection& THTTPResponseInfo::Conn() const {
  if (connection_ == nullptr) throw EHTTPServerError("No connection to write the reply to.");
  return *connection_;
}

std::string THTTPResponseInfo::BuildHeader() {
  if (header_sent_) throw EHTTPServerError(kErrHeaderWritten);
  header_sent_ = true;

  if (ContentLength == -1) {
    if (!BodyText.empty()) {
      ContentLength = static_cast<int64_t>(BodyText.size());
    } else if (body_stream_ != nullptr) {
      ContentLength = StreamSize(*body_stream_);
    }
  }
  if (!ChallengeRealm.empty()) {
    SetStatusCode(401);
    BodyText = StatusPage(401, "Unauthorized");
    ContentLength = static_cast<int64_t>(BodyText.size());
  }

  THeaderList& h = HeaderLines;
  h.Clear();
  auto set_text = [&h](const char* name, const std::string& value) {
    if (!value.empty()) h.SetValue(name, value);
  };
  auto set_date = [&h](const char* name, std::time_t value) {
    if (value > 0) h.SetValue(name, FormatHTTPDate(value));
  };
  const std::string length = std::to_string(ContentLength);
  set_text("Connection", Connection);
  set_text("Content-Version", ContentVersion);
  set_text("Content-Encoding", ContentEncoding);
  set_text("Content-Language", ContentLanguage);
  set_text("Content-Type", ContentType);
  if (ContentLength >= 0) h.SetValue("Content-Length", length);
  set_text("Cache-control", CacheControl);
  set_date("Expires", Expires);
  set_text("Pragma", Pragma);
  h.AddLines(CustomHeaders);
  set_text("Server", Server);
  h.SetValue("Date", FormatIMFDate(Date > 0 ? Date : std::time(nullptr)));
  set_text("Content-Type", ContentType);
  set_text("Location", Location);
  if (ContentLength >= 0) h.SetValue("Content-Length", length);
  set_date("Last-Modified", LastModified);
  if (!ChallengeRealm.empty())
    h.SetValue("WWW-Authenticate", "Basic realm=\"" + ChallengeRealm + "\"");
  // Every reply: no page of the administration inside another site's frame,
  // and no guessing of a type other than the one sent.
  h.SetValue("X-Frame-Options", "DENY");
  h.SetValue("X-Content-Type-Options", "nosniff");
  set_text("Content-Security-Policy", ContentSecurityPolicy);

  std::string out;
  out.reserve(256);
  out += "HTTP/1.1 ";
  out += std::to_string(status_code_);
  out += ' ';
  out += StatusText;
  out += "\r\n";
  out += h.Text();
  for (const TCookie& c : Cookies.Items()) {
    out += "Set-Cookie: ";
    out += c.ServerCookie();
    out += "\r\n";
  }
  out += "\r\n";
  return out;
}

void THTTPResponseInfo::SendHeader() {
  TTCPConnection& conn = Conn();
  conn.Write(BuildHeader());
}

void THTTPResponseInfo::SendBody() {
  TTCPConnection& conn = Conn();
  std::string out;
  if (!header_sent_) out = BuildHeader();
  if (!head_request_) {
    if (!BodyText.empty()) {
      out += BodyText;
    } else if (body_stream_ != nullptr) {
      std::streamoff size = StreamSize(*body_stream_);
      if (size >= 0 && size <= kCoalesceLimit) {
        body_stream_->seekg(0);
        std::string data(static_cast<size_t>(size), '\0');
        body_stream_->read(data.data(), size);
        if (body_stream_->gcount() != size) throw ETCPError("No data to read.");
        out += data;
      } else {
        if (!out.empty()) conn.Write(out);
        out.clear();
        conn.WriteFromStream(*body_stream_, -1, true);
      }
    } else {
      out += StatusPage(status_code_, StatusText);
      out += "\r\n";
    }
  }
  if (!out.empty()) conn.Write(out);
  BodyText.clear();
  ReleaseBodyStream();
}

}  // namespace sl
