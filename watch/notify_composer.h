// The notification mail of a triggering watch entry.
//
// ComposeNotifyMail fills the subject and body templates (or the built-in
// form) from a NotifyRequest, a snapshot of everything the mail needs, so no
// service lock is held while it is composed and sent. Notifier owns the SMTP
// client `SMTPWatch` and sends one notification at a time: connect, HELO,
// MAIL FROM, RCPT TO, DATA, QUIT. A failing step is written to the event log
// (code 98, "Error SMTP Server Connect." and the client's error text).
//
// Thread safety: Configure (and the other setters) may be called from any
// thread at any time, also while Send runs on another thread; they only
// change what the next Send uses. Sends are serialised.
#ifndef SL_WATCH_NOTIFY_COMPOSER_H_
#define SL_WATCH_NOTIFY_COMPOSER_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "mail/sync_smtp_client.h"
#include "service/event_log.h"

namespace sl {

// What one notification needs, copied from the watch entry and the
// environment settings while the service lock is held. Texts are EUC-JP.
struct NotifyRequest {
  std::string FileName;
  std::string SearchString;
  std::string MailAddress;  // recipient list
  std::string ResultLine;   // the line whose match triggered
  int32_t HitCount = 0;
  std::string MailSubject;  // subject template
  std::string MailBody;     // body template
  std::string HostAddress;  // IP address text of the host
};

// The parts of a notification as the SMTP client takes them.
struct NotifyMail {
  std::vector<std::string> Recipients;
  std::string HdrTo;
  std::string HdrSubject;         // encoded words, 7-bit
  std::vector<std::string> Body;  // ISO-2022-JP lines
};

inline constexpr char kNotifyCharSet[] = "ISO-2022-JP";
inline constexpr char kNotifyFailure[] = "Error SMTP Server Connect.";

// Replaces, in this order and each everywhere, "\ServerName\",
// "\IPAddress\", "\WatchFile\", "\WatchString\", "\WatchNum\" and
// "\ResultLine\"; later steps also see text inserted by earlier ones.
std::string SubstitutePlaceholders(const std::string& text, const NotifyRequest& request,
                                   const std::string& host_name);

// One EUC-JP line in ISO-2022-JP that ends in ASCII mode.
std::string JisBodyLine(std::string_view euc_line);

// Builds the mail: the templates when either is set, else the built-in
// form with the subject "ScanLantern Notify".
NotifyMail ComposeNotifyMail(const NotifyRequest& request, const std::string& host_name);

// The host name for "\ServerName\": at most 64 bytes, empty when unknown.
std::string NotifyHostName();

class Notifier {
 public:
  explicit Notifier(const EventLog& log);
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // The mail server and the sender (envelope sender and From header).
  void Configure(const std::string& host, const std::string& from);
  // The server's port ("smtp" unless changed) and the time-out of each
  // step in seconds (15 unless changed).
  void SetPort(const std::string& port);
  void SetTimeout(int seconds);

  // Sends one notification and returns true when the server accepted the
  // mail. Failures are logged; an EventLogError of the log itself passes
  // to the caller.
  bool Send(const NotifyRequest& request);

  // Aborts the session step in progress, if any, from another thread: the
  // Send running there fails soon instead of waiting out its time-out.
  void Cancel() { smtp_watch_->Abort(); }

 private:
  const EventLog& log_;

  std::mutex config_mu_;
  std::string host_;            // guarded by config_mu_
  std::string from_;            // guarded by config_mu_
  std::string port_ = "smtp";   // guarded by config_mu_
  int timeout_ = 15;            // guarded by config_mu_

  std::mutex send_mu_;                      // one Send at a time
  std::unique_ptr<TSyncSmtpCli> smtp_watch_;  // SMTPWatch; used under send_mu_
};

}  // namespace sl

#endif
