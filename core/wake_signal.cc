#include "core/wake_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace sl {

bool WakeSignal::Open() {
  int fd = OpenFd();
  if (fd < 0) return false;
  fd_.Reset(fd);
  return true;
}

int WakeSignal::OpenFd() { return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

void WakeSignal::SignalFd(int fd) noexcept {
  if (fd < 0) return;
  uint64_t one = 1;
  ssize_t r = ::write(fd, &one, sizeof one);
  (void)r;  // fails only when the counter is saturated, which still wakes
}

void WakeSignal::DrainFd(int fd) noexcept {
  if (fd < 0) return;
  uint64_t value;
  ssize_t r = ::read(fd, &value, sizeof value);
  (void)r;  // EAGAIN: nothing was pending
}

}  // namespace sl
