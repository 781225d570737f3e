#include "web/login_throttle.h"

namespace sl {

LoginThrottle::Clock::duration LoginThrottle::LockedFor(const std::string& address,
                                                        Clock::time_point now) const {
  auto it = records_.find(address);
  if (it == records_.end() || it->second.locked_until <= now) return Clock::duration::zero();
  return it->second.locked_until - now;
}

bool LoginThrottle::Failed(const std::string& address, Clock::time_point now) {
  auto it = records_.find(address);
  if (it == records_.end()) {
    if (records_.size() >= kMaxAddresses) MakeRoom(now);
    it = records_.emplace(address, Record()).first;
  }
  Record& r = it->second;
  r.failures[r.next] = now;
  r.next = (r.next + 1) % kMaxFailures;
  if (r.count < kMaxFailures) ++r.count;
  r.last = now;
  // With the ring full, `next` is the oldest of the last kMaxFailures.
  if (r.count < kMaxFailures || now - r.failures[r.next] > kWindow) return false;
  r.locked_until = now + kLockTime;
  r.count = 0;
  r.next = 0;
  return true;
}

void LoginThrottle::MakeRoom(Clock::time_point now) {
  auto oldest = records_.end();  // idle the longest, a locked address last
  for (auto it = records_.begin(); it != records_.end();) {
    const Record& r = it->second;
    const bool locked = r.locked_until > now;
    if (!locked && now - r.last > kWindow) {
      it = records_.erase(it);
      continue;
    }
    if (oldest == records_.end()) {
      oldest = it;
    } else {
      const bool oldest_locked = oldest->second.locked_until > now;
      if ((oldest_locked && !locked) || (oldest_locked == locked && r.last < oldest->second.last))
        oldest = it;
    }
    ++it;
  }
  if (records_.size() >= kMaxAddresses && oldest != records_.end()) records_.erase(oldest);
}

}  // namespace sl
