// Who holds a local port: read from the kernel's socket tables in /proc.
//
// A start that cannot bind its port says which process is in the way. The
// socket bound to the port is looked up by its inode in /proc/net/{tcp,udp}
// (and their IPv6 forms), and the process by a descriptor that refers to
// that inode. Processes of other users or name spaces may stay hidden; the
// answer then says only that the port is in use.
#ifndef SL_SERVICE_PORT_HOLDER_H_
#define SL_SERVICE_PORT_HOLDER_H_

#include <string>

namespace sl {

// "TCP port 4009 is held by pid 1234 (nginx)", or "TCP port 4009 is in use"
// when the holder cannot be found. `udp` selects the protocol.
std::string DescribePortHolder(int port, bool udp);

}  // namespace sl

#endif
