// The metrics of "/metrics", in the Prometheus text exposition format
// (version 0.0.4).
//
// TakeMetricsSnapshotLocked copies, under the service lock, each entry's
// names, file state and counters and the watch pass's command counts; the
// dispatcher adds what it and the other parts count, and MetricsText writes
// the page without the lock. Entry labels are the file and the words in
// UTF-8 (stray bytes as U+FFFD), escaped as the format says; two entries
// with the same file and words are one series, their counts added.
#ifndef SL_WEB_METRICS_TEXT_H_
#define SL_WEB_METRICS_TEXT_H_

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "core/thread_annotations.h"
#include "mail/mail_queue.h"
#include "settings/service_state.h"

namespace sl {

struct MetricsSnapshot {
  struct Entry {
    std::string FileName;  // EUC-JP
    std::string SearchString;
    WatchStatus::FileState File = WatchStatus::FileState::kNotYetLooked;
    WatchCounters Counters;
  };
  std::vector<Entry> Entries;  // in the watch list's order
  uint64_t CommandsStarted = 0;
  uint64_t CommandsFailed = 0;
  uint64_t CommandsSkipped = 0;
  std::time_t StartTime = 0;
  // Filled in by the caller, without the lock.
  MailQueueState Mail;
  int64_t LogWriteFailures = 0;
  std::array<uint64_t, 5> HttpRequests{};  // by status class, 1xx to 5xx
  uint64_t DiscoveryReplies = 0;
  uint64_t DiscoveryDrops = 0;
  std::string Version;
};

MetricsSnapshot TakeMetricsSnapshotLocked(const ServiceState& state) REQUIRES(state.Lock);

std::string MetricsText(const MetricsSnapshot& snapshot);

// A label value as the format writes it: backslash, double quote and line
// feed escaped.
std::string EscapeLabelValue(std::string_view utf8);

}  // namespace sl

#endif
