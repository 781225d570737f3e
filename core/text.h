// Small byte-string helpers shared by the subsystems: Base64 of RFC 2045
// (alphabet A-Z a-z 0-9 + /, "=" padding), splitting text into lines, the
// form in which text from outside goes into the event log, trimming and
// replacing.
#ifndef SL_CORE_TEXT_H_
#define SL_CORE_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace sl {

// Encodes without line breaks.
std::string Base64Encode(std::string_view bytes);

// Decodes; characters outside the alphabet (blanks, line ends) are skipped
// and decoding stops at the first "=".
std::string Base64Decode(std::string_view text);

// Splits text into lines at CR, LF or CR LF; a line end at the very end adds
// no empty line, and an empty text gives no line.
std::vector<std::string> SplitLines(std::string_view text);

// Bytes of the EUC-JP character that starts at euc[i], judged by its lead
// byte alone: 1 below 0x80, 3 after SS3 (8F, JIS X 0212), else 2. With
// join_sound_mark, a half-width katakana followed by a half-width sound
// mark (8E xx 8E DE or 8E DF) counts as one character of 4 bytes, as
// ISO-2022-JP carries it as one full-width character. The length may reach
// past the end of a text cut inside a character.
size_t EucCharLength(std::string_view euc, size_t i, bool join_sound_mark);

// Text from outside (a request, a mail server's reply, a watched line) as
// it goes into the event log: every control byte (below 0x20, and 0x7F)
// except TAB is written as %XX, so that the text can neither start log
// entries of its own nor reach a terminal as a control sequence; 8-bit
// bytes (EUC-JP) stay as they are. With max_bytes > 0 a longer text is cut
// at max_bytes, never inside an EUC-JP character, and marked with "...".
std::string EscapeForLog(std::string_view text, size_t max_bytes = 0);

// ASCII letter case, byte by byte; other bytes (EUC-JP, Shift_JIS) stay.
bool SameText(std::string_view a, std::string_view b);
std::string LowerCase(std::string_view text);
std::string UpperCase(std::string_view text);

// text without the bytes 0 to 32 (controls and blank) at either end.
std::string_view Trim(std::string_view text);

// Replaces every occurrence of from in text by to, left to right; the
// replacement is not searched again.
void ReplaceAll(std::string& text, std::string_view from, std::string_view to);

// The base directory of an executable path: the path up to its last "/",
// every "//" made "/", then a final "bin/" component removed.
std::string BaseDirectoryOf(const std::string& executable_path);

}  // namespace sl

#endif
