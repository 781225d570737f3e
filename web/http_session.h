// THTTPSession and THTTPDefaultSessionList: per-client state kept by the
// web server between requests, found again through the "HTTPSESSIONID"
// cookie.
//
// A session belongs to the client address that started it and lives until
// it has been idle for the list's time-out (0: until the list is cleared).
// Sessions are shared between connection threads: the list and each
// session's content are guarded by their own locks.
#ifndef SL_WEB_HTTP_SESSION_H_
#define SL_WEB_HTTP_SESSION_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/mutex.h"
#include "core/thread_annotations.h"

namespace sl {

inline constexpr char kSessionCookieName[] = "HTTPSESSIONID";

class THTTPSession {
 public:
  using Clock = std::chrono::steady_clock;

  THTTPSession(std::string session_id, std::string remote_host);

  const std::string& SessionID() const { return session_id_; }
  const std::string& RemoteHost() const { return remote_host_; }

  // The application's values, as name=value lines.
  std::string Value(std::string_view name) const;
  void SetValue(std::string_view name, std::string_view value);  // empty removes
  std::vector<std::string> Content() const;

  Clock::time_point LastTimeStamp() const;
  void Touch();

 private:
  const std::string session_id_;
  const std::string remote_host_;
  mutable Mutex mu_;
  std::vector<std::string> content_ GUARDED_BY(mu_);
  Clock::time_point last_time_stamp_ GUARDED_BY(mu_);
};

class THTTPDefaultSessionList {
 public:
  using SessionEvent = std::function<void(THTTPSession&)>;

  THTTPDefaultSessionList() = default;
  ~THTTPDefaultSessionList();
  THTTPDefaultSessionList(const THTTPDefaultSessionList&) = delete;
  THTTPDefaultSessionList& operator=(const THTTPDefaultSessionList&) = delete;

  // A new session with a fresh random identifier, added to the list.
  std::shared_ptr<THTTPSession> CreateSession(const std::string& remote_host);
  // Adds a session made elsewhere (it replaces one with the same id).
  void Add(std::shared_ptr<THTTPSession> session);
  // The live session of that id for that client; refreshes its time stamp.
  std::shared_ptr<THTTPSession> GetSession(const std::string& session_id,
                                           const std::string& remote_host);
  // Ends every session idle for longer than timeout_ms (nothing when 0).
  void PurgeStaleSessions(int32_t timeout_ms);
  // Ends every session.
  void Clear();
  size_t Count() const;

  // Called for each session that is removed; set before the server starts.
  SessionEvent OnSessionEnd;

 private:
  void End(std::vector<std::shared_ptr<THTTPSession>> ended);

  mutable Mutex mu_;
  std::map<std::string, std::shared_ptr<THTTPSession>> sessions_ GUARDED_BY(mu_);
};

// 32 hexadecimal digits from the system's random source.
std::string NewSessionID();

}  // namespace sl

#endif
