#include "settings/settings_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "core/files.h"
#include "core/text.h"
#include "settings/texts_ja.h"

namespace sl {

std::string DefaultMailSubject() { return "ScanLantern Notify from \\ServerName\\"; }

std::string DefaultMailBody() {
  std::string b;
  b += ja::kMailBody1;
  b += "\n\n";
  b += ja::kMailBody3;
  b += "\n\n";
  b += ja::kMailBody5;
  b += "\n\n";
  b += ja::kMailBody7;
  b += "\n\n";
  b += ja::kMailBody9;
  b += "\n\n";
  b += ja::kMailBody11;
  b += "\n\\ResultLine\\";
  return b;
}

int32_t StrToInt(const std::string& text) {
  auto bad = [&]() -> SettingsError {
    return SettingsError("'" + text + "' is not a valid integer value");
  };
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= text.size()) throw bad();
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      throw bad();
    value = value * base + d;
    if (value > int64_t{std::numeric_limits<uint32_t>::max()}) throw bad();
  }
  if (base == 10) {
    int64_t limit = negative ? -int64_t{std::numeric_limits<int32_t>::min()}
                             : int64_t{std::numeric_limits<int32_t>::max()};
    if (value > limit) throw bad();
    return static_cast<int32_t>(negative ? -value : value);
  }
  // Hexadecimal text may spell the whole 32-bit pattern.
  int32_t v = static_cast<int32_t>(static_cast<uint32_t>(value));
  return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(v)) : v;
}

void EnsureEnvDefaults(CsvTable& env) {
  if (env.RowCount() > 0) return;
  env.AppendRow();
  env.SetValue("MailSubject", DefaultMailSubject());
  env.SetValue("MailBody", DefaultMailBody());
}

void LoadSettingsFile(CsvTable& table, const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;  // no file: the table stays as it is
    throw SettingsError("Cannot read file \"" + path + "\". " + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) {
    throw SettingsError("Cannot read file \"" + path + "\". Not a regular file");
  }
  if (!table.LoadFromFile(path)) {
    int err = errno;
    if (err == ENOENT) return;  // removed since the look above
    throw SettingsError("Cannot read file \"" + path + "\". " + std::strerror(err));
  }
}

namespace {

// One row of the watch list, converted.
struct WatchRow {
  std::string FileName;
  std::string SearchString;
  int32_t SearchCount = 0;
  std::string MailAddress;
  std::string Command;
  WatchRules Rules;
};

// The entry of a file new to the table, opened and measured; nullptr with
// the reason when the file exists but may not be opened. A file that is
// not there yet is bound by the watch pass when it appears.
std::shared_ptr<TWatchFile> OpenedEntry(const std::string& file_name, std::string* refusal) {
  auto entry = std::make_shared<TWatchFile>();
  entry->FileName = file_name;
  EntryBinding bound = BindEntry(*entry);
  if (bound.state == EntryBinding::State::kRefused) {
    *refusal = "Cannot open file \"" + file_name + "\". " + bound.reason;
    return nullptr;
  }
  return entry;
}

// The reason of a SearchCount that does not convert, or empty.
std::string CountProblem(const std::string& text, int32_t* count) {
  try {
    *count = StrToInt(text);
    return std::string();
  } catch (const SettingsError& e) {
    return e.what();
  }
}

// A cell of decimal digits (blanks around them aside) up to max: its
// value, 0 for an empty cell, -1 for anything else.
int32_t SmallNumber(std::string_view cell, int32_t max) {
  std::string_view text = Trim(cell);
  if (text.empty()) return 0;
  if (text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return -1;
  int32_t value = std::stoi(std::string(text));
  return value <= max ? value : -1;
}

// The rules of the table's current row; each value the row's column does
// not take is added to problems with `row`. A missing column reads as its
// default.
WatchRules RulesOfRow(const CsvTable& conf, const std::string& source, int row,
                      std::vector<SettingsProblem>& problems) {
  WatchRules rules;
  auto refuse = [&](const char* column, const std::string& value, std::string reason) {
    problems.push_back({source, row, column, value, std::move(reason)});
  };
  rules.ExcludeString = conf.GetValue("ExcludeString");

  // A column of two keywords (in any letter case): empty or `usual`, or
  // `other`; true for `other`.
  auto keyword = [&](const char* column, const char* usual, const char* other) {
    std::string value = conf.GetValue(column);
    std::string_view word = Trim(value);
    if (SameText(word, other)) return true;
    if (!word.empty() && !SameText(word, usual)) {
      refuse(column, value,
             std::string("neither ") + usual + " nor " + other + " (empty means " + usual + ")");
    }
    return false;
  };
  if (keyword("MatchMode", "words", "regex")) rules.MatchMode = WatchRules::Mode::kRegex;
  if (keyword("Encoding", "auto", "sjis")) rules.LogEncoding = WatchRules::Encoding::kShiftJis;

  std::string ignore = conf.GetValue("IgnoreCase");
  std::string_view flag = Trim(ignore);
  if (flag == "1") {
    rules.IgnoreCase = true;
  } else if (!flag.empty() && flag != "0") {
    refuse("IgnoreCase", ignore, "neither 0 nor 1 (empty means 0)");
  }

  for (auto [column, field] :
       {std::pair{"Window", &rules.Window}, std::pair{"Quiet", &rules.Quiet}}) {
    std::string value = conf.GetValue(column);
    *field = SmallNumber(value, kMaxRuleSeconds);
    if (*field < 0) {
      *field = 0;
      refuse(column, value,
             "not a number of seconds from 0 to " + std::to_string(kMaxRuleSeconds) +
                 " (empty or 0 turns it off)");
    }
  }

  // An expression that does not compile is refused with the library's
  // message, in the column that holds it.
  if (rules.MatchMode == WatchRules::Mode::kRegex) {
    std::string pattern = conf.GetValue("SearchString");
    std::string why = SearchStringProblem(pattern, rules);
    if (!why.empty()) refuse("SearchString", pattern, why);
  }
  return rules;
}

// The cells of the rule columns, in kWatchRuleColumns order; a default is
// an empty cell.
std::vector<std::string> RuleCells(const WatchRules& rules) {
  auto seconds = [](int32_t s) { return s == 0 ? std::string() : std::to_string(s); };
  return {rules.ExcludeString,
          rules.MatchMode == WatchRules::Mode::kRegex ? "regex" : "",
          rules.IgnoreCase ? "1" : "",
          seconds(rules.Window),
          seconds(rules.Quiet),
          rules.LogEncoding == WatchRules::Encoding::kShiftJis ? "sjis" : ""};
}

[[noreturn]] void ThrowProblem(const SettingsProblem& problem, const std::string& source) {
  throw SettingsError(source.empty() ? problem.Reason : problem.Format());
}

}  // namespace

void SetEnvValue(CsvTable& env, const std::string& column, const std::string& value) {
  if (env.FieldCount() == 0) return;
  if (!value.empty()) {
    // The relay columns arrive together, in their order.
    for (const char* name : kEnvRelayColumns) env.AddField(name);
    env.AddField(column);
  }
  env.SetValue(column, value);
}

std::string SettingsProblem::Format() const {
  // BasePath + "./data/..." reads better without its "./".
  std::string file = File;
  for (size_t at; (at = file.find("/./")) != std::string::npos;) file.erase(at, 2);
  if (Row <= 0) return file + ": " + Reason;
  return file + ":" + std::to_string(Row) + ": " + Column + ": " + Value + ": " + Reason;
}

std::string SearchStringProblem(std::string_view search_string, const WatchRules& rules) {
  if (rules.MatchMode != WatchRules::Mode::kRegex) return std::string();
  return RegexMatcher::Problem(search_string, rules.IgnoreCase, RegexEncodingOf(rules));
}

std::vector<SettingsProblem> CheckWatchListCells(CsvTable& conf, const std::string& source,
                                                 int first_row) {
  std::vector<SettingsProblem> problems;
  int row = first_row;
  for (conf.First(); !conf.Eof(); conf.Next(), ++row) {
    int32_t count;
    std::string value = conf.GetValue("SearchCount");
    std::string reason = CountProblem(value, &count);
    if (!reason.empty()) problems.push_back({source, row, "SearchCount", value, reason});
    RulesOfRow(conf, source, row, problems);
  }
  return problems;
}

std::vector<SettingsProblem> CheckWatchList(CsvTable& conf, const std::string& source) {
  std::vector<SettingsProblem> problems = CheckWatchListCells(conf, source);
  int row = 1;
  for (conf.First(); !conf.Eof(); conf.Next()) {
    ++row;
    std::string reason;
    std::string file = conf.GetValue("FileName");
    if (!OpenedEntry(file, &reason)) problems.push_back({source, row, "FileName", file, reason});
  }
  // Row by row, as a reader goes through the file.
  std::stable_sort(
      problems.begin(), problems.end(),
      [](const SettingsProblem& a, const SettingsProblem& b) { return a.Row < b.Row; });
  return problems;
}

namespace {

// The days of a LogKeepDays cell, 0 for an empty one, -1 for a bad one.
int32_t KeepDays(const std::string& cell) {
  int32_t days = SmallNumber(cell, 36500);
  return days == 0 && !Trim(cell).empty() ? -1 : days;
}

}  // namespace

int32_t MailRetryHours(const std::string& cell) {
  return Trim(cell).empty() ? kDefaultMailRetryHours : SmallNumber(cell, 8760);
}

std::vector<SettingsProblem> CheckEnvSettings(CsvTable& env, const std::string& source) {
  std::vector<SettingsProblem> problems;
  env.First();
  if (env.Eof()) return problems;
  std::string keep = env.GetValue("LogKeepDays");
  if (KeepDays(keep) < 0) {
    problems.push_back({source, 2, "LogKeepDays", keep,
                        "not a number of days from 1 to 36500 (empty keeps the logs for ever)"});
  }
  std::string retry = env.GetValue("MailRetryHours");
  if (MailRetryHours(retry) < 0) {
    problems.push_back({source, 2, "MailRetryHours", retry,
                        "not a number of hours from 0 to 8760 (empty tries a mail for 24 hours)"});
  }
  return problems;
}

int32_t LogKeepDaysOf(CsvTable& env) {
  env.First();
  return env.Eof() ? 0 : std::max(KeepDays(env.GetValue("LogKeepDays")), 0);
}

void ReadWatchList(CsvTable& conf, WatchTable& table, const std::string& source) {
  // First everything that can fail, without touching `table`.
  std::vector<WatchRow> rows;
  rows.reserve(static_cast<size_t>(conf.RowCount()));
  conf.First();
  while (!conf.Eof()) {
    WatchRow row;
    row.FileName = conf.GetValue("FileName");
    row.SearchString = conf.GetValue("SearchString");
    std::string count = conf.GetValue("SearchCount");
    std::string reason = CountProblem(count, &row.SearchCount);
    if (!reason.empty()) {
      ThrowProblem({source, static_cast<int>(rows.size()) + 2, "SearchCount", count, reason},
                   source);
    }
    row.MailAddress = conf.GetValue("MailAddress");
    row.Command = conf.GetValue("Command");
    std::vector<SettingsProblem> problems;
    row.Rules = RulesOfRow(conf, source, static_cast<int>(rows.size()) + 2, problems);
    if (!problems.empty()) ThrowProblem(problems.front(), source);
    rows.push_back(std::move(row));
    conf.Next();
  }

  // Each row takes over an entry of the same file: first one with the same
  // words and count, then any. Its stream and sizes carry on, so the bytes
  // not yet examined are examined once; the hit count carries on only for
  // unchanged words and count.
  std::vector<std::shared_ptr<TWatchFile>> match(rows.size());
  std::vector<bool> taken(table.size(), false);
  for (bool same_words : {true, false}) {
    for (size_t r = 0; r < rows.size(); ++r) {
      if (match[r]) continue;
      for (size_t e = 0; e < table.size(); ++e) {
        const TWatchFile& old = *table[e];
        if (taken[e] || old.FileName != rows[r].FileName) continue;
        if (same_words &&
            (old.SearchString != rows[r].SearchString || old.SearchCount != rows[r].SearchCount)) {
          continue;
        }
        taken[e] = true;
        match[r] = table[e];
        break;
      }
    }
  }
  // Files new to the table are opened and measured, so that text already
  // present is never examined.
  std::vector<std::shared_ptr<TWatchFile>> opened(rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    if (match[r]) continue;
    std::string refusal;
    opened[r] = OpenedEntry(rows[r].FileName, &refusal);
    if (!opened[r]) {
      ThrowProblem({source, static_cast<int>(r) + 2, "FileName", rows[r].FileName, refusal},
                   source);
    }
  }

  // Nothing below fails.
  WatchTable fresh;
  fresh.reserve(rows.size());
  for (size_t r = 0; r < rows.size(); ++r) {
    WatchRow& row = rows[r];
    std::shared_ptr<TWatchFile> entry = match[r] ? match[r] : opened[r];
    // Another file or other words make another series of the metrics.
    if (match[r] && entry->SearchString != row.SearchString) entry->Counters = WatchCounters();
    if (match[r] && (entry->SearchString != row.SearchString ||
                     entry->SearchCount != row.SearchCount || !(entry->Rules == row.Rules))) {
      entry->HitCount = 0;
    }
    entry->SearchString = std::move(row.SearchString);
    entry->SearchCount = row.SearchCount;
    entry->MailAddress = std::move(row.MailAddress);
    entry->Command = std::move(row.Command);
    entry->Rules = std::move(row.Rules);
    fresh.push_back(std::move(entry));
  }
  // Entries no row took over close their files when the last pass lets go.
  table = std::move(fresh);
}

namespace {

// The rule columns are added, all of them, once one of the entries uses a
// rule; until then a list without them stays without them.
void AddRuleColumnsFor(const std::vector<const TWatchFile*>& entries, CsvTable& conf) {
  bool used = std::any_of(entries.begin(), entries.end(),
                          [](const TWatchFile* entry) { return !entry->Rules.IsDefault(); });
  if (used && conf.FieldCount() > 0) {
    for (const char* name : kWatchRuleColumns) conf.AddField(name);
  }
}

void SetRuleCells(CsvTable& conf, const WatchRules& rules) {
  std::vector<std::string> cells = RuleCells(rules);
  for (size_t i = 0; i < cells.size(); ++i) conf.SetValue(kWatchRuleColumns[i], cells[i]);
}

}  // namespace

void KeepRulesOf(const WatchTable& table, CsvTable& conf) {
  std::vector<const TWatchFile*> kept(static_cast<size_t>(conf.RowCount()), nullptr);
  std::vector<bool> taken(table.size(), false);
  size_t r = 0;
  for (conf.First(); !conf.Eof(); conf.Next(), ++r) {
    std::string file = conf.GetValue("FileName");
    for (size_t e = 0; e < table.size(); ++e) {
      if (taken[e] || table[e]->FileName != file) continue;
      taken[e] = true;
      kept[r] = table[e].get();
      break;
    }
  }
  std::vector<const TWatchFile*> found;
  std::copy_if(kept.begin(), kept.end(), std::back_inserter(found),
               [](const TWatchFile* e) { return e != nullptr; });
  AddRuleColumnsFor(found, conf);
  r = 0;
  for (conf.First(); !conf.Eof(); conf.Next(), ++r) {
    if (kept[r]) SetRuleCells(conf, kept[r]->Rules);
  }
}

void SaveWatchList(const WatchTable& table, CsvTable& conf, CsvTable& env,
                   const std::string& base_path, bool skip_failed_loads) {
  std::vector<const TWatchFile*> entries;
  for (const auto& entry : table) entries.push_back(entry.get());
  AddRuleColumnsFor(entries, conf);
  conf.ClearRows();
  for (const auto& entry : table) {
    conf.AppendRow();
    conf.SetValue("FileName", entry->FileName);
    conf.SetValue("SearchString", entry->SearchString);
    conf.SetValue("SearchCount", std::to_string(entry->SearchCount));
    conf.SetValue("MailAddress", entry->MailAddress);
    conf.SetValue("Command", entry->Command);
    SetRuleCells(conf, entry->Rules);
  }
  SaveSettingsFiles(conf, env, base_path, skip_failed_loads);
}

void SaveSettingsFiles(CsvTable& conf, CsvTable& env, const std::string& base_path,
                       bool skip_failed_loads) {
  std::string failed;
  for (auto [table, name] : {std::pair{&conf, kWatchListFile}, std::pair{&env, kEnvFile}}) {
    if (skip_failed_loads && table->LoadFailed) continue;
    std::string path = base_path + name;
    if (!table->SaveToFile(path)) {
      if (!failed.empty()) failed += "\n";
      failed += table->LastErrorText + ": \"" + path + "\". " + std::strerror(errno);
    }
  }
  if (!failed.empty()) throw SettingsError(failed);
}

}  // namespace sl
