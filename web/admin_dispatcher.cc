#include "web/admin_dispatcher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "service/text.h"
#include "web/admin_text.h"
#include "web/http_header_list.h"

namespace sl {

namespace {

constexpr char kRealm[] = "ScanLantern http Server";
constexpr char kTreeOutputFile[] = "./data/treeout.txt";
constexpr char kAccessDenied[] =
    "<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
    "You do not have sufficient priviligies to access this document.</body></html>";

// Equality of two secrets in a time that depends on their lengths only.
bool SecretEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string CannotOpen(const std::string& path, int error) {
  return "Cannot open file \"" + path + "\". " + std::strerror(error);
}

std::string Peer(const TTCPConnection& connection) {
  return connection.PeerIP() + ":" + std::to_string(connection.PeerPort());
}

}  // namespace

AdminDispatcher::AdminDispatcher(ServiceState& state, TCustomHTTPServer& server, AdminHooks hooks)
    : state_(state), server_(server), hooks_(std::move(hooks)), pages_(state, hooks_.ApplySmtpSettings) {
  PagWatch.OnHTMLTag = [this](TTag, const std::string& tag, const std::vector<std::string>&,
                              std::string& replace_text) { replace_text = pages_.PagWatchHTMLTag(tag); };
}

std::string AdminDispatcher::GetMimeType(const std::string& file_name) const {
  return server_.MimeTypes().LookupMimeType(file_name);
}

void AdminDispatcher::HTTPServerCommandGet(TTCPConnection& connection, THTTPRequestInfo& request,
                                           THTTPResponseInfo& response) {
  state_.Log.LogLine("Command " + EscapeForLog(request.Command) + " " + EscapeForLog(request.Document, 1024) + " received from " +
                     Peer(connection));
  if (!Authenticated(request)) {
    response.ChallengeRealm = kRealm;
    return;
  }
  if (ServeDocument(connection, request, response)) return;

  std::unique_lock<std::mutex> lock(state_.Lock);
  state_.RequestParams = request.Params;
  RunRoute(lock, connection, request, response);
}

bool AdminDispatcher::Authenticated(const THTTPRequestInfo& request) {
  std::string user, password;
  {
    std::lock_guard<std::mutex> lock(state_.Lock);
    user = state_.AdminUserId;
    password = state_.AdminPassword;
  }
  bool user_ok = SecretEquals(request.AuthUsername, user);
  bool password_ok = SecretEquals(request.AuthUserPassword, password);
  return user_ok && password_ok;
}

bool AdminDispatcher::ServeDocument(TTCPConnection& connection, const THTTPRequestInfo& request,
                                    THTTPResponseInfo& response) {
  std::string local = ExpandPath(state_.DocumentRoot + request.Document);
  if (request.Document == "/" && IsDirectory(local)) local = ExpandPath(local + "/index.htm");
  if (!PathExists(local)) return false;

  // Only the root itself and what lies below it, never a sibling that
  // merely begins with the root's name; and no directory listings.
  const std::string root = ExpandPath(state_.DocumentRoot);
  bool inside = local == root || local.compare(0, root.size() + 1, root + "/") == 0;
  if (!inside || IsDirectory(local)) {
    response.SetStatusCode(403);
    response.BodyText = kAccessDenied;
    return true;
  }

  if (SameText(request.Command, "HEAD")) {
    int fd = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw AdminError(CannotOpen(local, errno));
    struct stat st;
    int rc = ::fstat(fd, &st);
    int error = errno;
    ::close(fd);
    if (rc != 0) throw AdminError(CannotOpen(local, error));
    response.SetStatusCode(200);
    response.ContentType = GetMimeType(local);
    response.ContentLength = st.st_size;
    return true;
  }
  ServeFile(connection, response, local);
  return true;
}

void AdminDispatcher::RunRoute(std::unique_lock<std::mutex>& lock, TTCPConnection& connection,
                               const THTTPRequestInfo& request, THTTPResponseInfo& response) {
  const std::string& doc = request.Document;
  if (doc == "/ServiceReload.cgi") {
    if (hooks_.ReloadSettings) hooks_.ReloadSettings();
    lock.unlock();
    ServeFile(connection, response, state_.DocumentRoot + "/ReloadResult.html");
  } else if (doc == "/WatchSetting.cgi") {
    ProducePage(response, "/WatchSetting.html");
  } else if (doc == "/AddWatch.cgi") {
    ProducePage(response, pages_.AddWatchEntry() ? "/WatchSetting.html" : "/AddWatchError.html");
  } else if (doc == "/ModDelWatchSetting.cgi") {
    ProducePage(response, "/ModDelWatchSetting.html");
  } else if (doc == "/ModDelWatch.cgi") {
    ProducePage(response, pages_.ChangeWatchEntry() ? "/WatchSetting.html" : "/ModDelWatchError.html");
  } else if (doc == "/EnvSetting.cgi") {
    ProducePage(response, "/EnvSetting.html");
  } else if (doc == "/EnvSaveSetting.cgi") {
    pages_.SaveEnvSettings();
    ProducePage(response, "/EnvSaveResult.html");
  } else if (doc == "/SaveSetting.cgi") {
    pages_.SaveSettings();
    ProducePage(response, "/SaveResult.html");
  } else if (doc == "/GetTree.cgi") {
    lock.unlock();
    std::lock_guard<std::mutex> tree(tree_mutex_);
    RunTreeListingLocked();
    ServeFile(connection, response, state_.BasePath + tree_output_file_);
  } else if (doc == "/GetWatchSetting.cgi") {
    response.BodyText = pages_.BuildSettingsText();
  } else if (doc == "/GetFileView.cgi") {
    if (state_.RequestParams.empty()) throw AdminError("List index out of bounds (0)");
    std::string path = state_.RequestParams.front();
    lock.unlock();
    ServeFile(connection, response, path);
  } else if (doc == "/PostWatchSetting.cgi") {
    pages_.ApplyPostedSettings(request.FormText);
    response.ContentLength = 0;
  } else {
    response.SetStatusCode(404);
    response.BodyText =
        "<html><head><title>Error</title></head><body><h1>" + response.StatusText + "</h1></body></html>";
  }
}

void AdminDispatcher::ProducePage(THTTPResponseInfo& response, const std::string& page) {
  PagWatch.SetHTMLFile(state_.DocumentRoot + page);
  response.BodyText = PagWatch.ProducePage();
}

void AdminDispatcher::ServeFile(TTCPConnection& connection, THTTPResponseInfo& response,
                                const std::string& path) {
  std::string local = ExpandPath(path);
  struct stat st;
  int64_t size = ::stat(local.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
  int64_t sent = server_.SendFile(connection, response, local);
  state_.Log.LogLine("Serving file " + EscapeForLog(local) + " (" + std::to_string(size) + " bytes / " +
                     std::to_string(sent) + " bytes sent) to " + Peer(connection));
}

void AdminDispatcher::RunTreeListing() {
  std::lock_guard<std::mutex> tree(tree_mutex_);
  RunTreeListingLocked();
}

std::string AdminDispatcher::TreeOutputFile() {
  std::lock_guard<std::mutex> tree(tree_mutex_);
  return tree_output_file_;
}

void AdminDispatcher::RunTreeListingLocked() {
  tree_output_file_ = kTreeOutputFile;
  std::string command = state_.BasePath + "./bin/tree -n" + " / > " + state_.BasePath + tree_output_file_;
  int status = std::system(command.c_str());
  (void)status;  // the listing file is what counts
}

}  // namespace sl
