#include "web/http_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace sl {

namespace {

// A file up to this size is read whole and sent in one write with the
// header; larger files follow the header in pieces.
constexpr int64_t kSmallFile = 65536;
constexpr size_t kFilePiece = 32768;

class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

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

bool IsGetLike(const std::string& method) { return method == "GET" || method == "POST" || method == "HEAD"; }

}  // namespace

TCustomHTTPServer::TCustomHTTPServer() : TCustomHTTPServer(TMimeTable::SystemFiles()) {}

TCustomHTTPServer::TCustomHTTPServer(const std::vector<std::string>& mime_files) : mime_types_(mime_files) {
  DefaultPort = 80;
  OnExecute = [this](TTCPConnection& connection) { RequestLoop(connection); };
  sessions_.OnSessionEnd = [this](THTTPSession& session) {
    if (OnSessionEnd) OnSessionEnd(session);
  };
}

TCustomHTTPServer::~TCustomHTTPServer() {
  try {
    SetActive(false);
  } catch (const std::exception&) {
    // Threads outlived TerminateWaitTime; they are waited for below.
  }
  // The connection threads use this object's members: none may outlive it.
  while (ConnectionCount() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
    std::lock_guard<std::mutex> lock(cleaner_mutex_);
    cleaner_stop_ = false;
  }
  cleaner_ = std::thread([this] { CleanerLoop(); });
}

void TCustomHTTPServer::StopCleaner() {
  if (!cleaner_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(cleaner_mutex_);
    cleaner_stop_ = true;
  }
  cleaner_wake_.notify_all();
  cleaner_.join();
}

void TCustomHTTPServer::CleanerLoop() {
  const int32_t timeout = SessionTimeOut;
  const auto interval = std::chrono::milliseconds(timeout > 0 && timeout < 1000 ? timeout : 1000);
  std::unique_lock<std::mutex> lock(cleaner_mutex_);
  while (!cleaner_wake_.wait_for(lock, interval, [this] { return cleaner_stop_; })) {
    lock.unlock();
    sessions_.PurgeStaleSessions(timeout);
    lock.lock();
  }
}

// ---------------------------------------------------------------------------
// Request loop

void TCustomHTTPServer::RequestLoop(TTCPConnection& connection) {
  try {
    while (ServeRequest(connection)) {
    }
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

bool TCustomHTTPServer::ServeRequest(TTCPConnection& connection) {
  const bool close_when_done = !KeepAlive;
  std::string line = connection.ReadLn();
  TRequestLineParts parts = ParseRequestLine(line);
  if (!IsGetLike(parts.Method) || !OnCommandGet) {
    if (OnCommandOther) OnCommandOther(connection, parts.Method, parts.Target, parts.Version);
    return !close_when_done;
  }

  THTTPRequestInfo request;
  request.RequestLine = std::move(line);
  request.RemoteAddress = connection.PeerIP();
  request.Command = parts.Method;
  size_t header_bytes = 0;
  for (;;) {
    std::string header = connection.ReadLn();
    if (header.empty()) break;
    header_bytes += header.size() + 2;
    if (header_bytes > kMaxHeaderBytes) throw EHTTPServerError("Header section too large.");
    AddReceivedHeaderLine(request.HeaderLines, header);
  }
  FillHeaderFields(request);
  if (request.ContentLengthTooLarge || request.ContentLength > kMaxBodyBytes) {
    AnswerTooLarge(connection);
    return false;
  }

  std::unique_ptr<std::ostream> stream;
  if (OnCreatePostStream) OnCreatePostStream(connection, stream);
  const bool read_to_close = request.Command == "POST" && !request.ContentLengthGiven;
  if ((request.ContentLength > 0 || read_to_close) && parts.Version == "HTTP/1.1" &&
      SameText(request.HeaderLines.Value("Expect"), "100-continue")) {
    connection.Write("HTTP/1.1 100 Continue\r\n\r\n");
  }
  if (request.ContentLength > 0) {
    if (stream) connection.ReadIntoStream(*stream, request.ContentLength);
    else connection.ReadBytes(request.FormText, static_cast<size_t>(request.ContentLength));
  } else if (read_to_close) {
    try {
      if (stream) connection.ReadIntoStream(*stream, -1, true, kMaxBodyBytes);
      else connection.ReadUntilClose(request.FormText, static_cast<size_t>(kMaxBodyBytes));
    } catch (const ELimitExceeded&) {
      AnswerTooLarge(connection);
      return false;
    }
  }
  if (stream) {
    request.PostStream = std::move(stream);
  } else {
    request.ParamText = request.FormText;
  }
  CompleteRequest(request, parts.Target, std::move(parts.Version));

  THTTPResponseInfo response(&connection, request.Command == "HEAD");
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
    if (OnInvalidSession) OnInvalidSession(connection, request, response, continue_processing, cookie.Value);
    if (!continue_processing) return false;
  }
  if (!session && AutoStartSession) {
    if (OnCreateSession) OnCreateSession(connection, session);
    if (session) sessions_.Add(session);
    else session = sessions_.CreateSession(request.RemoteAddress);
    if (OnSessionStart) OnSessionStart(*session);
    response.Cookies.Add(kSessionCookieName, session->SessionID()).Path = "/";
  }
  request.Session = session;
  response.Session = session;
  return true;
}

void TCustomHTTPServer::AnswerTooLarge(TTCPConnection& connection) {
  THTTPResponseInfo response(&connection);
  response.SetStatusCode(413);
  response.BodyText = "<HTML><BODY><B>413 " + response.StatusText + "</B></BODY></HTML>";
  if (!Trim(ServerSoftware).empty()) response.ServerSoftware = ServerSoftware;
  response.SendBody();
  // The body is still coming: end our side and take what the peer sends for
  // a short while, so that closing does not reset the connection before the
  // peer has read the reply.
  const int fd = connection.Socket().Handle();
  ::shutdown(fd, SHUT_WR);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  char scratch[16384];
  int64_t drained = 0;
  while (drained < 2 * kMaxBodyBytes) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p = {fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    drained += n;
  }
  connection.Disconnect();
}

// ---------------------------------------------------------------------------
// Files

int64_t TCustomHTTPServer::SendFile(TTCPConnection& connection, THTTPResponseInfo& response,
                                    const std::string& file_name) {
  // Without blocking: opening a FIFO would wait for a writer, and a device
  // may never end. Only regular files are sent.
  FileHandle file(::open(file_name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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
