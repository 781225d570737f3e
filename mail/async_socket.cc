#include "mail/async_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/resolver.h"

namespace sl {

namespace {

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string Quoted(const char* prefix, const std::string& value, const char* middle, int error) {
  return std::string(prefix) + value + middle + std::to_string(error);
}

// Well-known names for machines without a services or protocols database.
struct WellKnown {
  const char* name;
  int number;
};
constexpr WellKnown kServices[] = {{"smtp", 25}, {"submission", 587}, {"http", 80}};
constexpr WellKnown kProtocols[] = {{"tcp", IPPROTO_TCP}, {"udp", IPPROTO_UDP}};

}  // namespace

in_addr SocketResolveHost(const std::string& host) {
  if (host.empty())
    throw ESocketError(EINVAL, "SocketResolveHost: '" + host + "' Invalid Hostname.");
  std::vector<in_addr> addresses;
  int error = ResolveIPv4(host, &addresses);
  if (error != 0 && LooksLikeDottedAddress(host)) {
    throw ESocketError(EINVAL, "SocketResolveHost: '" + host + "' Invalid IP address.");
  }
  if (error != 0) {
    throw ESocketError(error, Quoted("SocketResolveHost: Cannot convert host address '", host,
                                     "', Error #", error));
  }
  return addresses.front();
}

uint16_t SocketResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty()) throw ESocketError(EINVAL, "SocketResolvePort: Invalid Port.");
  if (AllDigits(port)) {
    if (port.size() > 5 || std::stoi(port) > 65535) {
      throw ESocketError(EINVAL, "SocketResolvePort: Invalid Port.");
    }
    return static_cast<uint16_t>(std::stoi(port));
  }
  servent entry{};
  servent* found = nullptr;
  char buf[1024];
  getservbyname_r(port.c_str(), proto.c_str(), &entry, buf, sizeof(buf), &found);
  if (found) return ntohs(static_cast<uint16_t>(found->s_port));
  for (const WellKnown& w : kServices) {
    if (port == w.name) return static_cast<uint16_t>(w.number);
  }
  throw ESocketError(kErrNoData, Quoted("SocketResolvePort: Cannot convert port '", port,
                                        "', Error #", kErrNoData));
}

int SocketResolveProto(const std::string& proto) {
  if (proto.empty()) throw ESocketError(EINVAL, "SocketResolveProto: Invalid Protocol.");
  if (AllDigits(proto) && proto.size() <= 3) return std::stoi(proto);
  protoent entry{};
  protoent* found = nullptr;
  char buf[1024];
  getprotobyname_r(proto.c_str(), &entry, buf, sizeof(buf), &found);
  if (found) return found->p_proto;
  for (const WellKnown& w : kProtocols) {
    if (proto == w.name) return w.number;
  }
  throw ESocketError(kErrNoData, Quoted("SocketResolveProto: Cannot convert protocol '", proto,
                                        "', Error #", kErrNoData));
}

TAsyncSocket::TAsyncSocket() = default;

TAsyncSocket::~TAsyncSocket() {
  {
    // The owner is going away: no more events.
    MutexLock lock(mu_);
    shutting_down_ = true;
  }
  if (worker_.joinable()) {
    Close();
    queue_->Post(WM_QUIT);
    worker_.join();
  }
}

void TAsyncSocket::SetAddr(const std::string& addr) {
  MutexLock lock(mu_);
  if (state_ != wsClosed) throw ESocketError(0, "Cannot change Addr if not closed");
  addr_ = addr;
}

void TAsyncSocket::SetPort(const std::string& port) {
  MutexLock lock(mu_);
  if (state_ != wsClosed) throw ESocketError(0, "Cannot change Port if not closed");
  port_ = port;
}

void TAsyncSocket::SetProto(const std::string& proto) {
  MutexLock lock(mu_);
  if (state_ != wsClosed) throw ESocketError(0, "Cannot change Proto if not closed");
  proto_ = proto;
}

void TAsyncSocket::SetLocalAddr(const std::string& addr) {
  MutexLock lock(mu_);
  if (state_ != wsClosed) throw ESocketError(0, "Cannot change LocalAddr if not closed");
  local_addr_ = addr;
}

void TAsyncSocket::SetLocalPort(const std::string& port) {
  MutexLock lock(mu_);
  if (state_ != wsClosed) throw ESocketError(0, "Cannot change LocalPort if not closed");
  local_port_ = port;
}

void TAsyncSocket::SetLinger(TSocketLingerOnOff on_off, int timeout_seconds) {
  MutexLock lock(mu_);
  linger_ = on_off;
  linger_timeout_ = timeout_seconds;
}

std::string TAsyncSocket::Addr() const {
  MutexLock lock(mu_);
  return addr_;
}
std::string TAsyncSocket::Port() const {
  MutexLock lock(mu_);
  return port_;
}
std::string TAsyncSocket::Proto() const {
  MutexLock lock(mu_);
  return proto_;
}
std::string TAsyncSocket::LocalAddr() const {
  MutexLock lock(mu_);
  return local_addr_;
}
std::string TAsyncSocket::LocalPort() const {
  MutexLock lock(mu_);
  return local_port_;
}
int TAsyncSocket::PortNum() const {
  MutexLock lock(mu_);
  return port_num_;
}
uint64_t TAsyncSocket::RcvdCount() const {
  MutexLock lock(mu_);
  return rcvd_count_;
}
int TAsyncSocket::LastError() const {
  MutexLock lock(mu_);
  return last_error_;
}
std::string TAsyncSocket::LastErrorMsg() const {
  MutexLock lock(mu_);
  return last_error_msg_;
}
TAsyncSocketState TAsyncSocket::State() const {
  MutexLock lock(mu_);
  return state_;
}
std::string TAsyncSocket::DnsResult() const {
  MutexLock lock(mu_);
  return dns_result_;
}
std::vector<std::string> TAsyncSocket::DnsResultList() const {
  MutexLock lock(mu_);
  return dns_result_list_;
}

void TAsyncSocket::EnsureWorker() {
  if (worker_.joinable()) return;
  try {
    queue_ = std::make_unique<TMsgQueue>();
    worker_ = std::thread(&TAsyncSocket::WorkerLoop, this);
  } catch (const std::system_error& e) {
    queue_.reset();
    throw ESocketError(e.code().value(), "Unable to allocate a new worker thread");
  }
}

int TAsyncSocket::DnsLookup(const std::string& host) {
  int error = 0;
  std::vector<std::string> list;
  if (host.empty()) {
    error = EINVAL;
  } else {
    try {
      EnsureWorker();
    } catch (const ESocketError&) {
      error = EFAULT;
    }
  }
  if (error == 0) {
    std::vector<in_addr> addresses;
    error = ResolveIPv4(host, &addresses);
    for (const in_addr& addr : addresses) {
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &addr, text, sizeof(text));
      list.push_back(text);
    }
  }
  {
    MutexLock lock(mu_);
    dns_result_ = list.empty() ? std::string() : list.front();
    dns_result_list_ = list;
    if (error != 0) {
      last_error_ = error;
      last_error_msg_ = host.empty()      ? "DNS lookup: invalid host name."
                        : error == EFAULT ? "DNS lookup: Unable to allocate a new worker thread"
                                          : AsyncSocketErrorText(error);
    }
  }
  if (OnDnsLookupDone) OnDnsLookupDone(error);
  return error;
}

TAsyncSocket::SessionId TAsyncSocket::Connect() {
  std::string addr, port, proto, local_addr, local_port;
  {
    MutexLock lock(mu_);
    if (state_ == wsConnecting || state_ == wsConnected) {
      throw ESocketError(0, "Connect: Socket already in use");
    }
    if (port_.empty()) throw ESocketError(0, "Connect: No Port Specified");
    if (addr_.empty()) throw ESocketError(0, "Connect: No IP Address Specified");
    if (proto_.empty()) throw ESocketError(0, "Connect: No Protocol Specified");
    addr = addr_;
    port = port_;
    proto = proto_;
    local_addr = local_addr_;
    local_port = local_port_;
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr = SocketResolveHost(addr);
  int proto_num = SocketResolveProto(proto);
  remote.sin_port = htons(SocketResolvePort(port, proto));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  bool bind_local = false;
  if (!local_addr.empty() && local_addr != "0.0.0.0") {
    local.sin_addr = SocketResolveHost(local_addr);
    bind_local = true;
  }
  if (!local_port.empty() && local_port != "0") {
    local.sin_port = htons(SocketResolvePort(local_port, proto));
    bind_local = true;
  }
  EnsureWorker();

  SessionId session;
  {
    MutexLock lock(mu_);
    if (state_ == wsConnecting || state_ == wsConnected) {
      throw ESocketError(0, "Connect: Socket already in use");
    }
    session = ++last_session_;
    if (session == 0) session = ++last_session_;
    session_ = session;
    remote_ = remote;
    local_ = local;
    bind_local_ = bind_local;
    sock_proto_ = proto_num;
    sock_type_ = proto_num == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
    port_num_ = ntohs(remote.sin_port);
    rcvd_count_ = 0;
    pending_.clear();
    ChangeState(wsConnecting);
    queue_->Post(WM_SOCK_CONNECT, static_cast<int32_t>(session));
  }
  FireStateChanges();
  return session;
}

int TAsyncSocket::SendText(std::string_view data) {
  {
    MutexLock lock(mu_);
    if (state_ != wsConnected) return -1;
    pending_.append(data);
    queue_->Post(WM_SOCK_TRY_TO_SEND, static_cast<int32_t>(session_));
  }
  return static_cast<int>(data.size());
}

int TAsyncSocket::Receive(void* buffer, int size) {
  MutexLock lock(mu_);
  if (state_ != wsConnected || !fd_.valid() || fd_session_ != session_) return -1;
  if (tls_) {
    size_t n = std::min(tls_in_.size(), static_cast<size_t>(size < 0 ? 0 : size));
    std::memcpy(buffer, tls_in_.data(), n);
    tls_in_.erase(0, n);
    rcvd_count_ += n;
    return static_cast<int>(n);
  }
  ssize_t n;
  do {
    n = recv(fd_.get(), buffer, static_cast<size_t>(size), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    last_error_ = errno;
    last_error_msg_ = "OpDataAvailable";
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
  rcvd_count_ += static_cast<uint64_t>(n);
  return static_cast<int>(n);
}

void TAsyncSocket::StartTls(const std::string& host) {
  MutexLock lock(mu_);
  if (state_ != wsConnected) return;
  tls_host_ = host;
  queue_->Post(WM_SOCK_START_TLS, static_cast<int32_t>(session_));
}

std::string TAsyncSocket::TlsError() const {
  MutexLock lock(mu_);
  return tls_error_;
}

bool TAsyncSocket::Encrypted() const {
  MutexLock lock(mu_);
  return tls_ != nullptr && !tls_handshaking_;
}

bool TAsyncSocket::PeerIsLoopback() const {
  MutexLock lock(mu_);
  if (!fd_.valid()) return false;
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (getpeername(fd_.get(), reinterpret_cast<sockaddr*>(&peer), &len) != 0) return false;
  if (peer.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&peer);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (peer.ss_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
  }
  return false;
}

void TAsyncSocket::Close() {
  {
    MutexLock lock(mu_);
    if (state_ != wsConnecting && state_ != wsConnected) return;
    SessionId ended = session_;
    session_ = 0;
    pending_.clear();
    ChangeState(wsClosed);
    queue_->Post(WM_SOCK_CLOSE, static_cast<int32_t>(ended));
  }
  FireStateChanges();
}

void TAsyncSocket::ChangeState(TAsyncSocketState new_state) {
  if (state_ == new_state) return;
  state_changes_.emplace_back(state_, new_state);
  state_ = new_state;
}

void TAsyncSocket::FireStateChanges() {
  std::vector<std::pair<TAsyncSocketState, TAsyncSocketState>> changes;
  {
    MutexLock lock(mu_);
    changes.swap(state_changes_);
    if (shutting_down_) return;
  }
  if (!OnChangeState) return;
  for (const auto& [old_state, new_state] : changes) OnChangeState(old_state, new_state);
}

void TAsyncSocket::Fire(const std::function<void(SessionId, int)>& handler, SessionId session,
                        int error) {
  if (!handler) return;
  {
    MutexLock lock(mu_);
    if (shutting_down_) return;
  }
  try {
    handler(session, error);
  } catch (const std::exception& e) {
    if (OnBgException) OnBgException(e);
  } catch (...) {
    if (OnBgException) OnBgException(std::runtime_error("unknown exception"));
  }
}

// Worker thread.

void TAsyncSocket::WorkerLoop() {
  for (;;) {
    TClassMsg msg;
    if (queue_->Peek(&msg)) {
      if (msg.Msg == WM_QUIT) break;
      HandleMessage(msg);
      continue;
    }
    pollfd fds[2];
    fds[0] = pollfd{queue_->ReadFd(), POLLIN, 0};
    nfds_t count = 1;
    {
      MutexLock lock(mu_);
      if (fd_.valid()) {
        short events = POLLIN;
        if (connecting_ || !pending_.empty()) events |= POLLOUT;
        if (connecting_) events = POLLOUT;
        if (tls_handshaking_) events = tls_wants_write_ ? POLLOUT : POLLIN;
        fds[1] = pollfd{fd_.get(), events, 0};
        count = 2;
      }
    }
    if (poll(fds, count, -1) < 0) continue;
    if (count == 2 && fds[1].revents != 0) HandleReadiness(fds[1].revents);
  }
  MutexLock lock(mu_);
  tls_.reset();
  fd_.Reset();
}

void TAsyncSocket::HandleMessage(const TClassMsg& msg) {
  auto session = static_cast<SessionId>(msg.WParam);
  switch (msg.Msg) {
    case WM_SOCK_CONNECT: OpenAndConnect(session); break;
    case WM_SOCK_CLOSE: {
      bool ours;
      {
        MutexLock lock(mu_);
        ours = fd_.valid() && fd_session_ == session;
      }
      if (ours) CloseDescriptor(0, true);
      break;
    }
    case WM_SOCK_TRY_TO_SEND: TryToSend(); break;
    case WM_SOCK_START_TLS: BeginTls(session); break;
    default:
      // Listening, accepting and duplicating are not served by this socket.
      break;
  }
}

void TAsyncSocket::OpenAndConnect(SessionId session) {
  sockaddr_in remote, local;
  bool bind_local;
  int type, proto;
  TSocketLingerOnOff linger;
  int linger_timeout;
  {
    MutexLock lock(mu_);
    if (session != session_) return;  // closed again before it was opened
    if (fd_.valid()) {
      // A descriptor of an ended session that was never closed: drop it.
      tls_.reset();
      tls_in_.clear();
      tls_handshaking_ = false;
      fd_.Reset();
      fd_session_ = 0;
      connecting_ = false;
    }
    remote = remote_;
    local = local_;
    bind_local = bind_local_;
    type = sock_type_;
    proto = sock_proto_;
    linger = linger_;
    linger_timeout = linger_timeout_;
  }
  UniqueFd fd;
  auto fail = [&](int error, const char* what) {
    fd.Reset();
    {
      MutexLock lock(mu_);
      if (session != session_) return;
      last_error_ = error;
      last_error_msg_ = what;
      session_ = 0;
      ChangeState(wsClosed);
    }
    FireStateChanges();
    Fire(OnSessionConnected, session, error);
  };

  fd.Reset(socket(AF_INET, type | SOCK_CLOEXEC, proto));
  if (!fd.valid()) return fail(errno, "socket failed");
  int flags = 1;
  if (ioctl(fd.get(), FIONBIO, &flags) != 0) return fail(errno, "ioctlsocket(FIONBIO) failed");
  if (linger != wsLingerNoSet) {
    struct linger l {
      linger == wsLingerOn ? 1 : 0, linger_timeout
    };
    setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  }
  if (bind_local && bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    int error = errno;
    char text[64];
    snprintf(text, sizeof(text), "bind failed, error #%d", error);
    return fail(error, text);
  }
  int rc;
  do {
    rc = connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof(remote));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 && errno != EINPROGRESS) return fail(errno, "connect failed");
  {
    MutexLock lock(mu_);
    fd_.Reset(fd.Release());
    fd_session_ = session;
    connecting_ = true;
  }
  // Completion (or a refusal) is reported when the socket becomes writable.
}

void TAsyncSocket::HandleReadiness(short revents) {
  bool connecting, handshaking, tls;
  {
    MutexLock lock(mu_);
    connecting = connecting_;
    handshaking = tls_handshaking_;
    tls = tls_ != nullptr;
  }
  if (connecting) {
    FinishConnect();
    return;
  }
  if (handshaking) {
    ContinueTls();
    return;
  }
  if (tls) {
    // Either direction may be what the session waits for.
    if (revents & (POLLIN | POLLHUP | POLLERR)) TlsDataAvailable();
    TryToSend();
    return;
  }
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    DataAvailable();
    return;
  }
  if (revents & POLLOUT) TryToSend();
}

void TAsyncSocket::FinishConnect() {
  int fd;
  SessionId session;
  {
    MutexLock lock(mu_);
    fd = fd_.get();
    session = fd_session_;
  }
  int error = 0;
  socklen_t len = sizeof(error);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
  if (error != 0) {
    {
      MutexLock lock(mu_);
      connecting_ = false;
      fd_.Reset();
      fd_session_ = 0;
      if (session != session_) return;
      last_error_ = error;
      last_error_msg_ = "connect failed";
      session_ = 0;
      ChangeState(wsClosed);
    }
    FireStateChanges();
    Fire(OnSessionConnected, session, error);
    return;
  }
  {
    MutexLock lock(mu_);
    connecting_ = false;
    if (session != session_) return;  // closed meanwhile; the close message follows
    ChangeState(wsConnected);
  }
  FireStateChanges();
  Fire(OnSessionConnected, session, 0);
}

void TAsyncSocket::DataAvailable() {
  int fd;
  SessionId session;
  bool current;
  {
    MutexLock lock(mu_);
    fd = fd_.get();
    session = fd_session_;
    current = session == session_ && state_ == wsConnected;
  }
  int waiting = 0;
  if (ioctl(fd, FIONREAD, &waiting) != 0) waiting = 0;
  if (waiting == 0) {
    char byte;
    ssize_t n = recv(fd, &byte, 1, MSG_PEEK);
    if (n == 0) {
      CloseDescriptor(0, false);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      CloseDescriptor(errno, false);
    }
    return;
  }
  uint64_t before;
  {
    MutexLock lock(mu_);
    before = rcvd_count_;
  }
  if (current) Fire(OnDataAvailable, session, 0);
  // Whatever the handler left (or data of a session that has ended) is
  // thrown away, so a handler that reads nothing cannot make us spin.
  MutexLock lock(mu_);
  if (fd_.get() == fd && rcvd_count_ == before) {
    char sink[4096];
    ssize_t n = recv(fd, sink, sizeof(sink), 0);
    if (n > 0 && fd_session_ == session_) rcvd_count_ += static_cast<uint64_t>(n);
  }
}

void TAsyncSocket::TryToSend() {
  SessionId session;
  bool all_sent = false;
  int error = 0;
  {
    MutexLock lock(mu_);
    if (!fd_.valid() || connecting_ || tls_handshaking_ || fd_session_ != session_ ||
        pending_.empty())
      return;
    session = fd_session_;
    if (tls_) {
      TlsSession::Status status = tls_->Write(&pending_);
      all_sent = status == TlsSession::kDone;
      if (status == TlsSession::kFailed) {
        error = EPROTO;
        last_error_ = error;
        last_error_msg_ = tls_error_ = tls_->Error();
      }
    } else {
      ssize_t n;
      do {
        n = send(fd_.get(), pending_.data(), pending_.size(), MSG_NOSIGNAL);
      } while (n < 0 && errno == EINTR);
      if (n > 0) {
        pending_.erase(0, static_cast<size_t>(n));
        all_sent = pending_.empty();
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        error = errno;
        last_error_ = error;
        last_error_msg_ = "send or sendto failed";
      }
    }
  }
  if (error != 0) {
    CloseDescriptor(error, false);
    return;
  }
  if (all_sent) Fire(OnDataSent, session, 0);
}

void TAsyncSocket::BeginTls(SessionId session) {
  int error = 0;
  {
    MutexLock lock(mu_);
    if (!fd_.valid() || fd_session_ != session || session != session_ || tls_) return;
    std::string why;
    tls_ = TlsSession::Create(fd_.get(), tls_host_, &why);
    if (tls_) {
      tls_handshaking_ = true;
      tls_wants_write_ = true;
      tls_error_.clear();
    } else {
      tls_error_ = why;
      error = EPROTO;
    }
  }
  if (error != 0) {
    Fire(OnTlsDone, session, error);
    return;
  }
  ContinueTls();
}

void TAsyncSocket::ContinueTls() {
  SessionId session;
  TlsSession::Status status;
  {
    MutexLock lock(mu_);
    if (!tls_ || !tls_handshaking_) return;
    session = fd_session_;
    status = tls_->Handshake();
    if (status == TlsSession::kWantRead || status == TlsSession::kWantWrite) {
      tls_wants_write_ = status == TlsSession::kWantWrite;
      return;
    }
    tls_handshaking_ = false;
    if (status != TlsSession::kDone) {
      // Nothing more can pass on this connection; the owner closes it.
      tls_error_ = tls_->Error();
      last_error_ = EPROTO;
      last_error_msg_ = tls_error_;
      tls_.reset();
    }
    if (session != session_) return;
  }
  Fire(OnTlsDone, session, status == TlsSession::kDone ? 0 : EPROTO);
  // Text the server sent right after the handshake may already wait.
  if (status == TlsSession::kDone) TlsDataAvailable();
}

void TAsyncSocket::TlsDataAvailable() {
  // A bounded piece at a time: what the handlers leave unread is dropped
  // before the next piece is read, so a flooding peer never fills memory.
  for (;;) {
    SessionId session;
    TlsSession::Status status;
    bool current;
    {
      MutexLock lock(mu_);
      if (!tls_ || tls_handshaking_ || !fd_.valid()) return;
      session = fd_session_;
      status = tls_->Read(&tls_in_,
                          TlsSession::kMaxRead - std::min(tls_in_.size(), TlsSession::kMaxRead));
      if (status == TlsSession::kFailed) {
        last_error_ = EPROTO;
        last_error_msg_ = tls_error_ = tls_->Error();
      }
      current = session == session_ && state_ == wsConnected;
    }
    while (current) {
      size_t before;
      {
        MutexLock lock(mu_);
        before = tls_in_.size();
      }
      if (before == 0) break;
      Fire(OnDataAvailable, session, 0);
      MutexLock lock(mu_);
      // What a handler leaves unread is dropped, as on a plain connection.
      if (tls_in_.size() == before) tls_in_.clear();
      current = session == session_ && fd_session_ == session;
    }
    {
      MutexLock lock(mu_);
      if (!current) tls_in_.clear();
    }
    if (status == TlsSession::kClosed) CloseDescriptor(0, false);
    if (status == TlsSession::kFailed) CloseDescriptor(EPROTO, false);
    if (status != TlsSession::kMore || !current) return;
  }
}

void TAsyncSocket::CloseDescriptor(int error, bool report_even_if_ended) {
  SessionId session;
  bool report;
  {
    MutexLock lock(mu_);
    if (!fd_.valid()) return;
    session = fd_session_;
    if (tls_ && error == 0) tls_->Shutdown();
    tls_.reset();
    tls_in_.clear();
    tls_handshaking_ = false;
    if (!fd_.Close() && error == 0) {
      last_error_ = errno;
      last_error_msg_ = "closesocket failed";
    }
    fd_session_ = 0;
    connecting_ = false;
    report = report_even_if_ended;
    if (session == session_) {
      // Closed by the peer or by a failure: the session ends here.
      report = true;
      session_ = 0;
      pending_.clear();
      if (error != 0) last_error_ = error;
      if (error == 0) last_error_msg_ = "ClosedByRemote";
      ChangeState(wsClosed);
    }
  }
  FireStateChanges();
  if (report) Fire(OnSessionClosed, session, error);
}

}  // namespace sl
