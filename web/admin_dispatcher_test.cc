#include "web/admin_dispatcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "core/jconvert.h"
#include "core/text.h"
#include "mail/smtp_settings.h"
#include "web/admin_test_util.h"
#include "web/http_server.h"
#include "web/metrics_text.h"

namespace sl {
namespace {

using testing::kConfHeader;
using testing::kEnvHeader;
using testing::ReadFile;
using testing::WriteFile;

constexpr char kAccessDeniedBody[] =
    "<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
    "You do not have sufficient priviligies to access this document.</body></html>";
constexpr char kNotFoundBody[] =
    "<html><head><title>Error</title></head><body><h1>Not Found</h1></body></html>";
// "修正/削除" in Shift_JIS.
const std::string kLabelSjis = "\x8F\x43\x90\xB3/\x8D\xED\x8F\x9C";

struct Reply {
  int status = 0;
  std::string head;  // status line and headers
  std::string body;

  // The value of a header, the name compared without regard to case.
  std::string Header(const std::string& name) const {
    std::string lower_head = Lower(head);
    size_t at = lower_head.find("\r\n" + Lower(name) + ": ");
    if (at == std::string::npos) return std::string();
    size_t start = at + 4 + name.size();
    return head.substr(start, head.find('\r', start) - start);
  }

  static std::string Lower(std::string text) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  }
};

// Sends one raw request to 127.0.0.1:port and reads the reply until the
// server closes the connection (five seconds of silence at most).
Reply Exchange(int32_t port, const std::string& raw) {
  Reply reply;
  testing::LoopbackClient client(port);
  if (!client.connected()) return reply;
  client.Send(raw);
  std::string all = client.ReceiveAll();
  size_t end = all.find("\r\n\r\n");
  if (end == std::string::npos) return reply;
  reply.head = all.substr(0, end + 2);
  reply.body = all.substr(end + 4);
  if (all.rfind("HTTP/1.1 ", 0) == 0) reply.status = std::atoi(all.c_str() + 9);
  return reply;
}

std::string BasicAuth(const std::string& user, const std::string& password) {
  return "Authorization: Basic " + Base64Encode(user + ":" + password) + "\r\n";
}

std::string UrlEncode(const std::string& s) {
  std::string out;
  char hex[4];
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '.' || c == '-' || c == '_' || c == '/') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

class AdminDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    watched_ = install_.Path("watched.log");
    WriteFile(watched_, "existing text\n");
    WriteFile(install_.Path("data/ScanLantern.conf"),
              std::string(kConfHeader) + "\"" + watched_ + "\",\"ERROR\",\"1\",\"\",\"\"\n");
    WriteFile(install_.Path("data/env.csv"),
              std::string(kEnvHeader) +
                  "\"admin\",\"Secret\",\"mail.example.com\",\"sl@example.com\",\"s\",\"b\"\n");
    WriteFile(install_.Path("www/index.htm"), "<html>index page</html>");
    WriteFile(install_.Path("www/WatchSetting.html"),
              "<table><#WatchSettingWatchListRecord></table>");
    WriteFile(install_.Path("www/AddWatchError.html"), "add failed");
    WriteFile(
        install_.Path("www/ModDelWatchSetting.html"),
        "No=<#ModDelWatchSettingNo> file=<#ModDelHidWatchFileName>\n<#ModDelWatchSearchCount>");
    WriteFile(install_.Path("www/ModDelWatchError.html"), "change failed");
    WriteFile(install_.Path("www/EnvSetting.html"),
              "server=<#EnvSMTPServer> from=<#EnvFromMailAddress>");
    WriteFile(install_.Path("www/EnvSaveResult.html"), "saved <#EnvSMTPServer>");
    WriteFile(install_.Path("www/SaveResult.html"), "files written");
    WriteFile(install_.Path("www/ReloadResult.html"), "reloaded <#EnvSMTPServer>");
    Start();
  }

  void TearDown() override { Stop(); }

  void Start() {
    state_ = testing::LoadState(install_.base());
    server_ = std::make_unique<THTTPServer>(std::vector<std::string>{});
    AdminHooks hooks;
    hooks.ReloadSettings = [this] {
      state_->Lock.AssertHeld();  // the dispatcher calls its hooks under the lock
      OnReload();
      return reload_failure_;
    };
    hooks.Health = [this] { return std::string(stalled_ ? "stalled" : ""); };
    hooks.Version = "9.8.7";
    dispatcher_ = std::make_unique<AdminDispatcher>(*state_, *server_, std::move(hooks));
    server_->OnCommandGet = [this](TTCPConnection& c, THTTPRequestInfo& rq, THTTPResponseInfo& rs) {
      dispatcher_->HTTPServerCommandGet(c, rq, rs);
    };
    TSocketHandle& binding = server_->Bindings.Add();
    binding.IP = "127.0.0.1";
    binding.Port = 0;
    server_->SetActive(true);
    port_ = server_->Bindings[0].Port;
  }

  void Stop() {
    if (server_) server_->SetActive(false);
  }

  // The reload hook runs with the service lock held: another thread cannot
  // take it meanwhile.
  void OnReload() REQUIRES(state_->Lock) {
    std::thread probe([this] {
      bool got = false;
      if (state_->Lock.TryLock()) {
        got = true;
        state_->Lock.Unlock();
      }
      reload_saw_lock_held_ = !got;
    });
    probe.join();
    ++reloads_;
    state_->ConfTable.ClearRows();
    state_->EnvTable.ClearRows();
    state_->ConfTable.LoadFromFile(install_.Path("data/ScanLantern.conf"));
    state_->EnvTable.LoadFromFile(install_.Path("data/env.csv"));
    ReadWatchList(state_->ConfTable, state_->Watches);
    state_->AdminUserId = state_->EnvTable.GetValue("UserID");
    state_->AdminPassword = state_->EnvTable.GetValue("Password");
  }

  Reply Get(const std::string& target, const std::string& method = "GET") {
    return Exchange(
        port_, method + " " + target + " HTTP/1.0\r\n" + BasicAuth("admin", "Secret") + "\r\n");
  }
  Reply Post(const std::string& target, const std::string& body,
             const std::string& type = "application/x-www-form-urlencoded") {
    return Exchange(port_, "POST " + target + " HTTP/1.0\r\n" + BasicAuth("admin", "Secret") +
                               "Content-Type: " + type + "\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  std::string LogText() { return ReadFile(state_->Log.FileFor(std::time(nullptr))); }

  testing::TempInstall install_;
  std::string watched_;
  std::unique_ptr<ServiceState> state_;
  std::unique_ptr<THTTPServer> server_;
  std::unique_ptr<AdminDispatcher> dispatcher_;
  int32_t port_ = 0;
  // The server and sender the next mail is queued with.
  std::string Smtp() {
    MutexLock lock(state_->Lock);
    SmtpSettings mail = SmtpSettingsOf(state_->EnvTable);
    return mail.Server + "|" + mail.From;
  }
  std::string reload_failure_ GUARDED_BY(state_->Lock);  // what the reload hook reports
  std::atomic<int> reloads_{0};
  std::atomic<bool> reload_saw_lock_held_{false};
  std::atomic<bool> stalled_{false};  // what the health hook reports
};

// "/healthz" answers a probe without a login and logs it once a minute;
// "/metrics" is behind the login and counts what was asked before it.
TEST_F(AdminDispatcherTest, HealthNeedsNoLoginAndTheMetricsDo) {
  Reply ok = Exchange(port_, "GET /healthz HTTP/1.0\r\n\r\n");
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "ok\n");
  stalled_ = true;
  Reply stalled = Exchange(port_, "GET /healthz HTTP/1.0\r\n\r\n");
  EXPECT_EQ(stalled.status, 503);
  EXPECT_EQ(stalled.body, "stalled\n");
  std::string log = LogText();
  size_t first = log.find("Command GET /healthz");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find("Command GET /healthz", first + 1), std::string::npos);

  EXPECT_EQ(Exchange(port_, "GET /metrics HTTP/1.0\r\n\r\n").status, 401);
  Reply metrics = Get("/metrics");
  EXPECT_EQ(metrics.status, 200);
  EXPECT_EQ(metrics.Header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  for (const std::string& line : {
           "scanlantern_entry_triggers_total{file=\"" + watched_ + "\",words=\"ERROR\"} 0\n",
           std::string("scanlantern_http_requests_total{class=\"2xx\"} 1\n"),
           std::string("scanlantern_http_requests_total{class=\"4xx\"} 1\n"),
           std::string("scanlantern_http_requests_total{class=\"5xx\"} 1\n"),
           std::string("scanlantern_build_info{version=\"9.8.7\"} 1\n"),
       }) {
    EXPECT_NE(metrics.body.find(line), std::string::npos) << line << metrics.body;
  }
  EXPECT_EQ(EscapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
}

TEST_F(AdminDispatcherTest, CredentialsAreComparedExactly) {
  const std::string request = "GET /WatchSetting.cgi HTTP/1.0\r\n";
  for (const std::string& auth : {std::string(), BasicAuth("admin", "secret"),
                                  BasicAuth("Admin", "Secret"), BasicAuth("admin", "Secret ")}) {
    Reply r = Exchange(port_, request + auth + "\r\n");
    EXPECT_EQ(r.status, 401) << auth;
    EXPECT_EQ(r.Header("WWW-Authenticate"), "Basic realm=\"ScanLantern http Server\"");
    EXPECT_EQ(r.body, "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>");
  }
  EXPECT_EQ(Exchange(port_, request + BasicAuth("admin", "Secret") + "\r\n").status, 200);

  // Every request is logged, the refused ones too.
  std::string log = LogText();
  const std::string line = "Command GET /WatchSetting.cgi received from 127.0.0.1:";
  int logged = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
    size_t end = log.find('\n', at);
    std::string port = log.substr(at + line.size(), end - at - line.size());
    EXPECT_FALSE(port.empty());
    EXPECT_EQ(port.find_first_not_of("0123456789"), std::string::npos) << port;
    ++logged;
  }
  EXPECT_EQ(logged, 5);
  // Control bytes of a decoded path cannot start log lines of their own.
  Exchange(port_, "GET /a%0D%0AServing%20file%20x HTTP/1.0\r\n\r\n");
  EXPECT_NE(LogText().find("Command GET /a%0D%0AServing file x received from 127.0.0.1:"),
            std::string::npos);

  // An empty user or password closes the administration to everyone.
  for (bool empty_user : {true, false}) {
    {
      MutexLock lock(state_->Lock);
      state_->AdminUserId = empty_user ? "" : "admin";
      state_->AdminPassword = empty_user ? "Secret" : "";
    }
    for (const std::string& auth :
         {std::string(), BasicAuth("", ""), BasicAuth("admin", "Secret")}) {
      Reply closed = Exchange(port_, request + auth + "\r\n");
      EXPECT_EQ(closed.status, 503) << auth;
      EXPECT_EQ(closed.Header("Content-Type"), "text/plain");
      EXPECT_NE(
          closed.body.find("Set UserID and Password in data/env.csv, then restart the service."),
          std::string::npos);
    }
  }
  EXPECT_TRUE(dispatcher_->WarnWhenLoginMissing());
  EXPECT_NE(LogText().find("UserID or Password is empty in data/env.csv"), std::string::npos);
}

TEST_F(AdminDispatcherTest, StaticFilesAreSentUnchanged) {
  Reply index = Get("/");
  EXPECT_EQ(index.status, 200);
  EXPECT_EQ(index.body, "<html>index page</html>");
  EXPECT_EQ(index.Header("Content-Type"), "text/html");
  EXPECT_NE(LogText().find("Serving file " + install_.Path("www/index.htm") +
                           " (23 bytes / 23 bytes sent) to 127.0.0.1:"),
            std::string::npos);

  // A template asked for by its file name is a file: tags stay.
  EXPECT_EQ(Get("/WatchSetting.html").body, "<table><#WatchSettingWatchListRecord></table>");
  // A file named like a route hides the route.
  WriteFile(install_.Path("www/GetTree.cgi"), "a file");
  EXPECT_EQ(Get("/GetTree.cgi").body, "a file");
  // Escaped and plus-encoded names are decoded by the engine first.
  WriteFile(install_.Path("www/a b.htm"), "spaced");
  EXPECT_EQ(Get("/a%20b.htm").body, "spaced");

  // Without index.htm the root falls through to the routes.
  std::filesystem::remove(install_.Path("www/index.htm"));
  Reply missing = Get("/");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, kNotFoundBody);
}

TEST_F(AdminDispatcherTest, HeadAnswersTypeAndLengthOnly) {
  WriteFile(install_.Path("www/logo.gif"), std::string(100, 'g'));
  Reply r = Get("/logo.gif", "HEAD");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Content-Type"), "image/gif");
  EXPECT_EQ(r.Header("Content-Length"), "100");
  EXPECT_EQ(r.body, "");
  WriteFile(install_.Path("www/data.unknownext"), "x");
  EXPECT_EQ(Get("/data.unknownext", "HEAD").Header("Content-Type"), "application/octet-stream");
  EXPECT_EQ(LogText().find("Serving file"), std::string::npos);

  // HEAD of a route runs the route, except where the route changes
  // something: that takes POST only.
  Reply route = Get("/EnvSetting.cgi", "HEAD");
  EXPECT_EQ(route.status, 200);
  EXPECT_EQ(route.body, "");
  EXPECT_EQ(route.Header("Content-Length"), "43");
  Reply save = Get("/SaveSetting.cgi", "HEAD");
  EXPECT_EQ(save.status, 405);
  EXPECT_EQ(save.Header("Allow"), "POST");
  EXPECT_EQ(save.body, "");
}

TEST_F(AdminDispatcherTest, PathsOutsideTheRootAreRefused) {
  std::filesystem::create_directory(install_.Path("wwwold"));
  WriteFile(install_.Path("wwwold/old.htm"), "old");
  std::filesystem::create_directory(install_.Path("www/sub"));
  const std::string denied[] = {
      "/../data/env.csv",
      "/%2e%2e/data/env.csv",
      "/%2E%2E/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
      "/..%2fdata%2fenv.csv",
      "/..\\data\\env.csv",
      "/.%2e/data/env.csv",
      "/../wwwold/old.htm",
      "/../www",
      "/sub",
      "/sub/",
      "/./sub/../sub",
  };
  for (const std::string& target : denied) {
    Reply r = Get(target);
    EXPECT_EQ(r.status, 403) << target;
    EXPECT_EQ(r.body, kAccessDeniedBody) << target;
    EXPECT_EQ(Get(target, "HEAD").status, 403) << target;
  }
  // A sibling path that does not exist is no file: the routes answer.
  EXPECT_EQ(Get("/../nothing-here").status, 404);
  // Inside the root, dots are resolved and the file is served.
  WriteFile(install_.Path("www/sub/page.htm"), "sub page");
  EXPECT_EQ(Get("/sub/../sub/./page.htm").body, "sub page");
  EXPECT_EQ(LogText().find("Serving file " + install_.Path("data")), std::string::npos);
}

TEST_F(AdminDispatcherTest, RoutesAreMatchedExactlyWithoutQuery) {
  Reply page = Get("/WatchSetting.cgi?x=1");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("name=\"WatchFileName1\" readonly value=\"" + watched_ + "\""),
            std::string::npos);
  EXPECT_NE(page.body.find("value=\"No1" + kLabelSjis + "\""), std::string::npos);
  Reply other = Get("/watchsetting.cgi");
  EXPECT_EQ(other.status, 404);
  EXPECT_EQ(other.body, kNotFoundBody);
  EXPECT_EQ(Get("/nothing.cgi").status, 404);
}

TEST_F(AdminDispatcherTest, FormRoutesChooseTheirPages) {
  Reply added = Post("/AddWatch.cgi", "HidWatchFileName=" + UrlEncode(watched_) +
                                          "&WatchSearchString=disk+full&WatchSearchCount=3"
                                          "&WatchMailAddress=a%40b.example");
  EXPECT_EQ(added.status, 200);
  EXPECT_NE(added.body.find("name=\"WatchSearchString2\" readonly value=\"disk full\""),
            std::string::npos);
  EXPECT_EQ(Post("/AddWatch.cgi", "HidWatchFileName=%2Fno%2Fsuch&WatchSearchCount=1").body,
            "add failed");

  Reply shown = Post("/ModDelWatchSetting.cgi",
                     "No1=1&WatchFileName1=y&No2=2&WatchFileName2=x&WatchSearchCount2=3"
                     "&ModDel=No2" +
                         UrlEncode(kLabelSjis));
  // The form shows the stored entry, not the posted fields.
  EXPECT_EQ(shown.body.substr(0, 11 + watched_.size()), "No=2 file=" + watched_ + "\n");
  EXPECT_NE(shown.body.find("<OPTION value=\"3\" selected>3</OPTION>"), std::string::npos);
  // Without a button, with a bad number or one beyond the list, the
  // request names no entry: the client's mistake.
  for (const std::string& form : {std::string("No1=1"), "ModDel=Nox" + UrlEncode(kLabelSjis),
                                  "ModDel=No9" + UrlEncode(kLabelSjis)}) {
    Reply refused = Post("/ModDelWatchSetting.cgi", form);
    EXPECT_EQ(refused.status, 400) << form;
    EXPECT_EQ(refused.body, "ModDel names no entry of the watch list.\n") << form;
  }

  EXPECT_EQ(Post("/ModDelWatch.cgi", "No=3&ModDel=Del").body, "change failed");
  Reply deleted = Post("/ModDelWatch.cgi", "No=1&ModDel=Del");
  EXPECT_NE(deleted.body.find("name=\"WatchSearchString1\" readonly value=\"disk full\""),
            std::string::npos);
  EXPECT_EQ(deleted.body.find("WatchSearchString2"), std::string::npos);

  std::filesystem::remove(install_.Path("www/EnvSetting.html"));
  Reply missing = Get("/EnvSetting.cgi");
  EXPECT_EQ(missing.status, 500);
  EXPECT_NE(missing.body.find(install_.Path("www/EnvSetting.html")), std::string::npos);
}

TEST_F(AdminDispatcherTest, EnvironmentSaveSaveAndReload) {
  Reply saved = Post("/EnvSaveSetting.cgi", "SMTPServer=smtp.local&FromMailAddress=ops%40x");
  EXPECT_EQ(saved.body, "saved smtp.local");
  EXPECT_EQ(Smtp(), "smtp.local|ops@x");
  EXPECT_EQ(Get("/EnvSetting.cgi").body, "server=smtp.local from=ops@x");
  EXPECT_EQ(ReadFile(install_.Path("data/env.csv")).find("smtp.local"), std::string::npos);

  // A reload without a save brings back the file's values; the page is sent
  // as a file, tags unreplaced.
  Reply reloaded = Post("/ServiceReload.cgi", "");
  EXPECT_EQ(reloaded.body, "reloaded <#EnvSMTPServer>");
  EXPECT_EQ(reloads_, 1);
  EXPECT_TRUE(reload_saw_lock_held_);
  EXPECT_EQ(Get("/EnvSetting.cgi").body, "server=mail.example.com from=sl@example.com");

  // A failed reload is answered with the error page and its escaped reason.
  WriteFile(install_.Path("www/ReloadError.html"), "failed: <#ReloadErrorReason>");
  {
    MutexLock lock(state_->Lock);
    reload_failure_ = "'<b>&\"' is not a valid integer value";
  }
  Reply failed = Post("/ServiceReload.cgi", "");
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body, "failed: '&lt;b&gt;&amp;&quot;' is not a valid integer value");
  // A settings problem is said in Japanese, with its row and column.
  {
    MutexLock lock(state_->Lock);
    reload_failure_ =
        "/opt/a:b/data/ScanLantern.conf:3: SearchCount: 0x: '0x' is not a valid "
        "integer value\nmore";
  }
  EXPECT_EQ(SjisToEuc(Post("/ServiceReload.cgi", "").body),
            "failed: " +
                testing::Euc("設定ファイル /opt/a:b/data/ScanLantern.conf の 3 行目、"
                             "列「SearchCount」の値「0x」を使えません。理由: ") +
                "'0x' is not a valid integer value");
  {
    MutexLock lock(state_->Lock);
    reload_failure_.clear();
  }

  Post("/EnvSaveSetting.cgi", "SMTPServer=smtp.local&FromMailAddress=ops%40x");
  EXPECT_EQ(Post("/SaveSetting.cgi", "").body, "files written");
  EXPECT_NE(ReadFile(install_.Path("data/env.csv")).find("\"smtp.local\",\"ops@x\""),
            std::string::npos);
  EXPECT_EQ(ReadFile(install_.Path("data/ScanLantern.conf")),
            std::string(kConfHeader) + "\"" + watched_ + "\",\"ERROR\",\"1\",\"\",\"\"\n");
}

TEST_F(AdminDispatcherTest, ConsoleReadsAndReplacesTheSettings) {
  Reply text = Get("/GetWatchSetting.cgi");
  EXPECT_EQ(text.status, 200);
  EXPECT_EQ(text.Header("Content-Type"), "text/plain");
  EXPECT_EQ(text.Header("Content-Security-Policy"), "sandbox");
  EXPECT_EQ(
      text.body.rfind(
          "\"" + watched_ + "\",\"ERROR\",\"1\",\"\",\"\"\n\"s\",\"b\",\"mail.example.com\"", 0),
      0u);

  // The body goes through as sent, whatever the content type.
  Reply posted = Post("/PostWatchSetting.cgi",
                      "\"/x\",\"a&b\",\"2\",\"\",\"\"\r\nsubj,body,smtp.y,f@y\r\n", "text/plain");
  EXPECT_EQ(posted.status, 200);
  EXPECT_EQ(posted.body, "");
  EXPECT_EQ(posted.Header("Content-Length"), "0");
  EXPECT_EQ(Smtp(), "smtp.y|f@y");
  EXPECT_EQ(ReadFile(install_.Path("data/ScanLantern.conf")),
            std::string(kConfHeader) + "\"/x\",\"a&b\",\"2\",\"\",\"\"\n");

  Reply failed =
      Post("/PostWatchSetting.cgi", "\"/x\",\"a\"\r\nsubj,body,smtp.z,f@z\r\n", "text/plain");
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.body, "List index out of bounds (2)");
  EXPECT_EQ(Smtp(), "smtp.y|f@y");
}

TEST_F(AdminDispatcherTest, FileViewServesAnyReadableFile) {
  const std::string path = install_.Path("data/env.csv");
  Reply r = Get("/GetFileView.cgi?" + UrlEncode(path));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, ReadFile(path));
  EXPECT_NE(LogText().find("Serving file " + path + " ("), std::string::npos);

  Reply none = Get("/GetFileView.cgi");
  EXPECT_EQ(none.status, 500);
  EXPECT_EQ(none.body, "List index out of bounds (0)");
  // name=value is taken whole, as a relative path that does not exist.
  Reply named = Get("/GetFileView.cgi?file=" + UrlEncode(path));
  EXPECT_EQ(named.status, 500);
  EXPECT_NE(named.body.find("file=" + path), std::string::npos);
}

TEST_F(AdminDispatcherTest, TreeListingRunsTheInstalledProgram) {
  std::filesystem::create_directory(install_.Path("bin"));
  WriteFile(install_.Path("bin/tree"), "#!/bin/sh\necho \"listing $*\"\n");
  chmod(install_.Path("bin/tree").c_str(), 0755);
  Reply r = Get("/GetTree.cgi");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "listing -n /\n");
  EXPECT_EQ(ReadFile(install_.Path("data/treeout.txt")), "listing -n /\n");

  // Without the program the shell still creates the file, empty.
  std::filesystem::remove(install_.Path("bin/tree"));
  Reply empty = Get("/GetTree.cgi");
  EXPECT_EQ(empty.status, 200);
  EXPECT_EQ(empty.body, "");
}

TEST_F(AdminDispatcherTest, RequestsWaitForTheServiceLock) {
  MutexLock held(state_->Lock);
  std::atomic<bool> done{false};
  Reply page;
  std::thread client([&] {
    page = Get("/EnvSetting.cgi");
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done);
  held.Unlock();
  client.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(page.body, "server=mail.example.com from=sl@example.com");
}

TEST_F(AdminDispatcherTest, ConcurrentRequestsKeepTheTableConsistent) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 10;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        Reply r = Post("/AddWatch.cgi", "HidWatchFileName=" + UrlEncode(watched_) +
                                            "&WatchSearchCount=1&WatchSearchString=t" +
                                            std::to_string(t) + "r" + std::to_string(i));
        if (r.status != 200) ++failures;
        if (Get("/GetWatchSetting.cgi").status != 200) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);
  MutexLock lock(state_->Lock);
  ASSERT_EQ(state_->Watches.size(), 1u + kThreads * kRounds);
  std::set<std::string> words;
  for (const auto& e : state_->Watches) words.insert(e->SearchString);
  EXPECT_EQ(words.size(), 1u + kThreads * kRounds);
}

// The installed pages post the fields the actions read and use the tags.
TEST(AdminInstalledPagesTest, PagesUseTheFieldsAndTags) {
  const std::string dir = std::string(SL_BINARY_DIR) + "/www/";
  if (!std::filesystem::exists(dir + "WatchSetting.html"))
    GTEST_SKIP() << "pages not built in " << dir;
  auto has = [&](const std::string& page, const std::vector<std::string>& needles) {
    std::string text = ReadFile(dir + page);
    EXPECT_NE(text.find("charset=Shift_JIS"), std::string::npos) << page;
    for (const std::string& n : needles)
      EXPECT_NE(text.find(n), std::string::npos) << page << ": " << n;
  };
  has("index.htm", {"/WatchSetting.cgi", "/EnvSetting.cgi"});
  has("WatchSetting.html",
      {"<#WatchSettingWatchListRecord>", "action=\"/ModDelWatchSetting.cgi\"",
       "action=\"/AddWatch.cgi\"", "name=\"HidWatchFileName\"", "name=\"WatchSearchString\"",
       "name=\"WatchSearchCount\"", "name=\"WatchMailAddress\"", "name=\"HidWatchCommand\"",
       "action=\"/SaveSetting.cgi\"", "action=\"/ServiceReload.cgi\""});
  // The change form and its error page show the same form.
  for (const char* page : {"ModDelWatchSetting.html", "ModDelWatchError.html"}) {
    has(page, {"action=\"/ModDelWatch.cgi\"", "name=\"No\" value=\"<#FormNo>\"",
               "value=\"<#FormHidWatchFileName>\"", "<#ReasonHidWatchFileName>",
               "value=\"<#FormWatchSearchString>\"", "value=\"<#FormWatchSearchCount>\"",
               "value=\"<#FormWatchMailAddress>\"", "value=\"<#FormHidWatchCommand>\"",
               "name=\"ModDel\" value=\"Mod\"", "name=\"ModDel\" value=\"Del\"", "confirm("});
  }
  has("EnvSetting.html",
      {"action=\"/EnvSaveSetting.cgi\"", "name=\"SMTPServer\" value=\"<#EnvSMTPServer>\"",
       "name=\"FromMailAddress\" value=\"<#EnvFromMailAddress>\""});
  has("ReloadError.html", {"<#ReloadErrorReason>"});
  for (const char* page : {"AddWatchError.html", "ModDelWatchError.html", "EnvSaveResult.html",
                           "SaveResult.html", "ReloadResult.html", "ReloadError.html"}) {
    has(page, {"/WatchSetting.cgi"});
  }
}

}  // namespace
}  // namespace sl
