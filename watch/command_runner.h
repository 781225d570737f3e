// CommandRunner: the commands that triggered watch entries start, run in the
// background and are counted until they end.
//
// A command runs as "/bin/sh -c command", a child of the service: in "/",
// with standard input from /dev/null, its output appended to
// log/command.out below a heading with the time and the entry's file, and a
// fixed environment that tells it what fired (CommandEnvironment). The
// trigger's values reach it only as environment variables, never through
// the shell's parser. At most kMaxRunning commands of one entry run at once;
// a trigger beyond that skips its command and is counted, for one log entry
// a pass. Children are reaped by their own process ids (never waitpid(-1),
// which would take the status that others in the process wait for).
//
// Used by the watch pass alone, on one thread at a time.
#ifndef SL_WATCH_COMMAND_RUNNER_H_
#define SL_WATCH_COMMAND_RUNNER_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "settings/watch_file.h"

namespace sl {

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

class CommandRunner {
 public:
  // Starts a command without waiting for it.
  using StartFunction = std::function<CommandStart(const CommandContext& context)>;
  // Writes one event-log entry.
  using LogFunction = std::function<void(int32_t code, const std::string& detail)>;

  // Commands of one entry that may run at once.
  static constexpr int kMaxRunning = 16;
  // The longest line a command gets in SCANLANTERN_LINE.
  static constexpr size_t kLineMax = 4096;

  // base_path: the service's base directory (log/command.out lies below
  // it). An empty start means Spawn below.
  CommandRunner(std::string base_path, LogFunction log, StartFunction start = nullptr);
  CommandRunner(const CommandRunner&) = delete;
  CommandRunner& operator=(const CommandRunner&) = delete;

  // What became of one trigger's command, for the entry's status.
  struct Result {
    WatchStatus::CommandResult result = WatchStatus::CommandResult::kNone;
    std::string detail;  // why it failed or was skipped
  };
  // Starts the command of the entry `owner` for one trigger, or skips it
  // when kMaxRunning of the owner's still run, and logs which.
  // `description` is the match as the event log shows it.
  Result Run(uint64_t owner, const CommandContext& context, const std::string& description);

  // Commands of `owner` skipped since the last call.
  int TakeSkipped(uint64_t owner);

  // Forgets the children that have ended.
  void Reap();

  // Commands started and not reaped yet, of all owners.
  size_t Running() const { return children_.size(); }

  // The default start: the child described above; logs it when it started.
  CommandStart Spawn(const CommandContext& context);

  // The environment of a command, as "NAME=value" strings.
  static std::vector<std::string> CommandEnvironment(const CommandContext& context,
                                                     const std::string& host_name);

 private:
  // Appends the heading of a command's output to log/command.out; the
  // opened file, or -1 when it cannot be opened.
  int OpenOutput(const CommandContext& context) const;

  const std::string base_path_;
  LogFunction log_;
  StartFunction start_;
  std::unordered_map<pid_t, uint64_t> children_;  // running child to its owner
  std::unordered_map<uint64_t, int> running_;     // owner to its running children
  std::unordered_map<uint64_t, int> skipped_;     // owner to its skipped commands
};

}  // namespace sl

#endif
