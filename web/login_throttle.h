// LoginThrottle: locks out client addresses that keep failing to log in.
//
// After kMaxFailures failed logins from one address within kWindow, that
// address is locked out for kLockTime; other addresses are unaffected. A
// successful login in between does not wipe the failures: an attacker who
// shares an address with a polling console would guess without end. The
// table holds at most kMaxAddresses addresses: when it is full, addresses
// with nothing recent are dropped first, then the one idle the longest
// (locked-out addresses last), so many addresses cannot make it grow
// without bound.
//
// Not locked: the caller holds ServiceState::Lock for every call. Times are
// passed in, so tests can move the clock.
#ifndef SL_WEB_LOGIN_THROTTLE_H_
#define SL_WEB_LOGIN_THROTTLE_H_

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

namespace sl {

class LoginThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr size_t kMaxFailures = 10;
  static constexpr Clock::duration kWindow = std::chrono::seconds(60);
  static constexpr Clock::duration kLockTime = std::chrono::seconds(60);
  static constexpr size_t kMaxAddresses = 4096;

  // How much longer `address` stays locked out; zero when it is not.
  Clock::duration LockedFor(const std::string& address, Clock::time_point now) const;
  // Notes a failed login; true when this failure locks the address out.
  bool Failed(const std::string& address, Clock::time_point now);

  size_t AddressCount() const { return records_.size(); }

 private:
  struct Record {
    std::array<Clock::time_point, kMaxFailures> failures;  // a ring, oldest at `next`
    size_t count = 0;
    size_t next = 0;
    Clock::time_point last;          // the latest failure
    Clock::time_point locked_until;  // in the past when not locked
  };

  // Drops what no longer matters; when the table is still full, the
  // address idle the longest, preferring one that is not locked out.
  void MakeRoom(Clock::time_point now);

  std::unordered_map<std::string, Record> records_;
};

}  // namespace sl

#endif
