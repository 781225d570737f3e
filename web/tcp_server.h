// TTCPServer: listens on its `Bindings` and serves every accepted
// connection on a thread of its own.
//
// There is no listener thread that hands connections over: the worker
// threads wait on the listening sockets themselves, and the one that takes
// a connection serves it, calling `OnExecute`, and closes it when the hook
// returns. Whenever a worker takes a connection and no other one is left
// waiting, it starts one more, so the next connection never waits for a
// running one; a worker that has waited IdleThreadTimeout in vain leaves
// while others still wait. With MaxConnections set, a connection beyond it,
// or beyond MaxConnectionsPerAddress from one client address, is answered
// with the refusal reply and closed at once by the worker that accepted
// it, without a thread of its own.
//
// Stopping lets running connections finish for TerminateWaitTime, then
// shuts their sockets down and waits one more second; whatever is still
// running then is left behind with the state it needs, so neither the stop
// nor the destructor ever waits without a limit. The server's state lives
// in a shared core that every worker holds.
#ifndef SL_WEB_TCP_SERVER_H_
#define SL_WEB_TCP_SERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "net/socket_handle.h"
#include "web/tcp_connection.h"

namespace sl {

enum class TReuseSocket { OSDependent, True, False };

class TTCPServer {
 public:
  using ConnectionHook = std::function<void(TTCPConnection&)>;
  using ExceptionHook = std::function<void(TTCPConnection&, const std::exception&)>;
  using ListenExceptionHook = std::function<void(const std::exception&)>;
  // Starts a thread running body; throws when no thread can be started.
  using ThreadStartHook = std::function<std::thread(std::function<void()>)>;
  // The bytes written to a refused connection.
  using RefusalHook = std::function<std::string()>;

  TTCPServer();
  // Stops the server (bounded, as SetActive(false)); never throws.
  ~TTCPServer();
  TTCPServer(const TTCPServer&) = delete;
  TTCPServer& operator=(const TTCPServer&) = delete;

  // true: binds and listens on every binding (one binding on all addresses
  // and DefaultPort when there is none) and starts the first worker; a
  // bind or listen failure raises ESocketError (a port in use with
  // kAddressInUseText) and leaves the server inactive. false: stops taking
  // connections, lets the live ones run for TerminateWaitTime ms, then
  // shuts their sockets down and waits one more second; raises
  // ETCPError("Terminate Thread Timeout") when some are still running, and
  // is inactive afterwards in every case. Call from one controlling
  // thread, never from a hook; properties are read at activation, and
  // Bindings stay as they are while active.
  void SetActive(bool active);
  bool Active() const { return active_.load(); }

  // Live connections (refused ones and waiting workers are not counted).
  size_t ConnectionCount() const;

  int32_t DefaultPort = 0;
  TSocketHandles Bindings{&DefaultPort};
  // Backlog of listen(). Small for bursts: once it is full the kernel drops
  // new connection attempts, which the clients retry a second later.
  int32_t ListenQueue = 15;
  int32_t MaxConnections = 0;            // 0: no limit
  int32_t MaxConnectionsPerAddress = 0;  // 0: no limit
  // Written to a refused connection: RefusalReply() when set, else these
  // bytes (empty: none).
  std::string MaxConnectionReply;
  RefusalHook RefusalReply;
  TReuseSocket ReuseSocket = TReuseSocket::OSDependent;
  int32_t TerminateWaitTime = 5000;  // ms
  int32_t ReadTimeout = 0;           // ms, given to every connection; 0: none
  int32_t WriteTimeout = 0;          // ms, given to every connection; 0: none
  int32_t LingerTime = 1000;         // ms, given to every connection
  bool NoDelay = true;               // TCP_NODELAY on accepted sockets (set on the listener)
  // Seconds the kernel holds a new connection back until its first bytes
  // arrive (TCP_DEFER_ACCEPT); one that sends nothing is handed over after
  // that time all the same. 0: every connection is taken at once.
  int32_t DeferAccept = 0;
  // Workers waiting for a connection: a worker whose connection ended goes
  // back to wait unless MaxIdleThreads already wait; one that waited
  // IdleThreadTimeout ms in vain leaves unless it is the last one waiting.
  int32_t MaxIdleThreads = 64;
  int32_t IdleThreadTimeout = 30000;  // ms

  // Called on the worker thread. OnExecute serves the connection; the
  // connection is closed after it returns. An exception leaving OnConnect,
  // OnExecute or OnDisconnect goes to OnException and ends the connection.
  ConnectionHook OnConnect;
  ConnectionHook OnExecute;
  ConnectionHook OnDisconnect;
  ExceptionHook OnException;
  // Called on a worker thread with a failure around an accept: a listening
  // socket that broke (that binding accepts nothing more until the server
  // is restarted), a shortage of descriptors, a worker that could not
  // start.
  ListenExceptionHook OnListenException;
  // Starts the worker threads (they are detached); empty: std::thread.
  ThreadStartHook ThreadStarter;

 private:
  struct Core;

  void Start() REQUIRES(control_mutex_);
  void Stop() REQUIRES(control_mutex_);
  // Starts one more worker on core; false (reported) when none could start.
  static bool StartWorker(const std::shared_ptr<Core>& core);
  static void RunWorker(std::shared_ptr<Core> core);
  static void Serve(Core& core, TTCPConnection& connection);

  Mutex control_mutex_;  // one SetActive at a time; taken before core_mutex_
  std::atomic<bool> active_{false};
  // The current (or last) activation; workers hold it too. Set by the
  // start, read by the stop and ConnectionCount, each under core_mutex_.
  mutable Mutex core_mutex_;
  std::shared_ptr<Core> core_ GUARDED_BY(core_mutex_);
};

}  // namespace sl

#endif
