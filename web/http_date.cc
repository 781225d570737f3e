#include "web/http_date.h"

#include <cstdio>
#include <vector>

#include "web/http_header_list.h"

namespace sl {

namespace {

const char* const kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int ToInt(std::string_view s) {
  int v = 0;
  for (char c : s) v = v * 10 + (c - '0');
  return v;
}

int MonthIndex(std::string_view s) {
  if (s.size() < 3) return -1;
  for (int i = 0; i < 12; ++i) {
    if (SameText(s.substr(0, 3), kMonths[i])) return i;
  }
  return -1;
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

}  // namespace

std::time_t ParseHTTPDate(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() &&
           (text[i] == ' ' || text[i] == ',' || text[i] == '-' || text[i] == '\t')) {
      // A '-' directly before digits after a time is a zone sign; keep it.
      if (text[i] == '-' && !parts.empty() && parts.back().find(':') != std::string_view::npos)
        break;
      ++i;
    }
    size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] != ' ' && text[i] != ',' && text[i] != '-' && text[i] != '\t')
      ++i;
    if (i > start) parts.push_back(text.substr(start, i - start));
  }
  int day = -1, month = -1, year = -1, hour = -1, minute = 0, second = 0;
  long zone_offset = 0;
  for (std::string_view p : parts) {
    if (p.find(':') != std::string_view::npos && hour < 0) {
      int h = 0, m = 0, s = 0;
      std::string t(p);
      if (std::sscanf(t.c_str(), "%2d:%2d:%2d", &h, &m, &s) < 2) return 0;
      hour = h;
      minute = m;
      second = s;
    } else if ((p[0] == '+' || p[0] == '-') && p.size() == 5 && AllDigits(p.substr(1))) {
      long hh = ToInt(p.substr(1, 2)), mm = ToInt(p.substr(3, 2));
      zone_offset = (hh * 3600 + mm * 60) * (p[0] == '-' ? -1 : 1);
    } else if (AllDigits(p)) {
      if (day < 0 && p.size() <= 2) {
        day = ToInt(p);
      } else if (year < 0 && p.size() <= 4) {
        year = ToInt(p);
        if (p.size() <= 2) year += year < 70 ? 2000 : 1900;
      } else {
        return 0;
      }
    } else if (month < 0 && MonthIndex(p) >= 0 && p.size() <= 9) {
      month = MonthIndex(p);
    }
  }
  if (day < 1 || day > 31 || month < 0 || year < 1601 || hour < 0 || hour > 23 || minute > 59 ||
      second > 60) {
    return 0;
  }
  long days = DaysFromCivil(year, static_cast<unsigned>(month + 1), static_cast<unsigned>(day));
  long long t =
      static_cast<long long>(days) * 86400 + hour * 3600 + minute * 60 + second - zone_offset;
  return t > 0 ? static_cast<std::time_t>(t) : 0;
}

namespace {

std::string FormatDate(std::time_t when, const char* format) {
  std::tm tm{};
  gmtime_r(&when, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, format, kWeekdays[tm.tm_wday], tm.tm_mday, kMonths[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

}  // namespace

std::string FormatHTTPDate(std::time_t when) {
  return FormatDate(when, "%s, %d %s %d %02d:%02d:%02d GMT");
}

std::string FormatIMFDate(std::time_t when) {
  return FormatDate(when, "%s, %02d %s %04d %02d:%02d:%02d GMT");
}

}  // namespace sl
