#include "core/event_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
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

void EventLog::LogRequestLine(std::string_view text) const {
  try {
    if (RoomForRequestLines(std::time(nullptr))) LogLine(text);
  } catch (const EventLogError&) {
    // Counted where it was thrown.
  }
}

uint64_t EventLog::FreeSpaceFloor(uint64_t file_system_size) {
  return std::max(file_system_size / 100, kMinFreeSpace);
}

bool EventLog::RoomForRequestLines(std::time_t now) const {
  std::time_t last = space_checked_at_.load(std::memory_order_relaxed);
  if (last == now || !space_checked_at_.compare_exchange_strong(last, now)) {
    return !short_of_space_.load(std::memory_order_relaxed);
  }
  // One thread a second looks; the others go by what it found last.
  struct statvfs fs;
  const std::string dir = base_path_ + "./log";
  if (::statvfs(dir.c_str(), &fs) != 0) return !short_of_space_.load();
  const uint64_t size = static_cast<uint64_t>(fs.f_blocks) * fs.f_frsize;
  const uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  const bool short_now = free < FreeSpaceFloor(size);
  if (short_of_space_.exchange(short_now) != short_now) {
    const std::string floor = std::to_string(FreeSpaceFloor(size) >> 20) + " MiB";
    if (short_now) {
      LogEvent(kEventSystemError, "Free space for " + dir + " is below " + floor + " (" +
                                      std::to_string(free >> 20) +
                                      " MiB left): request lines are no longer logged.");
    } else {
      LogEvent(kEventInformation, "Free space for " + dir + " is back above " + floor + " (" +
                                      std::to_string(free >> 20) +
                                      " MiB): request lines are logged again.");
    }
  }
  return !short_now;
}

void EventLog::LogLine(std::string_view text) const {
  if (mirror_) mirror_(-1, text);
  std::string entry(text);
  entry += '\n';
  Append(std::time(nullptr), entry);
}

void EventLog::RemoveOldFiles(const std::string& path) const {
  const int32_t days = keep_days_.load(std::memory_order_relaxed);
  if (days <= 0) return;
  // "yyyymmdd.log" names sort by their day: every name before the day
  // `days` days before today's goes.
  std::tm tm{};
  const size_t slash = path.rfind('/');
  const std::string today = path.substr(slash + 1, 8);
  tm.tm_year = std::stoi(today.substr(0, 4)) - 1900;
  tm.tm_mon = std::stoi(today.substr(4, 2)) - 1;
  tm.tm_mday = std::stoi(today.substr(6, 2)) - days;
  tm.tm_hour = 12;  // away from any change of the clock
  tm.tm_isdst = -1;
  std::time_t first_kept = std::mktime(&tm);
  const std::string oldest = FileFor(first_kept).substr(slash + 1);
  const std::string dir = path.substr(0, slash);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    if (name.size() != 12 || name.substr(8) != ".log" ||
        name.substr(0, 8).find_first_not_of("0123456789") != std::string_view::npos ||
        name >= oldest) {
      continue;
    }
    ::unlinkat(::dirfd(d), e->d_name, 0);
  }
  ::closedir(d);
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
  if (path != pruned_for_) {
    pruned_for_ = path;
    RemoveOldFiles(path);
  }
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
  MutexLock lock(mutex_);
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
