#include "watch/watch_scan.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/text.h"
#include "core/unique_fd.h"
#include "watch/line_match.h"
#include "watch/texts_ja.h"

namespace sl {

namespace {

// A descriptor of our own for reading outside the lock: the entry's stream
// may be closed by a reload meanwhile.
int DupFd(int fd) { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); }

// "監視ファイル\t<file>\n監視ワード\t<words>\n監視内容\n<line>"
constexpr char kNotifyHookFailure[] = "Notification could not be queued.";

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

std::string ParentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

WatchScanner::WatchScanner(ServiceState& state, NotifyHook notify, CommandHook run_command)
    : state_(state), notify_(std::move(notify)), run_command_(std::move(run_command)) {
  if (!run_command_) {
    run_command_ = [this](const CommandContext& context) { return RunCommand(context); };
  }
}

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
  PruneTracked();
  ReapChildren();
  ++pass_number_;
  check_all_ = !path_watch_.Poll([this](const void* key) {
    auto it = tracked_.find(static_cast<const TWatchFile*>(key));
    if (it != tracked_.end()) it->second.dirty = true;
  });
  for (size_t i = 0; i < entries.size(); ++i) ScanEntry(i, entries[i]);
}

bool WatchScanner::StillListed(size_t index, const std::shared_ptr<TWatchFile>& entry) const {
  if (index < state_.Watches.size() && state_.Watches[index] == entry) return true;
  return std::find(state_.Watches.begin(), state_.Watches.end(), entry) != state_.Watches.end();
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
    UniqueFd fd;
    int64_t begin;
    int64_t end;
  };
  std::vector<Range> ranges;
  EntrySettings settings;
  bool missing = false;
  std::string refusal;  // a file at the path that is left unread, to log
  Tracked* tracked_entry = nullptr;
  using FileState = WatchStatus::FileState;
  {
    MutexLock lock(state_.Lock);
    // Removed from the table (or the table reloaded) since the pass began.
    if (!StillListed(index, entry)) return;
    TWatchFile& w = *entry;
    auto [slot, inserted] = tracked_.try_emplace(entry.get());
    Tracked& tracked = slot->second;
    tracked_entry = &tracked;
    if (inserted || tracked.entry.lock() != entry) {
      tracked = Tracked{};
      tracked.id = ++next_id_;
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
    if (tracked.fresh || path_changed) {
      // Bound to this path now: a link that the path was when the settings
      // named it is followed.
      tracked.bound_link = w.Stream.IsOpen() && !path_changed ? w.Stream.ViaLink()
                                                              : have_lst && S_ISLNK(lst.st_mode);
      tracked.has_owner = w.Stream.IsOpen();
      tracked.owner = w.Stream.IsOpen() ? w.Stream.Found().st_uid : 0;
      tracked.refused = false;
    }
    tracked.fresh = tracked.dirty = tracked.recheck = false;
    if (!exists || S_ISDIR(st.st_mode)) {
      missing = true;
      tracked.recheck = true;
      w.Status.File = exists ? FileState::kRefused : FileState::kMissing;
      w.Status.FileReason = exists ? ja::kNotAFile : "";
    } else {
      std::string open_error;  // why the file at the path could not be opened
      // A range of bytes to examine, on a descriptor of our own.
      auto add_range = [&](int fd, int64_t begin, int64_t end) {
        if (end <= begin) return true;
        int copy = DupFd(fd);
        if (copy < 0) return false;
        ranges.push_back(Range{UniqueFd(copy), begin, end});
        return true;
      };
      // Refuses the file now at the path: one log entry per file.
      auto refuse = [&](struct stat found, std::string reason) {  // a copy: Close clears it
        w.Stream.Close();
        tracked.recheck = true;
        w.Status.File = FileState::kRefused;
        w.Status.FileReason = reason;
        if (tracked.refused && tracked.refused_dev == found.st_dev &&
            tracked.refused_ino == found.st_ino) {
          return;
        }
        tracked.refused = true;
        tracked.refused_dev = found.st_dev;
        tracked.refused_ino = found.st_ino;
        refusal = std::move(reason);
      };
      // Opens the file at the path as the entry's stream; its size, or -1
      // when there is nothing to read. A link is followed only when the
      // settings named one (follow_links): a replacement that is a link
      // where there was none is looked at as the link itself, on the very
      // descriptor that would have been read.
      auto reopen = [&](bool follow_links) -> int64_t {
        tracked.path = w.FileName;
        EntryBinding bound = BindEntry(w, follow_links);
        if (bound.state == EntryBinding::State::kRefused) open_error = bound.reason;
        if (bound.state == EntryBinding::State::kNotAFile && S_ISLNK(w.Stream.Found().st_mode)) {
          refuse(w.Stream.Found(), std::string(ja::kReplacementRefused) + "\n" + ja::kReasonLabel +
                                       "\tsymbolic link");
          return -1;
        }
        if (bound.state == EntryBinding::State::kNotAFile) {
          refuse(w.Stream.Found(), std::string(ja::kNotAFile));
          return -1;
        }
        if (bound.state != EntryBinding::State::kRead) return -1;
        tracked.refused = false;
        return bound.size;
      };
      bool same_file =
          w.Stream.IsOpen() && st.st_dev == w.Stream.device() && st.st_ino == w.Stream.inode();
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
        // FileName changed in the table: follow the new file from now on
        // (trusted: the settings name it).
        reopen(true);
        tracked.has_owner = w.Stream.IsOpen();
        if (w.Stream.IsOpen()) tracked.owner = w.Stream.Found().st_uid;
      } else if (tracked.refused && st.st_dev == tracked.refused_dev &&
                 st.st_ino == tracked.refused_ino) {
        tracked.recheck = true;  // still the refused file: nothing to read
      } else {
        if (w.Stream.IsOpen()) {
          // Replaced at its path: first what the old file got since the
          // last pass.
          struct stat old;
          if (::fstat(w.Stream.fd(), &old) == 0) {
            add_range(w.Stream.fd(), w.LastSize, old.st_size);
            tracked.has_owner = true;
            tracked.owner = old.st_uid;
          }
        }
        // New at this path: examined from its start, if it may be read.
        int64_t size = reopen(tracked.bound_link);
        w.LastSize = 0;
        if (size >= 0) {
          std::string why = Distrust(tracked, w.FileName, w.Stream.ViaLink(), w.Stream.Found());
          if (why.empty()) {
            tracked.has_owner = true;
            tracked.owner = w.Stream.Found().st_uid;
          } else {
            refuse(w.Stream.Found(),
                   std::string(ja::kReplacementRefused) + "\n" + ja::kReasonLabel + "\t" + why);
            size = -1;
          }
        } else if (!w.Stream.IsOpen() && refusal.empty()) {
          tracked.recheck = true;  // could not be opened: try again
        }
        w.CurrentSize = size < 0 ? 0 : size;
        if (size >= 0 && add_range(w.Stream.fd(), 0, w.CurrentSize)) {
          w.LastSize = w.CurrentSize;
        } else if (size >= 0) {
          tracked.recheck = true;
        }
      }
      if (w.Stream.IsOpen()) {
        w.Status.File = FileState::kReading;
        w.Status.FileReason.clear();
      } else if (!open_error.empty()) {
        w.Status.File = FileState::kRefused;
        w.Status.FileReason = open_error;
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
  if (!refusal.empty()) {
    Log(kEventSystemError, refusal + "\n" + ja::kSettingFileLabel + "\t" + settings.FileName);
  }
  Tracked& tracked = *tracked_entry;
  tracked.skipped = 0;
  for (const Range& r : ranges) ScanRange(r.fd.get(), r.begin, r.end, entry, settings, tracked);
  if (tracked.skipped > 0) {
    Log(kEventSystemError, std::string(ja::kCommandsSkipped) + "\n" + ja::kSkippedLabel + "\t" +
                               std::to_string(tracked.skipped) + "\n" + ja::kWatchFileLabel + "\t" +
                               settings.FileName + "\n" + ja::kCommandLabel + "\t" +
                               settings.Command);
  }
}

std::string WatchScanner::Distrust(const Tracked& tracked, const std::string& path, bool via_link,
                                   const struct stat& found) const {
  if (via_link && !tracked.bound_link) {
    return "symbolic link";
  }
  uid_t expected;
  if (tracked.has_owner) {
    expected = tracked.owner;
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

void WatchScanner::ScanRange(int fd, int64_t begin, int64_t end,
                             const std::shared_ptr<TWatchFile>& entry,
                             const EntrySettings& settings, Tracked& tracked) {
  WordMatcher matcher(SplitSearchWords(settings.SearchString), &utf8_);
  if (matcher.MatchesNothing()) return;
  if (!buffer_) buffer_ = std::make_unique<char[]>(kReadChunk);
  LineScanner scanner(matcher,
                      [&](std::string_view line) { OnMatch(entry, settings, tracked, line); });
  int64_t offset = begin;
  while (offset < end) {
    size_t want = static_cast<size_t>(std::min<int64_t>(end - offset, kReadChunk));
    ssize_t n = ::pread(fd, buffer_.get(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // read error, or the file shrank meanwhile
    scanner.Feed(std::string_view(buffer_.get(), static_cast<size_t>(n)));
    offset += n;
  }
  scanner.Finish();
}

void WatchScanner::OnMatch(const std::shared_ptr<TWatchFile>& entry, const EntrySettings& settings,
                           Tracked& tracked, std::string_view raw_line) {
  // A UTF-8 line is logged, counted and mailed in the service's EUC-JP.
  std::string converted;
  std::string_view line = raw_line;
  if (IsMultibyteUtf8(raw_line)) {
    converted = utf8_.Utf8ToEuc(raw_line);
    line = converted;
  }
  int32_t hits;
  bool triggered;
  bool send_mail = false;
  WatchNotice notice;
  {
    MutexLock lock(state_.Lock);
    hits = ++entry->HitCount;
    triggered = hits >= settings.SearchCount;
    if (triggered) {
      entry->HitCount = 0;
      entry->Status.LastFired = std::time(nullptr);
      SmtpSettings smtp = SmtpSettingsOf(state_.EnvTable);
      send_mail = notify_ && !settings.MailAddress.empty() && !smtp.Server.empty();
      if (send_mail) {
        entry->Status.Mail = WatchStatus::MailResult::kQueued;
        entry->Status.MailDetail.clear();
        notice.Smtp = std::move(smtp);
        notice.MailSubject = state_.EnvTable.GetValue("MailSubject");
        notice.MailBody = state_.EnvTable.GetValue("MailBody");
        notice.HostAddress = state_.HostAddress;
      }
    }
  }
  std::string description =
      DescribeMatch(settings.FileName, settings.SearchString, EscapeForLog(line));
  Log(kEventInformation, std::string(ja::kWatchHit) + "(" + std::to_string(hits) + "/" +
                             std::to_string(settings.SearchCount) + ")\n" + description);
  if (!triggered) return;
  if (send_mail) {
    notice.FileName = settings.FileName;
    notice.SearchString = settings.SearchString;
    notice.HitCount = hits;
    notice.MailAddress = settings.MailAddress;
    notice.ResultLine.assign(line);
    notice.MatchDescription = description;
    notice.Entry = entry;
    try {
      notify_(notice);
    } catch (const std::exception& e) {
      Log(kEventSystemError, std::string(kNotifyHookFailure) + "\n" + e.what());
    }
  }
  if (!settings.Command.empty()) {
    StartCommand(entry, settings, tracked, description, hits, raw_line);
  }
}

void WatchScanner::StartCommand(const std::shared_ptr<TWatchFile>& entry,
                                const EntrySettings& settings, Tracked& tracked,
                                const std::string& description, int32_t hits,
                                std::string_view raw_line) {
  auto note = [&](WatchStatus::CommandResult result, std::string detail) {
    MutexLock lock(state_.Lock);
    entry->Status.Command = result;
    entry->Status.CommandDetail = std::move(detail);
  };
  if (tracked.running >= kMaxRunningCommands) ReapChildren();
  if (tracked.running >= kMaxRunningCommands) {
    ++tracked.skipped;
    note(WatchStatus::CommandResult::kSkipped, ja::kCommandsSkipped);
    return;
  }
  CommandContext context;
  context.Command = settings.Command;
  context.FileName = settings.FileName;
  context.SearchString = settings.SearchString;
  context.HitCount = hits;
  context.Line.assign(raw_line.substr(0, kCommandLineMax));
  CommandStart started = run_command_(context);
  if (started.pid < 0 || started.error != 0) {
    note(WatchStatus::CommandResult::kFailed, std::strerror(started.error));
    Log(kEventSystemError, std::string(ja::kCommandFailed) + "\n" + description + "\n" +
                               ja::kCommandLabel + "\t" + settings.Command + "\n" +
                               ja::kReasonLabel + "\t" + std::strerror(started.error));
    return;
  }
  if (started.pid > 0) {
    children_[started.pid] = tracked.id;
    ++tracked.running;
  }
  note(WatchStatus::CommandResult::kStarted, std::string());
  Log(kEventInformation, std::string(ja::kWatchCommandRun) + "\n" + description + "\n" +
                             ja::kCommandLabel + "\t" + settings.Command);
}

std::vector<std::string> WatchScanner::CommandEnvironment(const CommandContext& context,
                                                          const std::string& host_name) {
  // An environment string ends at its first NUL byte, so a value does too.
  auto value = [](const std::string& text) { return text.substr(0, text.find('\0')); };
  return {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
          "LANG=C",
          "HOME=/root",
          "SCANLANTERN_FILE=" + value(context.FileName),
          "SCANLANTERN_WORDS=" + value(context.SearchString),
          "SCANLANTERN_COUNT=" + std::to_string(context.HitCount),
          "SCANLANTERN_LINE=" + value(context.Line.substr(0, kCommandLineMax)),
          "SCANLANTERN_HOST=" + value(host_name)};
}

CommandStart WatchScanner::RunCommand(const CommandContext& context) {
  // The shell runs the command as system(command + " &") would, but as our
  // own child, so that it can be counted and reaped. Its output goes below
  // a heading of its own in log/command.out, readable by root and the
  // administrators' group like the event log.
  const std::string out_path = state_.BasePath + "./log/command.out";
  UniqueFd out(::open(out_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
  if (out.valid()) {
    std::string heading = FormatTimestamp(std::time(nullptr)) + " " + context.FileName + "\n";
    if (::write(out.get(), heading.data(), heading.size()) < 0) {
      // The command runs all the same; its output may still find room.
    }
  }
  const char* out_file = out.valid() ? nullptr : "/dev/null";
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out_file != nullptr) {
    posix_spawn_file_actions_addopen(&actions, 1, out_file, O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out.get(), 1);
  }
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addchdir_np(&actions, "/");
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGHUP, SIGPIPE, SIGTERM, SIGINT, SIGQUIT, SIGCHLD}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::string shell = "/bin/sh";
  std::string dash_c = "-c";
  std::string text = context.Command;
  char* argv[] = {shell.data(), dash_c.data(), text.data(), nullptr};
  std::vector<std::string> env_strings = CommandEnvironment(context, NotifyHostName());
  std::vector<char*> envp;
  for (std::string& entry : env_strings) envp.push_back(entry.data());
  envp.push_back(nullptr);
  CommandStart started;
  int rc = posix_spawn(&started.pid, shell.c_str(), &actions, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    started.pid = -1;
    started.error = rc;
    return started;
  }
  Log(kEventInformation, std::string(ja::kCommandStarted) + "\n" + context.Command);
  return started;
}

void WatchScanner::ReapChildren() {
  for (auto it = children_.begin(); it != children_.end();) {
    int status;
    pid_t rc = ::waitpid(it->first, &status, WNOHANG);
    if (rc == 0 || (rc < 0 && errno == EINTR)) {
      ++it;
      continue;
    }
    // Ended (or no longer our child): its slot is free.
    for (auto& [key, tracked] : tracked_) {
      if (tracked.id == it->second) {
        --tracked.running;
        break;
      }
    }
    it = children_.erase(it);
  }
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
