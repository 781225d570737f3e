#include "web/admission.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdio>
#include <utility>

#include "core/mutex.h"
#include "web/http_header_list.h"
#include "web/request_origin.h"

namespace sl {

namespace {

constexpr char kRealm[] = "ScanLantern http Server";
constexpr char kLoginMissing[] =
    "The web administration is closed: it has no login.\n"
    "Set UserID and Password in data/env.csv, then restart the service.\n";
constexpr char kLoginMissingWarning[] =
    "Warning: UserID or Password is empty in data/env.csv. The web administration answers every "
    "request with 503 until both are set and the service is restarted; watching and mail go on.";
constexpr char kLockedOut[] = "Too many failed logins from this address; try again later.\n";
constexpr char kPostOnly[] = "This address changes the settings and takes POST requests only.\n";
constexpr char kCrossSite[] = "Refused: the request was sent by a page of another site.\n";

// The line that counts the request lines left out for one address.
std::string LeftOutNote(const std::string& address, int64_t count) {
  return std::to_string(count) + " request line(s) from " + address +
         " that were refused before a login were left out of the log (more than " +
         std::to_string(Admission::kStrangerLines) + " a minute)";
}

// Equality of two secrets through their SHA-256 digests, compared in a time
// that depends on neither value.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
  unsigned int la = 0, lb = 0;
  bool hashed = EVP_Digest(a.data(), a.size(), da, &la, EVP_sha256(), nullptr) == 1 &&
                EVP_Digest(b.data(), b.size(), db, &lb, EVP_sha256(), nullptr) == 1 && la == lb;
  return hashed && CRYPTO_memcmp(da, db, la) == 0;
}

}  // namespace

void Refuse(THTTPResponseInfo& response, int32_t code, const std::string& text) {
  response.SetStatusCode(code);
  response.ContentType = "text/plain";
  response.BodyText = text;
}

Admission::Admission(ServiceState& state) : state_(state) {}

bool Admission::Admit(const std::string& address, const THTTPRequestInfo& request, bool post_only,
                      THTTPResponseInfo& response, std::string& request_line) {
  std::string user, password;
  LoginThrottle::Clock::duration locked;
  {
    MutexLock lock(state_.Lock);
    user = state_.AdminUserId;
    password = state_.AdminPassword;
    locked = throttle_.LockedFor(address, LoginThrottle::Clock::now());
  }
  if (user.empty() || password.empty()) {
    Refuse(response, 503, kLoginMissing);
    return false;
  }
  if (locked > LoginThrottle::Clock::duration::zero()) {
    Refuse(response, 429, kLockedOut);
    response.CustomHeaders.SetValue(
        "Retry-After", std::to_string(std::chrono::ceil<std::chrono::seconds>(locked).count()));
    return false;
  }
  if (post_only) {
    if (request.Command != "POST") {
      Refuse(response, 405, kPostOnly);
      response.CustomHeaders.SetValue("Allow", "POST");
      return false;
    }
    if (IsCrossOriginRequest(request.HeaderLines)) {
      Refuse(response, 403, kCrossSite);
      return false;
    }
  }
  if (Authenticated(address, request, user, password, request_line)) return true;
  response.ChallengeRealm = kRealm;
  return false;
}

bool Admission::Authenticated(const std::string& address, const THTTPRequestInfo& request,
                              const std::string& user, const std::string& password,
                              std::string& request_line) {
  // Both are compared, so the time does not tell which one was wrong.
  bool user_ok = SameSecret(request.AuthUsername, user);
  bool password_ok = SameSecret(request.AuthUserPassword, password);
  bool accepted = user_ok && password_ok;
  if (accepted || !request.HasAuthorization) return accepted;  // no credentials: no attempt
  bool locked_now;
  {
    MutexLock lock(state_.Lock);
    locked_now = throttle_.Failed(address, LoginThrottle::Clock::now());
  }
  if (locked_now) {
    WriteRequestLine(request_line);
    try {
      state_.Log.LogEvent(kEventRemoteControlFailure,
                          std::to_string(LoginThrottle::kMaxFailures) + " failed logins from " +
                              address + " within 60 s: its requests are answered 429 for 60 s.");
    } catch (const EventLogError&) {
      // Counted by the log; the refusal is answered all the same.
    }
  }
  return false;
}

void Admission::WriteRequestLine(std::string& request_line) {
  if (request_line.empty()) return;
  std::string line = std::move(request_line);
  request_line.clear();
  state_.Log.LogRequestLine(line);
}

void Admission::WriteStrangerLine(std::string& request_line, const std::string& address) {
  // Anyone who reaches the port can send such requests without end: the
  // log keeps a few a minute of each address, and their number.
  AddressRateLimiter::Decision decision =
      stranger_lines_.Admit(address, AddressRateLimiter::Clock::now());
  if (decision.allow) {
    WriteRequestLine(request_line);
    return;
  }
  request_line.clear();
  if (decision.note) {
    state_.Log.LogRequestLine("Request lines from " + address +
                              " refused before a login are left out of the log beyond " +
                              std::to_string(kStrangerLines) +
                              " a minute; a line a minute counts them");
  }
}

void Admission::NoteLeftOutLines() {
  for (const auto& [address, count] :
       stranger_lines_.TakeReports(AddressRateLimiter::Clock::now())) {
    state_.Log.LogRequestLine(LeftOutNote(address, count));
  }
}

bool Admission::WarnWhenLoginMissing() {
  bool missing;
  {
    MutexLock lock(state_.Lock);
    missing = state_.AdminUserId.empty() || state_.AdminPassword.empty();
  }
  if (missing) WarnLoginMissing();
  return missing;
}

void Admission::WarnLoginMissing() {
  std::string line = std::string(kLoginMissingWarning) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  state_.Log.LogEvent(kEventInformation, kLoginMissingWarning);
}

}  // namespace sl
