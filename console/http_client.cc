#include "console/http_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "core/text.h"
#include "core/unique_fd.h"
#include "net/resolver.h"
#include "net/socket_errors.h"

namespace sl {

namespace {

using Clock = std::chrono::steady_clock;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A header name: the token characters of HTTP.
bool IsTokenByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) ||
         std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Printable ASCII and TAB; 8-bit bytes are allowed in values as obs-text.
bool IsValueByte(char c) {
  unsigned char b = static_cast<unsigned char>(c);
  return b == '\t' || (b >= 0x20 && b != 0x7F);
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The text of a resolver's or the system's error number.
std::string ErrorText(int error) {
  if (error == kErrHostNotFound || error == kErrNoData) return "name not found";
  if (error == kErrTryAgain) return "name not found (the resolver asks to try again)";
  if (error == kErrNoRecovery) return "name lookup failed";
  return std::strerror(error);
}

int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is ready for events or the deadline passes; false on
// the time-out (errno ETIMEDOUT) or a poll error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int n = ::poll(&p, 1, MillisecondsLeft(deadline));
    if (n > 0) return true;
    if (n == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

// A connected socket to address:port, or an invalid one with errno set.
UniqueFd Connect(const in_addr& address, uint16_t port, Clock::time_point deadline) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return fd;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr = address;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
  if (errno != EINPROGRESS) return UniqueFd();
  if (!WaitFor(fd.get(), POLLOUT, deadline)) return UniqueFd();
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0) return UniqueFd();
  if (error != 0) {
    errno = error;
    return UniqueFd();
  }
  return fd;
}

}  // namespace

std::string HttpAnswer::Header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (SameText(n, name)) return v;
  }
  return std::string();
}

bool ParseStatusLine(std::string_view line, int* status, std::string* reason) {
  // "HTTP/" digit "." digit SP 3DIGIT SP reason
  if (line.size() < 12 || line.substr(0, 5) != "HTTP/" || !IsDigit(line[5]) || line[6] != '.' ||
      !IsDigit(line[7]) || line[8] != ' ' || !IsDigit(line[9]) || !IsDigit(line[10]) ||
      !IsDigit(line[11])) {
    return false;
  }
  if (line.size() > 12 && line[12] != ' ') return false;
  int code = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  if (code < 100 || code > 599) return false;
  std::string_view text = line.size() > 13 ? line.substr(13) : std::string_view();
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b != '\t' && (b < 0x20 || b >= 0x7F)) return false;
  }
  *status = code;
  *reason = std::string(text);
  return true;
}

bool ParseAnswerHead(std::string_view head, int64_t max_body, HttpAnswer* answer,
                     int64_t* content_length, std::string* error) {
  *content_length = -1;
  answer->headers.clear();
  bool first = true;
  while (!head.empty()) {
    size_t lf = head.find('\n');
    std::string_view line = head.substr(0, lf);
    head = lf == std::string_view::npos ? std::string_view() : head.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      if (!ParseStatusLine(line, &answer->status, &answer->reason)) {
        *error = "malformed status line";
        return false;
      }
      first = false;
      continue;
    }
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
      *error = "malformed header line";
      return false;
    }
    std::string_view name = line.substr(0, colon);
    std::string_view value = TrimBlanks(line.substr(colon + 1));
    for (char c : name) {
      if (!IsTokenByte(c)) {
        *error = "malformed header name";
        return false;
      }
    }
    for (char c : value) {
      if (!IsValueByte(c)) {
        *error = "control byte in a header value";
        return false;
      }
    }
    if (SameText(name, "Transfer-Encoding")) {
      *error = "unexpected Transfer-Encoding";
      return false;
    }
    if (SameText(name, "Content-Length")) {
      if (value.empty() || value.size() > 18) {
        *error = "bad Content-Length";
        return false;
      }
      int64_t length = 0;
      for (char c : value) {
        if (!IsDigit(c)) {
          *error = "bad Content-Length";
          return false;
        }
        length = length * 10 + (c - '0');
      }
      if (*content_length >= 0 && *content_length != length) {
        *error = "Content-Length values differ";
        return false;
      }
      if (length > max_body) {
        *error = "answer larger than " + std::to_string(max_body) + " bytes";
        return false;
      }
      *content_length = length;
    }
    answer->headers.emplace_back(std::string(name), std::string(value));
  }
  if (first) {
    *error = "empty answer";
    return false;
  }
  return true;
}

HttpClient::HttpClient(HostPort target, Credentials credentials, HttpLimits limits)
    : target_(std::move(target)), credentials_(std::move(credentials)), limits_(limits) {}

std::string HttpClient::RequestBytes(const std::string& method, const std::string& path,
                                     const std::string& body,
                                     const std::string& content_type) const {
  std::string out = method + " " + path + " HTTP/1.1\r\nHost: " + target_.ToString() +
                    "\r\nAuthorization: Basic " +
                    Base64Encode(credentials_.user + ":" + credentials_.password) +
                    "\r\nConnection: close\r\n";
  if (!body.empty() || method == "POST") {
    out += "Content-Type: " + content_type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n";
  }
  out += "\r\n";
  out += body;
  return out;
}

HttpOutcome HttpClient::Exchange(const std::string& method, const std::string& path,
                                 const std::string& body, const std::string& content_type,
                                 HttpAnswer* answer, std::string* error) const {
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + limits_.total;
  std::vector<in_addr> addresses;
  int resolved = ResolveIPv4(target_.host, &addresses);
  if (resolved != 0 || addresses.empty()) {
    *error = ErrorText(resolved != 0 ? resolved : kErrNoData);
    return HttpOutcome::kUnreachable;
  }
  UniqueFd fd;
  for (const in_addr& address : addresses) {
    fd = Connect(address, target_.port, std::min(deadline, Clock::now() + limits_.connect));
    if (fd.valid()) break;
    *error = std::string("cannot connect: ") + std::strerror(errno);
  }
  if (!fd.valid()) return HttpOutcome::kUnreachable;

  const std::string request = RequestBytes(method, path, body, content_type);
  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFor(fd.get(), POLLOUT, deadline)) {
        *error = std::string("sending the request: ") + std::strerror(errno);
        return HttpOutcome::kUnreachable;
      }
    } else {
      *error = std::string("sending the request: ") + std::strerror(errno);
      return HttpOutcome::kUnreachable;
    }
  }

  // Read until the agent closes, or until the body its head announced is
  // whole; never more than the head and the largest body.
  std::string in;
  size_t head_end = std::string::npos;  // where the body starts
  int64_t content_length = -1;
  char buffer[65536];
  for (;;) {
    if (head_end == std::string::npos) {
      size_t blank = in.find("\r\n\r\n");
      size_t blank_lf = in.find("\n\n");
      size_t cut = std::min(blank, blank_lf);
      if (cut != std::string::npos) {
        head_end = cut + (cut == blank ? 4 : 2);
        if (!ParseAnswerHead(std::string_view(in).substr(0, cut), limits_.max_body, answer,
                             &content_length, error)) {
          return HttpOutcome::kBadAnswer;
        }
      } else if (in.size() > limits_.max_head) {
        *error = "answer head larger than " + std::to_string(limits_.max_head) + " bytes";
        return HttpOutcome::kBadAnswer;
      }
    }
    if (head_end != std::string::npos) {
      size_t body_bytes = in.size() - head_end;
      if (content_length >= 0 && body_bytes >= static_cast<size_t>(content_length)) break;
      if (static_cast<int64_t>(body_bytes) > limits_.max_body) {
        *error = "answer larger than " + std::to_string(limits_.max_body) + " bytes";
        return HttpOutcome::kBadAnswer;
      }
    }
    ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      in.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno == EAGAIN || errno == EINTR) {
      if (!WaitFor(fd.get(), POLLIN, deadline)) {
        *error = std::string("waiting for the answer: ") + std::strerror(errno);
        return HttpOutcome::kUnreachable;
      }
    } else {
      *error = std::string("reading the answer: ") + std::strerror(errno);
      return HttpOutcome::kUnreachable;
    }
  }
  if (head_end == std::string::npos) {
    *error = in.empty() ? "the connection closed without an answer" : "answer cut short";
    return in.empty() ? HttpOutcome::kUnreachable : HttpOutcome::kBadAnswer;
  }
  answer->body = in.substr(head_end);
  if (content_length >= 0) {
    if (answer->body.size() < static_cast<size_t>(content_length)) {
      *error = "answer cut short";
      return HttpOutcome::kBadAnswer;
    }
    answer->body.resize(static_cast<size_t>(content_length));
  }
  return HttpOutcome::kAnswered;
}

}  // namespace sl
