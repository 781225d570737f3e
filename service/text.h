// Small byte-string helpers shared by the subsystems: Base64 of RFC 2045
// (alphabet A-Z a-z 0-9 + /, "=" padding) and splitting text into lines.
#ifndef SL_SERVICE_TEXT_H_
#define SL_SERVICE_TEXT_H_

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

}  // namespace sl

#endif
