// Japanese text for mail headers and bodies that every reader decodes.
//
// Header values leave as 7-bit text: plain ASCII words stay as they are,
// every run of words that holds Japanese (or anything that cannot stand
// plain) becomes RFC 2047 "B" encoded words of ISO-2022-JP, each at most
// kMaxEncodedWord characters and ending in ASCII mode. Blanks inside such a
// run are encoded with it, so they survive decoding. The words are
// separated by single blanks, where FoldHeaderLine may fold the line.
//
// Input is EUC-JP. Bytes that are not a JIS X 0208 character, a half-width
// katakana or ASCII never pass: a JIS X 0212 character (8F) becomes the
// substitute mark, any other stray byte "?".
#ifndef SL_MAIL_MIME_WORDS_H_
#define SL_MAIL_MIME_WORDS_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace sl {

// Short enough that "Subject: " and one word fit in a 78-character line.
inline constexpr size_t kMaxEncodedWord = 66;
// Longest header field on the wire, CR LF and folds included.
inline constexpr size_t kMaxHeaderOctets = 998;

// The EUC-JP text with every byte that is not part of a character the
// ISO-2022-JP form can carry replaced, and the control bytes that would
// derail a reader (NUL, ESC, SO, SI; in headers every control but TAB, with
// CR and LF as blanks) made "?".
std::string CleanEuc(std::string_view euc, bool header);

// ISO-2022-JP of a clean EUC-JP text, back in ASCII mode at its end.
std::string ClosedJis(std::string_view euc);

// A header value: plain words and encoded words, 7-bit, no line breaks.
std::string EncodeHeaderText(std::string_view euc);

// An address list with its display names encoded where they are not
// plain ASCII; addresses are kept, parts joined with ", ".
std::string EncodeAddressList(std::string_view euc);

// The folded "Subject: ..." field of an EUC-JP subject, cut at a character
// boundary so that the whole field (with CR LF after each line) stays
// within kMaxHeaderOctets. Returns the encoded value (without the name).
std::string EncodeSubject(std::string_view euc);

}  // namespace sl

#endif
