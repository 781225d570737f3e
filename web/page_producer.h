// TPageProducer: fills an HTML template through a tag callback.
//
// The template is copied to the output byte for byte, except that every tag
// "<#" name parameters ">" is replaced by the text that OnHTMLTag returns
// (nothing when no handler is set or it returns an empty text). The
// producer knows nothing of HTTP. One instance produces one page at a time;
// it takes no lock, so callers that share an instance serialise their use.
//
// TCopyParser is the tokenizer of the tag pass: it reads the template
// through a 4096-byte buffer and hands out symbols, single bytes and the
// blanks between them, copying whatever the pass asks for to the output.
#ifndef SL_WEB_PAGE_PRODUCER_H_
#define SL_WEB_PAGE_PRODUCER_H_

#include <cstddef>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sl {

// A template that the tag pass cannot read ("Line too long on line N").
class EParserError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A template file that cannot be opened, or a malformed escape in a tag
// parameter.
class EPageProducerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TTag { tgCustom, tgLink, tgImage, tgTable, tgImageMap, tgObject, tgEmbed };

// The TTag value of a tag name (letter case ignored).
TTag TagOfName(std::string_view name);

class TCopyParser {
 public:
  static constexpr size_t kBufferSize = 4096;

  enum Kind { kEnd, kSymbol, kChar };

  // Reads the first token; blanks before it are copied to `output`.
  TCopyParser(std::istream& in, std::string& output);
  TCopyParser(const TCopyParser&) = delete;
  TCopyParser& operator=(const TCopyParser&) = delete;

  Kind TokenKind() const { return kind_; }
  // The byte of a single-character token, 0 otherwise.
  char TokenChar() const { return kind_ == kChar ? token_[0] : '\0'; }
  const std::string& TokenString() const { return token_; }
  int SourceLine() const { return line_; }

  // Appends the current token's bytes to the output.
  void CopyTokenToOutput() { output_ += token_; }
  // Moves to the next token. The blanks in between are appended to
  // `blanks` when it is given and dropped otherwise.
  void Advance(std::string* blanks);
  // Moves to the next token copying the blanks to the output.
  void AdvanceCopyingBlanks() { Advance(&output_); }

 private:
  // Makes at least one unread byte available; false at the end of input.
  bool Fill();
  int Peek();

  std::istream& in_;
  std::string& output_;
  char buffer_[kBufferSize];
  size_t pos_ = 0;     // next unread byte
  size_t limit_ = 0;   // bytes of the buffer the scanner may use
  size_t stored_ = 0;  // bytes held in the buffer
  bool input_done_ = false;
  int line_ = 1;
  Kind kind_ = kEnd;
  std::string token_;
};

class TPageProducer {
 public:
  using THTMLTagEvent =
      std::function<void(TTag tag, const std::string& tag_string,
                         const std::vector<std::string>& tag_params, std::string& replace_text)>;

  TPageProducer() = default;
  virtual ~TPageProducer() = default;

  // Template file; when not empty it is used and HTMLDoc is ignored.
  // Setting a name that differs (letter case ignored) empties HTMLDoc.
  void SetHTMLFile(const std::string& file_name);
  const std::string& HTMLFile() const { return html_file_; }
  // Template text lines (joined with LF); assigning them empties HTMLFile.
  void SetHTMLDoc(std::vector<std::string> lines);
  const std::vector<std::string>& HTMLDoc() const { return html_doc_; }

  bool StripParamQuotes = true;
  std::string ScriptEngine;  // accepted for compatibility; nothing uses it
  THTMLTagEvent OnHTMLTag;

  // Reads the template anew and returns the page.
  std::string ProducePage();
  std::string ProducePage(std::istream& html);
  std::string ProducePage(std::string_view html);

  // The text for one tag: asks OnHTMLTag, empty when there is no handler.
  virtual std::string ReplaceTag(const std::string& tag_string,
                                 const std::vector<std::string>& tag_params);

 private:
  std::string html_file_;
  std::vector<std::string> html_doc_;
};

// Splits a tag's parameter text into fields at runs of spaces, CR and LF
// (double-quoted stretches keep their spaces), URL-decodes each field and,
// with strip_quotes, removes pairs of quotes. Throws EPageProducerError for
// a "%" not followed by two hexadecimal digits.
std::vector<std::string> SplitTagParams(std::string_view text, bool strip_quotes);

// Removes quote pairs, scanning from the end; a quote of the other kind
// inside a pair becomes "&quot;" or "&#39;".
std::string StripQuotes(std::string s);

}  // namespace sl

#endif
