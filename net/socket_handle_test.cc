#include "net/socket_handle.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "net/socket_errors.h"

namespace sl {
namespace {

TEST(SocketErrorTest, MessagesAndTextsByNumber) {
  EXPECT_EQ(SocketErrorMessage(98), "Socket Error # 98\r\nAddress already in use.");
  EXPECT_EQ(SocketErrorMessage(11), "Socket Error # 11\r\nOperation would block. ");
  EXPECT_EQ(SocketErrorMessage(39), "Socket Error # 39\r\nDirectory not empty");
  EXPECT_EQ(SocketErrorMessage(32), "Socket Error # 32\r\n");
  EXPECT_EQ(ESocketError(104).ErrorCode(), 104);
  // The asynchronous layer's names for the same numbers.
  EXPECT_EQ(AsyncSocketErrorText(0), "No Error");
  EXPECT_EQ(AsyncSocketErrorText(111), "Connection refused");
  EXPECT_EQ(AsyncSocketErrorText(122), "Disc quota exceeded");
  EXPECT_EQ(AsyncSocketErrorText(999994), "Host not found");
  EXPECT_EQ(AsyncSocketErrorText(1), "Not a WinSock error");
  EXPECT_EQ(AsyncSocketErrorText(-3), "Not a WinSock error");
}

TEST(SocketHandleTest, PortRanges) {
  TSocketHandle h;
  h.AllocateSocket(SOCK_DGRAM);
  h.IP = "127.0.0.1";
  h.ClientPortMin = 40010;
  h.ClientPortMax = 40001;
  try {
    h.Bind();
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    EXPECT_STREQ(e.what(), "Invalid Port Range (40010 - 40001)");
  }
  // A range of one port that is taken.
  TSocketHandle taken;
  taken.AllocateSocket(SOCK_DGRAM);
  taken.IP = "127.0.0.1";
  taken.Bind();
  h.ClientPortMin = h.ClientPortMax = taken.Port;
  try {
    h.Bind();
    FAIL() << "no error";
  } catch (const ESocketError& e) {
    std::string port = std::to_string(taken.Port);
    EXPECT_EQ(std::string(e.what()), "Can not bind in port range (" + port + " - " + port + ")");
  }
  // The highest free port of a range wins; a taken top is skipped.
  h.ClientPortMin = taken.Port - 1;
  h.ClientPortMax = taken.Port;
  try {
    h.Bind();
    EXPECT_EQ(h.Port, taken.Port - 1);
  } catch (const ESocketError&) {
    // The port below was taken by someone else meanwhile; nothing to check.
  }
}

}  // namespace
}  // namespace sl
