#include <gtest/gtest.h>
#include <sys/stat.h>

#include "console/credentials.h"
#include "console/discovery_client.h"
#include "console/host_port.h"
#include "console/http_client.h"
#include "console/settings_text.h"
#include "core/jconvert.h"
#include "core/utf8_text.h"

namespace sl {
namespace {

TEST(ConsoleTest, HostAndPort) {
  HostPort hp;
  std::string error;
  ASSERT_TRUE(ParseHostPort("agent-1.example.org", &hp, &error));
  EXPECT_EQ(hp.host, "agent-1.example.org");
  EXPECT_EQ(hp.port, 4009);
  EXPECT_EQ(hp.ToString(), "agent-1.example.org");
  ASSERT_TRUE(ParseHostPort("10.0.0.7:8080", &hp, &error));
  EXPECT_EQ(hp.host, "10.0.0.7");
  EXPECT_EQ(hp.port, 8080);
  EXPECT_EQ(hp.ToString(), "10.0.0.7:8080");
  for (const char* bad : {"", ":4009", "host:", "host:0", "host:65536", "host:123456", "host:4x",
                          "host:-1", "a:1:2", "host name", "host/x", "user@host", "ho\x1bst"}) {
    EXPECT_FALSE(ParseHostPort(bad, &hp, &error)) << bad;
  }
  EXPECT_FALSE(ParseHostPort(std::string(254, 'a'), &hp, &error));
}

TEST(ConsoleTest, StatusLineAndAnswerHead) {
  int status = 0;
  std::string reason;
  ASSERT_TRUE(ParseStatusLine("HTTP/1.1 401 Unauthorized", &status, &reason));
  EXPECT_EQ(status, 401);
  EXPECT_EQ(reason, "Unauthorized");
  ASSERT_TRUE(ParseStatusLine("HTTP/1.0 200", &status, &reason));
  EXPECT_EQ(reason, "");
  for (const char* bad : {"", "HTTP/1.1", "HTTP/1.1 20 OK", "HTTP/1.1 2000 OK", "HTTP/1.1  200 OK",
                          "HTTP/11 200 OK", "http/1.1 200 OK", "HTTP/1.1 099 X", "HTTP/1.1 600 X",
                          "HTTP/1.1 200OK", "HTTP/1.1 200 O\x1b[2J", "SSH-2.0-OpenSSH"}) {
    EXPECT_FALSE(ParseStatusLine(bad, &status, &reason)) << bad;
  }

  HttpAnswer answer;
  int64_t length = 0;
  std::string error;
  ASSERT_TRUE(ParseAnswerHead(
      "HTTP/1.1 200 OK\r\nContent-Type:  text/plain \r\ncontent-length: 12\r\nX-A: 1", 100, &answer,
      &length, &error));
  EXPECT_EQ(length, 12);
  EXPECT_EQ(answer.Header("CONTENT-TYPE"), "text/plain");
  EXPECT_EQ(answer.Header("missing"), "");
  ASSERT_TRUE(ParseAnswerHead("HTTP/1.1 204 No Content\nA: b", 100, &answer, &length, &error));
  EXPECT_EQ(length, -1);
  for (const char* bad :
       {"", "HTTP/1.1 200 OK\r\nno colon", "HTTP/1.1 200 OK\r\n: empty name",
        "HTTP/1.1 200 OK\r\nBad Name: x", "HTTP/1.1 200 OK\r\nContent-Length: 1x",
        "HTTP/1.1 200 OK\r\nContent-Length: -1", "HTTP/1.1 200 OK\r\nContent-Length: 101",
        "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999",
        "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked", "HTTP/1.1 200 OK\r\nA: b\x01"}) {
    EXPECT_FALSE(ParseAnswerHead(bad, 100, &answer, &length, &error)) << bad;
  }
}

TEST(ConsoleTest, DiscoveryAnswersAndSafeHostNames) {
  EXPECT_EQ(HostNameOfAnswer("I am ScanLantern Agent.|web-01"), "web-01");
  EXPECT_EQ(HostNameOfAnswer("I am ScanLantern Agent.|"), "");
  EXPECT_EQ(HostNameOfAnswer("I am ScanLantern Agent.|" + std::string(250, 'h')),
            std::string(250, 'h'));
  EXPECT_FALSE(HostNameOfAnswer("I am ScanLantern Agent.|" + std::string(251, 'h')));
  EXPECT_FALSE(HostNameOfAnswer("I am ScanLantern Agent."));
  EXPECT_FALSE(HostNameOfAnswer("i am scanlantern agent.|x"));
  EXPECT_FALSE(HostNameOfAnswer("Are You ScanLantern Agent?"));
  // Control bytes, C1 controls and stray bytes never reach the terminal.
  EXPECT_EQ(HostNameOfAnswer(std::string("I am ScanLantern Agent.|a\x1b[2Jb\0c", 32)),
            "a%1B[2Jb%00c");
  EXPECT_EQ(TerminalSafe("\xc2\x9b"
                         "31m \xa4\xa2 \x7f"),
            "%C2%9B31m %A4%A2 %7F");
  EXPECT_EQ(TerminalSafe("ホスト\tx"), "ホスト%09x");
}

TEST(ConsoleTest, CredentialsFileModeAndForm) {
  EXPECT_EQ(CredentialsModeProblem(S_IFREG | 0600), "");
  EXPECT_EQ(CredentialsModeProblem(S_IFREG | 0400), "");
  EXPECT_NE(CredentialsModeProblem(S_IFREG | 0640).find("0640"), std::string::npos);
  EXPECT_NE(CredentialsModeProblem(S_IFREG | 0604), "");
  EXPECT_NE(CredentialsModeProblem(S_IFREG | 0610), "");

  Credentials c;
  std::string error;
  ASSERT_TRUE(ParseCredentialsText("admin\nse cret\n", &c, &error));
  EXPECT_EQ(c.user, "admin");
  EXPECT_EQ(c.password, "se cret");
  ASSERT_TRUE(ParseCredentialsText("admin\r\npw", &c, &error));
  EXPECT_EQ(c.password, "pw");
  for (const char* bad : {"", "admin", "admin\n", "admin\npw\nmore", "\npw", "ad:min\npw"}) {
    EXPECT_FALSE(ParseCredentialsText(bad, &c, &error)) << bad;
  }
}

TEST(ConsoleTest, WatchListBetweenAgentAndPerson) {
  Utf8Converter convert;
  const std::string words = convert.Utf8ToEuc("エラー");
  const std::string subject = convert.Utf8ToEuc("監視通知");
  const std::string wire = "\"/var/log/a.log\",\"" + words +
                           "\",\"3\",\"ops@example.org\",\"\"\n\"" + EucToSjis(subject) +
                           "\",\"line1\tline2\",\"mail\",\"from@x\",\"web-01\"\n" +
                           "/opt/scanlantern/./log/20261208.log\n";
  const std::string text = SettingsTextToUtf8(wire);
  EXPECT_EQ(text,
            "\"/var/log/a.log\",\"エラー\",\"3\",\"ops@example.org\",\"\"\n"
            "\"監視通知\",\"line1\tline2\",\"mail\",\"from@x\",\"web-01\"\n"
            "/opt/scanlantern/./log/20261208.log\n");

  // Back: the log path is dropped, the entries go in EUC-JP, the mail
  // line's subject and body in Shift_JIS.
  PostedList posted = PrepareWatchList(text, false, "list.txt");
  EXPECT_TRUE(posted.problems.empty());
  EXPECT_EQ(posted.body, wire.substr(0, wire.find("/opt/")));
  PostedList raw = PrepareWatchList(wire, true, "list.txt");
  EXPECT_EQ(raw.body, posted.body);

  PostedList bad = PrepareWatchList(
      "\"/a\",\"x\",\"many\",\"\",\"\"\n\"/b\",\"x\"\n\"/"
      "c\",\"x\",\"$1F\",\"\",\"\"\n\"s\",\"b\"\n",
      false, "list.txt");
  ASSERT_EQ(bad.problems.size(), 3u);
  EXPECT_EQ(bad.problems[0].Format(),
            "list.txt:1: SearchCount: many: 'many' is not a valid integer value");
  EXPECT_EQ(bad.problems[1].Format(),
            "list.txt:2: SearchCount: : missing: an entry needs 5 fields, this line has 2");
  EXPECT_EQ(bad.problems[2].Format(),
            "list.txt:4: SMTPServer: : missing: the mail line needs 4 fields, this line has 2");
  EXPECT_EQ(PrepareWatchList("", false, "e").problems.size(), 1u);
  // The mail line left out: the last entry would take its place.
  EXPECT_EQ(PrepareWatchList("\"/a\",\"x\",\"1\",\"\",\"\"\n", false, "e").problems.at(0).Reason,
            "an entry where the mail line belongs (the last line)");
  EXPECT_EQ(PrepareWatchList("\"s\",\"\xa4\xa2\",\"m\",\"f\"\n", false, "e").problems.size(), 1u);
}

}  // namespace
}  // namespace sl
