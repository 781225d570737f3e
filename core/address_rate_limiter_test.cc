#include "core/address_rate_limiter.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace sl {
namespace {

TEST(AddressRateLimiterTest, AllowanceNotesAndCounts) {
  AddressRateLimiter limiter(10, std::chrono::seconds(1));
  auto t = AddressRateLimiter::Clock::now();
  int allowed = 0, notes = 0;
  auto ask = [&](const char* address, AddressRateLimiter::Clock::time_point when) {
    AddressRateLimiter::Decision d = limiter.Admit(address, when);
    allowed += d.allow;
    notes += d.note;
  };
  for (int i = 0; i < 25; ++i) ask("192.0.2.1", t);
  EXPECT_EQ(allowed, 10);
  EXPECT_EQ(notes, 1);  // at the first drop
  ask("192.0.2.2", t);  // another address has its own count
  EXPECT_EQ(allowed, 11);
  for (int i = 0; i < 25; ++i) ask("192.0.2.1", t + std::chrono::seconds(1));
  EXPECT_EQ(allowed, 21);
  EXPECT_EQ(notes, 1);  // the next note waits for the interval
  EXPECT_TRUE(limiter.TakeReports(t + std::chrono::seconds(30)).empty());
  // An interval after the first note, every drop since is counted once.
  auto reports = limiter.TakeReports(t + std::chrono::seconds(60));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], std::make_pair(std::string("192.0.2.1"), int64_t{15 + 15}));
  EXPECT_TRUE(limiter.TakeReports(t + std::chrono::seconds(200)).empty());
  // After a quiet interval a new series is noted at its first drop.
  for (int i = 0; i < 25; ++i) ask("192.0.2.1", t + std::chrono::seconds(121));
  EXPECT_EQ(notes, 2);
}

}  // namespace
}  // namespace sl
