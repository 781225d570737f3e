#include "web/tcp_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

namespace sl {

namespace {

// Owns a plain file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

timeval ToTimeval(int32_t ms) {
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  return tv;
}

std::string FileNotFoundText(const std::string& file_name) {
  return "File \"" + file_name + "\" not found";
}

// Errors of accept() after which the listener goes on.
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
    case ENOMEM:
      return true;
    default:
      return false;
  }
}

bool AcceptErrorIsShortage(int error_code) {
  return error_code == EMFILE || error_code == ENFILE ||
         error_code == ENOBUFS || error_code == ENOMEM;
}

}  // namespace

// ---------------------------------------------------------------------------
// TTCPConnection

TTCPConnection::TTCPConnection(int fd) {
  socket_.Adopt(fd);
  socket_.UpdateBindingLocal();
  socket_.UpdateBindingPeer();
}

TTCPConnection::~TTCPConnection() = default;

void TTCPConnection::CheckConnected() const {
  if (!connected_) throw ENotConnected();
}

void TTCPConnection::Disconnect() {
  if (!connected_) return;
  if (buffering_ && !out_.empty() && !peer_closed_) {
    try {
      SendAll(out_.data(), out_.size());
    } catch (const std::exception&) {
      // The peer is gone; there is nobody left to tell.
    }
  }
  buffering_ = false;
  out_.clear();
  connected_ = false;
  int fd = socket_.Handle();
  shutdown(fd, SHUT_WR);
  // Unread input makes close() reset the connection, which can cost the
  // peer the end of our reply; take what has arrived, without waiting.
  char scratch[4096];
  for (int i = 0; i < 256; ++i) {
    if (recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT) <= 0) break;
  }
  shutdown(fd, SHUT_RD);
  in_begin_ = in_end_ = 0;
}

void TTCPConnection::ApplyTimeouts(int32_t read_timeout_ms) {
  read_timeout_ms = std::max(read_timeout_ms, 0);
  if (read_timeout_ms != applied_read_timeout_) {
    timeval tv = ToTimeval(read_timeout_ms);
    if (setsockopt(socket_.Handle(), SOL_SOCKET, SO_RCVTIMEO, &tv,
                   sizeof(tv)) != 0) {
      throw ESocketError(errno);
    }
    applied_read_timeout_ = read_timeout_ms;
  }
  int32_t write_timeout_ms = std::max(WriteTimeout, 0);
  if (write_timeout_ms != applied_write_timeout_) {
    timeval tv = ToTimeval(write_timeout_ms);
    if (setsockopt(socket_.Handle(), SOL_SOCKET, SO_SNDTIMEO, &tv,
                   sizeof(tv)) != 0) {
      throw ESocketError(errno);
    }
    applied_write_timeout_ = write_timeout_ms;
  }
}

bool TTCPConnection::Fill(int32_t timeout_ms) {
  if (peer_closed_) return false;
  ApplyTimeouts(timeout_ms);
  size_t want = static_cast<size_t>(std::max(RecvBufferSize, 1));
  if (in_.size() - in_end_ < want) {
    if (in_begin_ > 0) {
      std::memmove(in_.data(), in_.data() + in_begin_, in_end_ - in_begin_);
      in_end_ -= in_begin_;
      in_begin_ = 0;
    }
    if (in_.size() - in_end_ < want) in_.resize(in_end_ + want);
  }
  ssize_t n;
  do {
    n = recv(socket_.Handle(), in_.data() + in_end_, want, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) throw EReadTimeout();
    throw ESocketError(errno);
  }
  if (n == 0) {
    peer_closed_ = true;
    return false;
  }
  if (ASCIIFilter) {
    for (char* p = in_.data() + in_end_; p < in_.data() + in_end_ + n; ++p) {
      *p = static_cast<char>(*p & 0x7F);
    }
  }
  in_end_ += static_cast<size_t>(n);
  return true;
}

void TTCPConnection::FillTo(size_t count, int32_t timeout_ms) {
  while (InputBufferSize() < count) {
    if (!Fill(timeout_ms)) throw EClosedGracefully();
  }
}

std::string TTCPConnection::Take(size_t count, size_t skip) {
  std::string result(in_.data() + in_begin_, count);
  in_begin_ += count + skip;
  consumed_ += static_cast<int64_t>(count + skip);
  if (in_begin_ == in_end_) in_begin_ = in_end_ = 0;
  return result;
}

std::string TTCPConnection::ReadLn(std::string_view terminator,
                                   int32_t timeout, int32_t max_length) {
  CheckConnected();
  const bool lf = terminator.empty() || terminator == "\n";
  if (terminator.empty()) terminator = "\n";
  if (timeout < 0) timeout = ReadTimeout;
  const size_t max = static_cast<size_t>(
      std::max(max_length < 0 ? MaxLineLength : max_length, 0));
  size_t searched = 0;  // bytes already known to hold no terminator
  for (;;) {
    std::string_view avail(in_.data() + in_begin_, InputBufferSize());
    size_t start =
        searched >= terminator.size() ? searched - terminator.size() + 1 : 0;
    size_t pos = avail.find(terminator, start);
    bool too_long = (pos != std::string_view::npos)
                        ? (max > 0 && pos > max)
                        : (max > 0 && avail.size() > max);
    if (too_long) {
      if (MaxLineAction == TMaxLineAction::Split) return Take(max, 0);
      throw ELineTooLong();
    }
    if (pos != std::string_view::npos) {
      std::string line = Take(pos, terminator.size());
      if (lf && !line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    searched = avail.size();
    if (!Fill(timeout)) throw EClosedGracefully();
  }
}

void TTCPConnection::ReadUntilDelimiter(std::vector<std::string>& lines,
                                        std::string_view delimiter,
                                        size_t max_bytes) {
  const int64_t start = consumed_;
  for (;;) {
    std::string line = ReadLn();
    if (max_bytes > 0 && static_cast<size_t>(consumed_ - start) > max_bytes) {
      throw ELimitExceeded();
    }
    if (line == delimiter) return;
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.') line.erase(0, 1);
    lines.push_back(std::move(line));
  }
}

void TTCPConnection::ReadBytes(std::string& out, size_t count) {
  CheckConnected();
  size_t have = std::min(InputBufferSize(), count);
  out.append(in_.data() + in_begin_, have);
  Take(0, have);
  count -= have;
  while (count > 0) {
    // Large bodies go through the buffer a receive at a time, so a peer
    // that announces much and sends little costs no memory up front.
    FillTo(1, ReadTimeout);
    have = std::min(InputBufferSize(), count);
    out.append(in_.data() + in_begin_, have);
    Take(0, have);
    count -= have;
  }
}

void TTCPConnection::ReadUntilClose(std::string& out, size_t max_bytes) {
  CheckConnected();
  size_t total = 0;
  for (;;) {
    size_t have = InputBufferSize();
    total += have;
    if (max_bytes > 0 && total > max_bytes) throw ELimitExceeded();
    out.append(in_.data() + in_begin_, have);
    Take(0, have);
    if (!Fill(ReadTimeout)) return;
  }
}

void TTCPConnection::ReadIntoStream(std::ostream& out, int64_t byte_count,
                                    bool read_until_disconnect,
                                    int64_t max_bytes) {
  CheckConnected();
  if (byte_count < 0) {
    if (!read_until_disconnect) {
      throw std::invalid_argument("ReadIntoStream: no byte count");
    }
    int64_t total = 0;
    for (;;) {
      size_t have = InputBufferSize();
      total += static_cast<int64_t>(have);
      if (max_bytes > 0 && total > max_bytes) throw ELimitExceeded();
      out.write(in_.data() + in_begin_, static_cast<std::streamsize>(have));
      Take(0, have);
      if (!Fill(ReadTimeout)) return;
    }
  }
  if (max_bytes > 0 && byte_count > max_bytes) throw ELimitExceeded();
  uint64_t remaining = static_cast<uint64_t>(byte_count);
  while (remaining > 0) {
    FillTo(1, ReadTimeout);
    size_t have = static_cast<size_t>(
        std::min<uint64_t>(InputBufferSize(), remaining));
    out.write(in_.data() + in_begin_, static_cast<std::streamsize>(have));
    Take(0, have);
    remaining -= have;
  }
}

void TTCPConnection::SendAll(const char* data, size_t size) {
  ApplyTimeouts(applied_read_timeout_);
  const size_t piece = static_cast<size_t>(std::max(SendBufferSize, 1));
  while (size > 0) {
    ssize_t n = send(socket_.Handle(), data, std::min(size, piece),
                     MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        throw ESocketError(ETIMEDOUT);
      }
      throw ESocketError(errno);
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void TTCPConnection::Write(std::string_view data) {
  CheckConnected();
  if (buffering_) {
    out_.append(data);
  } else {
    SendAll(data.data(), data.size());
  }
}

void TTCPConnection::WriteLine(std::string_view line) {
  CheckConnected();
  if (buffering_) {
    out_.append(line);
    out_.append("\r\n");
    return;
  }
  std::string text;
  text.reserve(line.size() + 2);
  text.append(line);
  text.append("\r\n");
  SendAll(text.data(), text.size());
}

void TTCPConnection::WriteFromStream(std::istream& in, int64_t size,
                                     bool whole_stream) {
  CheckConnected();
  if (whole_stream) {
    in.clear();
    in.seekg(0, std::ios::beg);
  }
  if (size < 0) {
    std::streampos here = in.tellg();
    if (here != std::streampos(-1)) {
      in.seekg(0, std::ios::end);
      std::streampos end = in.tellg();
      in.seekg(here);
      if (end != std::streampos(-1)) size = end - here;
    }
  }
  std::vector<char> piece(static_cast<size_t>(std::max(SendBufferSize, 1)));
  int64_t remaining = size;
  while (size < 0 || remaining > 0) {
    size_t want = piece.size();
    if (size >= 0) want = static_cast<size_t>(std::min<int64_t>(remaining, want));
    in.read(piece.data(), static_cast<std::streamsize>(want));
    size_t got = static_cast<size_t>(in.gcount());
    if (got == 0) {
      if (size < 0) return;  // a stream of unknown size ends here
      throw ETCPError("No data to read.");
    }
    Write(std::string_view(piece.data(), got));
    remaining -= static_cast<int64_t>(got);
  }
}

int64_t TTCPConnection::WriteFromFile(const std::string& file_name) {
  CheckConnected();
  FileDescriptor file(open(file_name.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    int error_code = errno;
    if (error_code == ENOENT || error_code == ENOTDIR) {
      throw ETCPError(FileNotFoundText(file_name));
    }
    throw ETCPError("File \"" + file_name + "\" cannot be opened: " +
                    std::system_category().message(error_code));
  }
  struct stat st;
  if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw ETCPError(FileNotFoundText(file_name));
  }
  const int64_t size = st.st_size;
  const size_t piece = static_cast<size_t>(std::max(SendBufferSize, 1));
  int64_t remaining = size;
  if (buffering_) {
    std::vector<char> buffer(piece);
    while (remaining > 0) {
      ssize_t n = read(file.get(), buffer.data(),
                       static_cast<size_t>(std::min<int64_t>(remaining, piece)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw ETCPError("No data to read.");
      out_.append(buffer.data(), static_cast<size_t>(n));
      remaining -= n;
    }
    return size;
  }
  ApplyTimeouts(applied_read_timeout_);
  off_t offset = 0;
  while (remaining > 0) {
    ssize_t n = sendfile(socket_.Handle(), file.get(), &offset,
                         static_cast<size_t>(std::min<int64_t>(remaining, piece)));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        throw ESocketError(ETIMEDOUT);
      }
      throw ESocketError(errno);
    }
    if (n == 0) throw ETCPError("No data to read.");  // the file shrank
    remaining -= n;
  }
  return size;
}

void TTCPConnection::BeginWriteBuffer() {
  CheckConnected();
  buffering_ = true;
}

void TTCPConnection::FlushWriteBuffer() {
  if (!buffering_) return;
  buffering_ = false;
  std::string data;
  data.swap(out_);
  CheckConnected();
  SendAll(data.data(), data.size());
}

void TTCPConnection::CancelWriteBuffer() {
  buffering_ = false;
  out_.clear();
}

// ---------------------------------------------------------------------------
// TTCPServer

// What the threads of one activation use; fixed while the server is active.
struct TTCPServer::Settings {
  int32_t max_connections = 0;
  std::string max_connection_reply;
  int32_t read_timeout = 0;
  int32_t write_timeout = 0;
  bool no_delay = true;
  ConnectionHook on_connect;
  ConnectionHook on_execute;
  ConnectionHook on_disconnect;
  ExceptionHook on_exception;
  ListenExceptionHook on_listen_exception;
  ThreadStartHook thread_starter;
};

struct TTCPServer::Listener {
  TSocketHandle* binding = nullptr;
  std::thread thread;
};

// One live connection.
struct TTCPServer::PeerThread {
  std::unique_ptr<TTCPConnection> connection;
  std::shared_ptr<const Settings> settings;
  std::list<std::unique_ptr<PeerThread>>::iterator self;
};

// A thread that serves connections one after another. Between them it waits
// in idle_ for the next one; `job` and `quit` are set under threads_mutex_.
struct TTCPServer::Worker {
  std::thread thread;
  std::condition_variable wake;
  PeerThread* job = nullptr;
  bool quit = false;
  std::list<std::unique_ptr<Worker>>::iterator self;
};

TTCPServer::TTCPServer() = default;

TTCPServer::~TTCPServer() {
  try {
    SetActive(false);
  } catch (const std::exception&) {
    // Connection threads outlived TerminateWaitTime; wait for them below.
  }
  std::vector<std::thread> finished;
  {
    std::unique_lock<std::mutex> lock(threads_mutex_);
    CloseIdlePool();
    threads_changed_.wait(lock, [this] { return workers_.empty(); });
    finished.swap(finished_);
  }
  for (std::thread& t : finished) t.join();
}

void TTCPServer::SetActive(bool active) {
  std::lock_guard<std::mutex> lock(control_mutex_);
  if (active == active_.load()) return;
  if (active) {
    Start();
  } else {
    Stop();
  }
}

size_t TTCPServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(threads_mutex_);
  return connection_threads_.size();
}

void TTCPServer::Start() {
  if (Bindings.Empty()) {
    TSocketHandle& binding = Bindings.Add();
    binding.IP = "0.0.0.0";
    binding.Port = DefaultPort;
  }
  auto settings = std::make_shared<Settings>();
  settings->max_connections = MaxConnections;
  settings->max_connection_reply = MaxConnectionReply;
  settings->read_timeout = ReadTimeout;
  settings->write_timeout = WriteTimeout;
  settings->no_delay = NoDelay;
  settings->on_connect = OnConnect;
  settings->on_execute = OnExecute;
  settings->on_disconnect = OnDisconnect;
  settings->on_exception = OnException;
  settings->on_listen_exception = OnListenException;
  settings->thread_starter = ThreadStarter;
  settings_ = std::move(settings);
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    max_idle_ = static_cast<size_t>(std::max(MaxIdleThreads, 0));
    idle_timeout_ = std::max(IdleThreadTimeout, 0);
  }

  wake_fd_ = eventfd(0, EFD_CLOEXEC);
  if (wake_fd_ < 0) throw ESocketError(errno);
  try {
    for (size_t i = 0; i < Bindings.Count(); ++i) {
      TSocketHandle& binding = Bindings[i];
      binding.AllocateSocket(SOCK_STREAM);
      if (ReuseSocket != TReuseSocket::False) {
        binding.SetSockOpt(SOL_SOCKET, SO_REUSEADDR, 1);
      }
      binding.Bind();
      binding.Listen(ListenQueue);
    }
    std::lock_guard<std::mutex> lock(listeners_mutex_);
    for (size_t i = 0; i < Bindings.Count(); ++i) {
      auto listener = std::make_unique<Listener>();
      listener->binding = &Bindings[i];
      Listener* raw = listener.get();
      listeners_.push_back(std::move(listener));
      raw->thread = std::thread(&TTCPServer::ListenLoop, this, raw);
    }
  } catch (...) {
    // Undo whatever was opened: the server stays inactive.
    eventfd_write(wake_fd_, 1);
    {
      std::lock_guard<std::mutex> lock(listeners_mutex_);
      for (auto& listener : listeners_) {
        if (listener->thread.joinable()) listener->thread.join();
      }
      listeners_.clear();
    }
    for (size_t i = 0; i < Bindings.Count(); ++i) Bindings[i].CloseSocket();
    close(wake_fd_);
    wake_fd_ = -1;
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    pool_open_ = true;
  }
  active_ = true;
}

void TTCPServer::Stop() {
  // Listeners first, so that no connection arrives while the others end.
  eventfd_write(wake_fd_, 1);
  {
    std::lock_guard<std::mutex> lock(listeners_mutex_);
    for (auto& listener : listeners_) listener->thread.join();
    listeners_.clear();
  }
  for (size_t i = 0; i < Bindings.Count(); ++i) Bindings[i].CloseSocket();
  close(wake_fd_);
  wake_fd_ = -1;

  bool all_ended;
  std::vector<std::thread> finished;
  {
    std::unique_lock<std::mutex> lock(threads_mutex_);
    // From here a thread whose connection ends leaves instead of parking.
    CloseIdlePool();
    // A connection's descriptor stays open until its thread has left the
    // list, so shutting it down here can never hit a reused descriptor.
    for (auto& peer : connection_threads_) {
      shutdown(peer->connection->Socket().Handle(), SHUT_RDWR);
    }
    all_ended = threads_changed_.wait_for(
        lock, std::chrono::milliseconds(std::max(TerminateWaitTime, 0)),
        [this] { return connection_threads_.empty(); });
    // The idle workers were woken above and leave at once; only threads
    // still serving a connection may remain.
    threads_changed_.wait(lock, [this] {
      return workers_.size() == connection_threads_.size();
    });
    finished.swap(finished_);
  }
  for (std::thread& t : finished) t.join();
  active_ = false;
  if (!all_ended) throw ETCPError("Terminate Thread Timeout");
}

void TTCPServer::CloseIdlePool() {
  pool_open_ = false;
  for (Worker* worker : idle_) {
    worker->quit = true;
    worker->wake.notify_one();
  }
  idle_.clear();
}

void TTCPServer::JoinFinished() {
  std::vector<std::thread> finished;
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    finished.swap(finished_);
  }
  for (std::thread& t : finished) t.join();
}

void TTCPServer::ListenLoop(Listener* listener) {
  const std::shared_ptr<const Settings> settings = settings_;
  const int listen_fd = listener->binding->Handle();
  auto report = [&settings](const std::exception& e) {
    if (!settings->on_listen_exception) return;
    try {
      settings->on_listen_exception(e);
    } catch (...) {
      // A failing report must not end the listener.
    }
  };
  for (;;) {
    pollfd fds[2] = {{listen_fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    // The time-out lets ended connection threads be joined while no new
    // connection comes.
    int n = poll(fds, 2, 1000);
    if (n < 0) {
      if (errno == EINTR) continue;
      report(ESocketError(errno));
      return;
    }
    if (fds[1].revents != 0) return;  // stop requested
    if (fds[0].revents == 0) {
      JoinFinished();
      continue;
    }

    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      int error_code = errno;
      if (!AcceptErrorIsPassing(error_code)) {
        // The listening socket itself is broken: this binding is done.
        report(ESocketError(error_code));
        return;
      }
      if (AcceptErrorIsShortage(error_code)) {
        // Out of descriptors or memory: give the connections a moment to
        // end instead of spinning on the pending one.
        report(ESocketError(error_code));
        pollfd wake = {wake_fd_, POLLIN, 0};
        if (poll(&wake, 1, 100) > 0) return;
      }
      continue;
    }
    JoinFinished();
    std::unique_ptr<TTCPConnection> connection;
    try {
      connection = std::make_unique<TTCPConnection>(fd);
    } catch (const std::exception& e) {
      close(fd);
      report(e);
      continue;
    }
    try {
      Serve(std::move(connection), settings);
    } catch (const std::exception& e) {
      report(e);
    }
  }
}

void TTCPServer::Serve(std::unique_ptr<TTCPConnection> connection,
                       const std::shared_ptr<const Settings>& settings) {
  connection->ReadTimeout = settings->read_timeout;
  connection->WriteTimeout = settings->write_timeout;
  if (settings->no_delay) {
    int one = 1;
    setsockopt(connection->Socket().Handle(), IPPROTO_TCP, TCP_NODELAY, &one,
               sizeof(one));
  }
  std::unique_ptr<PeerThread> failed;
  {
    std::lock_guard<std::mutex> lock(threads_mutex_);
    if (settings->max_connections > 0 &&
        connection_threads_.size() >=
            static_cast<size_t>(settings->max_connections)) {
      const std::string& reply = settings->max_connection_reply;
      if (!reply.empty()) {
        // Never block the listener on a peer that does not read.
        send(connection->Socket().Handle(), reply.data(), reply.size(),
             MSG_NOSIGNAL | MSG_DONTWAIT);
      }
      connection->Disconnect();
      return;
    }
    auto peer = std::make_unique<PeerThread>();
    peer->connection = std::move(connection);
    peer->settings = settings;
    PeerThread* raw = peer.get();
    connection_threads_.push_back(std::move(peer));
    raw->self = std::prev(connection_threads_.end());
    if (!idle_.empty()) {
      Worker* worker = idle_.back();
      idle_.pop_back();
      worker->job = raw;
      worker->wake.notify_one();
      return;
    }
    auto worker = std::make_unique<Worker>();
    worker->job = raw;
    Worker* raw_worker = worker.get();
    workers_.push_back(std::move(worker));
    raw_worker->self = std::prev(workers_.end());
    try {
      // The new thread leaves the list under threads_mutex_, so it cannot
      // finish before raw_worker->thread is set here.
      std::function<void()> body = [this, raw_worker] {
        RunWorker(raw_worker);
      };
      raw_worker->thread = settings->thread_starter
                               ? settings->thread_starter(std::move(body))
                               : std::thread(std::move(body));
      if (!raw_worker->thread.joinable()) {
        throw ETCPError("Could not start a connection thread.");
      }
    } catch (...) {
      workers_.erase(raw_worker->self);
      failed = std::move(*raw->self);
      connection_threads_.erase(raw->self);
      threads_changed_.notify_all();
      // The connection closes when `failed` goes, outside the lock.
      failed->connection->Disconnect();
      throw;
    }
  }
}

void TTCPServer::RunWorker(Worker* worker) {
  // The connection last served is freed (and its descriptor closed) with
  // the lock released; declared first, it goes after the lock at the end.
  std::unique_ptr<PeerThread> done;
  std::unique_lock<std::mutex> lock(threads_mutex_);
  for (;;) {
    const bool woken = worker->wake.wait_for(
        lock, std::chrono::milliseconds(idle_timeout_),
        [worker] { return worker->job != nullptr || worker->quit; });
    if (!woken) {
      // Idle too long: CloseIdlePool did not take it off the list.
      idle_.erase(std::find(idle_.begin(), idle_.end(), worker));
      break;
    }
    if (worker->job == nullptr) break;  // the server stops
    PeerThread* peer = std::exchange(worker->job, nullptr);
    lock.unlock();
    RunPeer(peer);
    lock.lock();
    done = std::move(*peer->self);
    connection_threads_.erase(peer->self);
    const bool park = pool_open_ && idle_.size() < max_idle_;
    if (park) idle_.push_back(worker);
    threads_changed_.notify_all();
    if (!park) break;
    lock.unlock();
    done.reset();
    lock.lock();
  }
  finished_.push_back(std::move(worker->thread));
  workers_.erase(worker->self);  // frees *worker
  threads_changed_.notify_all();
}

void TTCPServer::RunPeer(PeerThread* peer) {
  TTCPConnection& connection = *peer->connection;
  const Settings& settings = *peer->settings;
  auto run = [&](const ConnectionHook& hook) {
    if (!hook) return true;
    try {
      hook(connection);
      return true;
    } catch (const std::exception& e) {
      if (settings.on_exception) {
        try {
          settings.on_exception(connection, e);
        } catch (...) {
          // Nothing more can be done for this connection.
        }
      }
    } catch (...) {
      // Not an error of ours; the connection ends all the same.
    }
    return false;
  };
  if (run(settings.on_connect) && connection.Connected()) {
    run(settings.on_execute);
  }
  run(settings.on_disconnect);
  connection.Disconnect();
}

}  // namespace sl
