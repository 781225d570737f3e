#include "mail/mail_spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <system_error>

#include "core/unique_fd.h"
#include "settings/csv_table.h"

namespace sl {

namespace {

constexpr std::string_view kMagic = "ScanLantern mail 1\n";
constexpr std::string_view kSuffix = ".mail";
constexpr size_t kIdDigits = 20;

std::system_error Failure(int err, const std::string& what) {
  return std::system_error(err, std::generic_category(), what);
}

void AddField(std::string& out, std::string_view key, std::string_view value) {
  out.append(key);
  out += '\t';
  for (char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default: out += c;
    }
  }
  out += '\n';
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case '0': out += '\0'; break;
      default: return false;
    }
  }
  return true;
}

template <typename Int>
bool ParseInt(const std::string& text, Int& out) {
  if (text.empty() || text.size() > 20) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size() || text.find_first_not_of("0123456789", i) != std::string::npos)
    return false;
  try {
    long long value = std::stoll(text);
    out = static_cast<Int>(value);
    return static_cast<long long>(out) == value;
  } catch (const std::exception&) {
    return false;
  }
}

// The fields of a spooled mail, by key, each as a reference into `m`.
template <typename Mail, typename Visit>
void ForEachField(Mail& m, Visit visit) {
  auto& r = m.Request;
  visit("Id", m.Id);
  visit("TriggeredAt", r.TriggeredAt);
  visit("Triggers", r.Triggers);
  visit("FirstTriggeredAt", r.FirstTriggeredAt);
  visit("FirstLine", r.FirstLine);
  visit("FileName", r.FileName);
  visit("SearchString", r.SearchString);
  visit("MailAddress", r.MailAddress);
  visit("ResultLine", r.ResultLine);
  visit("HitCount", r.HitCount);
  visit("Suppressed", r.Suppressed);
  visit("MailSubject", r.MailSubject);
  visit("MailBody", r.MailBody);
  visit("HostAddress", r.HostAddress);
  visit("SMTPServer", r.Smtp.Server);
  visit("FromMailAddress", r.Smtp.From);
  visit("SMTPPort", r.Smtp.Port);
  visit("SMTPSecurity", r.Smtp.Security);
  visit("SMTPUser", r.Smtp.User);
  visit("SMTPPassword", r.Smtp.Password);
  visit("MailRetryHours", r.Smtp.RetryHours);
  visit("Description", m.Description);
  visit("Attempts", m.Attempts);
  visit("LastError", m.LastError);
  visit("MatchedLines", r.MatchedLines);
}

std::string IdName(uint64_t id) {
  char name[kIdDigits + 1];
  std::snprintf(name, sizeof name, "%020" PRIu64, id);
  return std::string(name) + std::string(kSuffix);
}

// The id of a spool file's name, or false for another name.
bool IdOfName(std::string_view name, uint64_t& id) {
  if (name.size() != kIdDigits + kSuffix.size() || !name.ends_with(kSuffix)) return false;
  std::string digits(name.substr(0, kIdDigits));
  if (digits.find_first_not_of("0123456789") != std::string::npos) return false;
  return ParseInt(digits, id);
}

// Reads a whole regular file of at most `limit` bytes, not following a
// link. False (errno set) otherwise.
bool ReadSmallFile(int dir_fd, const char* name, size_t limit, std::string& out) {
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > limit) {
    errno = S_ISREG(st.st_mode) ? EFBIG : EINVAL;
    return false;
  }
  out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::read(fd.get(), out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.resize(done);
  return true;
}

}  // namespace

MailSpool::MailSpool(std::string directory) : directory_(std::move(directory)) {}

std::string MailSpool::PathOf(uint64_t id) const { return directory_ + "/" + IdName(id); }

std::string MailSpool::Encode(const SpooledMail& mail) {
  std::string out(kMagic);
  ForEachField(mail, [&](std::string_view key, const auto& value) {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>) {
      AddField(out, key, value);
    } else {
      AddField(out, key, std::to_string(value));
    }
  });
  return out;
}

bool MailSpool::Decode(std::string_view text, SpooledMail& mail) {
  if (!text.starts_with(kMagic)) return false;
  text.remove_prefix(kMagic.size());
  SpooledMail decoded;
  bool has_id = false;
  std::string value;
  while (!text.empty()) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;  // cut short
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    size_t tab = line.find('\t');
    if (tab == std::string_view::npos || !Unescape(line.substr(tab + 1), value)) return false;
    std::string_view key = line.substr(0, tab);
    bool ok = true;
    ForEachField(decoded, [&](std::string_view name, auto& field) {
      if (name != key) return;
      if constexpr (std::is_same_v<std::decay_t<decltype(field)>, std::string>) {
        field = value;
      } else {
        ok = ParseInt(value, field);
      }
      if (name == "Id") has_id = ok;
    });
    if (!ok) return false;
  }
  if (!has_id) return false;
  mail = std::move(decoded);
  return true;
}

MailSpool::Loaded MailSpool::Load() {
  if (::mkdir(directory_.c_str(), 0700) != 0 && errno != EEXIST)
    throw Failure(errno, "mkdir " + directory_);
  RemoveLeftTemporaryFiles(directory_);
  DIR* dir = ::opendir(directory_.c_str());
  if (dir == nullptr) throw Failure(errno, "opendir " + directory_);
  Loaded loaded;
  const int dir_fd = ::dirfd(dir);
  std::vector<std::pair<std::string, size_t>> bad;  // name, its problem
  while (struct dirent* e = ::readdir(dir)) {
    uint64_t id = 0;
    if (!IdOfName(e->d_name, id)) continue;
    std::string text;
    SpooledMail mail;
    if (!ReadSmallFile(dir_fd, e->d_name, kMaxFileBytes, text)) {
      bad.emplace_back(e->d_name, loaded.Problems.size());
      loaded.Problems.push_back(directory_ + "/" + e->d_name + ": " +
                                std::system_category().message(errno));
    } else if (!Decode(text, mail) || mail.Id != id) {
      bad.emplace_back(e->d_name, loaded.Problems.size());
      loaded.Problems.push_back(directory_ + "/" + e->d_name + ": not a mail of the spool");
    } else {
      loaded.Mails.push_back(std::move(mail));
    }
  }
  for (const auto& [name, problem] : bad) {
    // Set aside, never deleted: a person may still read it.
    if (::renameat(dir_fd, name.c_str(), dir_fd, (name + ".bad").c_str()) != 0) {
      loaded.Problems[problem] +=
          " (cannot be renamed: " + std::system_category().message(errno) + ")";
    }
  }
  ::closedir(dir);
  std::sort(loaded.Mails.begin(), loaded.Mails.end(),
            [](const SpooledMail& a, const SpooledMail& b) { return a.Id < b.Id; });
  return loaded;
}

void MailSpool::Write(const SpooledMail& mail) {
  const std::string path = PathOf(mail.Id);
  if (!WriteFileAtomically(path, Encode(mail))) throw Failure(errno, "create " + path);
}

void MailSpool::Remove(uint64_t id) {
  const std::string path = PathOf(id);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw Failure(errno, "unlink " + path);
}

}  // namespace sl
