// TCustomHTTPServer and THTTPServer: the embedded web server.
//
// A TTCPServer whose connection threads run the HTTP request loop: read a
// request, turn it into a THTTPRequestInfo and an empty THTTPResponseInfo,
// call the request handler on the connection thread and write the reply the
// handler filled in. The handlers run on many connection threads at once
// and the engine takes no lock for them. The server also owns the MIME type
// table and the session list (used only with SessionState). Params and
// Cookies of the request are left undecoded: the handler decodes them with
// DecodeRequestFields(request, ParseParams) once it has accepted the request.
//
// Every request gets an answer: a malformed request line or header section
// (a line over 16384 bytes, a header section over kMaxHeaderBytes, bad body
// framing) is answered 400, a body over kMaxBodyBytes 413 without being
// read, a request that breaks its time limits 408; the connection is closed
// after each of these. Bodies follow RFC 9112 (Content-Length, chunked, or
// none; an HTTP/1.0 POST without a length runs to the client's close).
// The connection caps and time limits are those of web/http_limits.h.
#ifndef SL_WEB_HTTP_SERVER_H_
#define SL_WEB_HTTP_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "web/document_sender.h"
#include "web/http_limits.h"
#include "web/http_request.h"
#include "web/http_response.h"
#include "web/http_session.h"
#include "web/mime_table.h"
#include "web/tcp_server.h"

namespace sl {

inline constexpr char kErrSessionActive[] =
    "Cannot change session state when the server is active.";

class TCustomHTTPServer : public TTCPServer, public DocumentSender {
 public:
  using TCommandEvent = std::function<void(TTCPConnection&, THTTPRequestInfo&, THTTPResponseInfo&)>;
  using TCommandOtherEvent =
      std::function<void(TTCPConnection&, const std::string& method, const std::string& target,
                         const std::string& version)>;
  using TCreatePostStreamEvent =
      std::function<void(TTCPConnection&, std::unique_ptr<std::ostream>&)>;
  using TCreateSessionEvent = std::function<void(TTCPConnection&, std::shared_ptr<THTTPSession>&)>;
  using TInvalidSessionEvent =
      std::function<void(TTCPConnection&, THTTPRequestInfo&, THTTPResponseInfo&,
                         bool& continue_processing, const std::string& invalid_session_id)>;
  using TSessionEvent = std::function<void(THTTPSession&)>;

  // DefaultPort starts at 80. The MIME table reads the system's files.
  TCustomHTTPServer();
  // For tests: the MIME table reads `mime_files` instead.
  explicit TCustomHTTPServer(const std::vector<std::string>& mime_files);
  ~TCustomHTTPServer() override;

  // Starts or stops listening (and the session cleaner with SessionState).
  void SetActive(bool active);

  bool KeepAlive = false;
  bool ParseParams = true;
  // Copied into every reply's ServerSoftware when not blank.
  std::string ServerSoftware;
  // May only change while inactive (else EHTTPServerError(kErrSessionActive)).
  void SetSessionState(bool on);
  bool SessionState() const { return session_state_; }
  int32_t SessionTimeOut = 0;  // ms a session may stay idle; 0: no limit
  bool AutoStartSession = false;

  TCommandOtherEvent OnCommandOther;
  TCreateSessionEvent OnCreateSession;
  TInvalidSessionEvent OnInvalidSession;
  TSessionEvent OnSessionStart;
  TSessionEvent OnSessionEnd;

  const TMimeTable& MimeTypes() const { return mime_types_; }
  THTTPDefaultSessionList& SessionList() { return sessions_; }

  // Sends a file as the reply: ContentType from the MIME table when empty,
  // ContentLength the file's size, the header, then the file (no body for
  // HEAD). The file is opened first, without blocking, so a file that
  // cannot be opened throws before anything is written: EHTTPServerError
  // "File "<name>" not found", or "Cannot open file "<name>". <reason>"
  // (also for anything but a regular file: a FIFO, a device). Returns the
  // bytes of the file that were sent.
  // `file_size`, when given, receives the size of the file that was opened.
  int64_t SendFile(TTCPConnection& connection, THTTPResponseInfo& response,
                   const std::string& file_name, int64_t* file_size = nullptr) override;
  std::string MimeTypeOf(const std::string& file_name) const override {
    return mime_types_.LookupMimeType(file_name);
  }
  bool ParsesParams() const override { return ParseParams; }

 protected:
  // The request handler and the body stream hook; THTTPServer publishes
  // them.
  TCommandEvent OnCommandGet;
  TCreatePostStreamEvent OnCreatePostStream;

 private:
  void RequestLoop(TTCPConnection& connection);
  // Serves one request whose time started at `since`; false when the
  // connection is to be closed.
  bool ServeRequest(TTCPConnection& connection, TTCPConnection::Clock::time_point since);
  // ServeRequest without the answers to broken requests; head is set as
  // soon as the method is known.
  bool ReadAndServe(TTCPConnection& connection, TTCPConnection::Clock::time_point since,
                    bool& head);
  // The header lines, at most kMaxHeaderBytes, and the fields taken from them.
  void ReadHeaders(TTCPConnection& connection, THTTPRequestInfo& request);
  // The body as the headers frame it (into the post stream when the owner
  // gives one, else into FormText and ParamText), at a least rate.
  void ReadBody(TTCPConnection& connection, THTTPRequestInfo& request, const std::string& version);
  // Runs the handler (an exception becomes 500 with its message) and sends
  // what it answered; false when the connection is to close.
  bool Answer(TTCPConnection& connection, THTTPRequestInfo& request, bool head);
  // Answers with a status page (no body for HEAD) and closes.
  void AnswerAndClose(TTCPConnection& connection, int32_t code, bool head);
  // The 503 reply to a connection beyond the caps.
  std::string RefusalText() const;
  bool StartSession(TTCPConnection& connection, THTTPRequestInfo& request,
                    THTTPResponseInfo& response);
  void StartCleaner();
  void CleanerLoop();
  void StopCleaner();

  TMimeTable mime_types_;
  THTTPDefaultSessionList sessions_;
  bool session_state_ = false;

  Mutex cleaner_mutex_;
  CondVar cleaner_wake_;
  bool cleaner_stop_ GUARDED_BY(cleaner_mutex_) = false;
  std::thread cleaner_;
};

class THTTPServer : public TCustomHTTPServer {
 public:
  using TCustomHTTPServer::OnCommandGet;
  using TCustomHTTPServer::OnCreatePostStream;
  using TCustomHTTPServer::TCustomHTTPServer;
};

}  // namespace sl

#endif
