#include "web/request_origin.h"

#include <string>

namespace sl {

namespace {

struct Origin {
  std::string scheme;  // lower case
  std::string host;    // lower case; an IPv6 literal keeps its brackets
  std::string port;    // digits, the scheme's default when none was given
};

// The origin of a URL; false when it has none (no "://", no host, a port
// that is not a number, "null").
bool ParseOrigin(std::string_view url, Origin& out) {
  size_t sep = url.find("://");
  if (sep == std::string_view::npos || sep == 0) return false;
  out.scheme = LowerCase(url.substr(0, sep));
  std::string_view authority = url.substr(sep + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view host = authority;
  std::string_view port;
  size_t colon;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(0, close + 1);
    std::string_view rest = authority.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    if (!rest.empty()) port = rest.substr(1);
  } else if ((colon = authority.find(':')) != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return false;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
  }
  while (port.size() > 1 && port.front() == '0') port.remove_prefix(1);
  out.host = LowerCase(host);
  if (!port.empty()) {
    out.port = std::string(port);
  } else if (out.scheme == "http") {
    out.port = "80";
  } else if (out.scheme == "https") {
    out.port = "443";
  } else {
    out.port.clear();
  }
  return true;
}

}  // namespace

bool SameOriginAsHost(std::string_view url, std::string_view host) {
  Origin theirs, ours;
  if (!ParseOrigin(url, theirs) || !ParseOrigin("http://" + std::string(host), ours)) return false;
  return theirs.scheme == ours.scheme && theirs.host == ours.host && theirs.port == ours.port;
}

bool IsCrossOriginRequest(const THeaderList& headers) {
  if (headers.Has("Sec-Fetch-Site")) {
    std::string site = headers.Value("Sec-Fetch-Site");
    if (site != "same-origin" && site != "none") return true;
  }
  const std::string host = headers.Value("Host");
  if (headers.Has("Origin")) return !SameOriginAsHost(headers.Value("Origin"), host);
  std::string referer = headers.Value("Referer");
  return !referer.empty() && !SameOriginAsHost(referer, host);
}

}  // namespace sl
