#include "core/address_rate_limiter.h"

#include <algorithm>
#include <random>

namespace sl {

AddressRateLimiter::AddressRateLimiter(int allowed, Clock::duration window)
    : allowed_(allowed), window_(window), slots_(kSlots) {
  std::random_device seed;
  key_ = (static_cast<uint64_t>(seed()) << 32) ^ seed();
}

size_t AddressRateLimiter::SlotOf(std::string_view address) const {
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

AddressRateLimiter::Decision AddressRateLimiter::Admit(std::string_view address,
                                                       Clock::time_point now) {
  const size_t index = SlotOf(address);
  MutexLock lock(mu_);
  Slot& slot = slots_[index];
  if (slot.address != address) {
    slot = Slot();
    slot.address = std::string(address);
    slot.window_start = now;
  }
  if (now - slot.window_start >= window_) {
    slot.window_start = now;
    slot.events = 0;
  }
  Decision decision;
  if (slot.events < allowed_) {
    ++slot.events;
    decision.allow = true;
    return decision;
  }
  if (slot.dropped++ == 0 && !slot.queued) {
    slot.queued = true;
    pending_.push_back(index);
    if (pending_.size() > kSlots) {  // slots taken over meanwhile: each index once
      std::sort(pending_.begin(), pending_.end());
      pending_.erase(std::unique(pending_.begin(), pending_.end()), pending_.end());
    }
  }
  if (MayNote(slot, now)) {
    decision.note = true;
    slot.noted = true;
    slot.last_note = now;
  }
  return decision;
}

std::vector<std::pair<std::string, int64_t>> AddressRateLimiter::TakeReports(
    Clock::time_point now) {
  std::vector<std::pair<std::string, int64_t>> reports;
  MutexLock lock(mu_);
  std::vector<size_t> waiting;
  for (size_t index : pending_) {
    Slot& slot = slots_[index];
    slot.queued = false;
    if (slot.dropped == 0) continue;  // the slot was taken over
    if (!MayNote(slot, now)) {
      slot.queued = true;
      waiting.push_back(index);
      continue;
    }
    reports.emplace_back(slot.address, slot.dropped);
    slot.dropped = 0;
    slot.noted = true;
    slot.last_note = now;
  }
  std::sort(waiting.begin(), waiting.end());
  waiting.erase(std::unique(waiting.begin(), waiting.end()), waiting.end());
  pending_ = std::move(waiting);
  return reports;
}

}  // namespace sl
