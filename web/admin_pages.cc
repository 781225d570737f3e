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
      {"none", "none (port 25)"}, {"starttls", "STARTTLS (port 587)"}, {"tls", "TLS (port 465)"}};
  std::string out;
  for (const auto& [value, label] : kChoices) {
    out += std::string("<option value=\"") + value + "\"" + (current == value ? " selected" : "") +
           ">" + label + "</option>\n";
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

}  // namespace

AdminPages::AdminPages(ServiceState& state) : state_(state) {}

std::string AdminPages::ButtonLabel(int row) {
  return "No" + std::to_string(row) + ModDelLabelSjis();
}

std::string AdminPages::RowKey(const RequestParams& params) {
  return RemoveAll(RemoveAll(ParamValue(params, "ModDel"), "No"), ModDelLabelSjis());
}

std::string AdminPages::PagWatchHTMLTag(const std::string& tag, const RequestParams& params) const {
  if (tag == "WatchSettingWatchListRecord") return WatchListRows();
  if (tag == "WatchRefusal") return ShowValue(refusal_);
  if (tag == "EnvSMTPServer") return ShowValue(state_.EnvTable.GetValue("SMTPServer"));
  if (tag == "EnvFromMailAddress") return ShowValue(state_.EnvTable.GetValue("FromMailAddress"));
  if (tag == "EnvSMTPPort") return ShowValue(state_.EnvTable.GetValue("SMTPPort"));
  if (tag == "EnvSMTPUser") return ShowValue(state_.EnvTable.GetValue("SMTPUser"));
  if (tag == "EnvSMTPSecurityOptions")
    return SecurityOptions(state_.EnvTable.GetValue("SMTPSecurity"));
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
         tag == "ModDelWatchSearchCount";
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
    out += "<TD width=\"150\"><INPUT size=\"20\" type=\"text\" name=\"WatchSearchString" + row +
           "\" readonly value=\"" + ShowValue(entry->SearchString) + "\"></TD>\n";
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

bool AdminPages::AddWatchEntry(const RequestParams& params) {
  try {
    auto entry = std::make_shared<TWatchFile>();
    std::string file = SjisToEuc(ParamValue(params, "HidWatchFileName"));
    if (!file.empty()) {
      if (!PathExists(file)) throw AdminError("Error WatchFile: " + file + " Not Found");
      entry->FileName = file;
      OpenAndMeasure(*entry);
    }
    entry->SearchString = SjisToEuc(ParamValue(params, "WatchSearchString"));
    std::string problem = SearchStringProblem(entry->SearchString, entry->Rules);
    if (!problem.empty()) throw AdminError(problem);
    entry->SearchCount = StrToInt(ParamValue(params, "WatchSearchCount"));
    entry->MailAddress = SjisToEuc(ParamValue(params, "WatchMailAddress"));
    std::string command = SjisToEuc(ParamValue(params, "HidWatchCommand"));
    if (!command.empty() && !PathExists(command)) throw AdminError("Error CommandFile Not Found");
    entry->Command = command;
    entry->HitCount = 0;
    state_.Watches.push_back(std::move(entry));
    return true;
  } catch (const std::exception& e) {
    refusal_ = e.what();
    std::string text = std::string("Error AddWatchFile.\n") + e.what() + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return false;
  }
}

bool AdminPages::ChangeWatchEntry(const RequestParams& params) {
  try {
    int32_t no = StrToInt(ParamValue(params, "No"));
    std::string action = ParamValue(params, "ModDel").substr(0, 3);
    WatchTable& table = state_.Watches;
    if (no < 1 || static_cast<size_t>(no) > table.size()) {
      throw AdminError("Error WatchNo " + std::to_string(no) + " Out Of Range");
    }
    size_t index = static_cast<size_t>(no) - 1;

    if (action == "Mod") {
      TWatchFile& entry = *table[index];
      std::string file = SjisToEuc(ParamValue(params, "HidWatchFileName"));
      if (!file.empty() && !PathExists(file)) throw AdminError("Error WatchFile Not Found");
      std::string search = SjisToEuc(ParamValue(params, "WatchSearchString"));
      std::string problem = SearchStringProblem(search, entry.Rules);
      if (!problem.empty()) throw AdminError(problem);
      int32_t count = StrToInt(ParamValue(params, "WatchSearchCount"));
      std::string mail = SjisToEuc(ParamValue(params, "WatchMailAddress"));
      std::string command = SjisToEuc(ParamValue(params, "HidWatchCommand"));
      if (!command.empty() && !PathExists(command)) throw AdminError("Error CommandFile Not Found");

      if (file != entry.FileName) {
        // A new file is watched from its current end, like an added entry;
        // test it first so that a failure leaves the entry as it was.
        if (!file.empty()) {
          TWatchFile probe;
          probe.FileName = file;
          OpenAndMeasure(probe);
        }
        entry.FileName = file;
        if (file.empty()) {
          entry.Stream.Close();
          entry.LastSize = entry.CurrentSize = 0;
        } else {
          OpenAndMeasure(entry);
        }
      }
      entry.SearchString = std::move(search);
      entry.SearchCount = count;
      entry.MailAddress = std::move(mail);
      entry.Command = std::move(command);
    } else if (action == "Del") {
      // The entry may still be held by a watch pass that is sending mail;
      // its file is closed now, and later entries keep their hit counts.
      std::shared_ptr<TWatchFile> removed = table[index];
      table.erase(table.begin() + static_cast<std::ptrdiff_t>(index));
      removed->Stream.Close();
    }
    return true;
  } catch (const std::exception& e) {
    refusal_ = e.what();
    return false;
  }
}

void AdminPages::SaveEnvSettings(const RequestParams& params) {
  CsvTable& env = state_.EnvTable;
  // The relay fields change only when the form sends them; the password
  // only when one is typed (the page never shows it) or cleared.
  SmtpSettings mail = SmtpSettingsOf(env);
  auto posted = [&params](std::string_view name) {
    for (const std::string& line : params) {
      if (line.size() > name.size() && line[name.size()] == '=' &&
          SameText(line.substr(0, name.size()), name)) {
        return true;
      }
    }
    return false;
  };
  if (posted("SMTPPort")) mail.Port = Trim(ParamValue(params, "SMTPPort"));
  if (posted("SMTPSecurity")) {
    // "none" is the default, which an empty (or missing) cell means.
    mail.Security = SmtpSecurityKeyword(ParamValue(params, "SMTPSecurity"));
    if (mail.Security == "none") mail.Security.clear();
  }
  if (posted("SMTPUser")) mail.User = Trim(SjisToEuc(ParamValue(params, "SMTPUser")));
  if (!ParamValue(params, "SMTPPasswordClear").empty()) {
    mail.Password.clear();
  } else if (!ParamValue(params, "SMTPPassword").empty()) {
    mail.Password = SjisToEuc(ParamValue(params, "SMTPPassword"));
  }
  std::string problem = SmtpSettingsProblem(mail);
  if (!problem.empty()) throw AdminError(problem);
  // A login over a plain connection would cross the network in clear; the
  // client refuses it too (except toward this host).
  const std::string server(Trim(SjisToEuc(ParamValue(params, "SMTPServer"))));
  if (!mail.User.empty() && SmtpSecurityKeyword(mail.Security) == "none" && !server.empty() &&
      !IsThisHost(server)) {
    throw AdminError(std::string(kAuthNotEncrypted + 4) + " (SMTPSecurity none toward " + server +
                     ", which is not this host): choose starttls or tls, or leave SMTPUser empty.");
  }
  env.SetValue("SMTPServer", SjisToEuc(ParamValue(params, "SMTPServer")));
  env.SetValue("FromMailAddress", SjisToEuc(ParamValue(params, "FromMailAddress")));
  for (const auto& [column, value] :
       {std::pair<const char*, const std::string&>{"SMTPPort", mail.Port},
        {"SMTPSecurity", mail.Security},
        {"SMTPUser", mail.User},
        {"SMTPPassword", mail.Password}}) {
    SetEnvValue(env, column, value);
  }
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
