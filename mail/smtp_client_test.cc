// The SMTP client against scripted servers on loopback: the protocol
// sequence, replies that refuse, servers that fail, AUTH and time-outs.
#include <gtest/gtest.h>

#include <ctime>
#include <set>

#include "core/text.h"
#include "mail/smtp_auth.h"
#include "mail/sync_smtp_client.h"
#include "mail/test_peers.h"

namespace sl {
namespace {

using testing::PeerConnection;
using testing::ScriptedServer;

// What a scripted server saw.
struct Session {
  std::vector<std::string> commands;
  std::vector<std::string> data;  // message lines between DATA and "."
};

using Responder = std::function<std::vector<std::string>(const std::string& command)>;

// A willing server: the banner, then respond(command) for each command
// (an empty answer means "250 ok"); after a 354 it collects the message.
ScriptedServer::Script Play(Session* session, Responder respond = nullptr,
                            std::vector<std::string> banner = {"220 test ready"}) {
  return [session, respond, banner](PeerConnection& peer) {
    for (const std::string& line : banner) peer.Send(line);
    while (auto command = peer.ReadLine()) {
      session->commands.push_back(*command);
      std::vector<std::string> replies;
      if (respond) replies = respond(*command);
      if (replies.empty()) {
        if (*command == "DATA")
          replies = {"354 go ahead"};
        else if (*command == "QUIT")
          replies = {"221 bye"};
        else
          replies = {"250 ok"};
      }
      for (const std::string& reply : replies) peer.Send(reply);
      if (*command == "QUIT") return;
      if (replies.back().compare(0, 3, "354") == 0) {
        session->data = peer.ReadData();
        peer.Send("250 queued");
      }
    }
  };
}

void PointAt(TSyncSmtpCli& client, const ScriptedServer& server) {
  client.Host = "127.0.0.1";
  client.Port = server.PortText();
  client.SignOn = "test client";
  client.Timeout = 5;
}

TEST(SmtpClientTest, RefusingBannerLeavesTheClientDisconnected) {
  ScriptedServer server([](PeerConnection& peer) {
    peer.Send("554 5.3.2 no service here");
    peer.StaySilent(3000);
  });
  TSyncSmtpCli client;
  PointAt(client, server);
  EXPECT_FALSE(client.ConnectSync());
  EXPECT_EQ(client.RequestResult(), 554);
  EXPECT_EQ(client.ErrorMessage(), "554 5.3.2 no service here");
  EXPECT_FALSE(client.Connected());
  EXPECT_EQ(client.State(), smtpReady);
}

TEST(SmtpClientTest, ConnectThenMailSendsTheEnvelopeAndMessageWithoutHelo) {
  Session session;
  int rcpt = 0;
  ScriptedServer server(Play(&session, [&rcpt](const std::string& c) -> std::vector<std::string> {
    if (c.rfind("RCPT", 0) == 0 && rcpt++ == 0) return {"550 5.1.1 no such user"};
    return {};
  }));
  TSyncSmtpCli client;
  PointAt(client, server);
  std::vector<std::pair<TSmtpRequest, int>> done;
  client.OnRequestDone = [&done](TSmtpRequest r, int e) { done.emplace_back(r, e); };
  client.FromName = "\"Agent\" <agent@example.com>";
  client.RcptName = {"nobody@example.com", "Admin <admin@example.com>"};
  client.HdrFrom = "agent@example.com";
  client.HdrTo = "nobody@example.com;admin@example.com";
  client.HdrSubject = "Test";
  client.MailMessage = {"first", ".", ".dot", std::string(2000, 'x'), "two\r\nlines", ""};

  ASSERT_TRUE(client.ConnectSync()) << client.ErrorMessage();
  EXPECT_TRUE(client.Connected());
  ASSERT_TRUE(client.MailSync()) << client.ErrorMessage();
  EXPECT_TRUE(client.QuitSync());
  EXPECT_FALSE(client.Connected());
  server.Join();

  EXPECT_EQ(session.commands, (std::vector<std::string>{
                                  "MAIL FROM:<agent@example.com>", "RCPT TO:<nobody@example.com>",
                                  "RCPT TO:<admin@example.com>", "DATA", "QUIT"}));
  ASSERT_EQ(session.data.size(), 18u);
  EXPECT_EQ(session.data[0], "From: agent@example.com");
  EXPECT_EQ(session.data[1], "To: nobody@example.com,");
  EXPECT_EQ(session.data[2], "\tadmin@example.com");
  EXPECT_EQ(session.data[3], "Subject: Test");
  EXPECT_EQ(session.data[4], "Sender: agent@example.com");
  EXPECT_EQ(session.data[5], "Mime-Version: 1.0");
  EXPECT_EQ(session.data[6], "Content-Type: text/plain; charset=\"iso-8859-1\"");
  EXPECT_EQ(session.data[7].rfind("Date: ", 0), 0u);
  EXPECT_EQ(session.data[8].rfind("Message-ID: <", 0), 0u);
  EXPECT_EQ(session.data[9], "X-Mailer: ScanLantern Mailer V1.00");
  EXPECT_EQ(session.data[10], "");
  EXPECT_EQ(session.data[11], "first");
  EXPECT_EQ(session.data[12], "..");
  EXPECT_EQ(session.data[13], "..dot");
  EXPECT_EQ(session.data[14].size(), 998u);
  EXPECT_EQ(session.data[15], "two");
  EXPECT_EQ(session.data[16], "lines");
  EXPECT_EQ(session.data[17], "");
  EXPECT_EQ(client.AcceptedRecipients(), (std::vector<std::string>{"Admin <admin@example.com>"}));
  EXPECT_EQ(client.RefusedRecipients(), (std::vector<std::pair<std::string, std::string>>{
                                            {"nobody@example.com", "550 5.1.1 no such user"}}));
  // One completion per request; the first recipient's refusal did not count.
  EXPECT_EQ(done, (std::vector<std::pair<TSmtpRequest, int>>{
                      {smtpConnect, 0}, {smtpMail, 0}, {smtpQuit, 0}}));
}

TEST(SmtpClientTest, RefusedRecipientEndsTheMailRequestBeforeData) {
  Session session;
  ScriptedServer server(Play(&session, [](const std::string& c) -> std::vector<std::string> {
    if (c.rfind("RCPT", 0) == 0) return {"550 5.1.1 unknown user"};
    return {};
  }));
  TSyncSmtpCli client;
  PointAt(client, server);
  client.FromName = "agent@example.com";
  client.RcptName = {"ghost@example.com"};
  ASSERT_TRUE(client.ConnectSync());
  EXPECT_FALSE(client.MailSync());
  EXPECT_EQ(client.RequestResult(), 550);
  EXPECT_EQ(client.ErrorMessage(), "550 5.1.1 unknown user");
  EXPECT_EQ(client.LastResponse(), "550 5.1.1 unknown user");
  EXPECT_TRUE(client.Connected());
  EXPECT_TRUE(client.QuitSync());
  server.Join();
  EXPECT_EQ(session.commands, (std::vector<std::string>{"MAIL FROM:<agent@example.com>",
                                                        "RCPT TO:<ghost@example.com>", "QUIT"}));
}

TEST(SmtpClientTest, MultiLineRepliesCompleteOnceOnTheirLastLine) {
  Session session;
  ScriptedServer server(
      Play(&session,
           [](const std::string& c) -> std::vector<std::string> {
             if (c.rfind("EHLO", 0) == 0)
               return {"250-test greets you", "250-SIZE 1000", "250-AUTH PLAIN LOGIN", "250 HELP"};
             return {};
           },
           {"220-welcome", "220-to the", "220 test server"}));
  TSyncSmtpCli client;
  PointAt(client, server);
  int ehlo_done = 0;
  client.OnRequestDone = [&ehlo_done](TSmtpRequest r, int) { ehlo_done += r == smtpEhlo; };
  ASSERT_TRUE(client.ConnectSync());
  EXPECT_EQ(client.LastResponse(), "220 test server");
  ASSERT_TRUE(client.EhloSync());
  EXPECT_EQ(ehlo_done, 1);
  EXPECT_TRUE(client.EsmtpAccepted());
  EXPECT_EQ(client.AuthTypesSupported(), (std::vector<std::string>{"PLAIN", "LOGIN"}));
  EXPECT_EQ(client.LastResponse(), "250 HELP");
  EXPECT_TRUE(client.QuitSync());
  server.Join();
  EXPECT_EQ(session.commands, (std::vector<std::string>{"EHLO test_client", "QUIT"}));
}

TEST(SmtpClientTest, SilentServerTimesOutWithoutBurningProcessorTime) {
  ScriptedServer silent([](PeerConnection& peer) { peer.StaySilent(15000); });
  TSyncSmtpCli client;
  PointAt(client, silent);
  client.Timeout = 2;
  std::clock_t cpu_before = std::clock();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(client.ConnectSync());
  auto waited = std::chrono::steady_clock::now() - start;
  double cpu_seconds = static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC;
  EXPECT_EQ(client.ErrorMessage(), "426 Timeout");
  EXPECT_EQ(client.RequestResult(), 426);
  EXPECT_EQ(client.State(), smtpReady);
  EXPECT_FALSE(client.Connected());
  EXPECT_GE(waited, std::chrono::seconds(2));
  EXPECT_LT(waited, std::chrono::seconds(10));
  // A spinning wait would use about as much processor time as it waited.
  EXPECT_LT(cpu_seconds, 0.5);

  // The component is usable again afterwards.
  Session session;
  ScriptedServer willing(Play(&session));
  client.Port = willing.PortText();
  client.Timeout = 5;
  EXPECT_TRUE(client.ConnectSync()) << client.ErrorMessage();
  EXPECT_TRUE(client.HeloSync());
  EXPECT_TRUE(client.QuitSync());
  willing.Join();
  EXPECT_EQ(session.commands, (std::vector<std::string>{"HELO test_client", "QUIT"}));
}

TEST(SmtpClientTest, ServerHangingUpMidRequestFailsTheRequest) {
  ScriptedServer server([](PeerConnection& peer) {
    peer.Send("220 ready");
    peer.ReadLine();
    peer.Close();
  });
  TSyncSmtpCli client;
  PointAt(client, server);
  client.FromName = "a@example.com";
  ASSERT_TRUE(client.ConnectSync());
  EXPECT_FALSE(client.MailFromSync());
  EXPECT_EQ(client.RequestResult(), 4);
  EXPECT_FALSE(client.Connected());
  EXPECT_FALSE(client.ErrorMessage().empty());
  // QUIT without a connection completes at once.
  EXPECT_TRUE(client.QuitSync());
}

TEST(SmtpClientTest, RefusedConnectionGivesTheSocketErrorText) {
  testing::ClosedPort closed;
  TSyncSmtpCli client;
  client.Host = "127.0.0.1";
  client.Port = std::to_string(closed.port());
  client.Timeout = 5;
  EXPECT_FALSE(client.ConnectSync());
  EXPECT_EQ(client.ErrorMessage(), "500 Connection refused (Winsock error #111)");
  EXPECT_EQ(client.RequestResult(), 500);

  client.Host = "localhost";  // a name, resolved first
  EXPECT_FALSE(client.ConnectSync());
  EXPECT_EQ(client.ErrorMessage(), "500 Connection refused (Winsock error #111)");

  client.Host = "";
  EXPECT_FALSE(client.ConnectSync());
  EXPECT_EQ(client.ErrorMessage(), "500 Invalid argument (Winsock error #22)");
}

TEST(SmtpClientTest, RequestsAreRefusedInTheWrongState) {
  TSyncSmtpCli client;
  EXPECT_THROW(client.Helo(), SmtpException);
  EXPECT_FALSE(client.MailSync());
  EXPECT_EQ(client.ErrorMessage(), "SMTP component not connected");

  Session session;
  ScriptedServer server(Play(&session));
  PointAt(client, server);
  ASSERT_TRUE(client.ConnectSync());
  try {
    client.Connect();
    ADD_FAILURE() << "connected twice";
  } catch (const SmtpException& e) {
    EXPECT_STREQ(e.what(), "SMTP component already connected");
  }
  EXPECT_FALSE(client.RcptToSync());
  EXPECT_EQ(client.ErrorMessage(), "RcptName list is empty");
  client.RcptName = {"a@example.com"};
  client.EmailFiles = {"/nonexistent/report.txt"};
  EXPECT_FALSE(client.MailSync());
  EXPECT_EQ(client.ErrorMessage(), "File not found '/nonexistent/report.txt'");
  EXPECT_FALSE(client.AuthSync());
  EXPECT_EQ(client.ErrorMessage(), "500 ESMTP not supported.");
  ASSERT_TRUE(client.EhloSync());
  EXPECT_FALSE(client.AuthSync());
  EXPECT_EQ(client.ErrorMessage(), "500 No Authentication Type Selected.");
  EXPECT_TRUE(client.QuitSync());
  server.Join();
  EXPECT_EQ(session.commands, (std::vector<std::string>{"EHLO test_client", "QUIT"}));
}

TEST(SmtpClientTest, LineBreaksNeverReachACommand) {
  Session session;
  ScriptedServer server(Play(&session));
  TSyncSmtpCli client;
  PointAt(client, server);
  client.SignOn = "host\r\nRSET";
  client.FromName = "a@example.com\r\nRSET";
  client.AddRecipients("ok@example.com; evil@example.com\r\nDATA, \"Doe; J\" <doe@example.com>", "",
                       "hidden@example.com");
  EXPECT_EQ(client.RcptName,
            (std::vector<std::string>{"ok@example.com", "\"Doe; J\" <doe@example.com>",
                                      "hidden@example.com"}));
  client.RcptName.push_back("set@example.com\nRSET");
  ASSERT_TRUE(client.ConnectSync());
  EXPECT_TRUE(client.HeloSync());
  EXPECT_TRUE(client.MailFromSync());
  EXPECT_TRUE(client.RcptToSync());
  EXPECT_TRUE(client.QuitSync());
  server.Join();
  EXPECT_EQ(session.commands,
            (std::vector<std::string>{"HELO host__RSET", "MAIL FROM:<a@example.com>",
                                      "RCPT TO:<ok@example.com>", "RCPT TO:<doe@example.com>",
                                      "RCPT TO:<hidden@example.com>", "QUIT"}));
}

TEST(SmtpClientTest, EventsCanSupplyAndRewriteTheMessage) {
  Session session;
  ScriptedServer server(Play(&session));
  TSyncSmtpCli client;
  PointAt(client, server);
  client.FromName = "a@example.com";
  client.RcptName = {"b@example.com"};
  client.MailMessage = {"from the list"};
  client.OnProcessHeader = [](std::vector<std::string>& headers) {
    headers.push_back("X-Extra: 1");
  };
  client.OnHeaderLine = [](std::string& line) {
    if (line.rfind("X-Mailer:", 0) == 0) line = "X-Mailer: rewritten";
  };
  client.OnGetData = [](int number, std::string& line, bool& more) {
    more = number <= 2;
    line = number == 1 ? ".from the event" : "second";
  };
  ASSERT_TRUE(client.ConnectSync());
  ASSERT_TRUE(client.MailSync()) << client.ErrorMessage();
  client.QuitSync();
  server.Join();
  std::vector<std::string> tail(session.data.end() - 6, session.data.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"X-Mailer: rewritten", "X-Extra: 1", "",
                                            "from the list", "..from the event", "second"}));
}

TEST(SmtpClientTest, AbortEndsAPendingRequest) {
  ScriptedServer silent([](PeerConnection& peer) { peer.StaySilent(15000); });
  TSyncSmtpCli client;
  PointAt(client, silent);
  std::vector<std::pair<TSmtpRequest, int>> done;
  client.OnRequestDone = [&done](TSmtpRequest r, int e) { done.emplace_back(r, e); };
  client.Open();
  for (int i = 0; i < 500 && client.State() != smtpWaitingBanner; ++i) usleep(10000);
  ASSERT_EQ(client.State(), smtpWaitingBanner);
  client.Abort();
  EXPECT_EQ(client.State(), smtpReady);
  EXPECT_EQ(client.ErrorMessage(), "426 Operation aborted.");
  client.ProcessMessages();
  EXPECT_EQ(done, (std::vector<std::pair<TSmtpRequest, int>>{{smtpOpen, 426}}));
}

// AUTH.

// Answers EHLO with the given AUTH line and the mechanism exchanges of a
// server that knows the password "secret" of "user".
Responder AuthServer(const std::string& auth_line, const std::string& challenge,
                     std::set<std::string> refused) {
  return [=](const std::string& c) -> std::vector<std::string> {
    if (c.rfind("EHLO", 0) == 0) return {"250-test", "250 " + auth_line};
    for (const std::string& r : refused) {
      if (c == "AUTH " + r) return {"504 5.5.4 unrecognized"};
    }
    if (c == "AUTH CRAM-MD5" || c == "AUTH CRAM-SHA1") return {"334 " + Base64Encode(challenge)};
    if (c == "AUTH LOGIN") return {"334 VXNlcm5hbWU6"};
    if (c == Base64Encode("user")) return {"334 UGFzc3dvcmQ6"};
    if (c == Base64Encode("secret")) return {"235 welcome"};
    if (c == "AUTH PLAIN " + AuthPlainResponse("user", "user", "secret")) return {"235 welcome"};
    for (bool sha1 : {false, true}) {
      if (c == CramResponse(sha1, "user", "secret", Base64Encode(challenge)))
        return {"235 welcome"};
    }
    for (const char* verb : {"HELO", "MAIL", "RCPT", "DATA", "QUIT", "RSET"}) {
      if (c.rfind(verb, 0) == 0) return {};
    }
    return {"535 5.7.8 bad credentials"};
  };
}

TEST(SmtpClientTest, EachMechanismSendsItsCredentials) {
  const std::string challenge = "<12345.67890@test>";
  for (TSmtpAuthType type : {smtpAuthPlain, smtpAuthLogin, smtpAuthCramMD5, smtpAuthCramSha1}) {
    SCOPED_TRACE(type);
    Session session;
    ScriptedServer server(
        Play(&session, AuthServer("AUTH PLAIN LOGIN CRAM-MD5 CRAM-SHA1", challenge, {})));
    TSyncSmtpCli client;
    PointAt(client, server);
    client.AuthType = type;
    client.Username = "user";
    client.Password = "secret";
    EXPECT_TRUE(client.OpenSync()) << client.ErrorMessage();
    EXPECT_EQ(client.LastResponse(), "235 welcome");
    client.QuitSync();
    server.Join();
    EXPECT_EQ(session.commands.front(), "EHLO test_client");
  }
}

TEST(SmtpClientTest, AutoSelectionFallsBackOnRefusedMechanisms) {
  const std::string challenge = "<1.2@test>";
  Session session;
  ScriptedServer server(Play(&session, AuthServer("AUTH PLAIN LOGIN CRAM-MD5 CRAM-SHA1", challenge,
                                                  {"CRAM-SHA1", "CRAM-MD5"})));
  TSyncSmtpCli client;
  PointAt(client, server);
  client.AuthType = smtpAuthAutoSelect;
  client.Username = "user";
  client.Password = "secret";
  EXPECT_TRUE(client.OpenSync()) << client.ErrorMessage();
  EXPECT_EQ(client.ErrorMessage(), "");
  client.QuitSync();
  server.Join();
  EXPECT_EQ(
      session.commands,
      (std::vector<std::string>{"EHLO test_client", "AUTH CRAM-SHA1", "AUTH CRAM-MD5", "AUTH LOGIN",
                                Base64Encode("user"), Base64Encode("secret"), "QUIT"}));
}

TEST(SmtpClientTest, AutoSelectionUsesTheStrongestAdvertisedMechanism) {
  const std::string challenge = "<3.4@test>";
  Session session;
  ScriptedServer server(Play(&session, AuthServer("AUTH=PLAIN CRAM-MD5", challenge, {})));
  TSyncSmtpCli client;
  PointAt(client, server);
  client.AuthType = smtpAuthAutoSelect;
  client.Username = "user";
  client.Password = "secret";
  EXPECT_TRUE(client.OpenSync()) << client.ErrorMessage();
  client.QuitSync();
  server.Join();
  ASSERT_GE(session.commands.size(), 3u);
  EXPECT_EQ(session.commands[1], "AUTH CRAM-MD5");
  EXPECT_EQ(Base64Decode(session.commands[2]), "user " + HmacHex(false, "secret", challenge));
}

TEST(SmtpClientTest, AuthFailuresAreNamed) {
  // A refusal other than 504 under auto-selection.
  {
    Session session;
    ScriptedServer server(Play(&session, [](const std::string& c) -> std::vector<std::string> {
      if (c.rfind("EHLO", 0) == 0) return {"250-test", "250 AUTH CRAM-SHA1"};
      if (c.rfind("AUTH", 0) == 0) return {"454 4.7.0 temporary failure"};
      return {};
    }));
    TSyncSmtpCli client;
    PointAt(client, server);
    client.AuthType = smtpAuthAutoSelect;
    EXPECT_FALSE(client.OpenSync());
    EXPECT_EQ(client.ErrorMessage(), "500 Authentication Type could not be determined.");
    EXPECT_EQ(client.RequestResult(), 454);
    client.QuitSync();
  }
  // A challenge without text.
  {
    Session session;
    ScriptedServer server(Play(&session, [](const std::string& c) -> std::vector<std::string> {
      if (c.rfind("EHLO", 0) == 0) return {"250 AUTH CRAM-MD5"};
      if (c.rfind("AUTH", 0) == 0) return {"334"};
      return {};
    }));
    TSyncSmtpCli client;
    PointAt(client, server);
    client.AuthType = smtpAuthCramMD5;
    EXPECT_FALSE(client.OpenSync());
    EXPECT_EQ(client.ErrorMessage(), "500 Malformed MD5 Challege: 334");
    EXPECT_EQ(client.RequestResult(), 500);
    client.QuitSync();
  }
  // Wrong password.
  {
    Session session;
    ScriptedServer server(Play(&session, AuthServer("AUTH LOGIN", "", {})));
    TSyncSmtpCli client;
    PointAt(client, server);
    client.AuthType = smtpAuthLogin;
    client.Username = "user";
    client.Password = "guess";
    EXPECT_FALSE(client.OpenSync());
    EXPECT_EQ(client.ErrorMessage(), "535 5.7.8 bad credentials");
    client.QuitSync();
  }
}

TEST(SmtpClientTest, OpenFallsBackToHeloWhenEhloIsRefused) {
  Session session;
  ScriptedServer server(Play(&session, [](const std::string& c) -> std::vector<std::string> {
    if (c.rfind("EHLO", 0) == 0) return {"502 5.5.1 not implemented"};
    return {};
  }));
  TSyncSmtpCli client;
  PointAt(client, server);
  client.AuthType = smtpAuthLogin;
  EXPECT_TRUE(client.OpenSync()) << client.ErrorMessage();
  client.QuitSync();
  server.Join();
  EXPECT_EQ(session.commands,
            (std::vector<std::string>{"EHLO test_client", "HELO test_client", "QUIT"}));
}

}  // namespace
}  // namespace sl
