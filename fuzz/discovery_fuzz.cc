// Fuzz target: the discovery datagram handler.
//
// The input is split into a datagram and a host name. DiscoveryReply must
// answer exactly the question, with the greeting and the host name; the
// responder's read handler, bound to a loopback socket whose peer is a
// socket of this program, must send that reply and nothing for any other
// datagram, and must never throw.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/event_log.h"
#include "discovery/discovery_responder.h"
#include "discovery/udp_server.h"
#include "net/socket_handle.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "discovery_fuzz: %s\n", what);
    std::abort();
  }
}

// Sockets and an event log that live for the whole run: a receiving socket
// that plays the console, and the responder's socket, both on 127.0.0.1.
struct Peers {
  Peers() {
    std::string templ =
        (std::filesystem::temp_directory_path() / "sl_discovery_fuzz_XXXXXX").string();
    Check(::mkdtemp(templ.data()) != nullptr, "mkdtemp failed");
    base = templ + "/";
    std::filesystem::create_directory(base + "log");
    log = std::make_unique<sl::EventLog>(base);

    console.AllocateSocket(SOCK_DGRAM);
    console.IP = "127.0.0.1";
    console.Bind();
    ::fcntl(console.Handle(), F_SETFL, ::fcntl(console.Handle(), F_GETFL) | O_NONBLOCK);

    binding.AllocateSocket(SOCK_DGRAM);
    binding.IP = "127.0.0.1";
    binding.Bind();
    binding.PeerIP = "127.0.0.1";
    binding.PeerPort = console.Port;
  }
  ~Peers() {
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
  }

  // The next datagram waiting at the console, if any.
  bool Receive(std::string* text) {
    char buf[70000];
    ssize_t n = ::recv(console.Handle(), buf, sizeof buf, 0);
    if (n < 0) return false;
    text->assign(buf, static_cast<size_t>(n));
    return true;
  }

  std::string base;
  std::unique_ptr<sl::EventLog> log;
  sl::TSocketHandle console;
  sl::TSocketHandle binding;
  sl::TUDPServer server;  // never activated: the handler only names its sender
};

Peers& ThePeers() {
  static Peers peers;
  return peers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string host = in.ConsumeRandomLengthString(300);
  const std::string datagram = in.ConsumeRemainingBytesAsString();
  const bool is_question = datagram == sl::kDiscoveryQuestion;

  std::optional<std::string> reply = sl::DiscoveryReply(datagram, host);
  Check(reply.has_value() == is_question, "reply given for the wrong datagram");
  if (reply) Check(*reply == sl::kDiscoveryGreeting + host, "reply is not greeting + host name");
  // The host name alone never makes an answer.
  Check(!sl::DiscoveryReply(host, datagram) || host == sl::kDiscoveryQuestion,
        "reply to a datagram that is not the question");

  Peers& peers = ThePeers();
  sl::DiscoveryResponder responder(*peers.log, [&host] { return host; });
  responder.Handler()(peers.server, datagram, peers.binding);
  std::string sent;
  bool got = peers.Receive(&sent);
  Check(got == is_question, "a datagram was sent for the wrong input, or none for the question");
  if (got) Check(sent == sl::kDiscoveryGreeting + host, "sent reply differs from DiscoveryReply");
  while (peers.Receive(&sent)) {
    Check(false, "more than one reply");
  }
  return 0;
}
