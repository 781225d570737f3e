#include "web/http_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/unique_fd.h"
namespace sl {

namespace {

// A file up to this size is read whole and sent in one write with the
// header; larger files follow the header in pieces.
constexpr int64_t kSmallFile = 65536;
constexpr size_t kFilePiece = 32768;

// True when the comma-separated Connection header value names `option`.
bool HasConnectionOption(std::string_view value, std::string_view option) {
  while (!value.empty()) {
    size_t comma = value.find(',');
    if (SameText(Trim(value.substr(0, comma)), option)) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

// Reads up to `count` bytes, retrying short reads; returns the bytes read.
size_t ReadFully(int fd, char* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

std::string CannotOpen(const std::string& file_name, int error_code) {
  return "Cannot open file \"" + file_name + "\". " + std::strerror(error_code);
}

bool IsGetLike(const std::string& method) {
  return method == "GET" || method == "POST" || method == "HEAD";
}

}  // namespace

TCustomHTTPServer::TCustomHTTPServer() : TCustomHTTPServer(TMimeTable::SystemFiles()) {}

TCustomHTTPServer::TCustomHTTPServer(const std::vector<std::string>& mime_files)
    : mime_types_(mime_files) {
  DefaultPort = 80;
  MaxConnections = kMaxConnections;
  MaxConnectionsPerAddress = kMaxConnectionsPerAddress;
  WriteTimeout = kWriteTimeoutMs;
  LingerTime = kLingerMs;
  DeferAccept = kDeferAcceptS;
  RefusalReply = [this] { return RefusalText(); };
  OnExecute = [this](TTCPConnection& connection) { RequestLoop(connection); };
  sessions_.OnSessionEnd = [this](THTTPSession& session) {
    if (OnSessionEnd) OnSessionEnd(session);
  };
}

TCustomHTTPServer::~TCustomHTTPServer() {
  try {
    SetActive(false);
  } catch (const std::exception&) {
    // Connections outlived the stop's limits; nothing more is waited for.
  }
  StopCleaner();
  sessions_.OnSessionEnd = nullptr;
}

void TCustomHTTPServer::SetActive(bool active) {
  if (active == Active()) return;
  if (active) {
    TTCPServer::SetActive(true);
    if (session_state_) StartCleaner();
    return;
  }
  try {
    TTCPServer::SetActive(false);
  } catch (...) {
    StopCleaner();
    sessions_.Clear();
    throw;
  }
  StopCleaner();
  sessions_.Clear();
}

void TCustomHTTPServer::SetSessionState(bool on) {
  if (Active()) throw EHTTPServerError(kErrSessionActive);
  session_state_ = on;
}

void TCustomHTTPServer::StartCleaner() {
  StopCleaner();
  {
    MutexLock lock(cleaner_mutex_);
    cleaner_stop_ = false;
  }
  cleaner_ = std::thread([this] { CleanerLoop(); });
}

void TCustomHTTPServer::StopCleaner() {
  if (!cleaner_.joinable()) return;
  {
    MutexLock lock(cleaner_mutex_);
    cleaner_stop_ = true;
  }
  cleaner_wake_.SignalAll();
  cleaner_.join();
}

void TCustomHTTPServer::CleanerLoop() {
  const int32_t timeout = SessionTimeOut;
  const auto interval = std::chrono::milliseconds(timeout > 0 && timeout < 1000 ? timeout : 1000);
  for (;;) {
    {
      MutexLock lock(cleaner_mutex_);
      if (cleaner_wake_.WaitFor(cleaner_mutex_, interval, [this] {
            cleaner_mutex_.AssertHeld();
            return cleaner_stop_;
          })) {
        return;
      }
    }
    sessions_.PurgeStaleSessions(timeout);
  }
}

// ---------------------------------------------------------------------------
// Request loop

void TCustomHTTPServer::RequestLoop(TTCPConnection& connection) {
  try {
    TTCPConnection::Clock::time_point since = TTCPConnection::Clock::now();
    while (ServeRequest(connection, since)) since = TTCPConnection::Clock::now();
  } catch (const EClosedGracefully&) {
    // The peer went away between requests or in the middle of one.
  } catch (const ENotConnected&) {
    // Closed on this side already.
  } catch (const ESocketError& e) {
    connection.Disconnect();
    if (e.ErrorCode() != ECONNRESET) throw;
  } catch (...) {
    connection.Disconnect();
    throw;
  }
  connection.Disconnect();
}

bool TCustomHTTPServer::ServeRequest(TTCPConnection& connection,
                                     TTCPConnection::Clock::time_point since) {
  bool head = false;
  try {
    return ReadAndServe(connection, since, head);
  } catch (const EBadRequest&) {
    AnswerAndClose(connection, 400, head);
  } catch (const ELineTooLong&) {
    AnswerAndClose(connection, 400, head);
  } catch (const EBodyTooLarge&) {
    AnswerAndClose(connection, 413, head);
  } catch (const EReadTimeout&) {
    AnswerAndClose(connection, 408, head);
  }
  return false;
}

bool TCustomHTTPServer::ReadAndServe(TTCPConnection& connection,
                                     TTCPConnection::Clock::time_point since, bool& head) {
  const bool close_when_done = !KeepAlive;
  // The request line and the headers must come within their time, however
  // slowly the bytes drip in.
  connection.SetIdle(true);
  connection.SetReadDeadline(since + std::chrono::milliseconds(kHeaderTimeMs));
  std::string line = connection.ReadLn();
  connection.SetIdle(false);
  TRequestLineParts parts = ParseWellFormedRequestLine(line);
  head = parts.Method == "HEAD";
  if (!IsGetLike(parts.Method) || !OnCommandGet) {
    connection.ClearReadLimits();
    if (OnCommandOther) OnCommandOther(connection, parts.Method, parts.Target, parts.Version);
    return !close_when_done;
  }

  THTTPRequestInfo request;
  request.RequestLine = std::move(line);
  request.RemoteAddress = connection.PeerIP();
  request.Command = parts.Method;
  ReadHeaders(connection, request);
  ReadBody(connection, request, parts.Version);
  CompleteRequest(request, parts.Target, std::move(parts.Version));
  return Answer(connection, request, head);
}

void TCustomHTTPServer::ReadHeaders(TTCPConnection& connection, THTTPRequestInfo& request) {
  size_t header_bytes = 0;
  for (;;) {
    std::string header = connection.ReadLn();
    if (header.empty()) break;
    header_bytes += header.size() + 2;
    if (header_bytes > kMaxHeaderBytes) throw EBadRequest("Header section too large.");
    AddReceivedHeaderLine(request.HeaderLines, header);
  }
  FillHeaderFields(request);
}

void TCustomHTTPServer::ReadBody(TTCPConnection& connection, THTTPRequestInfo& request,
                                 const std::string& version) {
  const TBodyFraming framing = BodyFramingOf(request, version, kMaxBodyBytes);
  // The body may take a while, but must keep coming at a least rate.
  connection.ClearReadLimits();
  connection.SetMinimumReadRate(kBodyGraceMs, kMinBodyRate);
  std::unique_ptr<std::ostream> stream;
  if (OnCreatePostStream) OnCreatePostStream(connection, stream);
  if (framing != TBodyFraming::kNone && version == "HTTP/1.1" &&
      SameText(request.HeaderLines.Value("Expect"), "100-continue")) {
    connection.Write("HTTP/1.1 100 Continue\r\n\r\n");
  }
  switch (framing) {
    case TBodyFraming::kNone: break;
    case TBodyFraming::kLength:
      if (stream)
        connection.ReadIntoStream(*stream, request.ContentLength);
      else
        connection.ReadBytes(request.FormText, static_cast<size_t>(request.ContentLength));
      break;
    case TBodyFraming::kChunked:
      ReadChunkedBody(connection, request.FormText, static_cast<size_t>(kMaxBodyBytes),
                      kMaxHeaderBytes);
      if (stream) {
        stream->write(request.FormText.data(),
                      static_cast<std::streamsize>(request.FormText.size()));
        request.FormText.clear();
      }
      break;
    case TBodyFraming::kUntilClose:
      try {
        if (stream)
          connection.ReadIntoStream(*stream, -1, true, kMaxBodyBytes);
        else
          connection.ReadUntilClose(request.FormText, static_cast<size_t>(kMaxBodyBytes));
      } catch (const ELimitExceeded&) {
        throw EBodyTooLarge();
      }
      break;
  }
  connection.ClearReadLimits();
  // A client that asks for the close sends no further request, so once
  // its request is read whole the close need not wait for its end.
  connection.PeerSendsNoMore =
      HasConnectionOption(request.Connection, "close") && connection.InputBufferSize() == 0;
  if (stream) {
    request.PostStream = std::move(stream);
  } else {
    request.ParamText = request.FormText;
  }
}

bool TCustomHTTPServer::Answer(TTCPConnection& connection, THTTPRequestInfo& request, bool head) {
  THTTPResponseInfo response(&connection, head);
  response.SetCloseAfterResponse(!KeepAlive);
  bool proceed = true;
  if (session_state_) proceed = StartSession(connection, request, response);
  if (!Trim(ServerSoftware).empty()) response.ServerSoftware = ServerSoftware;
  if (proceed) {
    std::string failure;
    bool failed = false;
    try {
      OnCommandGet(connection, request, response);
    } catch (const std::exception& e) {
      failed = true;
      failure = e.what();
    } catch (...) {
      failed = true;
      failure = "Unknown error.";
    }
    if (failed) {
      response.SetStatusCode(500);
      response.BodyText = std::move(failure);
      // The message may quote the request: never let a browser read markup.
      response.ContentType = "text/plain";
      // A length the handler set belongs to the answer it did not finish.
      if (!response.HeaderSent()) response.ContentLength = -1;
    }
  }
  // A challenge gets its body when the header is built.
  const bool has_body = !response.BodyText.empty() || response.BodyStream() != nullptr ||
                        (!response.HeaderSent() && !response.ChallengeRealm.empty());
  if (response.CloseAfterResponse()) connection.MarkAnswered();
  if (has_body) {
    response.SendBody();
  } else if (!response.HeaderSent()) {
    response.SendHeader();
  }
  return !response.CloseAfterResponse();
}

bool TCustomHTTPServer::StartSession(TTCPConnection& connection, THTTPRequestInfo& request,
                                     THTTPResponseInfo& response) {
  std::shared_ptr<THTTPSession> session;
  TServerCookies cookies;  // the request's own are left to the handler
  ParseCookies(request.HeaderLines, cookies);
  for (const TCookie& cookie : cookies.Items()) {
    if (cookie.Name != kSessionCookieName) continue;
    session = sessions_.GetSession(cookie.Value, request.RemoteAddress);
    if (session) break;
    bool continue_processing = true;
    if (OnInvalidSession)
      OnInvalidSession(connection, request, response, continue_processing, cookie.Value);
    if (!continue_processing) return false;
  }
  if (!session && AutoStartSession) {
    if (OnCreateSession) OnCreateSession(connection, session);
    if (session)
      sessions_.Add(session);
    else
      session = sessions_.CreateSession(request.RemoteAddress);
    if (OnSessionStart) OnSessionStart(*session);
    response.Cookies.Add(kSessionCookieName, session->SessionID()).Path = "/";
  }
  request.Session = session;
  response.Session = session;
  return true;
}

void TCustomHTTPServer::AnswerAndClose(TTCPConnection& connection, int32_t code, bool head) {
  try {
    connection.CancelWriteBuffer();
    THTTPResponseInfo response(&connection, head);
    response.SetStatusCode(code);
    response.BodyText = StatusPageOf(code);
    if (!Trim(ServerSoftware).empty()) response.ServerSoftware = ServerSoftware;
    connection.MarkAnswered();
    response.SendBody();
  } catch (const std::exception&) {
    // The peer is gone or does not read; the close below is all there is.
  }
  // A body may still be coming: the close takes it for a moment, so that
  // the peer reads the answer instead of a reset.
  connection.Disconnect();
}

std::string TCustomHTTPServer::RefusalText() const {
  // Written before the request is read, so it cannot know a HEAD: no body.
  THTTPResponseInfo response(nullptr);
  response.SetStatusCode(503);
  response.ContentLength = 0;
  if (!Trim(ServerSoftware).empty()) response.ServerSoftware = ServerSoftware;
  return response.BuildHeader();
}

// ---------------------------------------------------------------------------
// Files

int64_t TCustomHTTPServer::SendFile(TTCPConnection& connection, THTTPResponseInfo& response,
                                    const std::string& file_name, int64_t* file_size) {
  // Without blocking: opening a FIFO would wait for a writer, and a device
  // may never end. Only regular files are sent.
  UniqueFd file(::open(file_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) {
    int error_code = errno;
    if (error_code == ENOENT || error_code == ENOTDIR) {
      throw EHTTPServerError("File \"" + file_name + "\" not found");
    }
    throw EHTTPServerError(CannotOpen(file_name, error_code));
  }
  struct stat st;
  if (::fstat(file.get(), &st) != 0) throw EHTTPServerError(CannotOpen(file_name, errno));
  if (S_ISDIR(st.st_mode)) throw EHTTPServerError(CannotOpen(file_name, EISDIR));
  if (!S_ISREG(st.st_mode)) {
    throw EHTTPServerError("Cannot open file \"" + file_name + "\". Not a regular file");
  }
  if (response.ContentType.empty()) response.ContentType = mime_types_.LookupMimeType(file_name);

  const int64_t size = st.st_size;
  if (file_size) *file_size = size;
  if (response.HeadRequest()) {
    response.ContentLength = size;
    connection.Write(response.BuildHeader());
    return 0;
  }
  if (size <= kSmallFile) {
    // Read first, so that the length sent is the length read.
    char data[kSmallFile];
    size_t got = ReadFully(file.get(), data, static_cast<size_t>(size));
    response.ContentLength = static_cast<int64_t>(got);
    std::string out = response.BuildHeader();
    out.append(data, got);
    if (response.CloseAfterResponse()) connection.MarkAnswered();
    connection.Write(out);
    return static_cast<int64_t>(got);
  }

  response.ContentLength = size;
  std::string out = response.BuildHeader();
  const size_t header_size = out.size();
  out.resize(header_size + kFilePiece);
  size_t got = ReadFully(file.get(), out.data() + header_size, kFilePiece);
  out.resize(header_size + got);
  connection.Write(out);
  int64_t sent = static_cast<int64_t>(got);
  std::string piece(kFilePiece, '\0');
  while (sent < size) {
    size_t want = static_cast<size_t>(std::min<int64_t>(size - sent, kFilePiece));
    size_t n = ReadFully(file.get(), piece.data(), want);
    if (n == 0) throw ETCPError("No data to read.");  // the file shrank
    connection.Write(std::string_view(piece.data(), n));
    sent += static_cast<int64_t>(n);
  }
  return sent;
}

}  // namespace sl
