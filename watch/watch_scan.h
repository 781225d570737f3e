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
// is read again from its start, and so is one rewritten in place (its first
// bytes changed); a file that was missing when the table was loaded is read
// from its start once it appears. A FIFO is drained on every pass, a bounded
// amount; a line it has not completed waits for the rest. An entry whose
// FileName was changed in the table is followed from the new file's size at
// that moment.
// The service reads as root what others may place at a watched path, so a
// new file is read only when it is a regular file (or a FIFO) owned by root
// or by the owner of the file it replaces (of the directory, when it
// replaces nothing), and only through a symbolic link when the path was one
// already when the entry was bound. Otherwise the path is opened without
// following a link (O_NOFOLLOW), and the link, the type and the owner are
// judged on that same descriptor; a hard link to a file of another owner is
// refused like a symbolic link. Anything else (a directory too) is logged
// once and left unread; the path is looked at again on every pass.
//
// Text after the last line end of a pass waits in the entry's record for
// its line end: at most kHeldPasses passes and kHeldLineBytes, after which
// it is examined as a line; a file replaced, truncated or rewritten
// examines what waits first.
//
// An entry's rules (WatchRules) act in the pass as well: its exclusion
// words and letter case in the line test, its Window in the count (matches
// older than Window seconds drop out of it) and its Quiet period after a
// trigger (further triggers within Quiet seconds send no mail and run no
// command; they are counted, the first one is logged, and the next mail
// carries their number). Windows and quiet periods run on the steady clock.
// A regex entry matches each line with its expression (lines given up at
// the retry limits are logged at most once a minute); a sjis entry matches
// its words in their Shift_JIS form and logs, mails and hands the command
// its lines in EUC-JP. The record keeps the first lines of the count for
// the mail's MatchedLines.
//
// A pass looks only at the files that may have changed: PathWatch reports
// writes, truncations, creations, deletions and renames in the directories
// of the watched files. Files it cannot follow are looked at on every pass,
// and every file once in kSweepPasses passes, for changes the kernel does
// not report (another NFS client, a hard link elsewhere, a renamed ancestor
// directory). A missing file is looked at, and logged, on every pass.
//
// The decision of one look (PlanLook below) depends only on the entry's
// record and what stat and the open stream tell; the scanner then carries
// it out. Commands are started and counted by CommandRunner.
//
// Each entry has one record here. TWatchFile (settings/) is the entry as the
// table, the loader and the pages share it: its settings, its stream and
// sizes, its counts and Status, all under the service lock. What only the
// pass needs (EntryRecord) the scanner keeps itself, in one map keyed by the
// entry's identity (its shared control block, so that a new entry never
// takes over the record of one that has gone). The map is built anew from
// the table at the start of every pass: records move over, and the records
// of entries that left the table go with the old map, taking their inotify
// bindings with them. Running commands are counted by the record's id in
// CommandRunner, so no record needs to outlive its entry.
//
// Each look notes in the entry's Status whether its file is being read, is
// missing or is refused (and why); a trigger notes when it fired and what
// became of its command. The service lock is held while the table or an
// entry is read or changed,
// never while file contents are read, the mail hook runs or a command starts.
// Runs on one thread at a time (the timer's owner thread).
#ifndef SL_WATCH_WATCH_SCAN_H_
#define SL_WATCH_WATCH_SCAN_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/regex_match.h"
#include "core/thread_annotations.h"
#include "core/unique_fd.h"
#include "core/utf8_text.h"
#include "mail/mail_queue.h"
#include "settings/service_state.h"
#include "watch/command_runner.h"
#include "watch/path_watch.h"
#include "watch/threaded_timer.h"

namespace sl {

// What the pass remembers of one entry between passes.
struct EntryRecord {
  EntryRecord() = default;
  // Unbinds the record from the path watch it was bound to.
  ~EntryRecord();
  EntryRecord(const EntryRecord&) = delete;
  EntryRecord& operator=(const EntryRecord&) = delete;

  uint64_t id = 0;  // unique among all records ever made; names its commands
  // The path the stream was opened for, to tell a changed FileName from a
  // file replaced at the same path.
  std::string path;
  uint32_t slot = 0;                // pass (modulo kSweepPasses) of the regular look
  bool fresh = true;                // never looked at
  mutable bool dirty = false;       // PathWatch reported a change (set through its key)
  bool recheck = false;             // missing, or bytes left for the next pass
  bool unwatchable = false;         // PathWatch refused the path
  PathWatch* path_watch = nullptr;  // bound to it with this record as the key
  // Whose files may replace the current one; see the class comment.
  bool bound_link = false;  // the path was a symbolic link when bound
  bool has_owner = false;
  uid_t owner = 0;
  // The file last refused at the path, logged once.
  bool refused = false;
  dev_t refused_dev = 0;
  ino_t refused_ino = 0;
  mode_t refused_type = 0;  // S_IFMT bits: a freed inode number comes back
  // The first bytes of the open file as last seen (at most kHeadBytes), to
  // notice a file rewritten in place between two looks.
  std::string head;
  // The line not yet complete at the end of what the last pass read (of a
  // file or a FIFO), and the passes it has waited for its line end.
  std::string rest;
  int rest_passes = 0;
  // Matches in an entry's Window, by the steady second they were read in
  // (the first time point of each second), oldest first, and their total.
  std::deque<std::pair<std::chrono::steady_clock::time_point, int32_t>> window;
  int32_t window_hits = 0;
  // The last trigger that acted (mailed or ran its command), and the
  // triggers held back in its quiet period since.
  bool acted = false;
  std::chrono::steady_clock::time_point acted_at;
  int32_t held_back = 0;
  bool quiet_logged = false;  // this quiet period's start is in the log
  // The lines of the current count (the first kMatchedLines, each cut at
  // kMatchedLineBytes), as "yyyy/mm/dd hh:mm:ss<TAB>line".
  std::deque<std::string> matched_lines;
  // The entry's expression, compiled for the settings in regex_key.
  std::unique_ptr<RegexMatcher> regex;
  std::string regex_key;
  // Lines given up at the expression's retry limit are logged at most once
  // in kLimitLogInterval.
  bool limit_logged = false;
  std::chrono::steady_clock::time_point limit_logged_at;
};

// What one look at an entry sees: the path now, and the entry's stream.
struct LookFacts {
  std::string file_name;  // the entry's FileName
  bool exists = false;    // the path (a link followed) could be stat'ed
  struct stat path = {};  // what that stat found
  bool stream_open = false;
  dev_t stream_dev = 0;
  ino_t stream_ino = 0;
  int64_t last_size = 0;  // bytes of the stream's file examined so far
  // The open file's first bytes differ from the record's head.
  bool head_changed = false;
};

// What one look found, and what it reads.
enum class LookKind {
  kMissing,       // nothing at the path: logged, looked at again next pass
  kDirectory,     // a directory at the path: refused, logged once
  kGrown,         // the open file, as long as before or longer: read [from, to)
  kTruncated,     // the open file, shorter than what was read: read [0, to)
  kRewritten,     // the open file, its start changed in place: read [0, to)
  kPipe,          // the open FIFO: read what it holds now
  kRenamed,       // FileName names another path: bind it, read from its end on
  kStillRefused,  // the file refused before is still there: nothing to read
  kReplaced,      // another file at the path: the old file from `from` to its
                  // end, then the new one from its start if it is trusted
};
struct LookPlan {
  LookKind kind = LookKind::kMissing;
  int64_t from = 0;
  int64_t to = 0;  // for kGrown and kTruncated
};

// The decision of one look at an entry.
LookPlan PlanLook(const EntryRecord& record, const LookFacts& facts);

class WatchScanner {
 public:
  // Hands the notification mail over to be sent (MailQueue::Push); must not
  // wait for it. False when it was dropped (done has been told then).
  using NotifyHook = std::function<bool(NotifyRequest request, std::string description,
                                        MailQueue::DoneFunction done)>;
  // The time of windows and quiet periods (tests pass a clock of their own).
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr size_t kReadChunk = 128 << 10;
  // A FIFO gives at most this much a pass (its writer waits for the next).
  static constexpr size_t kPipeBytesPerPass = 8 * kReadChunk;
  // The start of a file kept to notice a rewrite.
  static constexpr size_t kHeadBytes = 256;
  // Every file is looked at once in this many passes even without news.
  static constexpr uint32_t kSweepPasses = 10;
  // A line without its line end waits at most this many passes, and only
  // while it has at most kHeldLineBytes; then it is examined as it is.
  static constexpr int kHeldPasses = 5;
  static constexpr size_t kHeldLineBytes = 64 << 10;
  // What the MatchedLines of a mail hold at most.
  static constexpr size_t kMatchedLines = 20;
  static constexpr size_t kMatchedLineBytes = 1024;
  static constexpr std::chrono::seconds kLimitLogInterval{60};

  // An empty run_command means CommandRunner::Spawn, an empty clock the
  // steady clock.
  WatchScanner(ServiceState& state, NotifyHook notify,
               CommandRunner::StartFunction run_command = nullptr, Clock clock = nullptr);

  WatchScanner(const WatchScanner&) = delete;
  WatchScanner& operator=(const WatchScanner&) = delete;

  // The OnTimer handler: disables the timer, runs a pass when watching is
  // active, enables the timer again (also after an error, which is logged).
  void TimWatchTimer(TThreadedTimer& sender) EXCLUDES(state_.Lock);

  // One pass over the whole table.
  void RunPass() EXCLUDES(state_.Lock);

  // The commands the triggers started.
  CommandRunner& Commands() { return commands_; }

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
    WatchRules Rules;
  };
  // A range of bytes to examine, on a descriptor of our own.
  // A pipe's range is whatever it holds when read.
  struct Range {
    UniqueFd fd;
    int64_t begin;
    int64_t end;
    bool pipe = false;
  };
  // What a look under the lock leaves for the part without it.
  struct Look {
    EntrySettings settings;
    std::vector<Range> ranges;
    bool missing = false;
    std::string refusal;     // a file at the path that is left unread, to log
    std::string open_error;  // why the file at the path could not be opened
    // The ranges from this one on are another text (a new file, or the
    // file again from its start): the line waiting in the record is
    // examined before them. SIZE_MAX: the text goes on.
    size_t new_text_at = SIZE_MAX;
  };
  // What a match did to the entry's count, taken under the lock.
  struct Hit {
    int32_t hits = 0;
    bool triggered = false;
    bool send_mail = false;
    bool held_back = false;    // in a quiet period: no mail, no command
    bool quiet_start = false;  // the first trigger held back in this quiet period
    NotifyRequest request;     // the settings part, when send_mail
  };
  using RecordMap =
      std::map<std::weak_ptr<TWatchFile>, EntryRecord, std::owner_less<std::weak_ptr<TWatchFile>>>;

  void KeepRecordsOf(const WatchTable& entries);
  void ScanEntry(size_t index, const std::shared_ptr<TWatchFile>& entry, EntryRecord& record)
      EXCLUDES(state_.Lock);
  bool LookAt(TWatchFile& w, EntryRecord& record, Look& look) REQUIRES(state_.Lock);
  void BindRecord(const TWatchFile& w, EntryRecord& record, bool path_changed, bool path_is_link)
      REQUIRES(state_.Lock);
  void Follow(const LookPlan& plan, TWatchFile& w, EntryRecord& record, Look& look)
      REQUIRES(state_.Lock);
  void ReadOpenFile(const LookPlan& plan, TWatchFile& w, EntryRecord& record, Look& look)
      REQUIRES(state_.Lock);
  void TakeReplacement(const LookPlan& plan, TWatchFile& w, EntryRecord& record, Look& look)
      REQUIRES(state_.Lock);
  int64_t Reopen(TWatchFile& w, EntryRecord& record, Look& look, bool follow_links)
      REQUIRES(state_.Lock);
  void Refuse(TWatchFile& w, EntryRecord& record, Look& look, struct stat found, std::string reason)
      REQUIRES(state_.Lock);
  // Why a new file at the entry's path may not be read, or empty.
  // via_link and found describe the descriptor that would be read.
  std::string Distrust(const EntryRecord& record, const std::string& path, bool via_link,
                       const struct stat& found) const;
  // Whether the open file's start changed since the last look; notes its
  // start now in the record.
  bool HeadChanged(const TWatchFile& w, EntryRecord& record);
  // Examines the look's ranges after the line waiting in the record, and
  // leaves the last line without a line end waiting there.
  void ScanText(const Look& look, const std::shared_ptr<TWatchFile>& entry, EntryRecord& record);
  // Feeds a range to feed, in pieces of at most kReadChunk.
  void ReadRange(const Range& range, const std::function<void(std::string_view)>& feed);
  void OnMatch(const std::shared_ptr<TWatchFile>& entry, const EntrySettings& settings,
               EntryRecord& record, std::string_view line) EXCLUDES(state_.Lock);
  Hit CountHit(TWatchFile& entry, const EntrySettings& settings, EntryRecord& record,
               std::string_view line) EXCLUDES(state_.Lock);
  // The entry's expression, compiled anew when its settings changed.
  RegexMatcher& ExpressionOf(const EntrySettings& settings, EntryRecord& record);
  // Counts one match in the entry's Window; the count afterwards.
  int32_t CountInWindow(TWatchFile& entry, int32_t window, EntryRecord& record,
                        std::chrono::steady_clock::time_point now) REQUIRES(state_.Lock);
  // Fills the rest of the mail and hands it over.
  void Notify(const std::shared_ptr<TWatchFile>& entry, const EntrySettings& settings, Hit& hit,
              std::string_view line, const std::string& description) EXCLUDES(state_.Lock);
  // Starts the entry's command (or skips it, or fails) and notes which in
  // the entry's status.
  void StartCommand(TWatchFile& entry, const EntrySettings& settings, const EntryRecord& record,
                    const std::string& description, int32_t hits, std::string_view raw_line)
      EXCLUDES(state_.Lock);
  bool StillListed(size_t index, const std::shared_ptr<TWatchFile>& entry) const
      REQUIRES(state_.Lock);
  void Log(int32_t code, const std::string& detail);

  ServiceState& state_;
  NotifyHook notify_;
  Clock clock_;
  CommandRunner commands_;
  std::unique_ptr<char[]> buffer_;
  Utf8Converter utf8_;
  PathWatch path_watch_;  // before records_, which unbind from it when they go
  RecordMap records_;
  uint64_t next_id_ = 0;
  uint32_t pass_number_ = 0;
  uint32_t next_slot_ = 0;
  bool check_all_ = false;  // PathWatch lost events: look at everything
  int64_t log_failures_ = 0;
  bool log_failing_ = false;
  // Bytes and line ends ReadRange read for the entry being scanned; added
  // to its counters when its scan ends.
  uint64_t read_bytes_ = 0;
  uint64_t read_lines_ = 0;
};

}  // namespace sl

#endif
