#include "mail/mail_queue.h"

#include <cstdio>
#include <exception>

#include "mail/texts_ja.h"

namespace sl {

namespace {
constexpr char kMailGivenUp[] = "Not sent: the service stopped first.";
}  // namespace

MailQueue::MailQueue(const EventLog& log, SendFunction send, CancelFunction cancel)
    : log_(log), send_(std::move(send)), cancel_(std::move(cancel)) {
  thread_ = std::thread([this] { Run(); });
}

MailQueue::~MailQueue() { Stop(); }

bool MailQueue::Push(NotifyRequest request, std::string description, DoneFunction done) {
  {
    MutexLock lock(mu_);
    if (!stopping_ && jobs_.size() < kCapacity) {
      jobs_.push_back(Job{std::move(request), std::move(description), std::move(done)});
      cv_.SignalAll();
      return true;
    }
  }
  Log(kEventSystemError, std::string(ja::kMailQueueFull) + "\n" + description);
  if (done) {
    MailOutcome dropped;
    dropped.Reply = ja::kMailQueueFull;
    done(dropped);
  }
  return false;
}

size_t MailQueue::Waiting() const {
  MutexLock lock(mu_);
  return jobs_.size();
}

size_t MailQueue::Pending() const {
  MutexLock lock(mu_);
  return jobs_.size() + (busy_ ? 1 : 0);
}

void MailQueue::Stop(std::chrono::milliseconds grace) {
  size_t left;
  std::deque<Job> given_up;
  mu_.Lock();
  if (!thread_.joinable() || stopping_) {
    mu_.Unlock();
    return;
  }
  stopping_ = true;
  cv_.SignalAll();
  cv_.WaitFor(mu_, grace, [this] {
    mu_.AssertHeld();
    return jobs_.empty() && !busy_;
  });
  left = jobs_.size() + (busy_ ? 1 : 0);
  given_up.swap(jobs_);
  abandon_ = true;
  cv_.SignalAll();
  // The session in progress may wait on a silent server for long: abort
  // it, again until the thread has seen it (an abort between two steps
  // of the session would be missed).
  while (busy_) {
    mu_.Unlock();
    if (cancel_) cancel_();
    mu_.Lock();
    cv_.WaitFor(mu_, std::chrono::milliseconds(100), [this] {
      mu_.AssertHeld();
      return !busy_;
    });
  }
  mu_.Unlock();
  thread_.join();
  MailOutcome not_sent;
  not_sent.Reply = kMailGivenUp;
  for (Job& job : given_up) {
    if (job.done) job.done(not_sent);
  }
  if (left > 0) {
    Log(kEventSystemError,
        std::string(ja::kMailsNotSent) + "\n" + ja::kMailCountLabel + "\t" + std::to_string(left));
  }
}

void MailQueue::Run() {
  mu_.Lock();
  for (;;) {
    while (!abandon_ && !stopping_ && jobs_.empty()) cv_.Wait(mu_);
    if (abandon_ || jobs_.empty()) break;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    mu_.Unlock();
    MailOutcome outcome;
    try {
      outcome = send_(job.request);
    } catch (const std::exception& e) {
      outcome = MailOutcome{};
      outcome.Reply = e.what();
      Log(kEventSystemError, std::string(kNotifyFailure) + "\n" + e.what());
    }
    if (outcome.Accepted) {
      std::string to;
      for (const std::string& r : outcome.Recipients) to += (to.empty() ? "" : ", ") + r;
      Log(kEventInformation, std::string(ja::kWatchMailSent) + "\n" + job.description + "\n" +
                                 ja::kMailToLabel + "\t" + to);
    }
    if (job.done) job.done(outcome);
    mu_.Lock();
    busy_ = false;
    cv_.SignalAll();
  }
  mu_.Unlock();
}

// The mail thread has no one to report to but the event log; an entry that
// cannot be written is mentioned on standard output.
void MailQueue::Log(int32_t code, const std::string& detail) {
  try {
    log_.LogEvent(code, detail);
  } catch (const std::exception& e) {
    std::fprintf(stdout, "%s\n", e.what());
    std::fflush(stdout);
  }
}

}  // namespace sl
