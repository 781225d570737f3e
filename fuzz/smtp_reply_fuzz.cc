// Fuzz target: reading an SMTP server's replies.
//
// The input is what a server sends, with a few bytes (taken from its end)
// that choose the line limit and where the data is cut in two receives.
// SplitSmtpReplyLines must give the same lines whether the data arrives at
// once or in two parts with the unused rest carried over (as the client
// does); every line must be free of line feeds, within the limit, and carry
// the code and continuation mark of its text; the rest must be an
// incomplete line shorter than the limit. For each line the code, the text
// after it, the AUTH mechanisms of an EHLO line and the CRAM answer to it
// as a challenge are checked.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"
#include "mail/smtp_auth.h"
#include "mail/smtp_reply.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "smtp_reply_fuzz: %s\n", what);
    std::abort();
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void CheckLine(const sl::SmtpReplyLine& line, size_t max_line) {
  const std::string& text = line.Text;
  Check(text.find('\n') == std::string::npos, "a line feed inside a reply line");
  Check(text.size() <= max_line, "a reply line beyond the limit");
  Check(line.Code == sl::SmtpReplyCode(text) && line.Continued == sl::SmtpReplyContinues(text),
        "a line's code or mark differs from its text");

  // The usual form: three digits, then a blank, a hyphen or nothing.
  if (text.size() >= 3 && IsDigit(text[0]) && IsDigit(text[1]) && IsDigit(text[2]) &&
      (text.size() == 3 || text[3] == ' ' || text[3] == '-')) {
    Check(line.Code == (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0'),
          "a wrong reply code");
    Check(line.Continued == (text.size() > 3 && text[3] == '-'), "a wrong continuation mark");
    Check(
        sl::SmtpReplyText(text) == std::string_view(text).substr(std::min<size_t>(4, text.size())),
        "a wrong text after the code");
  }
  std::string_view rest = sl::SmtpReplyText(text);
  Check(rest.data() >= text.data() && rest.data() + rest.size() == text.data() + text.size(),
        "the text after the code is not the end of the line");
  if (text.find_first_of("0123456789") == std::string::npos) {
    Check(line.Code == 0 && !line.Continued && rest == text,
          "a code read from a line without digits");
  }

  for (const std::string& name : sl::AuthMechanismsOfEhloLine(text)) {
    Check(!name.empty() && name.find_first_of(" \t") == std::string::npos,
          "a blank or empty mechanism name");
    for (char c : name) Check(!(c >= 'a' && c <= 'z'), "a mechanism name not in upper case");
  }

  // The line taken as a CRAM challenge: Base64 of the user, a blank and a
  // hexadecimal digest.
  const bool sha1 = (text.size() & 1) != 0;
  std::string answer = sl::Base64Decode(sl::CramResponse(sha1, "scan@example.com", "secret", rest));
  const std::string prefix = "scan@example.com ";
  Check(answer.compare(0, prefix.size(), prefix) == 0, "a CRAM answer without the user");
  std::string digest = answer.substr(prefix.size());
  Check(digest.size() == (sha1 ? 40u : 32u) &&
            digest.find_first_not_of("0123456789abcdef") == std::string::npos,
        "a CRAM answer without a hexadecimal digest");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  size_t max_line = sl::kSmtpReceiveBufferSize;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 1: max_line = in.ConsumeIntegralInRange<size_t>(1, 64); break;
    case 2:
      max_line = SIZE_MAX - in.ConsumeIntegralInRange<size_t>(0, 16);  // no practical limit
      break;
    case 3:
      max_line = 0;  // taken as 1
      break;
    default: break;
  }
  const size_t effective_limit = max_line == 0 ? 1 : max_line;
  const size_t cut = in.ConsumeIntegral<uint16_t>();
  const std::string received = in.ConsumeRemainingBytesAsString();

  size_t consumed = 0;
  std::vector<sl::SmtpReplyLine> lines = sl::SplitSmtpReplyLines(received, &consumed, max_line);
  Check(consumed <= received.size(), "more consumed than received");
  std::string_view rest = std::string_view(received).substr(consumed);
  Check(rest.find('\n') == std::string_view::npos, "a complete line left unread");
  Check(rest.size() < effective_limit, "a full line's worth of bytes left unread");
  size_t line_bytes = 0;
  for (const sl::SmtpReplyLine& line : lines) {
    CheckLine(line, effective_limit);
    line_bytes += line.Text.size();
  }
  Check(line_bytes <= consumed, "lines longer than the bytes they came from");

  // In two receives, the unused rest of the first carried into the second.
  const size_t first = received.empty() ? 0 : cut % (received.size() + 1);
  size_t used = 0;
  std::vector<sl::SmtpReplyLine> parts =
      sl::SplitSmtpReplyLines(received.substr(0, first), &used, max_line);
  std::string carried = received.substr(used);
  size_t used_again = 0;
  for (sl::SmtpReplyLine& line : sl::SplitSmtpReplyLines(carried, &used_again, max_line)) {
    parts.push_back(std::move(line));
  }
  Check(used + used_again == consumed, "two receives consume other bytes than one");
  Check(parts.size() == lines.size(), "two receives give another number of lines than one");
  for (size_t i = 0; i < lines.size(); ++i) {
    Check(parts[i].Text == lines[i].Text, "two receives give other lines than one");
  }
  return 0;
}
