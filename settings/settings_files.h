// The two settings files and the operations that move data between them and
// the running service: the watch list "./data/ScanLantern.conf" (one row per
// watched file) and the environment file "./data/env.csv" (mail and login).
#ifndef SL_SETTINGS_SETTINGS_FILES_H_
#define SL_SETTINGS_SETTINGS_FILES_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/regex_match.h"
#include "settings/csv_table.h"
#include "settings/watch_file.h"

namespace sl {

inline constexpr char kWatchListFile[] = "./data/ScanLantern.conf";
inline constexpr char kEnvFile[] = "./data/env.csv";
// The notification mails not yet sent, one file each.
inline constexpr char kSpoolDirectory[] = "./data/spool";

// An error raised by a settings operation; what() is the message text.
class SettingsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Default templates of a new environment row.
std::string DefaultMailSubject();
std::string DefaultMailBody();
// The subject the first env.csv of a new installation gets: it names the
// host, the words and the file. Files written before keep their subject.
inline constexpr char kInitialMailSubject[] =
    "[ScanLantern] \\ServerName\\: \\WatchString\\ (\\WatchFile\\)";

// Converts a SearchCount cell: leading blanks, optional sign, decimal digits
// or hexadecimal after "$", "x", "X", "0x", "0X". Throws SettingsError
// "'<text>' is not a valid integer value" for anything else.
int32_t StrToInt(const std::string& text);

// The optional mail relay columns of env.csv, in the order they are
// appended to a file that lacks them (see SetEnvValue).
inline constexpr const char* kEnvRelayColumns[] = {"SMTPPort", "SMTPSecurity", "SMTPUser",
                                                   "SMTPPassword"};

// The optional rule columns of the watch list (WatchRules), in the order
// they follow its first five columns. A list that lacks them reads every
// rule at its default and is saved without them until a rule gets another
// value; a value at its default is saved as an empty cell.
inline constexpr const char* kWatchRuleColumns[] = {"ExcludeString", "MatchMode", "IgnoreCase",
                                                    "Window",        "Quiet",     "Encoding"};
// The longest Window and Quiet, in seconds.
inline constexpr int32_t kMaxRuleSeconds = 86400;

// Appends a row with the default subject and body when env has no data row.
void EnsureEnvDefaults(CsvTable& env);

// Sets a cell of the environment row. When a value is given, the relay
// columns the file lacks (and the column itself) are appended, so a file
// without them stays as it is while they hold their defaults (empty). A
// table without any column (no env.csv) is left alone.
void SetEnvValue(CsvTable& env, const std::string& column, const std::string& value);

// Loads a settings file into table. A file that does not exist leaves the
// table as it is; one that exists but cannot be opened or read, or is not a
// regular file, throws SettingsError "Cannot read file "<path>". <reason>"
// and the table is unchanged.
void LoadSettingsFile(CsvTable& table, const std::string& path);

// One problem of a settings file, as a check and a failed start name it.
struct SettingsProblem {
  std::string File;
  int Row = 0;  // the file's record, the header being row 1; 0: the whole file
  std::string Column;
  std::string Value;
  std::string Reason;
  // "file:row: column: value: reason", or "file: reason" for the whole file.
  std::string Format() const;
};

// Every problem of the watch-list table that a start or a reload refuses
// (a SearchCount that is not an integer, a rule column with a value it does
// not take, a file that exists but may not be opened), row by row; `source` names the file in each.
// Opens the watched files to look at them, reads nothing from them and changes nothing.
std::vector<SettingsProblem> CheckWatchList(CsvTable& conf, const std::string& source);

// The checks of CheckWatchList that need nothing but the cells (the counts
// and the rule columns), so that a list meant for another host (the
// console's, before it posts one) can be judged where its files do not
// exist. The first row of conf is numbered first_row (2 for a file, whose
// header is row 1).
std::vector<SettingsProblem> CheckWatchListCells(CsvTable& conf, const std::string& source,
                                                 int first_row = 2);

// Problems of the environment row that a start or a reload refuses: a
// LogKeepDays that is neither empty nor a whole number of days from 1 to
// 36500, a MailRetryHours that is neither empty nor hours from 0 to 8760.
std::vector<SettingsProblem> CheckEnvSettings(CsvTable& env, const std::string& source);
// The days LogKeepDays keeps the daily logs; 0 (for ever) when it is empty
// or not valid.
int32_t LogKeepDaysOf(CsvTable& env);

// The hours of a MailRetryHours cell: kDefaultMailRetryHours for an empty
// one, -1 for one that is not a whole number from 0 to 8760. 0 tries a
// mail once.
inline constexpr int32_t kDefaultMailRetryHours = 24;
int32_t MailRetryHours(const std::string& cell);

// Rebuilds the watch table from the watch-list table, all or nothing: on a
// bad SearchCount or rule value, or a new file that cannot be opened it throws
// SettingsError and `table` is untouched. With a `source` the message is
// the first problem as SettingsProblem::Format writes it; without one it
// is the reason alone. A row whose file an entry of
// `table` already watches takes that entry over with its stream and sizes
// (and its hit count when words, count and rules are unchanged); other files are
// opened and measured, so that text already present is never examined.
void ReadWatchList(CsvTable& conf, WatchTable& table, const std::string& source = "");

// The form of RegexMatcher an entry with these rules matches with.
inline RegexMatcher::LogEncoding RegexEncodingOf(const WatchRules& rules) {
  return rules.LogEncoding == WatchRules::Encoding::kShiftJis ? RegexMatcher::LogEncoding::kShiftJis
                                                              : RegexMatcher::LogEncoding::kAuto;
}

// Why search_string cannot be the line test of an entry with these rules
// (a regular expression that does not compile: the library's message), or
// empty.
std::string SearchStringProblem(std::string_view search_string, const WatchRules& rules);

// Sets the rule cells of each row of conf from the entry of table that
// watches the row's file (each entry taken once, in order), adding the
// rule columns when such an entry uses a rule. For a list posted by a
// client that knows only the first five columns: its rows keep the rules.
void KeepRulesOf(const WatchTable& table, CsvTable& conf);

// Writes the watch table into base_path + kWatchListFile and rewrites
// base_path + kEnvFile from env (SaveSettingsFiles).
void SaveWatchList(const WatchTable& table, CsvTable& conf, CsvTable& env,
                   const std::string& base_path, bool skip_failed_loads = false);

// Saves both tables to their files below base_path. Both saves are tried;
// a file that could not be created throws SettingsError naming it, a write
// error std::system_error. A failed save leaves that file as it was. With
// skip_failed_loads a table marked LoadFailed is not saved, so its file
// keeps what a person wrote there.
void SaveSettingsFiles(CsvTable& conf, CsvTable& env, const std::string& base_path,
                       bool skip_failed_loads = false);

}  // namespace sl

#endif
