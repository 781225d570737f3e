// HostPort: where the console finds one agent, from "name" or "name:port".
#ifndef SL_CONSOLE_HOST_PORT_H_
#define SL_CONSOLE_HOST_PORT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace sl {

// The agents' port for HTTP and for discovery.
inline constexpr uint16_t kAgentPort = 4009;

struct HostPort {
  std::string host;
  uint16_t port = kAgentPort;
  // "host" for the default port, else "host:port" (also the Host header).
  std::string ToString() const;
};

// Parses "name" or "name:port". The name is a host name or a dotted IPv4
// address (letters, digits, "-", "." and "_", at most 253 bytes); the port
// is decimal from 1 to 65535. False, with the reason in *error, for
// anything else.
bool ParseHostPort(std::string_view text, HostPort* out, std::string* error);

}  // namespace sl

#endif
