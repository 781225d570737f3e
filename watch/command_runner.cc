#include "watch/command_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/event_log.h"
#include "core/unique_fd.h"
#include "watch/notify_composer.h"
#include "watch/texts_ja.h"

namespace sl {

CommandRunner::CommandRunner(std::string base_path, LogFunction log, StartFunction start)
    : base_path_(std::move(base_path)), log_(std::move(log)), start_(std::move(start)) {
  if (!start_) {
    start_ = [this](const CommandContext& context) { return Spawn(context); };
  }
}

CommandRunner::Result CommandRunner::Run(uint64_t owner, const CommandContext& context,
                                         const std::string& description) {
  auto running = [&] {
    auto it = running_.find(owner);
    return it == running_.end() ? 0 : it->second;
  };
  if (running() >= kMaxRunning) Reap();
  if (running() >= kMaxRunning) {
    ++skipped_[owner];
    return {WatchStatus::CommandResult::kSkipped, ja::kCommandsSkipped};
  }
  CommandStart started = start_(context);
  if (started.pid < 0 || started.error != 0) {
    log_(kEventSystemError, std::string(ja::kCommandFailed) + "\n" + description + "\n" +
                                ja::kCommandLabel + "\t" + context.Command + "\n" +
                                ja::kReasonLabel + "\t" + std::strerror(started.error));
    return {WatchStatus::CommandResult::kFailed, std::strerror(started.error)};
  }
  if (started.pid > 0) {
    children_[started.pid] = owner;
    ++running_[owner];
  }
  log_(kEventInformation, std::string(ja::kWatchCommandRun) + "\n" + description + "\n" +
                              ja::kCommandLabel + "\t" + context.Command);
  return {WatchStatus::CommandResult::kStarted, std::string()};
}

int CommandRunner::TakeSkipped(uint64_t owner) {
  auto it = skipped_.find(owner);
  if (it == skipped_.end()) return 0;
  int skipped = it->second;
  skipped_.erase(it);
  return skipped;
}

void CommandRunner::Reap() {
  for (auto it = children_.begin(); it != children_.end();) {
    int status;
    pid_t rc = ::waitpid(it->first, &status, WNOHANG);
    if (rc == 0 || (rc < 0 && errno == EINTR)) {
      ++it;
      continue;
    }
    // Ended (or no longer our child): its slot is free.
    auto owner = running_.find(it->second);
    if (owner != running_.end() && --owner->second <= 0) running_.erase(owner);
    it = children_.erase(it);
  }
}

std::vector<std::string> CommandRunner::CommandEnvironment(const CommandContext& context,
                                                           const std::string& host_name) {
  // An environment string ends at its first NUL byte, so a value does too.
  auto value = [](const std::string& text) { return text.substr(0, text.find('\0')); };
  return {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
          "LANG=C",
          "HOME=/root",
          "SCANLANTERN_FILE=" + value(context.FileName),
          "SCANLANTERN_WORDS=" + value(context.SearchString),
          "SCANLANTERN_COUNT=" + std::to_string(context.HitCount),
          "SCANLANTERN_LINE=" + value(context.Line.substr(0, kLineMax)),
          "SCANLANTERN_HOST=" + value(host_name)};
}

int CommandRunner::OpenOutput(const CommandContext& context) const {
  // Readable by root and the administrators' group, like the event log.
  const std::string out_path = base_path_ + "./log/command.out";
  int fd = ::open(out_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd >= 0) {
    std::string heading = FormatTimestamp(std::time(nullptr)) + " " + context.FileName + "\n";
    if (::write(fd, heading.data(), heading.size()) < 0) {
      // The command runs all the same; its output may still find room.
    }
  }
  return fd;
}

CommandStart CommandRunner::Spawn(const CommandContext& context) {
  // The shell runs the command as system(command + " &") would, but as our
  // own child, so that it can be counted and reaped.
  UniqueFd out(OpenOutput(context));
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out.valid()) {
    posix_spawn_file_actions_adddup2(&actions, out.get(), 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
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
  envp.reserve(env_strings.size() + 1);
  for (std::string& entry : env_strings) envp.push_back(entry.data());
  envp.push_back(nullptr);
  CommandStart started;
  int rc = posix_spawn(&started.pid, shell.c_str(), &actions, &attr, argv, envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return CommandStart{-1, rc};
  log_(kEventInformation, std::string(ja::kCommandStarted) + "\n" + context.Command);
  return started;
}

}  // namespace sl
