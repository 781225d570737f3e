#include "watch/watch_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include "core/event_log.h"
#include "core/jconvert.h"
#include "core/text.h"
#include "mail/smtp_settings.h"
#include "settings/settings_files.h"
#include "watch/line_match.h"
#include "watch/texts_ja.h"

namespace sl {

namespace {

constexpr char kNotifyHookFailure[] = "Notification could not be queued.";

// "監視ファイル\t<file>\n監視ワード\t<words>\n監視内容\n<line>"
std::string DescribeMatch(const std::string& file, const std::string& words,
                          std::string_view line) {
  std::string s;
  s.reserve(64 + file.size() + words.size() + line.size());
  s += ja::kWatchFileLabel;
  s += '\t';
  s += file;
  s += '\n';
  s += ja::kWatchWordLabel;
  s += '\t';
  s += words;
  s += '\n';
  s += ja::kWatchLineLabel;
  s += '\n';
  s += line;
  return s;
}

// Whether text holds a line end.
bool HasLineEnd(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A range of bytes to examine on a descriptor of our own: the entry's
// stream may be closed by a reload meanwhile. False when the descriptor
// could not be had (the bytes wait for the next pass).
template <typename Ranges>
bool AddRange(Ranges& ranges, int fd, int64_t begin, int64_t end, bool pipe = false) {
  if (end <= begin && !pipe) return true;
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  ranges.push_back({UniqueFd(copy), begin, end, pipe});
  return true;
}

// A FIFO to drain: what it holds, whatever its size says.
template <typename Ranges>
void AddPipe(Ranges& ranges, int fd) {
  AddRange(ranges, fd, 0, 0, true);
}

std::string ParentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

EntryRecord::~EntryRecord() {
  if (path_watch) path_watch->Remove(this);
}

LookPlan PlanLook(const EntryRecord& record, const LookFacts& facts) {
  if (!facts.exists) return {LookKind::kMissing};
  int64_t size = facts.path.st_size;
  if (facts.stream_open && facts.path.st_dev == facts.stream_dev &&
      facts.path.st_ino == facts.stream_ino) {
    if (S_ISFIFO(facts.path.st_mode)) return {LookKind::kPipe};
    if (size < facts.last_size) return {LookKind::kTruncated, 0, size};
    if (facts.head_changed) return {LookKind::kRewritten, 0, size};
    return {LookKind::kGrown, facts.last_size, size};
  }
  if (record.path != facts.file_name) return {LookKind::kRenamed};
  if (record.refused && facts.path.st_dev == record.refused_dev &&
      facts.path.st_ino == record.refused_ino &&
      (facts.path.st_mode & S_IFMT) == record.refused_type) {
    return {LookKind::kStillRefused};
  }
  if (S_ISDIR(facts.path.st_mode)) return {LookKind::kDirectory};
  return {LookKind::kReplaced, facts.last_size};
}

WatchScanner::WatchScanner(ServiceState& state, NotifyHook notify,
                           CommandRunner::StartFunction run_command, Clock clock)
    : state_(state),
      notify_(std::move(notify)),
      clock_(clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now)),
      commands_(
          state.BasePath, [this](int32_t code, const std::string& detail) { Log(code, detail); },
          std::move(run_command)) {}

void WatchScanner::TimWatchTimer(TThreadedTimer& sender) {
  sender.SetEnabled(false);
  try {
    bool active;
    {
      MutexLock lock(state_.Lock);
      active = state_.WatchingActive;
    }
    if (active) RunPass();
  } catch (const std::exception& e) {
    // Whatever broke this pass, the next one must still come.
    Log(kEventSystemError, std::string("TimWatchTimer.\n") + e.what());
  }
  sender.SetEnabled(true);
}

void WatchScanner::RunPass() {
  WatchTable entries;
  {
    MutexLock lock(state_.Lock);
    entries = state_.Watches;
  }
  KeepRecordsOf(entries);
  commands_.Reap();
  ++pass_number_;
  check_all_ = !path_watch_.Poll(
      [](const void* key) { static_cast<const EntryRecord*>(key)->dirty = true; });
  for (size_t i = 0; i < entries.size(); ++i) {
    ScanEntry(i, entries[i], records_.find(entries[i])->second);
  }
}

void WatchScanner::KeepRecordsOf(const WatchTable& entries) {
  RecordMap kept;
  for (const std::shared_ptr<TWatchFile>& entry : entries) {
    std::weak_ptr<TWatchFile> key = entry;
    if (auto node = records_.extract(key)) {
      kept.insert(std::move(node));
    } else if (auto [it, made] = kept.try_emplace(key); made) {
      it->second.id = ++next_id_;
      it->second.slot = next_slot_++ % kSweepPasses;
    }
  }
  // The records of entries that left the table go here, and with them their
  // bindings in the path watch.
  records_.swap(kept);
}

bool WatchScanner::StillListed(size_t index, const std::shared_ptr<TWatchFile>& entry) const {
  if (index < state_.Watches.size() && state_.Watches[index] == entry) return true;
  return std::find(state_.Watches.begin(), state_.Watches.end(), entry) != state_.Watches.end();
}

void WatchScanner::ScanEntry(size_t index, const std::shared_ptr<TWatchFile>& entry,
                             EntryRecord& record) {
  Look look;
  {
    MutexLock lock(state_.Lock);
    // Removed from the table (or the table reloaded) since the pass began.
    if (!StillListed(index, entry)) return;
    if (!LookAt(*entry, record, look)) return;  // nothing reported for this file
  }
  const EntrySettings& settings = look.settings;
  if (look.missing) {
    Log(kEventSystemError, std::string(ja::kWatchFileMissing) + "\r\n" + ja::kSettingFileLabel +
                               "\t" + settings.FileName);
  }
  if (!look.refusal.empty()) {
    Log(kEventSystemError, look.refusal + "\n" + ja::kSettingFileLabel + "\t" + settings.FileName);
  }
  if (!look.ranges.empty() || !record.rest.empty()) ScanText(look, entry, record);
  int skipped = commands_.TakeSkipped(record.id);
  {
    MutexLock lock(state_.Lock);
    entry->Counters.BytesRead += std::exchange(read_bytes_, 0);
    entry->Counters.LinesScanned += std::exchange(read_lines_, 0);
    state_.CommandsSkipped += static_cast<uint64_t>(std::max(skipped, 0));
  }
  if (skipped > 0) {
    Log(kEventSystemError, std::string(ja::kCommandsSkipped) + "\n" + ja::kSkippedLabel + "\t" +
                               std::to_string(skipped) + "\n" + ja::kWatchFileLabel + "\t" +
                               settings.FileName + "\n" + ja::kCommandLabel + "\t" +
                               settings.Command);
  }
}

bool WatchScanner::LookAt(TWatchFile& w, EntryRecord& record, Look& look) {
  if (record.fresh) record.path = w.FileName;
  bool sweep = pass_number_ % kSweepPasses == record.slot;
  bool path_changed = record.path != w.FileName;
  bool watched = path_watch_.Watching(&record);
  if (!(record.fresh || record.dirty || record.recheck || path_changed || sweep || check_all_ ||
        !watched)) {
    return false;
  }
  bool rebind = record.fresh || path_changed || sweep || (!watched && !record.unwatchable);
  look.settings.FileName = w.FileName;
  LookFacts facts;
  facts.file_name = w.FileName;
  struct stat lst;
  bool have_lst = ::lstat(w.FileName.c_str(), &lst) == 0;
  facts.exists = have_lst;
  if (have_lst && S_ISLNK(lst.st_mode)) {
    facts.exists = ::stat(w.FileName.c_str(), &facts.path) == 0;
  } else {
    facts.path = lst;
  }
  if (rebind) {
    record.unwatchable = !path_watch_.Add(&record, w.FileName, have_lst ? &lst : nullptr);
    record.path_watch = &path_watch_;
  }
  if (record.fresh || path_changed) {
    BindRecord(w, record, path_changed, have_lst && S_ISLNK(lst.st_mode));
  }
  record.fresh = record.dirty = record.recheck = false;
  facts.stream_open = w.Stream.IsOpen();
  facts.stream_dev = w.Stream.device();
  facts.stream_ino = w.Stream.inode();
  facts.last_size = w.LastSize;
  facts.head_changed = facts.stream_open && S_ISREG(facts.path.st_mode) &&
                       facts.path.st_dev == facts.stream_dev &&
                       facts.path.st_ino == facts.stream_ino && HeadChanged(w, record);
  Follow(PlanLook(record, facts), w, record, look);
  return true;
}

void WatchScanner::BindRecord(const TWatchFile& w, EntryRecord& record, bool path_changed,
                              bool path_is_link) {
  // Bound to this path now: a link that the path was when the settings
  // named it is followed.
  record.bound_link = w.Stream.IsOpen() && !path_changed ? w.Stream.ViaLink() : path_is_link;
  record.has_owner = w.Stream.IsOpen();
  record.owner = w.Stream.IsOpen() ? w.Stream.Found().st_uid : 0;
  record.refused = false;
}

void WatchScanner::Follow(const LookPlan& plan, TWatchFile& w, EntryRecord& record, Look& look) {
  using FileState = WatchStatus::FileState;
  look.settings.SearchString = w.SearchString;
  look.settings.SearchCount = w.SearchCount;
  look.settings.MailAddress = w.MailAddress;
  look.settings.Command = w.Command;
  look.settings.Rules = w.Rules;
  switch (plan.kind) {
    case LookKind::kMissing:
      look.missing = true;
      record.recheck = true;
      w.Status.File = FileState::kMissing;
      w.Status.FileReason.clear();
      return;
    case LookKind::kDirectory:
      // Like any other replacement that is not a file: the old file's rest,
      // then the directory refused (logged once).
      TakeReplacement({plan.kind, w.LastSize}, w, record, look);
      break;
    case LookKind::kGrown:
    case LookKind::kTruncated:
    case LookKind::kRewritten: ReadOpenFile(plan, w, record, look); break;
    case LookKind::kPipe:
      record.path = w.FileName;
      AddPipe(look.ranges, w.Stream.fd());
      break;
    case LookKind::kRenamed:
      // FileName changed in the table: follow the new file from now on
      // (trusted: the settings name it).
      Reopen(w, record, look, true);
      record.has_owner = w.Stream.IsOpen();
      if (w.Stream.IsOpen()) record.owner = w.Stream.Found().st_uid;
      break;
    case LookKind::kStillRefused:
      record.recheck = true;  // nothing to read
      break;
    case LookKind::kReplaced: TakeReplacement(plan, w, record, look); break;
  }
  // A FIFO is drained on every pass: its writer must not wait for news of
  // the directory.
  if (w.Stream.IsOpen() && S_ISFIFO(w.Stream.Found().st_mode)) record.recheck = true;
  if (w.Stream.IsOpen()) {
    w.Status.File = FileState::kReading;
    w.Status.FileReason.clear();
  } else if (!look.open_error.empty()) {
    w.Status.File = FileState::kRefused;
    w.Status.FileReason = look.open_error;
  }
}

void WatchScanner::ReadOpenFile(const LookPlan& plan, TWatchFile& w, EntryRecord& record,
                                Look& look) {
  record.path = w.FileName;
  if (plan.kind != LookKind::kGrown) look.new_text_at = look.ranges.size();
  w.CurrentSize = plan.to;
  // Without a descriptor of our own the bytes wait for the next pass.
  if (AddRange(look.ranges, w.Stream.fd(), plan.from, plan.to)) {
    w.LastSize = w.CurrentSize;
  } else {
    w.LastSize = plan.from;
    record.recheck = true;
  }
}

void WatchScanner::TakeReplacement(const LookPlan& plan, TWatchFile& w, EntryRecord& record,
                                   Look& look) {
  if (w.Stream.IsOpen()) {
    // Replaced at its path: first what the old file got since the last pass.
    struct stat old;
    if (::fstat(w.Stream.fd(), &old) == 0) {
      AddRange(look.ranges, w.Stream.fd(), plan.from, old.st_size);
      record.has_owner = true;
      record.owner = old.st_uid;
    }
  }
  // New at this path: examined from its start, if it may be read.
  int64_t size = Reopen(w, record, look, record.bound_link);
  w.LastSize = 0;
  if (size >= 0) {
    std::string why = Distrust(record, w.FileName, w.Stream.ViaLink(), w.Stream.Found());
    if (why.empty()) {
      record.has_owner = true;
      record.owner = w.Stream.Found().st_uid;
    } else {
      Refuse(w, record, look, w.Stream.Found(),
             std::string(ja::kReplacementRefused) + "\n" + ja::kReasonLabel + "\t" + why);
      size = -1;
    }
  } else if (!w.Stream.IsOpen() && look.refusal.empty()) {
    record.recheck = true;  // could not be opened: try again
  }
  w.CurrentSize = size < 0 ? 0 : size;
  if (size >= 0 && S_ISFIFO(w.Stream.Found().st_mode)) {
    AddPipe(look.ranges, w.Stream.fd());
  } else if (size >= 0 && AddRange(look.ranges, w.Stream.fd(), 0, w.CurrentSize)) {
    w.LastSize = w.CurrentSize;
  } else if (size >= 0) {
    record.recheck = true;
  }
}

// Opens the file at the path as the entry's stream; its size, or -1 when
// there is nothing to read. A link is followed only when the settings named
// one (follow_links): a replacement that is a link where there was none is
// looked at as the link itself, on the very descriptor that would have been
// read.
int64_t WatchScanner::Reopen(TWatchFile& w, EntryRecord& record, Look& look, bool follow_links) {
  record.path = w.FileName;
  record.head.clear();
  look.new_text_at = look.ranges.size();  // the old file's last line ends here
  EntryBinding bound = BindEntry(w, follow_links);
  if (bound.state == EntryBinding::State::kRefused) look.open_error = bound.reason;
  if (bound.state == EntryBinding::State::kNotAFile && S_ISLNK(w.Stream.Found().st_mode)) {
    Refuse(w, record, look, w.Stream.Found(),
           std::string(ja::kReplacementRefused) + "\n" + ja::kReasonLabel + "\tsymbolic link");
    return -1;
  }
  if (bound.state == EntryBinding::State::kNotAFile) {
    Refuse(w, record, look, w.Stream.Found(), std::string(ja::kNotAFile));
    return -1;
  }
  if (bound.state != EntryBinding::State::kRead) return -1;
  record.refused = false;
  return bound.size;
}

// Refuses the file now at the path: one log entry per file. `found` is a
// copy: closing the stream clears the stream's.
void WatchScanner::Refuse(TWatchFile& w, EntryRecord& record, Look& look, struct stat found,
                          std::string reason) {
  w.Stream.Close();
  record.recheck = true;
  w.Status.File = WatchStatus::FileState::kRefused;
  w.Status.FileReason = reason;
  if (record.refused && record.refused_dev == found.st_dev && record.refused_ino == found.st_ino &&
      record.refused_type == (found.st_mode & S_IFMT)) {
    return;
  }
  record.refused = true;
  record.refused_dev = found.st_dev;
  record.refused_ino = found.st_ino;
  record.refused_type = found.st_mode & S_IFMT;
  look.refusal = std::move(reason);
}

std::string WatchScanner::Distrust(const EntryRecord& record, const std::string& path,
                                   bool via_link, const struct stat& found) const {
  if (via_link && !record.bound_link) {
    return "symbolic link";
  }
  uid_t expected;
  if (record.has_owner) {
    expected = record.owner;
  } else {
    struct stat dir;
    if (::stat(ParentDirectory(path).c_str(), &dir) != 0) return "directory not found";
    expected = dir.st_uid;
  }
  // A hard link made by whoever may write the directory reaches a file
  // of anyone (where the kernel allows it), root's included: like a
  // symbolic link, it is refused unless the file is the expected owner's.
  if (found.st_nlink > 1 && found.st_uid != expected) {
    return "hard link to a file of uid " + std::to_string(found.st_uid);
  }
  if (found.st_uid == 0 || found.st_uid == expected) return std::string();
  return "owner uid " + std::to_string(found.st_uid) +
         (expected == 0 ? ", not root" : ", neither root nor uid " + std::to_string(expected));
}

bool WatchScanner::HeadChanged(const TWatchFile& w, EntryRecord& record) {
  char head[kHeadBytes];
  ssize_t n;
  do {
    n = ::pread(w.Stream.fd(), head, sizeof head, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;  // judged again at the next look
  std::string_view now(head, static_cast<size_t>(n));
  bool changed = now.substr(0, record.head.size()) != record.head;
  record.head.assign(now);
  return changed;
}

void WatchScanner::ScanText(const Look& look, const std::shared_ptr<TWatchFile>& entry,
                            EntryRecord& record) {
  const EntrySettings& settings = look.settings;
  const WatchRules& rules = settings.Rules;
  // The line test of the entry: its words, or its expression behind a
  // quick filter of the text every match holds.
  const bool sjis = rules.LogEncoding == WatchRules::Encoding::kShiftJis;
  RegexMatcher* expression = nullptr;
  std::vector<std::string> filter;
  if (rules.MatchMode == WatchRules::Mode::kRegex) {
    expression = &ExpressionOf(settings, record);
    std::string required = RegexMatcher::RequiredText(settings.SearchString);
    if (!required.empty()) filter.push_back(std::move(required));
  } else {
    filter = SplitSearchWords(settings.SearchString);
  }
  WordMatcher words(std::move(filter), &utf8_, rules.IgnoreCase, sjis);
  WordMatcher excluded(SplitSearchWords(rules.ExcludeString), &utf8_, rules.IgnoreCase, sjis);
  LineScanner scanner(
      words, [&](std::string_view line) { OnMatch(entry, settings, record, line); },
      excluded.size() > 0 ? &excluded : nullptr, expression);
  // The line that waited leads the text, until a line end or a new text.
  bool waiting = !record.rest.empty();
  scanner.Feed(record.rest);
  record.rest.clear();
  for (size_t i = 0; i <= look.ranges.size(); ++i) {
    if (i == look.new_text_at) {
      scanner.Finish();
      waiting = false;
    }
    if (i == look.ranges.size()) break;
    const Range& range = look.ranges[i];
    if (words.MatchesNothing() && !range.pipe) continue;  // a pipe is drained all the same
    ReadRange(range, [&](std::string_view piece) {
      if (waiting && HasLineEnd(piece)) waiting = false;
      scanner.Feed(piece);
    });
  }
  // The last line waits for its line end, if it may wait any longer.
  int passes = waiting ? record.rest_passes + 1 : 1;
  if (passes <= kHeldPasses && scanner.TakeUnfinished(kHeldLineBytes, &record.rest)) {
    record.rest_passes = passes;
    record.recheck = true;  // looked at next pass even without news
  } else {
    scanner.Finish();
    record.rest_passes = 0;
  }
  // Lines given up at the expression's retry limits: logged once a minute.
  uint64_t given_up = expression ? expression->TakeLimitHits() : 0;
  const auto now = clock_();
  if (given_up > 0 && (!record.limit_logged || now - record.limit_logged_at >= kLimitLogInterval)) {
    record.limit_logged = true;
    record.limit_logged_at = now;
    Log(kEventInformation, std::string(ja::kRegexLimitHit) + "\n" + ja::kWatchFileLabel + "\t" +
                               settings.FileName + "\n" + ja::kRegexLabel + "\t" +
                               settings.SearchString + "\n" + ja::kLimitHitsLabel + "\t" +
                               std::to_string(given_up));
  }
}

RegexMatcher& WatchScanner::ExpressionOf(const EntrySettings& settings, EntryRecord& record) {
  const WatchRules& rules = settings.Rules;
  std::string key = settings.SearchString;
  key += '\0';
  key += rules.IgnoreCase ? '1' : '0';
  key += rules.LogEncoding == WatchRules::Encoding::kShiftJis ? 's' : 'a';
  if (!record.regex || record.regex_key != key) {
    record.regex = std::make_unique<RegexMatcher>(settings.SearchString, rules.IgnoreCase,
                                                  RegexEncodingOf(rules));
    record.regex_key = std::move(key);
  }
  return *record.regex;
}

// A pipe gives what it holds now, up to kPipeBytesPerPass; a pipe without a
// writer reads as empty, and the descriptor stays open for the next writer.
void WatchScanner::ReadRange(const Range& range,
                             const std::function<void(std::string_view)>& feed) {
  if (!buffer_) buffer_ = std::make_unique<char[]>(kReadChunk);
  int64_t offset = range.begin;
  size_t taken = 0;
  while (range.pipe ? taken < kPipeBytesPerPass : offset < range.end) {
    size_t want = range.pipe
                      ? std::min(kReadChunk, kPipeBytesPerPass - taken)
                      : static_cast<size_t>(std::min<int64_t>(range.end - offset, kReadChunk));
    ssize_t n = range.pipe
                    ? ::read(range.fd.get(), buffer_.get(), want)
                    : ::pread(range.fd.get(), buffer_.get(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // read error, the file shrank meanwhile, or the pipe is empty
    feed(std::string_view(buffer_.get(), static_cast<size_t>(n)));
    read_bytes_ += static_cast<uint64_t>(n);
    read_lines_ += static_cast<uint64_t>(std::count(buffer_.get(), buffer_.get() + n, '\n'));
    offset += n;
    taken += static_cast<size_t>(n);
  }
}

void WatchScanner::OnMatch(const std::shared_ptr<TWatchFile>& entry, const EntrySettings& settings,
                           EntryRecord& record, std::string_view raw_line) {
  // A UTF-8 or Shift_JIS line is logged, counted and mailed in the
  // service's EUC-JP; a Shift_JIS line goes to the command so too.
  std::string converted;
  std::string_view line = raw_line;
  const bool sjis = settings.Rules.LogEncoding == WatchRules::Encoding::kShiftJis;
  if (sjis) {
    converted = SjisToEuc(raw_line);
    line = converted;
  } else if (IsMultibyteUtf8(raw_line)) {
    converted = utf8_.Utf8ToEuc(raw_line);
    line = converted;
  }
  Hit hit = CountHit(*entry, settings, record, line);
  std::string description =
      DescribeMatch(settings.FileName, settings.SearchString, EscapeForLog(line));
  Log(kEventInformation, std::string(ja::kWatchHit) + "(" + std::to_string(hit.hits) + "/" +
                             std::to_string(settings.SearchCount) + ")\n" + description);
  if (hit.quiet_start) {
    Log(kEventInformation, std::string(ja::kQuietPeriodStarted) + "\n" + ja::kWatchFileLabel +
                               "\t" + settings.FileName + "\n" + ja::kQuietLabel + "\t" +
                               std::to_string(settings.Rules.Quiet));
  }
  if (!hit.triggered || hit.held_back) return;
  if (hit.send_mail) Notify(entry, settings, hit, line, description);
  if (!settings.Command.empty()) {
    StartCommand(*entry, settings, record, description, hit.hits, sjis ? line : raw_line);
  }
}

WatchScanner::Hit WatchScanner::CountHit(TWatchFile& entry, const EntrySettings& settings,
                                         EntryRecord& record, std::string_view line) {
  Hit hit;
  const WatchRules& rules = settings.Rules;
  const auto now = clock_();
  MutexLock lock(state_.Lock);
  ++entry.Counters.MatchingLines;
  if (entry.HitCount == 0) record.matched_lines.clear();  // a count begun anew
  hit.hits = CountInWindow(entry, rules.Window, record, now);
  if (record.matched_lines.size() < kMatchedLines) {
    record.matched_lines.push_back(FormatTimestamp(std::time(nullptr)) + "\t" +
                                   EscapeForLog(line, kMatchedLineBytes));
  }
  hit.triggered = hit.hits >= settings.SearchCount;
  if (!hit.triggered) return hit;
  ++entry.Counters.Triggers;
  entry.HitCount = 0;
  record.window.clear();
  record.window_hits = 0;
  std::deque<std::string> matched;
  matched.swap(record.matched_lines);
  if (rules.Quiet > 0 && record.acted &&
      now - record.acted_at < std::chrono::seconds(rules.Quiet)) {
    // Within the quiet period of the last trigger that acted.
    hit.held_back = true;
    ++entry.Counters.HeldBack;
    if (record.held_back < INT32_MAX) ++record.held_back;
    hit.quiet_start = !record.quiet_logged;
    record.quiet_logged = true;
    return hit;
  }
  record.acted = true;
  record.acted_at = now;
  record.quiet_logged = false;
  if (rules.Quiet > 0) entry.Status.QuietUntil = now + std::chrono::seconds(rules.Quiet);
  entry.Status.LastFired = std::time(nullptr);
  SmtpSettings smtp = SmtpSettingsOf(state_.EnvTable);
  hit.send_mail = notify_ && !settings.MailAddress.empty() && !smtp.Server.empty();
  if (hit.send_mail) {
    entry.Status.Mail = WatchStatus::MailResult::kQueued;
    entry.Status.MailDetail.clear();
    hit.request.Smtp = std::move(smtp);
    hit.request.MailSubject = state_.EnvTable.GetValue("MailSubject");
    hit.request.MailBody = state_.EnvTable.GetValue("MailBody");
    hit.request.HostAddress = state_.HostAddress;
    // The triggers held back since the last mail go with this one.
    hit.request.Suppressed = record.held_back;
    record.held_back = 0;
    for (const std::string& stamped_line : matched) {
      if (!hit.request.MatchedLines.empty()) hit.request.MatchedLines += '\n';
      hit.request.MatchedLines += stamped_line;
    }
  }
  return hit;
}

int32_t WatchScanner::CountInWindow(TWatchFile& entry, int32_t window, EntryRecord& record,
                                    std::chrono::steady_clock::time_point now) {
  if (window <= 0) {
    record.window.clear();
    record.window_hits = 0;
    return ++entry.HitCount;
  }
  // A count the window does not know (restarted by a reload, or counted
  // before the window was set) starts its second now.
  if (entry.HitCount != record.window_hits) {
    record.window.clear();
    record.window_hits = entry.HitCount;
    if (entry.HitCount > 0) record.window.emplace_back(now, entry.HitCount);
  }
  const auto span = std::chrono::seconds(window);
  while (!record.window.empty() && now - record.window.front().first >= span) {
    record.window_hits -= record.window.front().second;
    // Its lines leave the count too (the oldest kept are theirs).
    size_t gone =
        std::min(record.matched_lines.size(), static_cast<size_t>(record.window.front().second));
    record.matched_lines.erase(record.matched_lines.begin(),
                               record.matched_lines.begin() + static_cast<ptrdiff_t>(gone));
    record.window.pop_front();
  }
  if (!record.window.empty() && now - record.window.back().first < std::chrono::seconds(1)) {
    ++record.window.back().second;
  } else {
    record.window.emplace_back(now, 1);
  }
  entry.HitCount = ++record.window_hits;
  return entry.HitCount;
}

void WatchScanner::Notify(const std::shared_ptr<TWatchFile>& entry, const EntrySettings& settings,
                          Hit& hit, std::string_view line, const std::string& description) {
  NotifyRequest& request = hit.request;
  request.FileName = settings.FileName;
  request.SearchString = settings.SearchString;
  request.HitCount = hit.hits;
  request.MailAddress = settings.MailAddress;
  request.ResultLine.assign(line);
  // The entry's status shows how its mail ended (also when it was dropped).
  auto done = [state = &state_,
               weak = std::weak_ptr<TWatchFile>(entry)](const MailOutcome& outcome) {
    std::shared_ptr<TWatchFile> watched = weak.lock();
    if (!watched) return;
    MutexLock lock(state->Lock);
    // A mail tried again later still waits; its detail says why.
    watched->Status.Mail = outcome.Accepted   ? WatchStatus::MailResult::kSent
                           : outcome.Retrying ? WatchStatus::MailResult::kQueued
                                              : WatchStatus::MailResult::kFailed;
    watched->Status.MailDetail = DescribeMailFailure(outcome);
  };
  try {
    notify_(std::move(request), description, std::move(done));
  } catch (const std::exception& e) {
    Log(kEventSystemError, std::string(kNotifyHookFailure) + "\n" + e.what());
  }
}

void WatchScanner::StartCommand(TWatchFile& entry, const EntrySettings& settings,
                                const EntryRecord& record, const std::string& description,
                                int32_t hits, std::string_view raw_line) {
  CommandContext context;
  context.Command = settings.Command;
  context.FileName = settings.FileName;
  context.SearchString = settings.SearchString;
  context.HitCount = hits;
  context.Line.assign(raw_line.substr(0, CommandRunner::kLineMax));
  CommandRunner::Result result = commands_.Run(record.id, context, description);
  MutexLock lock(state_.Lock);
  if (result.result == WatchStatus::CommandResult::kStarted) ++state_.CommandsStarted;
  if (result.result == WatchStatus::CommandResult::kFailed) ++state_.CommandsFailed;
  entry.Status.Command = result.result;
  entry.Status.CommandDetail = std::move(result.detail);
}

// A log entry that cannot be written (log directory missing or full) must not
// stop the pass half way: sizes and counters would no longer match what was
// examined and acted on. The entry is dropped, counted, and the first failure
// of a series is reported on standard output.
void WatchScanner::Log(int32_t code, const std::string& detail) {
  try {
    state_.Log.LogEvent(code, detail);
    log_failing_ = false;
  } catch (const EventLogError& e) {
    ++log_failures_;
    if (!log_failing_) {
      std::fprintf(stdout, "%s\n", e.what());
      std::fflush(stdout);
      log_failing_ = true;
    }
  }
}

}  // namespace sl
