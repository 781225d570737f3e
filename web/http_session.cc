#include "web/http_session.h"

#include <random>

namespace sl {

THTTPSession::THTTPSession(std::string session_id, std::string remote_host)
    : session_id_(std::move(session_id)),
      remote_host_(std::move(remote_host)),
      last_time_stamp_(Clock::now()) {}

std::string THTTPSession::Value(std::string_view name) const {
  MutexLock lock(mu_);
  for (const std::string& line : content_) {
    if (line.size() > name.size() && line[name.size()] == '=' &&
        line.compare(0, name.size(), name) == 0) {
      return line.substr(name.size() + 1);
    }
  }
  return std::string();
}

void THTTPSession::SetValue(std::string_view name, std::string_view value) {
  MutexLock lock(mu_);
  std::string line = std::string(name) + "=" + std::string(value);
  for (auto it = content_.begin(); it != content_.end(); ++it) {
    if (it->size() > name.size() && (*it)[name.size()] == '=' &&
        it->compare(0, name.size(), name) == 0) {
      if (value.empty())
        content_.erase(it);
      else
        *it = std::move(line);
      return;
    }
  }
  if (!value.empty()) content_.push_back(std::move(line));
}

std::vector<std::string> THTTPSession::Content() const {
  MutexLock lock(mu_);
  return content_;
}

THTTPSession::Clock::time_point THTTPSession::LastTimeStamp() const {
  MutexLock lock(mu_);
  return last_time_stamp_;
}

void THTTPSession::Touch() {
  MutexLock lock(mu_);
  last_time_stamp_ = Clock::now();
}

THTTPDefaultSessionList::~THTTPDefaultSessionList() { Clear(); }

std::shared_ptr<THTTPSession> THTTPDefaultSessionList::CreateSession(
    const std::string& remote_host) {
  auto session = std::make_shared<THTTPSession>(NewSessionID(), remote_host);
  Add(session);
  return session;
}

void THTTPDefaultSessionList::Add(std::shared_ptr<THTTPSession> session) {
  std::shared_ptr<THTTPSession> replaced;
  {
    MutexLock lock(mu_);
    auto& slot = sessions_[session->SessionID()];
    replaced = std::move(slot);
    slot = std::move(session);
  }
  if (replaced) End({replaced});
}

std::shared_ptr<THTTPSession> THTTPDefaultSessionList::GetSession(const std::string& session_id,
                                                                  const std::string& remote_host) {
  MutexLock lock(mu_);
  auto it = sessions_.find(session_id);
  if (it == sessions_.end() || it->second->RemoteHost() != remote_host) return nullptr;
  it->second->Touch();
  return it->second;
}

void THTTPDefaultSessionList::PurgeStaleSessions(int32_t timeout_ms) {
  if (timeout_ms <= 0) return;
  const auto limit = THTTPSession::Clock::now() - std::chrono::milliseconds(timeout_ms);
  std::vector<std::shared_ptr<THTTPSession>> ended;
  {
    MutexLock lock(mu_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->second->LastTimeStamp() < limit) {
        ended.push_back(std::move(it->second));
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  End(std::move(ended));
}

void THTTPDefaultSessionList::Clear() {
  std::vector<std::shared_ptr<THTTPSession>> ended;
  {
    MutexLock lock(mu_);
    for (auto& entry : sessions_) ended.push_back(std::move(entry.second));
    sessions_.clear();
  }
  End(std::move(ended));
}

size_t THTTPDefaultSessionList::Count() const {
  MutexLock lock(mu_);
  return sessions_.size();
}

void THTTPDefaultSessionList::End(std::vector<std::shared_ptr<THTTPSession>> ended) {
  if (!OnSessionEnd) return;
  for (auto& session : ended) OnSessionEnd(*session);
}

std::string NewSessionID() {
  static const char kHex[] = "0123456789ABCDEF";
  std::random_device rd;
  std::string id;
  for (int i = 0; i < 4; ++i) {
    uint32_t v = rd();
    for (int k = 0; k < 8; ++k) {
      id += kHex[v & 15];
      v >>= 4;
    }
  }
  return id;
}

}  // namespace sl
