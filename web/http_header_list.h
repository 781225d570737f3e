// THeaderList: the header lines of an HTTP request or reply.
//
// Keeps the lines in order, each as received or as set ("Name: value").
// Lookup by name ignores ASCII letter case; the value is the text after the
// name and its colon, trimmed, joined with the continuation lines that
// follow it (lines starting with a space or a TAB). Setting a value replaces
// the first line of that name in place (dropping its continuation lines) or
// appends a new one; setting an empty value removes the line.
#ifndef SL_WEB_HTTP_HEADER_LIST_H_
#define SL_WEB_HTTP_HEADER_LIST_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/text.h"

namespace sl {

class THeaderList {
 public:
  void Clear() { lines_.clear(); }
  void Add(std::string line) { lines_.push_back(std::move(line)); }
  void AddLines(const THeaderList& other);

  size_t Count() const { return lines_.size(); }
  bool Empty() const { return lines_.empty(); }
  const std::string& Line(size_t i) const { return lines_[i]; }
  const std::vector<std::string>& Lines() const { return lines_; }

  // The name of line i (the text before its colon, without trailing blanks);
  // empty for a continuation line or a line without a colon.
  std::string Name(size_t i) const;
  // Index of the first line named `name`, or -1.
  int IndexOfName(std::string_view name) const;
  bool Has(std::string_view name) const { return IndexOfName(name) >= 0; }
  // The value of the first line named `name`; empty when absent.
  std::string Value(std::string_view name) const;
  // The value of line i with its continuation lines.
  std::string ValueAt(size_t i) const;
  void SetValue(std::string_view name, std::string_view value);

  // All lines, each followed by CR LF.
  std::string Text() const;

 private:
  std::vector<std::string> lines_;
};

}  // namespace sl

#endif
