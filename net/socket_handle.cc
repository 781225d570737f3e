#include "net/socket_handle.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sl {

namespace {

// Fills addr from a dotted IPv4 text (empty: all addresses). False when the
// text is no IPv4 address.
bool MakeAddress(const std::string& ip, int32_t port, sockaddr_in* addr) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sin_family = AF_INET;
  addr->sin_port = htons(static_cast<uint16_t>(port));
  if (ip.empty()) {
    addr->sin_addr.s_addr = htonl(INADDR_ANY);
    return true;
  }
  return inet_pton(AF_INET, ip.c_str(), &addr->sin_addr) == 1;
}

std::string AddressText(const sockaddr_in& addr) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text));
  return text;
}

}  // namespace

void TSocketHandle::AllocateSocket(int type) {
  CloseSocket();
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) throw ESocketError(errno);
  fd_.Reset(fd);
}

void TSocketHandle::Adopt(int fd) { fd_.Reset(fd); }

void TSocketHandle::SetSockOpt(int level, int name, int32_t value) {
  if (setsockopt(fd_.get(), level, name, &value, sizeof(value)) != 0) {
    throw ESocketError(errno);
  }
}

bool TSocketHandle::TryBind(int32_t port, int* error_code) {
  sockaddr_in addr;
  if (!MakeAddress(IP, port, &addr)) {
    *error_code = EINVAL;
    return false;
  }
  if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    *error_code = errno;
    return false;
  }
  return true;
}

void TSocketHandle::Bind() {
  int error_code = 0;
  if (Port == 0 && ClientPortMin != 0 && ClientPortMax != 0) {
    if (ClientPortMin > ClientPortMax) {
      throw ESocketError(0, "Invalid Port Range (" + std::to_string(ClientPortMin) + " - " +
                                std::to_string(ClientPortMax) + ")");
    }
    bool bound = false;
    for (int32_t port = ClientPortMax; port >= ClientPortMin && !bound; --port) {
      bound = TryBind(port, &error_code);
    }
    if (!bound) {
      throw ESocketError(error_code, "Can not bind in port range (" +
                                         std::to_string(ClientPortMin) + " - " +
                                         std::to_string(ClientPortMax) + ")");
    }
  } else if (!TryBind(Port, &error_code)) {
    if (error_code == EADDRINUSE) {
      throw ESocketError(error_code, kAddressInUseText);
    }
    throw ESocketError(error_code);
  }
  UpdateBindingLocal();
}

void TSocketHandle::Listen(int backlog) {
  if (listen(fd_.get(), backlog) != 0) throw ESocketError(errno);
}

void TSocketHandle::UpdateBindingLocal() {
  sockaddr_in addr;
  socklen_t len = sizeof(addr);
  if (getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
      addr.sin_family == AF_INET) {
    IP = AddressText(addr);
    Port = ntohs(addr.sin_port);
  }
}

void TSocketHandle::UpdateBindingPeer() {
  sockaddr_in addr;
  socklen_t len = sizeof(addr);
  if (getpeername(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
      addr.sin_family == AF_INET) {
    PeerIP = AddressText(addr);
    PeerPort = ntohs(addr.sin_port);
  }
}

void TSocketHandle::SetPeer(const sockaddr_in& addr) {
  if (addr.sin_family != AF_INET) return;
  PeerIP = AddressText(addr);
  PeerPort = ntohs(addr.sin_port);
}

bool TSocketHandle::Readable(int timeout_ms) const {
  pollfd p = {fd_.get(), POLLIN, 0};
  int n;
  do {
    n = poll(&p, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw ESocketError(errno);
  return n > 0;
}

size_t TSocketHandle::RecvFrom(char* buffer, size_t size) {
  sockaddr_in addr;
  socklen_t len = sizeof(addr);
  ssize_t n;
  do {
    n = recvfrom(fd_.get(), buffer, size, 0, reinterpret_cast<sockaddr*>(&addr), &len);
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw ESocketError(errno);
  if (len >= sizeof(sockaddr_in) && addr.sin_family == AF_INET) {
    PeerIP = AddressText(addr);
    PeerPort = ntohs(addr.sin_port);
  } else {
    PeerIP.clear();
    PeerPort = 0;
  }
  return static_cast<size_t>(n);
}

void TSocketHandle::SendTo(const std::string& ip, int32_t port, const char* buffer, size_t count) {
  sockaddr_in addr;
  if (!MakeAddress(ip, port, &addr)) throw ESocketError(EINVAL);
  ssize_t n;
  do {
    n = sendto(fd_.get(), buffer, count, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
               sizeof(addr));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EMSGSIZE) throw ESocketError(EMSGSIZE, "Package Size Too Big.");
    throw ESocketError(errno);
  }
  if (static_cast<size_t>(n) < count) {
    throw ESocketError(0, "Not all bytes sent.");
  }
}

void TSocketHandle::CloseSocket() { fd_.Reset(); }

TSocketHandle& TSocketHandles::Add() {
  items_.push_back(std::make_unique<TSocketHandle>());
  TSocketHandle& handle = *items_.back();
  handle.Port = default_port_ != nullptr ? *default_port_ : 0;
  return handle;
}

}  // namespace sl
