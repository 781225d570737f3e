#include "service/settings_check.h"

#include "settings/csv_table.h"

namespace sl {

std::vector<SettingsProblem> CheckSettingsFiles(const std::string& base_path) {
  std::vector<SettingsProblem> problems;
  const std::string conf_path = base_path + kWatchListFile;
  const std::string env_path = base_path + kEnvFile;
  CsvTable conf, env;
  for (auto [table, path] : {std::pair{&conf, &conf_path}, std::pair{&env, &env_path}}) {
    table->Separator = ",";
    table->QuoteChar = "\"";
    try {
      LoadSettingsFile(*table, *path);
    } catch (const SettingsError& e) {
      problems.push_back({*path, 0, "", "", e.what()});
    }
  }
  for (SettingsProblem& p : CheckWatchList(conf, conf_path)) problems.push_back(std::move(p));
  for (SettingsProblem& p : CheckEnvSettings(env, env_path)) problems.push_back(std::move(p));
  return problems;
}

int RunSettingsCheck(const std::string& base_path, std::ostream& out) {
  std::vector<SettingsProblem> problems = CheckSettingsFiles(base_path);
  for (const SettingsProblem& p : problems) out << p.Format() << "\n";
  if (problems.empty()) {
    out << SettingsProblem{base_path + kWatchListFile, 0, "", "", "OK"}.Format() << "\n"
        << SettingsProblem{base_path + kEnvFile, 0, "", "", "OK"}.Format() << "\n";
  }
  out.flush();
  return problems.empty() ? 0 : 1;
}

}  // namespace sl
