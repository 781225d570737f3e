#include "service/network_adapters.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <map>
#include <string>

namespace sl {
namespace {

sockaddr Inet(const char* dotted) {
  sockaddr_in in = {};
  in.sin_family = AF_INET;
  inet_pton(AF_INET, dotted, &in.sin_addr);
  sockaddr out;
  std::memcpy(&out, &in, sizeof(out));
  return out;
}

// Answers the per-interface requests from a table; a missing answer is a
// failed request.
struct FakeInterface {
  uint32_t flags = 0;
  bool flags_fail = false;
  const char* broadcast = nullptr;
  const char* destination = nullptr;
  const unsigned char* hardware = nullptr;
  const char* netmask = nullptr;
};

class FakeRequests : public InterfaceRequests {
 public:
  std::map<std::string, FakeInterface> interfaces;

  bool Flags(const std::string& name, uint32_t* flags) override {
    const FakeInterface& f = interfaces[name];
    if (f.flags_fail) return false;
    *flags = f.flags;
    return true;
  }
  bool BroadcastAddress(const std::string& name, sockaddr* out) override {
    return Answer(interfaces[name].broadcast, out);
  }
  bool DestinationAddress(const std::string& name, sockaddr* out) override {
    return Answer(interfaces[name].destination, out);
  }
  bool HardwareAddress(const std::string& name, sockaddr* out) override {
    const unsigned char* hw = interfaces[name].hardware;
    if (hw == nullptr) return false;
    std::memset(out, 0, sizeof(*out));
    std::memcpy(out->sa_data, hw, 6);
    return true;
  }
  bool Netmask(const std::string& name, sockaddr* out) override {
    return Answer(interfaces[name].netmask, out);
  }

 private:
  static bool Answer(const char* dotted, sockaddr* out) {
    if (dotted == nullptr) return false;
    *out = Inet(dotted);
    return true;
  }
};

TNetworkInterface Row(FakeRequests& fake, const std::string& name, const char* address,
                      const std::string& previous = "") {
  std::string raw = name;
  raw.resize(16, '\0');
  return TNetworkInterfaces::FromEntry(raw, Inet(address), previous, fake);
}

TEST(NetworkInterfaceTest, UpEthernetInterface) {
  static const unsigned char hw[6] = {0x00, 0x0c, 0x29, 0xab, 0xcd, 0xef};
  FakeRequests fake;
  fake.interfaces["eth0"] = {IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST,
                             false,
                             "192.168.1.255",
                             "192.168.1.10",
                             hw,
                             "255.255.255.0"};
  TNetworkInterface nic = Row(fake, "eth0", "192.168.1.10");
  EXPECT_EQ(nic.Name, "eth0");
  EXPECT_EQ(nic.Address, "192.168.1.10");
  EXPECT_EQ(nic.BroadcastAddress, "192.168.1.255");
  EXPECT_EQ(nic.DestinationAddress, "192.168.1.10");
  EXPECT_EQ(nic.HardwareAddress, "00:0C:29:AB:CD:EF");
  EXPECT_EQ(nic.Netmask, "255.255.255.0");
  EXPECT_EQ(nic.Family, "AF_INET");
  EXPECT_TRUE(nic.Up && nic.Broadcast && nic.Running && nic.Multicast);
  EXPECT_FALSE(nic.Loopback || nic.PointToPoint || nic.Promisc || nic.Alias);
}

TEST(NetworkInterfaceTest, DownPointToPointAndFailedRequests) {
  FakeRequests fake;
  // Down: the flags are read, no address is.
  fake.interfaces["eth1"] = {IFF_BROADCAST, false, "10.0.0.255", "10.0.0.1", nullptr, "255.0.0.0"};
  TNetworkInterface down = Row(fake, "eth1", "10.0.0.5");
  EXPECT_FALSE(down.Up);
  EXPECT_TRUE(down.Broadcast);
  EXPECT_EQ(down.Address + down.BroadcastAddress + down.DestinationAddress + down.HardwareAddress +
                down.Netmask,
            "");

  // Point to point without IFF_BROADCAST: no broadcast request at all.
  fake.interfaces["ppp0"] = {
      IFF_UP | IFF_POINTOPOINT, false, "1.2.3.255", "10.64.64.64", nullptr, nullptr};
  TNetworkInterface ppp = Row(fake, "ppp0", "10.1.2.3");
  EXPECT_EQ(ppp.BroadcastAddress, "");
  EXPECT_EQ(ppp.DestinationAddress, "10.64.64.64");
  EXPECT_EQ(ppp.HardwareAddress, "");  // failed request: empty column
  EXPECT_EQ(ppp.Netmask, "");

  // Flags that cannot be read count as all false.
  fake.interfaces["odd0"].flags_fail = true;
  TNetworkInterface odd = Row(fake, "odd0", "10.9.9.9");
  EXPECT_FALSE(odd.Up);
  EXPECT_EQ(odd.Address, "");
}

TEST(NetworkInterfaceTest, AliasesAndLongNames) {
  FakeRequests fake;
  EXPECT_FALSE(Row(fake, "eth0", "1.1.1.1", "").Alias);
  EXPECT_TRUE(Row(fake, "eth0:1", "1.1.1.2", "eth0").Alias);
  EXPECT_TRUE(Row(fake, "eth0:2", "1.1.1.3", "eth0:1").Alias);
  EXPECT_FALSE(Row(fake, "eth1", "1.1.1.4", "eth0:2").Alias);
  EXPECT_TRUE(Row(fake, "eth1", "1.1.1.5", "eth1").Alias);
  EXPECT_FALSE(Row(fake, "eth10:1", "1.1.1.6", "eth1").Alias);

  // A name field without its NUL is cut to 15 in the column.
  std::string raw = "abcdefghijklmnop";
  TNetworkInterface nic = TNetworkInterfaces::FromEntry(raw, Inet("1.1.1.7"), "", fake);
  EXPECT_EQ(nic.Name, "abcdefghijklmno");
}

TEST(NetworkInterfaceTest, FamilyNames) {
  EXPECT_EQ(AddressFamilyName(2), "AF_INET");
  EXPECT_EQ(AddressFamilyName(8), "AF_ATMPCV");
  EXPECT_EQ(AddressFamilyName(10), "AF_INET6");
  EXPECT_EQ(AddressFamilyName(21), "21");
  EXPECT_EQ(AddressFamilyName(32), "AF_MAX");
  EXPECT_EQ(AddressFamilyName(33), "33");
}

TEST(NetworkAdaptersTest, RealLoopbackIsListed) {
  std::vector<TNetworkInterface> rows = TNetworkInterfaces::Query(AF_INET, SOCK_DGRAM);
  bool found = false;
  for (const TNetworkInterface& nic : rows) {
    if (nic.Name != "lo") continue;
    found = true;
    EXPECT_TRUE(nic.Loopback);
    EXPECT_TRUE(nic.Up);
    EXPECT_EQ(nic.Address, "127.0.0.1");
    EXPECT_EQ(nic.Netmask, "255.0.0.0");
    EXPECT_EQ(nic.Family, "AF_INET");
  }
  EXPECT_TRUE(found);
}

TEST(NetworkAdaptersTest, TableReadsLikeTheService) {
  NetworkAdapters nic_info;
  EXPECT_EQ(nic_info.GetValue("Address"), "");  // closed: no row
  nic_info.SetFamily(AF_INET);
  nic_info.SetSocketType(SOCK_DGRAM);
  nic_info.SetActive(true);
  ASSERT_GT(nic_info.RecordCount(), 0);
  ASSERT_TRUE(nic_info.First());
  const TNetworkInterface& first = nic_info.Rows()[0];
  EXPECT_EQ(nic_info.GetValue("Address"), first.Address);
  EXPECT_EQ(nic_info.GetValue("address"), first.Address);
  EXPECT_EQ(nic_info.FieldValue(1), first.Name);
  EXPECT_EQ(nic_info.GetValue("Up"), first.Up ? "True" : "False");
  EXPECT_EQ(NetworkAdapters::FieldNames().size(), 23u);
  EXPECT_EQ(NetworkAdapters::FieldNames()[22], "Netmask");

  try {
    nic_info.FieldValue(24);
    FAIL() << "no error";
  } catch (const AdapterTableError& e) {
    EXPECT_STREQ(e.what(), "INTERNAL ERROR.  Unexpected field number.");
  }
  EXPECT_THROW(nic_info.FieldValue(0), AdapterTableError);
  EXPECT_THROW(nic_info.GetValue("Speed"), AdapterTableError);
  try {
    nic_info.Edit();
    FAIL() << "no error";
  } catch (const AdapterTableError& e) {
    EXPECT_STREQ(e.what(), "Editing not supported.");
  }
  EXPECT_THROW(nic_info.Append(), AdapterTableError);

  int visited = 1;
  while (nic_info.Next()) ++visited;
  EXPECT_EQ(visited, nic_info.RecordCount());
  EXPECT_TRUE(nic_info.Eof());
  EXPECT_EQ(nic_info.GetValue("Name"), "");

  nic_info.SetActive(false);
  EXPECT_EQ(nic_info.RecordCount(), 0);
}

TEST(NetworkAdaptersTest, RejectedSocketGivesEmptyTableOrError) {
  // A socket type the OS rejects with EINVAL: an empty table, no error.
  EXPECT_TRUE(TNetworkInterfaces::Query(AF_INET, 99).empty());
  // Another failure is an error named after the call.
  try {
    TNetworkInterfaces::Query(AF_MAX + 5, SOCK_DGRAM);
    FAIL() << "no error";
  } catch (const AdapterQueryError& e) {
    EXPECT_EQ(e.CallName(), "socket");
    EXPECT_EQ(std::string(e.what()).rfind("socket : ", 0), 0u);
  }
}

}  // namespace
}  // namespace sl
