#include "mail/msg_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "net/socket_errors.h"

namespace sl {

TMsgQueue::TMsgQueue() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw ESocketError(errno, "pipe() failed");
  read_fd_ = fds[0];
  write_fd_ = fds[1];
}

TMsgQueue::~TMsgQueue() {
  close(read_fd_);
  close(write_fd_);
}

void TMsgQueue::Post(uint32_t msg, int32_t wparam, int32_t lparam) {
  std::lock_guard<std::mutex> lock(mu_);
  messages_.push_back(TClassMsg{msg, wparam, lparam});
  // A full pipe (tens of thousands of unread messages) is still readable, so
  // a lost byte never hides a message: readers look at the queue first.
  char byte = 1;
  ssize_t n;
  do {
    n = write(write_fd_, &byte, 1);
  } while (n < 0 && errno == EINTR);
}

bool TMsgQueue::Peek(TClassMsg* msg) {
  std::lock_guard<std::mutex> lock(mu_);
  if (messages_.empty()) return false;
  *msg = messages_.front();
  messages_.pop_front();
  char byte;
  ssize_t n;
  do {
    n = read(read_fd_, &byte, 1);
  } while (n < 0 && errno == EINTR);
  return true;
}

bool TMsgQueue::Wait(TClassMsg* msg) {
  for (;;) {
    if (Peek(msg)) return msg->Msg != WM_QUIT;
    pollfd pfd{read_fd_, POLLIN, 0};
    poll(&pfd, 1, -1);
  }
}

bool TMsgQueue::WaitUntil(Clock::time_point deadline, TClassMsg* msg) {
  for (;;) {
    if (Peek(msg)) return true;
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd pfd{read_fd_, POLLIN, 0};
    ppoll(&pfd, 1, &ts, nullptr);
  }
}

size_t TMsgQueue::Size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return messages_.size();
}

int TMsgQueue::PipeBytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  int n = 0;
  if (ioctl(read_fd_, FIONREAD, &n) != 0) return -1;
  return n;
}

}  // namespace sl
