// HttpClient: one blocking HTTP/1.1 exchange with an agent.
//
// The console's requests are small and its answers come from machines that
// may be anything, so every exchange is bounded: the connect may take
// 5 s, the whole exchange 30 s, the answer may hold 16 MiB, its head
// 64 KiB. The status line and the header lines are parsed strictly and
// anything malformed is refused; the body is framed by Content-Length or
// by the end of the connection (the request asks for the close).
#ifndef SL_CONSOLE_HTTP_CLIENT_H_
#define SL_CONSOLE_HTTP_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console/credentials.h"
#include "console/host_port.h"

namespace sl {

struct HttpAnswer {
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // The value of the first header of that name (ASCII case ignored), or
  // empty.
  std::string Header(std::string_view name) const;
};

// "HTTP/1.x NNN reason": the code (100 to 599) and the reason (printable
// ASCII and blanks, possibly empty). False for anything else.
bool ParseStatusLine(std::string_view line, int* status, std::string* reason);

// The head of an answer (status line and header lines, each ended by
// CR LF or LF, without the empty line) into answer; *content_length is -1
// when the answer has none. False with the reason for a malformed line, a
// header without a name, repeated Content-Length values that differ, a
// Content-Length that is no number or above max_body, and a
// Transfer-Encoding (the agents frame their answers by length).
bool ParseAnswerHead(std::string_view head, int64_t max_body, HttpAnswer* answer,
                     int64_t* content_length, std::string* error);

struct HttpLimits {
  std::chrono::milliseconds connect{5000};
  std::chrono::milliseconds total{30000};
  int64_t max_body = 16 << 20;
  size_t max_head = 64 << 10;
};

enum class HttpOutcome {
  kAnswered,     // an answer of any status
  kUnreachable,  // name not found, no connection, or no whole answer in time
  kBadAnswer,    // the peer answered, but not in HTTP within the limits
};

class HttpClient {
 public:
  HttpClient(HostPort target, Credentials credentials, HttpLimits limits = HttpLimits());

  // Sends one request (with a body and its content type when body is not
  // empty or the method is POST) and reads the answer. On anything but
  // kAnswered, *error says what went wrong.
  HttpOutcome Exchange(const std::string& method, const std::string& path, const std::string& body,
                       const std::string& content_type, HttpAnswer* answer,
                       std::string* error) const;

 private:
  std::string RequestBytes(const std::string& method, const std::string& path,
                           const std::string& body, const std::string& content_type) const;

  HostPort target_;
  Credentials credentials_;
  HttpLimits limits_;
};

}  // namespace sl

#endif
