#include "net/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>

#include "net/socket_errors.h"

namespace sl {

bool LooksLikeDottedAddress(const std::string& host) {
  if (host.empty()) return false;
  for (char c : host) {
    if (!(c >= '0' && c <= '9') && c != '.') return false;
  }
  return true;
}

int ResolveIPv4(const std::string& host, std::vector<in_addr>* addresses) {
  addresses->clear();
  if (host.empty()) return EINVAL;
  if (LooksLikeDottedAddress(host)) {
    in_addr addr{};
    if (inet_pton(AF_INET, host.c_str(), &addr) != 1) return EINVAL;
    addresses->push_back(addr);
    return 0;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (rc != 0) return ResolverError(rc);
  for (addrinfo* p = result; p != nullptr; p = p->ai_next) {
    addresses->push_back(reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr);
  }
  freeaddrinfo(result);
  return addresses->empty() ? kErrNoData : 0;
}

std::string CanonicalName(const std::string& host) {
  addrinfo hints{};
  hints.ai_flags = AI_CANONNAME;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  std::string canonical;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) == 0 && result != nullptr) {
    if (result->ai_canonname != nullptr) canonical = result->ai_canonname;
    freeaddrinfo(result);
  }
  return canonical;
}

}  // namespace sl
