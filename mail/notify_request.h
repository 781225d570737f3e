// NotifyRequest and MailOutcome: one notification mail to send, and how
// its send ended.
//
// The watch pass and the test-mail page fill a request with copies taken
// under the service lock, so nothing is shared with the thread that sends
// it; the outcome goes back to whoever queued the mail.
#ifndef SL_MAIL_NOTIFY_REQUEST_H_
#define SL_MAIL_NOTIFY_REQUEST_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "mail/smtp_settings.h"

namespace sl {

// What one notification needs, copied from the watch entry and the
// environment settings while the service lock is held. Texts are EUC-JP.
// The mail goes out through the server and with the sender it carries, as
// the settings were when it was queued.
struct NotifyRequest {
  std::string FileName;
  std::string SearchString;
  std::string MailAddress;  // recipient list
  std::string ResultLine;   // the line whose match triggered
  int32_t HitCount = 0;
  std::string MailSubject;  // subject template
  std::string MailBody;     // body template
  std::string HostAddress;  // IP address text of the host
  SmtpSettings Smtp;        // server, sender and relay settings
  int32_t Suppressed = 0;   // triggers held back in quiet periods since the last mail
  // The trigger the mail tells of. A digest (a mail that triggers of its
  // entry were merged into while the queue was full) stands for Triggers
  // of them: ResultLine and TriggeredAt are then the last one's.
  std::time_t TriggeredAt = 0;  // 0: the queue sets the time it is pushed
  int32_t Triggers = 1;
  std::string FirstLine;  // the first trigger's line and time (digests)
  std::time_t FirstTriggeredAt = 0;
  // The lines that made up the count, the first kMatchedLines of them, one
  // a line: "yyyy/mm/dd hh:mm:ss<TAB>line".
  std::string MatchedLines;
};

// Replaces, in this order and each everywhere, "\ServerName\",
// "\IPAddress\", "\WatchFile\", "\WatchString\", "\WatchNum\" and
// "\Suppressed\"; later steps also see text inserted by earlier ones. Then
// "\MatchedLines\" and "\ResultLine\" in one sweep, so that the watched
// lines are never read for placeholders. The mail and the pages' preview
// fill the templates with it.
std::string SubstitutePlaceholders(const std::string& text, const NotifyRequest& request,
                                   const std::string& host_name);

// How one send ended. A failure names the step that failed (CONNECT,
// HELO, EHLO, STARTTLS, AUTH, MAIL FROM, RCPT TO, DATA, or SETTINGS when
// the settings cannot be used) and the client's error text, which holds the
// server's reply when the server gave one.
struct MailOutcome {
  bool Accepted = false;
  // Not accepted, and sending it again cannot help: the server refused it
  // with a 5xx reply, or the settings cannot be used.
  bool Permanent = false;
  // Not accepted yet: the queue tries again later (a temporary failure).
  bool Retrying = false;
  std::string FailedStep;
  std::string Reply;
  std::vector<std::string> Recipients;                       // accepted, as plain addresses
  std::vector<std::pair<std::string, std::string>> Refused;  // address, reply
};

// For a status record: the failing step and the reply ("RCPT TO: 550 ..."),
// then each refused recipient with its reply, one a line; empty for a mail
// that every recipient took.
std::string DescribeMailFailure(const MailOutcome& outcome);

// The event-log text of a send that failed.
inline constexpr char kNotifyFailure[] = "Error SMTP Server Connect.";

}  // namespace sl

#endif
