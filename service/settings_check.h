// The check of the settings files before a start or a reload.
//
// Reads both settings files below a base directory with the service's own
// reader and applies the checks of a start (CheckWatchList), without
// binding a port or writing anything. Problems are printed one a line as
// "file:row: column: value: reason" ("file: reason" for a file that cannot
// be read).
#ifndef SL_SERVICE_SETTINGS_CHECK_H_
#define SL_SERVICE_SETTINGS_CHECK_H_

#include <ostream>
#include <string>
#include <vector>

#include "settings/settings_files.h"

namespace sl {

// Every problem of the two settings files below base_path.
std::vector<SettingsProblem> CheckSettingsFiles(const std::string& base_path);

// Prints the problems (or that all is well) to out; the exit status of
// --check: 0 when all is well, 1 otherwise.
int RunSettingsCheck(const std::string& base_path, std::ostream& out);

}  // namespace sl

#endif
