#include "web/admin_pages.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>
#include <vector>

#include "core/host_name.h"
#include "core/jconvert.h"
#include "core/text.h"
#include "mail/notify_request.h"
#include "mail/smtp_client.h"
#include "mail/smtp_settings.h"
#include "settings/settings_files.h"
#include "web/admin_text.h"
#include "web/admin_texts_ja.h"
#include "web/http_header_list.h"

namespace sl {

namespace {

// Removes every occurrence of `what` from `text`, scanning left to right.
std::string RemoveAll(const std::string& text, const std::string& what) {
  std::string out;
  size_t pos = 0;
  while (true) {
    size_t hit = text.find(what, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    pos = hit + what.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

std::string ReplaceChar(std::string text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
  return text;
}

const std::string& ModDelLabelSjis() {
  static const std::string label = EucToSjis(ja::kModDelLabel);
  return label;
}

// A stored value as the Shift_JIS pages show it.
std::string ShowValue(const std::string& stored) { return HtmlEscape(EucToSjis(stored)); }

// The <option> list of the connection security, the stored one selected.
std::string SecurityOptions(const std::string& stored) {
  std::string current = SmtpSecurityKeyword(stored);
  static const std::pair<const char*, const char*> kChoices[] = {
      {"none", ja::kSecurityNone}, {"starttls", ja::kSecurityStartTls}, {"tls", ja::kSecurityTls}};
  std::string out;
  for (const auto& [value, label] : kChoices) {
    out += std::string("<option value=\"") + value + "\"" + (current == value ? " selected" : "") +
           ">" + ShowValue(label) + "</option>\n";
  }
  return out;
}

// Binds an entry to the file at its FileName, measured at its current end,
// so that only text appended from now on is examined. A file that is not
// there is an error here; one that is no file gets no stream, as in the loader.
void OpenAndMeasure(TWatchFile& entry) {
  EntryBinding bound = BindEntry(entry);
  if (bound.state == EntryBinding::State::kMissing ||
      bound.state == EntryBinding::State::kRefused) {
    throw AdminError("Cannot open file \"" + entry.FileName + "\". " + bound.reason);
  }
}

// True when a mail server name or address is this host: a loopback
// address, "localhost", or the host's own name.
bool IsThisHost(std::string name) {
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  name = LowerCase(name);
  if (name == "localhost" ||
      (name.size() > 10 && name.compare(name.size() - 10, 10, ".localhost") == 0)) {
    return true;
  }
  in_addr v4;
  if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6;
  if (::inet_pton(AF_INET6, name.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  const std::string host = HostName();
  return !host.empty() && name == LowerCase(host);
}

// The <option> list of a rule's menu ("MatchMode", "Encoding"), the
// current value selected.
std::string RuleChoices(const std::string& field, const std::string& current) {
  static const struct {
    const char* field;
    const char* value;
    const char* label;
  } kChoices[] = {{"MatchMode", "words", ja::kChoiceWords},
                  {"MatchMode", "regex", ja::kChoiceRegex},
                  {"Encoding", "auto", ja::kChoiceAuto},
                  {"Encoding", "sjis", ja::kChoiceSjis}};
  std::string out;
  for (const auto& choice : kChoices) {
    if (field != choice.field) continue;
    const bool selected = SameText(Trim(current), choice.value);
    out += std::string("<option value=\"") + choice.value + "\"" + (selected ? " selected" : "") +
           ">" + ShowValue(choice.label) + "</option>";
  }
  return out;
}

// The panel at the top of a page: a refusal, or what an action did.
std::string NoticeMarkup(const FormPage& page) {
  if (!page.reasons.empty()) {
    return "<section class=\"panel error\" role=\"alert\"><p>" + ShowValue(ja::kNoticeRefused) +
           "</p></section>";
  }
  if (page.notice.empty()) return std::string();
  return "<section class=\"panel ok notice\" role=\"status\"><p>" + ShowValue(page.notice) +
         "</p></section>";
}

}  // namespace

AdminPages::AdminPages(ServiceState& state) : state_(state) {}

std::string AdminPages::ButtonLabel(int row) {
  return "No" + std::to_string(row) + ModDelLabelSjis();
}

std::string AdminPages::RowKey(const RequestParams& params) {
  return RemoveAll(RemoveAll(ParamValue(params, "ModDel"), "No"), ModDelLabelSjis());
}

std::string AdminPages::PagWatchHTMLTag(const std::string& tag, const RequestParams& params,
                                        const FormPage* page) const {
  if (tag == "WatchSettingWatchListRecord") return WatchListRows();
  if (tag == "Notice") return page ? NoticeMarkup(*page) : std::string();
  if (tag.starts_with("Reason")) {
    const std::string reason = page ? page->reasons.For(tag.substr(6)) : std::string();
    return reason.empty() ? reason : "<span class=\"reason\">" + ShowValue(reason) + "</span>";
  }
  // The section "詳細条件" opens by itself when an entry has a rule or a
  // reason is shown in it.
  if (tag == "OpenRules") {
    if (!page || !page->field) return std::string();
    for (const char* name : kWatchRuleColumns) {
      const std::string value(Trim(page->field(name).value_or("")));
      const bool usual = value.empty() || value == "words" || value == "auto" || value == "0";
      if (!usual || !page->reasons.For(name).empty()) return " open";
    }
    return std::string();
  }
  if (tag.starts_with("Choices") || tag.starts_with("Checked")) {
    std::optional<std::string> value;
    if (page && page->field) value = page->field(tag.substr(7));
    return tag.starts_with("Checked") ? (Trim(value.value_or("")) == "1" ? " checked" : "")
                                      : RuleChoices(tag.substr(7), value.value_or(""));
  }
  if (tag.starts_with("Form")) {
    std::optional<std::string> value;
    if (page && page->field) value = page->field(tag.substr(4));
    // A new entry's threshold starts at 1.
    if (!value && tag == "FormWatchSearchCount") value = "1";
    return ShowValue(value.value_or(std::string()));
  }
  if (page && page->field && tag.starts_with("Env") && tag != "EnvSMTPSecurityOptions") {
    if (std::optional<std::string> value = page->field(tag.substr(3))) return ShowValue(*value);
  }
  if (tag == "EnvSMTPServer") return ShowValue(state_.EnvTable.GetValue("SMTPServer"));
  if (tag == "EnvFromMailAddress") return ShowValue(state_.EnvTable.GetValue("FromMailAddress"));
  if (tag == "EnvSMTPPort") return ShowValue(state_.EnvTable.GetValue("SMTPPort"));
  if (tag == "EnvSMTPUser") return ShowValue(state_.EnvTable.GetValue("SMTPUser"));
  if (tag == "EnvMailSubject") return ShowValue(state_.EnvTable.GetValue("MailSubject"));
  if (tag == "EnvMailBody") return ShowValue(state_.EnvTable.GetValue("MailBody"));
  if (tag == "MailPreview") return MailPreview(page);
  if (tag == "EnvSMTPSecurityOptions") {
    std::optional<std::string> posted;
    if (page && page->field) posted = page->field("SMTPSecurity");
    return SecurityOptions(posted.value_or(state_.EnvTable.GetValue("SMTPSecurity")));
  }
  // The modify/delete page shows the stored entry of the pressed row; only
  // its number comes from the request, so a link from another page cannot
  // put its own values (a command to run as root) into the form.
  static const char* const kRowTags[] = {
      "ModDelWatchSettingNo",    "ModDelHidWatchFileName", "ModDelWatchSettingDispWatchFileName",
      "ModDelWatchSearchString", "ModDelWatchMailAddress", "ModDelHidWatchCommand",
      "ModDelDispWatchCommand",  "ModDelWatchSearchCount"};
  for (const char* name : kRowTags) {
    if (tag != name) continue;
    const int32_t row = StrToInt(RowKey(params));
    if (row < 1 || static_cast<size_t>(row) > state_.Watches.size()) {
      throw AdminError("List index out of bounds (" + std::to_string(row) + ")");
    }
    const TWatchFile& entry = *state_.Watches[static_cast<size_t>(row) - 1];
    if (tag == "ModDelWatchSettingNo") return std::to_string(row);
    if (tag == "ModDelWatchSearchString") return ShowValue(entry.SearchString);
    if (tag == "ModDelWatchMailAddress") return ShowValue(entry.MailAddress);
    if (tag == "ModDelHidWatchCommand" || tag == "ModDelDispWatchCommand") {
      return ShowValue(entry.Command);
    }
    if (tag == "ModDelWatchSearchCount") return CountOptions(entry.SearchCount);
    return ShowValue(entry.FileName);
  }
  return std::string();
}

std::string AdminPages::MailPreview(const FormPage* page) const {
  NotifyRequest sample;
  sample.FileName = ja::kPreviewFile;
  sample.SearchString = ja::kPreviewWords;
  sample.ResultLine = ja::kPreviewLine;
  sample.HitCount = 1;
  sample.HostAddress = state_.HostAddress;
  std::optional<std::string> subject, body;
  if (page && page->field) {
    subject = page->field("MailSubject");
    body = page->field("MailBody");
  }
  sample.MailSubject = subject.value_or(state_.EnvTable.GetValue("MailSubject"));
  sample.MailBody = body.value_or(state_.EnvTable.GetValue("MailBody"));
  const std::string host = HostName();
  return "<dl class=\"preview\"><dt>" + ShowValue(ja::kPreviewSubject) + "</dt><dd>" +
         ShowValue(SubstitutePlaceholders(sample.MailSubject, sample, host)) + "</dd></dl><pre>" +
         ShowValue(SubstitutePlaceholders(sample.MailBody, sample, host)) + "</pre>";
}

int32_t AdminPages::PressedRow(const RequestParams& params) const {
  int32_t row = 0;
  try {
    row = StrToInt(RowKey(params));  // read as the form's tags read it
  } catch (const SettingsError&) {
    return 0;
  }
  return row >= 1 && static_cast<size_t>(row) <= state_.Watches.size() ? row : 0;
}

bool AdminPages::AnswersWithMarkup(const std::string& tag) {
  return tag == "WatchSettingWatchListRecord" || tag == "EnvSMTPSecurityOptions" ||
         tag == "ModDelWatchSearchCount" || tag == "Notice" || tag.starts_with("Reason") ||
         tag.starts_with("Choices") || tag.starts_with("Checked") || tag == "OpenRules" ||
         tag == "MailPreview";
}

std::string AdminPages::WatchListRows() const {
  std::string out;
  int n = 0;
  for (const auto& entry : state_.Watches) {
    std::string row = std::to_string(++n);
    out += "<TR>\n";
    out += "<TD width=\"23\" align=\"center\"><INPUT size=\"2\" type=\"text\" name=\"No" + row +
           "\" readonly value=\"" + row + "\"></TD>\n";
    out += "<TD width=\"150\"><INPUT size=\"20\" type=\"text\" name=\"WatchFileName" + row +
           "\" readonly value=\"" + ShowValue(entry->FileName) + "\"></TD>\n";
    const std::string rules = RulesInShort(entry->Rules);
    out += "<TD width=\"150\"><INPUT size=\"20\" type=\"text\" name=\"WatchSearchString" + row +
           "\" readonly value=\"" + ShowValue(entry->SearchString) + "\">" +
           (rules.empty() ? "" : "<span class=\"rules\">" + ShowValue(rules) + "</span>") +
           "</TD>\n";
    out +=
        "<TD width=\"84\" align=\"center\"><INPUT size=\"2\" type=\"text\" "
        "name=\"WatchSearchCount" +
        row + "\" readonly value=\"" + std::to_string(entry->SearchCount) + "\"></TD>\n";
    out += "<TD width=\"116\"><INPUT size=\"20\" type=\"text\" readonly name=\"WatchMailAddress" +
           row + "\" value=\"" + ShowValue(entry->MailAddress) + "\"></TD>\n";
    out += "<TD width=\"187\"><INPUT size=\"20\" type=\"text\" readonly name=\"WatchCommand" + row +
           "\" value=\"" + ShowValue(entry->Command) + "\"></TD>\n";
    out += "<TD width=\"11\"><INPUT type=\"submit\" name=\"ModDel\" value=\"" +
           HtmlEscape(ButtonLabel(n)) + "\"></TD>\n";
    out += "</TR>\n";
  }
  return out;
}

std::string AdminPages::CountOptions(int32_t selected) {
  std::string out;
  for (int i = 1; i <= 20; ++i) {
    std::string n = std::to_string(i);
    out += "<OPTION value=\"" + n + "\"" + (i == selected ? " selected" : "") + ">" + n +
           "</OPTION>\n";
  }
  return out;
}

bool AdminPages::AddWatchEntry(const WatchForm& form, FormReasons& reasons) {
  reasons = form.Check();
  auto entry = std::make_shared<TWatchFile>();
  if (reasons.empty()) {
    entry->FileName = form.FileName;
    try {
      OpenAndMeasure(*entry);
    } catch (const AdminError& e) {
      reasons.Add("HidWatchFileName", std::string(ja::kFormCannotWatch) + " " + form.FileName,
                  e.what());
    }
  }
  if (!reasons.empty()) {
    std::string text = "Error AddWatchFile.\n" + reasons.FirstLog() + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return false;
  }
  entry->SearchString = form.SearchString;
  entry->SearchCount = form.SearchCount();
  entry->MailAddress = form.MailAddress;
  entry->Command = form.Command;
  if (form.HasRules) entry->Rules = form.Rules();
  entry->HitCount = 0;
  state_.Watches.push_back(std::move(entry));
  return true;
}

WatchForm AdminPages::StoredForm(int32_t row) const {
  return WatchForm::Of(*state_.Watches.at(static_cast<size_t>(row) - 1), row);
}

bool AdminPages::ChangeWatchEntry(const WatchForm& form, FormReasons& reasons) {
  reasons = FormReasons();
  WatchTable& table = state_.Watches;
  if (!IsNumberInRange(form.No, static_cast<int64_t>(table.size()))) {
    reasons.Add("No", std::string(ja::kFormNoEntry) + " " + form.No);
    return false;
  }
  const size_t index = static_cast<size_t>(StrToInt(form.No)) - 1;

  if (form.Action == "Mod") {
    reasons = form.Check();
    if (!reasons.empty()) return false;
    TWatchFile& entry = *table[index];
    // A form without the rule fields keeps the entry's rules: its words
    // must still suit them (an expression must compile).
    if (!form.HasRules) {
      std::string problem = SearchStringProblem(form.SearchString, entry.Rules);
      if (!problem.empty()) {
        reasons.Add("WatchSearchString", std::string(ja::kFormRegexBad) + " " + problem);
        return false;
      }
    }
    if (form.FileName != entry.FileName) {
      // A new file is watched from its current end, like an added entry;
      // test it first so that a failure leaves the entry as it was.
      TWatchFile probe;
      probe.FileName = form.FileName;
      try {
        OpenAndMeasure(probe);
      } catch (const AdminError&) {
        reasons.Add("HidWatchFileName", std::string(ja::kFormCannotWatch) + " " + form.FileName);
        return false;
      }
      entry.FileName = form.FileName;
      OpenAndMeasure(entry);
    }
    entry.SearchString = form.SearchString;
    entry.SearchCount = form.SearchCount();
    entry.MailAddress = form.MailAddress;
    entry.Command = form.Command;
    if (form.HasRules) entry.Rules = form.Rules();
  } else if (form.Action == "Del") {
    // The entry may still be held by a watch pass that is sending mail;
    // its file is closed now, and later entries keep their hit counts.
    std::shared_ptr<TWatchFile> removed = table[index];
    table.erase(table.begin() + static_cast<std::ptrdiff_t>(index));
    removed->Stream.Close();
  }
  return true;
}

bool AdminPages::SaveEnvSettings(const EnvForm& form, FormReasons& reasons) {
  CsvTable& env = state_.EnvTable;
  reasons = form.Check();
  // The relay fields change only when the form sends them; the password
  // only when one is typed (the page never shows it) or cleared.
  SmtpSettings mail = SmtpSettingsOf(env);
  if (form.SMTPPort) mail.Port = *form.SMTPPort;
  if (form.SMTPSecurity) {
    // "none" is the default, which an empty (or missing) cell means.
    mail.Security = SmtpSecurityKeyword(*form.SMTPSecurity);
    if (mail.Security == "none") mail.Security.clear();
  }
  if (form.SMTPUser) mail.User = *form.SMTPUser;
  if (form.ClearPassword) {
    mail.Password.clear();
  } else if (!form.SMTPPassword.empty()) {
    mail.Password = form.SMTPPassword;
  }
  // A login over a plain connection would cross the network in clear; the
  // client refuses it too (except toward this host).
  if (reasons.empty() && !mail.User.empty() && SmtpSecurityKeyword(mail.Security) == "none" &&
      !form.SMTPServer.empty() && !IsThisHost(form.SMTPServer)) {
    reasons.Add("SMTPUser", ja::kFormNotEncrypted);
  }
  if (!reasons.empty()) return false;
  env.SetValue("SMTPServer", form.SMTPServer);
  env.SetValue("FromMailAddress", form.FromMailAddress);
  if (form.MailSubject) env.SetValue("MailSubject", *form.MailSubject);
  if (form.MailBody) env.SetValue("MailBody", *form.MailBody);
  for (const auto& [column, value] :
       {std::pair<const char*, const std::string&>{"SMTPPort", mail.Port},
        {"SMTPSecurity", mail.Security},
        {"SMTPUser", mail.User},
        {"SMTPPassword", mail.Password}}) {
    SetEnvValue(env, column, value);
  }
  return true;
}

void AdminPages::SaveSettings() {
  SaveWatchList(state_.Watches, state_.ConfTable, state_.EnvTable, state_.BasePath);
}

std::string AdminPages::BuildSettingsText() const {
  std::string out;
  for (const auto& entry : state_.Watches) {
    out += "\"" + entry->FileName + "\",\"" + entry->SearchString + "\",\"" +
           std::to_string(entry->SearchCount) + "\",\"" + entry->MailAddress + "\",\"" +
           entry->Command + "\"\n";
  }
  out += "\"" + EucToSjis(state_.EnvTable.GetValue("MailSubject")) + "\",\"" +
         EucToSjis(ReplaceChar(state_.EnvTable.GetValue("MailBody"), '\n', '\t')) + "\",\"" +
         state_.EnvTable.GetValue("SMTPServer") + "\",\"" +
         state_.EnvTable.GetValue("FromMailAddress") + "\",\"" + HostName() + "\"\n";
  out += state_.Log.FileFor(std::time(nullptr)) + "\n";
  return out;
}

void AdminPages::ApplyPostedSettings(std::string_view body) {
  std::vector<std::vector<std::string>> lines;
  for (const std::string& line : SplitLines(body)) lines.push_back(SplitCommaFields(line));
  for (size_t i = 0; i < lines.size(); ++i) {
    size_t needed = i + 1 < lines.size() ? 5 : 4;
    if (lines[i].size() < needed) {
      throw AdminError("List index out of bounds (" + std::to_string(lines[i].size()) + ")");
    }
  }

  // Build the new state aside and commit it only when everything is valid.
  CsvTable conf = state_.ConfTable;
  CsvTable env = state_.EnvTable;
  conf.ClearRows();
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::vector<std::string>& f = lines[i];
    conf.AppendRow();
    conf.SetValue("FileName", f[0]);
    conf.SetValue("SearchString", f[1]);
    conf.SetValue("SearchCount", f[2]);
    conf.SetValue("MailAddress", f[3]);
    conf.SetValue("Command", f[4]);
  }
  // The console knows only the first five columns: files that stay in the
  // list keep their rules.
  KeepRulesOf(state_.Watches, conf);
  bool env_posted = !lines.empty();
  if (env_posted) {
    const std::vector<std::string>& f = lines.back();
    env.SetValue("MailSubject", SjisToEuc(f[0]));
    env.SetValue("MailBody", SjisToEuc(ReplaceChar(f[1], '\t', '\n')));
    env.SetValue("SMTPServer", f[2]);
    env.SetValue("FromMailAddress", f[3]);
  }
  // Entries of files that stay in the list carry on where they are, so no
  // line appended since the last pass is skipped or read twice.
  WatchTable watches = state_.Watches;
  ReadWatchList(conf, watches);
  for (auto& entry : watches) entry->HitCount = 0;  // a post starts every count anew

  state_.ConfTable = std::move(conf);
  state_.EnvTable = std::move(env);
  state_.Watches = std::move(watches);
  SaveSettingsFiles(state_.ConfTable, state_.EnvTable, state_.BasePath);
}

}  // namespace sl
