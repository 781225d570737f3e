// The SMTP AUTH mechanisms as pure functions: the mechanism choice from the
// server's EHLO lines and the client's answers (RFC 4616 PLAIN, LOGIN, and
// the CRAM challenge-response of RFC 2195 with MD5 or SHA-1). The HMACs come
// from the system's libcrypto.
#ifndef SL_MAIL_SMTP_AUTH_H_
#define SL_MAIL_SMTP_AUTH_H_

#include <string>
#include <string_view>
#include <vector>

namespace sl {

enum TSmtpAuthType {
  smtpAuthNone,
  smtpAuthPlain,
  smtpAuthLogin,
  smtpAuthCramMD5,
  smtpAuthCramSha1,
  smtpAuthAutoSelect,
};

// The mechanisms named by one EHLO reply line ("250-AUTH PLAIN LOGIN" or
// "250-AUTH=LOGIN"), upper-cased; empty for a line that is not an AUTH line.
std::vector<std::string> AuthMechanismsOfEhloLine(std::string_view line);

// The most mechanism names the client keeps from one EHLO reply.
inline constexpr size_t kMaxAuthMechanisms = 16;

// Adds the mechanisms of an EHLO reply line to *kept: each name once, at
// most kMaxAuthMechanisms in all.
void KeepAuthMechanisms(std::string_view line, std::vector<std::string>* kept);

// The strongest of PLAIN, LOGIN, CRAM-MD5, CRAM-SHA1 among the advertised
// mechanisms; CRAM-MD5 when none of them is advertised.
TSmtpAuthType SelectAuthMechanism(const std::vector<std::string>& advertised);

// The mechanism to try after a 504 refusal of `refused` under automatic
// selection: CRAM-SHA1 -> CRAM-MD5 -> LOGIN -> PLAIN; smtpAuthNone when
// there is none.
TSmtpAuthType AuthFallback(TSmtpAuthType refused);

// Base64 of authzid NUL authcid NUL password.
std::string AuthPlainResponse(std::string_view authzid, std::string_view authcid,
                              std::string_view password);

// Lower-case hexadecimal HMAC-MD5 or HMAC-SHA1 of data keyed with key.
std::string HmacHex(bool sha1, std::string_view key, std::string_view data);

// The CRAM answer to a Base64 challenge: Base64(user + " " + HmacHex).
std::string CramResponse(bool sha1, std::string_view user, std::string_view password,
                         std::string_view challenge_base64);

}  // namespace sl

#endif
