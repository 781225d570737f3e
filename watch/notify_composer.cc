#include "watch/notify_composer.h"

#include <algorithm>
#include <exception>
#include <string_view>

#include "core/host_name.h"
#include "core/jconvert.h"
#include "core/text.h"
#include "mail/mail_message.h"
#include "mail/mime_words.h"
#include "net/resolver.h"
#include "watch/texts_ja.h"

namespace sl {

namespace {

constexpr size_t kMaxHostName = 64;

}  // namespace

std::string JisBodyLine(std::string_view euc_line) {
  std::string euc = CleanEuc(euc_line, false);
  // A leading "." is doubled on the wire.
  size_t limit = kMaxBodyLine - (!euc.empty() && euc[0] == '.' ? 1 : 0);
  std::string jis = ClosedJis(euc);
  if (jis.size() <= limit) return jis;
  // Every character takes at least one octet: the cut lies within the
  // first `limit` characters. Find the longest prefix that fits.
  std::vector<size_t> ends;
  for (size_t i = 0; i < euc.size() && ends.size() < limit;) {
    i += EucCharLength(euc, i, true);
    ends.push_back(std::min(i, euc.size()));
  }
  size_t lo = 0, hi = ends.size();
  while (lo < hi) {
    size_t mid = (lo + hi + 1) / 2;
    if (ClosedJis(std::string_view(euc).substr(0, ends[mid - 1])).size() <= limit)
      lo = mid;
    else
      hi = mid - 1;
  }
  return ClosedJis(std::string_view(euc).substr(0, lo ? ends[lo - 1] : 0));
}

NotifyMail ComposeNotifyMail(const NotifyRequest& request, const std::string& host_name) {
  NotifyMail mail;
  for (std::string& address : SplitAddressList(request.MailAddress)) {
    if (address.find_first_of("\r\n") == std::string::npos)
      mail.Recipients.push_back(std::move(address));
  }
  mail.HdrTo = EncodeAddressList(request.MailAddress);

  std::vector<std::string> lines;
  if (request.MailSubject.empty() && request.MailBody.empty()) {
    mail.HdrSubject = EncodeSubject("ScanLantern Notify");
    lines = {"WatchFile\t" + request.FileName,
             "",
             "SearchString\t" + request.SearchString,
             "",
             "",
             "SearchResult",
             request.ResultLine};
  } else {
    mail.HdrSubject =
        EncodeSubject(SubstitutePlaceholders(request.MailSubject, request, host_name));
    lines = SplitLines(SubstitutePlaceholders(request.MailBody, request, host_name));
  }
  // Triggers held back in a quiet period: one line, unless there were none
  // or the body places their number itself.
  if (request.Suppressed != 0 && request.MailBody.find("\\Suppressed\\") == std::string::npos) {
    lines.push_back((request.MailBody.empty() && request.MailSubject.empty()
                         ? std::string("Suppressed\t")
                         : std::string(ja::kSuppressedLabel) + "  ") +
                    std::to_string(request.Suppressed));
  }
  if (request.Triggers > 1) {
    // A digest: the queue was full, and later triggers were merged in.
    lines.insert(lines.end(),
                 {"", ja::kDigestNote,
                  std::string(ja::kDigestCountLabel) + "\t" + std::to_string(request.Triggers),
                  std::string(ja::kDigestFirstLabel) + "\t" +
                      FormatTimestamp(request.FirstTriggeredAt) + "\t" + request.FirstLine,
                  std::string(ja::kDigestLastLabel) + "\t" + FormatTimestamp(request.TriggeredAt) +
                      "\t" + request.ResultLine});
  }
  for (const std::string& line : lines) {
    // A watched line may carry a lone CR or LF of its own; it ends the line.
    for (const std::string& piece : line.find_first_of("\r\n") == std::string::npos
                                        ? std::vector<std::string>{line}
                                        : SplitLines(line)) {
      mail.Body.push_back(JisBodyLine(piece));
    }
  }
  return mail;
}

std::string NotifyHostName() {
  std::string name = HostName();
  if (name.size() > kMaxHostName) name.resize(kMaxHostName);
  return name;
}

std::string FullyQualifiedHostName() {
  std::string name = HostName();
  if (name.empty() || name.find('.') != std::string::npos) return name;
  std::string canonical = CanonicalName(name);
  return canonical.find('.') != std::string::npos ? canonical : std::string();
}

namespace {

TSmtpSecurity SecurityOf(const std::string& text) {
  std::string keyword = SmtpSecurityKeyword(text);
  if (keyword == "starttls") return smtpSecurityStartTls;
  if (keyword == "tls") return smtpSecurityTls;
  return smtpSecurityNone;
}

}  // namespace

Notifier::Notifier(const EventLog& log, int timeout_seconds)
    : log_(log), timeout_(timeout_seconds), smtp_watch_(std::make_unique<TSyncSmtpCli>()) {
  TSyncSmtpCli& smtp = *smtp_watch_;
  smtp.LocalAddr = "0.0.0.0";
  smtp.Port = "smtp";
  smtp.AuthType = smtpAuthNone;
  smtp.HdrPriority = smtpPriorityNone;
  smtp.CharSet = kNotifyCharSet;
  smtp.ContentType = smtpPlainText;
  smtp.OwnHeaders = false;
  smtp.Timeout = timeout_;
  smtp.MultiThreaded = false;
  smtp.ShareMode = smtpShareDenyWrite;
}

MailOutcome Notifier::Send(const NotifyRequest& request) {
  MutexLock send_lock(send_mu_);
  const SmtpSettings& settings = request.Smtp;
  MailOutcome outcome;
  std::string problem = Trim(settings.From).empty() ? kNoSender : SmtpSettingsProblem(settings);
  if (!problem.empty()) {
    outcome.FailedStep = "SETTINGS";
    outcome.Reply = problem;
    outcome.Permanent = true;  // the mail carries these settings for good
    log_.LogEvent(kEventInformation, std::string(kNotifyFailure) + "\n" + problem);
    return outcome;
  }
  Configure(request);
  bool failed = RunSession(request, outcome);
  for (const auto& [recipient, reply] : outcome.Refused) {
    log_.LogEvent(kEventInformation,
                  std::string(kRecipientRefused) + "\n" + recipient + "\n" + EscapeForLog(reply));
  }
  if (failed)
    log_.LogEvent(kEventInformation,
                  std::string(kNotifyFailure) + "\n" + EscapeForLog(outcome.Reply));
  return outcome;
}

void Notifier::Configure(const NotifyRequest& request) {
  TSyncSmtpCli& smtp = *smtp_watch_;
  const SmtpSettings& settings = request.Smtp;
  smtp.Port = Trim(settings.Port).empty() ? "smtp" : Trim(settings.Port);
  smtp.Timeout = timeout_;
  smtp.Host = Trim(settings.Server);
  smtp.FromName = settings.From;
  smtp.HdrFrom = EncodeAddressList(settings.From);
  smtp.Security = SecurityOf(settings.Security);
  smtp.Username = Trim(settings.User);
  smtp.Password = settings.Password;
  smtp.AuthType = Trim(settings.User).empty() ? smtpAuthNone : smtpAuthAutoSelect;
  // HELO names the host by a name a relay can check, else by its address.
  std::string fqdn = FullyQualifiedHostName();
  std::string address = request.HostAddress.empty() ? "127.0.0.1" : request.HostAddress;
  smtp.SignOn = fqdn.empty() ? "[" + address + "]" : fqdn;
  smtp.MessageIdHost = fqdn.empty() ? address : fqdn;
}

bool Notifier::RunSession(const NotifyRequest& request, MailOutcome& outcome) {
  TSyncSmtpCli& smtp = *smtp_watch_;
  const bool tls_later = SecurityOf(request.Smtp.Security) == smtpSecurityStartTls;
  const bool auth = !Trim(request.Smtp.User).empty();
  bool failed = false;
  // Records the first failing step; later steps are skipped.
  auto step = [&](const char* name, bool ok) {
    if (!ok && !failed) {
      failed = true;
      outcome.FailedStep = name;
      outcome.Reply = smtp.ErrorMessage();
      // Only a 5xx reply of the server itself refuses for good; the
      // client's own failures (no connection, a time-out) pass.
      std::string reply = smtp.LastResponse();
      outcome.Permanent = !reply.empty() && reply[0] == '5' && reply == outcome.Reply;
    }
    return ok;
  };
  try {
    NotifyMail mail = ComposeNotifyMail(request, NotifyHostName());
    smtp.RcptName = mail.Recipients;
    smtp.HdrTo = mail.HdrTo;
    smtp.HdrSubject = mail.HdrSubject;
    smtp.MailMessage = mail.Body;
    bool greeted =
        (smtp.Connected() || step("CONNECT", smtp.ConnectSync())) &&
        (tls_later || auth ? step("EHLO", smtp.EhloSync()) : step("HELO", smtp.HeloSync()));
    if (greeted && tls_later)
      greeted = step("STARTTLS", smtp.StartTlsSync()) && step("EHLO", smtp.EhloSync());
    if (greeted && auth) greeted = step("AUTH", smtp.AuthSync());
    bool rcpt_done =
        greeted && step("MAIL FROM", smtp.MailFromSync()) && step("RCPT TO", smtp.RcptToSync());
    if (greeted) {
      for (const auto& [recipient, reply] : smtp.RefusedRecipients()) {
        outcome.Refused.emplace_back(ExtractMailAddress(recipient), reply);
      }
    }
    outcome.Accepted = rcpt_done && step("DATA", smtp.DataSync());
    if (outcome.Accepted) {
      for (const std::string& r : smtp.AcceptedRecipients())
        outcome.Recipients.push_back(ExtractMailAddress(r));
    }
    // QUIT ends every session, also one that failed half-way.
    step("QUIT", smtp.QuitSync());
  } catch (const std::exception& e) {
    smtp.QuitSync();
    if (!failed) {
      failed = true;
      outcome.Reply = e.what();
    }
  }
  return failed;
}

}  // namespace sl
