#include "web/admin_dispatcher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string_view>
#include <tuple>
#include <utility>

#include "core/jconvert.h"
#include "core/mutex.h"
#include "core/text.h"
#include "core/unique_fd.h"
#include "web/admin_text.h"
#include "web/admin_texts_ja.h"
#include "web/http_header_list.h"
#include "web/metrics_text.h"
#include "web/status_page.h"

namespace sl {

namespace {

constexpr char kAccessDenied[] =
    "<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
    "You do not have sufficient priviligies to access this document.</body></html>";
constexpr char kMethodNotServed[] = "This method is not served here: use GET, HEAD or POST.\n";
constexpr char kNoSuchEntry[] = "ModDel names no entry of the watch list.\n";

// Text made of outside data (file contents, file names): shown as text,
// never run as a page.
void AsInertText(THTTPResponseInfo& response) {
  response.ContentType = "text/plain";
  response.ContentSecurityPolicy = "sandbox";
}

std::string CannotOpen(const std::string& path, int error) {
  return "Cannot open file \"" + path + "\". " + std::strerror(error);
}

std::string Peer(const TTCPConnection& connection) {
  return connection.PeerIP() + ":" + std::to_string(connection.PeerPort());
}

// A settings problem ("file:row: column: value: reason", the form of
// `SettingsProblem::Format`) said in Japanese on the reload's error page;
// other failures are shown as they are.
std::string ExplainReloadFailure(const std::string& failure) {
  const std::string first = failure.substr(0, failure.find('\n'));
  // The file name may hold colons: the row is the first all-digit field.
  size_t row_at = first.find(':');
  while (row_at != std::string::npos &&
         !(row_at + 1 < first.size() && first[row_at + 1] >= '0' && first[row_at + 1] <= '9')) {
    row_at = first.find(':', row_at + 1);
  }
  if (row_at == std::string::npos) return failure;
  const size_t row_end = first.find(": ", row_at + 1);
  const size_t column_end = row_end == std::string::npos ? row_end : first.find(": ", row_end + 2);
  const size_t value_end =
      column_end == std::string::npos ? column_end : first.find(": ", column_end + 2);
  if (value_end == std::string::npos) return failure;
  const std::pair<std::string_view, std::string> parts[] = {
      {"%FILE%", first.substr(0, row_at)},
      {"%ROW%", first.substr(row_at + 1, row_end - row_at - 1)},
      {"%COLUMN%", first.substr(row_end + 2, column_end - row_end - 2)},
      {"%VALUE%", first.substr(column_end + 2, value_end - column_end - 2)},
      {"%REASON%", first.substr(value_end + 2)}};
  // One sweep over the text, so that a value is never read for a mark.
  const std::string_view text = ja::kReloadProblem;
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& [mark, value] : parts) {
      if (text.substr(i, mark.size()) == mark) {
        out += value;
        i += mark.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

}  // namespace

// Every route of the administration: path, POST only, service lock, handler.
const AdminDispatcher::Route AdminDispatcher::kRoutes[] = {
    {"/WatchSetting.cgi", false, true, &AdminDispatcher::WatchSettingPage},
    {"/AddWatch.cgi", true, true, &AdminDispatcher::AddWatch},
    {"/ModDelWatchSetting.cgi", false, true, &AdminDispatcher::ModDelWatchSettingPage},
    {"/ModDelWatch.cgi", true, true, &AdminDispatcher::ModDelWatch},
    {"/EnvSetting.cgi", false, true, &AdminDispatcher::EnvSettingPage},
    {"/EnvSaveSetting.cgi", true, true, &AdminDispatcher::EnvSaveSetting},
    {"/SaveSetting.cgi", true, true, &AdminDispatcher::SaveSetting},
    {"/GetWatchSetting.cgi", false, true, &AdminDispatcher::GetWatchSetting},
    {"/PostWatchSetting.cgi", true, true, &AdminDispatcher::PostWatchSetting},
    {"/ServiceReload.cgi", true, false, &AdminDispatcher::Reload},
    {"/GetTree.cgi", false, false, &AdminDispatcher::ServeTreeListing},
    {"/GetFileView.cgi", false, false, &AdminDispatcher::ServeFileView},
    {"/Status.cgi", false, false, &AdminDispatcher::ServeStatus},
    {"/Status.json", false, false, &AdminDispatcher::ServeStatus},
    {"/TestMail.cgi", true, false, &AdminDispatcher::SendTestMail},
    {"/metrics", false, false, &AdminDispatcher::ServeMetrics},
};

const AdminDispatcher::Route* AdminDispatcher::FindRoute(const std::string& document) {
  for (const Route& route : kRoutes) {
    if (document == route.path) return &route;
  }
  return nullptr;
}

AdminDispatcher::AdminDispatcher(ServiceState& state, DocumentSender& server, AdminHooks hooks)
    : state_(state),
      server_(server),
      hooks_(std::move(hooks)),
      admission_(state),
      pages_(state),
      test_mail_(state, hooks_.QueueMail),
      tree_listing_(state.BasePath) {}

void AdminDispatcher::HTTPServerCommandOther(TTCPConnection& connection, const std::string& method,
                                             const std::string& target, const std::string&) {
  std::string request_line = "Command " + EscapeForLog(method) + " " + EscapeForLog(target, 1024) +
                             " received from " + Peer(connection);
  admission_.WriteStrangerLine(request_line, connection.PeerIP());
  THTTPResponseInfo response(&connection);
  Refuse(response, 501, kMethodNotServed);
  CountStatus(501);
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
  if (request.Document == "/healthz") {
    ServeHealth(response, request_line);
    CountStatus(response.StatusCode());
    return;
  }
  bool admitted = true;
  try {
    admitted = HandleRequest(connection, request, response, request_line);
  } catch (...) {
    admission_.WriteRequestLine(request_line);  // never throws for the log
    CountStatus(500);                           // the engine answers 500
    throw;
  }
  // A challenge becomes 401 when the answer is sent.
  CountStatus(response.ChallengeRealm.empty() ? response.StatusCode() : 401);
  if (admitted) {
    admission_.WriteRequestLine(request_line);
  } else {
    admission_.WriteStrangerLine(request_line, connection.PeerIP());
  }
}

bool AdminDispatcher::HandleRequest(TTCPConnection& connection, THTTPRequestInfo& request,
                                    THTTPResponseInfo& response, std::string& request_line) {
  const Route* route = FindRoute(request.Document);
  if (!admission_.Admit(connection.PeerIP(), request, route && route->post_only, response,
                        request_line)) {
    ShowRefusalPage(request, response);
    return false;
  }
  try {
    DecodeRequestFields(request, server_.ParsesParams());
  } catch (const ERequestLimit& e) {
    Refuse(response, 400, std::string(e.what()) + "\n");
    ShowRefusalPage(request, response);
    return true;
  }
  if (ServeDocument(connection, request, response, request_line)) return true;

  admission_.WriteRequestLine(request_line);
  const Call call{connection, request, response};
  if (route) {
    RunRoute(*route, call);
  } else {
    NotFound(call);
  }
  return true;
}

void AdminDispatcher::RunRoute(const Route& route, const Call& call) {
  // Routes that send a file or a listing read nothing of the service state
  // while they send; the others hold the service lock until their answer
  // is ready.
  if (!route.service_lock) {
    (this->*route.handler)(call);
    return;
  }
  MutexLock lock(state_.Lock);
  (this->*route.handler)(call);
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
    response.ContentType = server_.MimeTypeOf(local);
    response.ContentLength = st.st_size;
    return true;
  }
  ServeFile(connection, response, local, &request_line);
  return true;
}

void AdminDispatcher::Reload(const Call& call) {
  std::string failure;
  bool login_missing;
  {
    MutexLock lock(state_.Lock);
    failure = hooks_.ReloadSettings ? hooks_.ReloadSettings() : std::string();
    login_missing = state_.AdminUserId.empty() || state_.AdminPassword.empty();
  }
  if (login_missing) admission_.WarnLoginMissing();
  if (failure.empty()) {
    ServeFile(call.connection, call.response, state_.DocumentRoot + "/ReloadResult.html");
    return;
  }
  // The service runs on with its previous settings; the page says why.
  TPageProducer page;
  page.SetHTMLFile(state_.DocumentRoot + "/ReloadError.html");
  page.OnHTMLTag = [&failure](TTag, const std::string& tag, const std::vector<std::string>&,
                              std::string& replace_text) {
    if (tag == "ReloadErrorReason")
      replace_text = HtmlEscape(EucToSjis(ExplainReloadFailure(failure)));
  };
  call.response.SetStatusCode(500);
  call.response.BodyText = page.ProducePage();
}

void AdminDispatcher::ShowRefusalPage(const THTTPRequestInfo& request,
                                      THTTPResponseInfo& response) const {
  if (LowerCase(request.Accept).find("text/html") == std::string::npos) return;
  const char* reason = nullptr;
  switch (response.StatusCode()) {
    case 400: reason = ja::kRefused400; break;
    case 403: reason = ja::kRefused403; break;
    case 404: reason = ja::kRefused404; break;
    case 405: reason = ja::kRefused405; break;
    case 429: reason = ja::kRefused429; break;
    case 503: reason = ja::kRefused503; break;
    default: return;
  }
  TPageProducer page;
  page.SetHTMLFile(state_.DocumentRoot + "/Refused.html");
  page.OnHTMLTag = [reason](TTag, const std::string& tag, const std::vector<std::string>&,
                            std::string& replace_text) {
    if (tag == "RefusedReason") replace_text = HtmlEscape(EucToSjis(reason));
  };
  try {
    response.BodyText = page.ProducePage();
    response.ContentType = "text/html";
  } catch (const std::exception&) {
    // Without its page the refusal keeps its short text.
  }
}

void AdminDispatcher::ServeTreeListing(const Call& call) {
  std::string listing = tree_listing_.Run();
  // Sent without the listing lock: a listing that runs meanwhile puts a
  // new file in place and leaves the one being sent alone.
  AsInertText(call.response);
  ServeFile(call.connection, call.response, listing);
}

void AdminDispatcher::ServeFileView(const Call& call) {
  if (call.request.Params.empty()) throw AdminError("List index out of bounds (0)");
  AsInertText(call.response);
  ServeFile(call.connection, call.response, call.request.Params.front());
}

void AdminDispatcher::ServeMetrics(const Call& call) {
  MetricsSnapshot snapshot;
  {
    MutexLock lock(state_.Lock);
    snapshot = TakeMetricsSnapshotLocked(state_);
  }
  if (hooks_.MailQueue) snapshot.Mail = hooks_.MailQueue();
  if (hooks_.DiscoveryCounts) {
    std::tie(snapshot.DiscoveryReplies, snapshot.DiscoveryDrops) = hooks_.DiscoveryCounts();
  }
  snapshot.LogWriteFailures = state_.Log.WriteFailures();
  for (size_t i = 0; i < requests_by_class_.size(); ++i) {
    snapshot.HttpRequests[i] = requests_by_class_[i].load(std::memory_order_relaxed);
  }
  snapshot.Version = hooks_.Version;
  call.response.ContentType = "text/plain; version=0.0.4; charset=utf-8";
  call.response.BodyText = MetricsText(snapshot);
}

void AdminDispatcher::ServeHealth(THTTPResponseInfo& response, std::string& request_line) {
  // A probe asks every few seconds: its line is not worth more than one a
  // minute in the log.
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t last = health_logged_at_.load();
  if (now - last >= 60 && health_logged_at_.compare_exchange_strong(last, now)) {
    admission_.WriteRequestLine(request_line);
  }
  std::string reason = hooks_.Health ? hooks_.Health() : std::string();
  response.ContentType = "text/plain";
  response.SetStatusCode(reason.empty() ? 200 : 503);
  response.BodyText = (reason.empty() ? std::string("ok") : reason) + "\n";
}

void AdminDispatcher::CountStatus(int32_t status) {
  if (status >= 100 && status < 600) {
    requests_by_class_[static_cast<size_t>(status / 100 - 1)].fetch_add(1,
                                                                        std::memory_order_relaxed);
  }
}

void AdminDispatcher::ServeStatus(const Call& call) {
  StatusSnapshot snapshot;
  {
    MutexLock lock(state_.Lock);
    snapshot = TakeStatusSnapshotLocked(state_);
  }
  snapshot.Now = std::time(nullptr);
  if (hooks_.MailQueue) snapshot.Mail = hooks_.MailQueue();
  snapshot.LogWriteFailures = state_.Log.WriteFailures();
  MeasureStatusFiles(snapshot);
  if (call.request.Document == "/Status.json") {
    call.response.ContentType = "application/json";
    call.response.BodyText = StatusJson(snapshot);
    return;
  }
  TPageProducer page;
  page.SetHTMLFile(state_.DocumentRoot + "/Status.html");
  page.OnHTMLTag = [&snapshot](TTag, const std::string& tag, const std::vector<std::string>&,
                               std::string& replace_text) {
    replace_text = StatusPageTag(snapshot, tag);
  };
  call.response.BodyText = page.ProducePage();
}

void AdminDispatcher::SendTestMail(const Call& call) {
  const std::string recipients(Trim(SjisToEuc(ParamValue(call.request.Params, "TestMailAddress"))));
  const std::string result = test_mail_.Send(recipients, Peer(call.connection));
  TPageProducer page;
  page.SetHTMLFile(state_.DocumentRoot + "/TestMailResult.html");
  page.OnHTMLTag = [&result](TTag, const std::string& tag, const std::vector<std::string>&,
                             std::string& replace_text) {
    if (tag == "TestMailResult") replace_text = result;
  };
  call.response.BodyText = page.ProducePage();
}

void AdminDispatcher::WatchSettingPage(const Call& call) {
  ProducePage(call, "/WatchSetting.html");
}

void AdminDispatcher::AddWatch(const Call& call) {
  pages_.AssertLockHeld();  // pages_ works on state_, whose lock is held
  const WatchForm form = WatchForm::Read(call.request.Params);
  FormPage page;
  if (pages_.AddWatchEntry(form, page.reasons)) {
    page.notice = std::string(ja::kNoticeAdded) + ja::kNoticeNotSaved;
    ProducePage(call, "/WatchSetting.html", &page);
    return;
  }
  page.field = [&form](std::string_view name) { return form.Field(name); };
  ProducePage(call, "/AddWatchError.html", &page);
}

void AdminDispatcher::ModDelWatchSettingPage(const Call& call) {
  pages_.AssertLockHeld();
  // The form shows a stored entry; a request that names none is the
  // client's mistake, not the server's.
  const int32_t row = pages_.PressedRow(call.request.Params);
  if (row == 0) {
    Refuse(call.response, 400, kNoSuchEntry);
    return;
  }
  const WatchForm form = pages_.StoredForm(row);
  FormPage page;
  page.field = [&form](std::string_view name) { return form.Field(name); };
  ProducePage(call, "/ModDelWatchSetting.html", &page);
}

void AdminDispatcher::ModDelWatch(const Call& call) {
  pages_.AssertLockHeld();
  const WatchForm form = WatchForm::Read(call.request.Params);
  FormPage page;
  if (pages_.ChangeWatchEntry(form, page.reasons)) {
    if (form.Action == "Mod") page.notice = ja::kNoticeModified;
    if (form.Action == "Del") page.notice = ja::kNoticeDeleted;
    if (!page.notice.empty()) page.notice += ja::kNoticeNotSaved;
    ProducePage(call, "/WatchSetting.html", &page);
    return;
  }
  page.field = [&form](std::string_view name) { return form.Field(name); };
  ProducePage(call, "/ModDelWatchError.html", &page);
}

void AdminDispatcher::EnvSettingPage(const Call& call) { ProducePage(call, "/EnvSetting.html"); }

void AdminDispatcher::EnvSaveSetting(const Call& call) {
  pages_.AssertLockHeld();
  const EnvForm form = EnvForm::Read(call.request.Params);
  FormPage page;
  if (pages_.SaveEnvSettings(form, page.reasons)) {
    ProducePage(call, "/EnvSaveResult.html");
    return;
  }
  page.field = [&form](std::string_view name) { return form.Field(name); };
  ProducePage(call, "/EnvSetting.html", &page);
}

void AdminDispatcher::SaveSetting(const Call& call) {
  pages_.AssertLockHeld();
  pages_.SaveSettings();
  ProducePage(call, "/SaveResult.html");
}

void AdminDispatcher::GetWatchSetting(const Call& call) {
  pages_.AssertLockHeld();
  AsInertText(call.response);
  call.response.BodyText = pages_.BuildSettingsText();
}

void AdminDispatcher::PostWatchSetting(const Call& call) {
  pages_.AssertLockHeld();
  pages_.ApplyPostedSettings(call.request.FormText);
  call.response.ContentLength = 0;
}

void AdminDispatcher::NotFound(const Call& call) {
  call.response.SetStatusCode(404);
  call.response.BodyText = "<html><head><title>Error</title></head><body><h1>" +
                           call.response.StatusText + "</h1></body></html>";
  ShowRefusalPage(call.request, call.response);
}

void AdminDispatcher::ProducePage(const Call& call, const std::string& page, const FormPage* form) {
  // The handler answers the tags from this request's parameters (a copy, so
  // that nothing refers to the request once it is answered) and the form.
  PagWatch.OnHTMLTag = [this, params = call.request.Params, form](TTag, const std::string& tag,
                                                                  const std::vector<std::string>&,
                                                                  std::string& replace_text) {
    pages_.AssertLockHeld();  // pages are produced under the service lock only
    replace_text = pages_.PagWatchHTMLTag(tag, params, form);
  };
  PagWatch.SetHTMLFile(state_.DocumentRoot + page);
  call.response.BodyText = PagWatch.ProducePage();
  PagWatch.OnHTMLTag = nullptr;  // `form` dies with the handler's call
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

}  // namespace sl
