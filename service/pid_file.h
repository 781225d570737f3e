// PidFile: the service's PID file, held for the life of the process.
//
// The file names the running service (three lines: pid, program name,
// start time) and carries an advisory lock (flock) for as long as its
// owner lives, so a second start can tell a live service from a file that
// a killed process left behind. A start that finds the lock held leaves
// the file alone; a file that nobody holds is taken over. Only the holder
// removes the file, before it lets go of the lock. The descriptor is
// close-on-exec: commands the service starts never inherit the lock.
#ifndef SL_SERVICE_PID_FILE_H_
#define SL_SERVICE_PID_FILE_H_

#include <sys/types.h>

#include <string>

#include "core/unique_fd.h"

namespace sl {

class PidFile {
 public:
  enum class Result {
    kTaken,       // the file is ours now
    kHeld,        // a live process holds it; see holder()
    kLeftBehind,  // ours now; it had been left by a process that is gone
  };

  explicit PidFile(std::string path);
  // Removes the file when it is held.
  ~PidFile();
  PidFile(const PidFile&) = delete;
  PidFile& operator=(const PidFile&) = delete;

  // Locks the file and writes this process's three lines into it. Throws
  // std::runtime_error when the file cannot be opened, locked or written.
  Result Acquire();
  // The pid named by a file whose lock another process holds (0 when the
  // file names none).
  pid_t holder() const { return holder_; }
  bool held() const { return fd_.valid(); }
  // Removes the file and lets go of the lock (also done by the destructor).
  void Release();

 private:
  std::string path_;
  UniqueFd fd_;
  pid_t holder_ = 0;
};

// The first line of a PID file's text as a pid, or 0.
pid_t PidOfPidFileText(const std::string& text);

}  // namespace sl

#endif
