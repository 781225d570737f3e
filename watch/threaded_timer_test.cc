#include "watch/threaded_timer.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "testing/test_support.h"

namespace sl {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Runs ticks on this thread until done() or the deadline.
template <typename Pred>
void PumpUntil(Pred done, milliseconds limit = milliseconds(5000)) {
  auto deadline = Clock::now() + limit;
  while (!done() && Clock::now() < deadline) RunOwnerTicks(milliseconds(20));
}

int ThreadCount() {
  int n = 0;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

TEST(ThreadedTimerTest, TicksOnTheOwnerThreadWithItselfAsSender) {
  TThreadedTimer timer;
  EXPECT_TRUE(timer.Enabled());
  EXPECT_EQ(timer.Interval(), 1000);
  EXPECT_EQ(timer.OwnerThreadId(), gettid());
  timer.SetInterval(20);
  std::vector<std::thread::id> threads;
  TThreadedTimer* sender = nullptr;
  timer.OnTimer = [&](TThreadedTimer& t) {
    threads.push_back(std::this_thread::get_id());
    sender = &t;
  };
  PumpUntil([&] { return threads.size() >= 3; });
  ASSERT_GE(threads.size(), 3u);
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_EQ(sender, &timer);
}

TEST(ThreadedTimerTest, DisabledAndUnchangedSettings) {
  TThreadedTimer timer;
  timer.SetEnabled(false);
  timer.SetEnabled(false);  // no effect, no error
  timer.SetInterval(10);    // stored only
  EXPECT_EQ(timer.Interval(), 10);
  int ticks = 0;
  timer.OnTimer = [&](TThreadedTimer&) { ++ticks; };
  auto until = Clock::now() + milliseconds(100);
  while (Clock::now() < until) RunOwnerTicks(milliseconds(20));
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(timer.PendingSignals(), 0);
}

TEST(ThreadedTimerTest, NonPositiveIntervalIsRefusedWhenItWouldBeQueued) {
  TThreadedTimer timer;
  timer.SetEnabled(false);
  timer.SetInterval(0);  // disabled: stored
  EXPECT_THROW(timer.SetEnabled(true), ETimer);
  EXPECT_FALSE(timer.Enabled());
  timer.SetInterval(50);
  timer.SetEnabled(true);
  EXPECT_THROW(timer.SetInterval(-5), ETimer);
  EXPECT_EQ(timer.Interval(), 50);
}

// The handler disables its timer and enables it at its end: the next tick
// comes one interval after the end, never while the handler runs.
TEST(ThreadedTimerTest, ReenabledInHandlerWaitsOneIntervalFromItsEnd) {
  TThreadedTimer timer;
  timer.SetInterval(60);
  std::vector<Clock::time_point> starts, ends;
  timer.OnTimer = [&](TThreadedTimer& t) {
    t.SetEnabled(false);
    starts.push_back(Clock::now());
    std::this_thread::sleep_for(milliseconds(100));  // longer than the interval
    ends.push_back(Clock::now());
    t.SetEnabled(true);
  };
  PumpUntil([&] { return starts.size() >= 3; });
  ASSERT_GE(starts.size(), 3u);
  for (size_t i = 1; i < starts.size(); ++i) {
    EXPECT_GE(starts[i] - ends[i - 1], milliseconds(59));
  }
}

// Left enabled, a slow handler finds ticks queued meanwhile and runs them
// one after another afterwards.
TEST(ThreadedTimerTest, SlowHandlerOfAnEnabledTimerGetsQueuedTicks) {
  TThreadedTimer timer;
  timer.SetInterval(20);
  int ticks = 0;
  int pending_seen = 0;
  timer.OnTimer = [&](TThreadedTimer& t) {
    if (++ticks == 1) {
      std::this_thread::sleep_for(milliseconds(150));
      pending_seen = t.PendingSignals();
    }
  };
  PumpUntil([&] { return ticks >= 1; });
  EXPECT_GE(pending_seen, 3);
  RunOwnerTicks(milliseconds(0));
  EXPECT_GE(ticks, 4);
}

TEST(ThreadedTimerTest, TimersDueTogetherRunInDueOrder) {
  TThreadedTimer a, b;
  std::vector<char> order;
  a.OnTimer = [&](TThreadedTimer&) { order.push_back('a'); };
  b.OnTimer = [&](TThreadedTimer&) { order.push_back('b'); };
  a.SetEnabled(false);
  b.SetEnabled(false);
  a.SetInterval(30);
  b.SetInterval(30);
  b.SetEnabled(true);
  a.SetEnabled(true);
  std::this_thread::sleep_for(milliseconds(45));  // both fired, nothing run yet
  a.SetEnabled(false);
  b.SetEnabled(false);
  RunOwnerTicks(milliseconds(0));
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order[0], 'b');
  EXPECT_EQ(order[1], 'a');
}

TEST(ThreadedTimerTest, DestroyingWithQueuedTicksDropsThem) {
  int ticks = 0;
  {
    TThreadedTimer timer;
    timer.SetInterval(10);
    timer.OnTimer = [&](TThreadedTimer&) { ++ticks; };
    std::this_thread::sleep_for(milliseconds(60));
    EXPECT_GT(timer.PendingSignals(), 0);
  }
  EXPECT_EQ(RunOwnerTicks(milliseconds(0)), 0);
  EXPECT_EQ(ticks, 0);
}

TEST(ThreadedTimerTest, HandlerMayDestroyItsOwnTimer) {
  auto timer = std::make_unique<TThreadedTimer>();
  timer->SetInterval(10);
  int ticks = 0;
  timer->OnTimer = [&](TThreadedTimer&) {
    ++ticks;
    timer.reset();
  };
  PumpUntil([&] { return timer == nullptr; });
  EXPECT_EQ(ticks, 1);
}

// Destroyed on another thread while its handler runs: the destructor waits.
TEST(ThreadedTimerTest, DestroyFromAnotherThreadWaitsForTheHandler) {
  auto timer = std::make_unique<TThreadedTimer>();
  timer->SetInterval(10);
  std::atomic<bool> in_handler{false};
  std::atomic<bool> handler_done{false};
  timer->OnTimer = [&](TThreadedTimer& t) {
    t.SetEnabled(false);
    in_handler = true;
    std::this_thread::sleep_for(milliseconds(80));
    handler_done = true;
  };
  std::thread killer([&] {
    while (!in_handler) std::this_thread::sleep_for(milliseconds(1));
    timer.reset();
    EXPECT_TRUE(handler_done.load());
  });
  PumpUntil([&] { return handler_done.load(); });
  killer.join();
}

// The owner thread ended: later ticks cannot be delivered, the timer turns
// itself off.
TEST(ThreadedTimerTest, OwnerThreadGoneDisablesTheTimer) {
  std::unique_ptr<TThreadedTimer> timer;
  std::thread owner([&] {
    timer = std::make_unique<TThreadedTimer>();
    timer->SetInterval(10);
  });
  owner.join();
  testing::WaitUntil([&] { return !timer->Enabled(); }, milliseconds(5000), milliseconds(5));
  EXPECT_FALSE(timer->Enabled());
  EXPECT_EQ(timer->PendingSignals(), 0);
  timer.reset();
}

void WakeOnSignal(int) { WakeOwnerLoop(); }

TEST(ThreadedTimerTest, WakeOwnerLoopEndsTheWait) {
  // Called before the wait: the next wait returns at once.
  WakeOwnerLoop();
  auto t0 = Clock::now();
  EXPECT_EQ(RunOwnerTicks(milliseconds(10000)), 0);
  EXPECT_LT(Clock::now() - t0, milliseconds(5000));
  // From another thread's signal handler.
  struct sigaction sa {
  }, old{};
  sa.sa_handler = WakeOnSignal;
  sigaction(SIGUSR1, &sa, &old);
  pthread_t main_thread = pthread_self();
  std::thread signaller([&] {
    std::this_thread::sleep_for(milliseconds(50));
    pthread_kill(main_thread, SIGUSR1);
  });
  t0 = Clock::now();
  RunOwnerTicks(milliseconds(10000));
  EXPECT_LT(Clock::now() - t0, milliseconds(5000));
  signaller.join();
  sigaction(SIGUSR1, &old, nullptr);
  RunOwnerTicks(milliseconds(0));  // consume a wake the signal may have left
}

TEST(ThreadedTimerTest, NestedRunOwnerTicksRunsNothing) {
  TThreadedTimer timer;
  timer.SetInterval(10);
  int depth = 0, max_depth = 0, ticks = 0;
  timer.OnTimer = [&](TThreadedTimer&) {
    ++ticks;
    max_depth = std::max(max_depth, ++depth);
    std::this_thread::sleep_for(milliseconds(30));
    EXPECT_EQ(RunOwnerTicks(milliseconds(0)), 0);
    --depth;
  };
  PumpUntil([&] { return ticks >= 2; });
  EXPECT_EQ(max_depth, 1);
}

TEST(ThreadedTimerTest, MultiplexingThreadEndsWithTheLastTimer) {
  // A thread started and joined first lets a sanitizer runtime start its
  // own helper thread before the count is taken.
  std::thread([] {}).join();
  int before = ThreadCount();
  {
    TThreadedTimer a, b;
    a.SetInterval(10);
    EXPECT_EQ(ThreadCount(), before + 1);
  }
  EXPECT_EQ(ThreadCount(), before);
}

}  // namespace
}  // namespace sl
