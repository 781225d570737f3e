// HostName: the host's name, the one place the tree asks the kernel for it.
#ifndef SL_CORE_HOST_NAME_H_
#define SL_CORE_HOST_NAME_H_

#include <string>

namespace sl {

// The host name as gethostname() reports it, up to its first NUL byte
// (Linux allows 64 bytes); empty when it cannot be read.
std::string HostName();

}  // namespace sl

#endif
