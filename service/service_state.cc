#include "service/service_state.h"

namespace sl {

namespace {

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
}

}  // namespace

std::string BaseDirectoryOf(const std::string& executable_path) {
  size_t slash = executable_path.rfind('/');
  std::string dir = slash == std::string::npos ? std::string() : executable_path.substr(0, slash + 1);
  ReplaceAll(dir, "//", "/");
  // Only a final "bin/" component: /home/robin/sl/bin/ gives /home/robin/sl/.
  if (dir == "bin/" || (dir.size() > 4 && dir.compare(dir.size() - 5, 5, "/bin/") == 0)) {
    dir.erase(dir.size() - 4);
  }
  return dir;
}

}  // namespace sl
