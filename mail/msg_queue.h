// TMsgQueue: a thread-safe FIFO of small messages with a wake-up signal.
//
// Any thread may post; one reader takes the messages in order. ReadFd() (a
// WakeSignal) is readable exactly while a message is queued, so a reader can
// block in poll(2) on it together with other descriptors (the socket worker
// waits on its socket this way) or wait with a deadline. The mutex is held
// only while a message is appended or removed.
#ifndef SL_MAIL_MSG_QUEUE_H_
#define SL_MAIL_MSG_QUEUE_H_

#include <chrono>
#include <cstdint>
#include <deque>

#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "core/wake_signal.h"

namespace sl {

struct TClassMsg {
  uint32_t Msg = 0;
  int32_t WParam = 0;
  int32_t LParam = 0;
};

// Message numbers of a socket worker's queue.
inline constexpr uint32_t WM_QUIT = 18;
inline constexpr uint32_t WM_SOCK_CONNECT = 1025;
inline constexpr uint32_t WM_SOCK_CLOSE = 1026;
inline constexpr uint32_t WM_SOCK_DATA_AVAILABLE = 1027;
inline constexpr uint32_t WM_SOCK_WRITE_READY = 1028;
inline constexpr uint32_t WM_SOCK_SOCKET_EXCEPTION = 1029;
inline constexpr uint32_t WM_SOCK_TRY_TO_SEND = 1030;
inline constexpr uint32_t WM_SOCK_LISTEN = 1031;
inline constexpr uint32_t WM_SOCK_DUP = 1032;
inline constexpr uint32_t WM_SOCK_SESSION_AVAILABLE = 1033;
inline constexpr uint32_t WM_SOCK_DONT_READ_FLAG = 1034;
inline constexpr uint32_t WM_SOCK_ACCEPT = 1035;
inline constexpr uint32_t WM_SOCK_USER = 1036;
inline constexpr uint32_t WM_SOCK_START_TLS = 1037;

class TMsgQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // Throws ESocketError("eventfd() failed") when the signal cannot be made.
  TMsgQueue();
  ~TMsgQueue();
  TMsgQueue(const TMsgQueue&) = delete;
  TMsgQueue& operator=(const TMsgQueue&) = delete;

  // Appends a message; never blocks.
  void Post(uint32_t msg, int32_t wparam = 0, int32_t lparam = 0);
  // Removes the oldest message; false when the queue is empty.
  bool Peek(TClassMsg* msg);
  // Blocks until a message is there and removes it; false for WM_QUIT.
  bool Wait(TClassMsg* msg);
  // Like Peek, but waits for a message until the deadline; false when none
  // came in time.
  bool WaitUntil(Clock::time_point deadline, TClassMsg* msg);
  // Number of queued messages.
  size_t Size() const;

  // Readable while at least one message is queued.
  int ReadFd() const { return wake_.fd(); }
  // True when ReadFd() is readable now.
  bool Signalled() const;

 private:
  mutable Mutex mu_;
  std::deque<TClassMsg> messages_ GUARDED_BY(mu_);
  WakeSignal wake_;  // signalled while messages_ is not empty (under mu_)
};

}  // namespace sl

#endif
