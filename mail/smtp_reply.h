// Parsing of SMTP server replies, as pure functions.
//
// A reply is one or more lines ending in CR LF; every line starts with the
// status code, and a code followed directly by "-" marks a line that more
// lines of the same reply follow.
#ifndef SL_MAIL_SMTP_REPLY_H_
#define SL_MAIL_SMTP_REPLY_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sl {

// Size of the client's receive buffer: a line that fills it without a line
// end is cut there and handled as a complete line.
inline constexpr size_t kSmtpReceiveBufferSize = 4096;

// The most a reply may hold, all its lines together: beyond either bound
// the client ends the session with kSmtpReplyTooLong. A server (or anyone
// on the path before STARTTLS) cannot make the client keep more.
inline constexpr size_t kSmtpReplyMaxLines = 100;
inline constexpr size_t kSmtpReplyMaxBytes = 64 << 10;
inline constexpr char kSmtpReplyTooLong[] = "500 reply too long";

struct SmtpReplyLine {
  std::string Text;        // the line without its line end
  int Code = 0;            // SmtpReplyCode(Text)
  bool Continued = false;  // SmtpReplyContinues(Text)
};

// The decimal number at the start of a line: leading blanks skipped, an
// optional sign, digits up to the first other byte; 0 without digits.
// Values beyond the int range are clamped.
int SmtpReplyCode(std::string_view line);

// True when the line's code is followed directly by "-".
bool SmtpReplyContinues(std::string_view line);

// Cuts the complete lines out of received data. A line ends at CR LF (a
// lone LF is accepted too); a run of max_line bytes without a line end is
// cut as a line of its own. *consumed receives the number of bytes used;
// the rest is an incomplete line to be kept for the next call.
std::vector<SmtpReplyLine> SplitSmtpReplyLines(std::string_view data, size_t* consumed,
                                               size_t max_line = kSmtpReceiveBufferSize);

// The text after the code and its separator ("334 xyz" gives "xyz").
std::string_view SmtpReplyText(std::string_view line);

}  // namespace sl

#endif
