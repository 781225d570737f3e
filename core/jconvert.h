// Japanese code conversions on byte strings, both directions.
//
// Text inside the service is EUC-JP. Mail subjects leave as RFC 2047 "B"
// encoded words of ISO-2022-JP text, mail bodies and web pages as Shift_JIS,
// and the administration's posts come back in Shift_JIS.
// Every function is pure and never fails: malformed input gives malformed
// output. A lead byte with no byte after it is paired with a NUL byte.
#ifndef SL_CORE_JCONVERT_H_
#define SL_CORE_JCONVERT_H_

#include <array>
#include <string>
#include <string_view>

namespace sl {

// EUC-JP to ISO-2022-JP: two-byte runs between ESC "$B" and ESC "(B"; half-width
// katakana become full-width characters, merged with a following sound mark
// where one exists. No switch back is added at the end of the text.
std::string EucToJis(std::string_view euc);

// EUC-JP to Shift_JIS. Half-width katakana lose their single-shift byte.
std::string EucToSjis(std::string_view euc);

// Shift_JIS to EUC-JP: double-byte characters of JIS X 0208 (with code
// page 932's NEC rows) become their EUC-JP pair, half-width katakana get the
// 8E prefix, the double-byte characters EUC-JP lacks (lead bytes F0 to FC:
// user-defined and IBM extensions) become "〓", everything else (ASCII,
// stray or incomplete bytes) passes unchanged.
std::string SjisToEuc(std::string_view text);

// One JIS X 0208 pair (7-bit bytes) to its two Shift_JIS bytes.
std::array<unsigned char, 2> JisToSjis(unsigned char j1, unsigned char j2);

// A header text in EUC-JP with every run of two-byte characters replaced by
// "=?ISO-2022-JP?B?...?=". Plain bytes stay as they are; nothing is folded.
std::string MimeHeaderEncode(std::string_view euc);

// True when the byte starts a two-byte EUC-JP character (8E, A1 to FE).
inline bool IsEucLeadByte(unsigned char b) { return b == 0x8E || (b >= 0xA1 && b <= 0xFE); }

}  // namespace sl

#endif
