// The one way from a host name to addresses.
//
// ResolveIPv4 takes a dotted IPv4 literal as it stands, without a lookup,
// and asks the system's resolver (getaddrinfo) for any other name.
// CanonicalName asks the resolver for a name's canonical form. Both block
// for as long as the resolver takes; callers run them off the threads that
// must not wait.
#ifndef SL_NET_RESOLVER_H_
#define SL_NET_RESOLVER_H_

#include <netinet/in.h>

#include <string>
#include <vector>

namespace sl {

// True when host is made of digits and dots only: it is taken as an IPv4
// literal and never looked up.
bool LooksLikeDottedAddress(const std::string& host);

// The IPv4 addresses of host, in the resolver's order. Returns 0, or the
// socket layer's error number: EINVAL for an empty host or a dotted text
// that is no address, ResolverError() of a failed lookup, kErrNoData for a
// name without an IPv4 address.
int ResolveIPv4(const std::string& host, std::vector<in_addr>* addresses);

// The resolver's canonical name of host; empty when it gives none.
std::string CanonicalName(const std::string& host);

}  // namespace sl

#endif
