#include "web/tcp_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "core/mutex.h"
#include "testing/test_support.h"

namespace sl {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

using Client = testing::LoopbackClient;
using testing::WaitUntil;

// A connected pair of loopback TCP sockets: the test drives a
// TTCPConnection on one end and a plain client on the other.
struct SocketPair {
  SocketPair() {
    TSocketHandle listener;
    listener.AllocateSocket(SOCK_STREAM);
    listener.IP = "127.0.0.1";
    listener.Bind();
    listener.Listen(1);
    client = std::make_unique<Client>(listener.Port);
    int fd = accept(listener.Handle(), nullptr, nullptr);
    connection = std::make_unique<TTCPConnection>(fd);
  }
  std::unique_ptr<Client> client;
  std::unique_ptr<TTCPConnection> connection;
};

void BindLoopback(TTCPServer& server) {
  TSocketHandle& b = server.Bindings.Add();
  b.IP = "127.0.0.1";
  b.Port = 0;
}

// --- Reading --------------------------------------------------------------

TEST(TCPConnectionTest, LineEndsAndStrayCarriageReturns) {
  SocketPair p;
  p.client->Send("one\ntwo\r\nth\rree\r\r\n\nlast");
  p.client->ShutdownWrite();
  TTCPConnection& c = *p.connection;
  EXPECT_EQ(c.ReadLn(), "one");
  EXPECT_EQ(c.ReadLn(), "two");
  EXPECT_EQ(c.ReadLn(), "th\rree\r");
  EXPECT_EQ(c.ReadLn(), "");
  // A line the peer never ended is no line.
  EXPECT_THROW(c.ReadLn(), EClosedGracefully);
  EXPECT_FALSE(c.Connected());
}

TEST(TCPConnectionTest, OtherTerminatorKeepsCarriageReturn) {
  SocketPair p;
  p.client->Send("a\r|b||c\n|");
  EXPECT_EQ(p.connection->ReadLn("|"), "a\r");
  EXPECT_EQ(p.connection->ReadLn("||"), "b");
  EXPECT_EQ(p.connection->ReadLn("|"), "c\n");
}

TEST(TCPConnectionTest, LineLengthLimitAtTheEdge) {
  SocketPair p;
  TTCPConnection& c = *p.connection;
  const std::string full(16384, 'x');
  // 16384 bytes before the LF, and 16383 + CR before it: both accepted.
  p.client->Send(full + "\n" + full.substr(1) + "\r\n");
  EXPECT_EQ(c.ReadLn(), full);
  EXPECT_EQ(c.ReadLn(), full.substr(1));
  // One byte more fails, also with the CR counted.
  p.client->Send(full + "\r\n");
  try {
    c.ReadLn();
    FAIL() << "no error";
  } catch (const ELineTooLong& e) {
    EXPECT_STREQ(e.what(), "Max line length exceeded.");
  }
}

TEST(TCPConnectionTest, OverlongLineWithoutTerminatorFailsEarly) {
  SocketPair p;
  // No LF ever comes: the reader must not wait for it once the limit is
  // passed.
  p.client->Send(std::string(20000, 'y'));
  EXPECT_THROW(p.connection->ReadLn(), ELineTooLong);
}

TEST(TCPConnectionTest, SplitActionReturnsPieces) {
  SocketPair p;
  TTCPConnection& c = *p.connection;
  c.MaxLineAction = TMaxLineAction::Split;
  std::string line = std::string(16384, 'a') + std::string(16384, 'b') + "cc";
  p.client->Send(line + "\n");
  EXPECT_EQ(c.ReadLn(), std::string(16384, 'a'));
  EXPECT_EQ(c.ReadLn(), std::string(16384, 'b'));
  EXPECT_EQ(c.ReadLn(), "cc");
  // A smaller explicit maximum.
  p.client->Send("abcdefg\n");
  EXPECT_EQ(c.ReadLn("", -1, 3), "abc");
  EXPECT_EQ(c.ReadLn("", -1, 3), "def");
  EXPECT_EQ(c.ReadLn("", -1, 3), "g");
}

TEST(TCPConnectionTest, ReadUntilDelimiterUnstuffsAndBounds) {
  SocketPair p;
  TTCPConnection& c = *p.connection;
  p.client->Send("Host: a\r\n..dots\r\n.\r\n\r\nbody");
  std::vector<std::string> lines;
  c.ReadUntilDelimiter(lines, "");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Host: a");
  EXPECT_EQ(lines[1], ".dots");
  EXPECT_EQ(lines[2], ".");
  EXPECT_EQ(c.ReadString(4), "body");

  // Many short lines pass a byte bound that no single line reaches.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "X-Header: value\r\n";
  p.client->Send(many + "\r\n");
  lines.clear();
  EXPECT_THROW(c.ReadUntilDelimiter(lines, "", 1000), ELimitExceeded);
}

TEST(TCPConnectionTest, ExactAndUntilCloseReads) {
  SocketPair p;
  TTCPConnection& c = *p.connection;
  std::string body;
  for (int i = 0; i < 100000; ++i) body += static_cast<char>(i * 7);
  p.client->Send("LEN\n" + body + "tail-bytes");
  p.client->ShutdownWrite();
  EXPECT_EQ(c.ReadLn(), "LEN");
  const int64_t before = c.BytesConsumed();
  std::string got;
  c.ReadBytes(got, body.size());
  EXPECT_EQ(got, body);
  EXPECT_EQ(c.BytesConsumed() - before, static_cast<int64_t>(body.size()));
  std::string rest;
  c.ReadUntilClose(rest);
  EXPECT_EQ(rest, "tail-bytes");
  EXPECT_THROW(c.ReadString(1), EClosedGracefully);
}

TEST(TCPConnectionTest, ReadIntoStreamCountsAndLimits) {
  {
    SocketPair p;
    p.client->Send("0123456789abc");
    std::ostringstream out;
    p.connection->ReadIntoStream(out, 10);
    EXPECT_EQ(out.str(), "0123456789");
    // Announcing more than the bound fails before reading.
    EXPECT_THROW(p.connection->ReadIntoStream(out, 100, false, 50), ELimitExceeded);
  }
  {
    SocketPair p;
    p.client->Send(std::string(5000, 'z'));
    p.client->ShutdownWrite();
    std::ostringstream out;
    EXPECT_THROW(p.connection->ReadIntoStream(out, -1, true, 4096), ELimitExceeded);
  }
  {
    SocketPair p;
    p.client->Send("short");
    p.client->ShutdownWrite();
    std::ostringstream out;
    EXPECT_THROW(p.connection->ReadIntoStream(out, 10), EClosedGracefully);
  }
}

TEST(TCPConnectionTest, ReadTimeoutRaises) {
  SocketPair p;
  p.connection->ReadTimeout = 100;
  p.client->Send("partial");
  EXPECT_THROW(p.connection->ReadLn(), EReadTimeout);
  // The bytes already there are not lost.
  p.client->Send(" line\n");
  EXPECT_EQ(p.connection->ReadLn(), "partial line");
}

TEST(TCPConnectionTest, DeadlineAndLeastRateCutDrippingPeers) {
  {
    // A byte every 20 ms never lets a read time out, the deadline still
    // comes.
    SocketPair p;
    p.connection->ReadTimeout = 1000;
    p.connection->SetReadDeadline(steady_clock::now() + milliseconds(300));
    std::atomic<bool> done{false};
    std::thread drip([&] {
      while (!done) {
        p.client->Send("x");
        std::this_thread::sleep_for(milliseconds(20));
      }
    });
    EXPECT_THROW(p.connection->ReadLn(), EReadTimeout);
    done = true;
    drip.join();
  }
  {
    // 1000 bytes a second after 100 ms: 200 bytes at once buy 200 ms more,
    // then the silent peer is cut; the same bytes every 100 ms keep up.
    SocketPair p;
    p.connection->SetMinimumReadRate(100, 1000);
    p.client->Send(std::string(200, 'a'));
    auto start = steady_clock::now();
    EXPECT_THROW(p.connection->ReadString(201), EReadTimeout);
    EXPECT_GE(steady_clock::now() - start, milliseconds(250));
    p.connection->ClearReadLimits();
  }
  {
    SocketPair p;
    p.connection->SetMinimumReadRate(100, 1000);
    std::thread steady([&] {
      for (int i = 0; i < 5; ++i) {
        p.client->Send(std::string(150, 'b'));
        std::this_thread::sleep_for(milliseconds(100));
      }
    });
    EXPECT_EQ(p.connection->ReadString(750), std::string(750, 'b'));
    steady.join();
  }
}

TEST(TCPConnectionTest, AsciiFilterClearsHighBit) {
  SocketPair p;
  p.connection->ASCIIFilter = true;
  p.client->Send("\xC1\xE2\n");
  EXPECT_EQ(p.connection->ReadLn(), "Ab");
}

// --- Writing --------------------------------------------------------------

TEST(TCPConnectionTest, BufferedWritesGoOutOnFlush) {
  SocketPair p;
  TTCPConnection& c = *p.connection;
  c.BeginWriteBuffer();
  c.WriteLine("HTTP/1.1 200 OK");
  c.Write("X: y\r\n");
  std::istringstream s("stream-part");
  c.WriteFromStream(s);
  // Nothing left the process yet.
  char byte;
  EXPECT_EQ(recv(p.client->fd(), &byte, 1, MSG_DONTWAIT), -1);
  c.FlushWriteBuffer();
  c.Write("|direct");
  c.Disconnect();
  EXPECT_EQ(p.client->ReceiveAll(), "HTTP/1.1 200 OK\r\nX: y\r\nstream-part|direct");
  EXPECT_THROW(c.Write("x"), ENotConnected);
}

TEST(TCPConnectionTest, WriteFromStreamPiecesAndShortStreams) {
  SocketPair p;
  TTCPConnection& c = *p.connection;
  c.SendBufferSize = 1000;
  std::string data(10500, 'q');
  data[0] = 'A';
  data.back() = 'Z';
  std::istringstream s(data);
  s.seekg(300);
  c.WriteFromStream(s);  // whole stream: from position 0
  EXPECT_EQ(p.client->Receive(data.size()), data);
  std::istringstream tail("0123456789");
  tail.seekg(4);
  c.WriteFromStream(tail, 3, false);
  EXPECT_EQ(p.client->Receive(3), "456");
  std::istringstream shorter("abc");
  try {
    c.WriteFromStream(shorter, 10);
    FAIL() << "no error";
  } catch (const ETCPError& e) {
    EXPECT_STREQ(e.what(), "No data to read.");
  }
}

TEST(TCPConnectionTest, WriteFromFile) {
  SocketPair p;
  TTCPConnection& c = *p.connection;
  std::string path = ::testing::TempDir() + "tcp_server_test_file.bin";
  std::string content;
  for (int i = 0; i < 200000; ++i) content += static_cast<char>(i % 251);
  std::ofstream(path, std::ios::binary) << content;
  EXPECT_EQ(c.WriteFromFile(path), static_cast<int64_t>(content.size()));
  EXPECT_EQ(p.client->Receive(content.size()), content);

  // Buffered: the file joins what was collected before it.
  c.BeginWriteBuffer();
  c.Write("head:");
  c.WriteFromFile(path);
  c.FlushWriteBuffer();
  EXPECT_EQ(p.client->Receive(5 + content.size()), "head:" + content);
  std::remove(path.c_str());

  // A missing file, or a directory, fails before a byte is written.
  std::string missing = ::testing::TempDir() + "no such file";
  try {
    c.WriteFromFile(missing);
    FAIL() << "no error";
  } catch (const ETCPError& e) {
    EXPECT_EQ(std::string(e.what()), "File \"" + missing + "\" not found");
  }
  EXPECT_THROW(c.WriteFromFile(::testing::TempDir()), ETCPError);
  c.Disconnect();
  EXPECT_EQ(p.client->ReceiveAll(), "");
}

TEST(TCPConnectionTest, PeerAddressIsKnown) {
  SocketPair p;
  EXPECT_EQ(p.connection->PeerIP(), "127.0.0.1");
  EXPECT_GT(p.connection->PeerPort(), 0);
  EXPECT_EQ(p.connection->Socket().IP, "127.0.0.1");
}

// --- Server ---------------------------------------------------------------

// Echoes one line in upper case, then holds the connection until the
// client closes it.
void EchoUpper(TTCPConnection& c) {
  std::string line = c.ReadLn();
  for (char& ch : line) ch = static_cast<char>(toupper(ch));
  c.WriteLine(line);
  std::string rest;
  c.ReadUntilClose(rest);
}

TEST(TCPServerTest, DefaultBindingAndOneConnection) {
  TTCPServer server;
  server.DefaultPort = 0;
  std::string peer;
  server.OnExecute = [&peer](TTCPConnection& c) {
    peer = c.PeerIP();
    c.WriteLine("hello " + c.ReadLn());
  };
  server.SetActive(true);
  ASSERT_EQ(server.Bindings.Count(), 1u);
  EXPECT_EQ(server.Bindings[0].IP, "0.0.0.0");
  ASSERT_GT(server.Bindings[0].Port, 0);
  Client client(server.Bindings[0].Port);
  client.Send("world\r\n");
  // The connection is closed once the hook returns.
  EXPECT_EQ(client.ReceiveAll(), "hello world\r\n");
  server.SetActive(false);
  EXPECT_EQ(peer, "127.0.0.1");
  EXPECT_FALSE(server.Active());
}

TEST(TCPServerTest, ManySimultaneousConnections) {
  TTCPServer server;
  BindLoopback(server);
  // The clients connect faster than threads start; a backlog of 15 would
  // make the kernel drop SYNs and the clients retry a second later.
  server.ListenQueue = 256;
  server.OnExecute = EchoUpper;
  server.SetActive(true);
  const int32_t port = server.Bindings[0].Port;
  constexpr int kClients = 200;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(clients.back()->connected());
  }
  for (int i = 0; i < kClients; ++i) {
    clients[i]->Send("client " + std::to_string(i) + "\n");
  }
  for (int i = 0; i < kClients; ++i) {
    std::string want = "CLIENT " + std::to_string(i) + "\r\n";
    EXPECT_EQ(clients[i]->Receive(want.size()), want);
  }
  // Every one of them holds its own thread right now.
  EXPECT_EQ(server.ConnectionCount(), static_cast<size_t>(kClients));
  clients.clear();
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
  server.SetActive(false);
}

TEST(TCPServerTest, ThreadsThatCannotStartAreReported) {
  TTCPServer server;
  BindLoopback(server);
  std::atomic<int> starts{0};
  std::atomic<int> listen_errors{0};
  server.ThreadStarter = [&starts](std::function<void()> body) {
    // The first and the third start fail: the start of the server, then
    // the worker meant to wait while the first connection is served.
    int n = starts++;
    if (n == 0 || n == 2) {
      throw std::system_error(EAGAIN, std::generic_category(), "no thread for you");
    }
    return std::thread(std::move(body));
  };
  server.OnListenException = [&](const std::exception&) { ++listen_errors; };
  server.OnExecute = EchoUpper;
  EXPECT_THROW(server.SetActive(true), ETCPError);
  EXPECT_FALSE(server.Active());
  EXPECT_FALSE(server.Bindings[0].Allocated());
  server.SetActive(true);
  const int32_t port = server.Bindings[0].Port;
  {
    // Served all the same; the next one waits until this one is done.
    Client first(port);
    first.Send("first\n");
    EXPECT_EQ(first.Receive(7), "FIRST\r\n");
  }
  EXPECT_EQ(listen_errors.load(), 2);
  Client served(port);
  served.Send("second\n");
  EXPECT_EQ(served.Receive(8), "SECOND\r\n");
  served.ShutdownWrite();
  EXPECT_EQ(served.ReceiveAll(), "");
  server.SetActive(false);
}

TEST(TCPServerTest, ReadTimeoutFreesIdleConnection) {
  TTCPServer server;
  BindLoopback(server);
  server.ReadTimeout = 150;
  std::atomic<bool> timed_out{false};
  server.OnExecute = [](TTCPConnection& c) { c.ReadLn(); };
  server.OnException = [&](TTCPConnection&, const std::exception& e) {
    if (dynamic_cast<const EReadTimeout*>(&e) != nullptr) timed_out = true;
  };
  server.SetActive(true);
  Client idle(server.Bindings[0].Port);
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
  // The server gives up on the silent client and closes its side.
  EXPECT_EQ(idle.ReceiveAll(), "");
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
  EXPECT_TRUE(timed_out.load());
  server.SetActive(false);
}

TEST(TCPServerTest, StopCutsIdleConnectionsAtOnceAndBusyOnesInTime) {
  TTCPServer server;
  BindLoopback(server);
  server.TerminateWaitTime = 300;
  server.OnExecute = [](TTCPConnection& c) {
    // "wait" marks the connection as waiting for a request; anything else
    // is a request in progress that takes as long as the client's silence.
    c.SetIdle(c.ReadLn() == "wait");
    std::string rest;
    c.ReadUntilClose(rest);
  };
  server.SetActive(true);
  Client a(server.Bindings[0].Port);
  Client b(server.Bindings[0].Port);
  a.Send("wait\n");
  b.Send("wait\n");
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 2; }));
  auto start = steady_clock::now();
  server.SetActive(false);
  EXPECT_LT(steady_clock::now() - start, milliseconds(250));
  EXPECT_EQ(server.ConnectionCount(), 0u);
  EXPECT_EQ(a.ReceiveAll(), "");
  // Nothing listens any more.
  Client late(server.Bindings[0].Port);
  EXPECT_FALSE(late.connected());

  // A busy connection gets TerminateWaitTime, then its socket is shut down.
  server.SetActive(true);
  Client busy(server.Bindings[0].Port);
  busy.Send("work\n");
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 1; }));
  start = steady_clock::now();
  server.SetActive(false);
  EXPECT_GE(steady_clock::now() - start, milliseconds(300));
  EXPECT_EQ(server.ConnectionCount(), 0u);
}

TEST(TCPServerTest, StopAndDestructorLeaveThreadsThatDoNotEnd) {
  // Shared, since the thread outlives the server and may outlive the test.
  auto release = std::make_shared<std::atomic<bool>>(false);
  auto server = std::make_unique<TTCPServer>();
  BindLoopback(*server);
  server->TerminateWaitTime = 100;
  server->OnExecute = [release](TTCPConnection&) {
    // Ignores its connection entirely; ends when the test says so.
    WaitUntil([&release] { return release->load(); }, milliseconds(20000));
  };
  server->SetActive(true);
  Client client(server->Bindings[0].Port);
  ASSERT_TRUE(WaitUntil([&] { return server->ConnectionCount() == 1; }));
  auto start = steady_clock::now();
  try {
    server->SetActive(false);
    FAIL() << "no error";
  } catch (const ETCPError& e) {
    EXPECT_STREQ(e.what(), "Terminate Thread Timeout");
  }
  EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
  EXPECT_FALSE(server->Active());
  EXPECT_EQ(server->ConnectionCount(), 1u);
  // The destructor does not wait for it either; the thread keeps what it
  // uses and ends later.
  start = steady_clock::now();
  server.reset();
  EXPECT_LT(steady_clock::now() - start, milliseconds(500));
  *release = true;
}

TEST(TCPServerTest, PortInUseFailsWithItsText) {
  TTCPServer first;
  BindLoopback(first);
  first.SetActive(true);
  TTCPServer second;
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
  // A failed start of a second binding releases the first one too.
  TTCPServer third;
  BindLoopback(third);
  TSocketHandle& taken = third.Bindings.Add();
  taken.IP = "127.0.0.1";
  taken.Port = first.Bindings[0].Port;
  EXPECT_THROW(third.SetActive(true), ESocketError);
  EXPECT_FALSE(third.Bindings[0].Allocated());
}

TEST(TCPServerTest, TwoBindingsListenApartAndOneCanFail) {
  TTCPServer server;
  BindLoopback(server);
  BindLoopback(server);
  std::atomic<int> listen_errors{0};
  server.OnListenException = [&](const std::exception&) { ++listen_errors; };
  server.OnExecute = [](TTCPConnection& c) { c.WriteLine(std::to_string(c.Socket().Port)); };
  server.SetActive(true);
  const int32_t port0 = server.Bindings[0].Port;
  const int32_t port1 = server.Bindings[1].Port;
  ASSERT_NE(port0, port1);
  {
    Client a(port0);
    Client b(port1);
    EXPECT_EQ(a.ReceiveAll(), std::to_string(port0) + "\r\n");
    EXPECT_EQ(b.ReceiveAll(), std::to_string(port1) + "\r\n");
  }
  // Make accept fail on the first binding: its listener ends, the other
  // goes on serving.
  shutdown(server.Bindings[0].Handle(), SHUT_RDWR);
  EXPECT_TRUE(WaitUntil([&] { return listen_errors.load() == 1; }));
  Client c(port1);
  EXPECT_EQ(c.ReceiveAll(), std::to_string(port1) + "\r\n");
  server.SetActive(false);
}

TEST(TCPServerTest, HookExceptionsReachOnExceptionAndServingGoesOn) {
  TTCPServer server;
  BindLoopback(server);
  std::atomic<int> errors{0};
  std::atomic<int> disconnects{0};
  server.OnExecute = [](TTCPConnection& c) {
    if (c.ReadLn() == "boom") throw std::runtime_error("boom");
    c.WriteLine("fine");
  };
  server.OnException = [&](TTCPConnection&, const std::exception& e) {
    if (std::string(e.what()) == "boom") ++errors;
  };
  server.OnDisconnect = [&](TTCPConnection&) { ++disconnects; };
  server.SetActive(true);
  {
    Client a(server.Bindings[0].Port);
    a.Send("boom\n");
    EXPECT_EQ(a.ReceiveAll(), "");
  }
  Client b(server.Bindings[0].Port);
  b.Send("ok\n");
  EXPECT_EQ(b.ReceiveAll(), "fine\r\n");
  server.SetActive(false);
  EXPECT_EQ(errors.load(), 1);
  EXPECT_EQ(disconnects.load(), 2);
}

TEST(TCPServerTest, RestartAfterStop) {
  TTCPServer server;
  BindLoopback(server);
  server.OnExecute = [](TTCPConnection& c) { c.Write("up"); };
  for (int round = 0; round < 3; ++round) {
    server.SetActive(true);
    Client client(server.Bindings[0].Port);
    EXPECT_EQ(client.ReceiveAll(), "up");
    server.SetActive(false);
  }
}

// --- Thread reuse ------------------------------------------------------------

// A ThreadStarter that counts the threads it starts and those that ended.
// Declare it before the server: the threads use it until they end.
struct ThreadCounter {
  std::atomic<int> started{0};
  std::atomic<int> ended{0};
  TTCPServer::ThreadStartHook Starter() {
    return [this](std::function<void()> body) {
      ++started;
      return std::thread([this, body = std::move(body)] {
        body();
        ++ended;
      });
    };
  }
};

// The threads that ran OnExecute.
struct ThreadIds {
  Mutex mutex;
  std::vector<std::thread::id> ids GUARDED_BY(mutex);
  void Add() {
    MutexLock lock(mutex);
    ids.push_back(std::this_thread::get_id());
  }
  size_t Distinct() {
    MutexLock lock(mutex);
    return std::set<std::thread::id>(ids.begin(), ids.end()).size();
  }
  void Clear() {
    MutexLock lock(mutex);
    ids.clear();
  }
};

TEST(TCPServerTest, WorkersAreReusedAndOneAlwaysWaits) {
  ThreadCounter threads;
  ThreadIds ids;
  TTCPServer server;
  BindLoopback(server);
  server.ThreadStarter = threads.Starter();
  server.OnExecute = [&ids](TTCPConnection& c) {
    ids.Add();
    c.WriteLine("hi");
  };
  for (int round = 0; round < 2; ++round) {
    server.SetActive(true);
    for (int i = 0; i < 5; ++i) {
      {
        Client client(server.Bindings[0].Port);
        EXPECT_EQ(client.ReceiveAll(), "hi\r\n");
      }
      ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
    }
    // The worker that serves and the one that waits meanwhile.
    EXPECT_LE(ids.Distinct(), 2u);
    EXPECT_EQ(threads.started.load(), 2 * (round + 1));
    // The waiting threads would wait 30 s; stopping ends them at once.
    auto start = steady_clock::now();
    server.SetActive(false);
    EXPECT_LT(steady_clock::now() - start, milliseconds(1500));
    EXPECT_TRUE(WaitUntil([&] { return threads.ended.load() == threads.started.load(); }));
    ids.Clear();
  }
}

TEST(TCPServerTest, ConcurrentConnectionsKeepThreadsOfTheirOwn) {
  ThreadCounter threads;
  ThreadIds ids;
  TTCPServer server;
  BindLoopback(server);
  server.MaxIdleThreads = 2;
  server.TerminateWaitTime = 100;
  server.ThreadStarter = threads.Starter();
  server.OnExecute = [&ids](TTCPConnection& c) {
    ids.Add();
    EchoUpper(c);
  };
  server.SetActive(true);
  const int32_t port = server.Bindings[0].Port;
  constexpr int kClients = 3;
  {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.push_back(std::make_unique<Client>(port));
      clients.back()->Send("c" + std::to_string(i) + "\n");
    }
    // Every reply comes while all the connections are open.
    for (int i = 0; i < kClients; ++i) {
      EXPECT_EQ(clients[i]->Receive(4), "C" + std::to_string(i) + "\r\n");
    }
    EXPECT_EQ(server.ConnectionCount(), static_cast<size_t>(kClients));
    EXPECT_EQ(ids.Distinct(), static_cast<size_t>(kClients));
  }
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));
  // One more than the connections was started; two may go on waiting.
  EXPECT_EQ(threads.started.load(), kClients + 1);
  EXPECT_TRUE(WaitUntil([&] { return threads.started.load() - threads.ended.load() == 2; }))
      << threads.started.load() << " " << threads.ended.load();
  server.SetActive(false);
  EXPECT_TRUE(WaitUntil([&] { return threads.ended.load() == threads.started.load(); }));
}

TEST(TCPServerTest, IdleWorkerLeavesAfterItsTimeoutButOneStays) {
  ThreadCounter threads;
  TTCPServer server;
  BindLoopback(server);
  server.IdleThreadTimeout = 100;
  server.ThreadStarter = threads.Starter();
  server.OnExecute = [](TTCPConnection& c) { c.Write("up"); };
  server.SetActive(true);
  for (int i = 1; i <= 2; ++i) {
    Client client(server.Bindings[0].Port);
    EXPECT_EQ(client.ReceiveAll(), "up");
    // The server stays active; all but one waiting worker end on their own.
    EXPECT_TRUE(WaitUntil([&] { return threads.ended.load() == i; }));
    EXPECT_EQ(threads.started.load(), i + 1);
  }
  server.SetActive(false);
  EXPECT_TRUE(WaitUntil([&] { return threads.ended.load() == threads.started.load(); }));
}

TEST(TCPServerTest, ConnectionCapsRefuseAtOnceAndFreeUp) {
  TTCPServer server;
  BindLoopback(server);
  server.MaxConnections = 3;
  server.MaxConnectionsPerAddress = 2;
  server.TerminateWaitTime = 100;
  server.MaxConnectionReply = "busy\r\n";
  server.OnExecute = EchoUpper;
  server.SetActive(true);
  const int32_t port = server.Bindings[0].Port;
  auto a1 = std::make_unique<Client>(port, "127.0.0.1");
  Client a2(port, "127.0.0.1");
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 2; }));
  {
    Client a3(port, "127.0.0.1");  // a third from the same address
    EXPECT_EQ(a3.ReceiveAll(), "busy\r\n");
  }
  Client b1(port, "127.0.0.2");
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 3; }));
  {
    Client c1(port, "127.0.0.3");  // a fourth in all
    EXPECT_EQ(c1.ReceiveAll(), "busy\r\n");
  }
  a1.reset();
  ASSERT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 2; }));
  Client c2(port, "127.0.0.3");
  c2.Send("free\n");
  EXPECT_EQ(c2.Receive(6), "FREE\r\n");
  server.SetActive(false);
}

}  // namespace
}  // namespace sl
