#include "settings/watch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace sl {

namespace {

constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

bool IsReadable(const struct stat& st) { return S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode); }

}  // namespace

bool WatchStream::Open(const std::string& path, bool follow_links) {
  Close();
  // First a handle that only names the file (opening it this way touches no
  // device), then the same file opened for reading through /proc, so the
  // path cannot be switched to another file between the check and the open.
  // Without follow_links the handle names a link itself, never its target.
  UniqueFd handle(::open(path.c_str(), O_PATH | O_CLOEXEC | (follow_links ? 0 : O_NOFOLLOW)));
  if (!handle.valid()) return false;
  struct stat st;
  if (::fstat(handle.get(), &st) != 0) return false;
  found_ = st;
  if (S_ISLNK(st.st_mode)) {
    via_link_ = true;
    not_a_file_ = true;
    return true;
  }
  // Followed: whether the path was a link is a question about the path
  // alone; what is read is judged by the handle's fstat above.
  struct stat link;
  via_link_ = follow_links && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  if (!IsReadable(st)) {
    not_a_file_ = true;
    return true;
  }
  UniqueFd fd(::open(("/proc/self/fd/" + std::to_string(handle.get())).c_str(), kReadFlags));
  if (!fd.valid() && errno == ENOENT) fd.Reset(::open(path.c_str(), kReadFlags));  // no /proc
  if (!fd.valid()) return false;
  struct stat now;
  if (::fstat(fd.get(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    errno = ESTALE;  // replaced between the two opens
    return false;
  }
  fd_ = std::move(fd);
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return true;
}

void WatchStream::Close() {
  fd_.Reset();
  dev_ = 0;
  ino_ = 0;
  not_a_file_ = false;
  via_link_ = false;
  found_ = {};
}

int64_t WatchStream::Size() const {
  if (!fd_.valid()) return -1;
  off_t end = ::lseek(fd_.get(), 0, SEEK_END);
  return end < 0 ? -1 : static_cast<int64_t>(end);
}

EntryBinding BindEntry(TWatchFile& entry, bool follow_links) {
  EntryBinding result;
  entry.Stream.Close();
  entry.LastSize = entry.CurrentSize = 0;
  struct stat st;
  if (::lstat(entry.FileName.c_str(), &st) != 0 ||
      (follow_links && ::stat(entry.FileName.c_str(), &st) != 0)) {
    result.state = EntryBinding::State::kMissing;
    result.reason = std::strerror(errno);
    return result;
  }
  if (!entry.Stream.Open(entry.FileName, follow_links)) {
    result.state = EntryBinding::State::kRefused;
    result.reason = std::strerror(errno);
    return result;
  }
  if (entry.Stream.NotAFile()) {
    result.state = EntryBinding::State::kNotAFile;
    return result;
  }
  // The size found when the file was opened: a FIFO has none.
  entry.LastSize = entry.CurrentSize = entry.Stream.Found().st_size;
  result.state = EntryBinding::State::kRead;
  result.bytes_read = entry.LastSize;
  result.size = entry.CurrentSize;
  return result;
}

}  // namespace sl
