#include "settings/settings_files.h"

#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

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
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else throw bad();
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

void SetEnvValue(CsvTable& env, const std::string& column, const std::string& value) {
  if (env.FieldCount() == 0) return;
  if (!value.empty()) {
    // The relay columns arrive together, in their order.
    for (const char* name : kEnvRelayColumns) env.AddField(name);
    env.AddField(column);
  }
  env.SetValue(column, value);
}

void ReadWatchList(CsvTable& conf, WatchTable& table) {
  for (auto& entry : table) entry->Stream.Close();
  WatchTable fresh;
  fresh.reserve(static_cast<size_t>(conf.RowCount()));
  conf.First();
  while (!conf.Eof()) {
    auto entry = std::make_shared<TWatchFile>();
    entry->FileName = conf.GetValue("FileName");
    if (FileExists(entry->FileName)) {
      if (!entry->Stream.Open(entry->FileName)) {
        throw SettingsError("Cannot open file \"" + entry->FileName + "\". " +
                            std::strerror(errno));
      }
      int64_t size = entry->Stream.Size();
      entry->LastSize = entry->CurrentSize = size < 0 ? 0 : size;
    }
    entry->SearchString = conf.GetValue("SearchString");
    entry->SearchCount = StrToInt(conf.GetValue("SearchCount"));
    entry->HitCount = 0;
    entry->MailAddress = conf.GetValue("MailAddress");
    entry->Command = conf.GetValue("Command");
    fresh.push_back(std::move(entry));
    conf.Next();
  }
  table = std::move(fresh);
}

void SaveWatchList(const WatchTable& table, CsvTable& conf, CsvTable& env,
                   const std::string& base_path) {
  conf.ClearRows();
  for (const auto& entry : table) {
    conf.AppendRow();
    conf.SetValue("FileName", entry->FileName);
    conf.SetValue("SearchString", entry->SearchString);
    conf.SetValue("SearchCount", std::to_string(entry->SearchCount));
    conf.SetValue("MailAddress", entry->MailAddress);
    conf.SetValue("Command", entry->Command);
  }
  SaveSettingsFiles(conf, env, base_path);
}

void SaveSettingsFiles(CsvTable& conf, CsvTable& env, const std::string& base_path) {
  std::string failed;
  for (auto [table, name] : {std::pair{&conf, kWatchListFile}, std::pair{&env, kEnvFile}}) {
    std::string path = base_path + name;
    if (!table->SaveToFile(path)) {
      if (!failed.empty()) failed += "\n";
      failed += table->LastErrorText + ": \"" + path + "\". " + std::strerror(errno);
    }
  }
  if (!failed.empty()) throw SettingsError(failed);
}

}  // namespace sl
