#include "discovery/udp_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

namespace sl {

namespace {
// The server whose listener runs on this thread, if any.
thread_local const TUDPServer* serving_server = nullptr;
}  // namespace

// Throws only when run from its own handler, a misuse that ends the program.
TUDPServer::~TUDPServer() { SetActive(false); }  // NOLINT(bugprone-exception-escape)

void TUDPServer::SetActive(bool active) {
  if (serving_server == this) {
    // Stopping would wait for this very thread.
    throw std::logic_error("TUDPServer: SetActive from its own handler");
  }
  MutexLock lock(control_mutex_);
  if (active == active_.load()) return;
  if (active) {
    Start();
  } else {
    Stop();
  }
}

void TUDPServer::Start() {
  if (Bindings.Empty()) {
    TSocketHandle& binding = Bindings.Add();
    binding.IP = "0.0.0.0";
    binding.Port = DefaultPort;
  }
  if (!wake_.Open()) throw ESocketError(errno);
  stopping_ = false;
  try {
    for (size_t i = 0; i < Bindings.Count(); ++i) {
      Bindings[i].AllocateSocket(SOCK_DGRAM);
      Bindings[i].Bind();
    }
    current_ = &Bindings[0];
    current_->SetSockOpt(SOL_SOCKET, SO_BROADCAST, BroadcastEnabled ? -1 : 0);
    listener_ = std::thread(&TUDPServer::ListenLoop, this, OnUDPRead,
                            static_cast<size_t>(std::max(BufferSize, 1)));
  } catch (...) {
    for (size_t i = 0; i < Bindings.Count(); ++i) Bindings[i].CloseSocket();
    current_ = nullptr;
    wake_.Close();
    throw;
  }
  active_ = true;
}

void TUDPServer::Stop() {
  stopping_ = true;
  wake_.Signal();
  listener_.join();
  for (size_t i = 0; i < Bindings.Count(); ++i) Bindings[i].CloseSocket();
  wake_.Close();
  current_ = nullptr;
  active_ = false;
}

void TUDPServer::ListenLoop(UDPReadHook handler, size_t buffer_size) {
  serving_server = this;
  std::vector<char> buffer(buffer_size);
  std::vector<pollfd> fds;
  for (size_t i = 0; i < Bindings.Count(); ++i) {
    fds.push_back({Bindings[i].Handle(), POLLIN, 0});
  }
  fds.push_back({wake_.fd(), POLLIN, 0});
  for (;;) {
    for (pollfd& p : fds) p.revents = 0;
    int n = poll(fds.data(), fds.size(), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // cannot happen with valid descriptors
    }
    if (fds.back().revents != 0) return;
    for (size_t i = 0; i + 1 < fds.size(); ++i) {
      if (stopping_) return;
      if (fds[i].revents == 0) continue;
      TSocketHandle& binding = Bindings[i];
      try {
        size_t got = binding.RecvFrom(buffer.data(), buffer.size());
        if (handler) handler(*this, std::string_view(buffer.data(), got), binding);
      } catch (...) {
        // A failed receive or a failing handler costs this datagram only.
      }
    }
  }
}

}  // namespace sl
