#include "watch/watch_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "service/text.h"
#include "watch/line_match.h"
#include "watch/texts_ja.h"

namespace sl {

namespace {

// A descriptor of our own for reading outside the lock: the entry's stream
// may be closed by a reload meanwhile.
class OwnedFd {
 public:
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int DupFd(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

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

}  // namespace

WatchScanner::WatchScanner(ServiceState& state, NotifyHook notify, CommandHook run_command)
    : state_(state), notify_(std::move(notify)), run_command_(std::move(run_command)) {
  if (!run_command_) {
    run_command_ = [this](const std::string& command) { RunCommand(command); };
  }
}

void WatchScanner::TimWatchTimer(TThreadedTimer& sender) {
  sender.SetEnabled(false);
  try {
    bool active;
    {
      std::lock_guard<std::mutex> lock(state_.Lock);
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
    std::lock_guard<std::mutex> lock(state_.Lock);
    entries = state_.Watches;
  }
  PruneTracked();
  ++pass_number_;
  check_all_ = !path_watch_.Poll([this](const void* key) {
    auto it = tracked_.find(static_cast<const TWatchFile*>(key));
    if (it != tracked_.end()) it->second.dirty = true;
  });
  for (size_t i = 0; i < entries.size(); ++i) ScanEntry(i, entries[i]);
}

bool WatchScanner::StillListed(size_t index, const std::shared_ptr<TWatchFile>& entry) const {
  const WatchTable& table = state_.Watches;
  if (index < table.size() && table[index] == entry) return true;
  return std::find(table.begin(), table.end(), entry) != table.end();
}

void WatchScanner::PruneTracked() {
  for (auto it = tracked_.begin(); it != tracked_.end();) {
    if (it->second.entry.expired()) {
      path_watch_.Remove(it->first);
      it = tracked_.erase(it);
    } else {
      ++it;
    }
  }
}

void WatchScanner::ScanEntry(size_t index, const std::shared_ptr<TWatchFile>& entry) {
  struct Range {
    OwnedFd fd;
    int64_t begin;
    int64_t end;
  };
  std::vector<Range> ranges;
  EntrySettings settings;
  bool missing = false;
  {
    std::lock_guard<std::mutex> lock(state_.Lock);
    // Removed from the table (or the table reloaded) since the pass began.
    if (!StillListed(index, entry)) return;
    TWatchFile& w = *entry;
    auto [slot, inserted] = tracked_.try_emplace(entry.get());
    Tracked& tracked = slot->second;
    if (inserted || tracked.entry.lock() != entry) {
      tracked = Tracked{};
      tracked.entry = entry;
      tracked.path = w.FileName;
      tracked.slot = next_slot_++ % kSweepPasses;
    }
    bool sweep = pass_number_ % kSweepPasses == tracked.slot;
    bool path_changed = tracked.path != w.FileName;
    bool watched = path_watch_.Watching(entry.get());
    if (!(tracked.fresh || tracked.dirty || tracked.recheck || path_changed || sweep ||
          check_all_ || !watched)) {
      return;  // nothing reported for this file
    }
    bool rebind = tracked.fresh || path_changed || sweep || (!watched && !tracked.unwatchable);
    tracked.fresh = tracked.dirty = tracked.recheck = false;
    settings.FileName = w.FileName;
    struct stat lst;
    struct stat st;
    bool have_lst = ::lstat(w.FileName.c_str(), &lst) == 0;
    bool exists = have_lst;
    if (have_lst && S_ISLNK(lst.st_mode)) {
      exists = ::stat(w.FileName.c_str(), &st) == 0;
    } else {
      st = lst;
    }
    if (rebind) {
      tracked.unwatchable = !path_watch_.Add(entry.get(), w.FileName, have_lst ? &lst : nullptr);
    }
    if (!exists || S_ISDIR(st.st_mode)) {
      missing = true;
      tracked.recheck = true;
    } else {
      // A range of bytes to examine, on a descriptor of our own.
      auto add_range = [&](int fd, int64_t begin, int64_t end) {
        if (end <= begin) return true;
        int copy = DupFd(fd);
        if (copy < 0) return false;
        ranges.push_back(Range{OwnedFd(copy), begin, end});
        return true;
      };
      // Opens the file at the path as the entry's stream; its size or -1.
      auto reopen = [&]() -> int64_t {
        tracked.path = w.FileName;
        if (!S_ISREG(st.st_mode) || !w.Stream.Open(w.FileName)) {
          w.Stream.Close();
          return -1;
        }
        struct stat now;
        return ::fstat(w.Stream.fd(), &now) == 0 ? static_cast<int64_t>(now.st_size) : -1;
      };
      bool same_file = w.Stream.IsOpen() && st.st_dev == w.Stream.device() &&
                       st.st_ino == w.Stream.inode();
      if (same_file) {
        tracked.path = w.FileName;
        w.CurrentSize = st.st_size;
        int64_t from = w.CurrentSize < w.LastSize ? 0 : w.LastSize;  // truncated: from the start
        // Without a descriptor of our own the bytes wait for the next pass.
        if (add_range(w.Stream.fd(), from, w.CurrentSize)) {
          w.LastSize = w.CurrentSize;
        } else {
          w.LastSize = from;
          tracked.recheck = true;
        }
      } else if (path_changed) {
        // FileName changed in the table: follow the new file from now on.
        int64_t size = reopen();
        w.LastSize = w.CurrentSize = size < 0 ? 0 : size;
      } else {
        if (w.Stream.IsOpen()) {
          // Replaced at its path: first what the old file got since the
          // last pass.
          struct stat old;
          if (::fstat(w.Stream.fd(), &old) == 0) {
            add_range(w.Stream.fd(), w.LastSize, old.st_size);
          }
        }
        // New at this path: examined from its start.
        int64_t size = reopen();
        w.LastSize = 0;
        w.CurrentSize = size < 0 ? 0 : size;
        if (add_range(w.Stream.fd(), 0, w.CurrentSize)) {
          w.LastSize = w.CurrentSize;
        } else {
          tracked.recheck = true;
        }
      }
      settings.SearchString = w.SearchString;
      settings.SearchCount = w.SearchCount;
      settings.MailAddress = w.MailAddress;
      settings.Command = w.Command;
    }
  }
  if (missing) {
    Log(kEventSystemError, std::string(ja::kWatchFileMissing) + "\r\n" + ja::kSettingFileLabel +
                               "\t" + settings.FileName);
    return;
  }
  for (const Range& r : ranges) ScanRange(r.fd.get(), r.begin, r.end, entry, settings);
}

void WatchScanner::ScanRange(int fd, int64_t begin, int64_t end,
                             const std::shared_ptr<TWatchFile>& entry,
                             const EntrySettings& settings) {
  WordMatcher matcher(SplitSearchWords(settings.SearchString));
  if (matcher.MatchesNothing()) return;
  if (!buffer_) buffer_ = std::make_unique<char[]>(kReadChunk);
  LineScanner scanner(matcher,
                      [&](std::string_view line) { OnMatch(entry, settings, line); });
  int64_t offset = begin;
  while (offset < end && !scanner.Ended()) {
    size_t want = static_cast<size_t>(std::min<int64_t>(end - offset, kReadChunk));
    ssize_t n = ::pread(fd, buffer_.get(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // read error, or the file shrank meanwhile
    scanner.Feed(std::string_view(buffer_.get(), static_cast<size_t>(n)));
    offset += n;
  }
  scanner.Finish();
}

void WatchScanner::OnMatch(const std::shared_ptr<TWatchFile>& entry,
                           const EntrySettings& settings, std::string_view line) {
  int32_t hits;
  bool triggered;
  bool send_mail = false;
  WatchNotice notice;
  {
    std::lock_guard<std::mutex> lock(state_.Lock);
    hits = ++entry->HitCount;
    triggered = hits >= settings.SearchCount;
    if (triggered) {
      entry->HitCount = 0;
      std::string server = state_.EnvTable.GetValue("SMTPServer");
      send_mail = notify_ && !settings.MailAddress.empty() && !server.empty();
      if (send_mail) {
        notice.SMTPServer = std::move(server);
        notice.FromMailAddress = state_.EnvTable.GetValue("FromMailAddress");
        notice.MailSubject = state_.EnvTable.GetValue("MailSubject");
        notice.MailBody = state_.EnvTable.GetValue("MailBody");
        notice.HostAddress = state_.HostAddress;
      }
    }
  }
  std::string description = DescribeMatch(settings.FileName, settings.SearchString, EscapeForLog(line));
  Log(kEventInformation, std::string(ja::kWatchHit) + "(" + std::to_string(hits) + "/" +
                             std::to_string(settings.SearchCount) + ")\n" + description);
  if (!triggered) return;
  if (send_mail) {
    notice.FileName = settings.FileName;
    notice.SearchString = settings.SearchString;
    notice.HitCount = hits;
    notice.MailAddress = settings.MailAddress;
    notice.ResultLine.assign(line);
    std::vector<std::string> recipients;
    notice.Accepted = &recipients;
    bool accepted = false;
    try {
      accepted = notify_(notice);
    } catch (const std::exception&) {
      accepted = false;  // the mail side reports its own failures
    }
    if (accepted) {
      std::string to;
      for (const std::string& r : recipients) to += (to.empty() ? "" : ", ") + r;
      Log(kEventInformation, std::string(ja::kWatchMailSent) + "\n" + description + "\n" + ja::kMailToLabel + "\t" + to);
    }
  }
  if (!settings.Command.empty()) {
    run_command_(settings.Command);
    Log(kEventInformation, std::string(ja::kWatchCommandRun) + "\n" + description + "\n" +
                               ja::kCommandLabel + "\t" + settings.Command);
  }
}

void WatchScanner::RunCommand(const std::string& command) {
  Log(kEventInformation, std::string(ja::kCommandStarted) + "\n" + command);
  int status = std::system((command + " &").c_str());
  (void)status;  // the command runs in the background; its outcome is not observed
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
