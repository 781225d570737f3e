#include "mail/mail_queue.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <set>
#include <vector>

#include "core/text.h"
#include "mail/texts_ja.h"

namespace sl {

namespace {

constexpr char kNotSentAtStop[] = "Not sent: the service stopped first.";

// Mails to one server go out in order: this names the server.
std::string ServerKey(const NotifyRequest& r) {
  return LowerCase(Trim(r.Smtp.Server)) + ":" + std::string(Trim(r.Smtp.Port));
}

bool SameEntry(const NotifyRequest& a, const NotifyRequest& b) {
  return a.FileName == b.FileName && a.SearchString == b.SearchString &&
         a.MailAddress == b.MailAddress && ServerKey(a) == ServerKey(b);
}

std::string Outcome(const MailOutcome& outcome) {
  std::string text = outcome.FailedStep.empty() ? "" : outcome.FailedStep + ": ";
  return text + outcome.Reply;
}

}  // namespace

MailQueue::MailQueue(const EventLog& log, Options options, SendFunction send, CancelFunction cancel)
    : log_(log),
      options_(std::move(options)),
      send_(std::move(send)),
      cancel_(std::move(cancel)),
      spool_(options_.SpoolDirectory) {}

MailQueue::~MailQueue() { Stop(); }

void MailQueue::Start() {
  MailSpool::Loaded loaded;
  bool spool_ok = !options_.SpoolDirectory.empty();
  if (spool_ok) {
    try {
      loaded = spool_.Load();
    } catch (const std::exception& e) {
      spool_ok = false;
      Log(kEventSystemError, std::string(ja::kSpoolUnusable) + "\n" + e.what());
    }
  }
  for (const std::string& problem : loaded.Problems) {
    Log(kEventSystemError, std::string(ja::kSpoolFileSetAside) + "\n" + problem);
  }
  if (!loaded.Mails.empty()) {
    Log(kEventInformation, std::string(ja::kSpoolRead) + "\n" + ja::kMailCountLabel + "\t" +
                               std::to_string(loaded.Mails.size()));
  }
  MutexLock lock(mu_);
  if (started_) return;
  started_ = true;
  spool_failing_ = !spool_ok;
  // What a stop left is due at once: the restart may be the cure.
  for (SpooledMail& mail : loaded.Mails) {
    Job job;
    job.bytes = MailSpool::Encode(mail).size();
    job.disk = Disk::kWritten;
    job.next_attempt = Steady::now();
    next_id_ = std::max(next_id_, mail.Id + 1);
    uint64_t id = mail.Id;
    job.mail = std::move(mail);
    ++spooled_;
    bytes_ += job.bytes;
    jobs_.emplace(id, std::move(job));
  }
  sender_ = std::thread([this] { RunSender(); });
  writer_ = std::thread([this] { RunWriter(); });
}

bool MailQueue::Push(NotifyRequest request, std::string description, DoneFunction done) {
  return Queue(std::move(request), std::move(description), std::move(done), false);
}

bool MailQueue::PushOnce(NotifyRequest request, std::string description, DoneFunction done) {
  return Queue(std::move(request), std::move(description), std::move(done), true);
}

bool MailQueue::Queue(NotifyRequest request, std::string description, DoneFunction done,
                      bool once) {
  if (request.TriggeredAt == 0) request.TriggeredAt = std::time(nullptr);
  if (request.FirstTriggeredAt == 0) request.FirstTriggeredAt = request.TriggeredAt;
  if (request.FirstLine.empty()) request.FirstLine = request.ResultLine;
  Job job;
  job.mail.Request = std::move(request);
  job.mail.Description = std::move(description);
  job.bytes = MailSpool::Encode(job.mail).size();
  job.once = once;
  job.disk = once || options_.SpoolDirectory.empty() ? Disk::kNone : Disk::kUnwritten;
  job.next_attempt = Steady::now();
  std::string refusal = ja::kMailQueueFull;
  {
    MutexLock lock(mu_);
    if (stopped_) {
      // Too late for the threads: a notification goes straight to the
      // spool for the next start, a test mail is not sent.
      if (!once && job.disk == Disk::kUnwritten) {
        job.mail.Id = next_id_++;
        try {
          spool_.Write(job.mail);
          return true;
        } catch (const std::exception& e) {
          refusal = std::string(ja::kSpoolUnwritable) + "\n" + e.what();
        }
      }
    } else if (!once && (spooled_ >= options_.MaxMails || bytes_ + job.bytes > options_.MaxBytes)) {
      if (Job* target = DigestTarget(job.mail.Request)) {
        Merge(*target, job.mail.Request);
        return true;
      }
    } else {
      if (!once) {
        ++spooled_;
        bytes_ += job.bytes;
      }
      uint64_t id = next_id_++;
      job.mail.Id = id;
      job.done = std::move(done);
      jobs_.emplace(id, std::move(job));
      cv_.SignalAll();
      return true;
    }
  }
  Log(kEventSystemError, refusal + "\n" + job.mail.Description);
  if (done) {
    MailOutcome dropped;
    dropped.Reply = ja::kMailQueueFull;
    done(dropped);
  }
  return false;
}

void MailQueue::Merge(Job& into, const NotifyRequest& request) {
  NotifyRequest& digest = into.mail.Request;
  digest.Triggers += request.Triggers;
  digest.Suppressed += request.Suppressed;
  digest.ResultLine = request.ResultLine;
  digest.TriggeredAt = request.TriggeredAt;
  digest.HitCount = request.HitCount;
  size_t bytes = MailSpool::Encode(into.mail).size();
  bytes_ = bytes_ - into.bytes + bytes;
  into.bytes = bytes;
  if (into.disk != Disk::kNone) into.dirty = true;
  cv_.SignalAll();
}

MailQueue::Job* MailQueue::DigestTarget(const NotifyRequest& request) {
  for (auto it = jobs_.rbegin(); it != jobs_.rend(); ++it) {
    Job& job = it->second;
    if (!job.once && !job.sending && SameEntry(job.mail.Request, request)) return &job;
  }
  return nullptr;
}

bool MailQueue::Full() const {
  MutexLock lock(mu_);
  return AtLimit();
}

bool MailQueue::AtLimit() const {
  return spooled_ >= options_.MaxMails || bytes_ >= options_.MaxBytes;
}

MailQueueState MailQueue::State() const {
  MutexLock lock(mu_);
  MailQueueState state;
  state.Waiting = jobs_.size();
  state.LastError = last_error_;
  state.LastErrorAt = last_error_at_;
  state.Full = AtLimit();
  state.Sent = sent_;
  state.FailedBySteps = failed_;
  const std::time_t now = std::time(nullptr);
  const Steady::time_point steady_now = Steady::now();
  std::set<std::string> servers_seen;
  for (const auto& [id, job] : jobs_) {
    int64_t age = std::max<int64_t>(0, now - job.mail.Request.FirstTriggeredAt);
    state.OldestAgeSeconds = std::max(state.OldestAgeSeconds, age);
    // Only the first mail of a server is tried next; the others wait for it.
    if (!job.once && !servers_seen.insert(ServerKey(job.mail.Request)).second) continue;
    int64_t due =
        job.sending
            ? 0
            : std::max<int64_t>(
                  0,
                  std::chrono::ceil<std::chrono::seconds>(job.next_attempt - steady_now).count());
    if (state.NextAttemptSeconds < 0 || due < state.NextAttemptSeconds)
      state.NextAttemptSeconds = due;
  }
  return state;
}

MailQueue::Job* MailQueue::NextDue(Steady::time_point now, Steady::time_point& wake) {
  // A test mail goes first: a person waits for its outcome.
  for (auto& [id, job] : jobs_) {
    if (job.once && !job.sending) return &job;
  }
  std::set<std::string> servers_seen;
  for (auto& [id, job] : jobs_) {
    // Only the first waiting mail of each server may go.
    if (job.once) continue;
    if (!servers_seen.insert(ServerKey(job.mail.Request)).second) continue;
    if (job.sending || job.disk == Disk::kUnwritten || job.disk == Disk::kWriting) continue;
    if (job.next_attempt <= now) return &job;
    wake = std::min(wake, job.next_attempt);
  }
  return nullptr;
}

void MailQueue::RunSender() {
  mu_.Lock();
  for (;;) {
    if (abandon_ || stopping_) break;
    Steady::time_point now = Steady::now();
    Steady::time_point wake = now + std::chrono::hours(1);
    Job* job = NextDue(now, wake);
    if (job == nullptr) {
      cv_.WaitUntil(mu_, wake);
      continue;
    }
    job->sending = true;
    job->dirty = false;  // what is sent is the newest; a failure writes it again
    const uint64_t id = job->mail.Id;
    NotifyRequest request = job->mail.Request;
    mu_.Unlock();
    MailOutcome outcome;
    try {
      outcome = send_(request);
    } catch (const std::exception& e) {
      outcome = MailOutcome{};
      outcome.Reply = e.what();
      Log(kEventSystemError, std::string(kNotifyFailure) + "\n" + e.what());
    }
    Settle(id, outcome);
    mu_.Lock();
  }
  mu_.Unlock();
}

void MailQueue::Settle(uint64_t id, const MailOutcome& sent) {
  MailOutcome outcome = sent;
  DoneFunction done;
  std::string entry;  // the log entry of how the mail ended, if it did
  int32_t code = kEventInformation;
  bool remove_file = false;
  {
    MutexLock lock(mu_);
    auto it = jobs_.find(id);
    Job& job = it->second;
    const NotifyRequest& r = job.mail.Request;
    job.sending = false;
    if (outcome.Accepted) {
      ++sent_;
    } else {
      ++failed_[outcome.FailedStep.empty() ? "OTHER" : outcome.FailedStep];
      job.mail.LastError = Outcome(outcome);
      last_error_ = job.mail.LastError;
      last_error_at_ = std::time(nullptr);
    }
    const bool expired = std::time(nullptr) >=
                         r.FirstTriggeredAt + static_cast<std::time_t>(r.Smtp.RetryHours) * 3600;
    if (outcome.Accepted) {
      std::string to;
      for (const std::string& rcpt : outcome.Recipients) to += (to.empty() ? "" : ", ") + rcpt;
      entry = std::string(ja::kWatchMailSent) + "\n" + job.mail.Description + "\n" +
              ja::kMailToLabel + "\t" + to;
    } else if (outcome.Permanent || expired || job.once) {
      code = kEventSystemError;
      entry = std::string(ja::kMailGivenUp) + "\n" + job.mail.Description + "\n" +
              ja::kMailToLabel + "\t" + r.MailAddress + "\n" + ja::kTriggeredAtLabel + "\t" +
              FormatTimestamp(r.FirstTriggeredAt) + "\n" + ja::kLastReplyLabel + "\t" +
              EscapeForLog(job.mail.LastError);
    } else {
      ++job.mail.Attempts;
      auto delay = options_.FirstRetry;
      for (int32_t i = 1; i < job.mail.Attempts && delay < options_.LongestRetry; ++i) delay *= 2;
      job.next_attempt = Steady::now() + std::min(delay, options_.LongestRetry);
      if (job.disk != Disk::kNone) job.dirty = true;  // its attempts and last reply
      outcome.Retrying = true;
      done = job.done;
    }
    if (!outcome.Retrying) {
      done = std::move(job.done);
      remove_file = job.disk == Disk::kWritten || job.disk == Disk::kUnwritable;
      Forget(id);
    }
    cv_.SignalAll();
  }
  if (remove_file) {
    try {
      spool_.Remove(id);
    } catch (const std::exception& e) {
      Log(kEventSystemError, std::string(ja::kSpoolUnusable) + "\n" + e.what());
    }
  }
  if (!entry.empty()) Log(code, entry);
  if (done) done(outcome);
}

void MailQueue::Forget(uint64_t id) {
  auto it = jobs_.find(id);
  if (!it->second.once) {
    --spooled_;
    bytes_ -= it->second.bytes;
  }
  jobs_.erase(it);
}

void MailQueue::RunWriter() {
  mu_.Lock();
  for (;;) {
    Job* job = nullptr;
    for (auto& [id, candidate] : jobs_) {
      if (candidate.sending) continue;
      if (candidate.disk == Disk::kUnwritten || candidate.dirty) {
        job = &candidate;
        break;
      }
    }
    if (job == nullptr) {
      if (stopped_) break;
      cv_.Wait(mu_);
      continue;
    }
    const bool failing = spool_failing_;
    job->disk = Disk::kWriting;
    job->dirty = false;
    SpooledMail copy = job->mail;
    mu_.Unlock();
    std::string error;
    try {
      spool_.Write(copy);
    } catch (const std::exception& e) {
      error = e.what();
    }
    // Written or not, the mail may go: one that is sent needs no file.
    mu_.Lock();
    auto it = jobs_.find(copy.Id);
    if (it != jobs_.end()) it->second.disk = error.empty() ? Disk::kWritten : Disk::kUnwritable;
    spool_failing_ = !error.empty();
    cv_.SignalAll();
    if (!error.empty() && !failing) {
      // Said once while the disk refuses; the mails stay in memory.
      mu_.Unlock();
      Log(kEventSystemError, std::string(ja::kSpoolUnwritable) + "\n" + error);
      mu_.Lock();
    }
  }
  mu_.Unlock();
}

void MailQueue::Stop(std::chrono::milliseconds grace) {
  mu_.Lock();
  if (!started_ || stopping_) {
    stopping_ = true;
    mu_.Unlock();
    return;
  }
  stopping_ = true;
  cv_.SignalAll();
  cv_.WaitFor(mu_, grace, [this] {
    mu_.AssertHeld();
    return std::none_of(jobs_.begin(), jobs_.end(), [](const auto& j) { return j.second.sending; });
  });
  abandon_ = true;
  cv_.SignalAll();
  // The session in progress may wait on a silent server for long: abort
  // it, again until the thread has seen it (an abort between two steps of
  // the session would be missed).
  auto busy = [this] {
    mu_.AssertHeld();
    return std::any_of(jobs_.begin(), jobs_.end(), [](const auto& j) { return j.second.sending; });
  };
  while (busy()) {
    mu_.Unlock();
    if (cancel_) cancel_();
    mu_.Lock();
    cv_.WaitFor(mu_, std::chrono::milliseconds(100), [&] { return !busy(); });
  }
  mu_.Unlock();
  sender_.join();
  // The writer writes what the last send changed, then ends.
  mu_.Lock();
  stopped_ = true;
  cv_.SignalAll();
  mu_.Unlock();
  writer_.join();

  // What the spool holds is sent after the next start; the rest (test
  // mails, mails the disk did not take) is lost, and counted.
  size_t kept = 0;
  size_t lost = 0;
  std::vector<DoneFunction> not_sent;
  {
    MutexLock lock(mu_);
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      if (it->second.disk == Disk::kWritten) {
        ++kept;
        ++it;
        continue;
      }
      if (!it->second.once) ++lost;
      if (it->second.done) not_sent.push_back(std::move(it->second.done));
      Forget((it++)->first);
    }
  }
  MailOutcome outcome;
  outcome.Reply = kNotSentAtStop;
  for (DoneFunction& done : not_sent) done(outcome);
  if (kept > 0) {
    Log(kEventInformation,
        std::string(ja::kMailsKept) + "\n" + ja::kMailCountLabel + "\t" + std::to_string(kept));
  }
  if (lost > 0) {
    Log(kEventSystemError,
        std::string(ja::kMailsNotSent) + "\n" + ja::kMailCountLabel + "\t" + std::to_string(lost));
  }
}

// The mail threads have no one to report to but the event log; an entry
// that cannot be written is mentioned on standard output.
void MailQueue::Log(int32_t code, const std::string& detail) const {
  try {
    log_.LogEvent(code, detail);
  } catch (const std::exception& e) {
    std::fprintf(stdout, "%s\n", e.what());
    std::fflush(stdout);
  }
}

}  // namespace sl
