#include "web/http_response.h"

#include <gtest/gtest.h>

#include <sstream>

#include "web/http_date.h"
#include "web/http_request.h"

namespace sl {
namespace {

TEST(HttpResponseTest, TypicalReplyHeader) {
  THTTPResponseInfo r(nullptr);
  r.BodyText = "hello";
  const std::time_t before = std::time(nullptr);
  std::string header = r.BuildHeader();
  // Right after Server: the time of sending, two-digit day, GMT.
  const std::string date_name = "Server: ScanLantern/1.0\r\nDate: ";
  size_t at = header.find(date_name);
  ASSERT_NE(at, std::string::npos) << header;
  size_t value = at + date_name.size();
  size_t end = header.find("\r\n", value);
  std::string date = header.substr(value, end - value);
  EXPECT_EQ(date, FormatIMFDate(ParseHTTPDate(date)));
  EXPECT_GE(ParseHTTPDate(date), before);
  EXPECT_LE(ParseHTTPDate(date), std::time(nullptr));
  EXPECT_EQ(header.erase(value - 6, end + 2 - (value - 6)),
            "HTTP/1.1 200 OK\r\n"
            "Connection: close\r\n"
            "Content-Type: text/html\r\n"
            "Content-Length: 5\r\n"
            "Server: ScanLantern/1.0\r\n"
            "X-Frame-Options: DENY\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "\r\n");
  EXPECT_TRUE(r.HeaderSent());
  try {
    r.BuildHeader();
    FAIL() << "second header";
  } catch (const EHTTPServerError& e) {
    EXPECT_STREQ(e.what(), "Header has already been written.");
  }
}

TEST(HttpResponseTest, HeaderOrderWithEverySetting) {
  THTTPResponseInfo r(nullptr);
  r.SetCloseAfterResponse(false);
  r.ContentVersion = "1";
  r.ContentEncoding = "gzip";
  r.ContentLanguage = "ja";
  r.ContentType = "text/plain";
  r.ContentLength = 0;
  r.CacheControl = "no-cache";
  r.Date = 784111777;
  r.Expires = 784111778;
  r.Pragma = "no-cache";
  r.CustomHeaders.Add("X-One: 1");
  r.CustomHeaders.Add("Server: custom");  // a later standard value replaces it in place
  r.Location = "/next";
  r.LastModified = 784111776;
  r.Cookies.Add("k", "v").Path = "/";
  r.ContentSecurityPolicy = "sandbox";
  r.SetStatusCode(302);
  EXPECT_EQ(r.BuildHeader(),
            "HTTP/1.1 302 Moved Temporarily\r\n"
            "Connection: keep-alive\r\n"
            "Content-Version: 1\r\n"
            "Content-Encoding: gzip\r\n"
            "Content-Language: ja\r\n"
            "Content-Type: text/plain\r\n"
            "Content-Length: 0\r\n"
            "Cache-control: no-cache\r\n"
            "Expires: Sun, 6 Nov 1994 08:49:38 GMT\r\n"
            "Pragma: no-cache\r\n"
            "X-One: 1\r\n"
            "Server: ScanLantern/1.0\r\n"
            "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
            "Location: /next\r\n"
            "Last-Modified: Sun, 6 Nov 1994 08:49:36 GMT\r\n"
            "X-Frame-Options: DENY\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "Content-Security-Policy: sandbox\r\n"
            "Set-Cookie: k=v; path=/\r\n"
            "\r\n");
}

TEST(HttpResponseTest, EmptyContentTypeAndNoLength) {
  THTTPResponseInfo r(nullptr);
  r.ContentType.clear();
  r.Date = 784111777;
  EXPECT_EQ(r.BuildHeader(),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: ScanLantern/1.0\r\n"
            "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
            "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\n\r\n");
}

TEST(HttpResponseTest, LengthFromStream) {
  THTTPResponseInfo r(nullptr);
  r.SetBodyStream(std::make_unique<std::istringstream>("0123456789"));
  EXPECT_TRUE(r.OwnsBodyStream());
  std::string header = r.BuildHeader();
  EXPECT_NE(header.find("Content-Length: 10\r\n"), std::string::npos);
  std::istringstream borrowed("abc");
  THTTPResponseInfo b(nullptr);
  b.SetBorrowedBodyStream(&borrowed);
  EXPECT_FALSE(b.OwnsBodyStream());
  EXPECT_NE(b.BuildHeader().find("Content-Length: 3\r\n"), std::string::npos);
}

TEST(HttpResponseTest, Challenge) {
  THTTPResponseInfo r(nullptr);
  r.BodyText = "ignored";
  r.Date = 784111777;
  r.ChallengeRealm = "ScanLantern http Server";
  std::string body = "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>";
  EXPECT_EQ(r.BuildHeader(),
            "HTTP/1.1 401 Unauthorized\r\n"
            "Connection: close\r\n"
            "Content-Type: text/html\r\n"
            "Content-Length: " +
                std::to_string(body.size()) +
                "\r\n"
                "Server: ScanLantern/1.0\r\n"
                "Date: Sun, 06 Nov 1994 08:49:37 GMT\r\n"
                "WWW-Authenticate: Basic realm=\"ScanLantern http Server\"\r\n"
                "X-Frame-Options: DENY\r\n"
                "X-Content-Type-Options: nosniff\r\n"
                "\r\n");
  EXPECT_EQ(r.BodyText, body);
}

TEST(HttpResponseTest, StatusTable) {
  THTTPResponseInfo r(nullptr);
  EXPECT_EQ(r.StatusCode(), 200);
  EXPECT_EQ(r.StatusText, "OK");
  r.SetCloseAfterResponse(false);
  r.SetStatusCode(404);
  EXPECT_EQ(r.StatusText, "Not Found");
  EXPECT_TRUE(r.CloseAfterResponse());
  EXPECT_EQ(r.Connection, "close");
  EXPECT_STREQ(StatusTextOf(402), "Unknown Response Code");
  EXPECT_STREQ(StatusTextOf(413), "Request Entity To Long");
  EXPECT_STREQ(StatusTextOf(414), "Request-URI Too Long. 256 Chars max");
  EXPECT_STREQ(StatusTextOf(504), "Gateway timeout");
  EXPECT_STREQ(StatusTextOf(505), "HTTP version not supported");
  EXPECT_STREQ(StatusTextOf(203), "Non-authoritative Information");
  EXPECT_STREQ(StatusTextOf(405), "Method not allowed");
  EXPECT_STREQ(StatusTextOf(429), "Too Many Requests");
}

}  // namespace
}  // namespace sl
