#include "web/login_throttle.h"

#include <gtest/gtest.h>

namespace sl {
namespace {

using std::chrono::seconds;
using Clock = LoginThrottle::Clock;

TEST(LoginThrottleTest, TenFailuresWithinAMinuteLockOneAddressForAMinute) {
  LoginThrottle t;
  const Clock::time_point t0{};
  // Nine failures, then a pause longer than the window: the oldest ones no
  // longer count.
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(t.Failed("10.0.0.1", t0 + seconds(i)));
  EXPECT_FALSE(t.Failed("10.0.0.1", t0 + seconds(70)));
  EXPECT_EQ(t.LockedFor("10.0.0.1", t0 + seconds(70)), Clock::duration::zero());
  // Eight more within the minute of the last two: ten in 60 s.
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(t.Failed("10.0.0.1", t0 + seconds(71 + i)));
  EXPECT_TRUE(t.Failed("10.0.0.1", t0 + seconds(100)));
  EXPECT_EQ(t.LockedFor("10.0.0.1", t0 + seconds(100)), seconds(60));
  EXPECT_EQ(t.LockedFor("10.0.0.1", t0 + seconds(159)), seconds(1));
  EXPECT_EQ(t.LockedFor("10.0.0.2", t0 + seconds(100)), Clock::duration::zero());
  // The end of the lock-out starts a fresh count.
  EXPECT_EQ(t.LockedFor("10.0.0.1", t0 + seconds(160)), Clock::duration::zero());
  EXPECT_FALSE(t.Failed("10.0.0.1", t0 + seconds(161)));
}

TEST(LoginThrottleTest, ManyAddressesKeepTheTableBounded) {
  LoginThrottle t;
  const Clock::time_point t0{};
  for (int i = 0; i < 10; ++i) t.Failed("victim", t0);
  ASSERT_GT(t.LockedFor("victim", t0), Clock::duration::zero());
  for (size_t i = 0; i < LoginThrottle::kMaxAddresses + 50; ++i) {
    t.Failed("a" + std::to_string(i), t0 + seconds(1));
    ASSERT_LE(t.AddressCount(), LoginThrottle::kMaxAddresses);
  }
  EXPECT_GT(t.LockedFor("victim", t0 + seconds(1)), Clock::duration::zero());
  // Old entries make room first: after the window they all go at once.
  t.Failed("late", t0 + seconds(200));
  EXPECT_LE(t.AddressCount(), 2u);
}

}  // namespace
}  // namespace sl
