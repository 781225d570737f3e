// TWatchFile: the runtime form of one watch entry, and the WatchTable.
//
// Filled from the watch list by ReadWatchList, scanned by the watch pass and
// changed by the watch-settings pages. Entries are shared (std::shared_ptr)
// so that a watch pass can keep the entry it is working on while the table
// itself is changed; every field is guarded by the service lock.
#ifndef SL_SETTINGS_WATCH_FILE_H_
#define SL_SETTINGS_WATCH_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "core/unique_fd.h"

namespace sl {

// A read-only file descriptor that remembers which file (device and inode)
// it was opened on. Owns the descriptor.
//
// Only a regular file or a FIFO is ever opened for reading: whatever else a
// path names (a device, a socket, a directory) is looked at without opening
// it, so that opening has no side effects (a watchdog device starts its
// countdown when opened).
class WatchStream {
 public:
  WatchStream() = default;
  WatchStream(const WatchStream&) = delete;
  WatchStream& operator=(const WatchStream&) = delete;

  // Opens path read-only. A symbolic link at the path is followed only
  // with follow_links; without it the link itself is looked at (ViaLink()
  // and NotAFile() true, the stream closed). True when it was opened, and
  // also when the path names something other than a regular file or a
  // FIFO: the stream then stays closed and NotAFile() is true. False (errno
  // set) when nothing could be looked at. What Found() and ViaLink() tell
  // comes from the descriptor that is read, never from an earlier look at
  // the path, so the path cannot be switched in between.
  bool Open(const std::string& path, bool follow_links = true);
  void Close();
  bool IsOpen() const { return fd_.valid(); }
  // The last Open found neither a regular file nor a FIFO.
  bool NotAFile() const { return not_a_file_; }
  // What the last successful Open found (also when NotAFile()).
  const struct stat& Found() const { return found_; }
  // The path was a symbolic link when the last successful Open ran.
  bool ViaLink() const { return via_link_; }
  int fd() const { return fd_.get(); }
  dev_t device() const { return dev_; }
  ino_t inode() const { return ino_; }
  // Size of the open file (seek to its end); -1 on error.
  int64_t Size() const;

 private:
  UniqueFd fd_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  bool not_a_file_ = false;
  bool via_link_ = false;
  struct stat found_ = {};
};

// What the watch pass and the mail side last found for an entry; the status
// page shows it. Texts are EUC-JP.
struct WatchStatus {
  enum class FileState { kNotYetLooked, kReading, kMissing, kRefused };
  enum class MailResult { kNone, kQueued, kSent, kFailed };
  enum class CommandResult { kNone, kStarted, kSkipped, kFailed };

  FileState File = FileState::kNotYetLooked;
  std::string FileReason;     // why the file is refused
  std::time_t LastFired = 0;  // 0: never
  MailResult Mail = MailResult::kNone;
  std::string MailDetail;  // the failing step and the server's reply
  CommandResult Command = CommandResult::kNone;
  std::string CommandDetail;  // why the command failed or was skipped
  std::chrono::steady_clock::time_point
      QuietUntil{};  // end of the entry's quiet period; the clock's epoch when none
};

// The optional rules of a watch entry: the watch list's columns after
// Command. An entry whose rules are all at their defaults matches and acts
// as one without them.
struct WatchRules {
  enum class Mode { kWords, kRegex };
  enum class Encoding { kAuto, kShiftJis };

  std::string ExcludeString;  // words as in SearchString: a line holding any does not match
  Mode MatchMode = Mode::kWords;
  bool IgnoreCase = false;  // ASCII letters match in either case
  int32_t Window = 0;       // seconds the count looks back; 0: since the last trigger
  int32_t Quiet = 0;        // seconds after a trigger in which further triggers are held back
  Encoding LogEncoding = Encoding::kAuto;

  bool operator==(const WatchRules&) const = default;
  bool IsDefault() const { return *this == WatchRules(); }
};

struct TWatchFile {
  std::string FileName;
  WatchStream Stream;
  int64_t LastSize = 0;
  int64_t CurrentSize = 0;
  std::string SearchString;
  int32_t SearchCount = 0;
  int32_t HitCount = 0;
  std::string MailAddress;
  std::string Command;
  WatchRules Rules;
  WatchStatus Status;
};

using WatchTable = std::vector<std::shared_ptr<TWatchFile>>;

// What binding an entry to its file found: the entry's state as it can be
// shown to an administrator.
struct EntryBinding {
  enum class State {
    kRead,      // open and measured: what is appended from now on is read
    kMissing,   // nothing at the path, or the path cannot be looked up
    kNotAFile,  // a directory, device or socket: never opened, never read
    kRefused,   // there, but it could not be opened
  };
  State state = State::kMissing;
  std::string reason;      // for kMissing and kRefused: the system's error text
  int64_t bytes_read = 0;  // the entry's LastSize: bytes taken as examined
  int64_t size = 0;        // the entry's CurrentSize: the file's size when measured
};

// Binds entry to the file at its FileName and measures it at its current
// end, so that only text appended from now on is examined: closes the old
// stream, opens the new one through WatchStream::Open (a regular file or a
// FIFO only; a symbolic link only with follow_links) and sets LastSize and CurrentSize to the
// file's size, or to 0 when it is not read. The caller decides what each state means to it.
EntryBinding BindEntry(TWatchFile& entry, bool follow_links = true);

}  // namespace sl

#endif
