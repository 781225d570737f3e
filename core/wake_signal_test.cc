#include "core/wake_signal.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace sl {
namespace {

// Several signals before one drain wake a waiter once; a drained signal is
// quiet again.
TEST(WakeSignalTest, SignalsUntilDrained) {
  WakeSignal wake;
  ASSERT_TRUE(wake.Open());
  auto readable = [&] {
    pollfd pfd{wake.fd(), POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1;
  };
  EXPECT_FALSE(readable());
  wake.Signal();
  wake.Signal();
  EXPECT_TRUE(readable());
  wake.Drain();
  EXPECT_FALSE(readable());
}

}  // namespace
}  // namespace sl
