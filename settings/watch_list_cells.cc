#include "settings/watch_list_cells.h"

namespace sl {

std::vector<SettingsProblem> CheckWatchListCells(CsvTable& conf, const std::string& source,
                                                 int first_row) {
  std::vector<SettingsProblem> problems;
  int row = first_row;
  for (conf.First(); !conf.Eof(); conf.Next(), ++row) {
    std::string value = conf.GetValue("SearchCount");
    try {
      StrToInt(value);
    } catch (const SettingsError& e) {
      problems.push_back({source, row, "SearchCount", value, e.what()});
    }
  }
  return problems;
}

}  // namespace sl
