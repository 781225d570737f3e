#include "web/http_cookies.h"

#include "web/http_date.h"

namespace sl {

std::string TCookie::ServerCookie() const {
  std::string s = Name + "=" + Value;
  if (!Path.empty()) s += "; path=" + Path;
  if (!Domain.empty()) s += "; domain=" + Domain;
  if (Expires > 0) s += "; expires=" + FormatHTTPDate(Expires);
  if (Secure) s += "; secure";
  return s;
}

TCookie& TServerCookies::AddCookie(std::string_view text) {
  size_t eq = text.find('=');
  if (eq == std::string_view::npos) return Add(std::string(text), std::string());
  return Add(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
}

TCookie& TServerCookies::Add(std::string name, std::string value) {
  TCookie c;
  c.Name = std::move(name);
  c.Value = std::move(value);
  items_.push_back(std::move(c));
  return items_.back();
}

const TCookie* TServerCookies::Find(std::string_view name) const {
  for (const TCookie& c : items_) {
    if (c.Name == name) return &c;
  }
  return nullptr;
}

}  // namespace sl
