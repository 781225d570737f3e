#include "core/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/texts_ja.h"

namespace sl {

namespace {

std::tm LocalTime(std::time_t when) {
  std::tm tm{};
  localtime_r(&when, &tm);
  return tm;
}

}  // namespace

std::string FormatTimestamp(std::time_t when) {
  std::tm tm = LocalTime(when);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

EventLog::EventLog(std::string base_path, Mirror mirror)
    : base_path_(std::move(base_path)), mirror_(std::move(mirror)) {}

void EventLog::CloseFile() const {
  fd_.Reset();
  open_path_.clear();
}

const char* EventLog::Heading(int32_t code) {
  static const std::string k72 = std::string(ja::kHeading72a) + "\n" + ja::kHeading72b;
  switch (code) {
    case 0: return ja::kHeading0;
    case 20: return ja::kHeading20;
    case 22: return ja::kHeading22;
    case 24: return ja::kHeading24;
    case 30: return ja::kHeading30;
    case 50: return ja::kHeading50;
    case 51: return ja::kHeading51;
    case 67: return ja::kHeading67;
    case 72: return k72.c_str();
    case 75: return ja::kHeading75;
    case 98: return ja::kHeading98;
    case 99: return ja::kHeading99;
    default: return nullptr;
  }
}

std::string EventLog::FileFor(std::time_t when) const {
  std::tm tm = LocalTime(when);
  char name[32];
  std::snprintf(name, sizeof name, "%04d%02d%02d.log", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday);
  return base_path_ + "./log/" + name;
}

void EventLog::LogEvent(int32_t code, std::string_view detail) const {
  std::time_t now = std::time(nullptr);
  std::string entry;
  if (const char* heading = Heading(code)) {
    entry.reserve(64 + detail.size());
    entry += FormatTimestamp(now);
    entry += ' ';
    const size_t text_start = entry.size();
    entry += heading;
    entry += '\n';
    entry += detail;
    entry += '\n';
    if (mirror_) {
      mirror_(code, std::string_view(entry).substr(text_start, entry.size() - text_start - 1));
    }
  }
  entry += "\n\n";
  Append(now, entry);
}

void EventLog::LogLine(std::string_view text) const {
  if (mirror_) mirror_(-1, text);
  std::string entry(text);
  entry += '\n';
  Append(std::time(nullptr), entry);
}

int EventLog::OpenFor(const std::string& path, std::time_t when) const {
  if (fd_.valid() && path == open_path_) {
    if (when == checked_at_) return fd_.get();
    struct stat by_name, open_file;
    if (::stat(path.c_str(), &by_name) == 0 && ::fstat(fd_.get(), &open_file) == 0 &&
        by_name.st_dev == open_file.st_dev && by_name.st_ino == open_file.st_ino) {
      checked_at_ = when;
      return fd_.get();
    }
  }
  CloseFile();
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) {
    write_failures_.fetch_add(1, std::memory_order_relaxed);
    throw EventLogError("Cannot open file \"" + path + "\". " + std::strerror(errno));
  }
  fd_.Reset(fd);
  open_path_ = path;
  checked_at_ = when;
  return fd;
}

void EventLog::Append(std::time_t when, const std::string& entry) const {
  const std::string path = FileFor(when);
  std::lock_guard<std::mutex> lock(mutex_);
  const int fd = OpenFor(path, when);
  size_t done = 0;
  while (done < entry.size()) {
    ssize_t n = ::write(fd, entry.data() + done, entry.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = errno;
      // A descriptor that failed once is not trusted with the next entry.
      CloseFile();
      write_failures_.fetch_add(1, std::memory_order_relaxed);
      throw EventLogError("Write error on \"" + path + "\". " + std::strerror(err));
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace sl
