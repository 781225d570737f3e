#include "watch/notify_composer.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "mail/test_peers.h"
#include "settings/settings_files.h"

namespace sl {
namespace {

using testing::PeerConnection;
using testing::ScriptedServer;

std::string Convert(const std::string& text, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open");
  std::string in = text, out(text.size() * 4 + 16, '\0');
  char* src = in.data();
  char* dst = out.data();
  size_t src_left = in.size(), dst_left = out.size();
  size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) throw std::runtime_error("iconv");
  out.resize(out.size() - dst_left);
  return out;
}
std::string Euc(const std::string& utf8) { return Convert(utf8, "UTF-8", "EUC-JP"); }
std::string Utf8(const std::string& euc) { return Convert(euc, "EUC-JP", "UTF-8"); }

NotifyRequest Request() {
  NotifyRequest r;
  r.FileName = "/var/log/app.log";
  r.SearchString = "ERROR,disk";
  r.MailAddress = "ops@example.com";
  r.ResultLine = "ERROR disk full";
  r.HitCount = 3;
  r.HostAddress = "192.0.2.7";
  return r;
}

TEST(NotifyComposerTest, PlaceholdersAreReplacedInTheirOrder) {
  NotifyRequest r = Request();
  r.FileName = "/var/log/\\WatchNum\\.log";   // filled by a later step
  r.ResultLine = "at \\ServerName\\";         // its step has passed
  EXPECT_EQ(SubstitutePlaceholders("\\ServerName\\|\\IPAddress\\|\\WatchFile\\|\\WatchString\\|\\WatchNum\\|"
                                   "\\ResultLine\\|\\watchfile\\|\\ServerName\\",
                                   r, "vm1"),
            "vm1|192.0.2.7|/var/log/3.log|ERROR,disk|3|at \\ServerName\\|\\watchfile\\|vm1");
}

TEST(NotifyComposerTest, EmptyTemplatesGiveTheBuiltInForm) {
  NotifyMail mail = ComposeNotifyMail(Request(), "vm1");
  EXPECT_EQ(mail.HdrSubject, "ScanLantern Notify");
  EXPECT_EQ(mail.Body, (std::vector<std::string>{"WatchFile\t/var/log/app.log", "", "SearchString\tERROR,disk", "",
                                                 "", "SearchResult", "ERROR disk full"}));
  EXPECT_EQ(mail.Recipients, (std::vector<std::string>{"ops@example.com"}));
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

TEST(NotifyComposerTest, BodyLinesEndInAsciiMode) {
  std::string kanji_end = JisBodyLine(Euc("abc漢字"));
  EXPECT_EQ(kanji_end.substr(kanji_end.size() - 3), "\x1b(B");
  std::string mixed = JisBodyLine(Euc("漢字abc"));
  EXPECT_EQ(mixed.substr(mixed.size() - 3), "\x1b(B");
  EXPECT_EQ(JisBodyLine("plain ascii"), "plain ascii");
  for (char c : mixed) EXPECT_EQ(static_cast<unsigned char>(c) & 0x80, 0);
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
  std::string Text() const { return testing::ReadFileBytes(log_.FileFor(std::time(nullptr))); }

 private:
  testing::TempDir dir_;
  EventLog log_;
};

std::string Expected(const std::string& utf8_template, const NotifyRequest& euc_request, const std::string& host) {
  return Utf8(SubstitutePlaceholders(Euc(utf8_template), euc_request, host));
}

TEST(NotifierTest, JapaneseMailArrivesWithEveryPlaceholderFilled) {
  testing::SmtpSink sink;
  LogDir logs;
  Notifier notifier(logs.log());
  notifier.Configure("127.0.0.1", "agent@example.com");
  notifier.SetPort(sink.PortText());
  notifier.SetTimeout(10);

  NotifyRequest r = Request();
  r.MailAddress = "ops@example.com; \"Night Shift\" <night@example.com>";
  r.FileName = Euc("/var/log/アプリ.log");
  r.SearchString = Euc("エラー,ディスク");
  r.ResultLine = Euc("2026/12/07 エラー: ディスク容量が不足");
  // Encoded words stand between blanks, where every reader decodes them.
  const std::string subject = "監視通知 \\ServerName\\ \\WatchNum\\ 件";
  const std::string body =
      "ScanLanternが監視ワードをトラッキングしました。\n\nサーバ名  \\ServerName\\\nIPアドレス  \\IPAddress\\\n"
      "監視ファイル  \\WatchFile\\\n監視ワード  \\WatchString\\\n監視行\n\\ResultLine\\";
  r.MailSubject = Euc(subject);
  r.MailBody = Euc(body);
  ASSERT_TRUE(notifier.Send(r));

  // A second mail with the default templates of a new installation.
  r.MailSubject = DefaultMailSubject();
  r.MailBody = DefaultMailBody();
  ASSERT_TRUE(notifier.Send(r));
  ASSERT_TRUE(sink.WaitForMails(2));

  const std::string host = NotifyHostName();
  std::string helo = host;
  for (char& c : helo) {
    if (c == ' ') c = '_';
  }
  EXPECT_EQ(testing::ReadFileBytes(sink.EnvelopePath(1)),
            "FROM agent@example.com\nRCPT ops@example.com\nRCPT night@example.com\nHELO " + helo + "\n");

  testing::DecodedMail mail = testing::DecodeMail(sink.MailPath(1));
  EXPECT_TRUE(mail.Defects.empty()) << mail.Raw;
  EXPECT_EQ(mail.Subject, Expected(subject, r, host));
  EXPECT_EQ(mail.Charset, "iso-2022-jp");
  std::vector<std::string> expected_body;
  for (const std::string& line : SplitLines(Expected(body, r, host))) expected_body.push_back(line);
  EXPECT_EQ(mail.Body, expected_body) << mail.Raw;
  EXPECT_EQ(mail.Body.back(), "2026/12/07 エラー: ディスク容量が不足");
  std::vector<std::string> wanted = {"From: agent@example.com",
                                     "To: ops@example.com,\r\n\t\"Night Shift\" <night@example.com>",
                                     "Content-Type: text/plain; charset=\"ISO-2022-JP\""};
  for (const std::string& header : wanted) {
    EXPECT_NE(std::find(mail.Headers.begin(), mail.Headers.end(), header), mail.Headers.end()) << header;
  }
  std::string raw = testing::ReadFileBytes(sink.MailPath(1));
  for (char c : raw) ASSERT_EQ(static_cast<unsigned char>(c) & 0x80, 0) << "8-bit byte on the wire";

  testing::DecodedMail defaults = testing::DecodeMail(sink.MailPath(2));
  EXPECT_EQ(defaults.Subject, Expected(Utf8(DefaultMailSubject()), r, host));
  std::vector<std::string> default_body = SplitLines(Expected(Utf8(DefaultMailBody()), r, host));
  EXPECT_EQ(defaults.Body, default_body) << defaults.Raw;

  // Nothing failed, so nothing was logged.
  EXPECT_EQ(logs.Text().find(kNotifyFailure), std::string::npos);
}

// Runs one notification against a scripted server; returns the result.
bool SendTo(const ScriptedServer& server, const LogDir& logs, int timeout = 5) {
  Notifier notifier(logs.log());
  notifier.Configure("127.0.0.1", "agent@example.com");
  notifier.SetPort(server.PortText());
  notifier.SetTimeout(timeout);
  return notifier.Send(Request());
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
  EXPECT_FALSE(SendTo(server, logs));
  EXPECT_NE(logs.Text().find(FailureEntry("554 5.3.2 no service here")), std::string::npos) << logs.Text();
}

TEST(NotifierTest, RefusedRecipientIsLoggedAndTheSessionStillQuits) {
  LogDir logs;
  std::vector<std::string> commands;
  ScriptedServer server([&commands](PeerConnection& peer) {
    peer.Send("220 ready");
    while (auto line = peer.ReadLine()) {
      commands.push_back(*line);
      if (line->rfind("RCPT", 0) == 0) peer.Send("550 5.1.1 no such user");
      else if (*line == "QUIT") return peer.Send("221 bye");
      else peer.Send("250 ok");
    }
  });
  EXPECT_FALSE(SendTo(server, logs));
  server.Join();
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0].rfind("HELO ", 0), 0u);
  EXPECT_EQ(commands[1], "MAIL FROM:<agent@example.com>");
  EXPECT_EQ(commands[2], "RCPT TO:<ops@example.com>");
  EXPECT_EQ(commands[3], "QUIT");
  EXPECT_NE(logs.Text().find(FailureEntry("550 5.1.1 no such user")), std::string::npos) << logs.Text();
}

TEST(NotifierTest, SilentServerAndRefusedConnectionAreLogged) {
  LogDir logs;
  ScriptedServer silent([](PeerConnection& peer) { peer.StaySilent(15000); });
  EXPECT_FALSE(SendTo(silent, logs, 2));
  EXPECT_NE(logs.Text().find(FailureEntry("426 Timeout")), std::string::npos) << logs.Text();

  testing::ClosedPort closed;
  Notifier notifier(logs.log());
  notifier.Configure("127.0.0.1", "agent@example.com");
  notifier.SetPort(std::to_string(closed.port()));
  EXPECT_FALSE(notifier.Send(Request()));
  EXPECT_NE(logs.Text().find(FailureEntry("500 Connection refused (Winsock error #111)")), std::string::npos);
}

TEST(NotifierTest, ReconfiguringDuringASendIsSafe) {
  testing::SmtpSink sink;
  LogDir logs;
  Notifier notifier(logs.log());
  notifier.SetPort(sink.PortText());
  notifier.Configure("127.0.0.1", "first@example.com");
  std::atomic<bool> stop{false};
  std::thread web([&] {
    for (int i = 0; i < 2000 && !stop; ++i) {
      notifier.Configure("127.0.0.1", i % 2 ? "first@example.com" : "second@example.com");
      std::this_thread::yield();
    }
  });
  bool sent = notifier.Send(Request()) && notifier.Send(Request());
  stop = true;
  web.join();
  EXPECT_TRUE(sent);
  ASSERT_TRUE(sink.WaitForMails(2));
  std::string envelope = testing::ReadFileBytes(sink.EnvelopePath(2));
  EXPECT_TRUE(envelope.rfind("FROM first@example.com\n", 0) == 0 || envelope.rfind("FROM second@example.com\n", 0) == 0)
      << envelope;
}

}  // namespace
}  // namespace sl
