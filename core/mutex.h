// Mutex and MutexLock: a mutex the compiler can reason about.
//
// Mutex is std::mutex with the thread-safety annotations of
// core/thread_annotations.h, so that fields GUARDED_BY it and functions that
// REQUIRE it are checked by clang. MutexLock holds a Mutex for its scope;
// Unlock lets a scope give the mutex up early (before a slow send, say),
// after which the analysis treats the guarded fields as out of reach.
// CondVar waits on a Mutex the caller holds.
#ifndef SL_CORE_MUTEX_H_
#define SL_CORE_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/thread_annotations.h"

namespace sl {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  // True, with the mutex held, when nobody else held it.
  bool TryLock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds the mutex where it cannot see
  // it (a callback that is documented to run under it). Checks nothing.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// A condition variable for Mutex. Every wait is entered and left with the
// mutex held; in between it is released, as with std::condition_variable.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // Waits until pred() holds; pred runs with the mutex held. The analysis
  // cannot see that inside a lambda: a predicate that reads guarded fields
  // starts with mu.AssertHeld().
  template <typename Predicate>
  void Wait(Mutex& mu, Predicate pred) REQUIRES(mu) {
    while (!pred()) Wait(mu);
  }
  // False when the deadline passed first (the mutex is held either way).
  template <typename Clock, typename Duration>
  bool WaitUntil(Mutex& mu, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  // Waits until pred() holds or the deadline passes; returns pred().
  template <typename Clock, typename Duration, typename Predicate>
  bool WaitUntil(Mutex& mu, const std::chrono::time_point<Clock, Duration>& deadline,
                 Predicate pred) REQUIRES(mu) {
    while (!pred()) {
      if (!WaitUntil(mu, deadline)) return pred();
    }
    return true;
  }
  template <typename Rep, typename Period, typename Predicate>
  bool WaitFor(Mutex& mu, const std::chrono::duration<Rep, Period>& timeout, Predicate pred)
      REQUIRES(mu) {
    return WaitUntil(mu, std::chrono::steady_clock::now() + timeout, pred);
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_.Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Releases the mutex before the end of the scope.
  void Unlock() RELEASE() {
    mu_.Unlock();
    held_ = false;
  }

 private:
  Mutex& mu_;
  bool held_ = true;
};

}  // namespace sl

#endif
