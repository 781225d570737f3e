#include "mail/smtp_reply.h"

#include <climits>

namespace sl {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Position just after the code (blanks, sign and digits); npos without digits.
size_t CodeEnd(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) ++i;
  size_t digits = i;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  return i == digits ? std::string_view::npos : i;
}

}  // namespace

int SmtpReplyCode(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  long long value = 0;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
    value = value * 10 + (line[i] - '0');
    if (value > INT_MAX) value = INT_MAX;
    ++i;
  }
  return static_cast<int>(negative ? -value : value);
}

bool SmtpReplyContinues(std::string_view line) {
  size_t end = CodeEnd(line);
  return end != std::string_view::npos && end < line.size() && line[end] == '-';
}

std::string_view SmtpReplyText(std::string_view line) {
  size_t end = CodeEnd(line);
  if (end == std::string_view::npos) return line;
  if (end < line.size() && (line[end] == ' ' || line[end] == '-')) ++end;
  return line.substr(end);
}

std::vector<SmtpReplyLine> SplitSmtpReplyLines(std::string_view data, size_t* consumed,
                                               size_t max_line) {
  std::vector<SmtpReplyLine> lines;
  if (max_line == 0) max_line = 1;
  size_t start = 0;
  for (;;) {
    size_t lf = data.find('\n', start);
    size_t end, next;
    // Lengths are compared, not positions: start + max_line may not fit.
    if (lf != std::string_view::npos && lf - start < max_line) {
      end = lf;
      next = lf + 1;
      if (end > start && data[end - 1] == '\r') --end;
    } else if (data.size() - start >= max_line) {
      end = start + max_line;
      next = end;
    } else {
      break;
    }
    SmtpReplyLine line;
    line.Text = std::string(data.substr(start, end - start));
    line.Code = SmtpReplyCode(line.Text);
    line.Continued = SmtpReplyContinues(line.Text);
    lines.push_back(std::move(line));
    start = next;
  }
  *consumed = start;
  return lines;
}

}  // namespace sl
