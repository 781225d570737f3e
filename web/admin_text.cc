#include "web/admin_text.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "web/http_header_list.h"

namespace sl {

namespace {

bool IsBlank(char c) {
  auto b = static_cast<unsigned char>(c);
  return b >= 1 && b <= 32;
}

std::string WorkingDirectory() {
  std::string buf(256, '\0');
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() > (1u << 20)) return "/";
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::char_traits<char>::length(buf.c_str()));
  return buf;
}

}  // namespace

std::string ParamValue(const std::vector<std::string>& params, std::string_view name) {
  for (const std::string& line : params) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (SameText(std::string_view(line).substr(0, eq), name)) return line.substr(eq + 1);
  }
  return std::string();
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::vector<std::string> SplitCommaFields(std::string_view line) {
  size_t nul = line.find('\0');
  if (nul != std::string_view::npos) line = line.substr(0, nul);
  std::vector<std::string> fields;
  size_t p = 0;
  const size_t n = line.size();
  while (p < n && IsBlank(line[p])) ++p;
  while (p < n) {
    std::string field;
    if (line[p] == '"') {
      ++p;
      while (p < n) {
        if (line[p] == '"') {
          if (p + 1 < n && line[p + 1] == '"') {
            field += '"';
            p += 2;
          } else {
            ++p;
            break;
          }
        } else {
          field += line[p++];
        }
      }
    } else {
      size_t start = p;
      while (p < n && !IsBlank(line[p]) && line[p] != ',') ++p;
      field.assign(line.substr(start, p - start));
    }
    fields.push_back(std::move(field));
    while (p < n && IsBlank(line[p])) ++p;
    if (p < n && line[p] == ',') {
      if (p + 1 == n) fields.emplace_back();
      ++p;
      while (p < n && IsBlank(line[p])) ++p;
    }
  }
  return fields;
}

std::string ExpandPath(const std::string& path) {
  std::string full = (!path.empty() && path[0] == '/') ? path : WorkingDirectory() + "/" + path;
  std::vector<std::string_view> parts;
  std::string_view rest(full);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (std::string_view part : parts) {
    out += '/';
    out += part;
  }
  if (out.empty()) return "/";
  if (full.back() == '/') out += '/';
  return out;
}

}  // namespace sl
