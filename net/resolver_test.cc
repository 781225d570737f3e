#include "net/resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "net/socket_errors.h"

namespace sl {
namespace {

std::string Text(const in_addr& addr) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &addr, text, sizeof(text));
  return text;
}

TEST(ResolverTest, LiteralsAreTakenAsTheyStandAndNamesAreLookedUp) {
  std::vector<in_addr> addresses;
  ASSERT_EQ(ResolveIPv4("192.0.2.7", &addresses), 0);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(Text(addresses[0]), "192.0.2.7");

  // Digits and dots are never looked up, even when they are no address.
  EXPECT_EQ(ResolveIPv4("192.0.2.300", &addresses), EINVAL);
  EXPECT_TRUE(addresses.empty());
  EXPECT_EQ(ResolveIPv4("", &addresses), EINVAL);

  ASSERT_EQ(ResolveIPv4("localhost", &addresses), 0);
  ASSERT_FALSE(addresses.empty());
  EXPECT_EQ(Text(addresses[0]), "127.0.0.1");
  EXPECT_NE(ResolveIPv4("no-such-host.invalid", &addresses), 0);
  EXPECT_TRUE(addresses.empty());
}

}  // namespace
}  // namespace sl
