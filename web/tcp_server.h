// TTCPServer and TTCPConnection: the connection layer under the web server.
//
// TTCPServer listens on its `Bindings` (one listener thread per binding) and
// serves every accepted connection on a thread of its own, which calls
// `OnExecute` with the connection and closes the connection when the hook
// returns. A thread whose connection ended stays for a while as an idle
// worker and serves a later connection, so that a burst of short
// connections does not pay for a new thread each. TTCPConnection is one accepted socket with a receive buffer
// (line, delimiter, exact-count and until-close reads, none of them byte by
// byte) and an optional write buffer. A connection belongs to the thread that
// serves it and is not locked; the server's lists are guarded by their own
// locks, so the server may be stopped from any one controlling thread.
#ifndef SL_WEB_TCP_SERVER_H_
#define SL_WEB_TCP_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <istream>
#include <list>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "discovery/socket_handle.h"

namespace sl {

// Errors of the connection layer that are not OS socket errors (those are
// ESocketError): "Max line length exceeded.", "No data to read.",
// "File \"<name>\" not found", "Terminate Thread Timeout", ...
class ETCPError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The peer closed its sending side while a read wanted more bytes.
class EClosedGracefully : public ETCPError {
 public:
  EClosedGracefully() : ETCPError("Connection Closed Gracefully.") {}
};
// A read or write on a connection that was disconnected on this side.
class ENotConnected : public ETCPError {
 public:
  ENotConnected() : ETCPError("Not Connected.") {}
};
// No byte arrived within the read time-out.
class EReadTimeout : public ETCPError {
 public:
  EReadTimeout() : ETCPError("Read timed out.") {}
};
// A line longer than the maximum with MaxLineAction Exception.
class ELineTooLong : public ETCPError {
 public:
  ELineTooLong() : ETCPError("Max line length exceeded.") {}
};
// A bulk read went past the byte limit its caller gave.
class ELimitExceeded : public ETCPError {
 public:
  ELimitExceeded() : ETCPError("Read limit exceeded.") {}
};

enum class TMaxLineAction { Exception, Split };
enum class TReuseSocket { OSDependent, True, False };

class TTCPConnection {
 public:
  // Takes over a connected TCP socket and reads its local and peer address.
  explicit TTCPConnection(int fd);
  ~TTCPConnection();
  TTCPConnection(const TTCPConnection&) = delete;
  TTCPConnection& operator=(const TTCPConnection&) = delete;

  // Properties; the server sets ReadTimeout and WriteTimeout from its own.
  int32_t MaxLineLength = 16384;  // bytes before the terminator; 0: no limit
  TMaxLineAction MaxLineAction = TMaxLineAction::Exception;
  int32_t ReadTimeout = 0;   // ms; 0: reads wait without limit
  int32_t WriteTimeout = 0;  // ms; 0: writes wait without limit
  int32_t RecvBufferSize = 32768;  // most bytes taken per receive
  int32_t SendBufferSize = 32768;  // most bytes handed over per send
  bool ASCIIFilter = false;        // clear the high bit of received bytes

  // The socket: IP/Port are the local end, PeerIP/PeerPort the client.
  const TSocketHandle& Socket() const { return socket_; }
  const std::string& PeerIP() const { return socket_.PeerIP; }
  int32_t PeerPort() const { return socket_.PeerPort; }

  // False after Disconnect and after the peer closed its sending side.
  bool Connected() const { return connected_ && !peer_closed_; }
  // Sends what the write buffer holds, ends both directions (the peer sees
  // the end of the stream at once) and drops unread input. The descriptor
  // itself is closed when the connection is destroyed. Never throws.
  void Disconnect();

  // --- Reading. Every read raises EClosedGracefully when the peer closed
  // before the wanted bytes came, EReadTimeout after ReadTimeout ms without
  // a byte, ESocketError on a socket error (104 for a reset) and
  // ENotConnected after Disconnect.

  // One line without its terminator. terminator "" means LF, and a CR right
  // before an LF terminator is removed too; timeout -1 means ReadTimeout
  // (0: no limit), and a time-out raises EReadTimeout, so that a request
  // cut short is never taken for a complete one; max_length -1 means
  // MaxLineLength (0: no limit). A line longer than the
  // maximum raises ELineTooLong, or with MaxLineAction Split comes back in
  // pieces of max_length bytes.
  std::string ReadLn(std::string_view terminator = "", int32_t timeout = -1,
                     int32_t max_length = -1);
  // Reads lines up to the delimiter line (not stored) into lines; a line
  // beginning with ".." is stored without its first ".". With max_bytes > 0
  // raises ELimitExceeded once the lines read (terminators included) exceed
  // max_bytes.
  void ReadUntilDelimiter(std::vector<std::string>& lines,
                          std::string_view delimiter, size_t max_bytes = 0);
  // Appends exactly count bytes to out.
  void ReadBytes(std::string& out, size_t count);
  std::string ReadString(size_t count) {
    std::string s;
    ReadBytes(s, count);
    return s;
  }
  // Appends everything until the peer closes its sending side. With
  // max_bytes > 0 raises ELimitExceeded when more than max_bytes come.
  void ReadUntilClose(std::string& out, size_t max_bytes = 0);
  // Writes exactly byte_count bytes to out, or with byte_count -1 and
  // read_until_disconnect everything until the peer closes (at most
  // max_bytes when that is > 0, else ELimitExceeded).
  void ReadIntoStream(std::ostream& out, int64_t byte_count,
                      bool read_until_disconnect = false, int64_t max_bytes = 0);
  // Bytes received and not yet consumed by a read.
  size_t InputBufferSize() const { return in_end_ - in_begin_; }
  // Bytes handed out by reads so far (lines with their terminators).
  int64_t BytesConsumed() const { return consumed_; }

  // --- Writing. Raises ESocketError (110 after WriteTimeout ms without
  // progress) and ENotConnected after Disconnect.

  void Write(std::string_view data);
  void WriteLine(std::string_view line);  // line + CR LF
  // Sends size bytes from in (-1: to its end), from position 0 when
  // whole_stream is set, else from where it stands; in pieces of at most
  // SendBufferSize. A stream that ends early raises "No data to read.".
  void WriteFromStream(std::istream& in, int64_t size = -1,
                       bool whole_stream = true);
  // Opens the file before anything is written (a missing file raises
  // "File \"<name>\" not found" with nothing sent), sends it whole and
  // returns its size.
  int64_t WriteFromFile(const std::string& file_name);
  // Between these, writes are collected and sent together by the flush.
  void BeginWriteBuffer();
  void FlushWriteBuffer();
  void CancelWriteBuffer();
  bool WriteBuffering() const { return buffering_; }

 private:
  // Receives once into the input buffer; false when the peer closed.
  bool Fill(int32_t timeout_ms);
  // Receives until at least count bytes are buffered.
  void FillTo(size_t count, int32_t timeout_ms);
  std::string Take(size_t count, size_t skip);
  void ApplyTimeouts(int32_t read_timeout_ms);
  void SendAll(const char* data, size_t size);
  void CheckConnected() const;

  TSocketHandle socket_;
  bool connected_ = true;
  bool peer_closed_ = false;

  std::vector<char> in_;
  size_t in_begin_ = 0;
  size_t in_end_ = 0;
  int64_t consumed_ = 0;
  int32_t applied_read_timeout_ = 0;
  int32_t applied_write_timeout_ = 0;

  bool buffering_ = false;
  std::string out_;
};

class TTCPServer {
 public:
  using ConnectionHook = std::function<void(TTCPConnection&)>;
  using ExceptionHook =
      std::function<void(TTCPConnection&, const std::exception&)>;
  using ListenExceptionHook = std::function<void(const std::exception&)>;
  // Starts a thread running body; throws when no thread can be started.
  using ThreadStartHook = std::function<std::thread(std::function<void()>)>;

  TTCPServer();
  // Stops the server and waits for every connection thread, however long
  // the hooks take (freeing the server under a running thread is no choice).
  ~TTCPServer();
  TTCPServer(const TTCPServer&) = delete;
  TTCPServer& operator=(const TTCPServer&) = delete;

  // true: binds and listens on every binding (one binding on all addresses
  // and DefaultPort when there is none) and starts the listener threads;
  // a bind or listen failure raises ESocketError (a port in use with
  // kAddressInUseText) and leaves the server inactive. false: stops the
  // listeners, ends every connection (the sockets are shut down) and waits
  // up to TerminateWaitTime ms for the connection threads; raises
  // ETCPError("Terminate Thread Timeout") when some are still running.
  // Call from one controlling thread, never from a hook; properties are
  // read at activation, and Bindings stay as they are while active.
  void SetActive(bool active);
  bool Active() const { return active_.load(); }

  // Live connections (idle workers are not counted).
  size_t ConnectionCount() const;

  int32_t DefaultPort = 0;
  TSocketHandles Bindings{&DefaultPort};
  // Backlog of listen(). Small for bursts: once it is full the kernel drops
  // new connection attempts, which the clients retry a second later.
  int32_t ListenQueue = 15;
  int32_t MaxConnections = 0;  // 0: no limit
  // Bytes written to a connection refused by MaxConnections (empty: none).
  std::string MaxConnectionReply;
  TReuseSocket ReuseSocket = TReuseSocket::OSDependent;
  int32_t TerminateWaitTime = 5000;  // ms
  int32_t ReadTimeout = 0;   // ms, given to every connection; 0: none
  int32_t WriteTimeout = 0;  // ms, given to every connection; 0: none
  bool NoDelay = true;       // TCP_NODELAY on accepted sockets
  // Threads whose connection ended wait for the next one, at most this many
  // at a time (0: every thread ends with its connection), each for at most
  // IdleThreadTimeout ms. A connection that finds no idle thread gets a new
  // one, so no connection ever waits for another.
  int32_t MaxIdleThreads = 64;
  int32_t IdleThreadTimeout = 30000;  // ms

  // Called on the connection thread. OnExecute serves the connection; the
  // connection is closed after it returns. An exception leaving OnConnect,
  // OnExecute or OnDisconnect goes to OnException and ends the connection.
  ConnectionHook OnConnect;
  ConnectionHook OnExecute;
  ConnectionHook OnDisconnect;
  ExceptionHook OnException;
  // Called on a listener thread with a failure around an accept (a
  // connection thread that could not start, for one).
  ListenExceptionHook OnListenException;
  // Starts the connection threads (only when no idle one is waiting);
  // empty: std::thread.
  ThreadStartHook ThreadStarter;

 private:
  struct Settings;
  struct Listener;
  struct PeerThread;
  struct Worker;

  void Start();
  void Stop();
  void ListenLoop(Listener* listener);
  void Serve(std::unique_ptr<TTCPConnection> connection,
             const std::shared_ptr<const Settings>& settings);
  void RunWorker(Worker* worker);
  void RunPeer(PeerThread* peer);
  void CloseIdlePool();
  void JoinFinished();

  std::mutex control_mutex_;  // SetActive
  std::atomic<bool> active_{false};
  std::shared_ptr<const Settings> settings_;
  int wake_fd_ = -1;  // readable once the listeners are to stop

  std::mutex listeners_mutex_;
  std::vector<std::unique_ptr<Listener>> listeners_;

  // Live connections, the threads serving them or waiting idle, and
  // threads that ended but are not joined yet. Every live connection has
  // its worker, so workers_ holds connection_threads_.size() busy workers
  // plus the idle ones.
  mutable std::mutex threads_mutex_;
  std::condition_variable threads_changed_;
  std::list<std::unique_ptr<PeerThread>> connection_threads_;
  std::list<std::unique_ptr<Worker>> workers_;
  std::vector<Worker*> idle_;  // the most recently parked last
  bool pool_open_ = false;     // ended connections may park their thread
  size_t max_idle_ = 0;
  int32_t idle_timeout_ = 0;
  std::vector<std::thread> finished_;
};

}  // namespace sl

#endif
