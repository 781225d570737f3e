#include "watch/path_watch.h"

#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sl {

namespace {

constexpr uint32_t kDirMask = IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                              IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// File systems whose changes inotify does not (fully) see.
bool IsUnfollowableFs(unsigned long type) {
  switch (type) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE
    case 0x00C36400:  // Ceph
    case 0x01021997:  // 9P
    case 0x5346414F:  // AFS
    case 0x73757245:  // Coda
    case 0x564C:      // NCP
    case 0x7461636F:  // OCFS2
    case 0x01161970:  // GFS2
    case 0x0BD00BD0:  // Lustre
    case 0x9FA0:      // proc
    case 0x62656572:  // sysfs
      return true;
    default: return false;
  }
}

}  // namespace

PathWatch::PathWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

PathWatch::~PathWatch() = default;

bool PathWatch::Add(const void* key, const std::string& path, const struct stat* link_stat) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (!fd_.valid() || name.empty() || name == "." || name == ".." ||
      (link_stat && S_ISLNK(link_stat->st_mode)) || refused_dirs_.count(dir)) {
    Unbind(key);
    return false;
  }
  int wd = ::inotify_add_watch(fd_.get(), dir.c_str(), kDirMask);
  if (wd < 0) {
    Unbind(key);
    return false;
  }
  auto bound = keys_.find(key);
  if (bound != keys_.end() && bound->second.wd == wd && bound->second.name == name) return true;
  auto [it, is_new] = dirs_.try_emplace(wd);
  if (is_new) {
    struct statfs fs;
    if (::statfs(dir.c_str(), &fs) != 0 ||
        IsUnfollowableFs(static_cast<unsigned long>(fs.f_type))) {
      ::inotify_rm_watch(fd_.get(), wd);
      dirs_.erase(it);
      refused_dirs_.insert(dir);
      Unbind(key);
      return false;
    }
    it->second.path = dir;
  }
  // Bind first, then drop the old binding, so a directory shared by both
  // keeps its watch.
  it->second.names[name].push_back(key);
  if (bound != keys_.end()) Unbind(key);
  keys_[key] = Binding{wd, name};
  return true;
}

void PathWatch::Remove(const void* key) { Unbind(key); }

void PathWatch::Unbind(const void* key) {
  auto bound = keys_.find(key);
  if (bound == keys_.end()) return;
  Binding b = bound->second;
  keys_.erase(bound);
  auto dir = dirs_.find(b.wd);
  if (dir == dirs_.end()) return;
  auto name = dir->second.names.find(b.name);
  if (name != dir->second.names.end()) {
    std::vector<const void*>& keys = name->second;
    auto k = std::find(keys.begin(), keys.end(), key);
    if (k != keys.end()) keys.erase(k);
    if (keys.empty()) dir->second.names.erase(name);
  }
  if (dir->second.names.empty()) {
    ::inotify_rm_watch(fd_.get(), b.wd);
    dirs_.erase(dir);
  }
}

// The directory itself went away or moved: its keys are reported and left
// unbound, to be bound again to whatever is at their paths now.
void PathWatch::DropDir(int wd, bool remove_watch,
                        const std::function<void(const void*)>& changed) {
  auto dir = dirs_.find(wd);
  if (dir == dirs_.end()) return;
  for (const auto& [name, keys] : dir->second.names) {
    for (const void* key : keys) {
      keys_.erase(key);
      changed(key);
    }
  }
  if (remove_watch) ::inotify_rm_watch(fd_.get(), wd);
  dirs_.erase(dir);
}

bool PathWatch::Poll(const std::function<void(const void*)>& changed) {
  if (!fd_.valid()) return true;
  bool complete = true;
  alignas(struct inotify_event) char buf[64 * 1024];
  for (;;) {
    ssize_t n = ::read(fd_.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (char* p = buf; p < buf + n;) {
      const auto* ev = reinterpret_cast<const struct inotify_event*>(p);
      p += sizeof(struct inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) {
        complete = false;
        continue;
      }
      if (ev->len > 0) {
        auto dir = dirs_.find(ev->wd);
        if (dir != dirs_.end()) {
          auto name = dir->second.names.find(std::string(ev->name, ::strnlen(ev->name, ev->len)));
          if (name != dir->second.names.end()) {
            for (const void* key : name->second) changed(key);
          }
        }
      }
      if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
        DropDir(ev->wd, !(ev->mask & IN_IGNORED), changed);
      }
    }
  }
  return complete;
}

}  // namespace sl
