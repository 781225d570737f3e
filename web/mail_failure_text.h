// A failed mail send as a person reads it in the pages, in Japanese: what
// could not be done, toward which server, and why when the client itself
// gave up; the server's reply only when a server gave one. The event log
// and /Status.json keep the client's own texts.
#ifndef SL_WEB_MAIL_FAILURE_TEXT_H_
#define SL_WEB_MAIL_FAILURE_TEXT_H_

#include <string>

namespace sl {

// True when `reply` came from a server: the client's own failures read
// "500 <socket error>" or "426 Timeout", while a server's 5xx is permanent.
bool ServerReplied(const std::string& reply, bool permanent);

// What the failed step could not do (EUC-JP).
const char* StepText(const std::string& step);

// Why the client gave up, in Japanese where the cause is a known one; else
// the client's own text without its code (EUC-JP).
std::string ClientReason(const std::string& reply);

// A failure as DescribeMailFailure writes it ("STEP: reply", then each
// refused recipient with its reply, one a line) for the pages:
// "接続できません: 接続を拒否されました", a server's reply kept as it is.
std::string ExplainMailDetail(const std::string& detail);

}  // namespace sl

#endif
