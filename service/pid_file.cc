#include "service/pid_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "core/event_log.h"

namespace sl {

namespace {

std::string ReadAll(int fd) {
  std::string text;
  char buf[256];
  off_t offset = 0;
  while (text.size() < 4096) {
    ssize_t n = ::pread(fd, buf, sizeof buf, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
    offset += n;
  }
  return text;
}

}  // namespace

pid_t PidOfPidFileText(const std::string& text) {
  long long pid = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 10; ++i) {
    pid = pid * 10 + (text[i] - '0');
  }
  if (i == 0 || (i < text.size() && text[i] != '\n')) return 0;
  return pid > 0 && pid <= 0x7fffffff ? static_cast<pid_t>(pid) : 0;
}

PidFile::PidFile(std::string path) : path_(std::move(path)) {}

PidFile::~PidFile() { Release(); }

PidFile::Result PidFile::Acquire() {
  auto fail = [this](const char* what) {
    throw std::runtime_error(std::string(what) + " \"" + path_ + "\". " + std::strerror(errno));
  };
  // A holder that removes the file at its exit may do so between our open
  // and our lock: the lock is then on a file no longer at the path, and
  // the look is made again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    UniqueFd fd(::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd.valid()) fail("Cannot create file");
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) fail("Cannot lock file");
      holder_ = PidOfPidFileText(ReadAll(fd.get()));
      return Result::kHeld;
    }
    struct stat opened, named;
    if (::fstat(fd.get(), &opened) != 0) fail("Cannot read file");
    if (::stat(path_.c_str(), &named) != 0 || named.st_dev != opened.st_dev ||
        named.st_ino != opened.st_ino) {
      continue;
    }
    const bool left_behind = opened.st_size > 0;
    std::string text = std::to_string(::getpid()) + "\nScanLanternService\nStart Time " +
                       FormatTimestamp(std::time(nullptr)) + "\n";
    if (::ftruncate(fd.get(), 0) != 0) fail("Write error on");
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n =
          ::pwrite(fd.get(), text.data() + done, text.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("Write error on");
      done += static_cast<size_t>(n);
    }
    fd_ = std::move(fd);
    return left_behind ? Result::kLeftBehind : Result::kTaken;
  }
  errno = EAGAIN;
  fail("Cannot lock file");
  return Result::kHeld;  // not reached
}

void PidFile::Release() {
  if (!fd_.valid()) return;
  // Removed while the lock is still ours, and only while the path still
  // leads to our file: one that replaced it (after a hand removal) stays.
  struct stat opened, named;
  if (::fstat(fd_.get(), &opened) == 0 && ::stat(path_.c_str(), &named) == 0 &&
      opened.st_dev == named.st_dev && opened.st_ino == named.st_ino) {
    ::unlink(path_.c_str());
  }
  fd_.Reset();
}

}  // namespace sl
