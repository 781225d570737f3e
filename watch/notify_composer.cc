#include "watch/notify_composer.h"

#include <exception>

#include "mail/mail_message.h"
#include "service/text.h"
#include "watch/jconvert.h"

namespace sl {

namespace {

constexpr size_t kMaxHostName = 64;

void ReplaceAll(std::string& text, std::string_view from, const std::string& to) {
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

}  // namespace

std::string SubstitutePlaceholders(const std::string& text, const NotifyRequest& request,
                                   const std::string& host_name) {
  std::string out = text;
  ReplaceAll(out, "\\ServerName\\", host_name);
  ReplaceAll(out, "\\IPAddress\\", request.HostAddress);
  ReplaceAll(out, "\\WatchFile\\", request.FileName);
  ReplaceAll(out, "\\WatchString\\", request.SearchString);
  ReplaceAll(out, "\\WatchNum\\", std::to_string(request.HitCount));
  ReplaceAll(out, "\\ResultLine\\", request.ResultLine);
  return out;
}

std::string JisBodyLine(std::string_view euc_line) {
  std::string jis = EucToJis(euc_line);
  // Find the last designation: a line must not end in two-byte (or Roman)
  // mode, so it is closed with a switch to ASCII.
  size_t esc = jis.rfind('\x1b');
  if (esc != std::string::npos && jis.compare(esc, 3, "\x1b(B") != 0) jis += "\x1b(B";
  return jis;
}

NotifyMail ComposeNotifyMail(const NotifyRequest& request, const std::string& host_name) {
  NotifyMail mail;
  for (std::string& address : SplitAddressList(request.MailAddress)) {
    if (address.find_first_of("\r\n") == std::string::npos) mail.Recipients.push_back(std::move(address));
  }
  mail.HdrTo = request.MailAddress;

  std::vector<std::string> lines;
  if (request.MailSubject.empty() && request.MailBody.empty()) {
    mail.HdrSubject = MimeHeaderEncode("ScanLantern Notify");
    lines = {"WatchFile\t" + request.FileName,
             "",
             "SearchString\t" + request.SearchString,
             "",
             "",
             "SearchResult",
             request.ResultLine};
  } else {
    mail.HdrSubject = MimeHeaderEncode(SubstitutePlaceholders(request.MailSubject, request, host_name));
    lines = SplitLines(SubstitutePlaceholders(request.MailBody, request, host_name));
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
  std::string name = MachineHostName();
  if (name.size() > kMaxHostName) name.resize(kMaxHostName);
  return name;
}

Notifier::Notifier(const EventLog& log) : log_(log), smtp_watch_(std::make_unique<TSyncSmtpCli>()) {
  TSyncSmtpCli& smtp = *smtp_watch_;
  smtp.LocalAddr = "0.0.0.0";
  smtp.Port = "smtp";
  smtp.AuthType = smtpAuthNone;
  smtp.HdrPriority = smtpPriorityNone;
  smtp.CharSet = kNotifyCharSet;
  smtp.ContentType = smtpPlainText;
  smtp.OwnHeaders = false;
  smtp.Timeout = 15;
  smtp.MultiThreaded = false;
  smtp.ShareMode = smtpShareDenyWrite;
}

void Notifier::Configure(const std::string& host, const std::string& from) {
  std::lock_guard<std::mutex> lock(config_mu_);
  host_ = host;
  from_ = from;
}

void Notifier::SetPort(const std::string& port) {
  std::lock_guard<std::mutex> lock(config_mu_);
  port_ = port;
}

void Notifier::SetTimeout(int seconds) {
  std::lock_guard<std::mutex> lock(config_mu_);
  timeout_ = seconds;
}

bool Notifier::Send(const NotifyRequest& request) {
  std::lock_guard<std::mutex> send_lock(send_mu_);
  TSyncSmtpCli& smtp = *smtp_watch_;
  {
    std::lock_guard<std::mutex> lock(config_mu_);
    smtp.Host = host_;
    smtp.FromName = from_;
    smtp.HdrFrom = from_;
    smtp.Port = port_;
    smtp.Timeout = timeout_;
  }

  bool failed = false;
  std::string failure;
  // Records the first failing step; later steps are skipped.
  auto step = [&](bool ok) {
    if (!ok && !failed) {
      failed = true;
      failure = smtp.ErrorMessage();
    }
    return ok;
  };
  bool accepted = false;
  try {
    NotifyMail mail = ComposeNotifyMail(request, NotifyHostName());
    smtp.RcptName = mail.Recipients;
    smtp.HdrTo = mail.HdrTo;
    smtp.HdrSubject = mail.HdrSubject;
    smtp.MailMessage = mail.Body;
    accepted = (smtp.Connected() || step(smtp.ConnectSync())) && step(smtp.HeloSync()) &&
               step(smtp.MailFromSync()) && step(smtp.RcptToSync()) && step(smtp.DataSync());
    // QUIT ends every session, also one that failed half-way.
    step(smtp.QuitSync());
  } catch (const std::exception& e) {
    smtp.QuitSync();
    if (!failed) {
      failed = true;
      failure = e.what();
    }
  }
  if (failed) log_.LogEvent(kEventInformation, std::string(kNotifyFailure) + "\n" + EscapeForLog(failure));
  return accepted;
}

}  // namespace sl
