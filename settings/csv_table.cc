#include "settings/csv_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <system_error>

#include "core/unique_fd.h"

namespace sl {

namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 32;
    if (y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return false;
  }
  return true;
}

// Reads the dialect token by token. "Last byte" is known because the whole
// input is at hand, which gives the same results as reading through a small
// buffer with one byte of lookahead.
class CsvReader {
 public:
  CsvReader(std::string_view data, char sep, char quote) : data_(data), sep_(sep), quote_(quote) {}

  struct Token {
    std::string text;
    bool quoted = false;
  };

  bool AtEnd() const { return at_end_; }
  char last_delimiter = ' ';

  Token Read() {
    Token t;
    bool in_quotes = false;
    bool ends_in_bare_cr = false;  // the token's last byte is a CR read outside quotes
    for (;;) {
      if (pos_ >= data_.size()) {
        at_end_ = true;
        return t;
      }
      char c = data_[pos_++];
      bool last = pos_ >= data_.size();
      bool ended = false;
      if (!in_quotes) {
        if (c == quote_) {
          in_quotes = true;
          t.quoted = true;
        } else if (c == ' ') {
          // blanks outside quotes vanish
        } else if (c == sep_ || c == '\n') {
          // A file saved with CR LF line ends reads as one with LF ends.
          if (c == '\n' && ends_in_bare_cr) t.text.pop_back();
          last_delimiter = c;
          ended = true;
        } else {
          t.text.push_back(c);
          ends_in_bare_cr = c == '\r';
        }
      } else if (c == quote_) {
        ends_in_bare_cr = false;
        if (!last && data_[pos_] == quote_) {
          t.text.push_back(quote_);
          ++pos_;
          last = pos_ >= data_.size();
        } else {
          in_quotes = false;
        }
      } else {
        t.text.push_back(c);
        ends_in_bare_cr = false;
      }
      if (last) at_end_ = true;
      if (ended || last) return t;
    }
  }

 private:
  std::string_view data_;
  size_t pos_ = 0;
  char sep_;
  char quote_;
  bool at_end_ = false;
};

bool NeedsQuotes(const std::string& cell, const std::string& sep, const std::string& quote) {
  for (char c : cell) {
    if (c == ' ' || c == '\n' || c == '"' || (!sep.empty() && c == sep[0]) ||
        (!quote.empty() && c == quote[0])) {
      return true;
    }
  }
  return false;
}

}  // namespace

CsvTable::CsvTable() = default;

void CsvTable::SetEmptyCursor() {
  cursor_ = -1;
  bof_ = true;
  eof_ = true;
}

int CsvTable::FindField(std::string_view name) const {
  for (size_t i = 0; i < field_names_.size(); ++i) {
    if (EqualsIgnoreCase(field_names_[i], name)) return static_cast<int>(i);
  }
  return -1;
}

bool CsvTable::AddField(const std::string& name) {
  size_t start = name.find_first_not_of(' ');
  if (start == std::string::npos) return false;
  if (FindField(name) >= 0) return false;
  field_names_.push_back(name);
  field_types_.push_back("STRING");
  for (auto& row : rows_) row.emplace_back();
  return true;
}

void CsvTable::AppendRow() {
  rows_.emplace_back(field_names_.size());
  Last();
}

void CsvTable::Clear() {
  field_names_.clear();
  field_types_.clear();
  ClearRows();
}

void CsvTable::ClearRows() {
  rows_.clear();
  SetEmptyCursor();
  LastErrorCode = 0;
  LastErrorText.clear();
}

bool CsvTable::First() {
  if (rows_.empty()) {
    SetEmptyCursor();
    return false;
  }
  cursor_ = 0;
  bof_ = eof_ = false;
  return true;
}

bool CsvTable::Last() {
  if (rows_.empty()) {
    SetEmptyCursor();
    return false;
  }
  cursor_ = RowCount() - 1;
  bof_ = eof_ = false;
  return true;
}

bool CsvTable::Next() {
  if (!rows_.empty() && cursor_ < RowCount() - 1) {
    ++cursor_;
    bof_ = eof_ = false;
    return true;
  }
  eof_ = true;
  bof_ = rows_.empty();
  return false;
}

std::string CsvTable::GetValue(std::string_view column) const {
  int f = FindField(column);
  if (f < 0 || cursor_ < 0 || cursor_ >= RowCount()) return std::string();
  return rows_[cursor_][f];
}

bool CsvTable::SetValue(std::string_view column, const std::string& value) {
  int f = FindField(column);
  if (f < 0) return false;
  return SetCell(f + 1, value);
}

bool CsvTable::SetCell(int column, const std::string& value) {
  if (column < 1 || column > FieldCount()) return false;
  if (cursor_ < 0 || cursor_ >= RowCount()) return false;
  rows_[cursor_][column - 1] = value;
  return true;
}

void CsvTable::LoadFromBytes(std::string_view bytes) {
  Clear();
  const char sep = Separator.empty() ? ',' : Separator[0];
  const char quote = QuoteChar.empty() ? '"' : QuoteChar[0];
  CsvReader reader(bytes, sep, quote);

  // Header: column names up to the first LF.
  reader.last_delimiter = ' ';
  while (reader.last_delimiter != '\n' && !reader.AtEnd()) {
    CsvReader::Token t = reader.Read();
    if (!t.text.empty()) AddField(t.text);
  }

  // Rows: every line that is begun yields a row.
  while (!reader.AtEnd()) {
    reader.last_delimiter = ' ';
    int column = 1;
    while (reader.last_delimiter != '\n' && !reader.AtEnd()) {
      CsvReader::Token t = reader.Read();
      if (column == 1) {
        AppendRow();
        if (!field_types_.empty()) {
          if (!t.text.empty()) {
            field_types_[0] = t.quoted ? "STRING" : "FLOAT";
          } else if (!t.quoted) {
            field_types_[0] = "STRING";
          }
        }
      }
      if (!t.text.empty()) SetCell(column, t.text);
      ++column;
    }
  }
  Last();
}

bool CsvTable::LoadFromFile(const std::string& path) {
  // Without blocking: a FIFO put in the file's place must not stop the caller.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return false;
  // errno tells the caller why: kept across the close.
  auto fail = [&fd](int err) {
    fd.Reset();
    errno = err;
    return false;
  };
  struct stat st;
  int err = ::fstat(fd.get(), &st) != 0 ? errno
            : S_ISREG(st.st_mode)       ? 0
            : S_ISDIR(st.st_mode)       ? EISDIR
                                        : EINVAL;
  if (err != 0) return fail(err);
  std::string data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(errno);
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  fd.Reset();
  LoadFromBytes(data);
  LoadFailed = false;
  return true;
}

std::string CsvTable::Serialize() const {
  std::string out;
  if (field_names_.empty()) return out;  // rows without columns: empty file
  const std::string& q = QuoteChar;
  auto append_quoted = [&](const std::string& text) {
    out += q;
    for (char c : text) {
      if (c == '"') out += '"';
      out += c;
    }
    out += q;
  };
  for (size_t i = 0; i < field_names_.size(); ++i) {
    if (i > 0) out += Separator;
    append_quoted(field_names_[i]);  // a name may hold quotes too
  }
  out += '\n';
  for (const auto& row : rows_) {
    for (size_t i = 0; i < row.size(); ++i) {
      // A FLOAT cell goes out unquoted, as it was read; one that the loader
      // would read back differently (a value set since, holding a blank,
      // quote, separator or line end) is quoted so that saving never changes
      // a setting.
      if (field_types_[i] == "FLOAT" && !NeedsQuotes(row[i], Separator, QuoteChar)) {
        out += row[i];
      } else {
        append_quoted(row[i]);
      }
      out += (i + 1 < row.size()) ? Separator : std::string("\n");
    }
  }
  return out;
}

bool CsvTable::SaveToFile(const std::string& path) {
  LastErrorCode = 0;
  LastErrorText.clear();
  if (!WriteFileAtomically(path, Serialize())) {
    LastErrorCode = 3;
    LastErrorText = "1-Unable to open the file for writing";
    return false;
  }
  LoadFailed = false;
  return true;
}

namespace {

// The file a path finally names: symbolic links are followed (a relative
// link from its own directory) up to the kernel's limit of 40. A dangling
// link gives the path it points to, so that a save creates its target.
std::string FollowLinks(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<size_t>(n) >= target.size()) return current;
    target.resize(static_cast<size_t>(n));
    if (target.empty() || target[0] != '/') {
      size_t slash = current.rfind('/');
      target = (slash == std::string::npos ? std::string() : current.substr(0, slash + 1)) + target;
    }
    current = target;
  }
  return current;  // a loop: the rename below then replaces the last link read
}

// 16 hexadecimal digits from the kernel's random source, so that the
// temporary name of a save cannot be guessed in advance.
std::string RandomSuffix() {
  unsigned char bytes[8] = {};
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < sizeof bytes) {
    // No random source: fall back to what differs between calls.
    static std::atomic<uint64_t> counter{0};
    uint64_t mix =
        (static_cast<uint64_t>(::getpid()) << 32) ^ counter.fetch_add(1) ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::memcpy(bytes, &mix, sizeof bytes);
  }
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes) {
  // A settings file that is a symbolic link stays one: its target is
  // replaced, by a temporary file in the target's own directory.
  const std::string target = FollowLinks(path);
  std::string tmp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
    tmp = target + ".tmp." + RandomSuffix();
    // 0600 from the first moment: the file may hold the login password.
    fd.Reset(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid() && errno != EEXIST) return false;
  }
  if (!fd.valid()) return false;

  auto fail = [&](int err, const char* what) {
    fd.Reset();
    ::unlink(tmp.c_str());
    throw std::system_error(err, std::generic_category(), std::string(what) + " " + path);
  };
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, "write");
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0) fail(errno, "write");

  // Only the whole, flushed file gets the old file's owner and mode; a new
  // file keeps 0600.
  struct stat old;
  if (::stat(target.c_str(), &old) == 0) {
    if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) {
      // Keeping the owner is a courtesy; the content matters.
    }
    if (::fchmod(fd.get(), old.st_mode & 07777) != 0) fail(errno, "chmod");
  }
  if (!fd.Close()) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw std::system_error(err, std::generic_category(), "close " + path);
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw std::system_error(err, std::generic_category(), "rename " + path);
  }
  // The rename itself reaches the disk with its directory.
  size_t slash = target.rfind('/');
  std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.valid()) ::fsync(dir_fd.get());
  return true;
}

int RemoveLeftTemporaryFiles(const std::string& dir) {
  static constexpr std::string_view kMark = ".tmp.";
  static constexpr size_t kSuffix = 16;
  int removed = 0;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return 0;
  const int dir_fd = ::dirfd(d);
  while (struct dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name.size() <= kMark.size() + kSuffix) continue;
    std::string_view suffix = name.substr(name.size() - kSuffix);
    if (name.substr(name.size() - kSuffix - kMark.size(), kMark.size()) != kMark ||
        suffix.find_first_not_of("0123456789abcdef") != std::string_view::npos) {
      continue;
    }
    struct stat st;
    if (::fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid()) {
      continue;
    }
    if (::unlinkat(dir_fd, e->d_name, 0) == 0) ++removed;
  }
  ::closedir(d);
  return removed;
}

}  // namespace sl
