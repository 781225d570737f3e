// TUDPServer: receives datagrams on bound UDP sockets and hands each one to
// a handler.
//
// One listener thread serves all `Bindings`: it waits until a socket is
// readable, receives one datagram (cut to BufferSize bytes), stores the
// sender in the binding's PeerIP/PeerPort and calls OnUDPRead with the bytes
// and the binding, through which the handler answers (SendTo). Datagrams are
// handled one after another; an exception from the receive or the handler is
// dropped and the next datagram is served. Activation and stop belong to one
// controlling thread, never to the handler.
#ifndef SL_DISCOVERY_UDP_SERVER_H_
#define SL_DISCOVERY_UDP_SERVER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>
#include <thread>

#include "core/mutex.h"
#include "core/wake_signal.h"
#include "net/socket_handle.h"

namespace sl {

class TUDPServer {
 public:
  // data holds exactly one datagram and lives only for the call.
  using UDPReadHook =
      std::function<void(TUDPServer& sender, std::string_view data, TSocketHandle& binding)>;

  TUDPServer() = default;
  ~TUDPServer();  // stops first NOLINT(bugprone-exception-escape): see the definition
  TUDPServer(const TUDPServer&) = delete;
  TUDPServer& operator=(const TUDPServer&) = delete;

  // true: binds every binding (one on all addresses and DefaultPort when
  // there is none; no SO_REUSEADDR), applies BroadcastEnabled to the first
  // and starts the listener. A port in use raises ESocketError with
  // kAddressInUseText and leaves the server inactive. false: stops the
  // listener (at once; it waits on a wake-up descriptor besides the
  // sockets) and closes the sockets. Properties are read at activation,
  // and Bindings stay as they are while the server is active.
  void SetActive(bool active);
  bool Active() const { return active_.load(); }

  // The first binding while active, else nullptr.
  TSocketHandle* Binding() { return current_; }

  int32_t DefaultPort = 0;
  TSocketHandles Bindings{&DefaultPort};
  int32_t BufferSize = 8192;  // largest datagram delivered
  bool BroadcastEnabled = false;
  // The handler always runs on the listener thread: the service has no
  // main-thread message loop to hand it to. Kept for the owner's settings.
  bool ThreadedEvent = false;
  UDPReadHook OnUDPRead;

 private:
  void Start() REQUIRES(control_mutex_);
  void Stop() REQUIRES(control_mutex_);
  void ListenLoop(UDPReadHook handler, size_t buffer_size);

  Mutex control_mutex_;  // one SetActive at a time
  std::atomic<bool> active_{false};
  // Set before the listener starts and cleared after it has ended, so the
  // listener's handler reads it without the lock.
  TSocketHandle* current_ = nullptr;
  WakeSignal wake_;
  std::atomic<bool> stopping_{false};
  std::thread listener_ GUARDED_BY(control_mutex_);
};

}  // namespace sl

#endif
