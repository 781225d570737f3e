// scanlantern-console: finds the agents of a network, reads and replaces
// their watch lists and shows their status, from the command line.
#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "console/commands.h"
#include "console/host_port.h"

namespace {

constexpr char kUsage[] =
    "usage: scanlantern-console discover [--timeout S] [--broadcast ADDR] [--json]\n"
    "       scanlantern-console get HOST[:PORT] [FILE] [--raw] [--credentials FILE]\n"
    "       scanlantern-console put HOST[:PORT] FILE [--raw] [--credentials FILE]\n"
    "       scanlantern-console status HOST[:PORT]... [--credentials FILE]\n"
    "       scanlantern-console --help | --version\n"
    "\n"
    "discover  asks every agent on the network (the broadcast address, default\n"
    "          255.255.255.255) and lists address and host name of each that answers\n"
    "          within the time-out (default 2 s); --json prints a JSON array\n"
    "get       the watch list of an agent, in UTF-8 (--raw: as the agent sends it),\n"
    "          to FILE or to standard output\n"
    "put       checks the watch list in FILE (UTF-8; --raw: the agent's own codes)\n"
    "          and, when it has no problem, makes it the agent's\n"
    "status    one line per agent: mail queue, last trigger, each file and its state\n"
    "\n"
    "The login comes from SCANLANTERN_USER and SCANLANTERN_PASSWORD, or from\n"
    "--credentials FILE (two lines, user and password; mode 0600 or stricter).\n"
    "Exit status: 0 success, 1 refused by the agent (or a list with problems),\n"
    "2 bad usage, 3 an agent that cannot be reached.\n";

int Usage(const std::string& problem) {
  std::cerr << "scanlantern-console: " << problem << "\n" << kUsage;
  return sl::kExitUsage;
}

// Seconds with at most three decimals, more than 0 and at most 3600.
bool ParseSeconds(std::string_view text, std::chrono::milliseconds* out) {
  int64_t ms = 0;
  int decimals = -1;
  for (char c : text) {
    if (c == '.' && decimals < 0) {
      decimals = 0;
    } else if (c >= '0' && c <= '9' && decimals < 3 && ms <= 3600000) {
      ms = ms * 10 + (c - '0');
      if (decimals >= 0) ++decimals;
    } else {
      return false;
    }
  }
  if (text.empty() || text == ".") return false;
  for (int d = decimals < 0 ? 0 : decimals; d < 3; ++d) ms *= 10;
  if (ms <= 0 || ms > 3600000) return false;
  *out = std::chrono::milliseconds(ms);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  sl::ConsoleOptions options;
  std::vector<std::string> words;
  bool timeout_given = false, broadcast_given = false, credentials_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return sl::kExitOk;
    } else if (arg == "--version") {
      std::cout << "scanlantern-console " << SL_VERSION << "\n";
      return sl::kExitOk;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--raw") {
      options.raw = true;
    } else if (arg == "--timeout") {
      if (!value(&text) || !ParseSeconds(text, &options.timeout)) {
        return Usage("--timeout takes seconds, more than 0 and at most 3600");
      }
      timeout_given = true;
    } else if (arg == "--broadcast") {
      in_addr address;
      if (!value(&options.broadcast) ||
          ::inet_pton(AF_INET, options.broadcast.c_str(), &address) != 1) {
        return Usage("--broadcast takes an IPv4 address");
      }
      broadcast_given = true;
    } else if (arg == "--credentials") {
      if (!value(&options.credentials_file) || options.credentials_file.empty()) {
        return Usage("--credentials takes a file");
      }
      credentials_given = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else {
      words.push_back(arg);
    }
  }
  if (words.empty()) return Usage("no command");
  const std::string command = words[0];
  const bool discover = command == "discover";
  if (!discover && (options.json || timeout_given || broadcast_given)) {
    return Usage("--json, --timeout and --broadcast belong to discover");
  }
  if (command != "get" && command != "put" && options.raw) {
    return Usage("--raw belongs to get and put");
  }
  if (discover && credentials_given) return Usage("discover needs no credentials");

  std::vector<sl::HostPort> agents;
  for (size_t i = 1; i < words.size() && !discover; ++i) {
    if (command != "status" && i > 1) break;  // get's and put's FILE
    sl::HostPort agent;
    std::string error;
    if (!sl::ParseHostPort(words[i], &agent, &error)) return Usage(error);
    agents.push_back(agent);
  }
  if (discover) {
    if (words.size() != 1) return Usage("discover takes no arguments");
    return sl::DiscoverCommand(options, std::cout, std::cerr);
  }
  if (command == "get") {
    if (words.size() < 2 || words.size() > 3) return Usage("get takes HOST and at most a FILE");
    return sl::GetCommand(options, agents[0], words.size() == 3 ? words[2] : "", std::cout,
                          std::cerr);
  }
  if (command == "put") {
    if (words.size() != 3) return Usage("put takes HOST and FILE");
    return sl::PutCommand(options, agents[0], words[2], std::cout, std::cerr);
  }
  if (command == "status") {
    if (agents.empty()) return Usage("status takes at least one HOST");
    return sl::StatusCommand(options, agents, std::cout, std::cerr);
  }
  return Usage("unknown command " + command);
}
