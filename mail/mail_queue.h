// MailQueue: notification mails sent in order by a thread of their own.
//
// The watch pass hands each notification to Push and goes on at once; the
// mail thread sends the queued mails one after the other through the send
// function (Notifier::Send), so a slow or silent mail server never holds up
// a pass, another entry or a command. When the server accepted a mail, the
// thread writes the "mail sent" entry of the event log, and hands the outcome
// to the mail's done function (the status page's record, or a test mail's
// waiting page). The queue holds at most kCapacity mails: a mail pushed
// beyond that is dropped with a log entry, and its done function hears of
// it. Stop gives the queued mails a grace time, then aborts the session in
// progress through the cancel function, logs how many mails were not sent
// and ends the thread.
//
// Thread safety: Push, Pending and Stop may be called from any thread.
#ifndef SL_MAIL_MAIL_QUEUE_H_
#define SL_MAIL_MAIL_QUEUE_H_

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/event_log.h"
#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "mail/notify_request.h"

namespace sl {

class MailQueue {
 public:
  static constexpr size_t kCapacity = 256;
  static constexpr std::chrono::milliseconds kStopGrace{5000};

  // Sends one mail and tells how it ended.
  using SendFunction = std::function<MailOutcome(const NotifyRequest& request)>;
  // Told how a queued mail ended, on the mail thread (or on the stopping
  // thread for a mail given up at the stop). Must not block.
  using DoneFunction = std::function<void(const MailOutcome& outcome)>;
  // Makes a send in progress return soon; called from the stopping thread.
  using CancelFunction = std::function<void()>;

  // Starts the mail thread.
  MailQueue(const EventLog& log, SendFunction send, CancelFunction cancel);
  ~MailQueue();  // Stop()
  MailQueue(const MailQueue&) = delete;
  MailQueue& operator=(const MailQueue&) = delete;

  // Queues a mail. `description` (file, words and line as the event log
  // shows a match) goes into the entry written when the mail was sent or
  // dropped. False when the queue was full or stopped; the mail is dropped
  // and logged, and `done` is told so at once (not accepted, the reply
  // saying that the queue was full).
  bool Push(NotifyRequest request, std::string description, DoneFunction done = {}) EXCLUDES(mu_);

  // Mails queued or being sent.
  size_t Pending() const EXCLUDES(mu_);
  // Mails waiting for their turn, the one being sent not counted: at most
  // kCapacity (the status page shows this).
  size_t Waiting() const EXCLUDES(mu_);

  // Waits at most `grace` for the queued mails, then gives up the rest and
  // logs how many were not sent. Later calls do nothing.
  void Stop(std::chrono::milliseconds grace = kStopGrace) EXCLUDES(mu_);

 private:
  struct Job {
    NotifyRequest request;
    std::string description;
    DoneFunction done;
  };

  void Run() EXCLUDES(mu_);
  void Log(int32_t code, const std::string& detail);

  const EventLog& log_;
  SendFunction send_;
  CancelFunction cancel_;

  mutable Mutex mu_;
  CondVar cv_;  // a job came, a send ended, or the stop began
  std::deque<Job> jobs_ GUARDED_BY(mu_);
  bool busy_ GUARDED_BY(mu_) = false;      // a mail is being sent
  bool stopping_ GUARDED_BY(mu_) = false;  // no more mails are taken
  bool abandon_ GUARDED_BY(mu_) = false;   // the thread ends after the current mail
  std::thread thread_;
};

}  // namespace sl

#endif
