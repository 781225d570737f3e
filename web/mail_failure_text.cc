#include "web/mail_failure_text.h"

#include <utility>
#include <vector>

#include "core/text.h"
#include "web/admin_texts_ja.h"

namespace sl {

bool ServerReplied(const std::string& reply, bool permanent) {
  if (reply.empty()) return false;
  if (permanent) return true;
  return !reply.starts_with("500 ") && !reply.starts_with("426 ");
}

namespace {

// What a failed step could not do, or nullptr for a step the pages do not
// know.
const char* KnownStepText(const std::string& step) {
  static const std::pair<const char*, const char*> kSteps[] = {
      {"CONNECT", ja::kSmtpConnect},   {"EHLO", ja::kSmtpHello}, {"HELO", ja::kSmtpHello},
      {"STARTTLS", ja::kSmtpStartTls}, {"AUTH", ja::kSmtpAuth},  {"MAIL FROM", ja::kSmtpMailFrom},
      {"RCPT TO", ja::kSmtpRcptTo},    {"DATA", ja::kSmtpData}};
  for (const auto& [name, text] : kSteps) {
    if (step == name) return text;
  }
  return nullptr;
}

}  // namespace

const char* StepText(const std::string& step) {
  const char* text = KnownStepText(step);
  return text ? text : ja::kSmtpOther;
}

std::string ClientReason(const std::string& reply) {
  if (reply.starts_with("426 ")) return ja::kSmtpTimeout;
  static const std::pair<const char*, const char*> kErrors[] = {{"#111)", ja::kSmtpRefused},
                                                                {"#110)", ja::kSmtpTimeout},
                                                                {"#113)", ja::kSmtpUnreachable},
                                                                {"#101)", ja::kSmtpUnreachable},
                                                                {"DNS lookup", ja::kSmtpNoName}};
  for (const auto& [mark, text] : kErrors) {
    if (reply.find(mark) != std::string::npos) return text;
  }
  return reply.starts_with("500 ") ? reply.substr(4) : reply;
}

std::string ExplainMailDetail(const std::string& detail) {
  std::vector<std::string> lines = SplitLines(detail);
  if (lines.empty()) return detail;
  const std::string& first = lines.front();
  const size_t colon = first.find(": ");
  const std::string step = colon == std::string::npos ? std::string() : first.substr(0, colon);
  const char* step_text = KnownStepText(step);
  if (step_text == nullptr) return detail;  // a refused recipient only, or another text
  const std::string reply = first.substr(colon + 2);
  std::string out = step_text;
  // A server's reply is shown as the server gave it; the client's own
  // failure is said in Japanese.
  out += ": " + (ServerReplied(reply, false) ? reply : ClientReason(reply));
  for (size_t i = 1; i < lines.size(); ++i) out += "\n" + lines[i];
  return out;
}

}  // namespace sl
