#include "web/status_page.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/event_log.h"
#include "core/jconvert.h"
#include "core/utf8_text.h"
#include "web/admin_text.h"
#include "web/admin_texts_ja.h"
#include "web/mail_failure_text.h"
#include "web/watch_form.h"

namespace sl {

namespace {

using FileState = WatchStatus::FileState;
using MailResult = WatchStatus::MailResult;
using CommandResult = WatchStatus::CommandResult;

// A state as scripts read it (in the JSON, and as the page's class) and as
// the page shows it (an EUC-JP label).
struct StateWord {
  const char* key;
  const char* label;
};

StateWord WordOf(FileState state) {
  switch (state) {
    case FileState::kReading: return {"reading", ja::kStatusReading};
    case FileState::kMissing: return {"missing", ja::kStatusMissing};
    case FileState::kRefused: return {"refused", ja::kStatusRefused};
    case FileState::kNotYetLooked: break;
  }
  return {"not_yet_looked", ja::kStatusNotLooked};
}

StateWord WordOf(MailResult result) {
  switch (result) {
    case MailResult::kQueued: return {"queued", ja::kStatusQueued};
    case MailResult::kSent: return {"sent", ja::kStatusSent};
    case MailResult::kFailed: return {"failed", ja::kStatusFailed};
    case MailResult::kNone: break;
  }
  return {"none", ja::kStatusNone};
}

StateWord WordOf(CommandResult result) {
  switch (result) {
    case CommandResult::kStarted: return {"started", ja::kStatusCommandStarted};
    case CommandResult::kSkipped: return {"skipped", ja::kStatusSkipped};
    case CommandResult::kFailed: return {"failed", ja::kStatusFailed};
    case CommandResult::kNone: break;
  }
  return {"none", ja::kStatusNone};
}

// An EUC-JP text on the Shift_JIS page.
std::string Show(const std::string& euc) { return HtmlEscape(EucToSjis(euc)); }

// A state's label, with its detail (if any) after a colon, as the page
// shows it. The watch pass and the mail queue keep a detail only with the
// states that have one.
std::string ShowResult(StateWord word, const std::string& detail) {
  std::string text =
      "<span class=\"" + std::string(word.key) + "\">" + Show(word.label) + "</span>";
  if (!detail.empty()) text += ": " + Show(detail);
  return text;
}

// The last trigger's time and how long ago it was.
std::string ShowFired(std::time_t when, std::time_t now) {
  if (when == 0) return Show(ja::kStatusNone);
  int64_t ago = now > when ? static_cast<int64_t>(now - when) : 0;
  std::string how;
  if (ago < 60) {
    how = std::to_string(ago) + Show(ja::kAgoSeconds);
  } else if (ago < 3600) {
    how = std::to_string(ago / 60) + Show(ja::kAgoMinutes);
  } else if (ago < 86400) {
    how = std::to_string(ago / 3600) + Show(ja::kAgoHours);
  } else {
    how = std::to_string(ago / 86400) + Show(ja::kAgoDays);
  }
  return "<span>" + FormatTimestamp(when) + "</span> <span class=\"ago\">(" + how + ")</span>";
}

// The search words, with the rules in short below them.
std::string ShowWords(const EntryStatusView& e) {
  std::string out = Show(e.SearchString);
  const std::string rules = RulesInShort(e.Rules);
  if (!rules.empty()) out += "<span class=\"rules\">" + Show(rules) + "</span>";
  return out;
}

std::string ShowUptime(int64_t seconds) {
  if (seconds < 0) seconds = 0;
  char clock[32];
  std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", static_cast<int>(seconds / 3600 % 24),
                static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
  return std::to_string(seconds / 86400) + Show(ja::kStatusDays) + " " + clock;
}

// A number of seconds, "-" when there is none.
std::string ShowSeconds(int64_t seconds) {
  return seconds < 0 ? std::string("-") : std::to_string(seconds) + Show(ja::kStatusSeconds);
}

std::string SummaryRow(const char* id, const char* euc_label, const std::string& value) {
  return "<tr id=\"" + std::string(id) + "\"><th>" + Show(euc_label) + "</th><td>" + value +
         "</td></tr>\n";
}

std::string Summary(const StatusSnapshot& s) {
  return SummaryRow("start", ja::kStatusStartTime, FormatTimestamp(s.StartTime)) +
         SummaryRow("uptime", ja::kStatusUptime, ShowUptime(s.UptimeSeconds)) +
         SummaryRow("queue", ja::kStatusMailQueue, std::to_string(s.Mail.Waiting)) +
         SummaryRow("oldest", ja::kStatusMailOldest, ShowSeconds(s.Mail.OldestAgeSeconds)) +
         SummaryRow("next", ja::kStatusMailNext, ShowSeconds(s.Mail.NextAttemptSeconds)) +
         SummaryRow("lasterror", ja::kStatusMailLastError,
                    s.Mail.LastErrorAt == 0 ? Show(ja::kStatusNone)
                                            : FormatTimestamp(s.Mail.LastErrorAt) + " " +
                                                  Show(ExplainMailDetail(s.Mail.LastError))) +
         SummaryRow("logfail", ja::kStatusLogFailures, std::to_string(s.LogWriteFailures));
}

std::string EntryRows(const StatusSnapshot& s) {
  if (s.Entries.empty()) {
    return "<tr><td colspan=\"10\">" + Show(ja::kStatusNoEntries) + "</td></tr>\n";
  }
  std::string out;
  int n = 0;
  for (const EntryStatusView& e : s.Entries) {
    out += "<tr>";
    out += "<td class=\"no\">" + std::to_string(++n) + "</td>";
    out += "<td class=\"file\">" + Show(e.FileName) + "</td>";
    out += "<td class=\"words\">" + ShowWords(e) + "</td>";
    std::string state = ShowResult(WordOf(e.Status.File), e.Status.FileReason);
    if (e.Status.QuietUntil > s.SteadyNow) {
      const auto left = std::chrono::ceil<std::chrono::seconds>(e.Status.QuietUntil - s.SteadyNow);
      state += "<span class=\"quiet\">" + Show(ja::kQuietLeft) + " " +
               std::to_string(left.count()) + Show(ja::kRuleSeconds) + "</span>";
    }
    out += "<td class=\"state\">" + state + "</td>";
    out += "<td class=\"read\">" + std::to_string(e.BytesRead) + "</td>";
    out += "<td class=\"size\">" +
           (e.FileSize < 0 ? std::string("-") : std::to_string(e.FileSize)) + "</td>";
    out += "<td class=\"hits\">" + std::to_string(e.HitCount) + " / " +
           std::to_string(e.SearchCount) + "</td>";
    out += "<td class=\"fired\">" + ShowFired(e.Status.LastFired, s.Now) + "</td>";
    out += "<td class=\"mail\">" +
           ShowResult(WordOf(e.Status.Mail), ExplainMailDetail(e.Status.MailDetail)) + "</td>";
    out += "<td class=\"command\">" + ShowResult(WordOf(e.Status.Command), e.Status.CommandDetail) +
           "</td>";
    out += "</tr>\n";
  }
  return out;
}

nlohmann::json OrNull(std::time_t when) {
  return when == 0 ? nlohmann::json(nullptr) : nlohmann::json(FormatTimestamp(when));
}

nlohmann::json OrNone(int64_t seconds) {
  return seconds < 0 ? nlohmann::json(nullptr) : nlohmann::json(seconds);
}

}  // namespace

StatusSnapshot TakeStatusSnapshotLocked(const ServiceState& state) {
  StatusSnapshot s;
  s.StartTime = state.StartTime;
  s.UptimeSeconds = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::steady_clock::now() - state.StartedAt)
                        .count();
  s.SteadyNow = std::chrono::steady_clock::now();
  s.Entries.reserve(state.Watches.size());
  for (const auto& entry : state.Watches) {
    EntryStatusView e;
    e.FileName = entry->FileName;
    e.SearchString = entry->SearchString;
    e.SearchCount = entry->SearchCount;
    e.HitCount = entry->HitCount;
    e.BytesRead = entry->LastSize;
    e.Rules = entry->Rules;
    e.Status = entry->Status;
    s.Entries.push_back(std::move(e));
  }
  return s;
}

void MeasureStatusFiles(StatusSnapshot& snapshot) {
  for (EntryStatusView& e : snapshot.Entries) {
    struct stat st;
    e.FileSize = !e.FileName.empty() && ::stat(e.FileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)
                     ? static_cast<int64_t>(st.st_size)
                     : -1;
  }
}

std::string StatusPageTag(const StatusSnapshot& snapshot, const std::string& tag) {
  if (tag == "StatusSummary") return Summary(snapshot);
  if (tag == "StatusEntries") return EntryRows(snapshot);
  return std::string();
}

std::string StatusJson(const StatusSnapshot& s) {
  Utf8Converter utf8;
  auto EucToUtf8 = [&utf8](const std::string& euc) { return utf8.EucToValidUtf8(euc); };
  nlohmann::json entries = nlohmann::json::array();
  for (const EntryStatusView& e : s.Entries) {
    const WatchStatus& st = e.Status;
    entries.push_back({
        {"file", EucToUtf8(e.FileName)},
        {"search_string", EucToUtf8(e.SearchString)},
        {"state", WordOf(st.File).key},
        {"reason", EucToUtf8(st.FileReason)},
        {"bytes_read", e.BytesRead},
        {"file_size", e.FileSize < 0 ? nlohmann::json(nullptr) : nlohmann::json(e.FileSize)},
        {"hit_count", e.HitCount},
        {"search_count", e.SearchCount},
        {"last_fired", OrNull(st.LastFired)},
        {"mail", {{"result", WordOf(st.Mail).key}, {"detail", EucToUtf8(st.MailDetail)}}},
        {"command", {{"result", WordOf(st.Command).key}, {"detail", EucToUtf8(st.CommandDetail)}}},
    });
  }
  nlohmann::json doc = {
      {"start_time", FormatTimestamp(s.StartTime)},
      {"uptime_seconds", s.UptimeSeconds},
      {"mail_queue_length", s.Mail.Waiting},
      {"mail_oldest_age_seconds", OrNone(s.Mail.OldestAgeSeconds)},
      {"mail_next_attempt_seconds", OrNone(s.Mail.NextAttemptSeconds)},
      {"mail_last_error", s.Mail.LastErrorAt == 0 ? nlohmann::json(nullptr)
                                                  : nlohmann::json(EucToUtf8(s.Mail.LastError))},
      {"mail_last_error_time", OrNull(s.Mail.LastErrorAt)},
      {"event_log_write_failures", s.LogWriteFailures},
      {"entries", std::move(entries)},
  };
  // The texts are valid UTF-8 already; replacing is the last guard.
  return doc.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace sl
