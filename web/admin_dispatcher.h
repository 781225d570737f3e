// AdminDispatcher: the request handler of the web administration.
//
// HTTPServerCommandGet handles one request of the HTTP server, on the
// connection thread that received it: it logs the request line, admits the
// request (below), decodes its parameters, sends files that exist below
// DocumentRoot, and otherwise runs one of the ".cgi" routes, which fill a
// page template through the page producer PagWatch (tags answered by
// AdminPages), return generated text or a file, or change the settings.
//
// Admission, in this order, each refusal a short text/plain reply: 503
// while the login (AdminUserId or AdminPassword) is empty; 429 while the
// client's address is locked out after failed logins (LoginThrottle); for
// the routes that change something, 405 unless the method is POST and 403
// for a request that another site's page made a browser send; 401 unless
// the Basic credentials match. "/TestMail.cgi" sends mail and counts as a
// route that changes something. Nothing of the request is decoded before it
// is admitted; past kMaxParams parameters or kMaxCookies cookies it is 400.
// Text made of outside data (file view, tree listing, console text) goes
// out as text/plain in a sandbox.
//
// Locking: the credentials are read under ServiceState::Lock, and a route
// that reads or changes the service state holds the lock until its page or
// text is ready, so requests never interleave with each other or with a
// watch pass. The request's parameters are passed to the page logic and the
// tag handler; nothing of a request is kept in the service state. Files are
// sent without the lock ("/ServiceReload.cgi" takes it for the reload
// only). The directory listing of "/GetTree.cgi" runs without the service
// lock, under a lock of its own, since listing a whole file system takes
// long; it is sent without either lock, so a slow client holds up nobody.
#ifndef SL_WEB_ADMIN_DISPATCHER_H_
#define SL_WEB_ADMIN_DISPATCHER_H_

#include <chrono>
#include <functional>
#include <string>

#include "core/address_rate_limiter.h"
#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "mail/mail_queue.h"
#include "settings/service_state.h"
#include "web/admin_pages.h"
#include "web/http_server.h"
#include "web/login_throttle.h"
#include "web/page_producer.h"

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
  std::function<bool(NotifyRequest request, std::string description, MailQueue::DoneFunction done)>
      QueueMail;
  // Mails queued or being sent, for the status page. Called without the
  // service lock.
  std::function<size_t()> MailQueueLength;
};

class AdminDispatcher {
 public:
  // How long "/TestMail.cgi" waits for its mail's outcome before it answers
  // that the mail is still on its way.
  static constexpr std::chrono::seconds kTestMailWait{30};

  // `server` provides SendFile and the MIME type table; the caller binds
  // HTTPServerCommandGet as its OnCommandGet. Both objects must outlive the
  // dispatcher, and the server must be stopped before the dispatcher dies.
  AdminDispatcher(ServiceState& state, TCustomHTTPServer& server, AdminHooks hooks);
  AdminDispatcher(const AdminDispatcher&) = delete;
  AdminDispatcher& operator=(const AdminDispatcher&) = delete;

  void HTTPServerCommandGet(TTCPConnection& connection, THTTPRequestInfo& request,
                            THTTPResponseInfo& response) EXCLUDES(state_.Lock);
  // Any other method (PUT, DELETE, OPTIONS, ...): logged like every request
  // and answered 501 with the methods served, so no client is left without
  // a reply. The caller binds it as the server's OnCommandOther.
  void HTTPServerCommandOther(TTCPConnection& connection, const std::string& method,
                              const std::string& target, const std::string& version);

  // Writes the listing of the whole directory tree to BasePath +
  // TreeOutputFile() through the installed "bin/tree" program and waits
  // for it.
  void RunTreeListing() EXCLUDES(tree_mutex_);
  // "./data/treeout.txt" once a listing has run, empty before.
  std::string TreeOutputFile() EXCLUDES(tree_mutex_);

  // The content type of a file name's extension.
  std::string GetMimeType(const std::string& file_name) const;

  // Writes a warning to the event log and to standard output when the
  // login is empty, which closes the administration; true then.
  bool WarnWhenLoginMissing() EXCLUDES(state_.Lock);

  AdminPages& Pages() { return pages_; }

  // Request lines logged per minute and client address for requests that
  // are refused before their login is accepted.
  static constexpr int kStrangerLines = 30;
  // Notes in the log how many such lines were left out, for the addresses
  // whose last note is a minute old; called about once a second.
  void NoteLeftOutLines();

 private:
  // `request_line` is the request's log line while it is not yet written;
  // whatever logs a line of the request writes it first (WriteRequestLine).
  // Returns false when the request was refused before its login was
  // accepted.
  bool HandleRequest(TTCPConnection& connection, THTTPRequestInfo& request,
                     THTTPResponseInfo& response, std::string& request_line) EXCLUDES(state_.Lock);
  void WriteRequestLine(std::string& request_line);
  // The line of a request refused before its login was accepted: at most
  // kStrangerLines a minute from one address, the rest counted.
  void WriteStrangerLine(std::string& request_line, const std::string& address);
  // The checks before anything of the request is decoded; false with the
  // refusal in `response`.
  bool Admit(const TTCPConnection& connection, const THTTPRequestInfo& request,
             THTTPResponseInfo& response, std::string& request_line) EXCLUDES(state_.Lock);
  // The credentials; counts failures per address and logs a lock-out.
  bool Authenticated(const std::string& address, const THTTPRequestInfo& request,
                     const std::string& user, const std::string& password,
                     std::string& request_line) EXCLUDES(state_.Lock);
  // Steps for a document that exists below the root; false when there is
  // no such file system entry and the route table decides.
  bool ServeDocument(TTCPConnection& connection, const THTTPRequestInfo& request,
                     THTTPResponseInfo& response, std::string& request_line);
  // "/ServiceReload.cgi": the reload hook under the service lock, then the
  // result page or the error page without it.
  void Reload(TTCPConnection& connection, THTTPResponseInfo& response) EXCLUDES(state_.Lock);
  // "/GetTree.cgi": a new listing under the listing lock, sent without it.
  void ServeTreeListing(TTCPConnection& connection, THTTPResponseInfo& response)
      EXCLUDES(tree_mutex_);
  // "/Status.cgi" and "/Status.json": a snapshot taken under the service
  // lock, which is released before the answer is made.
  void ServeStatus(const std::string& document, THTTPResponseInfo& response) EXCLUDES(state_.Lock);
  // "/TestMail.cgi": queues one mail with the current settings and waits,
  // without the service lock, at most kTestMailWait for its outcome.
  void SendTestMail(TTCPConnection& connection, const THTTPRequestInfo& request,
                    THTTPResponseInfo& response) EXCLUDES(state_.Lock);
  // Runs the route of request.Document that answers from the service state.
  void RunRoute(const THTTPRequestInfo& request, THTTPResponseInfo& response) REQUIRES(state_.Lock);
  void ProducePage(THTTPResponseInfo& response, const std::string& page,
                   const RequestParams& params) REQUIRES(state_.Lock);
  // Sends the file at path (expanded) and logs it, after the request line
  // when that is given and not yet written, in the same write.
  void ServeFile(TTCPConnection& connection, THTTPResponseInfo& response, const std::string& path,
                 std::string* request_line = nullptr);
  void RunTreeListingLocked() REQUIRES(tree_mutex_);
  void WarnLoginMissing();

  ServiceState& state_;
  TCustomHTTPServer& server_;
  AdminHooks hooks_;
  AdminPages pages_;
  TPageProducer PagWatch GUARDED_BY(state_.Lock);
  LoginThrottle throttle_ GUARDED_BY(state_.Lock);
  AddressRateLimiter stranger_lines_{kStrangerLines, std::chrono::minutes(1)};

  Mutex tree_mutex_;  // one listing at a time; not held while it is sent
  std::string tree_output_file_ GUARDED_BY(tree_mutex_);
};

}  // namespace sl

#endif
