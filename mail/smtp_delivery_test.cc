// Delivery to a real SMTP server on loopback (aiosmtpd), read back with
// Python's email package.
#include <gtest/gtest.h>

#include "mail/sync_smtp_client.h"
#include "mail/test_peers.h"

namespace sl {
namespace {

using testing::DecodedMail;
using testing::SmtpSink;

void PointAt(TSyncSmtpCli& client, const SmtpSink& sink) {
  client.Host = "127.0.0.1";
  client.Port = sink.PortText();
  client.Timeout = 10;
  client.SignOn = "delivery test";
  client.FromName = "agent@example.com";
  client.HdrFrom = "Agent <agent@example.com>";
}

TEST(SmtpDeliveryTest, MessageWithAttachmentsArrivesIntact) {
  SmtpSink sink;
  testing::TempDir files;
  std::string text = "report line 1\nreport line 2\n";
  std::string binary;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
  }
  testing::WriteFile(files.path() + "/report.txt", text);
  testing::WriteFile(files.path() + "/data.bin", binary);

  TSyncSmtpCli client;
  PointAt(client, sink);
  client.RcptName = {"one@example.com", "\"Two\" <two@example.com>"};
  client.HdrTo = "one@example.com, two@example.com";
  client.HdrSubject = "Delivery test";
  client.MailMessage = {"first", ".", ".dot", std::string(2000, 'x'), "last"};
  client.EmailFiles = {files.path() + "/report.txt", files.path() + "/data.bin"};
  ASSERT_TRUE(client.OpenSync()) << client.ErrorMessage();
  ASSERT_TRUE(client.MailSync()) << client.ErrorMessage();
  ASSERT_TRUE(client.QuitSync()) << client.ErrorMessage();
  ASSERT_TRUE(sink.WaitForMails(1));

  EXPECT_EQ(
      testing::ReadFile(sink.EnvelopePath(1)),
      "FROM agent@example.com\nRCPT one@example.com\nRCPT two@example.com\nHELO delivery_test\n");
  DecodedMail mail = testing::DecodeMail(sink.MailPath(1));
  EXPECT_TRUE(mail.Defects.empty()) << mail.Raw;
  EXPECT_EQ(mail.Subject, "Delivery test");
  ASSERT_GE(mail.Headers.size(), 3u) << mail.Raw;
  EXPECT_EQ(mail.Headers[0], "From: Agent <agent@example.com>");
  EXPECT_EQ(mail.Headers[1], "To: one@example.com,\r\n\ttwo@example.com");
  bool multipart = false;
  for (const std::string& h : mail.Headers)
    multipart |= h.rfind("Content-Type: multipart/mixed;", 0) == 0;
  EXPECT_TRUE(multipart) << mail.Raw;
  EXPECT_EQ(mail.Charset, "iso-8859-1");
  ASSERT_EQ(mail.Body.size(), 5u) << mail.Raw;
  EXPECT_EQ(mail.Body[0], "first");
  EXPECT_EQ(mail.Body[1], ".");
  EXPECT_EQ(mail.Body[2], ".dot");
  EXPECT_EQ(mail.Body[3].size(), 998u);
  EXPECT_EQ(mail.Body[4], "last");
  ASSERT_EQ(mail.Attachments.size(), 2u) << mail.Raw;
  EXPECT_EQ(mail.Attachments[0].Name, "report.txt");
  EXPECT_EQ(mail.Attachments[0].Type, "text/plain");
  EXPECT_EQ(mail.Attachments[0].Bytes, text);
  EXPECT_EQ(mail.Attachments[1].Name, "data.bin");
  EXPECT_EQ(mail.Attachments[1].Type, "application/octet-stream");
  EXPECT_EQ(mail.Attachments[1].Bytes, binary);
}

TEST(SmtpDeliveryTest, EveryMechanismAuthenticatesAtARealServer) {
  SmtpSink sink({"--auth", "user:s3cret pass"});
  int stored = 0;
  for (TSmtpAuthType type :
       {smtpAuthPlain, smtpAuthLogin, smtpAuthCramMD5, smtpAuthCramSha1, smtpAuthAutoSelect}) {
    SCOPED_TRACE(type);
    TSyncSmtpCli client;
    PointAt(client, sink);
    client.AuthType = type;
    client.Username = "user";
    client.Password = "s3cret pass";
    client.RcptName = {"one@example.com"};
    client.MailMessage = {"authenticated"};
    ASSERT_TRUE(client.OpenSync()) << client.ErrorMessage();
    if (type == smtpAuthAutoSelect) {
      EXPECT_EQ(client.AuthTypesSupported(),
                (std::vector<std::string>{"CRAM-MD5", "CRAM-SHA1", "LOGIN", "PLAIN"}));
    }
    ASSERT_TRUE(client.MailSync()) << client.ErrorMessage();
    EXPECT_TRUE(client.QuitSync());
    ++stored;
  }
  EXPECT_TRUE(sink.WaitForMails(stored));

  // Without the right password, or without AUTH, the server refuses.
  TSyncSmtpCli client;
  PointAt(client, sink);
  client.AuthType = smtpAuthLogin;
  client.Username = "user";
  client.Password = "guess";
  EXPECT_FALSE(client.OpenSync());
  EXPECT_EQ(client.RequestResult(), 535);
  client.QuitSync();
  client.AuthType = smtpAuthNone;
  client.RcptName = {"one@example.com"};
  ASSERT_TRUE(client.OpenSync());
  EXPECT_FALSE(client.MailSync());
  EXPECT_EQ(client.RequestResult(), 530);
  client.QuitSync();
}

}  // namespace
}  // namespace sl
