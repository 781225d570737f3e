#include "web/admin_dispatcher.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

#include "core/jconvert.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "web/admin_text.h"
#include "web/admin_texts_ja.h"
#include "web/http_header_list.h"
#include "web/request_origin.h"
#include "web/status_page.h"

namespace sl {

namespace {

// The line that counts the request lines left out for one address.
std::string LeftOutNote(const std::string& address, int64_t count) {
  return std::to_string(count) + " request line(s) from " + address +
         " that were refused before a login were left out of the log (more than " +
         std::to_string(AdminDispatcher::kStrangerLines) + " a minute)";
}

constexpr char kRealm[] = "ScanLantern http Server";
constexpr char kTreeOutputFile[] = "./data/treeout.txt";
constexpr char kAccessDenied[] =
    "<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
    "You do not have sufficient priviligies to access this document.</body></html>";

constexpr char kLoginMissing[] =
    "The web administration is closed: it has no login.\n"
    "Set UserID and Password in data/env.csv, then restart the service.\n";
constexpr char kLoginMissingWarning[] =
    "Warning: UserID or Password is empty in data/env.csv. The web administration answers every "
    "request with 503 until both are set and the service is restarted; watching and mail go on.";
constexpr char kLockedOut[] = "Too many failed logins from this address; try again later.\n";
constexpr char kPostOnly[] = "This address changes the settings and takes POST requests only.\n";
constexpr char kMethodNotServed[] = "This method is not served here: use GET, HEAD or POST.\n";
constexpr char kCrossSite[] = "Refused: the request was sent by a page of another site.\n";

// The routes that change settings or files.
bool ChangesState(const std::string& document) {
  static const char* const kRoutes[] = {
      "/AddWatch.cgi",      "/ModDelWatch.cgi",      "/EnvSaveSetting.cgi", "/SaveSetting.cgi",
      "/ServiceReload.cgi", "/PostWatchSetting.cgi", "/TestMail.cgi"};
  for (const char* route : kRoutes) {
    if (document == route) return true;
  }
  return false;
}

void Refuse(THTTPResponseInfo& response, int32_t code, const std::string& text) {
  response.SetStatusCode(code);
  response.ContentType = "text/plain";
  response.BodyText = text;
}

// Text made of outside data (file contents, file names): shown as text,
// never run as a page.
void AsInertText(THTTPResponseInfo& response) {
  response.ContentType = "text/plain";
  response.ContentSecurityPolicy = "sandbox";
}

// Equality of two secrets through their SHA-256 digests, compared in a time
// that depends on neither value.
bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char da[EVP_MAX_MD_SIZE], db[EVP_MAX_MD_SIZE];
  unsigned int la = 0, lb = 0;
  bool hashed = EVP_Digest(a.data(), a.size(), da, &la, EVP_sha256(), nullptr) == 1 &&
                EVP_Digest(b.data(), b.size(), db, &lb, EVP_sha256(), nullptr) == 1 && la == lb;
  return hashed && CRYPTO_memcmp(da, db, la) == 0;
}

// A text as one word of a shell command line.
std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string CannotOpen(const std::string& path, int error) {
  return "Cannot open file \"" + path + "\". " + std::strerror(error);
}

enum class TestMailAnswer { kAccepted, kFailed, kPending };

// One row of the test mail's result table, values EUC-JP.
std::string ResultRow(const char* label, const std::string& value) {
  return "<tr><th>" + HtmlEscape(EucToSjis(label)) + "</th><td>" + HtmlEscape(EucToSjis(value)) +
         "</td></tr>\n";
}

// The panel that tells how the test mail ended.
std::string TestMailResultHtml(TestMailAnswer answer, const std::string& recipients,
                               const MailOutcome& outcome) {
  const char* id = "testmail-pending";
  const char* panel = "panel";
  const char* text = ja::kTestMailPending;
  if (answer == TestMailAnswer::kAccepted) {
    id = "testmail-ok";
    panel = "panel ok";
    text = ja::kTestMailAccepted;
  } else if (answer == TestMailAnswer::kFailed) {
    id = "testmail-error";
    panel = "panel error";
    text = ja::kTestMailFailed;
  }
  std::string out = std::string("<section class=\"") + panel + "\" id=\"" + id + "\">\n<p>" +
                    HtmlEscape(EucToSjis(text)) + "</p>\n<table class=\"form\">\n";
  out += ResultRow(ja::kTestMailRecipient, recipients);
  if (!outcome.FailedStep.empty()) out += ResultRow(ja::kTestMailStep, outcome.FailedStep);
  if (!outcome.Reply.empty()) out += ResultRow(ja::kTestMailReply, outcome.Reply);
  for (const auto& [address, reply] : outcome.Refused) {
    out += ResultRow(ja::kTestMailRefused, address + ": " + reply);
  }
  return out + "</table>\n</section>\n";
}

std::string Peer(const TTCPConnection& connection) {
  return connection.PeerIP() + ":" + std::to_string(connection.PeerPort());
}

}  // namespace

AdminDispatcher::AdminDispatcher(ServiceState& state, TCustomHTTPServer& server, AdminHooks hooks)
    : state_(state), server_(server), hooks_(std::move(hooks)), pages_(state) {}

std::string AdminDispatcher::GetMimeType(const std::string& file_name) const {
  return server_.MimeTypes().LookupMimeType(file_name);
}

bool AdminDispatcher::WarnWhenLoginMissing() {
  bool missing;
  {
    MutexLock lock(state_.Lock);
    missing = state_.AdminUserId.empty() || state_.AdminPassword.empty();
  }
  if (missing) WarnLoginMissing();
  return missing;
}

void AdminDispatcher::WarnLoginMissing() {
  std::string line = std::string(kLoginMissingWarning) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
  state_.Log.LogEvent(kEventInformation, kLoginMissingWarning);
}

void AdminDispatcher::HTTPServerCommandOther(TTCPConnection& connection, const std::string& method,
                                             const std::string& target, const std::string&) {
  std::string request_line = "Command " + EscapeForLog(method) + " " + EscapeForLog(target, 1024) +
                             " received from " + Peer(connection);
  WriteStrangerLine(request_line, connection.PeerIP());
  THTTPResponseInfo response(&connection);
  Refuse(response, 501, kMethodNotServed);
  response.CustomHeaders.SetValue("Allow", "GET, HEAD, POST");
  response.SendBody();
}

void AdminDispatcher::HTTPServerCommandGet(TTCPConnection& connection, THTTPRequestInfo& request,
                                           THTTPResponseInfo& response) {
  // The request line is written before anything else of the request is
  // logged, and at the latest when the request ends; a file that is served
  // writes it together with its "Serving file" line, one write for both.
  std::string request_line = "Command " + EscapeForLog(request.Command) + " " +
                             EscapeForLog(request.Document, 1024) + " received from " +
                             Peer(connection);
  bool admitted = true;
  try {
    admitted = HandleRequest(connection, request, response, request_line);
  } catch (...) {
    try {
      WriteRequestLine(request_line);
    } catch (const EventLogError&) {
      // The request's own error is the one to report.
    }
    throw;
  }
  if (admitted) {
    WriteRequestLine(request_line);
  } else {
    WriteStrangerLine(request_line, connection.PeerIP());
  }
}

void AdminDispatcher::WriteRequestLine(std::string& request_line) {
  if (request_line.empty()) return;
  std::string line = std::move(request_line);
  request_line.clear();
  state_.Log.LogRequestLine(line);
}

void AdminDispatcher::WriteStrangerLine(std::string& request_line, const std::string& address) {
  // Anyone who reaches the port can send such requests without end: the
  // log keeps a few a minute of each address, and their number.
  AddressRateLimiter::Decision decision =
      stranger_lines_.Admit(address, AddressRateLimiter::Clock::now());
  if (decision.allow) {
    WriteRequestLine(request_line);
    return;
  }
  request_line.clear();
  if (decision.note) {
    state_.Log.LogRequestLine("Request lines from " + address +
                              " refused before a login are left out of the log beyond " +
                              std::to_string(kStrangerLines) +
                              " a minute; a line a minute counts them");
  }
}

void AdminDispatcher::NoteLeftOutLines() {
  for (const auto& [address, count] :
       stranger_lines_.TakeReports(AddressRateLimiter::Clock::now())) {
    state_.Log.LogRequestLine(LeftOutNote(address, count));
  }
}

bool AdminDispatcher::HandleRequest(TTCPConnection& connection, THTTPRequestInfo& request,
                                    THTTPResponseInfo& response, std::string& request_line) {
  if (!Admit(connection, request, response, request_line)) return false;
  try {
    DecodeRequestFields(request, server_.ParseParams);
  } catch (const ERequestLimit& e) {
    Refuse(response, 400, std::string(e.what()) + "\n");
    return true;
  }
  if (ServeDocument(connection, request, response, request_line)) return true;

  WriteRequestLine(request_line);
  // Routes that send a file or a listing read nothing of the service state
  // while they send; the others hold the service lock until their answer
  // is ready.
  const std::string& doc = request.Document;
  if (doc == "/ServiceReload.cgi") {
    Reload(connection, response);
  } else if (doc == "/GetTree.cgi") {
    ServeTreeListing(connection, response);
  } else if (doc == "/GetFileView.cgi") {
    if (request.Params.empty()) throw AdminError("List index out of bounds (0)");
    AsInertText(response);
    ServeFile(connection, response, request.Params.front());
  } else if (doc == "/Status.cgi" || doc == "/Status.json") {
    ServeStatus(doc, response);
  } else if (doc == "/TestMail.cgi") {
    SendTestMail(connection, request, response);
  } else {
    MutexLock lock(state_.Lock);
    RunRoute(request, response);
  }
  return true;
}

bool AdminDispatcher::Admit(const TTCPConnection& connection, const THTTPRequestInfo& request,
                            THTTPResponseInfo& response, std::string& request_line) {
  const std::string& address = connection.PeerIP();
  std::string user, password;
  LoginThrottle::Clock::duration locked;
  {
    MutexLock lock(state_.Lock);
    user = state_.AdminUserId;
    password = state_.AdminPassword;
    locked = throttle_.LockedFor(address, LoginThrottle::Clock::now());
  }
  if (user.empty() || password.empty()) {
    Refuse(response, 503, kLoginMissing);
    return false;
  }
  if (locked > LoginThrottle::Clock::duration::zero()) {
    Refuse(response, 429, kLockedOut);
    response.CustomHeaders.SetValue(
        "Retry-After", std::to_string(std::chrono::ceil<std::chrono::seconds>(locked).count()));
    return false;
  }
  if (ChangesState(request.Document)) {
    if (request.Command != "POST") {
      Refuse(response, 405, kPostOnly);
      response.CustomHeaders.SetValue("Allow", "POST");
      return false;
    }
    if (IsCrossOriginRequest(request.HeaderLines)) {
      Refuse(response, 403, kCrossSite);
      return false;
    }
  }
  if (Authenticated(address, request, user, password, request_line)) return true;
  response.ChallengeRealm = kRealm;
  return false;
}

bool AdminDispatcher::Authenticated(const std::string& address, const THTTPRequestInfo& request,
                                    const std::string& user, const std::string& password,
                                    std::string& request_line) {
  // Both are compared, so the time does not tell which one was wrong.
  bool user_ok = SameSecret(request.AuthUsername, user);
  bool password_ok = SameSecret(request.AuthUserPassword, password);
  bool accepted = user_ok && password_ok;
  if (accepted || !request.HasAuthorization) return accepted;  // no credentials: no attempt
  bool locked_now;
  {
    MutexLock lock(state_.Lock);
    locked_now = throttle_.Failed(address, LoginThrottle::Clock::now());
  }
  if (locked_now) {
    WriteRequestLine(request_line);
    state_.Log.LogEvent(kEventRemoteControlFailure,
                        std::to_string(LoginThrottle::kMaxFailures) + " failed logins from " +
                            address + " within 60 s: its requests are answered 429 for 60 s.");
  }
  return false;
}

bool AdminDispatcher::ServeDocument(TTCPConnection& connection, const THTTPRequestInfo& request,
                                    THTTPResponseInfo& response, std::string& request_line) {
  std::string local = ExpandPath(state_.DocumentRoot + request.Document);
  struct stat st;
  bool exists = ::stat(local.c_str(), &st) == 0;
  if (request.Document == "/" && exists && S_ISDIR(st.st_mode)) {
    local = ExpandPath(local + "/index.htm");
    exists = ::stat(local.c_str(), &st) == 0;
  }
  if (!exists) return false;

  // Only the root itself and what lies below it, never a sibling that
  // merely begins with the root's name; and no directory listings.
  const std::string root = ExpandPath(state_.DocumentRoot);
  bool inside = local == root || local.compare(0, root.size() + 1, root + "/") == 0;
  if (!inside || S_ISDIR(st.st_mode)) {
    response.SetStatusCode(403);
    response.BodyText = kAccessDenied;
    return true;
  }

  if (SameText(request.Command, "HEAD")) {
    UniqueFd fd(::open(local.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) throw AdminError(CannotOpen(local, errno));
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) throw AdminError(CannotOpen(local, errno));
    response.SetStatusCode(200);
    response.ContentType = GetMimeType(local);
    response.ContentLength = st.st_size;
    return true;
  }
  ServeFile(connection, response, local, &request_line);
  return true;
}

void AdminDispatcher::Reload(TTCPConnection& connection, THTTPResponseInfo& response) {
  std::string failure;
  bool login_missing;
  {
    MutexLock lock(state_.Lock);
    failure = hooks_.ReloadSettings ? hooks_.ReloadSettings() : std::string();
    login_missing = state_.AdminUserId.empty() || state_.AdminPassword.empty();
  }
  if (login_missing) WarnLoginMissing();
  if (failure.empty()) {
    ServeFile(connection, response, state_.DocumentRoot + "/ReloadResult.html");
    return;
  }
  // The service runs on with its previous settings; the page says why.
  TPageProducer page;
  page.SetHTMLFile(state_.DocumentRoot + "/ReloadError.html");
  page.OnHTMLTag = [&failure](TTag, const std::string& tag, const std::vector<std::string>&,
                              std::string& replace_text) {
    if (tag == "ReloadErrorReason") replace_text = HtmlEscape(EucToSjis(failure));
  };
  response.SetStatusCode(500);
  response.BodyText = page.ProducePage();
}

void AdminDispatcher::ServeTreeListing(TTCPConnection& connection, THTTPResponseInfo& response) {
  std::string listing;
  {
    MutexLock tree(tree_mutex_);
    RunTreeListingLocked();
    listing = state_.BasePath + tree_output_file_;
  }
  // Sent without the listing lock: a listing that runs meanwhile puts a
  // new file in place and leaves the one being sent alone.
  AsInertText(response);
  ServeFile(connection, response, listing);
}

void AdminDispatcher::RunRoute(const THTTPRequestInfo& request, THTTPResponseInfo& response) {
  const std::string& doc = request.Document;
  const RequestParams& params = request.Params;
  pages_.AssertLockHeld();  // pages_ works on state_, whose lock is held
  if (doc == "/WatchSetting.cgi") {
    ProducePage(response, "/WatchSetting.html", params);
  } else if (doc == "/AddWatch.cgi") {
    ProducePage(response,
                pages_.AddWatchEntry(params) ? "/WatchSetting.html" : "/AddWatchError.html",
                params);
  } else if (doc == "/ModDelWatchSetting.cgi") {
    ProducePage(response, "/ModDelWatchSetting.html", params);
  } else if (doc == "/ModDelWatch.cgi") {
    ProducePage(response,
                pages_.ChangeWatchEntry(params) ? "/WatchSetting.html" : "/ModDelWatchError.html",
                params);
  } else if (doc == "/EnvSetting.cgi") {
    ProducePage(response, "/EnvSetting.html", params);
  } else if (doc == "/EnvSaveSetting.cgi") {
    pages_.SaveEnvSettings(params);
    ProducePage(response, "/EnvSaveResult.html", params);
  } else if (doc == "/SaveSetting.cgi") {
    pages_.SaveSettings();
    ProducePage(response, "/SaveResult.html", params);
  } else if (doc == "/GetWatchSetting.cgi") {
    AsInertText(response);
    response.BodyText = pages_.BuildSettingsText();
  } else if (doc == "/PostWatchSetting.cgi") {
    pages_.ApplyPostedSettings(request.FormText);
    response.ContentLength = 0;
  } else {
    response.SetStatusCode(404);
    response.BodyText = "<html><head><title>Error</title></head><body><h1>" + response.StatusText +
                        "</h1></body></html>";
  }
}

void AdminDispatcher::ProducePage(THTTPResponseInfo& response, const std::string& page,
                                  const RequestParams& params) {
  // The handler answers the tags from this request's parameters (a copy, so
  // that nothing refers to the request once it is answered).
  PagWatch.OnHTMLTag = [this, params](TTag, const std::string& tag, const std::vector<std::string>&,
                                      std::string& replace_text) {
    pages_.AssertLockHeld();  // pages are produced under the service lock only
    replace_text = pages_.PagWatchHTMLTag(tag, params);
  };
  PagWatch.SetHTMLFile(state_.DocumentRoot + page);
  response.BodyText = PagWatch.ProducePage();
}

void AdminDispatcher::ServeStatus(const std::string& document, THTTPResponseInfo& response) {
  StatusSnapshot snapshot;
  {
    MutexLock lock(state_.Lock);
    snapshot = TakeStatusSnapshotLocked(state_);
  }
  snapshot.Now = std::time(nullptr);
  snapshot.MailQueueLength = hooks_.MailQueueLength ? hooks_.MailQueueLength() : 0;
  snapshot.LogWriteFailures = state_.Log.WriteFailures();
  MeasureStatusFiles(snapshot);
  if (document == "/Status.json") {
    response.ContentType = "application/json";
    response.BodyText = StatusJson(snapshot);
    return;
  }
  TPageProducer page;
  page.SetHTMLFile(state_.DocumentRoot + "/Status.html");
  page.OnHTMLTag = [&snapshot](TTag, const std::string& tag, const std::vector<std::string>&,
                               std::string& replace_text) {
    replace_text = StatusPageTag(snapshot, tag);
  };
  response.BodyText = page.ProducePage();
}

void AdminDispatcher::SendTestMail(TTCPConnection& connection, const THTTPRequestInfo& request,
                                   THTTPResponseInfo& response) {
  // The mail is the one a trigger would send, filled with test values.
  NotifyRequest mail;
  mail.FileName = mail.SearchString = mail.ResultLine = ja::kTestMailValue;
  mail.HitCount = 1;
  mail.MailAddress = Trim(SjisToEuc(ParamValue(request.Params, "TestMailAddress")));
  {
    MutexLock lock(state_.Lock);
    mail.MailSubject = state_.EnvTable.GetValue("MailSubject");
    mail.MailBody = state_.EnvTable.GetValue("MailBody");
    mail.HostAddress = state_.HostAddress;
    mail.Smtp = SmtpSettingsOf(state_.EnvTable);
  }

  struct Waiter {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    MailOutcome outcome;
  };
  auto waiter = std::make_shared<Waiter>();
  TestMailAnswer answer = TestMailAnswer::kFailed;
  MailOutcome outcome;
  if (mail.MailAddress.empty()) {
    outcome.Reply = ja::kTestMailNoRecipient;
  } else if (Trim(mail.Smtp.Server).empty()) {
    outcome.Reply = ja::kTestMailNoServer;
  } else {
    std::string description = std::string(ja::kTestMailLabel) + "\t" + Peer(connection);
    auto done = [waiter](const MailOutcome& result) {
      std::lock_guard<std::mutex> hold(waiter->mu);
      waiter->outcome = result;
      waiter->done = true;
      waiter->cv.notify_all();
    };
    if (!hooks_.QueueMail || !hooks_.QueueMail(mail, description, done)) {
      outcome.Reply = ja::kTestMailQueueFull;
    } else {
      std::unique_lock<std::mutex> wait(waiter->mu);
      if (waiter->cv.wait_for(wait, kTestMailWait, [&waiter] { return waiter->done; })) {
        outcome = waiter->outcome;
        answer = outcome.Accepted ? TestMailAnswer::kAccepted : TestMailAnswer::kFailed;
      } else {
        answer = TestMailAnswer::kPending;
      }
    }
  }
  TPageProducer page;
  page.SetHTMLFile(state_.DocumentRoot + "/TestMailResult.html");
  page.OnHTMLTag = [&](TTag, const std::string& tag, const std::vector<std::string>&,
                       std::string& replace_text) {
    if (tag == "TestMailResult")
      replace_text = TestMailResultHtml(answer, mail.MailAddress, outcome);
  };
  response.BodyText = page.ProducePage();
}

void AdminDispatcher::ServeFile(TTCPConnection& connection, THTTPResponseInfo& response,
                                const std::string& path, std::string* request_line) {
  std::string local = ExpandPath(path);
  int64_t size = 0;
  int64_t sent = server_.SendFile(connection, response, local, &size);
  std::string line = "Serving file " + EscapeForLog(local) + " (" + std::to_string(size) +
                     " bytes / " + std::to_string(sent) + " bytes sent) to " + Peer(connection);
  if (request_line && !request_line->empty()) {
    line = *request_line + "\n" + line;
    request_line->clear();
  }
  state_.Log.LogRequestLine(line);
}

void AdminDispatcher::RunTreeListing() {
  MutexLock tree(tree_mutex_);
  RunTreeListingLocked();
}

std::string AdminDispatcher::TreeOutputFile() {
  MutexLock tree(tree_mutex_);
  return tree_output_file_;
}

void AdminDispatcher::RunTreeListingLocked() {
  tree_output_file_ = kTreeOutputFile;
  const std::string output = state_.BasePath + tree_output_file_;
  const std::string partial = output + ".part";  // one listing at a time
  // The listing names every file of the host: readable by root only. A new
  // file is made each time (whatever lay at its name, a link too, is gone),
  // and the shell's redirection keeps the mode of the file it truncates.
  ::unlink(partial.c_str());
  UniqueFd created(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  std::string command =
      ShellQuote(state_.BasePath + "./bin/tree") + " -n / > " + ShellQuote(partial);
  int status = std::system(command.c_str());
  (void)status;  // the listing file is what counts
  ::rename(partial.c_str(), output.c_str());
}

}  // namespace sl
