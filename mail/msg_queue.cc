#include "mail/msg_queue.h"

#include <poll.h>

#include <cerrno>
#include <ctime>

#include "net/socket_errors.h"

namespace sl {

TMsgQueue::TMsgQueue() {
  if (!wake_.Open()) throw ESocketError(errno, "eventfd() failed");
}

TMsgQueue::~TMsgQueue() = default;

void TMsgQueue::Post(uint32_t msg, int32_t wparam, int32_t lparam) {
  MutexLock lock(mu_);
  messages_.push_back(TClassMsg{msg, wparam, lparam});
  wake_.Signal();
}

bool TMsgQueue::Peek(TClassMsg* msg) {
  MutexLock lock(mu_);
  if (messages_.empty()) return false;
  *msg = messages_.front();
  messages_.pop_front();
  if (messages_.empty()) wake_.Drain();
  return true;
}

bool TMsgQueue::Wait(TClassMsg* msg) {
  for (;;) {
    if (Peek(msg)) return msg->Msg != WM_QUIT;
    pollfd pfd{ReadFd(), POLLIN, 0};
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
    pollfd pfd{ReadFd(), POLLIN, 0};
    ppoll(&pfd, 1, &ts, nullptr);
  }
}

size_t TMsgQueue::Size() const {
  MutexLock lock(mu_);
  return messages_.size();
}

bool TMsgQueue::Signalled() const {
  pollfd pfd{ReadFd(), POLLIN, 0};
  return poll(&pfd, 1, 0) == 1;
}

}  // namespace sl
