// Helpers shared by the unit tests of every folder (header only): a
// temporary directory, whole-file reads and writes, the reference Japanese
// conversion, a bounded wait loop, and TCP and UDP clients on loopback.
// Every wait is bounded, so that a failing test fails instead of hanging.
#ifndef SL_TESTING_TEST_SUPPORT_H_
#define SL_TESTING_TEST_SUPPORT_H_

#include <arpa/inet.h>
#include <iconv.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace sl::testing {

// A new directory below the system's temporary directory, removed with
// everything in it by the destructor.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "sl_test") {
    std::string templ = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The directory, without a trailing slash.
  const std::string& path() const { return path_; }
  std::string Path(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// The whole file as bytes; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Replaces the file's contents with bytes.
inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Converts with the C library's iconv, the tests' reference conversion;
// false when it refuses the input.
inline bool Iconv(const char* from, const char* to, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string buf(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = buf.data();
  size_t dst_left = buf.size();
  bool ok = iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &dst, &dst_left) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (ok) out->assign(buf.data(), buf.size() - dst_left);
  return ok;
}

// text converted by Iconv; throws when iconv refuses it.
inline std::string Convert(const std::string& text, const char* from, const char* to) {
  std::string out;
  if (!Iconv(from, to, text, &out)) throw std::runtime_error(std::string("iconv to ") + to);
  return out;
}

// UTF-8 text (as the sources hold Japanese) in EUC-JP.
inline std::string Euc(const std::string& utf8) { return Convert(utf8, "UTF-8", "EUC-JP"); }

// Polls cond every `step` until it holds (true) or `limit` has passed (false).
template <typename Cond>
bool WaitUntil(Cond cond, std::chrono::milliseconds limit = std::chrono::milliseconds(5000),
               std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

// An IPv4 address on loopback (any of 127.0.0.0/8).
inline sockaddr_in LoopbackAddress(int port, const char* ip = "127.0.0.1") {
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &addr.sin_addr);
  return addr;
}

inline void SetReceiveTimeout(int fd, int timeout_ms) {
  timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

// A TCP client connected to 127.0.0.1:port; every receive gives up after
// five seconds of silence (SetTimeout changes that).
class LoopbackClient {
 public:
  // source: the local address to connect from (any of 127.0.0.0/8).
  explicit LoopbackClient(int port, const char* source = nullptr) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    SetReceiveTimeout(fd_, 5000);
    if (source != nullptr) {
      sockaddr_in local = LoopbackAddress(0, source);
      // Without the source address the test would not test what it says.
      if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) return;
    }
    sockaddr_in addr = LoopbackAddress(port);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  // Takes over a socket that is connected already.
  explicit LoopbackClient(int fd, bool) : fd_(fd), connected_(true) {
    SetReceiveTimeout(fd_, 5000);
  }
  ~LoopbackClient() {
    if (fd_ >= 0) close(fd_);
  }
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  void SetTimeout(int timeout_ms) { SetReceiveTimeout(fd_, timeout_ms); }
  // Sends all of data, or stops where the server no longer takes it.
  void Send(std::string_view data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  void ShutdownWrite() { shutdown(fd_, SHUT_WR); }
  // Everything until the server closes (or a receive time-out of silence).
  std::string ReceiveAll() {
    std::string all;
    char buf[65536];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof(buf), 0);
      if (n < 0 && errno == EINTR) continue;  // a child of the code under test ended
      if (n <= 0) return all;
      all.append(buf, static_cast<size_t>(n));
    }
  }
  // Until count bytes came (or the stream ended).
  std::string Receive(size_t count) {
    std::string all;
    char buf[4096];
    while (all.size() < count) {
      ssize_t n = recv(fd_, buf, std::min(sizeof(buf), count - all.size()), 0);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// A UDP socket on 127.0.0.1 with a port of its own; receives give up after
// timeout_ms.
class UdpPeer {
 public:
  explicit UdpPeer(int timeout_ms = 3000) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = LoopbackAddress(0);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    SetTimeout(timeout_ms);
  }
  ~UdpPeer() { close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  void SetTimeout(int timeout_ms) { SetReceiveTimeout(fd_, timeout_ms); }
  void SendTo(int port, const std::string& data) {
    sockaddr_in addr = LoopbackAddress(port);
    sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  }
  // One datagram, or false after the time-out; from_port is its source.
  bool Receive(std::string* data, int* from_port = nullptr) {
    char buf[70000];
    sockaddr_in from;
    socklen_t len = sizeof(from);
    ssize_t n = recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return false;
    data->assign(buf, static_cast<size_t>(n));
    if (from_port != nullptr) *from_port = ntohs(from.sin_port);
    return true;
  }
  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

}  // namespace sl::testing

#endif  // SL_TESTING_TEST_SUPPORT_H_
