#include "service/port_holder.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace sl {

namespace {

// Inodes of the sockets bound to `port` in one table of /proc/net. A TCP
// socket counts only while it listens (state 0A); a UDP one always.
std::vector<unsigned long> SocketInodes(const char* table, int port, bool udp) {
  std::vector<unsigned long> inodes;
  std::ifstream in(table);
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmit, uid, timeout;
    unsigned long inode = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmit >> uid >>
          timeout >> inode)) {
      continue;
    }
    size_t colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    if (std::strtol(local.c_str() + colon + 1, nullptr, 16) != port) continue;
    if (!udp && state != "0A") continue;
    if (inode != 0) inodes.push_back(inode);
  }
  return inodes;
}

std::string ProcessName(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

// "pid N (name)" of a process with a descriptor on one of the sockets.
std::string ProcessOf(const std::vector<unsigned long>& inodes) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return std::string();
  std::string found;
  while (found.empty()) {
    struct dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (pid == std::to_string(::getpid())) continue;
    std::string fd_dir = "/proc/" + pid + "/fd";
    DIR* fds = ::opendir(fd_dir.c_str());
    if (fds == nullptr) continue;
    while (struct dirent* fd = ::readdir(fds)) {
      char target[64];
      ssize_t n = ::readlink((fd_dir + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      unsigned long inode = 0;
      if (std::sscanf(target, "socket:[%lu]", &inode) != 1) continue;
      for (unsigned long wanted : inodes) {
        if (inode == wanted) {
          found = "pid " + pid + " (" + ProcessName(pid) + ")";
          break;
        }
      }
      if (!found.empty()) break;
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return found;
}

}  // namespace

std::string DescribePortHolder(int port, bool udp) {
  const char* kind = udp ? "UDP" : "TCP";
  std::vector<unsigned long> inodes;
  for (const char* table : udp ? std::vector<const char*>{"/proc/net/udp", "/proc/net/udp6"}
                               : std::vector<const char*>{"/proc/net/tcp", "/proc/net/tcp6"}) {
    for (unsigned long inode : SocketInodes(table, port, udp)) inodes.push_back(inode);
  }
  std::string text = std::string(kind) + " port " + std::to_string(port);
  std::string holder = inodes.empty() ? std::string() : ProcessOf(inodes);
  return holder.empty() ? text + " is in use" : text + " is held by " + holder;
}

}  // namespace sl
