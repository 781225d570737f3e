// The status of the running service: "/Status.cgi" and "/Status.json".
//
// TakeStatusSnapshotLocked copies, under the service lock, what the pages
// show of every watch entry and nothing more, so a watch pass never waits
// longer than that copy. Everything else happens on the copy without the
// lock: MeasureStatusFiles reads each file's current size, StatusPageTag
// fills the tags of the Shift_JIS template (values converted and
// HTML-escaped), and StatusJson writes the same facts as JSON with UTF-8
// strings, replacing bytes that are not valid text.
#ifndef SL_WEB_STATUS_PAGE_H_
#define SL_WEB_STATUS_PAGE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "mail/mail_queue.h"
#include "settings/service_state.h"

namespace sl {

struct EntryStatusView {
  std::string FileName;  // EUC-JP, as are the other texts
  std::string SearchString;
  int32_t SearchCount = 0;
  int32_t HitCount = 0;
  int64_t BytesRead = 0;  // the file is examined up to here
  int64_t FileSize = -1;  // at the time of the page; -1 when it cannot be read
  WatchRules Rules;
  WatchStatus Status;
};

struct StatusSnapshot {
  std::time_t StartTime = 0;
  std::time_t Now = 0;
  std::chrono::steady_clock::time_point SteadyNow;  // when the snapshot was taken
  int64_t UptimeSeconds = 0;                        // by the monotonic clock
  MailQueueState Mail;                              // the notification queue and its spool
  int64_t LogWriteFailures = 0;
  std::vector<EntryStatusView> Entries;  // in the watch list's order
};

// The entries and the start time; the caller holds ServiceState::Lock and
// fills in the rest.
StatusSnapshot TakeStatusSnapshotLocked(const ServiceState& state) REQUIRES(state.Lock);

// Each entry's current file size (stat of its path, which opens nothing).
void MeasureStatusFiles(StatusSnapshot& snapshot);

// Replacement text of the status template's tags "StatusSummary" and
// "StatusEntries" (Shift_JIS HTML rows); empty for other names.
std::string StatusPageTag(const StatusSnapshot& snapshot, const std::string& tag);

// The snapshot as a JSON document.
std::string StatusJson(const StatusSnapshot& snapshot);

}  // namespace sl

#endif
