// TlsSession: the client side of one TLS connection on a non-blocking
// socket.
//
// The socket layer's worker drives it: Handshake until it is done (waiting
// for the socket as the session asks), then Read and Write. The server's
// certificate chain is checked against the system's trust store (which
// SSL_CERT_FILE and SSL_CERT_DIR can replace) and its name against the host
// name (or address) the caller connected to; a failed check fails the
// handshake. Not thread-safe: one thread at a time.
#ifndef SL_MAIL_TLS_SESSION_H_
#define SL_MAIL_TLS_SESSION_H_

#include <cstddef>
#include <memory>
#include <string>

namespace sl {

class TlsSession {
 public:
  enum Status { kDone, kWantRead, kWantWrite, kClosed, kFailed, kMore };

  // The most one Read hands over.
  static constexpr size_t kMaxRead = 64 << 10;

  // Prepares a session on the connected descriptor fd (which stays owned by
  // the caller). Null, with the reason in *error, when OpenSSL cannot set it
  // up (no trust store, a bad host name).
  static std::unique_ptr<TlsSession> Create(int fd, const std::string& host, std::string* error);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // One step of the handshake: kDone, kWantRead, kWantWrite or kFailed.
  Status Handshake();
  // Appends what can be read now to *out, at most max bytes (and at most
  // kMaxRead): kMore when it stopped there (more may be waiting inside the
  // session, where no poll sees it), kWantRead when drained, kClosed at the
  // peer's end of the stream, kFailed on an error.
  Status Read(std::string* out, size_t max = kMaxRead);
  // Writes from the front of *pending and erases what went out: kDone when
  // all went out, kWantRead / kWantWrite when the rest must wait, kFailed.
  Status Write(std::string* pending);
  // Sends the close notification without waiting for the peer's.
  void Shutdown();

  // Why the last step failed.
  const std::string& Error() const { return error_; }

 private:
  struct State;
  explicit TlsSession(std::unique_ptr<State> state);
  Status Fail(int ssl_error, const char* what);

  std::unique_ptr<State> state_;
  std::string error_;
};

}  // namespace sl

#endif
