#include "mail/notify_request.h"

#include <algorithm>
#include <string_view>

#include "core/text.h"

namespace sl {

namespace {

// text with \MatchedLines\ and \ResultLine\ replaced, left to right.
std::string ReplaceLines(const std::string& text, const NotifyRequest& request) {
  static constexpr std::string_view kMatched = "\\MatchedLines\\";
  static constexpr std::string_view kResult = "\\ResultLine\\";
  std::string out;
  size_t at = 0;
  for (;;) {
    size_t matched = text.find(kMatched, at);
    size_t result = text.find(kResult, at);
    size_t next = std::min(matched, result);
    if (next == std::string::npos) break;
    out.append(text, at, next - at);
    if (next == matched) {
      out += request.MatchedLines;
      at = next + kMatched.size();
    } else {
      out += request.ResultLine;
      at = next + kResult.size();
    }
  }
  out.append(text, at, std::string::npos);
  return out;
}

}  // namespace

std::string SubstitutePlaceholders(const std::string& text, const NotifyRequest& request,
                                   const std::string& host_name) {
  std::string out = text;
  ReplaceAll(out, "\\ServerName\\", host_name);
  ReplaceAll(out, "\\IPAddress\\", request.HostAddress);
  ReplaceAll(out, "\\WatchFile\\", request.FileName);
  ReplaceAll(out, "\\WatchString\\", request.SearchString);
  ReplaceAll(out, "\\WatchNum\\", std::to_string(request.HitCount));
  ReplaceAll(out, "\\Suppressed\\", std::to_string(request.Suppressed));
  // The watched lines last, and in one sweep: what they bring in is never
  // read for placeholders again.
  return ReplaceLines(out, request);
}

std::string DescribeMailFailure(const MailOutcome& outcome) {
  std::string text;
  if (!outcome.Accepted) {
    text = outcome.FailedStep.empty() ? outcome.Reply : outcome.FailedStep + ": " + outcome.Reply;
  }
  for (const auto& [recipient, reply] : outcome.Refused) {
    if (!text.empty()) text += '\n';
    text += recipient + ": " + reply;
  }
  return text;
}

}  // namespace sl
