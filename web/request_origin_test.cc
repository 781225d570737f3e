#include "web/request_origin.h"

#include <gtest/gtest.h>

namespace sl {
namespace {

TEST(RequestOriginTest, OriginsCompareBySchemeHostAndPort) {
  EXPECT_TRUE(SameOriginAsHost("http://127.0.0.1:4009", "127.0.0.1:4009"));
  EXPECT_TRUE(
      SameOriginAsHost("http://Agent.Example:4009/WatchSetting.cgi?x#y", "agent.example:4009"));
  EXPECT_TRUE(SameOriginAsHost("http://host/", "host:80"));
  EXPECT_TRUE(SameOriginAsHost("http://user:pw@[::1]:4009/", "[::1]:4009"));
  EXPECT_FALSE(SameOriginAsHost("https://127.0.0.1:4009", "127.0.0.1:4009"));
  EXPECT_FALSE(SameOriginAsHost("http://127.0.0.1:8000", "127.0.0.1:4009"));
  EXPECT_FALSE(SameOriginAsHost("http://127.0.0.1", "127.0.0.1:4009"));
  EXPECT_FALSE(SameOriginAsHost("http://127.0.0.1:4009.evil.example", "127.0.0.1:4009"));
  EXPECT_FALSE(SameOriginAsHost("http://evil@", "evil"));
  EXPECT_FALSE(SameOriginAsHost("null", "127.0.0.1:4009"));
  EXPECT_FALSE(SameOriginAsHost("http://127.0.0.1:4009", ""));
}

TEST(RequestOriginTest, BrowserHeadersDecide) {
  auto cross = [](std::initializer_list<const char*> lines) {
    THeaderList h;
    h.Add("Host: 127.0.0.1:4009");
    for (const char* line : lines) h.Add(line);
    return IsCrossOriginRequest(h);
  };
  EXPECT_FALSE(cross({}));  // the console, curl
  EXPECT_FALSE(cross({"Sec-Fetch-Site: same-origin", "Origin: http://127.0.0.1:4009"}));
  EXPECT_FALSE(cross({"Sec-Fetch-Site: none"}));
  EXPECT_FALSE(cross({"Referer: http://127.0.0.1:4009/WatchSetting.cgi"}));
  EXPECT_FALSE(cross({"Referer:"}));
  EXPECT_TRUE(cross({"Sec-Fetch-Site: same-site", "Origin: http://127.0.0.1:4009"}));
  EXPECT_TRUE(cross({"Sec-Fetch-Site: cross-site"}));
  EXPECT_TRUE(cross({"Origin: http://127.0.0.1:8000"}));
  EXPECT_TRUE(cross({"Origin: null", "Referer: http://127.0.0.1:4009/"}));
  EXPECT_TRUE(cross({"Origin:"}));
  EXPECT_TRUE(cross({"Referer: http://127.0.0.1:8000/attack.html"}));
}

}  // namespace
}  // namespace sl
