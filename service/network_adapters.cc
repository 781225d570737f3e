#include "service/network_adapters.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/text.h"
#include "core/unique_fd.h"

namespace sl {

namespace {

constexpr size_t kNameWidth = 15;
constexpr size_t kAddressWidth = 23;
constexpr size_t kFamilyWidth = 15;
constexpr size_t kNetmaskWidth = 15;

std::string Cut(std::string text, size_t width) {
  if (text.size() > width) text.resize(width);
  return text;
}

// Dotted text of an IPv4 socket address; empty for other families.
std::string DottedText(const sockaddr& address) {
  if (address.sa_family != AF_INET) return "";
  sockaddr_in in;
  std::memcpy(&in, &address, sizeof(in));
  char text[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text)) == nullptr) return "";
  return text;
}

std::string HardwareText(const sockaddr& address) {
  std::string text;
  for (int i = 0; i < 6; ++i) {
    char part[4];
    std::snprintf(part, sizeof(part), "%02X", static_cast<unsigned char>(address.sa_data[i]));
    if (i > 0) text += ':';
    text += part;
  }
  return text;
}

std::string BaseName(const std::string& name) { return name.substr(0, name.find(':')); }

// The requests through ioctl on the query's socket.
class IoctlRequests : public InterfaceRequests {
 public:
  explicit IoctlRequests(int fd) : fd_(fd) {}

  bool Flags(const std::string& name, uint32_t* flags) override {
    ifreq req = Request(name);
    if (ioctl(fd_, SIOCGIFFLAGS, &req) != 0) return false;
    *flags = static_cast<unsigned short>(req.ifr_flags);
    return true;
  }
  bool BroadcastAddress(const std::string& name, sockaddr* out) override {
    return Address(SIOCGIFBRDADDR, name, out);
  }
  bool DestinationAddress(const std::string& name, sockaddr* out) override {
    return Address(SIOCGIFDSTADDR, name, out);
  }
  bool HardwareAddress(const std::string& name, sockaddr* out) override {
    return Address(SIOCGIFHWADDR, name, out);
  }
  bool Netmask(const std::string& name, sockaddr* out) override {
    return Address(SIOCGIFNETMASK, name, out);
  }

 private:
  static ifreq Request(const std::string& name) {
    ifreq req;
    std::memset(&req, 0, sizeof(req));
    std::memcpy(req.ifr_name, name.data(), std::min(name.size(), sizeof(req.ifr_name) - 1));
    return req;
  }
  // Every address request answers in the same union member.
  bool Address(unsigned long request, const std::string& name, sockaddr* out) {
    ifreq req = Request(name);
    if (ioctl(fd_, request, &req) != 0) return false;
    std::memcpy(out, &req.ifr_addr, sizeof(*out));
    return true;
  }

  int fd_;
};

std::string BoolText(bool value) { return value ? "True" : "False"; }

}  // namespace

AdapterQueryError::AdapterQueryError(int error_code, const std::string& call_name)
    : std::runtime_error(call_name + " : " + std::system_category().message(error_code)),
      error_code_(error_code),
      call_name_(call_name) {}

std::string AddressFamilyName(int family) {
  switch (family) {
    case 0: return "AF_UNSPEC";
    case 1: return "AF_LOCAL";
    case 2: return "AF_INET";
    case 3: return "AF_AX25";
    case 4: return "AF_IPX";
    case 5: return "AF_APPLETALK";
    case 6: return "AF_NETROM";
    case 7: return "AF_BRIDGE";
    case 8: return "AF_ATMPCV";
    case 9: return "AF_X25";
    case 10: return "AF_INET6";
    case 11: return "AF_ROSE";
    case 12: return "AF_DECnet";
    case 13: return "AF_NETBEUI";
    case 14: return "AF_SECURITY";
    case 15: return "AF_KEY";
    case 16: return "AF_NETLINK";
    case 17: return "AF_PACKET";
    case 18: return "AF_ASH";
    case 19: return "AF_ECONET";
    case 20: return "AF_ATMSVC";
    case 22: return "AF_SNA";
    case 23: return "AF_IRDA";
    case 24: return "AF_PPPOX";
    case 32: return "AF_MAX";
    default: return std::to_string(family);
  }
}

TNetworkInterface TNetworkInterfaces::FromEntry(std::string_view raw_name, const sockaddr& address,
                                                const std::string& previous_name,
                                                InterfaceRequests& requests) {
  TNetworkInterface nic;
  std::string name(raw_name.substr(0, raw_name.find('\0')));
  nic.Name = Cut(name, kNameWidth);
  if (name.find(':') == std::string::npos) {
    nic.Alias = name == previous_name;
  } else {
    nic.Alias = BaseName(name) == BaseName(previous_name);
  }
  nic.Family = Cut(AddressFamilyName(address.sa_family), kFamilyWidth);

  uint32_t flags = 0;
  if (!requests.Flags(name, &flags)) flags = 0;
  nic.Up = flags & IFF_UP;
  nic.Broadcast = flags & IFF_BROADCAST;
  nic.Debug = flags & IFF_DEBUG;
  nic.Loopback = flags & IFF_LOOPBACK;
  nic.PointToPoint = flags & IFF_POINTOPOINT;
  nic.NoTrailers = flags & IFF_NOTRAILERS;
  nic.Running = flags & IFF_RUNNING;
  nic.NoARP = flags & IFF_NOARP;
  nic.AllMulticast = flags & IFF_ALLMULTI;
  nic.LoadBalanceMaster = flags & IFF_MASTER;
  nic.Promisc = flags & IFF_PROMISC;
  nic.LoadBalanceSlave = flags & IFF_SLAVE;
  nic.Multicast = flags & IFF_MULTICAST;
  nic.PortSel = flags & IFF_PORTSEL;
  nic.AutoMedia = flags & IFF_AUTOMEDIA;

  if (nic.Up && address.sa_family == AF_INET) {
    nic.Address = Cut(DottedText(address), kAddressWidth);
    sockaddr answer;
    if (nic.Broadcast && requests.BroadcastAddress(name, &answer)) {
      nic.BroadcastAddress = Cut(DottedText(answer), kAddressWidth);
    }
    if (requests.DestinationAddress(name, &answer)) {
      nic.DestinationAddress = Cut(DottedText(answer), kAddressWidth);
    }
    if (requests.HardwareAddress(name, &answer)) {
      nic.HardwareAddress = Cut(HardwareText(answer), kAddressWidth);
    }
    if (requests.Netmask(name, &answer)) {
      nic.Netmask = Cut(DottedText(answer), kNetmaskWidth);
    }
  }
  return nic;
}

std::vector<TNetworkInterface> TNetworkInterfaces::Query(int family, int socket_type) {
  std::vector<TNetworkInterface> list;
  UniqueFd sock(socket(family, socket_type | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) {
    if (errno == EINVAL) return list;
    throw AdapterQueryError(errno, "socket");
  }

  // The list's length is only known once two requests agree on it.
  std::vector<char> buffer;
  size_t size = 4400;
  int previous_length = 0;
  ifconf conf;
  for (;;) {
    buffer.assign(size, 0);
    conf.ifc_len = static_cast<int>(buffer.size());
    conf.ifc_buf = buffer.data();
    if (ioctl(sock.get(), SIOCGIFCONF, &conf) < 0) {
      if (errno != EINVAL || previous_length != 0) {
        throw AdapterQueryError(errno, "socket");
      }
    } else if (conf.ifc_len == previous_length) {
      break;
    }
    previous_length = conf.ifc_len;
    size += 440;
  }

  // The OS returns an array of ifreq records, whatever the address family.
  IoctlRequests requests(sock.get());
  std::string previous_name;
  const size_t count = static_cast<size_t>(conf.ifc_len) / sizeof(ifreq);
  for (size_t i = 0; i < count; ++i) {
    ifreq entry;
    std::memcpy(&entry, buffer.data() + i * sizeof(ifreq), sizeof(entry));
    std::string_view raw_name(entry.ifr_name, sizeof(entry.ifr_name));
    list.push_back(FromEntry(raw_name, entry.ifr_addr, previous_name, requests));
    previous_name = std::string(raw_name.substr(0, raw_name.find('\0')));
  }
  return list;
}

// --- NetworkAdapters -------------------------------------------------------

const std::vector<std::string>& NetworkAdapters::FieldNames() {
  static const std::vector<std::string> names = {"Name",
                                                 "Hardware Address",
                                                 "Address",
                                                 "Broadcast Address",
                                                 "Destination Address",
                                                 "Up",
                                                 "Broadcast",
                                                 "Debug",
                                                 "Loopback",
                                                 "Point To Point",
                                                 "No Trailers",
                                                 "Running",
                                                 "No ARP",
                                                 "All Multicast",
                                                 "Load Balance Master",
                                                 "Promisc",
                                                 "Load Balance Slave",
                                                 "Multicast",
                                                 "Port Sel",
                                                 "AutoMedia",
                                                 "Alias",
                                                 "Family",
                                                 "Netmask"};
  return names;
}

void NetworkAdapters::Open() {
  rows_ = TNetworkInterfaces::Query(family_, socket_type_);
  cursor_ = 0;
}

void NetworkAdapters::SetActive(bool active) {
  if (active == active_) return;
  if (active) {
    Open();
    active_ = true;
  } else {
    rows_.clear();
    cursor_ = 0;
    active_ = false;
  }
}

void NetworkAdapters::SetFamily(int family) {
  family_ = family;
  if (active_) Open();
}

void NetworkAdapters::SetSocketType(int socket_type) {
  socket_type_ = socket_type;
  if (active_) Open();
}

bool NetworkAdapters::First() {
  cursor_ = 0;
  return !rows_.empty();
}

bool NetworkAdapters::Next() {
  if (cursor_ < rows_.size()) ++cursor_;
  return cursor_ < rows_.size();
}

bool NetworkAdapters::Eof() const { return cursor_ >= rows_.size(); }

std::string NetworkAdapters::GetValue(std::string_view column) const {
  const std::vector<std::string>& names = FieldNames();
  for (size_t i = 0; i < names.size(); ++i) {
    if (SameText(names[i], column)) return FieldValue(static_cast<int>(i) + 1);
  }
  throw AdapterTableError("Field '" + std::string(column) + "' not found");
}

std::string NetworkAdapters::FieldValue(int number) const {
  if (number < 1 || number > kFieldCount) {
    throw AdapterTableError("INTERNAL ERROR.  Unexpected field number.");
  }
  if (Eof()) return "";
  const TNetworkInterface& r = rows_[cursor_];
  switch (number) {
    case 1: return r.Name;
    case 2: return r.HardwareAddress;
    case 3: return r.Address;
    case 4: return r.BroadcastAddress;
    case 5: return r.DestinationAddress;
    case 6: return BoolText(r.Up);
    case 7: return BoolText(r.Broadcast);
    case 8: return BoolText(r.Debug);
    case 9: return BoolText(r.Loopback);
    case 10: return BoolText(r.PointToPoint);
    case 11: return BoolText(r.NoTrailers);
    case 12: return BoolText(r.Running);
    case 13: return BoolText(r.NoARP);
    case 14: return BoolText(r.AllMulticast);
    case 15: return BoolText(r.LoadBalanceMaster);
    case 16: return BoolText(r.Promisc);
    case 17: return BoolText(r.LoadBalanceSlave);
    case 18: return BoolText(r.Multicast);
    case 19: return BoolText(r.PortSel);
    case 20: return BoolText(r.AutoMedia);
    case 21: return BoolText(r.Alias);
    case 22: return r.Family;
    default: return r.Netmask;
  }
}

void NetworkAdapters::Append() { throw AdapterTableError("Editing not supported."); }
void NetworkAdapters::Edit() { throw AdapterTableError("Editing not supported."); }
void NetworkAdapters::Delete() { throw AdapterTableError("Editing not supported."); }
void NetworkAdapters::Post() { throw AdapterTableError("Editing not supported."); }

}  // namespace sl
