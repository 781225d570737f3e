#include "watch/threaded_timer.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <list>
#include <string>
#include <thread>

#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "core/unique_fd.h"
#include "core/wake_signal.h"

namespace sl {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxQueuedTicks = 1 << 16;

[[noreturn]] void ThrowThreadError(int err) {
  throw ETimer("Thread Error: " + std::string(std::strerror(err)) + " (" + std::to_string(err) +
               ")");
}

[[noreturn]] void ThrowAssertion(const char* text) {
  throw ETimer(std::string(text) + " (ThreadedTimer)");
}

// The wake channel of WakeOwnerLoop. Created when the program loads, so a
// signal handler finds it without allocating; never closed.
std::atomic<int> g_wake_fd{-1};

int EnsureWakeFd() {
  int fd = g_wake_fd.load();
  if (fd >= 0) return fd;
  UniqueFd fresh(WakeSignal::OpenFd());
  if (!fresh.valid()) return -1;
  if (!g_wake_fd.compare_exchange_strong(fd, fresh.get())) return fd;  // another won
  return fresh.Release();
}

[[maybe_unused]] const int g_wake_fd_at_load = EnsureWakeFd();

}  // namespace

// The ticks handed to one owner thread, and the wake-up signal that tells
// the owner's RunOwnerTicks that some are waiting.
class OwnerInbox {
 public:
  OwnerInbox() : owner_(::gettid()) {
    if (!wake_.Open()) ThrowThreadError(errno);
  }
  OwnerInbox(const OwnerInbox&) = delete;
  OwnerInbox& operator=(const OwnerInbox&) = delete;

  const WakeSignal& wake() const { return wake_; }

  bool Post(TThreadedTimer* timer) EXCLUDES(mu_) {
    {
      MutexLock lock(mu_);
      if (closed_ || ticks_.size() >= kMaxQueuedTicks) return false;
      ticks_.push_back(timer);
    }
    wake_.Signal();
    return true;
  }

  bool HasTicks() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    return !ticks_.empty();
  }

  // Drops the queued ticks of a timer that is going away. When the owner
  // thread is running its handler, waits until it returns - unless the
  // caller is that handler itself.
  void Purge(TThreadedTimer* timer) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    for (auto it = ticks_.begin(); it != ticks_.end();) {
      it = *it == timer ? ticks_.erase(it) : it + 1;
    }
    if (running_ == timer && ::gettid() != owner_) {
      while (running_ == timer) idle_.Wait(mu_);
    }
  }

  // The owner thread ends: its ticks can never run.
  void Close() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    closed_ = true;
    for (TThreadedTimer* t : ticks_) t->pending_.fetch_sub(1);
    ticks_.clear();
  }

  // Runs the ticks queued now, one after another, on the owner thread.
  int RunPending() EXCLUDES(mu_) {
    size_t count;
    {
      MutexLock lock(mu_);
      count = ticks_.size();
    }
    int ran = 0;
    for (size_t i = 0; i < count; ++i) {
      TThreadedTimer* timer;
      {
        MutexLock lock(mu_);
        if (ticks_.empty()) break;
        timer = ticks_.front();
        ticks_.pop_front();
        running_ = timer;
      }
      struct Done {
        OwnerInbox* inbox;
        ~Done() {
          MutexLock lock(inbox->mu_);
          inbox->running_ = nullptr;
          inbox->idle_.SignalAll();
        }
      } done{this};
      timer->pending_.fetch_sub(1);
      if (timer->owner_thread_id_ != ::gettid()) ThrowAssertion("Assertion failure");
      // A copy: the handler may destroy its own timer.
      TThreadedTimer::TimerHandler handler = timer->OnTimer;
      if (handler) handler(*timer);
      ++ran;
    }
    return ran;
  }

 private:
  WakeSignal wake_;
  const pid_t owner_;
  Mutex mu_;
  CondVar idle_;  // running_ went back to nullptr
  std::deque<TThreadedTimer*> ticks_ GUARDED_BY(mu_);
  TThreadedTimer* running_ GUARDED_BY(mu_) = nullptr;  // whose handler runs now
  bool closed_ GUARDED_BY(mu_) = false;
};

namespace {

// The calling thread's inbox, closed when the thread ends.
struct InboxHolder {
  std::shared_ptr<OwnerInbox> inbox;
  ~InboxHolder() {
    if (inbox) inbox->Close();
  }
};

const std::shared_ptr<OwnerInbox>& ThisThreadInbox() {
  thread_local InboxHolder holder;
  if (!holder.inbox) holder.inbox = std::make_shared<OwnerInbox>();
  return holder.inbox;
}

}  // namespace

// The multiplexing thread and its queue of due times. One per process while
// any timer exists.
class TimerDispatcher {
 public:
  static std::shared_ptr<TimerDispatcher> Get() {
    // The dispatcher of the timers that exist now, shared by all of them.
    struct Current {
      Mutex mu;
      std::weak_ptr<TimerDispatcher> dispatcher GUARDED_BY(mu);
    };
    static Current current;
    MutexLock lock(current.mu);
    std::shared_ptr<TimerDispatcher> d = current.dispatcher.lock();
    if (!d) {
      d = std::make_shared<TimerDispatcher>();
      current.dispatcher = d;
    }
    return d;
  }

  TimerDispatcher() = default;
  ~TimerDispatcher() {
    {
      MutexLock lock(mu_);
      terminated_ = true;
    }
    cv_.SignalAll();
    if (thread_.joinable()) thread_.join();
  }
  TimerDispatcher(const TimerDispatcher&) = delete;
  TimerDispatcher& operator=(const TimerDispatcher&) = delete;

  void SetEnabled(TThreadedTimer* timer, bool value) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    if (timer->enabled_.load() == value) return;
    if (!value) {
      timer->enabled_.store(false);
      auto it = Find(timer);
      if (it == queue_.end()) ThrowAssertion("Could not find timer for removal from queue");
      queue_.erase(it);
      return;
    }
    int32_t ms = timer->interval_.load();
    if (ms <= 0) ThrowAssertion("Assertion failure");
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    timer->enabled_.store(true);
    Clock::duration interval = std::chrono::milliseconds(ms);
    bool head = Insert(Event{Clock::now() + interval, interval, timer, true});
    lock.Unlock();
    if (head) cv_.SignalAll();
  }

  void SetInterval(TThreadedTimer* timer, int32_t ms) EXCLUDES(mu_) {
    MutexLock lock(mu_);
    if (timer->interval_.load() == ms) return;
    if (timer->enabled_.load() && ms <= 0) ThrowAssertion("Assertion failure");
    timer->interval_.store(ms);
    if (!timer->enabled_.load()) return;
    auto it = Find(timer);
    if (it == queue_.end()) return;
    Clock::duration interval = std::chrono::milliseconds(ms);
    queue_.erase(it);
    bool head = Insert(Event{Clock::now() + interval, interval, timer, true});
    lock.Unlock();
    if (head) cv_.SignalAll();
  }

 private:
  struct Event {
    Clock::time_point due;
    Clock::duration interval;
    TThreadedTimer* timer;
    bool keep;  // result of the last Fire
  };

  std::list<Event>::iterator Find(TThreadedTimer* timer) REQUIRES(mu_) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it) {
      if (it->timer == timer) return it;
    }
    return queue_.end();
  }

  // Inserts before the first event due at the same time or later, so a new
  // event goes ahead of others due at the same moment. True if at the head.
  bool Insert(const Event& ev) REQUIRES(mu_) {
    auto it = queue_.begin();
    while (it != queue_.end() && it->due < ev.due) ++it;
    bool head = it == queue_.begin();
    queue_.insert(it, ev);
    return head;
  }

  void Run() EXCLUDES(mu_) {
    MutexLock lock(mu_);
    while (!terminated_) {
      FirePass();
      if (queue_.empty()) {
        cv_.Wait(mu_);
      } else {
        Clock::time_point due = queue_.front().due;  // the node may go while we wait
        cv_.WaitUntil(mu_, due);
      }
    }
  }

  // Takes every due event, fires it, and re-arms the kept ones one interval
  // after this pass (not after their old due time: no catch-up ticks).
  void FirePass() REQUIRES(mu_) {
    Clock::time_point now = Clock::now();
    auto end = queue_.begin();
    while (end != queue_.end() && end->due <= now) ++end;
    if (end == queue_.begin()) return;
    std::list<Event> taken;
    taken.splice(taken.begin(), queue_, queue_.begin(), end);
    for (Event& ev : taken) {
      ev.keep = ev.timer->Fire();
      if (!ev.keep) ev.timer->enabled_.store(false);
    }
    for (Event& ev : taken) {
      if (!ev.keep) continue;
      ev.due = now + ev.interval;
      Insert(ev);
    }
  }

  Mutex mu_;
  CondVar cv_;  // the head of queue_ changed, or terminated_ was set
  std::list<Event> queue_ GUARDED_BY(mu_);
  std::thread thread_ GUARDED_BY(mu_);  // started by the first SetEnabled(true)
  bool terminated_ GUARDED_BY(mu_) = false;
};

TThreadedTimer::TThreadedTimer()
    : dispatcher_(TimerDispatcher::Get()), inbox_(ThisThreadInbox()), owner_thread_id_(::gettid()) {
  SetEnabled(true);
}

TThreadedTimer::~TThreadedTimer() {
  try {
    dispatcher_->SetEnabled(this, false);
  } catch (const ETimer&) {
    // Not queued: nothing to take back.
  }
  inbox_->Purge(this);
}

void TThreadedTimer::SetEnabled(bool value) { dispatcher_->SetEnabled(this, value); }

void TThreadedTimer::SetInterval(int32_t milliseconds) {
  dispatcher_->SetInterval(this, milliseconds);
}

bool TThreadedTimer::Fire() {
  pending_.fetch_add(1);
  if (inbox_->Post(this)) return true;
  pending_.fetch_sub(1);
  return false;
}

int RunOwnerTicks(std::chrono::milliseconds max_wait) {
  thread_local bool running = false;
  if (running) return 0;
  OwnerInbox& inbox = *ThisThreadInbox();
  if (!inbox.HasTicks()) {
    int wake_fd = EnsureWakeFd();
    long long ms = max_wait.count();
    int timeout = ms <= 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    pollfd fds[2] = {{inbox.wake().fd(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
    int n = ::poll(fds, wake_fd >= 0 ? 2 : 1, timeout);
    // EINTR ends the wait early, like a woken sleep.
    if (n > 0 && wake_fd >= 0 && (fds[1].revents & POLLIN)) WakeSignal::DrainFd(wake_fd);
  }
  inbox.wake().Drain();
  running = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{running};
  return inbox.RunPending();
}

void WakeOwnerLoop() noexcept {
  int saved = errno;
  int fd = g_wake_fd.load();
  WakeSignal::SignalFd(fd);
  errno = saved;
}

}  // namespace sl
