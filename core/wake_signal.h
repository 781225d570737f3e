// WakeSignal: the one wake-up channel of the tree, an eventfd that wakes a
// thread blocked in poll(2) or epoll on it together with its sockets.
//
// Signal() makes fd() readable until Drain() reads the count back, so
// several signals before one drain wake the waiter once; a stop that is
// signalled and never drained stays visible to every waiter. Signal() is
// async-signal-safe. The static forms serve a descriptor that must outlive
// every object, such as the one a signal handler writes to.
#ifndef SL_CORE_WAKE_SIGNAL_H_
#define SL_CORE_WAKE_SIGNAL_H_

#include "core/unique_fd.h"

namespace sl {

class WakeSignal {
 public:
  WakeSignal() = default;  // closed: fd() is -1 until Open()

  // Opens the eventfd (non-blocking, close-on-exec), closing any one held
  // before. False, with errno set, when it cannot be made.
  bool Open();
  void Close() { fd_.Reset(); }
  int fd() const { return fd_.get(); }

  void Signal() const noexcept { SignalFd(fd_.get()); }
  void Drain() const noexcept { DrainFd(fd_.get()); }

  // A new eventfd as Open() makes it, or -1 with errno set.
  static int OpenFd();
  static void SignalFd(int fd) noexcept;
  static void DrainFd(int fd) noexcept;

 private:
  UniqueFd fd_;
};

}  // namespace sl

#endif
