// The forms of the web administration as records: a posted form is read
// once from the request's parameters, converted from Shift_JIS to EUC-JP
// at that edge, and checked field by field. The check gives the reasons,
// in Japanese, beside the fields they concern (FormReasons); the same
// record then gives the change. The console's settings text is not a form
// and keeps its own checks (AdminPages::ApplyPostedSettings).
#ifndef SL_WEB_WATCH_FORM_H_
#define SL_WEB_WATCH_FORM_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/watch_file.h"

namespace sl {

using RequestParams = std::vector<std::string>;

// Why a form was refused: per field (by its posted name), a Japanese text
// in EUC-JP, and for the standard-output line of a refused add the English
// message it has always written.
class FormReasons {
 public:
  void Add(std::string field, std::string text, std::string log = std::string());
  bool empty() const { return reasons_.empty(); }
  // The text beside `field`; empty when the field is fine.
  std::string For(std::string_view field) const;
  // The log message of the first reason that has one, else its text.
  std::string FirstLog() const;

 private:
  struct Reason {
    std::string field;
    std::string text;
    std::string log;
  };
  std::vector<Reason> reasons_;
};

// The add form ("/AddWatch.cgi") and the change form ("/ModDelWatch.cgi")
// of a watch entry, as typed.
struct WatchForm {
  std::string No;      // change form: the row number, as posted
  std::string Action;  // change form: "Mod", "Del" or anything else (the button's first bytes)
  std::string FileName;
  std::string SearchString;
  std::string Count;  // the threshold as typed
  std::string MailAddress;
  std::string Command;
  // The section "詳細条件": an entry's rules as typed. A client that posts
  // none of them (MatchMode's menu is always posted by the pages) changes
  // no rule of the entry.
  bool HasRules = false;
  std::string ExcludeString;
  std::string MatchMode;   // "words" or "regex"
  std::string IgnoreCase;  // "1" when ticked
  std::string Window;      // seconds
  std::string Quiet;       // seconds
  std::string Encoding;    // "auto" or "sjis"

  static WatchForm Read(const RequestParams& params);
  // The form of a stored entry, as the change form first shows it.
  static WatchForm Of(const TWatchFile& entry, int32_t row);

  // The reasons against the entry's fields; when there are none, Count is
  // a number from 1 that SearchCount() returns. Looks at the file system
  // for the file and the command.
  FormReasons Check() const;
  int32_t SearchCount() const;
  // The rules of the section, once Check accepted it.
  WatchRules Rules() const;
  // A field by its posted name; nullopt for a name the form lacks.
  std::optional<std::string> Field(std::string_view name) const;
};

// The mail settings form ("/EnvSaveSetting.cgi"). The relay fields are
// optional: a form that does not post one leaves the stored value alone.
struct EnvForm {
  std::string SMTPServer;
  std::string FromMailAddress;
  std::optional<std::string> SMTPPort;
  std::optional<std::string> SMTPSecurity;
  std::optional<std::string> SMTPUser;
  std::string SMTPPassword;  // a new password; empty keeps the stored one
  bool ClearPassword = false;
  std::optional<std::string> MailSubject;
  std::optional<std::string> MailBody;  // line ends as "\n"

  static EnvForm Read(const RequestParams& params);
  // The checks that need nothing but the form: the sender's address and
  // the port and security menu when they are posted.
  FormReasons Check() const;
  std::optional<std::string> Field(std::string_view name) const;
};

// An entry's rules in a few words (EUC-JP), empty when all are at their
// defaults: "除外: x 正規表現 大小文字無視 集計 60秒 休止 300秒 Shift_JIS".
std::string RulesInShort(const WatchRules& rules);

// True when `text` is a whole decimal number from 1 to `max`, blanks around
// allowed.
bool IsNumberInRange(std::string_view text, int64_t max);

}  // namespace sl

#endif
