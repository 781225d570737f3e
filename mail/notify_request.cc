#include "mail/notify_request.h"

namespace sl {

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
