#include "web/http_request.h"

#include <gtest/gtest.h>

#include "web/http_date.h"

namespace sl {
namespace {

THTTPRequestInfo Parse(std::string_view raw) {
  THTTPRequestInfo r;
  ParseRequestText(raw, r);
  return r;
}

using Lines = std::vector<std::string>;

TEST(HttpRequestTest, PlainGet) {
  THTTPRequestInfo r = Parse("GET /index.htm HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.Command, "GET");
  EXPECT_EQ(r.Document, "/index.htm");
  EXPECT_EQ(r.Version, "HTTP/1.0");
  EXPECT_EQ(r.QueryText, "");
  EXPECT_TRUE(r.Params.empty());
  EXPECT_EQ(r.ContentLength, -1);
  EXPECT_FALSE(r.ContentLengthGiven);
  EXPECT_FALSE(r.HasAuthorization);
}

TEST(HttpRequestTest, RequestLineSplitsAtFirstAndLastSpace) {
  TRequestLineParts p = ParseRequestLine("get /a b/c.cgi?x=1 HTTP/1.1");
  EXPECT_EQ(p.Method, "GET");
  EXPECT_EQ(p.Target, "/a b/c.cgi?x=1");
  EXPECT_EQ(p.Version, "HTTP/1.1");
  THTTPRequestInfo r = Parse("get /a b/c.cgi?x=1 HTTP/1.1\n\n");
  EXPECT_EQ(r.Document, "/a b/c.cgi");
  EXPECT_EQ(r.QueryText, "x=1");
  EXPECT_EQ(r.Params, Lines({"x=1"}));
  EXPECT_THROW(ParseRequestLine("GET"), EHTTPServerError);
  try {
    ParseRequestLine("NOSPACE");
  } catch (const EHTTPServerError& e) {
    EXPECT_STREQ(e.what(), "Error in parsing command.");
  }
  // Only a version: method and target come from the empty rest.
  p = ParseRequestLine(" HTTP/1.0");
  EXPECT_EQ(p.Method, "");
  EXPECT_EQ(p.Version, "HTTP/1.0");
}

TEST(HttpRequestTest, UrlDecoding) {
  EXPECT_EQ(URLDecode("a%20b+c"), "a b c");
  EXPECT_EQ(URLDecode("%41%4a%4A"), "AJJ");
  EXPECT_EQ(URLDecode("x%zzy"), "xy");    // not hexadecimal: dropped with its digits
  EXPECT_EQ(URLDecode("x%00y"), "xy");    // no NUL bytes
  EXPECT_EQ(URLDecode("x%ff"), "x\xff");  // bytes above 127 pass unchanged
  EXPECT_EQ(URLDecode("%2B"), "+");       // an escaped plus stays a plus
  EXPECT_EQ(URLDecode("end%4"), "end");   // cut-off escape at the end
  EXPECT_EQ(URLDecode("end%"), "end");
  EXPECT_EQ(URLDecode("\xa4\xa2"), "\xa4\xa2");
}

TEST(HttpRequestTest, ParamsSplitAtAmpersands) {
  EXPECT_EQ(DecodeParams("a=1&&b=%41"), Lines({"a=1", "", "b=A"}));
  EXPECT_EQ(DecodeParams("a=1&"), Lines({"a=1"}));
  EXPECT_EQ(DecodeParams(""), Lines{});
  EXPECT_EQ(DecodeParams("&"), Lines({""}));
  EXPECT_EQ(DecodeParams("x=%26&y=%zz"), Lines({"x=&", "y="}));
  THTTPRequestInfo r = Parse("GET /p?name=%E3%81%82&v=a+b HTTP/1.1\r\n\r\n");
  EXPECT_EQ(r.Param("name"), "\xE3\x81\x82");
  EXPECT_EQ(r.Param("v"), "a b");
  EXPECT_EQ(r.Param("missing"), "");
}

TEST(HttpRequestTest, DocumentPath) {
  EXPECT_EQ(DecodeDocument("/a%20b+c.htm").Document, "/a b c.htm");
  EXPECT_EQ(DecodeDocument("/dir\\sub\\f.htm").Document, "/dir/sub/f.htm");
  EXPECT_EQ(DecodeDocument("*").Document, "*");
  // The parameter part after "=" is kept undecoded.
  EXPECT_EQ(DecodeDocument("/d%41/x=%41+").Document, "/dA/x=%41+");
  // EUC-JP: a backslash never follows a lead byte, but the trail byte of a
  // character is skipped, so 0xA1 0x5C (not valid EUC-JP) keeps its byte.
  EXPECT_EQ(DecodeDocument("/\xa4\xa2\\x").Document, "/\xa4\xa2/x");
  EXPECT_EQ(DecodeDocument("/\xa1\\x").Document, "/\xa1\\x");
  EXPECT_EQ(DecodeDocument("/\x8e\\x").Document, "/\x8e\\x");

  TDocumentParts abs = DecodeDocument("http://user:pw@host.example:8080/a/b%20c.htm#frag");
  EXPECT_EQ(abs.Document, "/a/b c.htm");
  EXPECT_EQ(abs.Host, "host.example");
  EXPECT_EQ(DecodeDocument("http://host").Document, "/");
  EXPECT_EQ(DecodeDocument("http://host/").Document, "/");
  EXPECT_EQ(DecodeDocument("http://host/x=1#y").Document, "/x=1");

  // The host of an absolute target fills Host only when no header gave one.
  EXPECT_EQ(Parse("GET http://h1/x HTTP/1.1\r\n\r\n").Host, "h1");
  EXPECT_EQ(Parse("GET http://h1/x HTTP/1.1\r\nHost: h2\r\n\r\n").Host, "h2");
}

TEST(HttpRequestTest, FormBodyAndQuery) {
  std::string body = "a=1";
  THTTPRequestInfo r = Parse(
      "POST /x.cgi?b=2 HTTP/1.1\r\nContent-Type: Application/X-WWW-Form-Urlencoded\r\n"
      "Content-Length: 3\r\n\r\na=1");
  EXPECT_EQ(r.FormText, "a=1");
  EXPECT_EQ(r.QueryText, "b=2");
  EXPECT_EQ(r.ParamText, "a=1\r\nb=2");
  EXPECT_EQ(r.Params, Lines({"a=1\r\nb=2"}));

  // A charset parameter does not change the media type.
  r = Parse(
      "POST /x.cgi?b=2 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded; "
      "charset=Shift_JIS\r\n"
      "Content-Length: 3\r\n\r\na=1");
  EXPECT_EQ(r.FormText, "a=1");
  EXPECT_EQ(r.Params, Lines({"a=1\r\nb=2"}));

  // Without Content-Length a POST takes everything that follows.
  r = Parse("POST /p HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\nx=1&y=2");
  EXPECT_EQ(r.FormText, "x=1&y=2");
  EXPECT_EQ(r.Params, Lines({"x=1", "y=2"}));

  // A zero length reads nothing; a GET without length has no body.
  r = Parse("POST /p HTTP/1.0\r\nContent-Length: 0\r\n\r\nignored");
  EXPECT_EQ(r.FormText, "");
  EXPECT_TRUE(r.ContentLengthGiven);
  r = Parse("GET /p HTTP/1.0\r\n\r\nignored");
  EXPECT_EQ(r.FormText, "");
  // A GET with a positive length has its body read as well.
  r = Parse("GET /p HTTP/1.0\r\nContent-Length: 2\r\n\r\nabc");
  EXPECT_EQ(r.FormText, "ab");

  THTTPRequestInfo no_parse;
  ParseRequestText("GET /p?a=1 HTTP/1.0\r\n\r\n", no_parse, false);
  EXPECT_TRUE(no_parse.Params.empty());
  EXPECT_EQ(no_parse.QueryText, "a=1");
}

TEST(HttpRequestTest, ContentLengthValues) {
  EXPECT_EQ(Parse("GET / HTTP/1.0\r\nContent-Length:  12 \r\n\r\n0123456789ab").ContentLength, 12);
  EXPECT_THROW(Parse("GET / HTTP/1.0\r\nContent-Length: 12\r\n\r\nshort"), EBadRequest);
  EXPECT_THROW(Parse("GET / HTTP/1.0\r\nContent-Length: 12x\r\n\r\n"), EBadRequest);
  THTTPRequestInfo r;
  EXPECT_THROW(
      ParseRequestText("GET / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\n", r),
      EBodyTooLarge);
  EXPECT_EQ(r.ContentLength, -1);
  EXPECT_TRUE(r.ContentLengthTooLarge);
  r = THTTPRequestInfo();
  EXPECT_THROW(ParseRequestText("GET / HTTP/1.0\r\nContent-Length: 2147483647\r\n\r\n", r),
               EBodyTooLarge);
  EXPECT_EQ(r.ContentLength, 2147483647);
  EXPECT_FALSE(r.ContentLengthTooLarge);
}

TEST(HttpRequestTest, ChunkedBodies) {
  THTTPRequestInfo r = Parse(
      "POST /p HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n"
      "A\r\n0123456789\r\n1;ext\r\n!\r\n0\r\nT: 1\r\n\r\nnext request");
  EXPECT_EQ(r.FormText, "0123456789!");
  EXPECT_THROW(
      Parse("POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n0\r\n\r\n"),
      EBadRequest);
  EXPECT_THROW(Parse("POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"), EBadRequest);
  r = THTTPRequestInfo();
  EXPECT_THROW(
      ParseRequestText(
          "POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\n", r),
      EBodyTooLarge);
  r = THTTPRequestInfo();
  EXPECT_THROW(ParseRequestText(
                   "POST /p HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", r,
                   true, 2),
               EBodyTooLarge);
}

TEST(HttpRequestTest, BasicAuthorization) {
  // "user:pa:ss" in Base64, scheme in any letter case.
  for (const char* scheme : {"Basic", "basic", "BASIC"}) {
    TAuthorization a = ParseAuthorization(std::string(scheme) + " dXNlcjpwYTpzcw==");
    EXPECT_TRUE(a.HasAuthorization);
    EXPECT_EQ(a.Username, "user");
    EXPECT_EQ(a.Password, "pa:ss");
  }
  TAuthorization a = ParseAuthorization("Basic YWRtaW4=");  // "admin"
  EXPECT_EQ(a.Username, "admin");
  EXPECT_EQ(a.Password, "");
  a = ParseAuthorization("Basic YWRtaW46");  // "admin:"
  EXPECT_EQ(a.Username, "admin");
  EXPECT_EQ(a.Password, "");
  a = ParseAuthorization("Basic");
  EXPECT_TRUE(a.HasAuthorization);
  EXPECT_EQ(a.Username, "");
  EXPECT_FALSE(ParseAuthorization("").HasAuthorization);
  // Another scheme is no credentials at all.
  for (const char* other : {"Digest username=x", "Bearer abc", "Negotiate YWRtaW46"}) {
    a = ParseAuthorization(other);
    EXPECT_FALSE(a.HasAuthorization);
    EXPECT_EQ(a.Username, "");
    EXPECT_EQ(a.Password, "");
  }

  THTTPRequestInfo r = Parse("GET / HTTP/1.0\r\nauthorization: bAsIc dXNlcjpwYTpzcw==\r\n\r\n");
  EXPECT_TRUE(r.HasAuthorization);
  EXPECT_EQ(r.AuthUsername, "user");
  EXPECT_EQ(r.AuthUserPassword, "pa:ss");
  EXPECT_FALSE(Parse("GET / HTTP/1.0\r\nAuthorization: NTLM abc\r\n\r\n").HasAuthorization);
}

TEST(HttpRequestTest, HeaderFieldsAndCookies) {
  THTTPRequestInfo r = Parse(
      "GET / HTTP/1.1\r\nHost: example\r\nUser-Agent: test\r\n  continued\r\n"
      "..Dotted: x\r\nCookie: a=1; b=2;  c\r\ncookie: d=4=5\r\n"
      "Range: bytes=10-20 x\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\r\n\r\n");
  EXPECT_EQ(r.Host, "example");
  EXPECT_EQ(r.UserAgent, "test continued");
  EXPECT_EQ(r.HeaderLines.Line(3), ".Dotted: x");
  ASSERT_EQ(r.Cookies.Count(), 4u);
  EXPECT_EQ(r.Cookies[0].Name, "a");
  EXPECT_EQ(r.Cookies[0].Value, "1");
  EXPECT_EQ(r.Cookies[1].Name, "b");
  EXPECT_EQ(r.Cookies[2].Name, "c");
  EXPECT_EQ(r.Cookies[2].Value, "");
  EXPECT_EQ(r.Cookies[3].Name, "d");
  EXPECT_EQ(r.Cookies[3].Value, "4=5");
  EXPECT_EQ(r.ContentRangeStart, 10u);
  EXPECT_EQ(r.ContentRangeEnd, 20u);
  EXPECT_EQ(r.Date, 784111777);
}

TEST(HttpRequestTest, HttpDates) {
  EXPECT_EQ(ParseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  EXPECT_EQ(ParseHTTPDate("Sunday, 06-Nov-94 08:49:37 GMT"), 784111777);
  EXPECT_EQ(ParseHTTPDate("Sun Nov  6 08:49:37 1994"), 784111777);
  EXPECT_EQ(ParseHTTPDate("Sun, 06 Nov 1994 17:49:37 +0900"), 784111777);
  EXPECT_EQ(ParseHTTPDate(""), 0);
  EXPECT_EQ(ParseHTTPDate("yesterday"), 0);
  EXPECT_EQ(ParseHTTPDate("Sun, 32 Nov 1994 08:49:37 GMT"), 0);
  EXPECT_EQ(FormatHTTPDate(784111777), "Sun, 6 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(FormatIMFDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(HttpRequestTest, HeaderList) {
  THeaderList h;
  h.Add("Content-Type: text/plain");
  h.Add("X-Long: one");
  h.Add("\ttwo");
  h.Add("Other:three");
  EXPECT_EQ(h.Value("content-TYPE"), "text/plain");
  EXPECT_EQ(h.Value("x-long"), "one two");
  EXPECT_EQ(h.Value("other"), "three");
  EXPECT_EQ(h.Value("missing"), "");
  h.SetValue("X-LONG", "new");  // replaced in place, continuation gone
  EXPECT_EQ(h.Lines(), Lines({"Content-Type: text/plain", "X-LONG: new", "Other:three"}));
  h.SetValue("Added", "v");
  h.SetValue("content-type", "");
  EXPECT_EQ(h.Lines(), Lines({"X-LONG: new", "Other:three", "Added: v"}));
  EXPECT_EQ(h.Text(), "X-LONG: new\r\nOther:three\r\nAdded: v\r\n");
}

}  // namespace
}  // namespace sl
