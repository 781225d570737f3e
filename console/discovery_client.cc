#include "console/discovery_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "core/unique_fd.h"
#include "discovery/discovery_responder.h"

namespace sl {

namespace {

// Answers from this many addresses at most: forged sources cannot make the
// console grow without bound.
constexpr size_t kMaxAgents = 65536;

// Bytes of the valid UTF-8 character at text[i] of at least U+00A0, or 0.
size_t Utf8CharAt(std::string_view text, size_t i) {
  unsigned char b = static_cast<unsigned char>(text[i]);
  size_t n = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  uint32_t cp = b & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) {
    unsigned char c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  bool shortest = n == 2 || (n == 3 && cp >= 0x800) || (n == 4 && cp >= 0x10000);
  bool valid = cp >= 0xA0 && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
  return shortest && valid ? n : 0;
}

}  // namespace

std::string TerminalSafe(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    if (b >= 0x20 && b < 0x7F) {
      out += static_cast<char>(b);
      ++i;
    } else if (size_t n = b >= 0x80 ? Utf8CharAt(text, i) : 0; n > 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
      ++i;
    }
  }
  return out;
}

std::optional<std::string> HostNameOfAnswer(std::string_view datagram) {
  std::string_view greeting(kDiscoveryGreeting);
  if (datagram.substr(0, greeting.size()) != greeting) return std::nullopt;
  std::string_view name = datagram.substr(greeting.size());
  if (name.size() > kMaxAgentHostName) return std::nullopt;
  return TerminalSafe(name);
}

bool Discover(const std::string& broadcast, uint16_t port, std::chrono::milliseconds timeout,
              std::vector<Agent>* agents, std::string* error) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  if (::inet_pton(AF_INET, broadcast.c_str(), &to.sin_addr) != 1) {
    *error = "not an IPv4 address: " + broadcast;
    return false;
  }
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  int on = 1;
  if (!fd.valid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    *error = std::string("cannot open a UDP socket: ") + std::strerror(errno);
    return false;
  }
  const std::string_view question(kDiscoveryQuestion);
  if (::sendto(fd.get(), question.data(), question.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to) != static_cast<ssize_t>(question.size())) {
    *error = "cannot send the question to " + broadcast + ": " + std::strerror(errno);
    return false;
  }

  std::map<uint32_t, Agent> found;  // by address in host order, so sorted
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[2048];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd p = {fd.get(), POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t got = ::recvfrom(fd.get(), buffer, sizeof buffer, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &from_len);
    // An answer comes from the agents' port; a datagram too long for the
    // buffer is no answer either.
    if (got < 0 || from.sin_family != AF_INET || ntohs(from.sin_port) != port) continue;
    std::optional<std::string> name = HostNameOfAnswer(std::string_view(buffer, got));
    if (!name || found.size() >= kMaxAgents) continue;
    char address[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
    found.try_emplace(ntohl(from.sin_addr.s_addr), Agent{address, *name});
  }
  agents->clear();
  for (auto& [key, agent] : found) agents->push_back(std::move(agent));
  return true;
}

}  // namespace sl
