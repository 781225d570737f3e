// The notification mail of a triggering watch entry.
//
// ComposeNotifyMail fills the subject and body templates (or the built-in
// form) from a NotifyRequest, a snapshot of everything the mail needs, so no
// service lock is held while it is composed and sent. The mail is 7-bit:
// subject and display names as folded encoded words, the body as
// ISO-2022-JP lines of at most 998 octets, each back in ASCII mode.
//
// Notifier owns the SMTP client `SMTPWatch` and sends one notification at a
// time with the mail settings the request carries: connect (TLS from the start with SMTPSecurity
// "tls"), HELO, or EHLO with STARTTLS and AUTH as the settings ask, MAIL FROM, RCPT TO, DATA, QUIT.
// A failing step is written to the event log (code 98, "Error SMTP Server Connect." and the
// client's error text), and so is each recipient the server refused.
//
// Thread safety: sends are serialised; Cancel may be called from any thread.
#ifndef SL_WATCH_NOTIFY_COMPOSER_H_
#define SL_WATCH_NOTIFY_COMPOSER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/event_log.h"
#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "mail/notify_request.h"
#include "mail/sync_smtp_client.h"

namespace sl {

// The parts of a notification as the SMTP client takes them.
struct NotifyMail {
  std::vector<std::string> Recipients;
  std::string HdrTo;
  std::string HdrSubject;         // encoded words, 7-bit
  std::vector<std::string> Body;  // ISO-2022-JP lines
};

inline constexpr char kNotifyCharSet[] = "ISO-2022-JP";
inline constexpr char kRecipientRefused[] = "Error SMTP Recipient Refused.";
inline constexpr char kNoSender[] =
    "FromMailAddress is empty: a notification needs a sender address.";

// One EUC-JP line in ISO-2022-JP that ends in ASCII mode, cut at a
// character boundary so that it goes on the wire in at most 998 octets.
std::string JisBodyLine(std::string_view euc_line);

// Builds the mail: the templates when either is set, else the built-in
// form with the subject "ScanLantern Notify". A mail that carries triggers
// held back in a quiet period ends with a line of their number, unless the
// body template places "\Suppressed\" itself.
NotifyMail ComposeNotifyMail(const NotifyRequest& request, const std::string& host_name);

// The host name for "\ServerName\": at most 64 bytes, empty when unknown.
std::string NotifyHostName();

// The host's fully qualified name: the host name when it holds a dot, else
// its canonical name when that does; empty when neither does.
std::string FullyQualifiedHostName();

class Notifier {
 public:
  // timeout_seconds: the time-out of each step of a session.
  explicit Notifier(const EventLog& log, int timeout_seconds = 15);
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // Sends one notification with request.Smtp (port "smtp" when it names
  // none); Accepted when the server took
  // the mail for at least one recipient. Failures are logged; an
  // EventLogError of the log itself passes to the caller.
  MailOutcome Send(const NotifyRequest& request) EXCLUDES(send_mu_);

  // Aborts the session step in progress, if any, from another thread: the
  // Send running there fails soon instead of waiting out its time-out.
  // Abort is the one call of the client that needs no send_mu_.
  void Cancel() NO_THREAD_SAFETY_ANALYSIS { smtp_watch_->Abort(); }

 private:
  // Sets up the client for one request's server, sender and relay.
  void Configure(const NotifyRequest& request) REQUIRES(send_mu_);
  // Runs the session of one mail; true when a step failed.
  bool RunSession(const NotifyRequest& request, MailOutcome& outcome) REQUIRES(send_mu_);

  const EventLog& log_;

  const int timeout_;

  Mutex send_mu_;                                                           // one Send at a time
  const std::unique_ptr<TSyncSmtpCli> smtp_watch_ PT_GUARDED_BY(send_mu_);  // SMTPWatch
};

}  // namespace sl

#endif
