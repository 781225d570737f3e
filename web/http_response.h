// THTTPResponseInfo: the reply to one request.
//
// Created empty for every request with the defaults of a plain 200 page, it
// is filled by the request handler and written by the engine (or by the
// handler through SendHeader/SendBody). The status line and all headers go
// out in one piece, together with a text body where there is one. A reply
// to HEAD never carries a body, whatever was set. Belongs to the connection
// thread that serves the request; not locked.
#ifndef SL_WEB_HTTP_RESPONSE_H_
#define SL_WEB_HTTP_RESPONSE_H_

#include <cstdint>
#include <ctime>
#include <istream>
#include <memory>
#include <string>
#include <string_view>

#include "web/http_cookies.h"
#include "web/http_header_list.h"

namespace sl {

class TTCPConnection;
class THTTPSession;

inline constexpr char kServerName[] = "ScanLantern/1.0";
inline constexpr char kErrHeaderWritten[] = "Header has already been written.";

// The reason phrase of a status code ("Unknown Response Code" when the code
// is not in the table).
const char* StatusTextOf(int32_t code);

// The short page of a status: "<HTML><BODY><B>" code, blank, reason phrase
// "</B></BODY></HTML>".
std::string StatusPageOf(int32_t code);

class THTTPResponseInfo {
 public:
  // `connection` may be null for a reply that is only formatted
  // (BuildHeader); sending then fails. `head_request` suppresses the body.
  explicit THTTPResponseInfo(TTCPConnection* connection, bool head_request = false);
  ~THTTPResponseInfo();
  THTTPResponseInfo(const THTTPResponseInfo&) = delete;
  THTTPResponseInfo& operator=(const THTTPResponseInfo&) = delete;

  // Setting the code also sets StatusText; 404 also closes the connection.
  void SetStatusCode(int32_t code);
  int32_t StatusCode() const { return status_code_; }
  std::string StatusText = "OK";

  std::string ContentType = "text/html";
  int64_t ContentLength = -1;  // -1: not set yet
  std::string BodyText;

  // The body as a stream: owned (freed with the reply) or borrowed (only
  // forgotten). Read from its start when sent.
  void SetBodyStream(std::unique_ptr<std::istream> stream);
  void SetBorrowedBodyStream(std::istream* stream);
  std::istream* BodyStream() const { return body_stream_; }
  bool OwnsBodyStream() const { return owned_stream_ != nullptr; }

  // When not empty the reply becomes a Basic authentication challenge.
  std::string ChallengeRealm;

  // Also sets Connection to "close" or "keep-alive".
  void SetCloseAfterResponse(bool close);
  bool CloseAfterResponse() const { return close_after_response_; }
  std::string Connection;

  std::string Location;
  std::string Server = kServerName;
  std::string ServerSoftware = kServerName;
  std::time_t LastModified = 0;  // headers written only when > 0
  std::time_t Date = 0;          // 0: the Date header carries the time of sending
  std::time_t Expires = 0;
  std::string CacheControl;
  std::string ContentEncoding;
  std::string ContentLanguage;
  std::string ContentVersion;
  std::string Pragma;
  THeaderList CustomHeaders;
  // Written last, after "X-Frame-Options: DENY" and
  // "X-Content-Type-Options: nosniff", which every reply carries.
  std::string ContentSecurityPolicy;
  THeaderList HeaderLines;  // as finally written
  TServerCookies Cookies;
  std::shared_ptr<THTTPSession> Session;

  bool HeaderSent() const { return header_sent_; }
  bool HeadRequest() const { return head_request_; }
  // The connection the reply goes to (null for a formatted-only reply).
  TTCPConnection* Channel() const { return connection_; }

  // Writes the status line and headers once; a second call throws
  // EHTTPServerError(kErrHeaderWritten).
  void SendHeader();
  // Writes the header when not yet written, then the body (BodyText, else
  // the stream, else a short status page), except for HEAD.
  void SendBody();

  // Marks the header written and returns its bytes: the status line, the
  // header lines and the empty line. SendHeader sends exactly this.
  std::string BuildHeader();

 private:
  void ReleaseBodyStream();
  TTCPConnection& Conn() const;

  TTCPConnection* connection_;
  bool head_request_;
  int32_t status_code_ = 200;
  bool close_after_response_ = true;
  bool header_sent_ = false;
  std::istream* body_stream_ = nullptr;
  std::unique_ptr<std::istream> owned_stream_;
};

}  // namespace sl

#endif
