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

// Sends what `fate` says of each mail's line: "ok", "5xx" (refused for
// good) or anything else (a passing failure); records the lines sent.
class ScriptedSender {
 public:
  MailOutcome operator()(const NotifyRequest& r) {
    std::lock_guard<std::mutex> lock(mu_);
    sent_.push_back(r.ResultLine + (r.Triggers > 1 ? "*" + std::to_string(r.Triggers) : ""));
    MailOutcome outcome;
    std::string fate = fate_(r.ResultLine);
    outcome.Accepted = fate == "ok";
    outcome.Permanent = fate == "5xx";
    if (!outcome.Accepted) {
      outcome.FailedStep = "RCPT TO";
      outcome.Reply = fate == "5xx" ? "550 no such user" : "451 try later";
    }
    cv_.notify_all();
    return outcome;
  }
  void SetFate(std::function<std::string(const std::string&)> fate) {
    std::lock_guard<std::mutex> lock(mu_);
    fate_ = std::move(fate);
  }
  std::vector<std::string> Sent() {
    std::lock_guard<std::mutex> lock(mu_);
    return sent_;
  }
  bool WaitForCount(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return sent_.size() >= n; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::function<std::string(const std::string&)> fate_ = [](const std::string&) { return "ok"; };
  std::vector<std::string> sent_;
};

MailQueue::Options Fast(const std::string& spool) {
  MailQueue::Options options;
  options.SpoolDirectory = spool;
  options.FirstRetry = std::chrono::milliseconds(40);
  options.LongestRetry = std::chrono::milliseconds(160);
  return options;
}

// The life of spooled mails: a passing failure is tried again (later mails
// to the server wait behind it), a 5xx refusal is given up and logged with
// everything a reader needs, a stop keeps what is not sent, and the next
// start sends it in the order of the triggers.
TEST_F(MailQueueTest, SpooledMailsAreRetriedInOrderGivenUpOn5xxAndSurviveAStop) {
  const std::string spool = base_ + "spool";
  ScriptedSender sender;
  int failures = 0;
  sender.SetFate([&](const std::string& line) {
    if (line == "refused") return std::string("5xx");
    if (line == "first" && ++failures <= 3) return std::string("4xx");
    return std::string("ok");
  });
  {
    MailQueue queue(*log_, Fast(spool), std::ref(sender), nullptr);
    queue.Start();
    std::vector<std::string> seen;
    NotifyRequest first = Mail("first");
    first.MailAddress = "ops@example.com";
    ASSERT_TRUE(queue.Push(first, "file first", [&](const MailOutcome& o) {
      seen.push_back(o.Accepted ? "sent" : o.Retrying ? "retrying" : "failed");
    }));
    ASSERT_TRUE(queue.Push(Mail("refused"), "file refused"));
    ASSERT_TRUE(queue.Push(Mail("third"), "file third"));
    ASSERT_TRUE(sender.WaitForCount(6));
    queue.Stop();
    EXPECT_EQ(sender.Sent(),
              (std::vector<std::string>{"first", "first", "first", "first", "refused", "third"}));
    EXPECT_EQ(seen, (std::vector<std::string>{"retrying", "retrying", "retrying", "sent"}));
    std::string log = LogText();
    EXPECT_NE(log.find(std::string(ja::kMailGivenUp) + "\nfile refused\n" + ja::kMailToLabel +
                       "\t\n" + ja::kTriggeredAtLabel + "\t"),
              std::string::npos);
    EXPECT_NE(log.find(std::string(ja::kLastReplyLabel) + "\tRCPT TO: 550 no such user\n"),
              std::string::npos);
    EXPECT_TRUE(fs::is_empty(spool));
    EXPECT_EQ(queue.State().Waiting, 0u);
  }

  // The server is away: the mails stay in the spool over a stop, 0600 each.
  sender.SetFate([](const std::string&) { return std::string("4xx"); });
  {
    MailQueue queue(*log_, Fast(spool), std::ref(sender), nullptr);
    queue.Start();
    for (const char* line : {"a\tb\\c\nd", "b", "c"}) ASSERT_TRUE(queue.Push(Mail(line), line));
    ASSERT_TRUE(sender.WaitForCount(8));
    MailQueueState state = queue.State();
    EXPECT_EQ(state.Waiting, 3u);
    EXPECT_EQ(state.LastError, "RCPT TO: 451 try later");
    queue.Stop();
  }
  std::vector<std::string> files;
  for (const auto& f : fs::directory_iterator(spool)) {
    files.push_back(f.path().filename());
    EXPECT_EQ(fs::status(f.path()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
  EXPECT_EQ(files.size(), 3u);
  EXPECT_NE(LogText().find(std::string(ja::kMailsKept) + "\n" + ja::kMailCountLabel + "\t3\n"),
            std::string::npos);
  testing::WriteFile(spool + "/00000000000000000099.mail", "not a mail\n");

  sender.SetFate([](const std::string&) { return std::string("ok"); });
  size_t before = sender.Sent().size();
  MailQueue queue(*log_, Fast(spool), std::ref(sender), nullptr);
  queue.Start();
  ASSERT_TRUE(sender.WaitForCount(before + 3));
  queue.Stop();
  std::vector<std::string> sent = sender.Sent();
  EXPECT_EQ(std::vector<std::string>(sent.begin() + static_cast<long>(before), sent.end()),
            (std::vector<std::string>{"a\tb\\c\nd", "b", "c"}));
  EXPECT_TRUE(fs::exists(spool + "/00000000000000000099.mail.bad"));
  EXPECT_NE(LogText().find(ja::kSpoolFileSetAside), std::string::npos);
}

// Beyond its limit the queue merges a notification into its entry's
// waiting mail and drops (logging the entry) only what has none; a stop
// aborts the stalled session within its grace and keeps the spool.
TEST_F(MailQueueTest, FullQueueMergesDigestsAndStopCancelsTheStalledSession) {
  std::mutex mu;
  std::condition_variable cv;
  bool cancelled = false;
  bool started = false;
  std::vector<std::string> sent;
  MailQueue::Options options = Fast(base_ + "spool");
  options.MaxMails = 3;
  MailQueue queue(
      *log_, options,
      [&](const NotifyRequest& r) {
        std::unique_lock<std::mutex> lock(mu);
        sent.push_back(r.ResultLine);
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
  queue.Start();
  ASSERT_TRUE(queue.Push(Mail("stalled"), "stalled"));
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return started; });
  }
  NotifyRequest entry = Mail("line 1");
  entry.FileName = "/var/log/app.log";
  ASSERT_TRUE(queue.Push(entry, "app"));
  ASSERT_TRUE(queue.Push(Mail("other"), "other"));
  for (int i = 2; i <= 5; ++i) {
    entry.ResultLine = "line " + std::to_string(i);
    EXPECT_TRUE(queue.Push(entry, "app"));  // merged
  }
  std::string dropped;
  NotifyRequest stranger = Mail("new entry");
  stranger.FileName = "/var/log/new.log";
  EXPECT_FALSE(queue.Push(stranger, "new entry", [&](const MailOutcome& o) { dropped = o.Reply; }));
  EXPECT_EQ(dropped, ja::kMailQueueFull);
  EXPECT_EQ(queue.State().Waiting, 3u);
  auto t0 = std::chrono::steady_clock::now();
  queue.Stop(std::chrono::milliseconds(300));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  std::string log = LogText();
  EXPECT_NE(log.find(std::string(ja::kMailQueueFull) + "\nnew entry\n"), std::string::npos);
  EXPECT_NE(log.find(std::string(ja::kMailsKept) + "\n" + ja::kMailCountLabel + "\t3\n"),
            std::string::npos);
  // The digest on disk stands for five triggers, from line 1 to line 5.
  MailSpool spool(base_ + "spool");
  MailSpool::Loaded loaded = spool.Load();
  ASSERT_EQ(loaded.Mails.size(), 3u);
  const NotifyRequest& digest = loaded.Mails[1].Request;
  EXPECT_EQ(digest.Triggers, 5);
  EXPECT_EQ(digest.FirstLine, "line 1");
  EXPECT_EQ(digest.ResultLine, "line 5");
  EXPECT_EQ(loaded.Mails[0].Attempts, 1);
}

}  // namespace
}  // namespace sl
