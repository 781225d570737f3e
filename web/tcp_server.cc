#include "web/tcp_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <list>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/unique_fd.h"
#include "core/wake_signal.h"

namespace sl {

namespace {

constexpr uint64_t kWakeTag = ~0ULL;  // epoll tag of the stop signal
// After the sockets of the connections still running at a stop have been
// shut down, the stop waits this much longer for their threads.
constexpr auto kShutdownGrace = std::chrono::milliseconds(1000);
// While the stop waits, connections waiting for a request are cut this
// often.
constexpr auto kStopStep = std::chrono::milliseconds(100);

// Errors of accept() after which the listening socket is still good.
bool AcceptErrorIsPassing(int error_code) {
  switch (error_code) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM: return true;
    default: return false;
  }
}

bool AcceptErrorIsShortage(int error_code) {
  return error_code == EMFILE || error_code == ENFILE || error_code == ENOBUFS ||
         error_code == ENOMEM;
}

}  // namespace

// Everything the workers of one activation share. Fixed at activation but
// for the part under `mutex`.
struct TTCPServer::Core {
  int32_t max_connections = 0;
  int32_t max_per_address = 0;
  int32_t read_timeout = 0;
  int32_t write_timeout = 0;
  int32_t linger_time = 0;
  int32_t idle_timeout = 0;
  size_t max_idle = 0;
  std::string refusal_text;
  RefusalHook refusal_reply;
  ConnectionHook on_connect;
  ConnectionHook on_execute;
  ConnectionHook on_disconnect;
  ExceptionHook on_exception;
  ListenExceptionHook on_listen_exception;
  ThreadStartHook thread_starter;
  std::vector<int> listen_fds;  // owned by the bindings
  WakeSignal wake;              // signalled once the server stops

  Mutex mutex;
  CondVar changed;  // signalled when workers, waiting or live change
  bool stopping GUARDED_BY(mutex) = false;
  size_t workers GUARDED_BY(mutex) = 0;  // started and not yet ended
  // Workers that may use the listening sockets: waiting for a connection
  // or accepting one. The stop closes the sockets only when none is left.
  size_t waiting GUARDED_BY(mutex) = 0;
  std::vector<bool> broken GUARDED_BY(mutex);  // listening sockets that failed for good
  std::list<TTCPConnection*> live GUARDED_BY(mutex);
  std::unordered_map<std::string, int32_t> per_address GUARDED_BY(mutex);

  void Report(const std::exception& e) const {
    if (!on_listen_exception) return;
    try {
      on_listen_exception(e);
    } catch (...) {
      // A failing report must not end the worker.
    }
  }

  // Waits for a connection on the listening sockets through ep and
  // accepts it. Returns the new descriptor, or -1 (stop, passing failure,
  // another worker was quicker); timed_out tells that nothing came for
  // idle_timeout.
  // The peer address of a connection taken goes into `peer`.
  int Accept(int ep, bool& timed_out, sockaddr_in& peer) EXCLUDES(mutex);
  // Answers a connection beyond the limits and ends it, never waiting for
  // the peer; the descriptor is closed by its owner.
  void Refuse(int fd) const;
  // An epoll descriptor that waits on the working listening sockets (each
  // wakes one waiting worker, not all) and on the stop's wake signal;
  // invalid when it cannot be made.
  UniqueFd OpenEpoll() const REQUIRES(mutex);
  // A new connection from address would pass a cap: all connections or
  // those of one address.
  bool OverLimits(const std::string& address) const REQUIRES(mutex);
};

UniqueFd TTCPServer::Core::OpenEpoll() const {
  UniqueFd epoll_fd(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_fd.valid()) return epoll_fd;
  for (size_t i = 0; i < listen_fds.size(); ++i) {
    if (broken[i]) continue;
    epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLEXCLUSIVE;
    ev.data.u64 = i;
    epoll_ctl(epoll_fd.get(), EPOLL_CTL_ADD, listen_fds[i], &ev);
  }
  epoll_event stop = {};
  stop.events = EPOLLIN;
  stop.data.u64 = kWakeTag;
  epoll_ctl(epoll_fd.get(), EPOLL_CTL_ADD, wake.fd(), &stop);
  return epoll_fd;
}

bool TTCPServer::Core::OverLimits(const std::string& address) const {
  if (max_connections > 0 && live.size() >= static_cast<size_t>(max_connections)) return true;
  auto same_address = per_address.find(address);
  return max_per_address > 0 && same_address != per_address.end() &&
         same_address->second >= max_per_address;
}

int TTCPServer::Core::Accept(int ep, bool& timed_out, sockaddr_in& peer) {
  timed_out = false;
  epoll_event events[4];
  int n = epoll_wait(ep, events, 4, idle_timeout > 0 ? idle_timeout : -1);
  if (n == 0) timed_out = true;
  if (n <= 0) return -1;
  for (int i = 0; i < n; ++i) {
    if (events[i].data.u64 == kWakeTag) return -1;
  }
  const size_t index = static_cast<size_t>(events[0].data.u64);
  socklen_t peer_size = sizeof(peer);
  int fd = accept4(listen_fds[index], reinterpret_cast<sockaddr*>(&peer), &peer_size, SOCK_CLOEXEC);
  if (fd >= 0) return fd;
  int error_code = errno;
  if (AcceptErrorIsShortage(error_code)) {
    // Out of descriptors or memory: give the connections a moment to end
    // instead of spinning on the pending one.
    Report(ESocketError(error_code));
    pollfd stop = {wake.fd(), POLLIN, 0};
    poll(&stop, 1, 100);
  } else if (!AcceptErrorIsPassing(error_code)) {
    // The listening socket itself is broken: this binding is done.
    epoll_ctl(ep, EPOLL_CTL_DEL, listen_fds[index], nullptr);
    bool first;
    {
      MutexLock lock(mutex);
      first = !broken[index];
      broken[index] = true;
    }
    if (first) Report(ESocketError(error_code));
  }
  return -1;
}

void TTCPServer::Core::Refuse(int fd) const {
  std::string reply = refusal_reply ? refusal_reply() : refusal_text;
  if (!reply.empty()) send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  shutdown(fd, SHUT_WR);
  // What has arrived is taken, so that the close does not reset the
  // connection under the reply; nothing is waited for.
  char scratch[4096];
  for (int i = 0; i < 16; ++i) {
    if (recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT) <= 0) break;
  }
}

TTCPServer::TTCPServer() = default;

TTCPServer::~TTCPServer() {
  try {
    SetActive(false);
  } catch (const std::exception&) {
    // Connections outlived the stop's limits; they keep the core alive.
  }
}

void TTCPServer::SetActive(bool active) {
  MutexLock lock(control_mutex_);
  if (active == active_.load()) return;
  if (active) {
    Start();
  } else {
    Stop();
  }
}

size_t TTCPServer::ConnectionCount() const {
  std::shared_ptr<Core> core;
  {
    MutexLock lock(core_mutex_);
    core = core_;
  }
  if (!core) return 0;
  MutexLock lock(core->mutex);
  return core->live.size();
}

void TTCPServer::Start() {
  if (Bindings.Empty()) {
    TSocketHandle& binding = Bindings.Add();
    binding.IP = "0.0.0.0";
    binding.Port = DefaultPort;
  }
  auto core = std::make_shared<Core>();
  core->max_connections = std::max(MaxConnections, 0);
  core->max_per_address = std::max(MaxConnectionsPerAddress, 0);
  core->read_timeout = ReadTimeout;
  core->write_timeout = WriteTimeout;
  core->linger_time = LingerTime;
  core->idle_timeout = std::max(IdleThreadTimeout, 0);
  core->max_idle = static_cast<size_t>(std::max(MaxIdleThreads, 0));
  core->refusal_text = MaxConnectionReply;
  core->refusal_reply = RefusalReply;
  core->on_connect = OnConnect;
  core->on_execute = OnExecute;
  core->on_disconnect = OnDisconnect;
  core->on_exception = OnException;
  core->on_listen_exception = OnListenException;
  core->thread_starter = ThreadStarter;
  if (!core->wake.Open()) throw ESocketError(errno);
  try {
    for (size_t i = 0; i < Bindings.Count(); ++i) {
      TSocketHandle& binding = Bindings[i];
      binding.AllocateSocket(SOCK_STREAM);
      if (ReuseSocket != TReuseSocket::False) {
        binding.SetSockOpt(SOL_SOCKET, SO_REUSEADDR, 1);
      }
      // Accepted sockets take TCP_NODELAY over from the listening one.
      if (NoDelay) binding.SetSockOpt(IPPROTO_TCP, TCP_NODELAY, 1);
      // A worker then wakes once per connection, with its request already
      // there, instead of once for the accept and again for the request.
      if (DeferAccept > 0) binding.SetSockOpt(IPPROTO_TCP, TCP_DEFER_ACCEPT, DeferAccept);
      binding.Bind();
      binding.Listen(ListenQueue);
      // Several workers wait on it; the ones that lose the race for a
      // connection must not block in accept().
      int fd = binding.Handle();
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      core->listen_fds.push_back(fd);
    }
    {
      MutexLock lock(core->mutex);  // no worker shares the core yet
      core->broken.assign(core->listen_fds.size(), false);
      core->workers = 1;
      core->waiting = 1;
    }
    if (!StartWorker(core)) throw ETCPError("Could not start a connection thread.");
  } catch (...) {
    // Undo whatever was opened: the server stays inactive.
    for (size_t i = 0; i < Bindings.Count(); ++i) Bindings[i].CloseSocket();
    throw;
  }
  {
    MutexLock lock(core_mutex_);
    core_ = std::move(core);
  }
  active_ = true;
}

void TTCPServer::Stop() {
  std::shared_ptr<Core> core;
  {
    MutexLock lock(core_mutex_);
    core = core_;
  }
  Core& c = *core;
  {
    MutexLock lock(c.mutex);
    c.stopping = true;
  }
  c.wake.Signal();
  {
    // The waiting workers see the stop at once and run no hook on the way
    // out, so this wait is short.
    MutexLock lock(c.mutex);
    c.changed.Wait(c.mutex, [&c] {
      c.mutex.AssertHeld();
      return c.waiting == 0;
    });
  }
  for (size_t i = 0; i < Bindings.Count(); ++i) Bindings[i].CloseSocket();

  // A connection's descriptor stays open until it has left `live`, so
  // shutting it down here can never hit a reused descriptor.
  const auto shut_down = [&c](bool idle_only) {
    c.mutex.AssertHeld();  // called with the lock held
    for (TTCPConnection* connection : c.live) {
      if (!idle_only || connection->Idle()) {
        shutdown(connection->Socket().Handle(), SHUT_RDWR);
      }
    }
  };
  bool all_ended;
  {
    MutexLock lock(c.mutex);
    // Requests in progress may finish; connections waiting for one are cut.
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(std::max(TerminateWaitTime, 0));
    for (;;) {
      shut_down(true);
      auto now = std::chrono::steady_clock::now();
      if (c.live.empty() || now >= end) break;
      c.changed.WaitUntil(
          c.mutex, now + std::min<std::chrono::steady_clock::duration>(kStopStep, end - now));
    }
    if (!c.live.empty()) {
      shut_down(false);
      c.changed.WaitFor(c.mutex, kShutdownGrace, [&c] {
        c.mutex.AssertHeld();
        return c.live.empty();
      });
    }
    all_ended = c.live.empty();
    if (all_ended) {
      c.changed.WaitFor(c.mutex, kShutdownGrace, [&c] {
        c.mutex.AssertHeld();
        return c.workers == 0;
      });
    }
  }
  active_ = false;
  if (!all_ended) throw ETCPError("Terminate Thread Timeout");
}

// The caller has counted the new worker in `workers` and `waiting`.
bool TTCPServer::StartWorker(const std::shared_ptr<Core>& core) {
  Core& c = *core;
  try {
    std::function<void()> body = [core] { RunWorker(core); };
    std::thread thread =
        c.thread_starter ? c.thread_starter(std::move(body)) : std::thread(std::move(body));
    if (!thread.joinable()) throw ETCPError("Could not start a connection thread.");
    thread.detach();
    return true;
  } catch (const std::exception& e) {
    {
      MutexLock lock(c.mutex);
      --c.workers;
      --c.waiting;
      c.changed.SignalAll();
    }
    c.Report(e);
    return false;
  }
}

void TTCPServer::RunWorker(std::shared_ptr<Core> core) {
  Core& c = *core;
  c.mutex.Lock();  // held but around the accept, the refusal and the connection
  UniqueFd epoll_fd = c.stopping ? UniqueFd() : c.OpenEpoll();  // closed when the worker ends
  const int ep = epoll_fd.get();
  // A worker is counted in `waiting` from the moment it is meant to wait
  // (its starter counted it), so that workers ending their connections
  // together, and those just starting, see each other.
  if (ep < 0 && --c.waiting == 0) c.changed.SignalAll();
  while (ep >= 0) {
    if (c.stopping) {
      if (--c.waiting == 0) c.changed.SignalAll();
      break;
    }
    c.mutex.Unlock();
    bool timed_out = false;
    sockaddr_in peer = {};
    int fd = c.Accept(ep, timed_out, peer);
    std::unique_ptr<TTCPConnection> connection;
    if (fd >= 0) {
      UniqueFd accepted(fd);
      try {
        connection = std::make_unique<TTCPConnection>(accepted.Release(), peer);
      } catch (const std::exception& e) {
        c.Report(e);
      }
    }
    c.mutex.Lock();
    if (c.stopping) continue;  // a connection taken just now closes unserved
    if (!connection) {
      if (timed_out && c.waiting > 1) {  // others wait; this one is not needed
        --c.waiting;
        break;
      }
      continue;
    }
    --c.waiting;

    const std::string address = connection->PeerIP();
    if (c.OverLimits(address)) {
      ++c.waiting;
      c.mutex.Unlock();
      c.Refuse(connection->Socket().Handle());
      connection.reset();
      c.mutex.Lock();
      continue;
    }
    c.live.push_back(connection.get());
    const auto self = std::prev(c.live.end());
    ++c.per_address[address];
    // Called on this thread, from the hooks or from the close below.
    connection->OnAnswered = [&c, &address] {
      MutexLock guard(c.mutex);
      auto count = c.per_address.find(address);
      if (--count->second == 0) c.per_address.erase(count);
    };
    // The next connection must find a worker waiting for it; there is
    // room for one more thread than connections, for the refusals.
    const bool spawn = c.waiting == 0 && (c.max_connections == 0 ||
                                          c.workers < static_cast<size_t>(c.max_connections) + 1);
    if (spawn) {
      ++c.workers;
      ++c.waiting;
    }
    c.mutex.Unlock();
    if (spawn) StartWorker(core);

    Serve(c, *connection);
    connection->MarkAnswered();

    c.mutex.Lock();
    c.live.erase(self);
    c.changed.SignalAll();
    if (c.waiting >= c.max_idle) break;  // enough wait already
    ++c.waiting;
    c.mutex.Unlock();
    connection.reset();  // closes the descriptor, outside the lock
    c.mutex.Lock();
  }
  --c.workers;
  c.changed.SignalAll();
  c.mutex.Unlock();
}

void TTCPServer::Serve(Core& c, TTCPConnection& connection) {
  connection.ReadTimeout = c.read_timeout;
  connection.WriteTimeout = c.write_timeout;
  connection.LingerTime = c.linger_time;
  auto run = [&](const ConnectionHook& hook) {
    if (!hook) return true;
    try {
      hook(connection);
      return true;
    } catch (const std::exception& e) {
      if (c.on_exception) {
        try {
          c.on_exception(connection, e);
        } catch (...) {
          // Nothing more can be done for this connection.
        }
      }
    } catch (...) {
      // Not an error of ours; the connection ends all the same.
    }
    return false;
  };
  if (run(c.on_connect) && connection.Connected()) {
    run(c.on_execute);
  }
  run(c.on_disconnect);
  connection.Disconnect();
}

}  // namespace sl
