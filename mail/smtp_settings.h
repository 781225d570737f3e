// SmtpSettings: the mail settings of env.csv as one value.
//
// A notification carries a copy of them from the moment it is queued, and
// the pages check them before they are saved; both read them here.
#ifndef SL_MAIL_SMTP_SETTINGS_H_
#define SL_MAIL_SMTP_SETTINGS_H_

#include <cstdint>
#include <string>

#include "settings/csv_table.h"
#include "settings/settings_files.h"

namespace sl {

// The mail settings of env.csv. Port, Security, User and Password are the
// optional relay columns; empty means port 25, no TLS, no AUTH.
struct SmtpSettings {
  std::string Server;    // SMTPServer
  std::string From;      // FromMailAddress
  std::string Port;      // SMTPPort
  std::string Security;  // SMTPSecurity: "none", "starttls" or "tls"
  std::string User;      // SMTPUser
  std::string Password;  // SMTPPassword
  // MailRetryHours: how long a mail that fails for a passing reason
  // (no connection, a time-out, a 4xx reply) is tried again.
  int32_t RetryHours = kDefaultMailRetryHours;
};

// The settings in the current row of the environment table.
SmtpSettings SmtpSettingsOf(const CsvTable& env);

// The SMTPSecurity value trimmed and in lower case; "none" when empty.
std::string SmtpSecurityKeyword(const std::string& text);

// Why the relay settings cannot be used, or empty when they can.
std::string SmtpSettingsProblem(const SmtpSettings& settings);

}  // namespace sl

#endif
