// TSocketHandle and TSocketHandles: the IPv4 sockets the servers bind.
//
// A TSocketHandle is one socket with its local address (IP, Port), the
// address of its peer (PeerIP, PeerPort) and an optional port range for
// binding. It owns its descriptor and closes it when destroyed. The TCP and
// the UDP server keep their listening sockets in a TSocketHandles collection
// (their `Bindings`); a TCP connection keeps its accepted socket in one.
// Failing socket calls raise ESocketError, which carries errno and a fixed
// message text for it. Not thread-safe: each handle belongs to one thread at
// a time (the servers hand their bindings to their listener threads).
#ifndef SL_NET_SOCKET_HANDLE_H_
#define SL_NET_SOCKET_HANDLE_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/unique_fd.h"
#include "net/socket_errors.h"

namespace sl {

inline constexpr char kAddressInUseText[] =
    "Could not bind socket. Address and port are already in use.";

class TSocketHandle {
 public:
  TSocketHandle() = default;
  TSocketHandle(const TSocketHandle&) = delete;
  TSocketHandle& operator=(const TSocketHandle&) = delete;

  // Opens a socket (AF_INET, the given type, protocol 0), closing any socket
  // the handle had. Raises ESocketError.
  void AllocateSocket(int type);
  // Takes over a descriptor that is already open (an accepted socket).
  void Adopt(int fd);
  bool Allocated() const { return fd_.valid(); }
  int Handle() const { return fd_.get(); }

  // Sets a 32-bit socket option. Raises ESocketError.
  void SetSockOpt(int level, int name, int32_t value);
  // Binds to (IP, Port), or to the first free port of the range
  // ClientPortMax down to ClientPortMin when Port is 0 and both are set,
  // then reads the bound address back into IP and Port. A port in use
  // raises kAddressInUseText; other failures the socket error.
  void Bind();
  void Listen(int backlog);
  // Reads the local and the peer address of a connected socket into IP,
  // Port, PeerIP and PeerPort (a failed lookup leaves them as they are).
  void UpdateBindingLocal();
  void UpdateBindingPeer();
  // Sets PeerIP and PeerPort from an address accept(2) has already given.
  void SetPeer(const sockaddr_in& addr);

  // Waits up to timeout_ms (-1: without limit) until the socket is readable.
  bool Readable(int timeout_ms) const;

  // Receives one datagram into buffer (at most size bytes) and stores its
  // sender in PeerIP and PeerPort. Returns the number of bytes received.
  // Raises ESocketError.
  size_t RecvFrom(char* buffer, size_t size);
  // Sends one datagram. Raises "Package Size Too Big." when it is larger
  // than the socket allows, "Not all bytes sent." when it went out cut, and
  // the socket error otherwise.
  void SendTo(const std::string& ip, int32_t port, const char* buffer, size_t count);
  void SendTo(const std::string& ip, int32_t port, std::string_view data) {
    SendTo(ip, port, data.data(), data.size());
  }

  // Closes the socket (a no-op when none is open).
  void CloseSocket();

  std::string IP;    // local address, dotted IPv4; empty: all addresses
  int32_t Port = 0;  // local port
  std::string PeerIP;
  int32_t PeerPort = 0;
  int32_t ClientPortMin = 0;
  int32_t ClientPortMax = 0;

 private:
  bool TryBind(int32_t port, int* error_code);

  UniqueFd fd_;
};

// The bindings of a server. New entries get the owner's default port, which
// the collection reads when the entry is added.
class TSocketHandles {
 public:
  explicit TSocketHandles(const int32_t* default_port) : default_port_(default_port) {}
  TSocketHandles(const TSocketHandles&) = delete;
  TSocketHandles& operator=(const TSocketHandles&) = delete;

  // Adds an entry with an empty IP and Port := the default port.
  TSocketHandle& Add();
  void Clear() { items_.clear(); }
  size_t Count() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  TSocketHandle& operator[](size_t index) { return *items_[index]; }
  const TSocketHandle& operator[](size_t index) const { return *items_[index]; }

 private:
  const int32_t* default_port_;
  std::vector<std::unique_ptr<TSocketHandle>> items_;
};

}  // namespace sl

#endif
