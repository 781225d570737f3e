// TMimeTable: file extension to content type.
//
// Built from a fixed list of well-known types, then amended by the
// system's mime.types files (when they exist); the later files override the
// built-in entries of the same extension. Extensions and types are stored in
// lower case, extensions with their leading ".". Filled once at
// construction and read-only afterwards, so it may be read from any thread.
#ifndef SL_WEB_MIME_TABLE_H_
#define SL_WEB_MIME_TABLE_H_

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sl {

inline constexpr char kDefaultMimeType[] = "application/octet-stream";

class TMimeTable {
 public:
  // The files read by the default constructor, in this order.
  static const std::vector<std::string>& SystemFiles();
  // The built-in "ext=type" entries, in order (".xbm" and ".xml" appear
  // twice; the first of each wins).
  static const std::vector<std::string>& BuiltInEntries();

  TMimeTable() : TMimeTable(SystemFiles()) {}
  explicit TMimeTable(const std::vector<std::string>& mime_files);

  // The content type for the file name's extension (the text from its last
  // "." within the last path segment, lower-cased), or kDefaultMimeType.
  std::string LookupMimeType(std::string_view file_name) const;
  // Exact lookup of a lower-case extension such as ".gif"; empty if absent.
  std::string TypeOfExtension(std::string_view extension) const;

  size_t Count() const { return extensions_.size(); }
  const std::vector<std::string>& Extensions() const { return extensions_; }
  const std::vector<std::string>& Types() const { return types_; }

 private:
  void Build(const std::vector<std::string>& mime_files);

  std::vector<std::string> extensions_;  // parallel lists, in list order
  std::vector<std::string> types_;
  std::unordered_map<std::string, size_t> index_;
};

// Reads one mime.types text into the entry list ("ext=type" lines): "#"
// starts a comment, the first field is the type, every further field an
// extension; fields are separated by runs of blanks and TABs.
void MergeMimeTypesText(std::string_view text, std::vector<std::string>& entries);

}  // namespace sl

#endif
