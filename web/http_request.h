// THTTPRequestInfo and the pieces that turn received bytes into one.
//
// The request object is filled by the server's request loop and handed to
// the request handler. Every parsing step is a plain function of bytes, with
// no socket behind it, so that tests and fuzz targets can drive the same
// code the server runs: the request line, the header-derived fields, URL
// decoding, the document path, Basic credentials, cookies and parameters.
// ParseRequestText runs all of them over one complete request held in
// memory. The framing of a body follows RFC 9112: Content-Length, or a
// chunked Transfer-Encoding, or nothing (an empty body), except that an
// HTTP/1.0 POST without a length still runs to the end of the input.
//
// The server fills everything but Params and Cookies. Decoding those costs
// in proportion to what the client sent, so the request handler calls
// DecodeRequestFields itself once it has accepted the request's
// credentials: a stranger's request costs no more than its bytes.
#ifndef SL_WEB_HTTP_REQUEST_H_
#define SL_WEB_HTTP_REQUEST_H_

#include <cstdint>
#include <ctime>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "web/http_cookies.h"
#include "web/http_header_list.h"
#include "web/http_limits.h"

namespace sl {

class THTTPSession;

// An error of the HTTP engine; what() is the message text.
class EHTTPServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A request that breaks the protocol; the server answers 400.
class EBadRequest : public EHTTPServerError {
 public:
  using EHTTPServerError::EHTTPServerError;
};
// A body beyond the limit its reader was given; the server answers 413.
class EBodyTooLarge : public EHTTPServerError {
 public:
  EBodyTooLarge() : EHTTPServerError("Request body too large.") {}
};

inline constexpr char kErrParsingCommand[] = "Error in parsing command.";

// The most parameters and cookies one request may carry.
inline constexpr size_t kMaxParams = 10000;
inline constexpr size_t kMaxCookies = 200;

// A request with more parameters or cookies than allowed; what() says which.
class ERequestLimit : public EHTTPServerError {
 public:
  using EHTTPServerError::EHTTPServerError;
};

struct THTTPRequestInfo {
  std::string RequestLine;  // as received, without its line end
  std::string Command;      // method in upper case
  std::string Document;     // decoded path of the target
  std::string Version;      // last token of the request line, as sent
  std::string RemoteAddress;
  THeaderList HeaderLines;
  std::string QueryText;                     // target after its first "?", undecoded
  std::string FormText;                      // the body, when the engine stored it itself
  std::string ParamText;                     // FormText, QueryText, or both joined by CR LF
  std::vector<std::string> Params;           // decoded "name=value" lines
  std::unique_ptr<std::ostream> PostStream;  // only from OnCreatePostStream
  bool HasAuthorization = false;
  std::string AuthUsername;
  std::string AuthUserPassword;
  TServerCookies Cookies;
  std::shared_ptr<THTTPSession> Session;

  // Header-derived fields: texts as sent, empty when absent.
  std::string Connection;
  std::string ContentVersion;
  std::string ContentEncoding;
  std::string ContentLanguage;
  std::string ContentType;
  int32_t ContentLength = -1;  // -1 when absent or not a number
  bool ContentLengthGiven = false;
  bool ContentLengthTooLarge = false;  // a number beyond the 32-bit range
  std::time_t Date = 0;
  std::time_t LastModified = 0;
  std::time_t Expires = 0;
  std::string Pragma;
  std::string Accept;
  std::string AcceptCharSet;
  std::string AcceptEncoding;
  std::string AcceptLanguage;
  std::string Host;
  std::string From;
  std::string Referer;
  std::string UserAgent;
  uint32_t ContentRangeStart = 0;
  uint32_t ContentRangeEnd = 0;

  // The value of Params line "name=..." (first match, name compared
  // exactly); empty when there is none.
  std::string Param(std::string_view name) const;
};

struct TRequestLineParts {
  std::string Method;   // upper case
  std::string Target;   // may contain spaces
  std::string Version;  // as sent
};

// Splits a request line; throws EHTTPServerError(kErrParsingCommand) when it
// has no space.
TRequestLineParts ParseRequestLine(std::string_view line);

// Splits a request line as ParseRequestLine does and also requires a
// method of token characters, a target and a version "HTTP/d.d"; throws
// EBadRequest otherwise.
TRequestLineParts ParseWellFormedRequestLine(std::string_view line);

// Adds a received header line (a line starting with ".." loses one dot).
// A line that is neither "name: value" with a token name nor the
// continuation of a previous line throws EBadRequest.
void AddReceivedHeaderLine(THeaderList& headers, std::string_view line);

// The media type of a Content-Type value: the text before any parameter,
// trimmed and in lower case ("application/x-www-form-urlencoded").
std::string MediaTypeOf(std::string_view content_type);

// How the body of a request is delimited.
enum class TBodyFraming {
  kNone,        // no body
  kLength,      // ContentLength bytes
  kChunked,     // chunked transfer coding
  kUntilClose,  // an HTTP/1.0 POST without a length: up to the peer's close
};
// The framing of a request whose header fields are filled. Throws
// EBadRequest for both Content-Length and Transfer-Encoding, for a
// transfer coding other than chunked, and for a Content-Length that is not
// one decimal number; EBodyTooLarge for a length over max_body.
TBodyFraming BodyFramingOf(const THTTPRequestInfo& request, std::string_view version,
                           int64_t max_body);

// Parses a chunk-size line ("1a;ext=x"); throws EBadRequest when it is
// not a hexadecimal number, EBodyTooLarge when the size passes limit.
size_t ParseChunkSize(std::string_view line, size_t limit);

// Decodes a chunked body from `in`, which offers `std::string ReadLn()`
// (one line without its CR LF) and `void ReadBytes(std::string&, size_t)`,
// appending the data to out; at most max_body bytes (else EBodyTooLarge),
// trailer lines up to max_trailer bytes (else EBadRequest) are read and
// dropped.
template <typename Source>
void ReadChunkedBody(Source& in, std::string& out, size_t max_body, size_t max_trailer) {
  for (;;) {
    size_t size = ParseChunkSize(in.ReadLn(), max_body - out.size());
    if (size == 0) break;
    in.ReadBytes(out, size);
    if (!in.ReadLn().empty()) throw EBadRequest("Chunk data not followed by its line end.");
  }
  size_t trailer = 0;
  for (std::string line = in.ReadLn(); !line.empty(); line = in.ReadLn()) {
    trailer += line.size() + 2;
    if (trailer > max_trailer) throw EBadRequest("Trailer section too large.");
  }
}

// Fills the header-derived fields of `request` from its HeaderLines.
void FillHeaderFields(THTTPRequestInfo& request);

// "+" becomes a space, then "%" and two hexadecimal digits become that byte;
// an escape that is not hexadecimal, or %00, is dropped with its digits.
std::string URLDecode(std::string_view s);

// Splits at every "&" and decodes each piece; a trailing "&" adds nothing.
std::vector<std::string> DecodeParams(std::string_view s);

struct TDocumentParts {
  std::string Document;
  std::string Host;  // host of an absolute URI target, empty otherwise
};
// Derives the document path from a target (without its query part).
TDocumentParts DecodeDocument(std::string_view target);

struct TAuthorization {
  bool HasAuthorization = false;
  std::string Username;
  std::string Password;
};
// Reads an "Authorization" value. A scheme other than Basic (Bearer,
// Negotiate, ...) counts as no credentials at all.
TAuthorization ParseAuthorization(std::string_view value);

// Adds the cookies of every "Cookie" line of `headers`.
void ParseCookies(const THeaderList& headers, TServerCookies& cookies);

// The steps that follow the body: query and parameter texts, Version,
// Document (with Host from an absolute URI) and the credentials. FormText
// and ParamText hold the body already.
void CompleteRequest(THTTPRequestInfo& request, std::string_view target, std::string version);

// Fills Cookies, and with parse_params also Params: from ParamText for a
// form post ("application/x-www-form-urlencoded"), else from QueryText.
// Throws ERequestLimit, with nothing built, past kMaxParams parameters or
// kMaxCookies cookies.
void DecodeRequestFields(THTTPRequestInfo& request, bool parse_params);

// Parses one complete request held in memory (request line, header lines,
// empty line, body) as the server does, with the same framing and a body
// limit of max_body. Throws EBadRequest where the server answers 400,
// EBodyTooLarge where it answers 413 (a body that ends early is a bad
// request here), ERequestLimit past the parameter and cookie limits
// (DecodeRequestFields runs last).
void ParseRequestText(std::string_view raw, THTTPRequestInfo& request, bool parse_params = true,
                      int64_t max_body = kMaxBodyBytes);

}  // namespace sl

#endif
