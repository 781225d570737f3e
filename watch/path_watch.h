// PathWatch: tells the watch pass which watched paths may have changed.
//
// Watches the directory of each registered path with inotify and reports the
// keys whose file was written, truncated, created, deleted or moved since the
// last Poll, so that a pass need not look at every file. A path it cannot
// follow this way (inotify unavailable, watch limit reached, a symbolic link,
// a network, FUSE or pseudo file system) is refused: the caller then looks at
// it on every pass. Changes the kernel does not report for the directory
// (made on another NFS client, through a hard link elsewhere, by writing a
// mapping, or by renaming an ancestor directory) are why the caller still
// looks at every path now and then. Not thread-safe.
#ifndef SL_WATCH_PATH_WATCH_H_
#define SL_WATCH_PATH_WATCH_H_

#include <sys/stat.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/unique_fd.h"

namespace sl {

class PathWatch {
 public:
  PathWatch();
  ~PathWatch();
  PathWatch(const PathWatch&) = delete;
  PathWatch& operator=(const PathWatch&) = delete;

  // Binds key to path (replacing an earlier binding of key). `link_stat` is
  // the lstat of path, or nullptr when it failed. False when the path cannot
  // be followed; key is then unbound.
  bool Add(const void* key, const std::string& path, const struct stat* link_stat);
  void Remove(const void* key);
  bool Watching(const void* key) const { return keys_.count(key) != 0; }

  // Reads the pending events and calls changed(key) for each key whose file
  // may have changed. Returns false when the kernel dropped events: every
  // path must then be looked at.
  bool Poll(const std::function<void(const void* key)>& changed);

 private:
  struct Dir {
    std::string path;
    std::unordered_map<std::string, std::vector<const void*>> names;
  };
  struct Binding {
    int wd;
    std::string name;
  };

  void Unbind(const void* key);
  void DropDir(int wd, bool remove_watch, const std::function<void(const void*)>& changed);

  UniqueFd fd_;
  std::unordered_map<int, Dir> dirs_;
  std::unordered_map<const void*, Binding> keys_;
  std::unordered_set<std::string> refused_dirs_;  // on file systems inotify cannot follow
};

}  // namespace sl

#endif
