#include "web/test_mail.h"

#include <memory>
#include <utility>

#include "core/jconvert.h"
#include "core/mutex.h"
#include "core/text.h"
#include "mail/notify_request.h"
#include "mail/smtp_settings.h"
#include "web/admin_text.h"
#include "web/admin_texts_ja.h"
#include "web/mail_failure_text.h"

namespace sl {

namespace {

enum class TestMailAnswer { kAccepted, kFailed, kPending };

// One row of the test mail's result table, values EUC-JP.
std::string ResultRow(const char* label, const std::string& value) {
  return "<tr><th>" + HtmlEscape(EucToSjis(label)) + "</th><td>" + HtmlEscape(EucToSjis(value)) +
         "</td></tr>\n";
}

// The panel that tells how the test mail ended.
std::string TestMailResultHtml(TestMailAnswer answer, const std::string& recipients,
                               const std::string& server, const MailOutcome& outcome,
                               const char* local_reason) {
  const char* id = "testmail-pending";
  const char* panel = "panel";
  const char* text = ja::kTestMailPending;
  if (answer == TestMailAnswer::kAccepted) {
    id = "testmail-ok";
    panel = "panel ok";
    text = ja::kTestMailAccepted;
  } else if (answer == TestMailAnswer::kFailed) {
    id = "testmail-error";
    panel = "panel error";
    text = ja::kTestMailFailed;
  }
  std::string out = std::string("<section class=\"") + panel + "\" id=\"" + id + "\">\n<p>" +
                    HtmlEscape(EucToSjis(text)) + "</p>\n<table class=\"form\">\n";
  out += ResultRow(ja::kTestMailRecipient, recipients);
  if (local_reason) out += ResultRow(ja::kTestMailWhy, local_reason);
  if (!outcome.FailedStep.empty()) {
    // "接続できません (mail.example.jp:587): 接続を拒否されました"
    std::string why = std::string(StepText(outcome.FailedStep)) + " (" + server + ")";
    if (!ServerReplied(outcome.Reply, outcome.Permanent) && !outcome.Reply.empty())
      why += ": " + ClientReason(outcome.Reply);
    out += ResultRow(ja::kTestMailWhy, why);
    out += ResultRow(ja::kTestMailStep, outcome.FailedStep);
  } else if (answer != TestMailAnswer::kPending && !local_reason) {
    out += ResultRow(ja::kTestMailServer, server);
  }
  if (ServerReplied(outcome.Reply, outcome.Permanent))
    out += ResultRow(ja::kTestMailReply, outcome.Reply);
  for (const auto& [address, reply] : outcome.Refused) {
    out += ResultRow(ja::kTestMailRefused, address + ": " + reply);
  }
  return out + "</table>\n</section>\n";
}

// Where the mail's done function leaves the outcome for the waiting
// request; shared, since the mail may end after the request gave up.
struct Waiter {
  Mutex mu;
  CondVar cv;
  bool done GUARDED_BY(mu) = false;
  MailOutcome outcome GUARDED_BY(mu);
};

}  // namespace

TestMail::TestMail(ServiceState& state, QueueFunction queue,
                   std::chrono::steady_clock::duration wait)
    : state_(state), queue_(std::move(queue)), wait_(wait) {}

std::string TestMail::Send(const std::string& recipients, const std::string& peer) {
  // The mail is the one a trigger would send, filled with test values.
  NotifyRequest mail;
  mail.FileName = mail.SearchString = mail.ResultLine = ja::kTestMailValue;
  mail.HitCount = 1;
  mail.MailAddress = recipients;
  {
    MutexLock lock(state_.Lock);
    mail.MailSubject = state_.EnvTable.GetValue("MailSubject");
    mail.MailBody = state_.EnvTable.GetValue("MailBody");
    mail.HostAddress = state_.HostAddress;
    mail.Smtp = SmtpSettingsOf(state_.EnvTable);
  }
  // Its subject tells it apart from an alert. Without templates the mail
  // takes the built-in form, which the templates would replace.
  if (!mail.MailSubject.empty() || !mail.MailBody.empty()) {
    mail.MailSubject = std::string(ja::kTestMailSubject) + " " +
                       (mail.MailSubject.empty() ? "ScanLantern Notify" : mail.MailSubject);
  }

  auto waiter = std::make_shared<Waiter>();
  TestMailAnswer answer = TestMailAnswer::kFailed;
  MailOutcome outcome;
  const char* local_reason = nullptr;  // a check made here, before any server
  if (mail.MailAddress.empty()) {
    local_reason = ja::kTestMailNoRecipient;
  } else if (Trim(mail.Smtp.Server).empty()) {
    local_reason = ja::kTestMailNoServer;
  } else {
    std::string description = std::string(ja::kTestMailLabel) + "\t" + peer;
    auto done = [waiter](const MailOutcome& result) {
      MutexLock hold(waiter->mu);
      waiter->outcome = result;
      waiter->done = true;
      waiter->cv.SignalAll();
    };
    if (!queue_ || !queue_(mail, description, done)) {
      local_reason = ja::kTestMailQueueFull;
    } else {
      MutexLock wait(waiter->mu);
      if (waiter->cv.WaitFor(waiter->mu, wait_, [&waiter] {
            waiter->mu.AssertHeld();
            return waiter->done;
          })) {
        outcome = waiter->outcome;
        answer = outcome.Accepted ? TestMailAnswer::kAccepted : TestMailAnswer::kFailed;
      } else {
        answer = TestMailAnswer::kPending;
      }
    }
  }
  const std::string security = SmtpSecurityKeyword(mail.Smtp.Security);
  const std::string port = !Trim(mail.Smtp.Port).empty() ? std::string(Trim(mail.Smtp.Port))
                           : security == "tls"           ? "465"
                                                         : "25";
  return TestMailResultHtml(answer, mail.MailAddress,
                            std::string(Trim(mail.Smtp.Server)) + ":" + port, outcome,
                            local_reason);
}

}  // namespace sl
