// ReplyRateLimiter: how often the discovery port may answer one address.
//
// A datagram's source address can be forged, so every answer may go to a
// stranger; the limiter caps the answers to any one address at kReplies a
// second and says when a dropped question should be noted in the log (the
// first drop for an address, then at most once a minute). Its memory is a
// fixed table of kSlots addresses picked by a keyed hash: a flood from many
// forged sources overwrites slots instead of growing the table, and an
// address whose slot was taken simply starts afresh. Used by the UDP
// listener thread only; not locked.
#ifndef SL_DISCOVERY_REPLY_RATE_LIMITER_H_
#define SL_DISCOVERY_REPLY_RATE_LIMITER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sl {

class ReplyRateLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kReplies = 10;  // answers per address and second
  static constexpr std::chrono::seconds kLogInterval{60};
  static constexpr size_t kSlots = 4096;

  struct Decision {
    bool reply = false;     // answer this question
    bool log_drop = false;  // the question is dropped; write one log entry
  };

  ReplyRateLimiter();

  // Counts one question from address at now.
  Decision Admit(std::string_view address, Clock::time_point now);

 private:
  struct Slot {
    std::string address;
    Clock::time_point window_start;
    int replies = 0;
    bool logged = false;
    Clock::time_point last_log;
  };

  size_t SlotOf(std::string_view address) const;

  uint64_t key_;
  std::vector<Slot> slots_;
};

}  // namespace sl

#endif
