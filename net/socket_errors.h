// ESocketError: the one error type of the socket layers, and the one table
// of texts for their error numbers.
//
// Error numbers are the platform's errno values, plus a few of the
// asynchronous layer's own from 999990 on for name-lookup failures. Each
// number has two fixed texts: the one the servers' socket handles put into
// "Socket Error # <number>\r\n<text>" (SocketErrorText), and the one the
// asynchronous client layer reports to its events (AsyncSocketErrorText).
#ifndef SL_NET_SOCKET_ERRORS_H_
#define SL_NET_SOCKET_ERRORS_H_

#include <stdexcept>
#include <string>

namespace sl {

inline constexpr int kErrHostNotFound = 999994;
inline constexpr int kErrTryAgain = 999995;
inline constexpr int kErrNoRecovery = 999996;
inline constexpr int kErrNoData = 999997;

// Any error raised by a socket request. ErrorCode() is the error number
// behind it, 0 for errors that are not the OS's.
class ESocketError : public std::runtime_error {
 public:
  ESocketError(int error_code, const std::string& message)
      : std::runtime_error(message), error_code_(error_code) {}
  // The error for an OS error number, with SocketErrorMessage as its text.
  explicit ESocketError(int error_code);

  int ErrorCode() const { return error_code_; }

 private:
  int error_code_;
};

// The name the asynchronous layer's interface gives the same error.
using ESocketException = ESocketError;

// The handles' text for an error number, empty for numbers without one.
std::string SocketErrorText(int error_code);
// "Socket Error # <number>\r\n<text>".
std::string SocketErrorMessage(int error_code);

// The asynchronous layer's text for an error number, "Not a WinSock error"
// for unknown numbers.
std::string AsyncSocketErrorText(int error_code);

// The layer's number for a getaddrinfo() failure code.
int ResolverError(int gai_code);

}  // namespace sl

#endif
