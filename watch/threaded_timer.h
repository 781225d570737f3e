// TThreadedTimer: a periodic timer whose ticks run on the thread that made it.
//
// One process-wide multiplexing thread keeps every enabled timer in a queue
// ordered by due time. When a timer is due, that thread does not run the
// handler: it hands the tick to the owner thread's inbox. The owner thread
// runs its ticks from its own waiting loop by calling RunOwnerTicks, so a
// handler may do file I/O, start processes or talk to the network. Ticks of
// one timer never overlap; a handler that disables its timer and enables it
// again at its end gets its next tick one interval after it ended.
//
// The multiplexing thread starts with the first enabled timer and is joined
// when the last timer is destroyed.
#ifndef SL_WATCH_THREADED_TIMER_H_
#define SL_WATCH_THREADED_TIMER_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

namespace sl {

class ETimer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TimerDispatcher;
class OwnerInbox;

class TThreadedTimer {
 public:
  using TimerHandler = std::function<void(TThreadedTimer& sender)>;

  // The calling thread becomes the owner. The timer starts enabled with an
  // interval of 1000 ms.
  TThreadedTimer();
  // Unregisters the timer and drops its queued ticks. When another thread is
  // running this timer's handler at that moment, waits for it to return.
  ~TThreadedTimer();

  TThreadedTimer(const TThreadedTimer&) = delete;
  TThreadedTimer& operator=(const TThreadedTimer&) = delete;

  bool Enabled() const { return enabled_.load(); }
  // Enabling queues the timer one Interval from now; throws ETimer when the
  // interval is not positive (the timer then stays disabled).
  void SetEnabled(bool value);

  int32_t Interval() const { return interval_.load(); }
  // Milliseconds. While enabled, the next tick is rescheduled one new
  // interval from now; a value that is not positive throws ETimer then.
  void SetInterval(int32_t milliseconds);

  // Ticks handed to the owner thread and not yet run.
  int32_t PendingSignals() const { return pending_.load(); }
  // Kernel thread id of the owner thread.
  pid_t OwnerThreadId() const { return owner_thread_id_; }

  // Runs on the owner thread for every tick. Assign it on the owner thread.
  TimerHandler OnTimer;

 private:
  friend class TimerDispatcher;
  friend class OwnerInbox;

  // On the multiplexing thread, when due: hands the tick to the owner's
  // inbox. False when the inbox refused it (owner thread gone, inbox full).
  bool Fire();

  std::shared_ptr<TimerDispatcher> dispatcher_;
  std::shared_ptr<OwnerInbox> inbox_;
  pid_t owner_thread_id_;
  std::atomic<bool> enabled_{false};
  std::atomic<int32_t> interval_{1000};
  std::atomic<int32_t> pending_{0};
};

// Waits on the calling thread until a tick of a timer it owns arrives,
// max_wait has passed or WakeOwnerLoop is called, then runs the ticks queued
// for this thread at that moment, in order. Returns the number of ticks run.
// An exception from a handler propagates; later ticks stay queued. Called
// from inside a handler it returns 0 at once.
int RunOwnerTicks(std::chrono::milliseconds max_wait);

// Makes a waiting (or the next) RunOwnerTicks return at once.
// Async-signal-safe: meant for signal handlers that ask the loop to stop.
void WakeOwnerLoop() noexcept;

}  // namespace sl

#endif
