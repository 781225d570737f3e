// The bounds that the web server sets on its clients, in one place.
//
// The administration port faces the network without a login in front of
// it, so every client gets a share of threads, memory and time that it
// cannot stretch: a connection beyond the caps is refused at once with
// 503, a request that is late is cut, a body that crawls is cut, and a
// reply that nobody reads is given up. The README lists these numbers.
#ifndef SL_WEB_HTTP_LIMITS_H_
#define SL_WEB_HTTP_LIMITS_H_

#include <cstddef>
#include <cstdint>

namespace sl {

// Connections served at once, and from one client address.
inline constexpr int32_t kMaxConnections = 256;
inline constexpr int32_t kMaxConnectionsPerAddress = 32;
// A new connection is taken once its first bytes have come, or after this
// many seconds if none come; until then it holds no thread and does not
// count against the caps.
inline constexpr int32_t kDeferAcceptS = 1;
// The request line and all headers must have come within this time of the
// connection being taken.
inline constexpr int32_t kHeaderTimeMs = 20000;
// A body may take this long, and after that must keep coming at no less
// than kMinBodyRate bytes a second on average.
inline constexpr int32_t kBodyGraceMs = 10000;
inline constexpr int64_t kMinBodyRate = 1024;
// A write to a client that takes nothing for this long is given up.
inline constexpr int32_t kWriteTimeoutMs = 60000;
// After a reply the server ends its sending side and takes what the client
// still sends for at most this long, so that the close does not reset the
// connection before the client has read the reply.
inline constexpr int32_t kLingerMs = 1000;
// Sizes: the header section (and a chunked body's trailers; a single line
// may have 16384 bytes, the connection's MaxLineLength), and a body.
inline constexpr size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr int64_t kMaxBodyBytes = 8 * 1024 * 1024;

}  // namespace sl

#endif
