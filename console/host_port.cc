#include "console/host_port.h"

namespace sl {

namespace {

bool IsNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

}  // namespace

std::string HostPort::ToString() const {
  return port == kAgentPort ? host : host + ":" + std::to_string(port);
}

bool ParseHostPort(std::string_view text, HostPort* out, std::string* error) {
  std::string_view name = text;
  uint32_t port = kAgentPort;
  size_t colon = text.find(':');
  if (colon != std::string_view::npos) {
    name = text.substr(0, colon);
    std::string_view digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) {
      *error = "bad port in \"" + std::string(text) + "\"";
      return false;
    }
    port = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') {
        *error = "bad port in \"" + std::string(text) + "\"";
        return false;
      }
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) {
      *error = "port out of range in \"" + std::string(text) + "\"";
      return false;
    }
  }
  if (name.empty() || name.size() > 253) {
    *error = "bad host name \"" + std::string(text) + "\"";
    return false;
  }
  for (char c : name) {
    if (!IsNameByte(c)) {
      *error = "bad host name \"" + std::string(text) + "\"";
      return false;
    }
  }
  out->host = std::string(name);
  out->port = static_cast<uint16_t>(port);
  return true;
}

}  // namespace sl
