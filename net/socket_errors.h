// Errors of the asynchronous socket layer.
//
// ESocketException is raised by requests made on a socket component; errors
// found later on the worker thread reach the component's events as error
// numbers instead. Error numbers are the platform's errno values, plus a few
// of the layer's own from 999990 on for name-lookup failures.
// AsyncSocketErrorText turns a number into its fixed text.
#ifndef SL_NET_SOCKET_ERRORS_H_
#define SL_NET_SOCKET_ERRORS_H_

#include <stdexcept>
#include <string>

namespace sl {

inline constexpr int kErrHostNotFound = 999994;
inline constexpr int kErrTryAgain = 999995;
inline constexpr int kErrNoRecovery = 999996;
inline constexpr int kErrNoData = 999997;

class ESocketException : public std::runtime_error {
 public:
  explicit ESocketException(const std::string& message, int error = 0)
      : std::runtime_error(message), error_(error) {}
  int Error() const { return error_; }

 private:
  int error_;
};

// The text of an error number, "Not a WinSock error" for unknown numbers.
std::string AsyncSocketErrorText(int error);

// The layer's number for a getaddrinfo() failure code.
int ResolverError(int gai_code);

}  // namespace sl

#endif
