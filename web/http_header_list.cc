#include "web/http_header_list.h"

namespace sl {

namespace {

bool IsContinuation(const std::string& line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

// The name part of a header line, or an empty view.
std::string_view NameOf(std::string_view line) {
  if (line.empty() || line[0] == ' ' || line[0] == '\t') return {};
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return {};
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  return name;
}

}  // namespace

void THeaderList::AddLines(const THeaderList& other) {
  lines_.insert(lines_.end(), other.lines_.begin(), other.lines_.end());
}

std::string THeaderList::Name(size_t i) const { return std::string(NameOf(lines_[i])); }

int THeaderList::IndexOfName(std::string_view name) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string_view n = NameOf(lines_[i]);
    if (!n.empty() && SameText(n, name)) return static_cast<int>(i);
  }
  return -1;
}

std::string THeaderList::ValueAt(size_t i) const {
  const std::string& line = lines_[i];
  size_t colon = line.find(':');
  std::string value(
      Trim(std::string_view(line).substr(colon == std::string::npos ? line.size() : colon + 1)));
  for (size_t j = i + 1; j < lines_.size() && IsContinuation(lines_[j]); ++j) {
    std::string_view more = Trim(lines_[j]);
    if (more.empty()) continue;
    if (!value.empty()) value += ' ';
    value += more;
  }
  return value;
}

std::string THeaderList::Value(std::string_view name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueAt(static_cast<size_t>(i));
}

void THeaderList::SetValue(std::string_view name, std::string_view value) {
  int found = IndexOfName(name);
  if (found >= 0) {
    size_t i = static_cast<size_t>(found);
    size_t end = i + 1;
    while (end < lines_.size() && IsContinuation(lines_[end])) ++end;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i + 1),
                 lines_.begin() + static_cast<std::ptrdiff_t>(end));
    if (value.empty()) {
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      lines_[i] = std::string(name) + ": " + std::string(value);
    }
    return;
  }
  if (!value.empty()) lines_.push_back(std::string(name) + ": " + std::string(value));
}

std::string THeaderList::Text() const {
  std::string out;
  for (const std::string& line : lines_) {
    out += line;
    out += "\r\n";
  }
  return out;
}

}  // namespace sl
