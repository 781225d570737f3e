// The console's side of discovery: asks the network for agents and
// collects their answers.
//
// The question goes out as one datagram (a broadcast by default) to the
// agents' port; every agent answers from that port with the greeting and
// its host name. Anything else that arrives is ignored, and the host names
// are bounded and made safe for a terminal.
#ifndef SL_CONSOLE_DISCOVERY_CLIENT_H_
#define SL_CONSOLE_DISCOVERY_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sl {

// Longest host name an answer may carry.
inline constexpr size_t kMaxAgentHostName = 250;

struct Agent {
  std::string address;    // dotted IPv4, the answer's source
  std::string host_name;  // as TerminalSafe made it
};

// The host name of an agent's answer: the datagram must begin with the
// greeting and carry at most kMaxAgentHostName bytes after it. The name is
// returned as TerminalSafe makes it; nothing for any other datagram.
std::optional<std::string> HostNameOfAnswer(std::string_view datagram);

// text for a terminal: printable ASCII and valid UTF-8 characters from
// U+00A0 on stay; every other byte (controls, DEL, C1 controls, stray
// 8-bit bytes) is written as %XX.
std::string TerminalSafe(std::string_view text);

// Sends the question to broadcast:port and collects answers until timeout.
// The agents are sorted by address, each once (its first answer counts).
// False with the reason when the question cannot be sent.
bool Discover(const std::string& broadcast, uint16_t port, std::chrono::milliseconds timeout,
              std::vector<Agent>* agents, std::string* error);

}  // namespace sl

#endif
