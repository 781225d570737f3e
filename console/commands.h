// The console's commands: discover, get, put and status.
//
// Each command writes its results to `out` and its errors to `err` and
// returns the program's exit status: 0 success, 1 a request the agent
// refused (or a watch list with problems), 2 bad usage (and files or
// credentials the console cannot use), 3 an agent that cannot be reached.
#ifndef SL_CONSOLE_COMMANDS_H_
#define SL_CONSOLE_COMMANDS_H_

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "console/host_port.h"

namespace sl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitUnreachable = 3;

struct ConsoleOptions {
  bool json = false;
  bool raw = false;
  std::chrono::milliseconds timeout{2000};
  std::string broadcast = "255.255.255.255";
  std::string credentials_file;  // empty: the environment
};

int DiscoverCommand(const ConsoleOptions& options, std::ostream& out, std::ostream& err);

// The agent's watch list, in UTF-8 unless options.raw, to `file` or (when
// it is empty) to out.
int GetCommand(const ConsoleOptions& options, const HostPort& agent, const std::string& file,
               std::ostream& out, std::ostream& err);

// Checks the watch list in `file` and, when it has no problem, makes it the
// agent's.
int PutCommand(const ConsoleOptions& options, const HostPort& agent, const std::string& file,
               std::ostream& out, std::ostream& err);

// One line per agent from its status; the exit status is the worst.
int StatusCommand(const ConsoleOptions& options, const std::vector<HostPort>& agents,
                  std::ostream& out, std::ostream& err);

}  // namespace sl

#endif
