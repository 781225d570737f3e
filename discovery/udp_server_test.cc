#include "discovery/udp_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "testing/test_support.h"

namespace sl {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

using Peer = testing::UdpPeer;

// What a handler saw, waited for by the test thread.
struct Seen {
  std::string data;
  std::string peer_ip;
  int32_t peer_port;
  int32_t local_port;
};

class Recorder {
 public:
  TUDPServer::UDPReadHook Hook() {
    return [this](TUDPServer&, std::string_view data, TSocketHandle& b) {
      MutexLock lock(mutex_);
      seen_.push_back({std::string(data), b.PeerIP, b.PeerPort, b.Port});
      changed_.SignalAll();
    };
  }
  // Waits until count calls were seen (at most three seconds).
  std::vector<Seen> WaitFor(size_t count) {
    MutexLock lock(mutex_);
    changed_.WaitFor(mutex_, std::chrono::seconds(3), [&] {
      mutex_.AssertHeld();
      return seen_.size() >= count;
    });
    return seen_;
  }

 private:
  Mutex mutex_;
  CondVar changed_;
  std::vector<Seen> seen_ GUARDED_BY(mutex_);
};

void BindLoopback(TUDPServer& server) {
  TSocketHandle& b = server.Bindings.Add();
  b.IP = "127.0.0.1";
  b.Port = 0;
}

TEST(UDPServerTest, DefaultBindingGetsAnEphemeralPort) {
  TUDPServer server;
  server.SetActive(true);
  ASSERT_EQ(server.Bindings.Count(), 1u);
  EXPECT_EQ(server.Bindings[0].IP, "0.0.0.0");
  EXPECT_GT(server.Bindings[0].Port, 0);
  EXPECT_EQ(server.Binding(), &server.Bindings[0]);
  server.SetActive(false);
  EXPECT_EQ(server.Binding(), nullptr);
}

TEST(UDPServerTest, DatagramsAreCutToBufferSizeAndMayBeEmpty) {
  TUDPServer server;
  BindLoopback(server);
  Recorder recorder;
  server.OnUDPRead = recorder.Hook();
  server.SetActive(true);
  Peer peer;
  std::string big(9000, 'b');
  big[8191] = 'L';
  peer.SendTo(server.Bindings[0].Port, big);
  peer.SendTo(server.Bindings[0].Port, "");
  peer.SendTo(server.Bindings[0].Port, std::string("a\0b", 3));
  std::vector<Seen> seen = recorder.WaitFor(3);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].data, big.substr(0, 8192));
  EXPECT_EQ(seen[1].data, "");
  EXPECT_EQ(seen[2].data, std::string("a\0b", 3));
  EXPECT_EQ(seen[0].peer_ip, "127.0.0.1");
  EXPECT_EQ(seen[0].peer_port, peer.port());
  EXPECT_EQ(seen[0].local_port, server.Bindings[0].Port);
  server.SetActive(false);
}

TEST(UDPServerTest, SendersAreAnsweredInTurn) {
  TUDPServer server;
  BindLoopback(server);
  server.OnUDPRead = [](TUDPServer&, std::string_view data, TSocketHandle& b) {
    b.SendTo(b.PeerIP, b.PeerPort, "to " + std::to_string(b.PeerPort) + ": " + std::string(data));
  };
  server.SetActive(true);
  const int port = server.Bindings[0].Port;
  Peer a;
  Peer b;
  a.SendTo(port, "from a");
  b.SendTo(port, "from b");
  std::string got;
  int from = 0;
  ASSERT_TRUE(a.Receive(&got, &from));
  EXPECT_EQ(got, "to " + std::to_string(a.port()) + ": from a");
  EXPECT_EQ(from, port);
  ASSERT_TRUE(b.Receive(&got, &from));
  EXPECT_EQ(got, "to " + std::to_string(b.port()) + ": from b");
  server.SetActive(false);
}

TEST(UDPServerTest, FailingHandlerDoesNotStopTheServer) {
  TUDPServer server;
  BindLoopback(server);
  server.OnUDPRead = [](TUDPServer&, std::string_view data, TSocketHandle& b) {
    if (data == "throw") throw std::runtime_error("handler failed");
    b.SendTo(b.PeerIP, b.PeerPort, "ok");
  };
  server.SetActive(true);
  Peer peer;
  peer.SendTo(server.Bindings[0].Port, "throw");
  peer.SendTo(server.Bindings[0].Port, "fine");
  std::string got;
  ASSERT_TRUE(peer.Receive(&got));
  EXPECT_EQ(got, "ok");
  server.SetActive(false);
}

TEST(UDPServerTest, SendToReportsOversizedDatagrams) {
  TSocketHandle h;
  h.AllocateSocket(SOCK_DGRAM);
  h.IP = "127.0.0.1";
  h.Bind();
  try {
    h.SendTo("127.0.0.1", h.Port, std::string(70000, 'x'));
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Package Size Too Big.");
  }
}

TEST(UDPServerTest, SecondBindOfThePortFails) {
  TUDPServer first;
  BindLoopback(first);
  first.SetActive(true);
  TUDPServer second;
  TSocketHandle& b = second.Bindings.Add();
  b.IP = "127.0.0.1";
  b.Port = first.Bindings[0].Port;
  try {
    second.SetActive(true);
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(second.Active());
  EXPECT_FALSE(second.Bindings[0].Allocated());
  // The same port on all addresses collides as well.
  TUDPServer third;
  third.DefaultPort = first.Bindings[0].Port;
  EXPECT_THROW(third.SetActive(true), ESocketError);
}

TEST(UDPServerTest, StopReturnsPromptlyWithoutTraffic) {
  TUDPServer server;
  BindLoopback(server);
  BindLoopback(server);
  server.SetActive(true);
  std::this_thread::sleep_for(milliseconds(50));
  auto start = steady_clock::now();
  server.SetActive(false);
  EXPECT_LT(steady_clock::now() - start, milliseconds(1200));
  EXPECT_FALSE(server.Bindings[0].Allocated());
  EXPECT_FALSE(server.Bindings[1].Allocated());
  // And it can be opened again on the same ports.
  server.SetActive(true);
  server.SetActive(false);
}

TEST(UDPServerTest, EveryBindingIsServed) {
  TUDPServer server;
  BindLoopback(server);
  BindLoopback(server);
  Recorder recorder;
  server.OnUDPRead = recorder.Hook();
  server.SetActive(true);
  Peer peer;
  peer.SendTo(server.Bindings[1].Port, "second");
  peer.SendTo(server.Bindings[0].Port, "first");
  std::vector<Seen> seen = recorder.WaitFor(2);
  ASSERT_EQ(seen.size(), 2u);
  for (const Seen& s : seen) {
    EXPECT_EQ(s.local_port, server.Bindings[s.data == "first" ? 0 : 1].Port);
  }
  server.SetActive(false);
}

TEST(UDPServerTest, HandlerCannotStopItsOwnServer) {
  TUDPServer server;
  BindLoopback(server);
  std::string outcome;
  server.OnUDPRead = [&](TUDPServer& s, std::string_view, TSocketHandle& b) {
    try {
      s.SetActive(false);
      outcome = "stopped";
    } catch (const std::logic_error&) {
      outcome = "refused";
    }
    b.SendTo(b.PeerIP, b.PeerPort, "done");
  };
  server.SetActive(true);
  Peer peer;
  peer.SendTo(server.Bindings[0].Port, "x");
  std::string got;
  ASSERT_TRUE(peer.Receive(&got));
  server.SetActive(false);
  EXPECT_EQ(outcome, "refused");
}

}  // namespace
}  // namespace sl
