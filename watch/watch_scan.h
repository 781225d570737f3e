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
//
// A pass looks only at the files that may have changed: PathWatch reports
// writes, truncations, creations, deletions and renames in the directories
// of the watched files. Files it cannot follow are looked at on every pass,
// and every file once in kSweepPasses passes, for changes the kernel does
// not report (another NFS client, a hard link elsewhere, a renamed ancestor
// directory). A missing file is looked at, and logged, on every pass.
//
// The service lock is held while the table or an entry is read or changed,
// never while file contents are read, the mail hook runs or a command starts.
// Runs on one thread at a time (the timer's owner thread).
#ifndef SL_WATCH_WATCH_SCAN_H_
#define SL_WATCH_WATCH_SCAN_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "service/service_state.h"
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
  // From the environment settings and the service state.
  std::string SMTPServer;
  std::string FromMailAddress;
  std::string MailSubject;
  std::string MailBody;
  std::string HostAddress;
  // Where the hook names the recipients the mail server accepted.
  std::vector<std::string>* Accepted = nullptr;
};

class WatchScanner {
 public:
  // Sends the notification mail; true when the server accepted it.
  using NotifyHook = std::function<bool(const WatchNotice& notice)>;
  // Starts a configured command.
  using CommandHook = std::function<void(const std::string& command)>;

  static constexpr size_t kReadChunk = 1 << 20;
  // Every file is looked at once in this many passes even without news.
  static constexpr uint32_t kSweepPasses = 10;

  // An empty run_command means RunCommand below.
  WatchScanner(ServiceState& state, NotifyHook notify, CommandHook run_command = nullptr);

  WatchScanner(const WatchScanner&) = delete;
  WatchScanner& operator=(const WatchScanner&) = delete;

  // The OnTimer handler: disables the timer, runs a pass when watching is
  // active, enables the timer again (also after an error, which is logged).
  void TimWatchTimer(TThreadedTimer& sender);

  // One pass over the whole table.
  void RunPass();

  // The default command hook: logs the command, then hands command + " &"
  // to the shell without waiting for it.
  void RunCommand(const std::string& command);

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
    std::weak_ptr<TWatchFile> entry;
    // The path the stream was opened for, to tell a changed FileName from a
    // file replaced at the same path.
    std::string path;
    uint32_t slot = 0;         // pass (modulo kSweepPasses) of the regular look
    bool fresh = true;         // never looked at
    bool dirty = false;        // PathWatch reported a change
    bool recheck = false;      // missing, or bytes left for the next pass
    bool unwatchable = false;  // PathWatch refused the path
  };

  void ScanEntry(size_t index, const std::shared_ptr<TWatchFile>& entry);
  void ScanRange(int fd, int64_t begin, int64_t end, const std::shared_ptr<TWatchFile>& entry,
                 const EntrySettings& settings);
  void OnMatch(const std::shared_ptr<TWatchFile>& entry, const EntrySettings& settings,
               std::string_view line);
  bool StillListed(size_t index, const std::shared_ptr<TWatchFile>& entry) const;
  void PruneTracked();
  void Log(int32_t code, const std::string& detail);

  ServiceState& state_;
  NotifyHook notify_;
  CommandHook run_command_;
  std::unique_ptr<char[]> buffer_;
  std::unordered_map<const TWatchFile*, Tracked> tracked_;
  PathWatch path_watch_;
  uint32_t pass_number_ = 0;
  uint32_t next_slot_ = 0;
  bool check_all_ = false;  // PathWatch lost events: look at everything
  int64_t log_failures_ = 0;
  bool log_failing_ = false;
};

}  // namespace sl

#endif
