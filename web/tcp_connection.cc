#include "web/tcp_connection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

#include "core/unique_fd.h"

namespace sl {

namespace {

timeval ToTimeval(int32_t ms) {
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
  return tv;
}

std::string FileNotFoundText(const std::string& file_name) {
  return "File \"" + file_name + "\" not found";
}

}  // namespace

TTCPConnection::TTCPConnection(int fd) {
  socket_.Adopt(fd);
  socket_.UpdateBindingLocal();
  socket_.UpdateBindingPeer();
}

TTCPConnection::TTCPConnection(int fd, const sockaddr_in& peer) {
  socket_.Adopt(fd);
  socket_.UpdateBindingLocal();
  socket_.SetPeer(peer);
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
  in_begin_ = in_end_ = 0;
  int fd = socket_.Handle();
  shutdown(fd, SHUT_WR);
  // Unread input makes close() reset the connection, which can cost the
  // peer the end of our reply: take what it still sends until it closes
  // too, for at most LingerTime.
  const auto end = Clock::now() + std::chrono::milliseconds(std::max(LingerTime, 0));
  char scratch[4096];
  while (!peer_closed_) {
    ssize_t n = recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT);
    if (n > 0) continue;
    if (n == 0) peer_closed_ = true;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (left <= 0 || PeerSendsNoMore) break;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, left) == 0) break;
  }
  if (!peer_closed_) shutdown(fd, SHUT_RD);
}

void TTCPConnection::SetReadDeadline(Clock::time_point deadline) {
  read_deadline_ = deadline;
  has_read_deadline_ = true;
}

void TTCPConnection::SetMinimumReadRate(int32_t grace_ms, int64_t bytes_per_second) {
  rate_start_ = Clock::now() + std::chrono::milliseconds(std::max(grace_ms, 0));
  rate_bytes_ = static_cast<int64_t>(InputBufferSize());
  min_rate_ = std::max<int64_t>(bytes_per_second, 0);
}

void TTCPConnection::ClearReadLimits() {
  has_read_deadline_ = false;
  min_rate_ = 0;
}

int32_t TTCPConnection::WaitLimit(int32_t timeout_ms) const {
  if (!has_read_deadline_ && min_rate_ == 0) return -1;
  Clock::time_point end = Clock::time_point::max();
  if (has_read_deadline_) end = read_deadline_;
  if (min_rate_ > 0) {
    // The next byte is due when the bytes so far, at the least rate, are
    // used up.
    auto earned = std::chrono::microseconds(rate_bytes_ * 1000000 / min_rate_);
    end = std::min(end, rate_start_ + earned);
  }
  auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
  if (left <= 0) throw EReadTimeout();
  if (timeout_ms > 0 && timeout_ms < left) return -1;  // the time-out comes first
  return static_cast<int32_t>(std::min<int64_t>(left, 1 << 30));
}

void TTCPConnection::ApplyReadTimeout(int32_t read_timeout_ms) {
  read_timeout_ms = std::max(read_timeout_ms, 0);
  if (read_timeout_ms == applied_read_timeout_) return;
  timeval tv = ToTimeval(read_timeout_ms);
  if (setsockopt(socket_.Handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) != 0) {
    throw ESocketError(errno);
  }
  applied_read_timeout_ = read_timeout_ms;
}

void TTCPConnection::ApplyWriteTimeout() {
  int32_t write_timeout_ms = std::max(WriteTimeout, 0);
  if (write_timeout_ms == applied_write_timeout_) return;
  timeval tv = ToTimeval(write_timeout_ms);
  if (setsockopt(socket_.Handle(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) != 0) {
    throw ESocketError(errno);
  }
  applied_write_timeout_ = write_timeout_ms;
}

bool TTCPConnection::Fill(int32_t timeout_ms) {
  if (peer_closed_) return false;
  size_t want = static_cast<size_t>(std::max(RecvBufferSize, 1));
  if (in_.size() - in_end_ < want) {
    if (in_begin_ > 0) {
      std::memmove(in_.data(), in_.data() + in_begin_, in_end_ - in_begin_);
      in_end_ -= in_begin_;
      in_begin_ = 0;
    }
    if (in_.size() - in_end_ < want) in_.resize(in_end_ + want);
  }
  // What has arrived is taken without waiting. A receive that must wait
  // polls under the read clocks, or, without them, blocks under the
  // socket's time-out.
  ssize_t n;
  for (;;) {
    const int32_t limit = WaitLimit(timeout_ms);
    n = recv(socket_.Handle(), in_.data() + in_end_, want, MSG_DONTWAIT);
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
    if (errno == EINTR) continue;
    if (limit < 0) {
      ApplyReadTimeout(timeout_ms);
      do {
        n = recv(socket_.Handle(), in_.data() + in_end_, want, 0);
      } while (n < 0 && errno == EINTR);
      break;
    }
    pollfd p = {socket_.Handle(), POLLIN, 0};
    int ready = poll(&p, 1, limit);
    if (ready == 0) throw EReadTimeout();
  }
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
  rate_bytes_ += n;
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

std::string TTCPConnection::ReadLn(std::string_view terminator, int32_t timeout,
                                   int32_t max_length) {
  CheckConnected();
  const bool lf = terminator.empty() || terminator == "\n";
  if (terminator.empty()) terminator = "\n";
  if (timeout < 0) timeout = ReadTimeout;
  const size_t max = static_cast<size_t>(std::max(max_length < 0 ? MaxLineLength : max_length, 0));
  size_t searched = 0;  // bytes already known to hold no terminator
  for (;;) {
    std::string_view avail(in_.data() + in_begin_, InputBufferSize());
    size_t start = searched >= terminator.size() ? searched - terminator.size() + 1 : 0;
    size_t pos = avail.find(terminator, start);
    bool too_long =
        (pos != std::string_view::npos) ? (max > 0 && pos > max) : (max > 0 && avail.size() > max);
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

void TTCPConnection::ReadUntilDelimiter(std::vector<std::string>& lines, std::string_view delimiter,
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
                                    bool read_until_disconnect, int64_t max_bytes) {
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
    size_t have = static_cast<size_t>(std::min<uint64_t>(InputBufferSize(), remaining));
    out.write(in_.data() + in_begin_, static_cast<std::streamsize>(have));
    Take(0, have);
    remaining -= have;
  }
}

void TTCPConnection::SendAll(const char* data, size_t size) {
  const size_t piece = static_cast<size_t>(std::max(SendBufferSize, 1));
  // Sends go without waiting while the socket takes them; the first one
  // that would wait sets up the write time-out and waits under it.
  int flags = MSG_NOSIGNAL | MSG_DONTWAIT;
  while (size > 0) {
    ssize_t n = send(socket_.Handle(), data, std::min(size, piece), flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (flags & MSG_DONTWAIT) {
          ApplyWriteTimeout();
          flags = MSG_NOSIGNAL;
          continue;
        }
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

void TTCPConnection::WriteFromStream(std::istream& in, int64_t size, bool whole_stream) {
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
  UniqueFd file(open(file_name.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    int error_code = errno;
    if (error_code == ENOENT || error_code == ENOTDIR) {
      throw ETCPError(FileNotFoundText(file_name));
    }
    throw ETCPError("File \"" + file_name +
                    "\" cannot be opened: " + std::system_category().message(error_code));
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
      ssize_t n =
          read(file.get(), buffer.data(), static_cast<size_t>(std::min<int64_t>(remaining, piece)));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw ETCPError("No data to read.");
      out_.append(buffer.data(), static_cast<size_t>(n));
      remaining -= n;
    }
    return size;
  }
  ApplyWriteTimeout();
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

}  // namespace sl
