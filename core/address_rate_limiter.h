// AddressRateLimiter: how much one client address may have in a time window.
//
// The discovery port answers and the administration port logs requests of
// clients that are not logged in; both are open to anyone, and a source
// address may even be forged. The limiter allows `allowed` events per
// address in each window and counts the rest. The caller notes drops in
// the log at most once per kReportInterval and address: Admit says when a
// drop starts a series (the first drop, or the first after a quiet
// interval), TakeReports gives the number dropped once an interval has
// passed since the last note. Its memory is a fixed table of kSlots
// addresses picked by a keyed hash: a flood from many forged sources
// overwrites slots instead of growing the table, and an address whose slot
// was taken simply starts afresh. Thread-safe.
#ifndef SL_CORE_ADDRESS_RATE_LIMITER_H_
#define SL_CORE_ADDRESS_RATE_LIMITER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/mutex.h"

namespace sl {

class AddressRateLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kReportInterval{60};
  static constexpr size_t kSlots = 4096;

  struct Decision {
    bool allow = false;  // within the address's allowance
    bool note = false;   // dropped, and the first drop to note in an interval
  };

  AddressRateLimiter(int allowed, Clock::duration window);
  AddressRateLimiter(const AddressRateLimiter&) = delete;
  AddressRateLimiter& operator=(const AddressRateLimiter&) = delete;

  // Counts one event from address at now.
  Decision Admit(std::string_view address, Clock::time_point now);

  // The addresses with drops not yet counted in a note whose last note is
  // at least kReportInterval old, each with its count, which starts anew.
  std::vector<std::pair<std::string, int64_t>> TakeReports(Clock::time_point now);

  int allowed() const { return allowed_; }

 private:
  struct Slot {
    std::string address;
    Clock::time_point window_start;
    int events = 0;
    int64_t dropped = 0;  // since the last count
    bool noted = false;   // a note was written for this address
    bool queued = false;  // its index is in pending_
    Clock::time_point last_note;
  };

  size_t SlotOf(std::string_view address) const;
  bool MayNote(const Slot& slot, Clock::time_point now) const {
    return !slot.noted || now - slot.last_note >= kReportInterval;
  }

  const int allowed_;
  const Clock::duration window_;
  uint64_t key_;
  Mutex mu_;
  std::vector<Slot> slots_ GUARDED_BY(mu_);
  std::vector<size_t> pending_ GUARDED_BY(mu_);  // slots with drops not yet noted
};

}  // namespace sl

#endif
