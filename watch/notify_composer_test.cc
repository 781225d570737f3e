#include "watch/notify_composer.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "mail/mail_queue.h"
#include "mail/test_peers.h"
#include "mail/texts_ja.h"
#include "settings/settings_files.h"

namespace sl {
namespace {

using testing::Convert;
using testing::Euc;
using testing::PeerConnection;
using testing::ScriptedServer;

std::string Utf8(const std::string& euc) { return Convert(euc, "EUC-JP", "UTF-8"); }

NotifyRequest Request() {
  NotifyRequest r;
  r.FileName = "/var/log/app.log";
  r.SearchString = "ERROR,disk";
  r.MailAddress = "ops@example.com";
  r.ResultLine = "ERROR disk full";
  r.HitCount = 3;
  r.HostAddress = "192.0.2.7";
  r.Smtp.Server = "127.0.0.1";
  r.Smtp.From = "agent@example.com";
  return r;
}

TEST(NotifyComposerTest, PlaceholdersAreReplacedInTheirOrder) {
  NotifyRequest r = Request();
  r.FileName = "/var/log/\\WatchNum\\.log";  // filled by a later step
  r.ResultLine = "at \\ServerName\\";        // its step has passed
  EXPECT_EQ(SubstitutePlaceholders(
                "\\ServerName\\|\\IPAddress\\|\\WatchFile\\|\\WatchString\\|\\WatchNum\\|"
                "\\ResultLine\\|\\watchfile\\|\\ServerName\\",
                r, "vm1"),
            "vm1|192.0.2.7|/var/log/3.log|ERROR,disk|3|at \\ServerName\\|\\watchfile\\|vm1");
}

// The lines of the count: in the body one a line, and whatever a watched
// line holds stays as it is.
TEST(NotifyComposerTest, MatchedLinesAreFilledInOnceAndLast) {
  NotifyRequest r = Request();
  r.MatchedLines = "2026/12/07 10:00:01\tERROR \\ResultLine\\\n2026/12/07 10:00:02\tERROR disk";
  r.ResultLine = "ERROR \\MatchedLines\\";
  EXPECT_EQ(SubstitutePlaceholders("\\MatchedLines\\|\\ResultLine\\", r, "vm1"),
            r.MatchedLines + "|" + r.ResultLine);
  r.MailBody = "lines:\n\\MatchedLines\\\nend";
  EXPECT_EQ(ComposeNotifyMail(r, "vm1").Body,
            (std::vector<std::string>{"lines:", "2026/12/07 10:00:01\tERROR \\ResultLine\\",
                                      "2026/12/07 10:00:02\tERROR disk", "end"}));
}

TEST(NotifyComposerTest, EmptyTemplatesGiveTheBuiltInForm) {
  NotifyMail mail = ComposeNotifyMail(Request(), "vm1");
  EXPECT_EQ(mail.HdrSubject, "ScanLantern Notify");
  EXPECT_EQ(mail.Body,
            (std::vector<std::string>{"WatchFile\t/var/log/app.log", "", "SearchString\tERROR,disk",
                                      "", "", "SearchResult", "ERROR disk full"}));
  EXPECT_EQ(mail.Recipients, (std::vector<std::string>{"ops@example.com"}));
}

// Triggers held back in a quiet period: a line of their number only when
// there were any, unless the template places them itself.
TEST(NotifyComposerTest, HeldBackTriggersAreSaidOnlyWhenThereWereAny) {
  NotifyRequest r = Request();
  std::vector<std::string> quiet_body = ComposeNotifyMail(r, "vm1").Body;
  r.Suppressed = 4;
  std::vector<std::string> body = ComposeNotifyMail(r, "vm1").Body;
  quiet_body.push_back("Suppressed\t4");
  EXPECT_EQ(body, quiet_body);
  r.MailSubject = "s";
  r.MailBody = "held \\Suppressed\\";
  EXPECT_EQ(ComposeNotifyMail(r, "vm1").Body, std::vector<std::string>{"held 4"});
  r.MailBody = "body";
  EXPECT_EQ(ComposeNotifyMail(r, "vm1").Body,
            (std::vector<std::string>{"body", JisBodyLine(Euc("静穏期間中に見送った通知  4"))}));
  r.Suppressed = 0;
  EXPECT_EQ(ComposeNotifyMail(r, "vm1").Body, std::vector<std::string>{"body"});
}

TEST(NotifyComposerTest, OneTemplateAloneLeavesTheOtherEmpty) {
  NotifyRequest r = Request();
  r.MailBody = "count \\WatchNum\\\r\nline \\ResultLine\\\n";
  NotifyMail mail = ComposeNotifyMail(r, "vm1");
  EXPECT_EQ(mail.HdrSubject, "");
  EXPECT_EQ(mail.Body, (std::vector<std::string>{"count 3", "line ERROR disk full"}));
  r.MailBody.clear();
  r.MailSubject = "only \\WatchFile\\";
  mail = ComposeNotifyMail(r, "vm1");
  EXPECT_EQ(mail.HdrSubject, "only /var/log/app.log");
  EXPECT_TRUE(mail.Body.empty());
}

TEST(NotifyComposerTest, BodyLinesAreCutOnCharactersAndEndInAscii) {
  std::string kanji;
  for (int i = 0; i < 1000; ++i) kanji += "字";
  struct {
    std::string euc;
    std::string jis;    // exact wire form, when given
    size_t max_octets;  // the line's limit before dot-stuffing
  } cases[] = {
      {"plain ascii", "plain ascii", 998},
      {Euc("abc漢字"), "abc\x1b$B4A;z\x1b(B", 998},
      {Euc("漢字~\\path"), "\x1b$B4A;z\x1b(B~\\path", 998},
      {"a\x1b$Bb\x8F\xB0\xA1", "a?$Bb\x1b$B\x22\x2e\x1b(B", 998},
      {Euc(kanji), "", 998},
      {"." + Euc(kanji), "", 997},
      {"x" + Euc(kanji), "", 998},
  };
  for (const auto& c : cases) {
    std::string line = JisBodyLine(c.euc);
    if (!c.jis.empty()) {
      EXPECT_EQ(line, c.jis);
    }
    EXPECT_LE(line.size(), c.max_octets);
    for (char b : line) ASSERT_EQ(static_cast<unsigned char>(b) & 0x80, 0);
    if (line.find('\x1b') != std::string::npos) {
      EXPECT_EQ(line.substr(line.rfind('\x1b'), 3), "\x1b(B");
    }
    if (c.jis.empty()) {
      // Whole characters up to the cut, as many as fit.
      std::string text = Convert(line, "ISO-2022-JP", "UTF-8");
      std::string whole = Utf8(c.euc);
      EXPECT_EQ(whole.compare(0, text.size(), text), 0);
      EXPECT_GT(text.size(), 3 * 490u);
    }
  }
}

TEST(NotifyComposerTest, RecipientsWithLineBreaksAreDropped) {
  NotifyRequest r = Request();
  r.MailAddress = "a@example.com; b@example.com\r\nRCPT TO:<x@evil>, c@example.com";
  NotifyMail mail = ComposeNotifyMail(r, "vm1");
  EXPECT_EQ(mail.Recipients, (std::vector<std::string>{"a@example.com", "c@example.com"}));
}

// The event log of a temporary installation.
class LogDir {
 public:
  LogDir() : log_(dir_.path() + "/") { mkdir((dir_.path() + "/log").c_str(), 0777); }
  const EventLog& log() const { return log_; }
  std::string Text() const { return testing::ReadFile(log_.FileFor(std::time(nullptr))); }

 private:
  testing::TempDir dir_;
  EventLog log_;
};

std::string Expected(const std::string& utf8_template, const NotifyRequest& euc_request,
                     const std::string& host) {
  return Utf8(SubstitutePlaceholders(Euc(utf8_template), euc_request, host));
}

TEST(NotifierTest, JapaneseMailArrivesWithEveryPlaceholderFilled) {
  testing::SmtpSink sink;
  LogDir logs;
  Notifier notifier(logs.log(), 10);

  NotifyRequest r = Request();
  r.Smtp.Port = sink.PortText();
  r.MailAddress = "ops@example.com; \"Night Shift\" <night@example.com>";
  r.FileName = Euc("/var/log/アプリ.log");
  r.SearchString = Euc("エラー,ディスク");
  r.ResultLine = Euc("2026/12/07 エラー: ディスク容量が不足");
  // Encoded words stand between blanks, where every reader decodes them.
  const std::string subject = "監視通知 \\ServerName\\ \\WatchNum\\ 件";
  const std::string body =
      "ScanLanternが監視ワードをトラッキングしました。\n\nサーバ名  \\ServerName\\\nIPアドレス  "
      "\\IPAddress\\\n"
      "監視ファイル  \\WatchFile\\\n監視ワード  \\WatchString\\\n監視行\n\\ResultLine\\";
  r.MailSubject = Euc(subject);
  r.MailBody = Euc(body);
  ASSERT_TRUE(notifier.Send(r).Accepted);

  // A second mail with the default templates of a new installation.
  r.MailSubject = DefaultMailSubject();
  r.MailBody = DefaultMailBody();
  ASSERT_TRUE(notifier.Send(r).Accepted);
  ASSERT_TRUE(sink.WaitForMails(2));

  const std::string host = NotifyHostName();
  std::string helo = FullyQualifiedHostName().empty() ? "[192.0.2.7]" : FullyQualifiedHostName();
  EXPECT_EQ(
      testing::ReadFile(sink.EnvelopePath(1)),
      "FROM agent@example.com\nRCPT ops@example.com\nRCPT night@example.com\nHELO " + helo + "\n");

  testing::DecodedMail mail = testing::DecodeMail(sink.MailPath(1));
  EXPECT_TRUE(mail.Defects.empty()) << mail.Raw;
  EXPECT_EQ(mail.Subject, Expected(subject, r, host));
  EXPECT_EQ(mail.Charset, "iso-2022-jp");
  std::vector<std::string> expected_body;
  for (const std::string& line : SplitLines(Expected(body, r, host))) expected_body.push_back(line);
  EXPECT_EQ(mail.Body, expected_body) << mail.Raw;
  EXPECT_EQ(mail.Body.back(), "2026/12/07 エラー: ディスク容量が不足");
  std::vector<std::string> wanted = {
      "From: agent@example.com", "To: ops@example.com,\r\n\t\"Night Shift\" <night@example.com>",
      "Content-Type: text/plain; charset=\"ISO-2022-JP\""};
  for (const std::string& header : wanted) {
    EXPECT_NE(std::find(mail.Headers.begin(), mail.Headers.end(), header), mail.Headers.end())
        << header;
  }
  std::string raw = testing::ReadFile(sink.MailPath(1));
  for (char c : raw) ASSERT_EQ(static_cast<unsigned char>(c) & 0x80, 0) << "8-bit byte on the wire";
  EXPECT_NE(raw.find("\r\nMessage-ID: <"), std::string::npos);

  testing::DecodedMail defaults = testing::DecodeMail(sink.MailPath(2));
  EXPECT_EQ(defaults.Subject, Expected(Utf8(DefaultMailSubject()), r, host));
  std::vector<std::string> default_body = SplitLines(Expected(Utf8(DefaultMailBody()), r, host));
  EXPECT_EQ(defaults.Body, default_body) << defaults.Raw;

  // Nothing failed, so nothing was logged.
  EXPECT_EQ(logs.Text().find(kNotifyFailure), std::string::npos);
}

// Runs one notification against a scripted server; returns the result.
MailOutcome SendTo(const ScriptedServer& server, const LogDir& logs, int timeout = 5) {
  Notifier notifier(logs.log(), timeout);
  NotifyRequest r = Request();
  r.Smtp.Port = server.PortText();
  return notifier.Send(r);
}

std::string FailureEntry(const std::string& detail) {
  return Euc("インフォメーション") + "\n" + kNotifyFailure + "\n" + detail + "\n\n\n";
}

TEST(NotifierTest, RefusingServerIsLogged) {
  LogDir logs;
  ScriptedServer server([](PeerConnection& peer) {
    peer.Send("554 5.3.2 no service here");
    peer.StaySilent(3000);
  });
  MailOutcome outcome = SendTo(server, logs);
  EXPECT_FALSE(outcome.Accepted);
  EXPECT_TRUE(outcome.Permanent);  // the server's own 5xx: not tried again
  EXPECT_NE(logs.Text().find(FailureEntry("554 5.3.2 no service here")), std::string::npos)
      << logs.Text();
}

TEST(NotifierTest, RecipientsAreJudgedOneByOneAndASenderIsRequired) {
  LogDir logs;
  std::vector<std::vector<std::string>> sessions;
  ScriptedServer server(
      [&sessions](PeerConnection& peer) {
        sessions.emplace_back();
        std::vector<std::string>& commands = sessions.back();
        peer.Send("220 ready");
        while (auto line = peer.ReadLine()) {
          commands.push_back(*line);
          if (line->find("bad@") != std::string::npos) {
            peer.Send("550 5.1.1 no such user");
          } else if (*line == "DATA") {
            peer.Send("354 go ahead");
            while (auto data = peer.ReadLine()) {
              if (*data == ".") break;
            }
            peer.Send("250 queued");
          } else if (*line == "QUIT") {
            return peer.Send("221 bye");
          } else {
            peer.Send("250 ok");
          }
        }
      },
      2);
  struct {
    std::string recipients;
    bool sent;
    std::vector<std::string> accepted;
    std::string last_command;
    std::string failure;  // as the status page shows it
  } cases[] = {
      {"bad@example.com; ops@example.com",
       true,
       {"ops@example.com"},
       "DATA",
       "bad@example.com: 550 5.1.1 no such user"},
      {"bad@example.com",
       false,
       {},
       "RCPT TO:<bad@example.com>",
       "RCPT TO: 550 5.1.1 no such user\nbad@example.com: 550 5.1.1 no such user"},
  };
  for (const auto& c : cases) {
    Notifier notifier(logs.log(), 5);
    NotifyRequest r = Request();
    r.Smtp.Port = server.PortText();
    r.MailAddress = c.recipients;
    MailOutcome outcome = notifier.Send(r);
    EXPECT_EQ(outcome.Accepted, c.sent) << c.recipients;
    EXPECT_EQ(outcome.Recipients, c.accepted);
    EXPECT_EQ(DescribeMailFailure(outcome), c.failure);
    std::vector<std::string>& commands = sessions.back();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[0], "HELO " + (FullyQualifiedHostName().empty() ? "[192.0.2.7]"
                                                                       : FullyQualifiedHostName()));
    EXPECT_EQ(commands[commands.size() - 2], c.last_command);
    EXPECT_EQ(commands.back(), "QUIT");
  }
  server.Join();
  std::string log = logs.Text();
  std::string refused = Euc("インフォメーション") + "\n" + kRecipientRefused +
                        "\nbad@example.com\n550 5.1.1 no such user\n";
  EXPECT_NE(log.find(refused), log.rfind(refused)) << log;  // once per mail
  EXPECT_NE(log.find(FailureEntry("550 5.1.1 no such user")), std::string::npos) << log;

  // Without a sender nothing is sent, and the log says why.
  Notifier notifier(logs.log());
  NotifyRequest no_sender = Request();
  no_sender.Smtp.Port = server.PortText();
  no_sender.Smtp.From = "  ";
  EXPECT_FALSE(notifier.Send(no_sender).Accepted);
  EXPECT_NE(logs.Text().find(FailureEntry(kNoSender)), std::string::npos);
  EXPECT_EQ(sessions.size(), 2u);
}

TEST(NotifierTest, SilentServerAndRefusedConnectionAreLogged) {
  LogDir logs;
  ScriptedServer silent([](PeerConnection& peer) { peer.StaySilent(15000); });
  MailOutcome timed_out = SendTo(silent, logs, 2);
  EXPECT_FALSE(timed_out.Accepted || timed_out.Permanent);
  EXPECT_NE(logs.Text().find(FailureEntry("426 Timeout")), std::string::npos) << logs.Text();

  testing::ClosedPort closed;
  Notifier notifier(logs.log());
  NotifyRequest refused = Request();
  refused.Smtp.Port = std::to_string(closed.port());
  // The client's own "500" for a refused connection is a passing failure.
  MailOutcome outcome = notifier.Send(refused);
  EXPECT_FALSE(outcome.Accepted || outcome.Permanent);
  EXPECT_NE(logs.Text().find(FailureEntry("500 Connection refused (Winsock error #111)")),
            std::string::npos);
}

// Each mail goes out with the server and sender it was queued with.
TEST(NotifierTest, EachMailCarriesItsOwnSender) {
  testing::SmtpSink sink;
  LogDir logs;
  Notifier notifier(logs.log());
  NotifyRequest first = Request();
  NotifyRequest second = Request();
  first.Smtp.Port = second.Smtp.Port = sink.PortText();
  first.Smtp.From = "first@example.com";
  second.Smtp.From = "second@example.com";
  EXPECT_TRUE(notifier.Send(first).Accepted);
  EXPECT_TRUE(notifier.Send(second).Accepted);
  ASSERT_TRUE(sink.WaitForMails(2));
  EXPECT_EQ(testing::ReadFile(sink.EnvelopePath(1)).rfind("FROM first@example.com\n", 0), 0u);
  EXPECT_EQ(testing::ReadFile(sink.EnvelopePath(2)).rfind("FROM second@example.com\n", 0), 0u);
}

// The real client against a server that accepts and never answers: the
// stop aborts the session from its own thread instead of waiting out the
// 15 s time-out.
TEST(NotifierTest, MailQueueStopAbortsARealSessionWithASilentServer) {
  LogDir logs;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);  // connections wait in the backlog, unanswered
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  Notifier notifier(logs.log());
  MailQueue queue(
      logs.log(), MailQueue::Options{}, [&](const NotifyRequest& r) { return notifier.Send(r); },
      [&] { notifier.Cancel(); });
  queue.Start();
  NotifyRequest request;
  request.ResultLine = "line";
  request.MailAddress = "ops@example.jp";
  request.Smtp.Server = "127.0.0.1";
  request.Smtp.From = "agent@example.jp";
  request.Smtp.Port = std::to_string(ntohs(addr.sin_port));
  ASSERT_TRUE(queue.Push(request, "silent"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the session waits for the banner
  auto t0 = std::chrono::steady_clock::now();
  queue.Stop(std::chrono::milliseconds(200));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  std::string log = logs.Text();
  EXPECT_NE(log.find(std::string(ja::kMailCountLabel) + "\t1\n"), std::string::npos);
  EXPECT_EQ(log.find(ja::kWatchMailSent), std::string::npos);
  close(listener);
}

}  // namespace
}  // namespace sl
