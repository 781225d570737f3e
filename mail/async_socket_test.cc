#include "mail/async_socket.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/mutex.h"
#include "mail/msg_queue.h"
#include "mail/test_peers.h"

namespace sl {
namespace {

using namespace std::chrono_literals;

TEST(MsgQueueTest, MessagesWaitInOrderAndSignalWhileQueued) {
  TMsgQueue queue;
  EXPECT_FALSE(queue.Signalled());
  for (int i = 0; i < 5; ++i) queue.Post(WM_SOCK_USER, i, -i);
  EXPECT_EQ(queue.Size(), 5u);
  TClassMsg msg;
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(queue.Signalled());
    ASSERT_TRUE(queue.Peek(&msg));
    EXPECT_EQ(msg.Msg, WM_SOCK_USER);
    EXPECT_EQ(msg.WParam, i);
    EXPECT_EQ(msg.LParam, -i);
  }
  EXPECT_FALSE(queue.Signalled());
  EXPECT_FALSE(queue.Peek(&msg));
}

TEST(MsgQueueTest, WaitWakesOnAPostFromAnotherThreadAndStopsOnQuit) {
  TMsgQueue queue;
  std::thread poster([&queue] {
    std::this_thread::sleep_for(20ms);
    queue.Post(WM_SOCK_CONNECT, 7);
    queue.Post(WM_QUIT);
  });
  TClassMsg msg;
  EXPECT_TRUE(queue.Wait(&msg));
  EXPECT_EQ(msg.WParam, 7);
  EXPECT_FALSE(queue.Wait(&msg));
  poster.join();
}

TEST(MsgQueueTest, WaitUntilGivesUpAtTheDeadline) {
  TMsgQueue queue;
  TClassMsg msg;
  auto start = TMsgQueue::Clock::now();
  EXPECT_FALSE(queue.WaitUntil(start + 50ms, &msg));
  EXPECT_GE(TMsgQueue::Clock::now() - start, 50ms);
  queue.Post(1);
  EXPECT_TRUE(queue.WaitUntil(TMsgQueue::Clock::now() + 1s, &msg));
}

TEST(SocketResolveTest, AddressPortAndProtocolAreChecked) {
  EXPECT_EQ(SocketResolvePort("smtp", "tcp"), 25);
  EXPECT_EQ(SocketResolvePort("2525", "tcp"), 2525);
  EXPECT_EQ(SocketResolveProto("tcp"), IPPROTO_TCP);
  EXPECT_EQ(SocketResolveHost("127.0.0.1").s_addr, htonl(INADDR_LOOPBACK));
  auto message = [](auto f) {
    try {
      f();
    } catch (const ESocketException& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([] { SocketResolveHost("999.1.1.1"); }),
            "SocketResolveHost: '999.1.1.1' Invalid IP address.");
  EXPECT_EQ(message([] { SocketResolveHost(""); }), "SocketResolveHost: '' Invalid Hostname.");
  EXPECT_EQ(message([] { SocketResolvePort("", "tcp"); }), "SocketResolvePort: Invalid Port.");
  EXPECT_EQ(message([] { SocketResolvePort("70000", "tcp"); }), "SocketResolvePort: Invalid Port.");
  EXPECT_EQ(message([] {
              SocketResolvePort("no-such-service", "tcp");
            }).rfind("SocketResolvePort: Cannot convert port 'no-such-service', Error #", 0),
            0u);
  EXPECT_EQ(message([] { SocketResolveProto(""); }), "SocketResolveProto: Invalid Protocol.");
}

// Collects a socket's events for a test that waits for them.
struct EventLog {
  Mutex mu;
  CondVar cv;
  std::vector<std::string> events GUARDED_BY(mu);
  std::string received GUARDED_BY(mu);

  void Add(const std::string& e) {
    MutexLock lock(mu);
    events.push_back(e);
    cv.SignalAll();
  }
  bool WaitFor(const std::string& e) {
    MutexLock lock(mu);
    return cv.WaitFor(mu, 5s, [&] {
      mu.AssertHeld();
      return std::find(events.begin(), events.end(), e) != events.end();
    });
  }
};

void Wire(TAsyncSocket& socket, EventLog& log) {
  socket.OnSessionConnected = [&log](TAsyncSocket::SessionId, int error) {
    log.Add("connected " + std::to_string(error));
  };
  socket.OnSessionClosed = [&log](TAsyncSocket::SessionId, int error) {
    log.Add("closed " + std::to_string(error));
  };
  socket.OnDataSent = [&log](TAsyncSocket::SessionId, int) { log.Add("sent"); };
  socket.OnDataAvailable = [&socket, &log](TAsyncSocket::SessionId, int) {
    char buf[64];
    int n = socket.Receive(buf, sizeof(buf));
    if (n > 0) {
      MutexLock lock(log.mu);
      log.received.append(buf, static_cast<size_t>(n));
    }
    log.Add("data");
  };
}

TEST(AsyncSocketTest, RefusedConnectReportsTheErrorAndCloses) {
  testing::ClosedPort closed;
  EventLog log;
  TAsyncSocket socket;
  Wire(socket, log);
  socket.SetAddr("127.0.0.1");
  socket.SetPort(std::to_string(closed.port()));
  socket.Connect();
  ASSERT_TRUE(log.WaitFor("connected 111"));
  EXPECT_EQ(socket.State(), wsClosed);
  EXPECT_EQ(socket.LastError(), 111);
}

TEST(AsyncSocketTest, ExchangesDataAndReportsThePeersClose) {
  testing::ScriptedServer server([](testing::PeerConnection& peer) {
    auto line = peer.ReadLine();
    peer.Send("echo " + line.value_or("?"));
    peer.Close();
  });
  EventLog log;
  TAsyncSocket socket;
  Wire(socket, log);
  socket.SetAddr("127.0.0.1");
  socket.SetPort(server.PortText());
  TAsyncSocket::SessionId session = socket.Connect();
  EXPECT_NE(session, 0u);
  ASSERT_TRUE(log.WaitFor("connected 0"));
  EXPECT_EQ(socket.State(), wsConnected);
  try {
    socket.SetPort("25");
    ADD_FAILURE() << "port changed on an open socket";
  } catch (const ESocketException& e) {
    EXPECT_STREQ(e.what(), "Cannot change Port if not closed");
  }
  EXPECT_THROW(socket.Connect(), ESocketException);
  EXPECT_EQ(socket.SendText("hello\r\n"), 7);
  ASSERT_TRUE(log.WaitFor("sent"));
  ASSERT_TRUE(log.WaitFor("closed 0"));
  EXPECT_EQ(socket.State(), wsClosed);
  MutexLock lock(log.mu);
  EXPECT_EQ(log.received, "echo hello\r\n");
  EXPECT_EQ(socket.SendText("late"), -1);
}

TEST(AsyncSocketTest, CloseEndsTheSessionAtOnceAndAllowsAReconnect) {
  testing::ScriptedServer server([](testing::PeerConnection& peer) { peer.StaySilent(3000); }, 2);
  EventLog log;
  TAsyncSocket socket;
  Wire(socket, log);
  socket.SetAddr("127.0.0.1");
  socket.SetPort(server.PortText());
  TAsyncSocket::SessionId first = socket.Connect();
  ASSERT_TRUE(log.WaitFor("connected 0"));
  socket.Close();
  EXPECT_EQ(socket.State(), wsClosed);
  TAsyncSocket::SessionId second = socket.Connect();
  EXPECT_NE(first, second);
  ASSERT_TRUE(log.WaitFor("closed 0"));
  socket.Close();
}

TEST(AsyncSocketTest, DnsLookupOfAnEmptyNameFails) {
  TAsyncSocket socket;
  int reported = -1;
  socket.OnDnsLookupDone = [&reported](int error) { reported = error; };
  EXPECT_EQ(socket.DnsLookup(""), 22);
  EXPECT_EQ(reported, 22);
  EXPECT_EQ(socket.LastErrorMsg(), "DNS lookup: invalid host name.");
  EXPECT_EQ(socket.DnsLookup("127.0.0.1"), 0);
  EXPECT_EQ(socket.DnsResult(), "127.0.0.1");
}

}  // namespace
}  // namespace sl
