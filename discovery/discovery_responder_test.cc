#include "discovery/discovery_responder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>

#include "core/host_name.h"
#include "testing/test_support.h"

namespace sl {
namespace {

// A console on 127.0.0.1 whose receives give up after the given time.
using Console = testing::UdpPeer;

// A base directory with an empty log folder, removed afterwards.
class LogDir {
 public:
  LogDir() { mkdir(dir_.Path("log").c_str(), 0755); }
  std::string base() const { return dir_.path() + "/"; }
  std::string Content(const EventLog& log) const {
    return testing::ReadFile(log.FileFor(std::time(nullptr)));
  }

 private:
  testing::TempDir dir_{"responder"};
};

TEST(DiscoveryReplyTest, OnlyTheExactQuestionIsAnswered) {
  EXPECT_EQ(DiscoveryReply("Are You ScanLantern Agent?", "host1"), "I am ScanLantern Agent.|host1");
  EXPECT_EQ(DiscoveryReply("Are You ScanLantern Agent?", ""), "I am ScanLantern Agent.|");
  for (const std::string& bad :
       {std::string("Are You ScanLantern Agent?\n"), std::string("are you scanlantern agent?"),
        std::string("Are You ScanLantern Agent?", 25),
        std::string("Are You ScanLantern Agent?\0", 27), std::string(" Are You ScanLantern Agent?"),
        std::string()}) {
    EXPECT_FALSE(DiscoveryReply(bad, "host1").has_value()) << bad;
  }
}

class ResponderTest : public ::testing::Test {
 protected:
  void Start(DiscoveryResponder::HostNameSource host_name) {
    responder_ = std::make_unique<DiscoveryResponder>(log_, host_name);
    TSocketHandle& b = server_.Bindings.Add();
    b.IP = "127.0.0.1";
    b.Port = 0;
    server_.ThreadedEvent = true;
    server_.OnUDPRead = responder_->Handler();
    server_.SetActive(true);
    port_ = server_.Bindings[0].Port;
  }
  void TearDown() override { server_.SetActive(false); }

  LogDir dir_;
  EventLog log_{dir_.base()};
  TUDPServer server_;
  std::unique_ptr<DiscoveryResponder> responder_;
  int port_ = 0;
};

TEST_F(ResponderTest, AnswersTheSenderFromTheServerPort) {
  Start([] { return std::string("agent-7"); });
  Console console(3000);
  // Questions that are not exactly the question get no answer; the real
  // one sent after them is the first thing that comes back.
  console.SendTo(port_, "Are You ScanLantern Agent?\n");
  console.SendTo(port_, "ARE YOU SCANLANTERN AGENT?");
  console.SendTo(port_, "");
  console.SendTo(port_, "Are You ScanLantern Agent?");
  std::string answer;
  int from = 0;
  ASSERT_TRUE(console.Receive(&answer, &from));
  EXPECT_EQ(answer, "I am ScanLantern Agent.|agent-7");
  EXPECT_EQ(from, port_);
  // An answer to one of the others would look the same: none may follow.
  console.SetTimeout(300);
  EXPECT_FALSE(console.Receive(&answer, &from));
  // Ignored datagrams leave no trace in the log.
  EXPECT_EQ(dir_.Content(log_), "");
}

TEST_F(ResponderTest, TwoConsolesEachGetTheirOwnAnswer) {
  Start(HostName);
  Console a(3000);
  Console b(3000);
  a.SendTo(port_, kDiscoveryQuestion);
  b.SendTo(port_, kDiscoveryQuestion);
  std::string answer;
  int from = 0;
  ASSERT_TRUE(a.Receive(&answer, &from));
  EXPECT_EQ(answer, std::string(kDiscoveryGreeting) + HostName());
  ASSERT_TRUE(b.Receive(&answer, &from));
  EXPECT_EQ(answer, std::string(kDiscoveryGreeting) + HostName());
}

TEST_F(ResponderTest, FailedReplyIsLoggedAndServingGoesOn) {
  bool huge = true;  // read on the listener thread only
  Start([&huge] {
    std::string name = huge ? std::string(70000, 'h') : "small";
    huge = false;
    return name;
  });
  Console console(3000);
  console.SendTo(port_, kDiscoveryQuestion);  // reply too big to send
  console.SendTo(port_, kDiscoveryQuestion);
  std::string answer;
  int from = 0;
  ASSERT_TRUE(console.Receive(&answer, &from));
  EXPECT_EQ(answer, "I am ScanLantern Agent.|small");
  std::string logged = dir_.Content(log_);
  EXPECT_NE(logged.find("UdpGaugeUDPRead(DiskMeterd Server Call)\nPackage Size Too Big."),
            std::string::npos)
      << logged;
  EXPECT_NE(logged.find(EventLog::Heading(kEventRemoteControlFailure)), std::string::npos);
}

TEST_F(ResponderTest, MissingLogDirectoryDoesNotStopTheResponder) {
  std::system(("rm -rf '" + dir_.base() + "log'").c_str());
  bool huge = true;
  Start([&huge] {
    std::string name = huge ? std::string(70000, 'h') : "ok";
    huge = false;
    return name;
  });
  Console console(3000);
  console.SendTo(port_, kDiscoveryQuestion);
  console.SendTo(port_, kDiscoveryQuestion);
  std::string answer;
  int from = 0;
  ASSERT_TRUE(console.Receive(&answer, &from));
  EXPECT_EQ(answer, "I am ScanLantern Agent.|ok");
}

TEST_F(ResponderTest, PortZeroAndFloodsGetNoAnswerAndLittleLog) {
  Start([] { return std::string("agent"); });
  // From port 0 no answer is tried (this binding has no socket, so a try
  // would fail and be logged) and nothing is logged.
  TSocketHandle forged;
  forged.PeerIP = "127.0.0.1";
  forged.PeerPort = 0;
  responder_->UDPServerUDPRead(server_, kDiscoveryQuestion, forged);
  EXPECT_EQ(dir_.Content(log_), "");

  // 30 questions within a few milliseconds: 10 answers, one log entry.
  Console console(300);
  for (int i = 0; i < 30; ++i) console.SendTo(port_, kDiscoveryQuestion);
  std::string answer;
  int from = 0;
  int answers = 0;
  while (console.Receive(&answer, &from)) ++answers;
  EXPECT_EQ(answers, DiscoveryResponder::kReplies);
  std::string logged = dir_.Content(log_);
  const std::string note =
      "Discovery questions from 127.0.0.1 beyond 10 a second are not answered.";
  ASSERT_NE(logged.find(note), std::string::npos) << logged;
  EXPECT_EQ(logged.find(note, logged.find(note) + 1), std::string::npos) << logged;
}

}  // namespace
}  // namespace sl
