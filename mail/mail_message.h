// The wire form of a mail, as pure functions: header lines in their fixed
// order, address-list folding, the Date line, body lines (cut and
// dot-stuffed), and the multipart layout of attachments with Base64 parts.
// The SMTP client sends what these functions return, line by line.
#ifndef SL_MAIL_MAIL_MESSAGE_H_
#define SL_MAIL_MAIL_MESSAGE_H_

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"

namespace sl {

enum TSmtpPriority {
  smtpPriorityNone,
  smtpPriorityHighest,
  smtpPriorityHigh,
  smtpPriorityNormal,
  smtpPriorityLow,
  smtpPriorityLowest,
};

enum TSmtpContentType { smtpHtml, smtpPlainText };

inline constexpr char kMailerName[] = "ScanLantern Mailer V1.00";
// Longest body line sent (the 1000 octets of a line with its CR LF that
// servers accept); longer lines are cut.
inline constexpr size_t kMaxBodyLine = 998;
// Characters per Base64 line of an attachment.
inline constexpr size_t kBase64LineLength = 72;

struct MailHeaderFields {
  std::string HdrReplyTo, HdrReturnPath, HdrFrom, HdrTo, HdrCc, HdrSubject, HdrSender;
  TSmtpPriority HdrPriority = smtpPriorityNone;
  TSmtpContentType ContentType = smtpPlainText;
  std::string CharSet = "iso-8859-1";
  std::string MessageId;  // "<...>"; no Message-ID line when empty
};

// Longest header line before it is folded.
inline constexpr size_t kHeaderLineWidth = 78;

// CR and LF replaced by blanks, so a value cannot start a new header line
// or command.
std::string NoLineBreaks(std::string_view text);

// Splits at "," and ";" outside double quotes; parts are trimmed, empty
// parts dropped.
std::vector<std::string> SplitAddressList(std::string_view text);

// The address of a mailbox text: the text between "<" and ">", else the
// first word after an optional quoted display name, else the whole text
// when it holds "@".
std::string ExtractMailAddress(std::string_view text);

// True when the mailbox text's address (ExtractMailAddress) has the form
// "local@domain": a dot-atom or quoted local part, and a dot-atom domain or
// an address literal in brackets.
bool IsMailbox(std::string_view text);

// "Name: first," TAB "second," ... TAB "last" (one address per line);
// nothing when the list holds no address.
std::vector<std::string> AddressListHeader(std::string_view name, std::string_view value);

// "Fri, 06 Mar 2026 09:05:07 +0900": the local time with its zone offset
// (tm_gmtoff).
std::string FormatMailDate(const std::tm& local);

// "<time.pid.counter@host>", unique within the process and across its
// restarts; host is reduced to the characters a domain may hold
// ("localhost" when nothing is left).
std::string MakeMessageId(const std::string& host);

// One header line folded before blanks so that no line exceeds width where
// a blank allows it; continuation lines start with their blank. The blank
// after "Name:" is never a fold.
std::vector<std::string> FoldHeaderLine(std::string_view line, size_t width = kHeaderLineWidth);

// "text/plain" or "text/html".
const char* ContentTypeName(TSmtpContentType type);

// The header lines of a mail in their fixed order, folded, without the
// empty line that ends them. Header values never carry CR or LF.
std::vector<std::string> BuildMailHeaders(const MailHeaderFields& fields, const std::tm& local_now);

// A body line as it goes on the wire (without CR LF): cut to kMaxBodyLine
// bytes, then a leading "." doubled.
std::string BodyWireLine(std::string_view line);

// Multipart layout.
std::string MultipartBoundary(const std::tm& local_now);
std::string MultipartContentTypeLine(const std::string& boundary);
std::vector<std::string> MultipartPreamble(const std::string& boundary, TSmtpContentType type,
                                           const std::string& charset);
// Content type of an attachment by its file name's extension.
std::string AttachmentContentType(std::string_view file_name);
// The file name without its directory.
std::string BaseFileName(std::string_view path);
// Part header of one attachment, up to (not including) the empty line.
std::vector<std::string> AttachmentPartHeader(const std::string& boundary,
                                              const std::string& content_type,
                                              const std::string& file_name);
// The closing lines after the last attachment.
std::vector<std::string> MultipartEnd(const std::string& boundary);
// Bytes in Base64 lines of kBase64LineLength characters.
std::vector<std::string> Base64Lines(std::string_view bytes);

}  // namespace sl

#endif
