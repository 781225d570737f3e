#include "mail/smtp_settings.h"

#include "core/text.h"

namespace sl {

SmtpSettings SmtpSettingsOf(const CsvTable& env) {
  SmtpSettings s;
  s.Server = env.GetValue("SMTPServer");
  s.From = env.GetValue("FromMailAddress");
  s.Port = env.GetValue("SMTPPort");
  s.Security = env.GetValue("SMTPSecurity");
  s.User = env.GetValue("SMTPUser");
  s.Password = env.GetValue("SMTPPassword");
  int32_t hours = MailRetryHours(env.GetValue("MailRetryHours"));
  if (hours >= 0) s.RetryHours = hours;  // a bad value was refused when it was read
  return s;
}

std::string SmtpSecurityKeyword(const std::string& text) {
  std::string keyword = LowerCase(Trim(text));
  return keyword.empty() ? "none" : keyword;
}

std::string SmtpSettingsProblem(const SmtpSettings& s) {
  std::string port(Trim(s.Port));
  if (!port.empty()) {
    bool digits = port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::stoi(port) < 1 || std::stoi(port) > 65535) {
      return "SMTPPort '" + s.Port + "' is not a port number (1 to 65535).";
    }
  }
  std::string security = SmtpSecurityKeyword(s.Security);
  if (security != "none" && security != "starttls" && security != "tls") {
    return "SMTPSecurity '" + s.Security + "' is not one of none, starttls, tls.";
  }
  return std::string();
}

}  // namespace sl
