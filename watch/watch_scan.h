// WatchScanner: the watch pass over the service's watch table.
//
// Once a tick, every entry of ServiceState::Watches is looked at: the bytes
// appended to its file since the last look are read in bounded pieces, split
// into lines and tested for all of the entry's search words. Each matching
// line is logged and counted; when the count reaches the entry's SearchCount
// the mail hook and the command run and counting starts again.
//
// Files are followed across rotation: a file replaced at its path is read to
// its end and then followed from the start of the new file; a truncated file
// is read again from its start; a file that was missing when the table was
// loaded is read from its start once it appears. An entry whose FileName was
// changed in the table is followed from the new file's size at that moment.
// The service reads as root what others may place at a watched path, so a
// new file is read only when it is a regular file (or a FIFO) owned by root
// or by the owner of the file it replaces (of the directory, when it
// replaces nothing), and only through a symbolic link when the path was one
// already when the entry was bound. Otherwise the path is opened without
// following a link (O_NOFOLLOW), and the link, the type and the owner are
// judged on that same descriptor; a hard link to a file of another owner is
// refused like a symbolic link. Anything else is logged once and left
// unread; the path is looked at again on every pass.
//
// A pass looks only at the files that may have changed: PathWatch reports
// writes, truncations, creations, deletions and renames in the directories
// of the watched files. Files it cannot follow are looked at on every pass,
// and every file once in kSweepPasses passes, for changes the kernel does
// not report (another NFS client, a hard link elsewhere, a renamed ancestor
// directory). A missing file is looked at, and logged, on every pass.
//
// Each look notes in the entry's Status whether its file is being read, is
// missing or is refused (and why); a trigger notes when it fired and what
// became of its command. The service lock is held while the table or an
// entry is read or changed,
// never while file contents are read, the mail hook runs or a command starts.
// Runs on one thread at a time (the timer's owner thread).
#ifndef SL_WATCH_WATCH_SCAN_H_
#define SL_WATCH_WATCH_SCAN_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/thread_annotations.h"
#include "core/utf8_text.h"
#include "settings/service_state.h"
#include "watch/notify_composer.h"
#include "watch/path_watch.h"
#include "watch/threaded_timer.h"

namespace sl {

// What the mail hook gets: copies taken under the service lock when an entry
// triggers, so the hook runs without it.
struct WatchNotice {
  std::string FileName;
  std::string SearchString;
  int32_t HitCount = 0;  // the count that triggered
  std::string MailAddress;
  std::string ResultLine;  // the line that made the count reach SearchCount
  // From the environment settings and the service state: the mail goes out
  // with these settings.
  SmtpSettings Smtp;
  std::string MailSubject;
  std::string MailBody;
  std::string HostAddress;
  // The file, the words and the line as the event log shows them, for the
  // entry the mail side writes when the mail has been sent (or dropped).
  std::string MatchDescription;
  // The entry, for the record of how its mail ended.
  std::weak_ptr<TWatchFile> Entry;
};

// What a command is told of the trigger that started it.
struct CommandContext {
  std::string Command;
  std::string FileName;
  std::string SearchString;
  int32_t HitCount = 0;  // the count that triggered
  std::string Line;      // the line that made the count, as read from the file
};

// What starting a command gave: the child to count as running until it
// ends (0 when there is none to wait for), or the errno of the failure.
struct CommandStart {
  pid_t pid = 0;
  int error = 0;
};

class WatchScanner {
 public:
  // Hands the notification mail over to be sent; must not wait for it.
  using NotifyHook = std::function<void(const WatchNotice& notice)>;
  // Starts a configured command without waiting for it.
  using CommandHook = std::function<CommandStart(const CommandContext& context)>;

  static constexpr size_t kReadChunk = 128 << 10;
  // Commands of one entry that may run at once.
  static constexpr int kMaxRunningCommands = 16;
  // Every file is looked at once in this many passes even without news.
  static constexpr uint32_t kSweepPasses = 10;

  // An empty run_command means RunCommand below.
  WatchScanner(ServiceState& state, NotifyHook notify, CommandHook run_command = nullptr);

  WatchScanner(const WatchScanner&) = delete;
  WatchScanner& operator=(const WatchScanner&) = delete;

  // The OnTimer handler: disables the timer, runs a pass when watching is
  // active, enables the timer again (also after an error, which is logged).
  void TimWatchTimer(TThreadedTimer& sender) EXCLUDES(state_.Lock);

  // One pass over the whole table.
  void RunPass() EXCLUDES(state_.Lock);

  // The longest line a command gets in SCANLANTERN_LINE.
  static constexpr size_t kCommandLineMax = 4096;

  // The default command hook: starts "/bin/sh -c command" as a child in
  // "/", with standard input from /dev/null, its output appended to
  // log/command.out (under a heading with the time and the entry's file)
  // and a fixed environment that tells it what fired (CommandEnvironment);
  // logs it when it started. The trigger's values reach the command only
  // as environment variables, never through the shell's parser.
  CommandStart RunCommand(const CommandContext& context);
  // The environment of a command, as "NAME=value" strings.
  static std::vector<std::string> CommandEnvironment(const CommandContext& context,
                                                     const std::string& host_name);

  // Commands started by this scanner that have not been reaped yet.
  size_t RunningCommands() const { return children_.size(); }

  // Event-log entries that could not be written since construction. The
  // pass goes on without them (see Log).
  int64_t LogFailures() const { return log_failures_; }

 private:
  // The settings of an entry as they were when its new bytes were found.
  struct EntrySettings {
    std::string FileName;
    std::string SearchString;
    int32_t SearchCount = 0;
    std::string MailAddress;
    std::string Command;
  };
  // What the scanner remembers of an entry between passes.
  struct Tracked {
    uint64_t id = 0;  // unique among all entries ever tracked
    std::weak_ptr<TWatchFile> entry;
    // The path the stream was opened for, to tell a changed FileName from a
    // file replaced at the same path.
    std::string path;
    uint32_t slot = 0;         // pass (modulo kSweepPasses) of the regular look
    bool fresh = true;         // never looked at
    bool dirty = false;        // PathWatch reported a change
    bool recheck = false;      // missing, or bytes left for the next pass
    bool unwatchable = false;  // PathWatch refused the path
    // Whose files may replace the current one; see the class comment.
    bool bound_link = false;  // the path was a symbolic link when bound
    bool has_owner = false;
    uid_t owner = 0;
    // The file last refused at the path, logged once.
    bool refused = false;
    dev_t refused_dev = 0;
    ino_t refused_ino = 0;
    int running = 0;  // commands not yet reaped
    int skipped = 0;  // commands skipped in this pass
  };

  void ScanEntry(size_t index, const std::shared_ptr<TWatchFile>& entry) EXCLUDES(state_.Lock);
  void ScanRange(int fd, int64_t begin, int64_t end, const std::shared_ptr<TWatchFile>& entry,
                 const EntrySettings& settings, Tracked& tracked);
  void OnMatch(const std::shared_ptr<TWatchFile>& entry, const EntrySettings& settings,
               Tracked& tracked, std::string_view line) EXCLUDES(state_.Lock);
  // Starts the entry's command (or skips it, or fails) and notes which in
  // the entry's status.
  void StartCommand(const std::shared_ptr<TWatchFile>& entry, const EntrySettings& settings,
                    Tracked& tracked, const std::string& description, int32_t hits,
                    std::string_view raw_line);
  // Why a new file at the entry's path may not be read, or empty.
  // via_link and found describe the descriptor that would be read.
  std::string Distrust(const Tracked& tracked, const std::string& path, bool via_link,
                       const struct stat& found) const;
  void ReapChildren();
  bool StillListed(size_t index, const std::shared_ptr<TWatchFile>& entry) const
      REQUIRES(state_.Lock);
  void PruneTracked();
  void Log(int32_t code, const std::string& detail);

  ServiceState& state_;
  NotifyHook notify_;
  CommandHook run_command_;
  std::unique_ptr<char[]> buffer_;
  Utf8Converter utf8_;
  std::unordered_map<const TWatchFile*, Tracked> tracked_;
  uint64_t next_id_ = 0;
  // Running commands: process id to the id of the Tracked that started it.
  std::unordered_map<pid_t, uint64_t> children_;
  PathWatch path_watch_;
  uint32_t pass_number_ = 0;
  uint32_t next_slot_ = 0;
  bool check_all_ = false;  // PathWatch lost events: look at everything
  int64_t log_failures_ = 0;
  bool log_failing_ = false;
};

}  // namespace sl

#endif
