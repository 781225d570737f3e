// UniqueFd: sole owner of one file descriptor, closed when the owner goes.
//
// Movable, not copyable; -1 stands for "no descriptor". The one descriptor
// owner of the tree: files, sockets and wake-up descriptors alike.
#ifndef SL_CORE_UNIQUE_FD_H_
#define SL_CORE_UNIQUE_FD_H_

#include <unistd.h>

namespace sl {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Gives the descriptor up without closing it.
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (if any) and takes fd.
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes the descriptor held, for a caller that must know whether the
  // close succeeded (a written file's last error can show only here):
  // false with errno set when it failed. The descriptor is gone either way.
  bool Close() {
    int fd = Release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace sl

#endif
