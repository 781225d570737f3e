// TestMail: the test mail of "/TestMail.cgi", which shows an administrator
// whether the mail settings work.
//
// Send copies the mail settings under ServiceState::Lock, queues one mail
// filled with test values through the function the service module hands
// over (the queue and notifier of the notifications), and waits without
// the lock at most `wait` for its outcome. It returns the result panel for
// the page: accepted, failed (with the failing step, the server's reply and
// the refused recipients), or still on its way when the wait ran out.
#ifndef SL_WEB_TEST_MAIL_H_
#define SL_WEB_TEST_MAIL_H_

#include <chrono>
#include <functional>
#include <string>

#include "core/thread_annotations.h"
#include "mail/mail_queue.h"
#include "settings/service_state.h"

namespace sl {

class TestMail {
 public:
  // Queues a mail; `done` is told how it ended. False when the queue is
  // full or stopped.
  using QueueFunction = std::function<bool(NotifyRequest request, std::string description,
                                           MailQueue::DoneFunction done)>;
  // How long Send waits for the outcome before it answers that the mail
  // is still on its way.
  static constexpr std::chrono::seconds kWait{30};

  TestMail(ServiceState& state, QueueFunction queue,
           std::chrono::steady_clock::duration wait = kWait);
  TestMail(const TestMail&) = delete;
  TestMail& operator=(const TestMail&) = delete;

  // Sends the test mail to `recipients` (EUC-JP, trimmed) for the client
  // `peer` (named in the log) and returns the result panel, Shift_JIS HTML.
  std::string Send(const std::string& recipients, const std::string& peer) EXCLUDES(state_.Lock);

 private:
  ServiceState& state_;
  const QueueFunction queue_;
  const std::chrono::steady_clock::duration wait_;
};

}  // namespace sl

#endif
