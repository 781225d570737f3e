// AdminDispatcher: the request handler of the web administration.
//
// HTTPServerCommandGet handles one request of the HTTP server, on the
// connection thread that received it: it logs the request line, admits the
// request (Admission: login, lock-out, POST and origin for the routes that
// change something), decodes its parameters, sends files that exist below
// DocumentRoot, and otherwise runs the route of its path. The routes are
// one table, kRoutes: each names its path, whether it changes something
// (POST only, same origin; "/TestMail.cgi" sends mail and counts as such)
// and whether it runs under the service lock, and its handler, which fills
// a page template through the page producer PagWatch (tags answered by
// AdminPages), returns generated text or a file, or changes the settings.
// Nothing of the request is decoded before it is admitted; past kMaxParams
// parameters or kMaxCookies cookies it is 400. Text made of outside data
// (file view, tree listing, console text) goes out as text/plain in a
// sandbox.
//
// Locking: a route marked so in the table holds ServiceState::Lock until
// its page or text is ready, so requests never interleave with each other
// or with a watch pass. The request's parameters are passed to the page
// logic and the tag handler; nothing of a request is kept in the service
// state. Files are sent without the lock ("/ServiceReload.cgi" takes it for
// the reload only, the status pages for their snapshot, the test mail for
// the mail settings). The listing of "/GetTree.cgi" runs under TreeListing's
// lock and is sent without either lock, so a slow client holds up nobody.
#ifndef SL_WEB_ADMIN_DISPATCHER_H_
#define SL_WEB_ADMIN_DISPATCHER_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "core/thread_annotations.h"
#include "mail/mail_queue.h"
#include "settings/service_state.h"
#include "web/admin_pages.h"
#include "web/admission.h"
#include "web/document_sender.h"
#include "web/http_request.h"
#include "web/http_response.h"
#include "web/page_producer.h"
#include "web/tcp_connection.h"
#include "web/test_mail.h"
#include "web/tree_listing.h"

namespace sl {

// What the service module does for the administration.
struct AdminHooks {
  // "/ServiceReload.cgi": reads both settings files again, rebuilds the
  // watch table and refreshes the login; mails take their settings from
  // the environment table when they are queued.
  // Called with ServiceState::Lock HELD (the hook must not take it; the
  // hook tells the analysis so with state.Lock.AssertHeld()).
  // Returns empty on success, else the reason of the failure, which is
  // answered with the page "ReloadError.html"; an exception it throws is
  // answered with status 500 and its text.
  std::function<std::string()> ReloadSettings;
  // Queues a mail (the test mail of "/TestMail.cgi") in the notification
  // queue; `done` is told how it ended. False when the queue is full or
  // stopped. Called without the service lock.
  TestMail::QueueFunction QueueMail;
  // The notification queue's state, for the status page. Called without
  // the service lock.
  std::function<MailQueueState()> MailQueue;
  // Why the service is not healthy ("stalled", "mail-queue-full"), or
  // empty when it is: "/healthz". Called without the service lock.
  std::function<std::string()> Health;
  // Discovery questions answered and dropped since the start, for
  // "/metrics". Called without the service lock.
  std::function<std::pair<uint64_t, uint64_t>()> DiscoveryCounts;
  std::string Version;  // the package version, for "/metrics"
};

class AdminDispatcher {
 public:
  // `server` sends files and knows the MIME types; the caller binds
  // HTTPServerCommandGet as its OnCommandGet. Both objects must outlive the
  // dispatcher, and the server must be stopped before the dispatcher dies.
  AdminDispatcher(ServiceState& state, DocumentSender& server, AdminHooks hooks);
  AdminDispatcher(const AdminDispatcher&) = delete;
  AdminDispatcher& operator=(const AdminDispatcher&) = delete;

  void HTTPServerCommandGet(TTCPConnection& connection, THTTPRequestInfo& request,
                            THTTPResponseInfo& response) EXCLUDES(state_.Lock);
  // Any other method (PUT, DELETE, OPTIONS, ...): logged like every request
  // and answered 501 with the methods served, so no client is left without
  // a reply. The caller binds it as the server's OnCommandOther.
  void HTTPServerCommandOther(TTCPConnection& connection, const std::string& method,
                              const std::string& target, const std::string& version);

  // Writes a warning to the event log and to standard output when the
  // login is empty, which closes the administration; true then.
  bool WarnWhenLoginMissing() EXCLUDES(state_.Lock) { return admission_.WarnWhenLoginMissing(); }
  // Notes in the log how many request lines of refused requests were left
  // out; called about once a second.
  void NoteLeftOutLines() { admission_.NoteLeftOutLines(); }

  AdminPages& Pages() { return pages_; }

 private:
  // What a route's handler works on.
  struct Call {
    TTCPConnection& connection;
    const THTTPRequestInfo& request;
    THTTPResponseInfo& response;
  };
  // One route: its path, whether it changes something (POST only, sent by
  // the administration's own pages), whether its handler runs with
  // ServiceState::Lock held, and the handler.
  struct Route {
    const char* path;
    bool post_only;
    bool service_lock;
    void (AdminDispatcher::*handler)(const Call& call);
  };
  static const Route kRoutes[];
  // The route of `document`, or null.
  static const Route* FindRoute(const std::string& document);

  // `request_line` is the request's log line while it is not yet written;
  // whatever logs a line of the request writes it first. Returns false when
  // the request was refused before its login was accepted.
  bool HandleRequest(TTCPConnection& connection, THTTPRequestInfo& request,
                     THTTPResponseInfo& response, std::string& request_line) EXCLUDES(state_.Lock);
  // Steps for a document that exists below the root; false when there is
  // no such file system entry and the route table decides.
  bool ServeDocument(TTCPConnection& connection, const THTTPRequestInfo& request,
                     THTTPResponseInfo& response, std::string& request_line);
  // A refusal of Admission (403, 405, 429, 503) as a Japanese page of the
  // site when the client is a browser (it accepts text/html); other
  // clients keep the short text.
  void ShowRefusalPage(const THTTPRequestInfo& request, THTTPResponseInfo& response) const;
  // Runs the route's handler, under the service lock when it asks for it.
  void RunRoute(const Route& route, const Call& call) EXCLUDES(state_.Lock);

  // The handlers without the service lock.
  // "/ServiceReload.cgi": the reload hook under the service lock, then the
  // result page or the error page without it.
  void Reload(const Call& call) EXCLUDES(state_.Lock);
  // "/GetTree.cgi": a new listing, sent without its lock.
  void ServeTreeListing(const Call& call);
  // "/GetFileView.cgi": the file named by the first parameter, as text.
  void ServeFileView(const Call& call);
  // "/Status.cgi" and "/Status.json": a snapshot taken under the service
  // lock, which is released before the answer is made.
  void ServeStatus(const Call& call) EXCLUDES(state_.Lock);
  // "/metrics": the counters in the Prometheus text format.
  void ServeMetrics(const Call& call) EXCLUDES(state_.Lock);
  // "/healthz", without a login: 200 "ok" or 503 and a one-word reason.
  // Its request line is logged at most once a minute.
  void ServeHealth(THTTPResponseInfo& response, std::string& request_line);
  // Counts a request by the class of its status, for "/metrics".
  void CountStatus(int32_t status);
  // "/TestMail.cgi": the result page of one test mail.
  void SendTestMail(const Call& call) EXCLUDES(state_.Lock);

  // The handlers under the service lock: the pages and actions of
  // AdminPages and the console's settings text.
  void WatchSettingPage(const Call& call) REQUIRES(state_.Lock);
  void AddWatch(const Call& call) REQUIRES(state_.Lock);
  void ModDelWatchSettingPage(const Call& call) REQUIRES(state_.Lock);
  void ModDelWatch(const Call& call) REQUIRES(state_.Lock);
  void EnvSettingPage(const Call& call) REQUIRES(state_.Lock);
  void EnvSaveSetting(const Call& call) REQUIRES(state_.Lock);
  void SaveSetting(const Call& call) REQUIRES(state_.Lock);
  void GetWatchSetting(const Call& call) REQUIRES(state_.Lock);
  void PostWatchSetting(const Call& call) REQUIRES(state_.Lock);

  // A path without a route.
  void NotFound(const Call& call);
  // The page of DocumentRoot + `page` filled by PagWatch, with the form and
  // notice of `form` when given.
  void ProducePage(const Call& call, const std::string& page, const FormPage* form = nullptr)
      REQUIRES(state_.Lock);
  // Sends the file at path (expanded) and logs it, after the request line
  // when that is given and not yet written, in the same write.
  void ServeFile(TTCPConnection& connection, THTTPResponseInfo& response, const std::string& path,
                 std::string* request_line = nullptr);

  ServiceState& state_;
  DocumentSender& server_;
  AdminHooks hooks_;
  Admission admission_;
  AdminPages pages_;
  TestMail test_mail_;
  TreeListing tree_listing_;
  TPageProducer PagWatch GUARDED_BY(state_.Lock);
  std::array<std::atomic<uint64_t>, 5> requests_by_class_{};  // 1xx to 5xx
  // When a "/healthz" request line was last logged (steady seconds).
  std::atomic<int64_t> health_logged_at_{INT64_MIN / 2};
};

}  // namespace sl

#endif
