#include "web/test_mail.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/jconvert.h"
#include "web/admin_test_util.h"
#include "web/admin_text.h"
#include "web/admin_texts_ja.h"
#include "web/mail_failure_text.h"

namespace sl {
namespace {

using testing::kEnvHeader;
using testing::WriteFile;

// The panel's text for a Japanese constant, as the page shows it.
std::string Shown(const std::string& euc) { return HtmlEscape(EucToSjis(euc)); }

TEST(TestMailTest, QueuesTheCurrentSettingsAndTellsEachOutcome) {
  testing::TempInstall install;
  WriteFile(install.Path("data/env.csv"),
            std::string(kEnvHeader) + "\"admin\",\"Secret\",\"\",\"sl@example.com\",\"s\",\"b\"\n");
  auto state = testing::LoadState(install.base());

  std::vector<NotifyRequest> queued;
  std::vector<std::string> descriptions;
  bool accept = true;
  MailOutcome outcome;
  bool answer = true;
  TestMail mail(
      *state,
      [&](NotifyRequest request, std::string description, MailQueue::DoneFunction done) {
        queued.push_back(request);
        descriptions.push_back(description);
        if (accept && answer) done(outcome);
        return accept;
      },
      std::chrono::milliseconds(20));

  // Nothing is queued without a recipient or a server.
  std::string page = mail.Send("", "10.0.0.1:4000");
  EXPECT_NE(page.find("id=\"testmail-error\""), std::string::npos);
  EXPECT_NE(page.find(Shown(ja::kTestMailNoRecipient)), std::string::npos);
  page = mail.Send("ops@example.com", "10.0.0.1:4000");
  EXPECT_NE(page.find(Shown(ja::kTestMailNoServer)), std::string::npos);
  EXPECT_TRUE(queued.empty());

  {
    MutexLock lock(state->Lock);
    state->EnvTable.SetValue("SMTPServer", "mail.example.com");
  }
  outcome.Accepted = true;
  page = mail.Send("ops@example.com", "10.0.0.1:4000");
  EXPECT_NE(page.find("id=\"testmail-ok\""), std::string::npos);
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].MailAddress, "ops@example.com");
  EXPECT_EQ(queued[0].Smtp.Server, "mail.example.com");
  EXPECT_EQ(queued[0].Smtp.From, "sl@example.com");
  EXPECT_EQ(queued[0].HitCount, 1);
  EXPECT_EQ(descriptions[0], std::string(ja::kTestMailLabel) + "\t10.0.0.1:4000");

  outcome = MailOutcome();
  outcome.FailedStep = "RCPT TO";
  outcome.Reply = "550 <no&one>";
  page = mail.Send("ops@example.com", "10.0.0.1:4000");
  EXPECT_NE(page.find("id=\"testmail-error\""), std::string::npos);
  EXPECT_NE(page.find("550 &lt;no&amp;one&gt;"), std::string::npos);
  EXPECT_NE(page.find(Shown(ja::kTestMailReply)), std::string::npos);
  // No server answered: the step, the server tried and the cause, no reply.
  outcome.FailedStep = "CONNECT";
  outcome.Reply = "500 Connection refused (Winsock error #111)";
  page = mail.Send("ops@example.com", "10.0.0.1:4000");
  EXPECT_NE(page.find(Shown(std::string(ja::kSmtpConnect) +
                            " (mail.example.com:25): " + ja::kSmtpRefused)),
            std::string::npos);
  EXPECT_EQ(page.find(Shown(ja::kTestMailReply)), std::string::npos);
  EXPECT_EQ(page.find("Winsock"), std::string::npos);

  answer = false;  // still on its way when the wait runs out
  page = mail.Send("ops@example.com", "10.0.0.1:4000");
  EXPECT_NE(page.find("id=\"testmail-pending\""), std::string::npos);

  accept = false;
  page = mail.Send("ops@example.com", "10.0.0.1:4000");
  EXPECT_NE(page.find(Shown(ja::kTestMailQueueFull)), std::string::npos);
}

// The status page's mail results in the words of the pages: the client's
// own failures in Japanese, a server's reply as it is.
TEST(MailFailureTextTest, DetailsAreSaidInJapanese) {
  const std::pair<std::string, std::string> cases[] = {
      {"CONNECT: 500 Connection refused (Winsock error #111)",
       testing::Euc("接続できません: 接続を拒否されました")},
      {"HELO: 426 Timeout",
       testing::Euc("あいさつ（EHLO）を受け付けられませんでした: 時間内に応答がありませんでした")},
      {"RCPT TO: 550 5.1.1 no such user\nbad@example.com: 550 5.1.1 no such user",
       testing::Euc("送信先を受け付けられませんでした: ") +
           "550 5.1.1 no such user\nbad@example.com: 550 5.1.1 no such user"},
      {"SETTINGS: FromMailAddress is empty", "SETTINGS: FromMailAddress is empty"},
      {"", ""},
  };
  for (const auto& [detail, shown] : cases) EXPECT_EQ(ExplainMailDetail(detail), shown) << detail;
}

}  // namespace
}  // namespace sl
