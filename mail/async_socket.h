// TAsyncSocket: an event-driven TCP client socket served by a worker thread.
//
// Requests (Connect, SendText, Close) return at once; their results come back
// later as events raised on the socket's worker thread. The worker owns the
// descriptor: it waits in poll(2) on the socket and on the wake-up signal of
// its message queue, connects, sends the buffered data, and reports the
// connection, arriving data, data sent and the close.
//
// Every connection gets a session number (returned by Connect and passed to
// each event), so a handler can tell events of an earlier, already closed
// connection from those of the current one. Events of a session are only
// raised while it is current; Close ends the current session at once.
//
// StartTls turns the current connection into a TLS session (the server's
// certificate and name are verified, see TlsSession); from OnTlsDone on,
// SendText and Receive carry plain text through it.
//
// Thread safety: requests may come from any thread; the event handlers must
// be set before the first request. Receive is meant to be called from
// OnDataAvailable, and a data-available handler must read what is waiting
// (what it leaves is discarded).
#ifndef SL_MAIL_ASYNC_SOCKET_H_
#define SL_MAIL_ASYNC_SOCKET_H_

#include <netinet/in.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "core/unique_fd.h"
#include "mail/msg_queue.h"
#include "mail/tls_session.h"
#include "net/socket_errors.h"

namespace sl {

enum TAsyncSocketState {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsConnected,
  wsListening,
  wsClosed,
};

enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };

// Name resolution as the socket does it before connecting; each throws
// ESocketError with the text of the failure.
in_addr SocketResolveHost(const std::string& host);
uint16_t SocketResolvePort(const std::string& port, const std::string& proto);
int SocketResolveProto(const std::string& proto);

class TAsyncSocket {
 public:
  using SessionId = uint32_t;

  TAsyncSocket();
  // Closes the connection and stops the worker thread; no event is raised
  // from then on. Must not be called from one of the socket's own event
  // handlers.
  ~TAsyncSocket();
  TAsyncSocket(const TAsyncSocket&) = delete;
  TAsyncSocket& operator=(const TAsyncSocket&) = delete;

  // Properties; the address parts can only change while the socket is
  // closed ("Cannot change Addr if not closed" and so on).
  void SetAddr(const std::string& addr);
  void SetPort(const std::string& port);
  void SetProto(const std::string& proto);
  void SetLocalAddr(const std::string& addr);
  void SetLocalPort(const std::string& port);
  void SetLinger(TSocketLingerOnOff on_off, int timeout_seconds);
  std::string Addr() const;
  std::string Port() const;
  std::string Proto() const;
  std::string LocalAddr() const;
  std::string LocalPort() const;
  int PortNum() const;         // the remote port of the last connect
  uint64_t RcvdCount() const;  // bytes received on the current session
  int LastError() const;
  std::string LastErrorMsg() const;
  TAsyncSocketState State() const;

  // Resolves a host name on the calling thread (blocking) and raises
  // OnDnsLookupDone with the result; returns the same error number.
  int DnsLookup(const std::string& host);
  std::string DnsResult() const;  // first address as text
  std::vector<std::string> DnsResultList() const;

  // Starts connecting to Addr:Port. Throws ESocketError when the socket
  // is in use, lacks a part of the address, or the address does not
  // resolve. OnSessionConnected follows on the worker thread.
  SessionId Connect();
  // Appends data to the outgoing buffer; OnDataSent follows once the whole
  // buffer has gone out. Returns the byte count, or -1 when not connected.
  int SendText(std::string_view data);
  // Reads up to size bytes that have arrived; -1 when not connected.
  int Receive(void* buffer, int size);
  // Starts a TLS handshake on the connected session, verifying the
  // server's certificate for host. OnTlsDone follows on the worker thread
  // with 0, or an error number and TlsError() telling why.
  void StartTls(const std::string& host);
  std::string TlsError() const;
  // True once the current session's TLS handshake has succeeded.
  bool Encrypted() const;
  // True when the current session's peer is a loopback address (127.0.0.0/8,
  // ::1 or an IPv4-mapped loopback address).
  bool PeerIsLoopback() const;
  // Ends the current session; the worker closes the descriptor and raises
  // OnSessionClosed for it. Does nothing on a closed socket.
  void Close();

  std::function<void(int error)> OnDnsLookupDone;
  std::function<void(SessionId, int error)> OnSessionConnected;
  std::function<void(SessionId, int error)> OnSessionClosed;
  std::function<void(SessionId, int error)> OnDataAvailable;
  std::function<void(SessionId, int error)> OnDataSent;
  std::function<void(SessionId, int error)> OnTlsDone;
  std::function<void(const std::exception&)> OnBgException;
  std::function<void(TAsyncSocketState old_state, TAsyncSocketState new_state)> OnChangeState;

 private:
  void EnsureWorker();
  void WorkerLoop();
  void HandleMessage(const TClassMsg& msg);
  void HandleReadiness(short revents);
  void OpenAndConnect(SessionId session);
  void FinishConnect();
  void TryToSend();
  void DataAvailable();
  void BeginTls(SessionId session);
  void ContinueTls();
  void TlsDataAvailable();
  // Closes the worker's descriptor; reports the close with error when the
  // session was still current (peer close or failure).
  void CloseDescriptor(int error, bool report_even_if_ended);
  void ChangeState(TAsyncSocketState new_state) REQUIRES(mu_);
  void FireStateChanges();
  // Runs an event handler on the worker thread, passing exceptions to
  // OnBgException.
  void Fire(const std::function<void(SessionId, int)>& handler, SessionId session, int error);

  mutable Mutex mu_;
  std::string addr_ GUARDED_BY(mu_);
  std::string port_ GUARDED_BY(mu_);
  std::string proto_ GUARDED_BY(mu_) = "tcp";
  std::string local_addr_ GUARDED_BY(mu_) = "0.0.0.0";
  std::string local_port_ GUARDED_BY(mu_) = "0";
  TSocketLingerOnOff linger_ GUARDED_BY(mu_) = wsLingerNoSet;
  int linger_timeout_ GUARDED_BY(mu_) = 0;
  int port_num_ GUARDED_BY(mu_) = 0;
  uint64_t rcvd_count_ GUARDED_BY(mu_) = 0;
  int last_error_ GUARDED_BY(mu_) = 0;
  std::string last_error_msg_ GUARDED_BY(mu_);
  TAsyncSocketState state_ GUARDED_BY(mu_) = wsClosed;
  std::vector<std::pair<TAsyncSocketState, TAsyncSocketState>> state_changes_ GUARDED_BY(mu_);
  std::string dns_result_ GUARDED_BY(mu_);
  std::vector<std::string> dns_result_list_ GUARDED_BY(mu_);
  SessionId session_ GUARDED_BY(mu_) = 0;       // current session, 0 when none
  SessionId last_session_ GUARDED_BY(mu_) = 0;  // counter
  sockaddr_in remote_ GUARDED_BY(mu_) = {};
  sockaddr_in local_ GUARDED_BY(mu_) = {};
  bool bind_local_ GUARDED_BY(mu_) = false;
  int sock_type_ GUARDED_BY(mu_) = 0;
  int sock_proto_ GUARDED_BY(mu_) = 0;
  std::string pending_ GUARDED_BY(mu_);  // outgoing data
  UniqueFd fd_;                          // written only by the worker thread
  SessionId fd_session_ GUARDED_BY(mu_) = 0;
  bool connecting_ GUARDED_BY(mu_) = false;
  bool shutting_down_ GUARDED_BY(mu_) = false;
  // TLS on the current descriptor (worker-owned; guarded by mu_).
  std::unique_ptr<TlsSession> tls_ GUARDED_BY(mu_);
  std::string tls_host_ GUARDED_BY(mu_);
  std::string tls_error_ GUARDED_BY(mu_);
  bool tls_handshaking_ GUARDED_BY(mu_) = false;
  bool tls_wants_write_ GUARDED_BY(mu_) = false;  // the session waits for the socket to take data
  std::string tls_in_ GUARDED_BY(mu_);            // decrypted bytes not yet received

  std::unique_ptr<TMsgQueue> queue_;  // the worker's queue
  std::thread worker_;
};

}  // namespace sl

#endif
