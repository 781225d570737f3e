#include "core/host_name.h"

#include <unistd.h>

#include <cstring>

namespace sl {

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return std::string(name, strnlen(name, sizeof name));
}

}  // namespace sl
