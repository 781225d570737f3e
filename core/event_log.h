// EventLog: the service's one record of what happened.
//
// Appends entries to one file per local day, BasePath + "./log/" + yyyymmdd
// + ".log". LogEvent writes a time-stamped heading chosen by an event code
// (EUC-JP texts), the caller's detail and two empty lines; LogLine writes one
// plain line. Each entry reaches the file in a single write(2) on a
// descriptor opened with O_APPEND, so entries from different threads never
// interleave. A new day's file is created with mode 0640 (root and the
// administrators' group read what was watched and who logged in). The log
// directory is not created; when it is missing or not writable both calls
// throw EventLogError, and WriteFailures counts it. Safe to use from any
// thread.
//
// The day's file stays open between entries, as the administration writes a
// line per request. It is opened again when the day changes, and when its
// name no longer leads to the open file (moved or deleted by a rotation or
// by hand), which is checked at most once a second: entries of that second
// land in the moved file, none are written into a deleted one for longer.
//
// A mirror, when set, gets every entry as well (the code, or -1 for a plain
// line, and the text without its time stamp and empty lines), before the
// file is written, so it sees the entries that a full disk keeps out of
// the file. It is given at construction.
#ifndef SL_CORE_EVENT_LOG_H_
#define SL_CORE_EVENT_LOG_H_

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/unique_fd.h"

namespace sl {

// Input/output error of the event log.
class EventLogError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Event codes written by the service.
enum EventCode : int32_t {
  kEventStartStopFailure = 0,
  kEventRemoteControlFailure = 30,
  kEventServiceStarted = 50,
  kEventServiceStopped = 51,
  kEventInformation = 98,
  kEventSystemError = 99,
};

class EventLog {
 public:
  // Receives an entry's code (-1 for LogLine) and text; runs on the
  // writer's thread and must not throw.
  using Mirror = std::function<void(int32_t code, std::string_view text)>;

  explicit EventLog(std::string base_path, Mirror mirror = nullptr);
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  void LogEvent(int32_t code, std::string_view detail) const;
  void LogLine(std::string_view text) const;

  // The heading of a code in EUC-JP, or nullptr for a code outside the table.
  static const char* Heading(int32_t code);
  // Path of the log file for the given moment.
  std::string FileFor(std::time_t when) const;
  const std::string& base_path() const { return base_path_; }
  // Entries that could not be written since construction.
  int64_t WriteFailures() const { return write_failures_.load(std::memory_order_relaxed); }

 private:
  void Append(std::time_t when, const std::string& entry) const;
  // The descriptor of `path`, opened again when needed (mutex_ held).
  int OpenFor(const std::string& path, std::time_t when) const;
  void CloseFile() const;

  std::string base_path_;
  Mirror mirror_;

  // The open day's file; the log is used as a const object by every thread.
  mutable std::mutex mutex_;
  mutable UniqueFd fd_;
  mutable std::string open_path_;
  mutable std::time_t checked_at_ = 0;  // when the name last led to fd_
  mutable std::atomic<int64_t> write_failures_{0};
};

// Local time as "yyyy/mm/dd hh:mm:ss".
std::string FormatTimestamp(std::time_t when);

}  // namespace sl

#endif
