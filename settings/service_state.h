// ServiceState: the process-wide state of the running service.
//
// One instance, owned by the ServiceModule and reachable by every part that
// handles a watch pass or a web request. `Lock` is the service lock: whoever
// reads or changes a field below it holds the lock, and clang checks that
// (GUARDED_BY). BasePath, DocumentRoot and Log are fixed at construction and
// need no lock.
#ifndef SL_SETTINGS_SERVICE_STATE_H_
#define SL_SETTINGS_SERVICE_STATE_H_

#include <chrono>
#include <ctime>
#include <string>

#include "core/event_log.h"
#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "settings/csv_table.h"
#include "settings/watch_file.h"

namespace sl {

struct ServiceState {
  // `log_mirror` gets every event-log entry as well (EventLog::Mirror).
  explicit ServiceState(const std::string& base_path, EventLog::Mirror log_mirror = nullptr)
      : BasePath(base_path),
        DocumentRoot(base_path + "www"),
        Log(base_path, std::move(log_mirror)) {}

  const std::string BasePath;      // installation directory, ends in "/"
  const std::string DocumentRoot;  // BasePath + "www"
  const EventLog Log;

  Mutex Lock;

  CsvTable ConfTable GUARDED_BY(Lock);  // the watch list
  CsvTable EnvTable GUARDED_BY(Lock);   // the environment settings
  WatchTable Watches GUARDED_BY(Lock);
  bool WatchingActive GUARDED_BY(Lock) = true;
  bool SettingsLoaded GUARDED_BY(Lock) = false;
  std::string HostAddress GUARDED_BY(Lock);
  std::string AdminUserId GUARDED_BY(Lock);
  std::string AdminPassword GUARDED_BY(Lock);

  // What the watch pass did for all entries, for the metrics and the
  // health check. The counts only grow.
  uint64_t CommandsStarted GUARDED_BY(Lock) = 0;
  uint64_t CommandsFailed GUARDED_BY(Lock) = 0;
  uint64_t CommandsSkipped GUARDED_BY(Lock) = 0;
  // When the last watch pass ended; the epoch before the first.
  std::chrono::steady_clock::time_point LastPassEnd GUARDED_BY(Lock);

  // For the status page. Fixed at construction; needs no lock. (The
  // per-entry records are TWatchFile::Status, under Lock.)
  const std::time_t StartTime = std::time(nullptr);
  // The uptime runs on this, so that a clock set back cannot make it
  // negative.
  const std::chrono::steady_clock::time_point StartedAt = std::chrono::steady_clock::now();
};

}  // namespace sl

#endif
