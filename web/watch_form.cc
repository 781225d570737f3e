#include "web/watch_form.h"

#include <sys/stat.h>

#include <utility>

#include "core/jconvert.h"
#include "core/regex_match.h"
#include "core/text.h"
#include "mail/mail_message.h"
#include "mail/smtp_settings.h"
#include "settings/settings_files.h"
#include "web/admin_text.h"
#include "web/admin_texts_ja.h"

namespace sl {

namespace {

// The value of a parameter that was posted (even empty), converted to
// EUC-JP; nullopt when the request lacks it.
std::optional<std::string> Posted(const RequestParams& params, std::string_view name) {
  for (const std::string& line : params) {
    if (line.size() > name.size() && line[name.size()] == '=' &&
        SameText(line.substr(0, name.size()), name)) {
      return SjisToEuc(line.substr(name.size() + 1));
    }
  }
  return std::nullopt;
}

std::string ReadParam(const RequestParams& params, std::string_view name) {
  return Posted(params, name).value_or(std::string());
}

// A path that must name an existing regular file: the reason when it does
// not, else empty.
std::string PathProblem(const std::string& path, const char* missing_text) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::string(missing_text) + " " + path;
  if (!S_ISREG(st.st_mode)) return std::string(ja::kFormNotRegular) + " " + path;
  return std::string();
}

// Each address of a recipient list (or the one sender) must be a mailbox.
void CheckAddresses(FormReasons& reasons, const char* field, const std::string& list) {
  for (const std::string& part : SplitAddressList(list)) {
    if (!IsMailbox(part)) {
      reasons.Add(field, std::string(ja::kFormNotAddress) + " " + part);
      return;
    }
  }
}

// The section "詳細条件" of a form, judged as the settings files judge the
// rule columns, so that the pages take exactly what a start or a reload
// takes; a regular expression must also compile.
void CheckRules(const WatchForm& form, FormReasons& reasons) {
  CsvTable row;
  for (const char* name : {"FileName", "SearchString", "SearchCount", "MailAddress", "Command"}) {
    row.AddField(name);
  }
  for (const char* name : kWatchRuleColumns) row.AddField(name);
  row.AppendRow();
  row.SetValue("SearchCount", "1");
  const std::pair<const char*, const std::string*> cells[] = {
      {"ExcludeString", &form.ExcludeString},
      {"MatchMode", &form.MatchMode},
      {"IgnoreCase", &form.IgnoreCase},
      {"Window", &form.Window},
      {"Quiet", &form.Quiet},
      {"Encoding", &form.Encoding}};
  for (const auto& [column, value] : cells) row.SetValue(column, *value);
  for (const SettingsProblem& problem : CheckWatchListCells(row, "")) {
    const bool seconds = problem.Column == "Window" || problem.Column == "Quiet";
    const bool not_yet = problem.Reason.find(" yet") != std::string::npos;
    reasons.Add(problem.Column, seconds   ? ja::kFormSecondsBad
                                : not_yet ? ja::kFormNotYet
                                          : ja::kFormChoiceBad);
  }
  if (reasons.For("MatchMode").empty() && reasons.For("Encoding").empty() &&
      SameText(Trim(form.MatchMode), "regex")) {
    const std::string problem = RegexMatcher::Problem(
        form.SearchString, Trim(form.IgnoreCase) == "1",
        SameText(Trim(form.Encoding), "sjis") ? RegexMatcher::LogEncoding::kShiftJis
                                              : RegexMatcher::LogEncoding::kAuto);
    if (!problem.empty()) {
      reasons.Add("WatchSearchString", std::string(ja::kFormRegexBad) + " " + problem);
    }
  }
}

}  // namespace

void FormReasons::Add(std::string field, std::string text, std::string log) {
  reasons_.push_back({std::move(field), std::move(text), std::move(log)});
}

std::string FormReasons::For(std::string_view field) const {
  for (const Reason& r : reasons_) {
    if (SameText(r.field, field)) return r.text;
  }
  return std::string();
}

std::string FormReasons::FirstLog() const {
  if (reasons_.empty()) return std::string();
  return reasons_.front().log.empty() ? reasons_.front().text : reasons_.front().log;
}

std::string RulesInShort(const WatchRules& rules) {
  std::string out;
  auto add = [&out](const std::string& part) { out += (out.empty() ? "" : " ") + part; };
  if (!rules.ExcludeString.empty()) add(ja::kRuleExclude + (" " + rules.ExcludeString));
  if (rules.MatchMode == WatchRules::Mode::kRegex) add(ja::kRuleRegex);
  if (rules.IgnoreCase) add(ja::kRuleIgnoreCase);
  if (rules.Window > 0)
    add(ja::kRuleWindow + (" " + std::to_string(rules.Window)) + ja::kRuleSeconds);
  if (rules.Quiet > 0) add(ja::kRuleQuiet + (" " + std::to_string(rules.Quiet)) + ja::kRuleSeconds);
  if (rules.LogEncoding == WatchRules::Encoding::kShiftJis) add(ja::kRuleSjis);
  return out;
}

bool IsNumberInRange(std::string_view text, int64_t max) {
  std::string_view digits = Trim(text);
  if (digits.empty() || digits.size() > 10) return false;
  int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value >= 1 && value <= max;
}

WatchForm WatchForm::Read(const RequestParams& params) {
  WatchForm form;
  form.No = ReadParam(params, "No");
  form.Action = ReadParam(params, "ModDel").substr(0, 3);
  form.FileName = ReadParam(params, "HidWatchFileName");
  form.SearchString = ReadParam(params, "WatchSearchString");
  form.Count = ReadParam(params, "WatchSearchCount");
  form.MailAddress = ReadParam(params, "WatchMailAddress");
  form.Command = ReadParam(params, "HidWatchCommand");
  if (std::optional<std::string> mode = Posted(params, "MatchMode")) {
    form.HasRules = true;
    form.MatchMode = *mode;
    form.ExcludeString = ReadParam(params, "ExcludeString");
    form.IgnoreCase = ReadParam(params, "IgnoreCase");
    form.Window = ReadParam(params, "Window");
    form.Quiet = ReadParam(params, "Quiet");
    form.Encoding = ReadParam(params, "Encoding");
  }
  return form;
}

WatchForm WatchForm::Of(const TWatchFile& entry, int32_t row) {
  WatchForm form;
  form.No = std::to_string(row);
  form.FileName = entry.FileName;
  form.SearchString = entry.SearchString;
  form.Count = std::to_string(entry.SearchCount);
  form.MailAddress = entry.MailAddress;
  form.Command = entry.Command;
  form.HasRules = true;
  const WatchRules& r = entry.Rules;
  form.ExcludeString = r.ExcludeString;
  form.MatchMode = r.MatchMode == WatchRules::Mode::kRegex ? "regex" : "words";
  form.IgnoreCase = r.IgnoreCase ? "1" : "";
  form.Window = r.Window > 0 ? std::to_string(r.Window) : "";
  form.Quiet = r.Quiet > 0 ? std::to_string(r.Quiet) : "";
  form.Encoding = r.LogEncoding == WatchRules::Encoding::kShiftJis ? "sjis" : "auto";
  return form;
}

FormReasons WatchForm::Check() const {
  FormReasons reasons;
  if (FileName.empty()) {
    reasons.Add("HidWatchFileName", ja::kFormFileEmpty);
  } else if (std::string problem = PathProblem(FileName, ja::kFormFileMissing); !problem.empty()) {
    reasons.Add("HidWatchFileName", problem, "Error WatchFile: " + FileName + " Not Found");
  }
  try {
    if (StrToInt(Count) < 1) {
      reasons.Add("WatchSearchCount", ja::kFormCountBad, "'" + Count + "' is below 1");
    }
  } catch (const SettingsError& e) {
    reasons.Add("WatchSearchCount", ja::kFormCountBad, e.what());
  }
  CheckAddresses(reasons, "WatchMailAddress", MailAddress);
  if (HasRules) CheckRules(*this, reasons);
  if (!Command.empty()) {
    if (std::string problem = PathProblem(Command, ja::kFormCommandMissing); !problem.empty()) {
      reasons.Add("HidWatchCommand", problem, "Error CommandFile Not Found");
    }
  }
  return reasons;
}

int32_t WatchForm::SearchCount() const { return StrToInt(Count); }

WatchRules WatchForm::Rules() const {
  WatchRules rules;
  rules.ExcludeString = ExcludeString;
  rules.MatchMode =
      SameText(Trim(MatchMode), "regex") ? WatchRules::Mode::kRegex : WatchRules::Mode::kWords;
  rules.IgnoreCase = Trim(IgnoreCase) == "1";
  rules.Window = Trim(Window).empty() ? 0 : StrToInt(std::string(Trim(Window)));
  rules.Quiet = Trim(Quiet).empty() ? 0 : StrToInt(std::string(Trim(Quiet)));
  rules.LogEncoding = SameText(Trim(Encoding), "sjis") ? WatchRules::Encoding::kShiftJis
                                                       : WatchRules::Encoding::kAuto;
  return rules;
}

std::optional<std::string> WatchForm::Field(std::string_view name) const {
  const std::pair<const char*, const std::string*> fields[] = {{"No", &No},
                                                               {"HidWatchFileName", &FileName},
                                                               {"WatchSearchString", &SearchString},
                                                               {"WatchSearchCount", &Count},
                                                               {"WatchMailAddress", &MailAddress},
                                                               {"HidWatchCommand", &Command},
                                                               {"ExcludeString", &ExcludeString},
                                                               {"MatchMode", &MatchMode},
                                                               {"IgnoreCase", &IgnoreCase},
                                                               {"Window", &Window},
                                                               {"Quiet", &Quiet},
                                                               {"Encoding", &Encoding}};
  for (const auto& [field, value] : fields) {
    if (SameText(name, field)) return *value;
  }
  return std::nullopt;
}

EnvForm EnvForm::Read(const RequestParams& params) {
  EnvForm form;
  form.SMTPServer = std::string(Trim(ReadParam(params, "SMTPServer")));
  form.FromMailAddress = ReadParam(params, "FromMailAddress");
  form.SMTPPort = Posted(params, "SMTPPort");
  if (form.SMTPPort) form.SMTPPort = std::string(Trim(*form.SMTPPort));
  form.SMTPSecurity = Posted(params, "SMTPSecurity");
  form.SMTPUser = Posted(params, "SMTPUser");
  if (form.SMTPUser) form.SMTPUser = std::string(Trim(*form.SMTPUser));
  form.SMTPPassword = ReadParam(params, "SMTPPassword");
  form.ClearPassword = !ReadParam(params, "SMTPPasswordClear").empty();
  form.MailSubject = Posted(params, "MailSubject");
  if (form.MailSubject) form.MailSubject = NoLineBreaks(*form.MailSubject);
  form.MailBody = Posted(params, "MailBody");
  if (form.MailBody) {
    // A browser sends a text area's lines ended by CR LF.
    std::string body;
    for (char c : *form.MailBody) {
      if (c != '\r') body += c;
    }
    form.MailBody = std::move(body);
  }
  return form;
}

FormReasons EnvForm::Check() const {
  FormReasons reasons;
  CheckAddresses(reasons, "FromMailAddress", FromMailAddress);
  if (SplitAddressList(FromMailAddress).size() > 1) {
    reasons.Add("FromMailAddress", std::string(ja::kFormNotAddress) + " " + FromMailAddress);
  }
  if (SMTPPort && !SMTPPort->empty() && !IsNumberInRange(*SMTPPort, 65535)) {
    reasons.Add("SMTPPort", ja::kFormPortBad);
  }
  if (SMTPSecurity) {
    const std::string keyword = SmtpSecurityKeyword(*SMTPSecurity);
    if (keyword != "none" && keyword != "starttls" && keyword != "tls") {
      reasons.Add("SMTPSecurity", ja::kFormSecurityBad);
    }
  }
  return reasons;
}

std::optional<std::string> EnvForm::Field(std::string_view name) const {
  if (SameText(name, "SMTPServer")) return SMTPServer;
  if (SameText(name, "FromMailAddress")) return FromMailAddress;
  if (SameText(name, "SMTPPort")) return SMTPPort;
  if (SameText(name, "SMTPUser")) return SMTPUser;
  if (SameText(name, "SMTPSecurity")) return SMTPSecurity;
  if (SameText(name, "MailSubject")) return MailSubject;
  if (SameText(name, "MailBody")) return MailBody;
  return std::nullopt;
}

}  // namespace sl
