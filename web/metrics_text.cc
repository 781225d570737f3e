#include "web/metrics_text.h"

#include <map>
#include <utility>

#include "core/utf8_text.h"

namespace sl {

namespace {

constexpr const char* kFileStates[] = {"not_yet_looked", "reading", "missing", "refused"};

// One metric family: its HELP and TYPE lines, then its samples.
class Family {
 public:
  Family(std::string& out, const char* name, const char* type, const char* help)
      : out_(out), name_(name) {
    out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& labels, uint64_t value) {
    out_ += name_;
    if (!labels.empty()) out_ += "{" + labels + "}";
    out_ += " " + std::to_string(value) + "\n";
  }

 private:
  std::string& out_;
  const char* name_;
};

std::string Label(const char* name, std::string_view value) {
  return std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

}  // namespace

std::string EscapeLabelValue(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (char c : utf8) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

MetricsSnapshot TakeMetricsSnapshotLocked(const ServiceState& state) {
  MetricsSnapshot s;
  s.Entries.reserve(state.Watches.size());
  for (const auto& entry : state.Watches) {
    s.Entries.push_back(
        {entry->FileName, entry->SearchString, entry->Status.File, entry->Counters});
  }
  s.CommandsStarted = state.CommandsStarted;
  s.CommandsFailed = state.CommandsFailed;
  s.CommandsSkipped = state.CommandsSkipped;
  s.StartTime = state.StartTime;
  return s;
}

std::string MetricsText(const MetricsSnapshot& s) {
  // The series of the entries, one per file and words, in the list's order.
  struct Series {
    std::string labels;
    WatchStatus::FileState file;
    WatchCounters counters;
  };
  std::vector<Series> series;
  std::map<std::string, size_t> by_labels;
  Utf8Converter utf8;
  for (const MetricsSnapshot::Entry& e : s.Entries) {
    std::string labels = Label("file", utf8.EucToValidUtf8(e.FileName)) + "," +
                         Label("words", utf8.EucToValidUtf8(e.SearchString));
    auto [it, fresh] = by_labels.try_emplace(labels, series.size());
    if (fresh) {
      series.push_back({std::move(labels), e.File, e.Counters});
      continue;
    }
    WatchCounters& sum = series[it->second].counters;
    sum.BytesRead += e.Counters.BytesRead;
    sum.LinesScanned += e.Counters.LinesScanned;
    sum.MatchingLines += e.Counters.MatchingLines;
    sum.Triggers += e.Counters.Triggers;
    sum.HeldBack += e.Counters.HeldBack;
  }

  std::string out;
  struct CounterOf {
    const char* name;
    const char* help;
    uint64_t WatchCounters::*field;
  };
  for (const CounterOf& c : {
           CounterOf{"scanlantern_entry_bytes_read_total", "Bytes of the entry's file examined.",
                     &WatchCounters::BytesRead},
           CounterOf{"scanlantern_entry_lines_scanned_total",
                     "Line ends read from the entry's file.", &WatchCounters::LinesScanned},
           CounterOf{"scanlantern_entry_matching_lines_total", "Lines that held the entry's words.",
                     &WatchCounters::MatchingLines},
           CounterOf{"scanlantern_entry_triggers_total", "Times the entry reached its count.",
                     &WatchCounters::Triggers},
           CounterOf{"scanlantern_entry_triggers_held_back_total",
                     "Triggers held back in a quiet period.", &WatchCounters::HeldBack},
       }) {
    Family family(out, c.name, "counter", c.help);
    for (const Series& e : series) family.Sample(e.labels, e.counters.*c.field);
  }
  {
    Family family(out, "scanlantern_entry_file_state", "gauge",
                  "1 for the state the entry's file is in, 0 for the others.");
    for (const Series& e : series) {
      for (size_t i = 0; i < std::size(kFileStates); ++i) {
        family.Sample(e.labels + "," + Label("state", kFileStates[i]),
                      static_cast<size_t>(e.file) == i ? 1 : 0);
      }
    }
  }
  Family(out, "scanlantern_mails_sent_total", "counter", "Notification mails the server accepted.")
      .Sample("", s.Mail.Sent);
  {
    Family family(out, "scanlantern_mails_failed_total", "counter",
                  "Failed sends of notification mails, by the step that failed.");
    for (const auto& [step, count] : s.Mail.FailedBySteps)
      family.Sample(Label("step", step), count);
  }
  Family(out, "scanlantern_mail_queue_length", "gauge", "Notification mails waiting to be sent.")
      .Sample("", s.Mail.Waiting);
  Family(out, "scanlantern_commands_started_total", "counter", "Commands started.")
      .Sample("", s.CommandsStarted);
  Family(out, "scanlantern_commands_failed_total", "counter", "Commands that could not be started.")
      .Sample("", s.CommandsFailed);
  Family(out, "scanlantern_commands_skipped_total", "counter",
         "Commands skipped because 16 of the entry's were running.")
      .Sample("", s.CommandsSkipped);
  Family(out, "scanlantern_event_log_write_failures_total", "counter",
         "Event-log entries that could not be written.")
      .Sample("", static_cast<uint64_t>(s.LogWriteFailures));
  {
    Family family(out, "scanlantern_http_requests_total", "counter",
                  "Requests of the web administration, by the class of their status.");
    for (size_t i = 0; i < s.HttpRequests.size(); ++i) {
      family.Sample(Label("class", std::to_string(i + 1) + "xx"), s.HttpRequests[i]);
    }
  }
  Family(out, "scanlantern_discovery_replies_total", "counter", "Discovery questions answered.")
      .Sample("", s.DiscoveryReplies);
  Family(out, "scanlantern_discovery_drops_total", "counter",
         "Discovery questions not answered (over the limit of their address, or not sent).")
      .Sample("", s.DiscoveryDrops);
  Family(out, "scanlantern_start_time_seconds", "gauge", "Start of the service, in Unix time.")
      .Sample("", static_cast<uint64_t>(s.StartTime));
  Family(out, "scanlantern_build_info", "gauge", "The service's version.")
      .Sample(Label("version", s.Version), 1);
  return out;
}

}  // namespace sl
