// Admission: who may use the web administration, decided before anything
// of a request is decoded, and the log lines of the requests it refuses.
//
// Admit checks, in this order, each refusal a short text/plain reply: 503
// while the login (AdminUserId or AdminPassword) is empty; 429 while the
// client's address is locked out after failed logins (LoginThrottle); for
// a route that changes something, 405 unless the method is POST and 403
// for a request that another site's page made a browser send; 401 unless
// the Basic credentials match.
//
// Anyone who reaches the port can send refused requests without end, so
// their log lines go through WriteStrangerLine: at most kStrangerLines a
// minute from one address, the rest counted and noted once a minute by
// NoteLeftOutLines.
//
// Locking: the credentials and the throttle are read and changed under
// ServiceState::Lock, which Admit takes for that only.
#ifndef SL_WEB_ADMISSION_H_
#define SL_WEB_ADMISSION_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "core/address_rate_limiter.h"
#include "core/thread_annotations.h"
#include "settings/service_state.h"
#include "web/http_request.h"
#include "web/http_response.h"
#include "web/login_throttle.h"

namespace sl {

// A short text/plain reply with the status `code`.
void Refuse(THTTPResponseInfo& response, int32_t code, const std::string& text);

class Admission {
 public:
  // Request lines logged per minute and client address for requests that
  // are refused before their login is accepted.
  static constexpr int kStrangerLines = 30;

  explicit Admission(ServiceState& state);
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  // The checks above for a request from `address`; false with the refusal
  // in `response`. `post_only` marks a route that changes something.
  // `request_line` is the request's log line while it is not yet written;
  // a lock-out writes it before its own entry.
  bool Admit(const std::string& address, const THTTPRequestInfo& request, bool post_only,
             THTTPResponseInfo& response, std::string& request_line) EXCLUDES(state_.Lock);

  // Writes the request's log line unless it is written already (empty).
  void WriteRequestLine(std::string& request_line);
  // The line of a request refused before its login was accepted: at most
  // kStrangerLines a minute from one address, the rest counted.
  void WriteStrangerLine(std::string& request_line, const std::string& address);
  // Notes in the log how many such lines were left out, for the addresses
  // whose last note is a minute old; called about once a second.
  void NoteLeftOutLines();

  // Writes a warning to the event log and to standard output when the
  // login is empty, which closes the administration; true then.
  bool WarnWhenLoginMissing() EXCLUDES(state_.Lock);
  // The warning itself.
  void WarnLoginMissing();

 private:
  // The credentials; counts failures per address and logs a lock-out.
  bool Authenticated(const std::string& address, const THTTPRequestInfo& request,
                     const std::string& user, const std::string& password,
                     std::string& request_line) EXCLUDES(state_.Lock);

  ServiceState& state_;
  LoginThrottle throttle_ GUARDED_BY(state_.Lock);
  AddressRateLimiter stranger_lines_{kStrangerLines, std::chrono::minutes(1)};
};

}  // namespace sl

#endif
