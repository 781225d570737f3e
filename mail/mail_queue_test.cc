#include "mail/mail_queue.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mail/texts_ja.h"
#include "testing/test_support.h"

namespace sl {
namespace {

namespace fs = std::filesystem;

class MailQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(base_ + "log");
    log_ = std::make_unique<EventLog>(base_);
  }

  std::string LogText() const {
    std::string all;
    for (const auto& f : fs::directory_iterator(base_ + "log")) all += testing::ReadFile(f.path());
    return all;
  }

  static NotifyRequest Mail(const std::string& line) {
    NotifyRequest r;
    r.ResultLine = line;
    return r;
  }

  testing::TempDir dir_{"sl_mail_queue"};
  std::string base_ = dir_.path() + "/";
  std::unique_ptr<EventLog> log_;
};

TEST_F(MailQueueTest, SendsInOrderAndLogsOnlyAcceptedMails) {
  std::mutex mu;
  std::vector<std::string> sent;
  std::vector<std::string> outcomes;
  MailQueue queue(
      *log_,
      [&](const NotifyRequest& r) {
        std::lock_guard<std::mutex> lock(mu);
        sent.push_back(r.ResultLine);
        MailOutcome outcome;
        outcome.Accepted = r.ResultLine != "refused";
        if (!outcome.Accepted) outcome.Reply = "550 no";
        return outcome;
      },
      nullptr);
  auto note = [&](const MailOutcome& o) {
    std::lock_guard<std::mutex> lock(mu);
    outcomes.push_back(o.Accepted ? "sent" : o.Reply);
  };
  EXPECT_TRUE(queue.Push(Mail("one"), "first", note));
  EXPECT_TRUE(queue.Push(Mail("refused"), "second", note));
  EXPECT_TRUE(queue.Push(Mail("three"), "third"));
  queue.Stop();
  EXPECT_EQ(sent, (std::vector<std::string>{"one", "refused", "three"}));
  EXPECT_EQ(outcomes, (std::vector<std::string>{"sent", "550 no"}));
  std::string log = LogText();
  std::string done = std::string(ja::kWatchMailSent) + "\n";
  EXPECT_NE(log.find(done + "first\n"), std::string::npos);
  EXPECT_EQ(log.find(done + "second\n"), std::string::npos);
  EXPECT_NE(log.find(done + "third\n"), std::string::npos);
  EXPECT_EQ(log.find(ja::kMailsNotSent), std::string::npos);
  EXPECT_FALSE(queue.Push(Mail("late"), "after the stop"));
}

// A server that never answers: the queue fills up and drops the overflow,
// and the stop ends within its grace time by cancelling the session.
TEST_F(MailQueueTest, FullQueueDropsAndStopCancelsTheStalledSession) {
  std::mutex mu;
  std::condition_variable cv;
  bool cancelled = false;
  bool started = false;
  MailQueue queue(
      *log_,
      [&](const NotifyRequest&) {
        std::unique_lock<std::mutex> lock(mu);
        started = true;
        cv.notify_all();
        cv.wait(lock, [&] { return cancelled; });
        return MailOutcome{};
      },
      [&] {
        std::lock_guard<std::mutex> lock(mu);
        cancelled = true;
        cv.notify_all();
      });
  ASSERT_TRUE(queue.Push(Mail("stalled"), "stalled"));
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return started; });
  }
  // A mail given up at the stop is reported as not sent.
  std::string given_up;
  ASSERT_TRUE(queue.Push(Mail("q"), "queued", [&](const MailOutcome& o) { given_up = o.Reply; }));
  for (size_t i = 1; i < MailQueue::kCapacity; ++i) ASSERT_TRUE(queue.Push(Mail("q"), "queued"));
  std::string dropped;
  EXPECT_FALSE(
      queue.Push(Mail("over"), "overflow", [&](const MailOutcome& o) { dropped = o.Reply; }));
  EXPECT_EQ(dropped, ja::kMailQueueFull);
  EXPECT_EQ(queue.Pending(), MailQueue::kCapacity + 1);
  EXPECT_EQ(queue.Waiting(), MailQueue::kCapacity);  // the status page's count
  auto t0 = std::chrono::steady_clock::now();
  queue.Stop(std::chrono::milliseconds(300));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  EXPECT_FALSE(given_up.empty());
  std::string log = LogText();
  EXPECT_NE(log.find(std::string(ja::kMailQueueFull) + "\noverflow\n"), std::string::npos);
  EXPECT_NE(log.find(std::string(ja::kMailsNotSent) + "\n" + ja::kMailCountLabel + "\t257\n"),
            std::string::npos);
}

}  // namespace
}  // namespace sl
