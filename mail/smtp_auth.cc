#include "mail/smtp_auth.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>

#include "core/text.h"
#include "mail/smtp_reply.h"

namespace sl {

std::vector<std::string> AuthMechanismsOfEhloLine(std::string_view line) {
  std::vector<std::string> names;
  std::string text = UpperCase(SmtpReplyText(line));
  if (text.compare(0, 5, "AUTH ") != 0 && text.compare(0, 5, "AUTH=") != 0) return names;
  size_t i = 5;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '=')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) names.push_back(text.substr(start, i - start));
  }
  return names;
}

void KeepAuthMechanisms(std::string_view line, std::vector<std::string>* kept) {
  for (std::string& name : AuthMechanismsOfEhloLine(line)) {
    if (kept->size() >= kMaxAuthMechanisms) return;
    if (std::find(kept->begin(), kept->end(), name) == kept->end())
      kept->push_back(std::move(name));
  }
}

TSmtpAuthType SelectAuthMechanism(const std::vector<std::string>& advertised) {
  static const std::pair<const char*, TSmtpAuthType> kByStrength[] = {
      {"CRAM-SHA1", smtpAuthCramSha1},
      {"CRAM-MD5", smtpAuthCramMD5},
      {"LOGIN", smtpAuthLogin},
      {"PLAIN", smtpAuthPlain},
  };
  for (const auto& [name, type] : kByStrength) {
    for (const std::string& a : advertised) {
      if (a == name) return type;
    }
  }
  return smtpAuthCramMD5;
}

TSmtpAuthType AuthFallback(TSmtpAuthType refused) {
  switch (refused) {
    case smtpAuthCramSha1: return smtpAuthCramMD5;
    case smtpAuthCramMD5: return smtpAuthLogin;
    case smtpAuthLogin: return smtpAuthPlain;
    default: return smtpAuthNone;
  }
}

std::string AuthPlainResponse(std::string_view authzid, std::string_view authcid,
                              std::string_view password) {
  std::string raw(authzid);
  raw += '\0';
  raw.append(authcid);
  raw += '\0';
  raw.append(password);
  return Base64Encode(raw);
}

std::string HmacHex(bool sha1, std::string_view key, std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(sha1 ? EVP_sha1() : EVP_md5(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &length);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

std::string CramResponse(bool sha1, std::string_view user, std::string_view password,
                         std::string_view challenge_base64) {
  std::string challenge = Base64Decode(challenge_base64);
  std::string answer(user);
  answer += ' ';
  answer += HmacHex(sha1, password, challenge);
  return Base64Encode(answer);
}

}  // namespace sl
