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
// Request lines (LogRequestLine) are the one kind of entry that strangers
// can cause in bulk: they are left out while the file system of the log
// directory has less free space than FreeSpaceFloor (what users other than
// root may still use), checked at most once a second; an entry says when
// that begins and when it ends. Every other entry is written as long as
// anything can be. With SetKeepDays, the first write of a day removes the
// daily files older than that many days.
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
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/mutex.h"
#include "core/thread_annotations.h"
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
  // A line about a request: left out while free space is short. A write
  // that fails is counted (WriteFailures) instead of thrown, so that a
  // request is answered whatever becomes of its line.
  void LogRequestLine(std::string_view text) const;

  // The least free space under which request lines are left out: 1 % of
  // the file system, at least kMinFreeSpace.
  static constexpr uint64_t kMinFreeSpace = 100ull << 20;
  static uint64_t FreeSpaceFloor(uint64_t file_system_size);
  // True while request lines are left out.
  bool ShortOfSpace() const { return short_of_space_.load(std::memory_order_relaxed); }

  // Daily files older than days are removed at the first write of a day;
  // 0 keeps them for ever.
  void SetKeepDays(int32_t days) const { keep_days_.store(days, std::memory_order_relaxed); }

  // The heading of a code in EUC-JP, or nullptr for a code outside the table.
  static const char* Heading(int32_t code);
  // Path of the log file for the given moment.
  std::string FileFor(std::time_t when) const;
  const std::string& base_path() const { return base_path_; }
  // Entries that could not be written since construction.
  int64_t WriteFailures() const { return write_failures_.load(std::memory_order_relaxed); }

 private:
  void Append(std::time_t when, const std::string& entry) const;
  // The descriptor of `path`, opened again when needed.
  int OpenFor(const std::string& path, std::time_t when) const REQUIRES(mutex_);
  void CloseFile() const REQUIRES(mutex_);
  // Removes the daily files older than keep_days_ before `path`'s day.
  void RemoveOldFiles(const std::string& path) const REQUIRES(mutex_);
  // Looks at the free space (at most once a second); writes the entry of
  // a change. True while request lines may be written.
  bool RoomForRequestLines(std::time_t now) const;

  std::string base_path_;
  Mirror mirror_;

  // The open day's file; the log is used as a const object by every thread.
  mutable Mutex mutex_;
  mutable UniqueFd fd_ GUARDED_BY(mutex_);
  mutable std::string open_path_ GUARDED_BY(mutex_);
  mutable std::time_t checked_at_ GUARDED_BY(mutex_) = 0;  // when the name last led to fd_
  mutable std::string pruned_for_ GUARDED_BY(mutex_);      // the day whose first write pruned
  mutable std::atomic<int64_t> write_failures_{0};
  mutable std::atomic<int32_t> keep_days_{0};
  mutable std::atomic<bool> short_of_space_{false};
  mutable std::atomic<std::time_t> space_checked_at_{0};
};

// Local time as "yyyy/mm/dd hh:mm:ss".
std::string FormatTimestamp(std::time_t when);

}  // namespace sl

#endif
