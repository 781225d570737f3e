#include "console/settings_text.h"

#include <algorithm>
#include <iterator>

#include "core/jconvert.h"
#include "core/text.h"
#include "core/utf8_text.h"
#include "settings/csv_table.h"
#include "settings/settings_files.h"
#include "web/admin_text.h"

namespace sl {

namespace {

constexpr const char* kEntryColumns[] = {"FileName", "SearchString", "SearchCount", "MailAddress",
                                         "Command"};
constexpr const char* kMailColumns[] = {"MailSubject", "MailBody", "SMTPServer", "FromMailAddress"};

bool IsUtf8(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return IsMultibyteUtf8(text);
  }
  return true;
}

// The log path line that ends the agent's text: an absolute path to a
// ".log" file, unquoted.
bool IsLogPathLine(std::string_view line) {
  return line.size() > 4 && line.front() == '/' && line.substr(line.size() - 4) == ".log";
}

// Fields between double quotes, each quote inside doubled, as the agent
// reads them back.
std::string QuotedLine(const std::vector<std::string>& fields) {
  std::string out;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out += ',';
    std::string field = fields[i];
    ReplaceAll(field, "\"", "\"\"");
    out += '"' + field + '"';
  }
  return out;
}

// An entry's shape: a path and an integer count; no mail line has both.
bool LooksLikeEntry(const std::vector<std::string>& fields) {
  if (fields.size() < 3 || fields[0].empty() || fields[0][0] != '/') return false;
  try {
    StrToInt(fields[2]);
    return true;
  } catch (const SettingsError&) {
    return false;
  }
}

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    lines.emplace_back(text.substr(0, lf));
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
  }
  return lines;
}

}  // namespace

std::string SettingsTextToUtf8(std::string_view text) {
  Utf8Converter convert;
  std::vector<std::string> lines = Lines(text);
  // The mail line is the last quoted line: the log path follows it.
  size_t mail = lines.size();
  if (!lines.empty()) mail = IsLogPathLine(lines.back()) ? lines.size() - 2 : lines.size() - 1;
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i == mail) {
      std::vector<std::string> fields = SplitCommaFields(lines[i]);
      for (size_t f = 0; f < fields.size(); ++f) {
        fields[f] = convert.EucToValidUtf8(f < 2 ? SjisToEuc(fields[f]) : fields[f]);
      }
      out += QuotedLine(fields);
    } else {
      out += convert.EucToValidUtf8(lines[i]);
    }
    out += '\n';
  }
  return out;
}

PostedList PrepareWatchList(std::string_view text, bool raw, const std::string& source) {
  PostedList result;
  Utf8Converter convert;
  std::vector<std::string> lines = SplitLines(text);
  if (lines.size() >= 2 && IsLogPathLine(lines.back())) lines.pop_back();
  if (lines.empty()) {
    result.problems.push_back({source, 0, "", "", "no mail line: the list would be emptied"});
    return result;
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    if (!raw && !IsUtf8(lines[i])) {
      result.problems.push_back({source, static_cast<int>(i) + 1, "", "",
                                 "not UTF-8 (give --raw for a text in the agent's codes)"});
    }
  }
  if (!result.problems.empty()) return result;

  CsvTable entries;
  for (const char* column : kEntryColumns) entries.AddField(column);
  for (size_t i = 0; i < lines.size(); ++i) {
    bool mail = i + 1 == lines.size();
    std::vector<std::string> fields = SplitCommaFields(lines[i]);
    if (raw) {
      result.body += lines[i];
    } else {
      for (size_t f = 0; f < fields.size(); ++f) {
        fields[f] = convert.Utf8ToEuc(fields[f]);
        if (mail && f < 2) fields[f] = EucToSjis(fields[f]);
      }
      result.body += mail ? QuotedLine(fields) : convert.Utf8ToEuc(lines[i]);
    }
    result.body += '\n';

    const auto& columns = mail ? kMailColumns : kEntryColumns;
    const size_t needed = mail ? std::size(kMailColumns) : std::size(kEntryColumns);
    const int row = static_cast<int>(i) + 1;
    if (mail && LooksLikeEntry(fields)) {
      // The agent would take it for the mail line: the subject would become
      // a path and the entry would be lost.
      result.problems.push_back({source, row, "MailSubject", fields[0],
                                 "an entry where the mail line belongs (the last line)"});
    }
    if (fields.size() < needed) {
      result.problems.push_back({source, row, columns[fields.size()], "",
                                 "missing: " + std::string(mail ? "the mail line" : "an entry") +
                                     " needs " + std::to_string(needed) +
                                     " fields, this line has " + std::to_string(fields.size())});
    }
    if (!mail) {
      entries.AppendRow();
      for (size_t f = 0; f < fields.size() && f < needed; ++f) {
        entries.SetValue(kEntryColumns[f], fields[f]);
      }
    }
  }
  // The cells of the entries that have all their fields; entry n is line n.
  for (SettingsProblem& p : CheckWatchListCells(entries, source, 1)) {
    bool short_line = false;
    for (const SettingsProblem& q : result.problems) short_line |= q.Row == p.Row;
    if (!short_line) result.problems.push_back(std::move(p));
  }
  std::stable_sort(
      result.problems.begin(), result.problems.end(),
      [](const SettingsProblem& a, const SettingsProblem& b) { return a.Row < b.Row; });
  for (SettingsProblem& p : result.problems) p.Value = convert.EucToValidUtf8(p.Value);
  return result;
}

}  // namespace sl
