// Tells requests sent by another site's page from the administration's own.
//
// A browser sends the cached Basic credentials of the administration with
// any request a foreign page makes it send (a form, an image), so a request
// that changes settings must also show that it comes from the
// administration's own pages. Browsers say where a request comes from in
// "Sec-Fetch-Site", "Origin" and "Referer"; a program such as the
// management console or curl sends none of them and is not affected.
#ifndef SL_WEB_REQUEST_ORIGIN_H_
#define SL_WEB_REQUEST_ORIGIN_H_

#include <string_view>

#include "web/http_header_list.h"

namespace sl {

// True when the request was sent on behalf of another origin than
// "http://" + its "Host": a "Sec-Fetch-Site" other than "same-origin" or
// "none"; an "Origin" (even an empty one or "null") of another scheme, host
// or port; or, without "Origin", a non-empty "Referer" of another scheme,
// host or port. Host names compare without regard to case; a missing port
// is the scheme's default.
bool IsCrossOriginRequest(const THeaderList& headers);

// Whether URL `url` (scheme "://" authority ...) has the origin of
// "http://" + host: same scheme, host and port.
bool SameOriginAsHost(std::string_view url, std::string_view host);

}  // namespace sl

#endif
