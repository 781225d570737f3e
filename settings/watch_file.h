// TWatchFile: the runtime form of one watch entry, and the WatchTable.
//
// Filled from the watch list by ReadWatchList, scanned by the watch pass and
// changed by the watch-settings pages. Entries are shared (std::shared_ptr)
// so that a watch pass can keep the entry it is working on while the table
// itself is changed; every field is guarded by the service lock.
#ifndef SL_SETTINGS_WATCH_FILE_H_
#define SL_SETTINGS_WATCH_FILE_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sl {

// A read-only file descriptor that remembers which file (device and inode)
// it was opened on. Owns the descriptor.
class WatchStream {
 public:
  WatchStream() = default;
  ~WatchStream() { Close(); }
  WatchStream(const WatchStream&) = delete;
  WatchStream& operator=(const WatchStream&) = delete;

  // Opens path read-only; false (errno set) on failure.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  dev_t device() const { return dev_; }
  ino_t inode() const { return ino_; }
  // Size of the open file (seek to its end); -1 on error.
  int64_t Size() const;

 private:
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

struct TWatchFile {
  std::string FileName;
  WatchStream Stream;
  int64_t LastSize = 0;
  int64_t CurrentSize = 0;
  std::string SearchString;
  int32_t SearchCount = 0;
  int32_t HitCount = 0;
  std::string MailAddress;
  std::string Command;
};

using WatchTable = std::vector<std::shared_ptr<TWatchFile>>;

// True when a file (not a directory) exists at path.
bool FileExists(const std::string& path);

}  // namespace sl

#endif
