// The host's network interfaces as a read-only table.
//
// TNetworkInterfaces asks the OS for its interface list (SIOCGIFCONF) and
// builds one TNetworkInterface per entry, in the order the OS reports them,
// with the name, the addresses as dotted text, the interface flags and the
// address family. NetworkAdapters presents that list as a table of 23 named
// columns with a row cursor; the service opens it once at start and keeps
// the "Address" of the first row as the host address. A snapshot: nothing
// changes while the table is open. Used from one thread.
#ifndef SL_SERVICE_NETWORK_ADAPTERS_H_
#define SL_SERVICE_NETWORK_ADAPTERS_H_

#include <sys/socket.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sl {

// The interface query failed: ErrorCode() is errno, CallName() the call
// ("socket"); the message is the call name, " : " and the OS error text.
class AdapterQueryError : public std::runtime_error {
 public:
  AdapterQueryError(int error_code, const std::string& call_name);
  int ErrorCode() const { return error_code_; }
  const std::string& CallName() const { return call_name_; }

 private:
  int error_code_;
  std::string call_name_;
};

// Misuse of the table: "Editing not supported.", "INTERNAL ERROR.  Unexpected
// field number.", an unknown column name.
class AdapterTableError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One interface entry. Texts are cut to their column widths (15 or 23);
// the five address texts stay empty for an interface that is down.
struct TNetworkInterface {
  std::string Name;
  std::string HardwareAddress;
  std::string Address;
  std::string BroadcastAddress;
  std::string DestinationAddress;
  bool Up = false;
  bool Broadcast = false;
  bool Debug = false;
  bool Loopback = false;
  bool PointToPoint = false;
  bool NoTrailers = false;
  bool Running = false;
  bool NoARP = false;
  bool AllMulticast = false;
  bool LoadBalanceMaster = false;
  bool Promisc = false;
  bool LoadBalanceSlave = false;
  bool Multicast = false;
  bool PortSel = false;
  bool AutoMedia = false;
  bool Alias = false;  // same name, or same base name before ":", as the row before
  std::string Family;
  std::string Netmask;
};

// The per-interface requests; the OS answers them through ioctl, tests
// through a fake. Each returns false when the request failed.
class InterfaceRequests {
 public:
  virtual ~InterfaceRequests() = default;
  virtual bool Flags(const std::string& name, uint32_t* flags) = 0;
  virtual bool BroadcastAddress(const std::string& name, sockaddr* out) = 0;
  virtual bool DestinationAddress(const std::string& name, sockaddr* out) = 0;
  virtual bool HardwareAddress(const std::string& name, sockaddr* out) = 0;
  virtual bool Netmask(const std::string& name, sockaddr* out) = 0;
};

class TNetworkInterfaces {
 public:
  // Lists the interfaces through a socket of the given family and type.
  // A family or type the OS rejects with EINVAL gives an empty list; other
  // failures raise AdapterQueryError.
  static std::vector<TNetworkInterface> Query(int family, int socket_type);

  // Builds one interface from its list entry: raw_name is the 16-byte name
  // field (up to its first NUL), previous_name the name of the entry before
  // ("" for the first).
  static TNetworkInterface FromEntry(std::string_view raw_name, const sockaddr& address,
                                     const std::string& previous_name, InterfaceRequests& requests);
};

// "AF_INET" and so on for an address family number; other numbers as
// decimal text.
std::string AddressFamilyName(int family);

class NetworkAdapters {
 public:
  static constexpr int kFieldCount = 23;

  // The column names in order.
  static const std::vector<std::string>& FieldNames();

  // true queries the interfaces (AdapterQueryError leaves the table closed)
  // and goes to the first row; false drops the rows.
  void SetActive(bool active);
  bool Active() const { return active_; }
  // The OS constants (AF_INET, SOCK_DGRAM); a change while open queries
  // again.
  void SetFamily(int family);
  int Family() const { return family_; }
  void SetSocketType(int socket_type);
  int SocketType() const { return socket_type_; }

  bool First();  // false when there is no row
  bool Next();   // false (and Eof) past the last row
  bool Eof() const;
  int32_t RecordCount() const { return static_cast<int32_t>(rows_.size()); }
  const std::vector<TNetworkInterface>& Rows() const { return rows_; }

  // The value of a column of the current row as text ("True"/"False" for
  // the flags); empty when there is no current row. Column names are
  // compared without regard to letter case; an unknown one raises
  // AdapterTableError.
  std::string GetValue(std::string_view column) const;
  // The same by column number, 1 to 23; another number raises
  // "INTERNAL ERROR.  Unexpected field number.".
  std::string FieldValue(int number) const;

  // The table is read-only: each raises "Editing not supported.".
  void Append();
  void Edit();
  void Delete();
  void Post();

 private:
  void Open();

  bool active_ = false;
  int family_ = AF_INET;
  int socket_type_ = SOCK_DGRAM;
  std::vector<TNetworkInterface> rows_;
  size_t cursor_ = 0;
};

}  // namespace sl

#endif
