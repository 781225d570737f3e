#include "mail/smtp_auth.h"

#include <gtest/gtest.h>

#include "core/text.h"

namespace sl {
namespace {

TEST(SmtpAuthTest, CramMd5MatchesThePublishedExample) {
  // The example exchange of the CRAM-MD5 definition.
  std::string challenge = Base64Encode("<1896.697170952@postoffice.reston.mci.net>");
  EXPECT_EQ(Base64Decode(CramResponse(false, "tim", "tanstaaftanstaaf", challenge)),
            "tim b913a602c7eda7a495b4e6e7334d3890");
}

TEST(SmtpAuthTest, HmacSha1KnownAnswer) {
  // Test case 2 of the HMAC-SHA1 test vectors.
  EXPECT_EQ(HmacHex(true, "Jefe", "what do ya want for nothing?"),
            "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
  EXPECT_EQ(HmacHex(false, "Jefe", "what do ya want for nothing?"),
            "750c783e6ab0b503eaa86e310a5db738");
}

TEST(SmtpAuthTest, PlainPutsNulBetweenTheParts) {
  EXPECT_EQ(Base64Decode(AuthPlainResponse("user", "user", "pw")),
            std::string("user\0user\0pw", 12));
}

TEST(SmtpAuthTest, MechanismsAreReadFromEitherAuthLineForm) {
  EXPECT_EQ(AuthMechanismsOfEhloLine("250-AUTH PLAIN LOGIN cram-md5"),
            (std::vector<std::string>{"PLAIN", "LOGIN", "CRAM-MD5"}));
  EXPECT_EQ(AuthMechanismsOfEhloLine("250 AUTH=LOGIN"), (std::vector<std::string>{"LOGIN"}));
  EXPECT_TRUE(AuthMechanismsOfEhloLine("250-AUTHENTICATE X").empty());
  EXPECT_TRUE(AuthMechanismsOfEhloLine("250-SIZE 1000").empty());
}

TEST(SmtpAuthTest, AutoSelectionTakesTheStrongestAndFallsBackInOrder) {
  EXPECT_EQ(SelectAuthMechanism({"PLAIN", "LOGIN"}), smtpAuthLogin);
  EXPECT_EQ(SelectAuthMechanism({"CRAM-SHA1", "PLAIN", "CRAM-MD5"}), smtpAuthCramSha1);
  EXPECT_EQ(SelectAuthMechanism({"PLAIN"}), smtpAuthPlain);
  EXPECT_EQ(SelectAuthMechanism({"XOAUTH2"}), smtpAuthCramMD5);
  EXPECT_EQ(AuthFallback(smtpAuthCramSha1), smtpAuthCramMD5);
  EXPECT_EQ(AuthFallback(smtpAuthCramMD5), smtpAuthLogin);
  EXPECT_EQ(AuthFallback(smtpAuthLogin), smtpAuthPlain);
  EXPECT_EQ(AuthFallback(smtpAuthPlain), smtpAuthNone);
}

}  // namespace
}  // namespace sl
