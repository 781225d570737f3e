// MailQueue: the notification mails, kept in a spool on disk and sent by a
// thread of their own until the server takes them.
//
// The watch pass hands each notification to Push and goes on at once. A
// writer thread writes it to the spool (MailSpool, data/spool/) before it
// is first tried; the mail thread sends the mails one after the other
// through the send function (Notifier::Send), so a slow or absent mail
// server never holds up a pass, another entry or a command.
//
// - Accepted: the "mail sent" entry is logged and the file removed.
// - A passing failure (no connection, a time-out, TLS, a 4xx reply): tried
//   again after 30 s, the delay doubling up to 15 minutes, for the mail's
//   MailRetryHours. Mails to one server go out in the order of their
//   triggers: while the first waits for its next attempt, so do the others.
// - A 5xx refusal, or the end of the retry time: given up, and logged with
//   the entry's file and words, the recipients, the time of the trigger and
//   the last reply.
//
// The queue holds at most kMaxMails mails and kMaxBytes of them. Beyond
// that a notification of an entry that already has a mail waiting is merged
// into it (a digest: how many triggers it stands for, the first and the
// last line); one that cannot be merged is logged with its entry and
// dropped. Stop ends the session in progress after a grace time and keeps
// every mail not yet sent in the spool; Start reads them back and sending
// goes on. A test mail (PushOnce) is tried once, at once, and not spooled.
//
// Thread safety: every public function may be called from any thread.
#ifndef SL_MAIL_MAIL_QUEUE_H_
#define SL_MAIL_MAIL_QUEUE_H_

#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "core/event_log.h"
#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "mail/mail_spool.h"
#include "mail/notify_request.h"

namespace sl {

// What the status page shows of the queue.
struct MailQueueState {
  size_t Waiting = 0;               // mails not yet sent, the one in progress included
  int64_t OldestAgeSeconds = -1;    // since the oldest one's trigger; -1: none
  int64_t NextAttemptSeconds = -1;  // until the next send; 0: now or in progress; -1: none
  std::string LastError;            // the last failed send's step and reply
  std::time_t LastErrorAt = 0;      // 0: none since the start
  bool Full = false;                // at its limit: a new entry's notification is dropped
  // Since the start: mails the server accepted, and failed sends by the
  // step that failed (a mail tried again counts at every failure).
  uint64_t Sent = 0;
  std::map<std::string, uint64_t> FailedBySteps;
};

class MailQueue {
 public:
  struct Options {
    std::string SpoolDirectory;  // empty: nothing is spooled (tests)
    size_t MaxMails = 1000;
    size_t MaxBytes = 16 << 20;
    std::chrono::milliseconds FirstRetry = std::chrono::seconds(30);
    std::chrono::milliseconds LongestRetry = std::chrono::minutes(15);
  };
  static constexpr std::chrono::milliseconds kStopGrace{5000};

  // Sends one mail and tells how it ended.
  using SendFunction = std::function<MailOutcome(const NotifyRequest& request)>;
  // Told how a queued mail ended (and, with Retrying, of each attempt that
  // failed for a passing reason), on the mail thread. Must not block.
  using DoneFunction = std::function<void(const MailOutcome& outcome)>;
  // Makes a send in progress return soon; called from the stopping thread.
  using CancelFunction = std::function<void()>;

  MailQueue(const EventLog& log, Options options, SendFunction send, CancelFunction cancel);
  ~MailQueue();  // Stop()
  MailQueue(const MailQueue&) = delete;
  MailQueue& operator=(const MailQueue&) = delete;

  // Reads the spool back (the mails a stop or a crash left) and starts the
  // threads. Problems of the spool are logged; the queue then works without
  // it, in memory. Call once.
  void Start() EXCLUDES(mu_);

  // Queues a notification. `description` (file, words and line as the
  // event log shows a match) goes into the entries written of it. False
  // when it could neither be queued nor merged: it is dropped and logged,
  // and `done` is told at once.
  bool Push(NotifyRequest request, std::string description, DoneFunction done = {}) EXCLUDES(mu_);
  // A test mail: tried once, before the waiting mails, never spooled.
  bool PushOnce(NotifyRequest request, std::string description, DoneFunction done) EXCLUDES(mu_);

  MailQueueState State() const EXCLUDES(mu_);
  // At its limit: a notification of an entry without a waiting mail is
  // dropped (State().Full, without the rest of the state).
  bool Full() const EXCLUDES(mu_);

  // Lets the mail in progress end within `grace`, then aborts it; the
  // mails not sent stay in the spool for the next start (a test mail's
  // done is told it was not sent). Later calls do nothing.
  void Stop(std::chrono::milliseconds grace = kStopGrace) EXCLUDES(mu_);

 private:
  using Steady = std::chrono::steady_clock;
  enum class Disk { kUnwritten, kWriting, kWritten, kUnwritable, kNone };
  struct Job {
    SpooledMail mail;
    DoneFunction done;
    Disk disk = Disk::kUnwritten;
    bool dirty = false;    // changed since it was written
    bool sending = false;  // with the mail thread
    bool once = false;     // a test mail: tried once, not spooled, not counted
    size_t bytes = 0;      // its size in the spool
    Steady::time_point next_attempt;
  };

  bool Queue(NotifyRequest request, std::string description, DoneFunction done, bool once)
      EXCLUDES(mu_);
  // The mail to merge a notification into: the last waiting one of the same
  // entry and server; nullptr when there is none.
  Job* DigestTarget(const NotifyRequest& request) REQUIRES(mu_);
  // Makes `into` stand for the triggers of `request` too.
  void Merge(Job& into, const NotifyRequest& request) REQUIRES(mu_);
  // The next mail due, or nullptr; `wake` is lowered to the next due time.
  Job* NextDue(Steady::time_point now, Steady::time_point& wake) REQUIRES(mu_);
  void RunSender() EXCLUDES(mu_);
  void RunWriter() EXCLUDES(mu_);
  // Settles a mail after a send: removes it, or plans its next attempt.
  void Settle(uint64_t id, const MailOutcome& outcome) EXCLUDES(mu_);
  void Forget(uint64_t id) REQUIRES(mu_);
  bool AtLimit() const REQUIRES(mu_);
  void Log(int32_t code, const std::string& detail) const;

  const EventLog& log_;
  const Options options_;
  const SendFunction send_;
  const CancelFunction cancel_;
  MailSpool spool_;  // the writer's; the sender removes files through it after the writer

  mutable Mutex mu_;
  CondVar cv_;                                    // a job came, changed or ended, or the stop began
  std::map<uint64_t, Job> jobs_ GUARDED_BY(mu_);  // by id: the order of the triggers
  uint64_t next_id_ GUARDED_BY(mu_) = 1;
  size_t spooled_ GUARDED_BY(mu_) = 0;  // jobs that count against the limits
  size_t bytes_ GUARDED_BY(mu_) = 0;
  bool spool_failing_ GUARDED_BY(mu_) = false;  // the last write failed
  std::string last_error_ GUARDED_BY(mu_);
  uint64_t sent_ GUARDED_BY(mu_) = 0;
  std::map<std::string, uint64_t> failed_ GUARDED_BY(mu_);  // by the failing step
  std::time_t last_error_at_ GUARDED_BY(mu_) = 0;
  bool started_ GUARDED_BY(mu_) = false;
  bool stopping_ GUARDED_BY(mu_) = false;  // no more sends are begun
  bool abandon_ GUARDED_BY(mu_) = false;   // the mail thread ends after the current mail
  bool stopped_ GUARDED_BY(mu_) = false;   // both threads ended
  std::thread sender_;
  std::thread writer_;
};

}  // namespace sl

#endif
