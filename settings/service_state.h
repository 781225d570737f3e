// ServiceState: the process-wide state of the running service.
//
// One instance, owned by the ServiceModule and reachable by every part that
// handles a watch pass or a web request. `Lock` is the service lock: whoever
// reads or changes a field below it holds the lock. BasePath, DocumentRoot
// and Log are fixed at construction and need no lock.
#ifndef SL_SETTINGS_SERVICE_STATE_H_
#define SL_SETTINGS_SERVICE_STATE_H_

#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "core/event_log.h"
#include "settings/csv_table.h"
#include "settings/watch_file.h"

namespace sl {

struct ServiceState {
  explicit ServiceState(const std::string& base_path)
      : BasePath(base_path), DocumentRoot(base_path + "www"), Log(base_path) {}

  const std::string BasePath;      // installation directory, ends in "/"
  const std::string DocumentRoot;  // BasePath + "www"
  const EventLog Log;

  std::mutex Lock;

  // Guarded by Lock.
  CsvTable ConfTable;  // the watch list
  CsvTable EnvTable;   // the environment settings
  WatchTable Watches;
  bool WatchingActive = true;
  bool SettingsLoaded = false;
  std::string HostAddress;
  std::string AdminUserId;
  std::string AdminPassword;
  std::vector<std::string> RequestParams;  // "name=value" of the request being handled

  // For the status page. Fixed at construction; needs no lock. (The
  // per-entry records are TWatchFile::Status, under Lock.)
  const std::time_t StartTime = std::time(nullptr);
};

}  // namespace sl

#endif
