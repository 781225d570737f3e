#include "settings/watch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sl {

bool WatchStream::Open(const std::string& path) {
  Close();
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  return true;
}

void WatchStream::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  dev_ = 0;
  ino_ = 0;
}

int64_t WatchStream::Size() const {
  if (fd_ < 0) return -1;
  off_t end = ::lseek(fd_, 0, SEEK_END);
  return end < 0 ? -1 : static_cast<int64_t>(end);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace sl
