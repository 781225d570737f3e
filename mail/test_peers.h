// Test peers for the mail tests (header only; used by test programs).
//
// ScriptedServer: a loopback TCP server on a free port whose sessions follow
// a script written in the test (send a line, read a line, hang up, stay
// silent), for the failure paths of the SMTP client.
// SmtpSink: a real SMTP server (mail/testdata/smtp_sink.py on aiosmtpd)
// that stores every accepted mail; DecodeMail reads one back through
// Python's email package.
// Every wait is bounded in time.
#ifndef SL_MAIL_TEST_PEERS_H_
#define SL_MAIL_TEST_PEERS_H_

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testing/test_support.h"

extern char** environ;

namespace sl::testing {

#ifdef SL_SOURCE_DIR
inline std::string MailTestData(const std::string& name) {
  return std::string(SL_SOURCE_DIR) + "/mail/testdata/" + name;
}
#endif

// The Python that has aiosmtpd: the system's, which the Debian package
// python3-aiosmtpd installs into.
inline std::string PythonPath() {
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// A child process with pipes on its standard input and output.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + argv[0]);
    }
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // One line of the child's output, without its LF; nullopt at the end or
  // after timeout_ms.
  std::optional<std::string> ReadLine(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t lf = buffer_.find('\n');
      if (lf != std::string::npos) {
        std::string line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd pfd{stdout_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      ssize_t n = read(stdout_, chunk, sizeof(chunk));
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Everything the child writes until it ends (bounded by timeout_ms), and
  // its exit status.
  std::string ReadAll(int timeout_ms, int* status) {
    close(stdin_);
    stdin_ = -1;
    std::string all;
    while (auto line = ReadLine(timeout_ms)) all += *line + "\n";
    all += buffer_;
    buffer_.clear();
    Wait(status);
    return all;
  }

  // Ends the child (SIGTERM, then SIGKILL after two seconds).
  void Stop() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
          pid_ = -1;
          break;
        }
        usleep(10000);
      }
      if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
      }
    }
    if (stdout_ >= 0) close(stdout_);
    stdout_ = -1;
  }

 private:
  void Wait(int* status) {
    if (pid_ > 0) {
      waitpid(pid_, status, 0);
      pid_ = -1;
    }
  }

  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  std::string buffer_;
};

#ifdef SL_SOURCE_DIR
// A real SMTP server on a free loopback port that stores what it accepts.
class SmtpSink {
 public:
  explicit SmtpSink(std::vector<std::string> options = {}) {
    std::vector<std::string> argv = {PythonPath(), MailTestData("smtp_sink.py"), dir_.path()};
    argv.insert(argv.end(), options.begin(), options.end());
    child_ = std::make_unique<ChildProcess>(argv);
    std::optional<std::string> line = child_->ReadLine(20000);
    if (!line || line->compare(0, 5, "PORT ") != 0) {
      throw std::runtime_error("the SMTP sink did not start (python3-aiosmtpd missing?)");
    }
    port_ = std::stoi(line->substr(5));
  }

  int port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  const std::string& dir() const { return dir_.path(); }

  // Path of stored mail number n (from 1), once it is complete.
  std::string MailPath(int n) const { return dir_.path() + "/mail-" + std::to_string(n) + ".eml"; }
  std::string EnvelopePath(int n) const {
    return dir_.path() + "/mail-" + std::to_string(n) + ".env";
  }

  // Waits until n mails are stored; false after timeout_ms.
  bool WaitForMails(int n, int timeout_ms = 10000) const {
    return WaitUntil([&] { return access(EnvelopePath(n).c_str(), F_OK) == 0; },
                     std::chrono::milliseconds(timeout_ms), std::chrono::milliseconds(20));
  }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> child_;
  int port_ = 0;
};

struct DecodedAttachment {
  std::string Name, Type, Bytes;
};

struct DecodedMail {
  std::string Subject;
  std::string Charset;
  std::vector<std::string> Headers;  // "Name: value"
  std::vector<std::string> Body;
  std::vector<DecodedAttachment> Attachments;
  std::vector<std::string> Defects;
  std::string Raw;  // decoder output, for failure messages
};

inline std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      out += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    } else {
      out += s[i];
    }
  }
  return out;
}

inline std::string FromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// The mail in a file as Python's email package decodes it (UTF-8 texts).
inline DecodedMail DecodeMail(const std::string& path) {
  ChildProcess child({PythonPath(), MailTestData("decode_mail.py"), path});
  int status = 0;
  DecodedMail mail;
  mail.Raw = child.ReadAll(20000, &status);
  std::istringstream in(mail.Raw);
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    std::string tag = line.substr(0, tab), value = line.substr(tab + 1);
    if (tag == "subject") mail.Subject = Unescape(value);
    if (tag == "charset") mail.Charset = Unescape(value);
    if (tag == "header") mail.Headers.push_back(Unescape(value));
    if (tag == "body") mail.Body.push_back(Unescape(value));
    if (tag == "defects") mail.Defects.push_back(Unescape(value));
    if (tag == "attachment") {
      size_t t2 = value.find('\t'), t3 = value.find('\t', t2 + 1);
      mail.Attachments.push_back(
          {value.substr(0, t2), value.substr(t2 + 1, t3 - t2 - 1), FromHex(value.substr(t3 + 1))});
    }
  }
  return mail;
}
#endif

// One accepted connection of a ScriptedServer.
class PeerConnection {
 public:
  explicit PeerConnection(int fd) : fd_(fd) {}
  ~PeerConnection() { Close(); }
  PeerConnection(const PeerConnection&) = delete;
  PeerConnection& operator=(const PeerConnection&) = delete;

  // Sends text followed by CR LF.
  void Send(const std::string& line) {
    std::string data = line + "\r\n";
    if (fd_ >= 0) send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
  }
  // The next line from the client without its CR LF; nullopt when the
  // client closed or nothing came within timeout_ms.
  std::optional<std::string> ReadLine(int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t lf = buffer_.find("\r\n");
      if (lf != std::string::npos) {
        std::string line = buffer_.substr(0, lf);
        buffer_.erase(0, lf + 2);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (fd_ < 0 || left.count() <= 0) return std::nullopt;
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  // Reads lines until the "." that ends a message; returns them without it.
  std::vector<std::string> ReadData(int timeout_ms = 5000) {
    std::vector<std::string> lines;
    while (auto line = ReadLine(timeout_ms)) {
      if (*line == ".") break;
      lines.push_back(*line);
    }
    return lines;
  }
  // Says nothing until the client closes or timeout_ms pass.
  void StaySilent(int timeout_ms) {
    while (ReadLine(timeout_ms)) {
    }
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  std::string buffer_;
};

// A loopback server on a free port that runs `script` for each of the
// first `sessions` connections, one after the other, on its own thread.
class ScriptedServer {
 public:
  using Script = std::function<void(PeerConnection&)>;

  explicit ScriptedServer(Script script, int sessions = 1) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(listener_, 8) != 0) {
      throw std::runtime_error("cannot listen");
    }
    socklen_t len = sizeof(addr);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, sessions] {
      for (int i = 0; i < sessions; ++i) {
        pollfd pfd{listener_, POLLIN, 0};
        if (poll(&pfd, 1, 20000) <= 0) return;
        int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        PeerConnection peer(fd);
        script_(peer);
      }
    });
  }
  ~ScriptedServer() {
    Join();
    close(listener_);
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  int port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  // Waits until the scripts have run.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// A port on loopback where nothing listens (bound, never listening).
class ClosedPort {
 public:
  ClosedPort() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~ClosedPort() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
};

}  // namespace sl::testing

#endif
