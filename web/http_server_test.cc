#include "web/http_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "core/mutex.h"
#include "testing/test_support.h"

namespace sl {
namespace {

// Connects to the server on loopback, sends `request`, optionally ends the
// sending side, and returns everything received until the server closes
// (or ten seconds of silence).
std::string Exchange(int port, std::string_view request, bool shut_write = false) {
  testing::LoopbackClient client(port);
  if (!client.connected()) {
    ADD_FAILURE() << "connect failed";
    return "";
  }
  client.SetTimeout(10000);
  client.Send(request);  // the server may close before reading everything
  if (shut_write) client.ShutdownWrite();
  return client.ReceiveAll();
}

// The reply without its Date header, which must come right after Server.
std::string WithoutDate(std::string reply) {
  size_t at = reply.find("\r\nDate: ");
  if (at == std::string::npos) {
    ADD_FAILURE() << "no Date header in " << reply;
    return reply;
  }
  size_t line_before = reply.rfind("\r\n", at - 1);
  EXPECT_EQ(reply.compare(line_before + 2, 8, "Server: "), 0) << reply;
  reply.erase(at, reply.find("\r\n", at + 2) - at);
  return reply;
}

std::string BodyOf(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

std::string RunCommand(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// What a handler saw, copied out under a lock.
struct Seen {
  std::string command, document, version, query, form, param_text, remote, user, password;
  std::vector<std::string> params;
  bool has_auth = false;
  int32_t content_length = 0;
};

class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() : server_(std::vector<std::string>{}) {}

  void SetUp() override {
    dir_ = "/tmp/sl_http_test_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    mkdir(dir_.c_str(), 0700);
    server_.OnCommandGet = [this](TTCPConnection& c, THTTPRequestInfo& req,
                                  THTTPResponseInfo& resp) {
      DecodeRequestFields(req,
                          server_.ParseParams);  // the handler's part, as the service's does it
      Record(req);
      Handle(c, req, resp);
    };
  }

  void TearDown() override {
    server_.SetActive(false);
    RunCommand("rm -rf '" + dir_ + "'");
  }

  void Start() {
    TSocketHandle& b = server_.Bindings.Add();
    b.IP = "127.0.0.1";
    b.Port = 0;
    server_.SetActive(true);
    port_ = server_.Bindings[0].Port;
  }

  void Record(const THTTPRequestInfo& req) {
    MutexLock lock(mu_);
    seen_.command = req.Command;
    seen_.document = req.Document;
    seen_.version = req.Version;
    seen_.query = req.QueryText;
    seen_.form = req.FormText;
    seen_.param_text = req.ParamText;
    seen_.remote = req.RemoteAddress;
    seen_.user = req.AuthUsername;
    seen_.password = req.AuthUserPassword;
    seen_.has_auth = req.HasAuthorization;
    seen_.params = req.Params;
    seen_.content_length = req.ContentLength;
    ++calls_;
  }

  // The default handler: routes by document.
  void Handle(TTCPConnection& c, THTTPRequestInfo& req, THTTPResponseInfo& resp) {
    const std::string& doc = req.Document;
    if (doc == "/throw") throw std::runtime_error("handler failed");
    if (doc == "/late-throw") {
      resp.SendHeader();
      throw std::runtime_error("after header");
    }
    if (doc == "/missing") {
      resp.SetStatusCode(404);
      resp.BodyText = "none";
      return;
    }
    if (doc == "/auth") {
      resp.ChallengeRealm = "ScanLantern http Server";
      return;
    }
    if (doc.rfind("/file/", 0) == 0) {
      if (req.Param("clear") == "1") resp.ContentType.clear();
      server_.SendFile(c, resp, dir_ + doc.substr(5));
      return;
    }
    if (doc == "/empty") return;
    resp.BodyText = "hello " + doc;
  }

  Seen LastSeen() {
    MutexLock lock(mu_);
    return seen_;
  }

  void WriteFile(const std::string& name, const std::string& content) {
    std::ofstream out(dir_ + "/" + name, std::ios::binary);
    out << content;
  }

  THTTPServer server_;
  int port_ = 0;
  std::string dir_;
  Mutex mu_;
  Seen seen_ GUARDED_BY(mu_);
  std::atomic<int> calls_{0};
};

TEST_F(HttpServerTest, PlainGetExactReply) {
  Start();
  std::string reply = Exchange(port_, "GET /index.htm HTTP/1.0\r\n\r\n");
  EXPECT_EQ(WithoutDate(reply),
            "HTTP/1.1 200 OK\r\n"
            "Connection: close\r\n"
            "Content-Type: text/html\r\n"
            "Content-Length: 16\r\n"
            "Server: ScanLantern/1.0\r\n"
            "X-Frame-Options: DENY\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "\r\n"
            "hello /index.htm");
  Seen s = LastSeen();
  EXPECT_EQ(s.command, "GET");
  EXPECT_EQ(s.version, "HTTP/1.0");
  EXPECT_EQ(s.remote, "127.0.0.1");
  EXPECT_TRUE(s.params.empty());
}

TEST_F(HttpServerTest, TargetWithSpacesEscapesAndQuery) {
  Start();
  Exchange(port_, "get /a b/c%20d+e.cgi?x=1&&y=%41&z=%zz&n=%00& HTTP/1.1\r\nHost: h\r\n\r\n");
  Seen s = LastSeen();
  EXPECT_EQ(s.command, "GET");
  EXPECT_EQ(s.document, "/a b/c d e.cgi");
  EXPECT_EQ(s.query, "x=1&&y=%41&z=%zz&n=%00&");
  EXPECT_EQ(s.params, (std::vector<std::string>{"x=1", "", "y=A", "z=", "n="}));
}

TEST_F(HttpServerTest, PostBodies) {
  Start();
  Exchange(port_,
           "POST /x.cgi?b=2 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: 3\r\n\r\na=1");
  Seen s = LastSeen();
  EXPECT_EQ(s.form, "a=1");
  EXPECT_EQ(s.param_text, "a=1\r\nb=2");
  EXPECT_EQ(s.params, (std::vector<std::string>{"a=1\r\nb=2"}));

  Exchange(port_,
           "POST /x.cgi?b=2 HTTP/1.1\r\nContent-Type: "
           "Application/X-WWW-Form-Urlencoded;charset=UTF-8\r\n"
           "Content-Length: 3\r\n\r\na=1");
  s = LastSeen();
  EXPECT_EQ(s.form, "a=1");
  EXPECT_EQ(s.params, (std::vector<std::string>{"a=1\r\nb=2"}));

  // HTTP/1.1 without a length has no body: answered without the close.
  std::string reply = Exchange(port_, "POST /none HTTP/1.1\r\n\r\n");
  EXPECT_EQ(BodyOf(reply), "hello /none");
  EXPECT_EQ(LastSeen().form, "");

  // A chunked body, with an extension and a trailer.
  reply = Exchange(port_,
                   "POST /chunked HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
                   "Content-Type: application/x-www-form-urlencoded\r\n\r\n"
                   "4;x=y\r\na=1&\r\n3\r\nb=2\r\n0\r\nX-Trailer: t\r\n\r\n");
  EXPECT_EQ(BodyOf(reply), "hello /chunked");
  EXPECT_EQ(LastSeen().form, "a=1&b=2");
  EXPECT_EQ(LastSeen().params, (std::vector<std::string>{"a=1", "b=2"}));

  // No Content-Length: the body ends when the client ends its sending side,
  // and the reply still reaches it.
  std::string body(100000, 'q');
  reply = Exchange(port_, "POST /raw HTTP/1.0\r\n\r\n" + body, true);
  EXPECT_EQ(LastSeen().form, body);
  EXPECT_EQ(LastSeen().content_length, -1);
  EXPECT_EQ(BodyOf(reply), "hello /raw");
}

TEST_F(HttpServerTest, BodyLimits) {
  Start();
  // 8 MiB exactly is read; one byte more is refused unread.
  std::string reply = Exchange(port_, "POST /big HTTP/1.1\r\nContent-Length: 8388609\r\n\r\nabc");
  EXPECT_EQ(reply.rfind("HTTP/1.1 413 Request Entity To Long\r\nConnection: close\r\n", 0), 0u)
      << reply;
  EXPECT_EQ(BodyOf(reply), "<HTML><BODY><B>413 Request Entity To Long</B></BODY></HTML>");
  reply = Exchange(port_, "POST /big HTTP/1.1\r\nContent-Length: 99999999999999\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 413 ", 0), 0u) << reply;
  EXPECT_EQ(calls_.load(), 0);

  std::string body(8 * 1024 * 1024, 'b');
  reply = Exchange(port_, "POST /ok HTTP/1.1\r\nContent-Length: 8388608\r\n\r\n" + body);
  EXPECT_EQ(BodyOf(reply), "hello /ok");
  EXPECT_EQ(LastSeen().form.size(), body.size());

  // Without a length, more than 8 MiB until the close is refused too, and
  // so is a chunked body that grows past it; a HEAD gets no body with it.
  reply = Exchange(port_, "POST /big HTTP/1.0\r\n\r\n" + body + "x", true);
  EXPECT_EQ(reply.rfind("HTTP/1.1 413 ", 0), 0u) << reply.substr(0, 100);
  reply = Exchange(port_, "POST /big HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n800000\r\n" +
                              body + "\r\n1\r\nx\r\n0\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 413 ", 0), 0u) << reply.substr(0, 100);
  reply = Exchange(port_, "HEAD /big HTTP/1.1\r\nContent-Length: 8388609\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 413 ", 0), 0u) << reply;
  EXPECT_EQ(BodyOf(reply), "");
  EXPECT_EQ(calls_.load(), 1);
}

TEST_F(HttpServerTest, HeaderSectionLimits) {
  Start();
  std::string line = "X-Fill: " + std::string(10000, 'f') + "\r\n";
  std::string six, seven;
  for (int i = 0; i < 6; ++i) six += line;
  for (int i = 0; i < 7; ++i) seven += line;
  EXPECT_EQ(BodyOf(Exchange(port_, "GET /h HTTP/1.1\r\n" + six + "\r\n")), "hello /h");
  const std::string bad = "HTTP/1.1 400 Bad Request\r\n";
  EXPECT_EQ(Exchange(port_, "GET /h HTTP/1.1\r\n" + seven + "\r\n").rfind(bad, 0), 0u);
  EXPECT_EQ(calls_.load(), 1);
  // One header line of more than 16384 bytes, and a request line as long.
  EXPECT_EQ(Exchange(port_, "GET /h HTTP/1.1\r\nX: " + std::string(17000, 'g') + "\r\n\r\n")
                .rfind(bad, 0),
            0u);
  EXPECT_EQ(Exchange(port_, "GET /" + std::string(17000, 'g') + " HTTP/1.1\r\n\r\n").rfind(bad, 0),
            0u);
  EXPECT_EQ(calls_.load(), 1);
}

TEST_F(HttpServerTest, MalformedRequestsGet400AndOtherMethodsNoReply) {
  std::atomic<int> others{0};
  std::string other_method;
  server_.OnCommandOther = [&](TTCPConnection&, const std::string& method,
                               const std::string& target, const std::string& version) {
    MutexLock lock(mu_);
    if (target == "/p" && version == "HTTP/1.1") other_method = method;
    ++others;
  };
  Start();
  EXPECT_EQ(Exchange(port_, "PUT /p HTTP/1.1\r\nContent-Length: 1\r\n\r\nx"), "");
  EXPECT_EQ(others.load(), 1);
  {
    MutexLock lock(mu_);
    EXPECT_EQ(other_method, "PUT");
  }
  const std::string bad = "HTTP/1.1 400 Bad Request\r\n";
  for (const char* request :
       {"NOSPACES\r\n\r\n", "GET / HTTP/x\r\n\r\n", "G(T / HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nNo colon\r\n\r\n", "GET / HTTP/1.1\r\n continued\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
        "POST / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"}) {
    std::string reply = Exchange(port_, request);
    EXPECT_EQ(reply.rfind(bad, 0), 0u) << request << reply;
    EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos);
  }
  EXPECT_EQ(Exchange(port_, "", true), "");
  EXPECT_EQ(calls_.load(), 0);
  // Another authorization scheme is no credentials, not a broken request.
  EXPECT_EQ(BodyOf(Exchange(port_, "GET /nego HTTP/1.1\r\nAuthorization: Negotiate x\r\n\r\n")),
            "hello /nego");
  EXPECT_FALSE(LastSeen().has_auth);
  EXPECT_EQ(LastSeen().user, "");
  // The server still serves after all of them.
  EXPECT_EQ(BodyOf(Exchange(port_, "GET /still HTTP/1.0\r\n\r\n")), "hello /still");
}

TEST_F(HttpServerTest, HeadNeverCarriesABody) {
  Start();
  std::string reply = Exchange(port_, "HEAD /x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(WithoutDate(reply),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html\r\n"
            "Content-Length: 8\r\nServer: ScanLantern/1.0\r\n"
            "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\n\r\n");
  EXPECT_EQ(LastSeen().command, "HEAD");
  reply = Exchange(port_, "HEAD /throw HTTP/1.1\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  EXPECT_EQ(BodyOf(reply), "");
  WriteFile("a.gif", "GIF89a");
  reply = Exchange(port_, "HEAD /file/a.gif?clear=1 HTTP/1.1\r\n\r\n");
  EXPECT_NE(reply.find("Content-Type: image/gif\r\nContent-Length: 6\r\n"), std::string::npos)
      << reply;
  EXPECT_EQ(BodyOf(reply), "");
}

TEST_F(HttpServerTest, HandlerErrors) {
  Start();
  EXPECT_EQ(
      WithoutDate(Exchange(port_, "GET /throw HTTP/1.0\r\n\r\n")),
      "HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Type: text/plain\r\n"
      "Content-Length: 14\r\nServer: ScanLantern/1.0\r\n"
      "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\n\r\nhandler failed");
  // After the header only the message follows.
  EXPECT_EQ(WithoutDate(Exchange(port_, "GET /late-throw HTTP/1.0\r\n\r\n")),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html\r\n"
            "Server: ScanLantern/1.0\r\n"
            "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\n\r\nafter header");
  EXPECT_EQ(WithoutDate(Exchange(port_, "GET /empty HTTP/1.0\r\n\r\n")),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html\r\n"
            "Server: ScanLantern/1.0\r\n"
            "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\n\r\n");
  std::string reply = Exchange(port_, "GET /auth HTTP/1.0\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u);
  EXPECT_NE(reply.find("WWW-Authenticate: Basic realm=\"ScanLantern http Server\"\r\n"),
            std::string::npos);
  EXPECT_EQ(BodyOf(reply), "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>");
}

TEST_F(HttpServerTest, SendFile) {
  Start();
  WriteFile("pic.gif", "GIF89a-data");
  WriteFile("x.unknownext", "zzz");
  std::string big;
  for (int i = 0; i < 30000; ++i) big += std::to_string(i) + ",";
  WriteFile("big.txt", big);

  std::string reply = Exchange(port_, "GET /file/pic.gif HTTP/1.0\r\n\r\n");
  EXPECT_EQ(WithoutDate(reply),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html\r\n"
            "Content-Length: 11\r\nServer: ScanLantern/1.0\r\n"
            "X-Frame-Options: DENY\r\nX-Content-Type-Options: nosniff\r\n\r\nGIF89a-data");
  reply = Exchange(port_, "GET /file/pic.gif?clear=1 HTTP/1.0\r\n\r\n");
  EXPECT_NE(reply.find("Content-Type: image/gif\r\n"), std::string::npos);
  reply = Exchange(port_, "GET /file/x.unknownext?clear=1 HTTP/1.0\r\n\r\n");
  EXPECT_NE(reply.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
  reply = Exchange(port_, "GET /file/big.txt HTTP/1.0\r\n\r\n");
  EXPECT_NE(reply.find("Content-Length: " + std::to_string(big.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(BodyOf(reply), big);

  // A file that cannot be opened is answered 500 before any header.
  reply = Exchange(port_, "GET /file/nothere.htm HTTP/1.0\r\n\r\n");
  std::string message = "File \"" + dir_ + "/nothere.htm\" not found";
  EXPECT_EQ(reply.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << reply;
  EXPECT_NE(reply.find("Content-Length: " + std::to_string(message.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(BodyOf(reply), message);
  mkdir((dir_ + "/sub").c_str(), 0700);
  reply = Exchange(port_, "GET /file/sub HTTP/1.0\r\n\r\n");
  EXPECT_EQ(reply.rfind("HTTP/1.1 500 ", 0), 0u);
  EXPECT_EQ(BodyOf(reply), "Cannot open file \"" + dir_ + "/sub\". Is a directory");
}

TEST_F(HttpServerTest, KeepAlive) {
  server_.KeepAlive = true;
  Start();
  std::string reply = Exchange(port_,
                               "GET /one HTTP/1.1\r\n\r\nGET /two HTTP/1.1\r\n\r\n"
                               "GET /missing HTTP/1.1\r\n\r\nGET /never HTTP/1.1\r\n\r\n");
  EXPECT_NE(reply.find("Connection: keep-alive\r\n"), std::string::npos);
  EXPECT_NE(reply.find("hello /one"), std::string::npos);
  EXPECT_NE(reply.find("hello /two"), std::string::npos);
  // 404 closes the connection even with keep-alive.
  EXPECT_NE(reply.find("HTTP/1.1 404 Not Found\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_EQ(reply.find("never"), std::string::npos);
  EXPECT_EQ(calls_.load(), 3);
}

TEST_F(HttpServerTest, Sessions) {
  server_.SetSessionState(true);
  server_.AutoStartSession = true;
  std::atomic<int> started{0}, invalid{0};
  server_.OnSessionStart = [&](THTTPSession&) { ++started; };
  server_.OnInvalidSession = [&](TTCPConnection&, THTTPRequestInfo&, THTTPResponseInfo&,
                                 bool& go_on, const std::string& id) {
    ++invalid;
    go_on = id != "stop";
  };
  Start();
  EXPECT_THROW(server_.SetSessionState(false), EHTTPServerError);
  std::string reply = Exchange(port_, "GET /s HTTP/1.0\r\n\r\n");
  size_t at = reply.find("Set-Cookie: HTTPSESSIONID=");
  ASSERT_NE(at, std::string::npos) << reply;
  std::string id = reply.substr(at + 26, 32);
  EXPECT_NE(reply.find("; path=/\r\n", at), std::string::npos);
  EXPECT_EQ(server_.SessionList().Count(), 1u);

  reply = Exchange(port_, "GET /s HTTP/1.0\r\nCookie: HTTPSESSIONID=" + id + "\r\n\r\n");
  EXPECT_EQ(reply.find("Set-Cookie"), std::string::npos);
  EXPECT_EQ(started.load(), 1);
  // An unknown id: the handler may stop the request (only the header goes).
  reply = Exchange(port_, "GET /s HTTP/1.0\r\nCookie: HTTPSESSIONID=stop\r\n\r\n");
  EXPECT_EQ(invalid.load(), 1);
  EXPECT_EQ(BodyOf(reply), "");
  EXPECT_EQ(calls_.load(), 2);
  server_.SetActive(false);
  EXPECT_EQ(server_.SessionList().Count(), 0u);
}

TEST_F(HttpServerTest, ManyClientsAtOnce) {
  Start();
  std::vector<std::thread> clients;
  clients.reserve(6);
  std::atomic<int> good{0};
  for (int t = 0; t < 6; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 15; ++i) {
        std::string doc = "/c" + std::to_string(t) + "_" + std::to_string(i);
        if (BodyOf(Exchange(port_, "GET " + doc + " HTTP/1.0\r\n\r\n")) == "hello " + doc) ++good;
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(good.load(), 90);
}

TEST_F(HttpServerTest, CurlAsClient) {
  if (access("/usr/bin/curl", X_OK) != 0) GTEST_SKIP() << "curl not installed";
  Start();
  std::string base = "http://127.0.0.1:" + std::to_string(port_);
  std::string out =
      RunCommand("/usr/bin/curl -s -i -u 'admin:se cret' '" + base + "/p%20q?x=%E3%81%82' 2>&1");
  EXPECT_EQ(out.rfind("HTTP/1.1 200 OK\r\nConnection: close\r\n", 0), 0u) << out;
  EXPECT_EQ(BodyOf(out), "hello /p q");
  Seen s = LastSeen();
  EXPECT_TRUE(s.has_auth);
  EXPECT_EQ(s.user, "admin");
  EXPECT_EQ(s.password, "se cret");
  EXPECT_EQ(s.params, (std::vector<std::string>{"x=\xE3\x81\x82"}));
  EXPECT_EQ(s.version, "HTTP/1.1");

  // A form post of 2 MB: curl asks for "100 Continue" first.
  std::string form_file = dir_ + "/form.txt";
  {
    std::ofstream f(form_file);
    f << "v=" << std::string(2 * 1024 * 1024, 'x');
  }
  out =
      RunCommand("/usr/bin/curl -s --data-binary @" + form_file + " '" + base + "/form?q=1' 2>&1");
  EXPECT_EQ(out, "hello /form");
  s = LastSeen();
  EXPECT_EQ(s.form.size(), 2u * 1024 * 1024 + 2);
  ASSERT_EQ(s.params.size(), 1u);
  EXPECT_EQ(s.params[0].size(), 2u * 1024 * 1024 + 2 + 2 + 3);

  // curl sees the 413 for an announced body that is too large.
  std::string big_file = dir_ + "/big.bin";
  {
    std::ofstream f(big_file);
    f << std::string(9 * 1024 * 1024, 'y');
  }
  out = RunCommand("/usr/bin/curl -s -o /dev/null -w '%{http_code}' --data-binary @" + big_file +
                   " '" + base + "/up' 2>&1");
  EXPECT_EQ(out, "413");
}

}  // namespace
}  // namespace sl
