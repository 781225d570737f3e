#include "discovery/reply_rate_limiter.h"

#include <random>

namespace sl {

ReplyRateLimiter::ReplyRateLimiter() : slots_(kSlots) {
  std::random_device seed;
  key_ = (static_cast<uint64_t>(seed()) << 32) ^ seed();
}

size_t ReplyRateLimiter::SlotOf(std::string_view address) const {
  // FNV-1a started from a secret key, so that nobody can pick addresses
  // that share a slot with a victim's.
  uint64_t h = 1469598103934665603ULL ^ key_;
  for (char c : address) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ULL;
  }
  h ^= h >> 29;
  return static_cast<size_t>(h % kSlots);
}

ReplyRateLimiter::Decision ReplyRateLimiter::Admit(std::string_view address,
                                                   Clock::time_point now) {
  Slot& slot = slots_[SlotOf(address)];
  if (slot.address != address) {
    slot = Slot();
    slot.address = std::string(address);
    slot.window_start = now;
  }
  if (now - slot.window_start >= std::chrono::seconds(1)) {
    slot.window_start = now;
    slot.replies = 0;
  }
  Decision decision;
  if (slot.replies < kReplies) {
    ++slot.replies;
    decision.reply = true;
    return decision;
  }
  if (!slot.logged || now - slot.last_log >= kLogInterval) {
    slot.logged = true;
    slot.last_log = now;
    decision.log_drop = true;
  }
  return decision;
}

}  // namespace sl
