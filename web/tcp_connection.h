// TTCPConnection: one accepted TCP socket of the web server.
//
// A receive buffer with line, delimiter, exact-count and until-close reads
// (none of them byte by byte), an optional write buffer, and the clocks a
// server sets on a client it does not trust: a deadline for the reads, a
// least average rate for the bytes that follow, and a write time-out. The
// close ends the sending side first and takes what the peer still sends
// for a moment, so that the peer reads the whole reply instead of a reset.
// A connection belongs to the thread that serves it and is not locked.
#ifndef SL_WEB_TCP_CONNECTION_H_
#define SL_WEB_TCP_CONNECTION_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/socket_handle.h"

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

class TTCPConnection {
 public:
  // Takes over a connected TCP socket and reads its local and peer address.
  explicit TTCPConnection(int fd);
  // The same for a socket whose peer address accept(2) has reported.
  TTCPConnection(int fd, const sockaddr_in& peer);
  ~TTCPConnection();
  TTCPConnection(const TTCPConnection&) = delete;
  TTCPConnection& operator=(const TTCPConnection&) = delete;

  // Properties; the server sets ReadTimeout and WriteTimeout from its own.
  int32_t MaxLineLength = 16384;  // bytes before the terminator; 0: no limit
  TMaxLineAction MaxLineAction = TMaxLineAction::Exception;
  int32_t ReadTimeout = 0;         // ms; 0: reads wait without limit
  int32_t WriteTimeout = 0;        // ms; 0: writes wait without limit
  int32_t RecvBufferSize = 32768;  // most bytes taken per receive
  int32_t SendBufferSize = 32768;  // most bytes handed over per send
  bool ASCIIFilter = false;        // clear the high bit of received bytes

  // The socket: IP/Port are the local end, PeerIP/PeerPort the client.
  const TSocketHandle& Socket() const { return socket_; }
  const std::string& PeerIP() const { return socket_.PeerIP; }
  int32_t PeerPort() const { return socket_.PeerPort; }

  // How long Disconnect waits for the peer to close after our side ended.
  int32_t LingerTime = 1000;  // ms
  // Set when the peer has said that it sends nothing more (its last HTTP
  // request asked for the close and was read whole): Disconnect then takes
  // what has arrived but does not wait for the peer's close.
  bool PeerSendsNoMore = false;

  // Called at most once, by MarkAnswered: the server stops counting the
  // connection against its client's address. The protocol above calls
  // MarkAnswered right before it writes the last answer before the close,
  // since the client may open its next connection as soon as it has read
  // that answer, before this one is closed.
  std::function<void()> OnAnswered;
  void MarkAnswered() {
    if (OnAnswered) std::exchange(OnAnswered, nullptr)();
  }

  // Marks the connection as waiting for a request, with nothing of the
  // peer's in progress: a server that stops cuts such a connection at once
  // instead of waiting for it. May be read from any thread.
  void SetIdle(bool idle) { idle_.store(idle, std::memory_order_relaxed); }
  bool Idle() const { return idle_.load(std::memory_order_relaxed); }

  // False after Disconnect and after the peer closed its sending side.
  bool Connected() const { return connected_ && !peer_closed_; }
  // Sends what the write buffer holds, ends the sending side (the peer
  // sees the end of the stream at once), then takes and drops what the
  // peer still sends until it closes, for at most LingerTime. The
  // descriptor itself is closed when the connection is destroyed. Never
  // throws.
  void Disconnect();

  // --- Clocks for reads, besides ReadTimeout: a read fails with
  // EReadTimeout once the deadline has passed, or once the bytes received
  // since SetMinimumReadRate fall below bytes_per_second on average after
  // its first grace_ms.
  using Clock = std::chrono::steady_clock;
  void SetReadDeadline(Clock::time_point deadline);
  void SetMinimumReadRate(int32_t grace_ms, int64_t bytes_per_second);
  void ClearReadLimits();

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
  void ReadUntilDelimiter(std::vector<std::string>& lines, std::string_view delimiter,
                          size_t max_bytes = 0);
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
  void ReadIntoStream(std::ostream& out, int64_t byte_count, bool read_until_disconnect = false,
                      int64_t max_bytes = 0);
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
  void WriteFromStream(std::istream& in, int64_t size = -1, bool whole_stream = true);
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
  // The longest a receive may wait under the read clocks (-1: no limit
  // besides timeout_ms); throws EReadTimeout when the time is up.
  int32_t WaitLimit(int32_t timeout_ms) const;
  // Receives until at least count bytes are buffered.
  void FillTo(size_t count, int32_t timeout_ms);
  std::string Take(size_t count, size_t skip);
  // Set the socket's time-outs for a receive or send that must wait.
  void ApplyReadTimeout(int32_t read_timeout_ms);
  void ApplyWriteTimeout();
  void SendAll(const char* data, size_t size);
  void CheckConnected() const;

  TSocketHandle socket_;
  std::atomic<bool> idle_{false};
  bool connected_ = true;
  bool peer_closed_ = false;

  std::vector<char> in_;
  size_t in_begin_ = 0;
  size_t in_end_ = 0;
  int64_t consumed_ = 0;
  int32_t applied_read_timeout_ = 0;
  int32_t applied_write_timeout_ = 0;

  bool has_read_deadline_ = false;
  Clock::time_point read_deadline_;
  int64_t min_rate_ = 0;  // bytes a second; 0: no least rate
  Clock::time_point rate_start_;
  int64_t rate_bytes_ = 0;

  bool buffering_ = false;
  std::string out_;
};

}  // namespace sl

#endif
