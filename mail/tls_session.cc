#include "mail/tls_session.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sl {

struct TlsSession::State {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  ~State() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
  }
};

namespace {

std::string OpenSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof(buf));
    if (!text.empty()) text += "; ";
    text += buf;
  }
  return text;
}

bool IsAddressLiteral(const std::string& host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

TlsSession::TlsSession(std::unique_ptr<State> state) : state_(std::move(state)) {}

TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::Create(int fd, const std::string& host,
                                               std::string* error) {
  ERR_clear_error();
  auto state = std::make_unique<State>();
  state->ctx = SSL_CTX_new(TLS_client_method());
  if (!state->ctx) {
    *error = "TLS setup failed: " + OpenSslErrors();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(state->ctx, TLS1_2_VERSION);
  if (SSL_CTX_set_default_verify_paths(state->ctx) != 1) {
    *error = "cannot load the trusted certificates: " + OpenSslErrors();
    return nullptr;
  }
  SSL_CTX_set_verify(state->ctx, SSL_VERIFY_PEER, nullptr);
  state->ssl = SSL_new(state->ctx);
  if (!state->ssl || SSL_set_fd(state->ssl, fd) != 1) {
    *error = "TLS setup failed: " + OpenSslErrors();
    return nullptr;
  }
  SSL_set_mode(state->ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  X509_VERIFY_PARAM* param = SSL_get0_param(state->ssl);
  bool name_set;
  if (IsAddressLiteral(host)) {
    name_set = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
  } else {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    name_set = SSL_set1_host(state->ssl, host.c_str()) == 1 &&
               SSL_set_tlsext_host_name(state->ssl, host.c_str()) == 1;
  }
  if (host.empty() || !name_set) {
    *error = "cannot check the server's certificate against the name '" + host + "'";
    return nullptr;
  }
  SSL_set_connect_state(state->ssl);
  return std::unique_ptr<TlsSession>(new TlsSession(std::move(state)));
}

TlsSession::Status TlsSession::Fail(int ssl_error, const char* what) {
  long verify = SSL_get_verify_result(state_->ssl);
  std::string detail;
  if (verify != X509_V_OK) {
    detail =
        std::string("certificate verification failed: ") + X509_verify_cert_error_string(verify);
    ERR_clear_error();
  } else if (ssl_error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
    detail = errno != 0 ? std::strerror(errno) : "connection closed by the server";
  } else {
    detail = OpenSslErrors();
    if (detail.empty()) detail = "error " + std::to_string(ssl_error);
  }
  error_ = std::string(what) + ": " + detail;
  return kFailed;
}

TlsSession::Status TlsSession::Handshake() {
  ERR_clear_error();
  errno = 0;
  int rc = SSL_do_handshake(state_->ssl);
  if (rc == 1) return kDone;
  int e = SSL_get_error(state_->ssl, rc);
  if (e == SSL_ERROR_WANT_READ) return kWantRead;
  if (e == SSL_ERROR_WANT_WRITE) return kWantWrite;
  return Fail(e, "TLS handshake failed");
}

TlsSession::Status TlsSession::Read(std::string* out, size_t max) {
  size_t left = std::min(max, kMaxRead);
  for (;;) {
    if (left == 0) return kMore;
    char buf[4096];
    ERR_clear_error();
    errno = 0;
    int n = SSL_read(state_->ssl, buf, static_cast<int>(std::min(left, sizeof(buf))));
    if (n > 0) {
      out->append(buf, static_cast<size_t>(n));
      left -= static_cast<size_t>(n);
      continue;
    }
    int e = SSL_get_error(state_->ssl, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return kWantRead;
    if (e == SSL_ERROR_ZERO_RETURN) return kClosed;
    if (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0) return kClosed;
    return Fail(e, "TLS read failed");
  }
}

TlsSession::Status TlsSession::Write(std::string* pending) {
  while (!pending->empty()) {
    ERR_clear_error();
    errno = 0;
    int n = SSL_write(state_->ssl, pending->data(),
                      static_cast<int>(std::min<size_t>(pending->size(), 1 << 20)));
    if (n > 0) {
      pending->erase(0, static_cast<size_t>(n));
      continue;
    }
    int e = SSL_get_error(state_->ssl, n);
    if (e == SSL_ERROR_WANT_READ) return kWantRead;
    if (e == SSL_ERROR_WANT_WRITE) return kWantWrite;
    return Fail(e, "TLS write failed");
  }
  return kDone;
}

void TlsSession::Shutdown() {
  ERR_clear_error();
  SSL_shutdown(state_->ssl);
  ERR_clear_error();
}

}  // namespace sl
