// Mutex and MutexLock: a mutex the compiler can reason about.
//
// Mutex is std::mutex with the thread-safety annotations of
// core/thread_annotations.h, so that fields GUARDED_BY it and functions that
// REQUIRE it are checked by clang. MutexLock holds a Mutex for its scope;
// Unlock lets a scope give the mutex up early (before a slow send, say),
// after which the analysis treats the guarded fields as out of reach.
#ifndef SL_CORE_MUTEX_H_
#define SL_CORE_MUTEX_H_

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
  std::mutex mu_;
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
