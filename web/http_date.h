// HTTP date texts: reading the three forms clients send and writing the
// form the engine puts into reply headers. Times are seconds since the
// epoch (UTC); 0 stands for "no date".
#ifndef SL_WEB_HTTP_DATE_H_
#define SL_WEB_HTTP_DATE_H_

#include <ctime>
#include <string>
#include <string_view>

namespace sl {

// Reads "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT"
// and "Sun Nov  6 08:49:37 1994" (and a numeric zone such as +0900 in
// place of GMT). Returns 0 for an empty or unreadable text.
std::time_t ParseHTTPDate(std::string_view text);

// "Sun, 6 Nov 1994 08:49:37 GMT": weekday, day without leading zero, month,
// year, time, zone.
std::string FormatHTTPDate(std::time_t when);

// The RFC 9110 form, "Sun, 06 Nov 1994 08:49:37 GMT" (two-digit day), as
// the Date header of every reply has it.
std::string FormatIMFDate(std::time_t when);

}  // namespace sl

#endif
