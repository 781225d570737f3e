// TServerCookies: the cookies of a request ("Cookie" header pieces) and of a
// reply (one "Set-Cookie" line each).
#ifndef SL_WEB_HTTP_COOKIES_H_
#define SL_WEB_HTTP_COOKIES_H_

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace sl {

struct TCookie {
  std::string Name;
  std::string Value;
  std::string Path;
  std::string Domain;
  std::time_t Expires = 0;  // 0: a cookie for the browser session
  bool Secure = false;

  // The text of a "Set-Cookie" line after its name.
  std::string ServerCookie() const;
};

class TServerCookies {
 public:
  // Adds "name=value" (a piece without "=" is a name with an empty value).
  TCookie& AddCookie(std::string_view text);
  TCookie& Add(std::string name, std::string value);
  void Clear() { items_.clear(); }

  size_t Count() const { return items_.size(); }
  const TCookie& operator[](size_t i) const { return items_[i]; }
  // The first cookie of that name (case-sensitive), or nullptr.
  const TCookie* Find(std::string_view name) const;
  const std::vector<TCookie>& Items() const { return items_; }

 private:
  std::vector<TCookie> items_;
};

}  // namespace sl

#endif
