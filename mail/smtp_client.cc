#include "mail/smtp_client.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "core/files.h"
#include "core/host_name.h"
#include "core/text.h"
#include "mail/smtp_reply.h"

namespace sl {

namespace {

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

std::string ConnectFailureText(int error) {
  return "500 " + AsyncSocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}

}  // namespace

TCustomSmtpClient::TCustomSmtpClient() : socket_(std::make_unique<TAsyncSocket>()) {
  socket_->OnSessionConnected = [this](TAsyncSocket::SessionId s, int e) {
    SocketSessionConnected(s, e);
  };
  socket_->OnDataAvailable = [this](TAsyncSocket::SessionId s, int e) {
    SocketDataAvailable(s, e);
  };
  socket_->OnDataSent = [this](TAsyncSocket::SessionId s, int e) { SocketDataSent(s, e); };
  socket_->OnSessionClosed = [this](TAsyncSocket::SessionId s, int e) {
    SocketSessionClosed(s, e);
  };
  socket_->OnTlsDone = [this](TAsyncSocket::SessionId s, int e) { SocketTlsDone(s, e); };
}

TCustomSmtpClient::~TCustomSmtpClient() { ShutdownSocket(); }

void TCustomSmtpClient::ShutdownSocket() {
  std::unique_ptr<TAsyncSocket> socket;
  {
    MutexLock lock(mu_);
    socket = std::move(socket_);
    session_ = 0;
  }
  // Joins the worker; its handlers see session_ == 0 and do nothing.
  socket.reset();
}

// Read-only state.

TSmtpState TCustomSmtpClient::State() const {
  MutexLock lock(mu_);
  return state_;
}
std::string TCustomSmtpClient::LastResponse() const {
  MutexLock lock(mu_);
  return last_response_;
}
std::string TCustomSmtpClient::ErrorMessage() const {
  MutexLock lock(mu_);
  return error_message_;
}
int TCustomSmtpClient::StatusCode() const {
  MutexLock lock(mu_);
  return status_code_;
}
int TCustomSmtpClient::RequestResult() const {
  MutexLock lock(mu_);
  return request_result_;
}
bool TCustomSmtpClient::Connected() const {
  MutexLock lock(mu_);
  return connected_;
}
TSmtpRequest TCustomSmtpClient::RequestType() const {
  MutexLock lock(mu_);
  return request_type_;
}
bool TCustomSmtpClient::EsmtpAccepted() const {
  MutexLock lock(mu_);
  return esmtp_;
}
std::vector<std::string> TCustomSmtpClient::AuthTypesSupported() const {
  MutexLock lock(mu_);
  return auth_types_;
}
std::vector<std::string> TCustomSmtpClient::AcceptedRecipients() const {
  MutexLock lock(mu_);
  return accepted_;
}
std::vector<std::pair<std::string, std::string>> TCustomSmtpClient::RefusedRecipients() const {
  MutexLock lock(mu_);
  return refused_;
}

// Public requests.

void TCustomSmtpClient::Connect() {
  MutexLock lock(mu_);
  if (connected_) throw SmtpException("SMTP component already connected");
  BeginRequest(smtpConnect);
  DoConnect();
}

void TCustomSmtpClient::Helo() {
  MutexLock lock(mu_);
  CheckConnected();
  BeginRequest(smtpHelo);
  DoHelo();
}

void TCustomSmtpClient::Ehlo() {
  MutexLock lock(mu_);
  CheckConnected();
  BeginRequest(smtpEhlo);
  DoEhlo();
}

void TCustomSmtpClient::Auth() {
  MutexLock lock(mu_);
  CheckConnected();
  BeginRequest(smtpAuth);
  DoAuth();
}

void TCustomSmtpClient::Vrfy() {
  MutexLock lock(mu_);
  CheckConnected();
  CheckRecipients();
  BeginRequest(smtpVrfy);
  DoVrfy();
}

void TCustomSmtpClient::MailFrom() {
  MutexLock lock(mu_);
  CheckConnected();
  BeginRequest(smtpMailFrom);
  DoMailFrom();
}

void TCustomSmtpClient::RcptTo() {
  MutexLock lock(mu_);
  CheckConnected();
  CheckRecipients();
  BeginRequest(smtpRcptTo);
  recipients_ = Recipients();
  rcpt_index_ = 0;
  accepted_.clear();
  refused_.clear();
  DoRcptTo();
}

void TCustomSmtpClient::StartTls() {
  MutexLock lock(mu_);
  CheckConnected();
  BeginRequest(smtpStartTls);
  DoStartTls();
}

void TCustomSmtpClient::Data() {
  MutexLock lock(mu_);
  CheckConnected();
  CheckBeforeData();
  BeginRequest(smtpData);
  DoData();
}

void TCustomSmtpClient::Quit() {
  MutexLock lock(mu_);
  BeginRequest(smtpQuit);
  DoQuit();
}

void TCustomSmtpClient::Rset() {
  MutexLock lock(mu_);
  CheckConnected();
  BeginRequest(smtpRset);
  DoRset();
}

void TCustomSmtpClient::Open() {
  MutexLock lock(mu_);
  if (connected_) throw SmtpException("SMTP component already connected");
  unsigned steps = kStepConnect | (AuthType == smtpAuthNone ? kStepHelo : kStepEhlo | kStepAuth);
  StartHighLevel(smtpOpen, steps);
}

void TCustomSmtpClient::Mail() {
  MutexLock lock(mu_);
  CheckConnected();
  CheckRecipients();
  CheckBeforeData();
  StartHighLevel(smtpMail, kStepMailFrom | kStepRcptTo | kStepData);
}

void TCustomSmtpClient::Abort() {
  MutexLock lock(mu_);
  AbortLocked();
}

bool TCustomSmtpClient::ReadyWithResult(int* result) const {
  MutexLock lock(mu_);
  *result = request_result_;
  return state_ == smtpReady;
}

bool TCustomSmtpClient::AbortUnlessReady(int result, const std::string& message) {
  MutexLock lock(mu_);
  if (state_ == smtpReady) return false;
  AbortLocked();
  request_result_ = result;
  error_message_ = message;
  return true;
}

void TCustomSmtpClient::AbortLocked() {
  CleanupData();
  sending_data_ = false;
  state_ = smtpAbort;
  if (!request_done_) {
    request_result_ = 426;
    error_message_ = "426 Operation aborted.";
  }
  CloseSocket();  // completes a pending request through SessionClosed
  if (!request_done_) RequestDone(426);
  high_level_ = false;
  state_ = smtpReady;
}

void TCustomSmtpClient::AddRecipients(const std::string& to, const std::string& cc,
                                      const std::string& bcc) {
  std::vector<std::string> parts = SplitAddressList(to + ";" + cc + ";" + bcc);
  for (std::string& part : parts) {
    if (!HasLineBreak(part)) RcptName.push_back(std::move(part));
  }
}

void TCustomSmtpClient::ProcessMessages() {
  TClassMsg msg;
  while (queue_.Peek(&msg)) {
    if (msg.Msg == WM_SMTP_REQUEST_DONE && OnRequestDone) {
      OnRequestDone(static_cast<TSmtpRequest>(msg.WParam), msg.LParam);
    }
  }
}

void TCustomSmtpClient::SetFailure(int result, const std::string& message) {
  MutexLock lock(mu_);
  request_result_ = result;
  error_message_ = message;
}

void TCustomSmtpClient::SetErrorMessage(const std::string& message) {
  MutexLock lock(mu_);
  error_message_ = message;
}

// Helpers.

void TCustomSmtpClient::CheckConnected() const {
  if (!connected_) throw SmtpException("SMTP component not connected");
}

std::vector<std::string> TCustomSmtpClient::Recipients() const {
  // A recipient holding a line break could smuggle a command; it is dropped.
  std::vector<std::string> list;
  for (const std::string& r : RcptName) {
    if (!HasLineBreak(r) && !Trim(r).empty()) list.push_back(r);
  }
  return list;
}

void TCustomSmtpClient::CheckRecipients() const {
  if (Recipients().empty()) throw SmtpException("RcptName list is empty");
}

std::string TCustomSmtpClient::HeloName() const {
  std::string name = NoLineBreaks(SignOn.empty() ? HostName() : SignOn);
  if (name.empty()) name = "localhost";
  for (char& c : name) {
    if (c == ' ' || c == '\t') c = '_';
  }
  return name;
}

void TCustomSmtpClient::BeginRequest(TSmtpRequest type) {
  request_type_ = type;
  high_level_ = false;
  error_message_.clear();
}

void TCustomSmtpClient::Display(const std::string& text) { Fire(OnDisplay, text); }

void TCustomSmtpClient::SendCommand(const std::string& command) {
  std::string line = NoLineBreaks(command);
  Fire(OnCommand, line);
  Display("> " + line);
  if (socket_ && socket_->State() == wsConnected) socket_->SendText(line + "\r\n");
}

void TCustomSmtpClient::StartCommand(TSmtpRequest request, const std::string& command,
                                     std::vector<int> ok_codes, Continuation next) {
  pending_ = request;
  request_done_ = false;
  request_result_ = 0;
  ok_codes_ = std::move(ok_codes);
  next_ = next;
  state_ = smtpWaitingResponse;
  SendCommand(command);
}

// The steps.

void TCustomSmtpClient::DoConnect() {
  pending_ = smtpConnect;
  request_done_ = false;
  request_result_ = 0;
  status_code_ = 0;
  last_response_.clear();
  error_message_.clear();
  rcv_buf_.clear();
  reply_lines_ = reply_bytes_ = 0;
  esmtp_ = false;
  state_ = smtpDnsLookup;
  int error = socket_->DnsLookup(Host);
  if (error != 0) {
    error_message_ = ConnectFailureText(error);
    status_code_ = request_result_ = 500;
    Fire(OnSessionConnected, error);
    Fire(OnSessionClosed, error);
    RequestDone(500);
    return;
  }
  try {
    socket_->SetAddr(socket_->DnsResult());
    socket_->SetPort(Port);
    socket_->SetProto("tcp");
    socket_->SetLocalAddr(LocalAddr);
    state_ = smtpConnecting;
    session_ = socket_->Connect();
  } catch (...) {
    state_ = smtpReady;
    request_done_ = true;
    throw;
  }
}

void TCustomSmtpClient::DoHelo() { StartCommand(smtpHelo, "HELO " + HeloName(), {250}, nullptr); }

void TCustomSmtpClient::DoEhlo() {
  auth_types_.clear();
  esmtp_ = false;
  StartCommand(smtpEhlo, "EHLO " + HeloName(), {250}, &TCustomSmtpClient::EhloDone);
}

void TCustomSmtpClient::EhloDone() {
  if (request_result_ == 0) esmtp_ = true;
  RequestDone(request_result_);
}

void TCustomSmtpClient::DoVrfy() {
  std::vector<std::string> list = Recipients();
  std::string argument = list.empty() ? std::string() : ExtractMailAddress(list.front());
  StartCommand(smtpVrfy, "VRFY " + argument, {250}, nullptr);
}

void TCustomSmtpClient::DoMailFrom() {
  StartCommand(smtpMailFrom, "MAIL FROM:<" + ExtractMailAddress(FromName) + ">", {250}, nullptr);
}

void TCustomSmtpClient::DoRcptTo() {
  if (recipients_.empty()) throw SmtpException("RcptName list is empty");
  StartCommand(smtpRcptTo, "RCPT TO:<" + ExtractMailAddress(recipients_[rcpt_index_]) + ">",
               {250, 251}, &TCustomSmtpClient::RcptReply);
}

void TCustomSmtpClient::RcptReply() {
  // A refused recipient does not stop the sequence; the mail goes on when
  // any recipient was accepted.
  const std::string& address = recipients_[rcpt_index_];
  if (request_result_ == 0) {
    accepted_.push_back(address);
  } else {
    refused_.emplace_back(address, last_response_);
  }
  if (++rcpt_index_ < recipients_.size()) {
    state_ = smtpInternalReady;
    DoRcptTo();
    return;
  }
  if (!accepted_.empty()) {
    error_message_.clear();
    RequestDone(0);
    return;
  }
  error_message_ = refused_.back().second;
  RequestDone(request_result_);
}

void TCustomSmtpClient::DoData() {
  StartCommand(smtpData, "DATA", {354}, &TCustomSmtpClient::DataAccepted);
}

void TCustomSmtpClient::DataAccepted() {
  if (request_result_ != 0) {
    RequestDone(request_result_);
    return;
  }
  try {
    PrepareData();
  } catch (const std::exception& e) {
    request_result_ = 500;
    if (error_message_.empty()) error_message_ = e.what();
    CloseSocket();
    return;
  }
  ok_codes_ = {250};
  next_ = nullptr;
  sending_data_ = true;
  SendNextDataLine();
}

void TCustomSmtpClient::DoQuit() {
  if (!connected_) {
    pending_ = smtpQuit;
    request_done_ = false;
    request_result_ = 0;
    RequestDone(0);
    return;
  }
  StartCommand(smtpQuit, "QUIT", {221}, nullptr);
}

void TCustomSmtpClient::DoRset() { StartCommand(smtpRset, "RSET", {250}, nullptr); }

void TCustomSmtpClient::DoStartTls() {
  StartCommand(smtpStartTls, "STARTTLS", {220}, &TCustomSmtpClient::StartTlsAccepted);
}

void TCustomSmtpClient::StartTlsAccepted() {
  if (request_result_ != 0) {
    RequestDone(request_result_);
    return;
  }
  // The request completes in SocketTlsDone.
  rcv_buf_.clear();
  reply_lines_ = reply_bytes_ = 0;
  socket_->StartTls(Host);
}

// AUTH.

void TCustomSmtpClient::DoAuth() {
  pending_ = smtpAuth;
  request_done_ = false;
  request_result_ = 0;
  if (!esmtp_) {
    error_message_ = "500 ESMTP not supported.";
    RequestDone(500);
    return;
  }
  if (AuthType == smtpAuthNone) {
    error_message_ = "500 No Authentication Type Selected.";
    RequestDone(500);
    return;
  }
  // The password never crosses a network in clear: over a plain
  // connection only a server on this host is told it.
  if (!socket_->Encrypted() && !socket_->PeerIsLoopback()) {
    error_message_ = kAuthNotEncrypted;
    RequestDone(500);
    return;
  }
  auth_auto_ = AuthType == smtpAuthAutoSelect;
  auth_current_ = auth_auto_ ? SelectAuthMechanism(auth_types_) : AuthType;
  StartAuthMechanism();
}

void TCustomSmtpClient::StartAuthMechanism() {
  switch (auth_current_) {
    case smtpAuthPlain:
      // The login name is both the authorization and the authentication
      // identity.
      StartCommand(smtpAuth, "AUTH PLAIN " + AuthPlainResponse(Username, Username, Password), {235},
                   &TCustomSmtpClient::AuthMechanismReply);
      break;
    case smtpAuthLogin:
      StartCommand(smtpAuth, "AUTH LOGIN", {334}, &TCustomSmtpClient::AuthMechanismReply);
      break;
    case smtpAuthCramSha1:
      StartCommand(smtpAuth, "AUTH CRAM-SHA1", {334}, &TCustomSmtpClient::AuthMechanismReply);
      break;
    default:
      auth_current_ = smtpAuthCramMD5;
      StartCommand(smtpAuth, "AUTH CRAM-MD5", {334}, &TCustomSmtpClient::AuthMechanismReply);
      break;
  }
}

void TCustomSmtpClient::AuthMechanismReply() {
  if (request_result_ != 0) {
    TSmtpAuthType fallback = AuthFallback(auth_current_);
    if (auth_auto_ && status_code_ == 504 && fallback != smtpAuthNone) {
      auth_current_ = fallback;
      error_message_.clear();
      state_ = smtpInternalReady;
      StartAuthMechanism();
      return;
    }
    bool credentials_refused = auth_current_ == smtpAuthPlain && status_code_ != 504;
    if (auth_auto_ && !credentials_refused)
      error_message_ = "500 Authentication Type could not be determined.";
    RequestDone(request_result_);
    return;
  }
  switch (auth_current_) {
    case smtpAuthPlain: RequestDone(0); break;
    case smtpAuthLogin:
      StartCommand(smtpAuth, Base64Encode(Username), {334}, &TCustomSmtpClient::AuthLoginUser);
      break;
    default: AuthCramChallenge(); break;
  }
}

void TCustomSmtpClient::AuthLoginUser() {
  if (request_result_ != 0) {
    RequestDone(request_result_);
    return;
  }
  StartCommand(smtpAuth, Base64Encode(Password), {235}, nullptr);
}

void TCustomSmtpClient::AuthCramChallenge() {
  bool sha1 = auth_current_ == smtpAuthCramSha1;
  std::string challenge(Trim(SmtpReplyText(last_response_)));
  if (challenge.empty()) {
    error_message_ =
        std::string(sha1 ? "500 Malformed SHA1 Challege: " : "500 Malformed MD5 Challege: ") +
        last_response_;
    RequestDone(500);
    return;
  }
  StartCommand(smtpAuth, CramResponse(sha1, Username, Password, challenge), {235}, nullptr);
}

// Sending the message.

void TCustomSmtpClient::AppendOutgoing(const std::string& text) {
  // Line ends inside a line would end it early on the wire (and a lone "."
  // after one would end the message): such text becomes several lines.
  if (!HasLineBreak(text)) {
    outgoing_.push_back(text);
    return;
  }
  for (std::string& line : SplitLines(text)) outgoing_.push_back(std::move(line));
}

void TCustomSmtpClient::PrepareData() {
  header_lines_.clear();
  header_index_ = 0;
  header_end_sent_ = OwnHeaders;
  get_data_line_ = 0;
  get_data_done_ = false;
  outgoing_.clear();
  if (!OwnHeaders) {
    MailHeaderFields fields;
    fields.HdrReplyTo = HdrReplyTo;
    fields.HdrReturnPath = HdrReturnPath;
    fields.HdrFrom = HdrFrom;
    fields.HdrTo = HdrTo;
    fields.HdrCc = HdrCc;
    fields.HdrSubject = HdrSubject;
    fields.HdrSender = HdrSender;
    fields.HdrPriority = HdrPriority;
    fields.ContentType = ContentType;
    fields.CharSet = CharSet;
    fields.MessageId = MakeMessageId(MessageIdHost.empty() ? HostName() : MessageIdHost);
    header_lines_ = BuildMailHeaders(fields, LocalNow());
    std::vector<std::string> headers = std::move(header_lines_);
    Fire(OnProcessHeader, headers);
    header_lines_ = std::move(headers);
  }
  for (const std::string& line : MailMessage) AppendOutgoing(line);
}

bool TCustomSmtpClient::NextBodyLine(std::string* line) {
  for (;;) {
    if (!outgoing_.empty()) {
      *line = std::move(outgoing_.front());
      outgoing_.pop_front();
      return true;
    }
    if (get_data_done_ || !OnGetData) return false;
    std::string text;
    bool more = false;
    Fire(OnGetData, ++get_data_line_, text, more);
    if (!more) {
      get_data_done_ = true;
      return false;
    }
    if (text.empty()) {
      *line = std::string();
      return true;
    }
    AppendOutgoing(text);
  }
}

bool TCustomSmtpClient::NextDataLine(std::string* line) {
  if (header_index_ < header_lines_.size()) {
    *line = header_lines_[header_index_++];
    Fire(OnHeaderLine, *line);
    if (!boundary_.empty() && SameText(std::string_view(*line).substr(0, 13), "Content-Type:"))
      *line = MultipartContentTypeLine(boundary_);
    Display("> " + *line);
    if (!line->empty() && (*line)[0] == '.') line->insert(0, 1, '.');
    return true;
  }
  if (!header_end_sent_) {
    header_end_sent_ = true;
    line->clear();
    return true;
  }
  std::string body;
  if (!NextBodyLine(&body)) return false;
  *line = BodyWireLine(body);
  return true;
}

void TCustomSmtpClient::SendNextDataLine() {
  std::string line;
  bool more;
  try {
    more = NextDataLine(&line);
  } catch (const std::exception& e) {
    // The message cannot be completed; closing the connection keeps the
    // server from delivering a truncated mail.
    sending_data_ = false;
    request_result_ = 500;
    if (error_message_.empty()) error_message_ = e.what();
    CleanupData();
    CloseSocket();
    return;
  }
  if (more) {
    socket_->SendText(line + "\r\n");
    return;
  }
  sending_data_ = false;
  CleanupData();
  state_ = smtpWaitingResponse;
  SendCommand(".");
}

// Completion and high-level requests.

void TCustomSmtpClient::RequestDone(int error) {
  if (request_done_) return;
  request_done_ = true;
  request_result_ = error;
  next_ = nullptr;
  if (high_level_) {
    if (state_ != smtpAbort) state_ = smtpInternalReady;
    RunNextStep();
    return;
  }
  FinishRequest(error);
}

void TCustomSmtpClient::FinishRequest(int error) {
  state_ = smtpReady;
  request_result_ = error;
  queue_.Post(WM_SMTP_REQUEST_DONE, static_cast<int32_t>(request_type_), error);
}

void TCustomSmtpClient::StartHighLevel(TSmtpRequest type, unsigned steps) {
  request_type_ = type;
  high_level_ = true;
  high_level_result_ = 0;
  request_result_ = 0;
  error_message_.clear();
  saved_response_.clear();
  steps_ = steps;
  last_step_ = kStepNone;
  RunNextStep();
}

void TCustomSmtpClient::RunNextStep() {
  if (state_ == smtpAbort) {
    steps_ = 0;
    high_level_result_ = 426;
    request_result_ = 426;
    error_message_ = "426 Operation aborted.";
  } else if (last_step_ != kStepNone && request_result_ != 0) {
    if (last_step_ == kStepEhlo) {
      steps_ = kStepHelo;  // the server may still know HELO
    } else {
      high_level_result_ = request_result_;
      saved_response_ = last_response_;
      steps_ = (steps_ & kStepQuit) && last_step_ != kStepQuit ? unsigned{kStepQuit} : 0u;
    }
  }
  static constexpr Step kOrder[] = {kStepConnect,  kStepHelo,   kStepEhlo, kStepAuth, kStepVrfy,
                                    kStepMailFrom, kStepRcptTo, kStepData, kStepQuit};
  for (Step step : kOrder) {
    if (!(steps_ & step)) continue;
    steps_ &= ~static_cast<unsigned>(step);
    last_step_ = step;
    try {
      StartStep(step);
    } catch (const std::exception& e) {
      if (error_message_.empty()) error_message_ = e.what();
      request_done_ = false;
      RequestDone(500);
    }
    return;
  }
  high_level_ = false;
  if (high_level_result_ != 0 && !saved_response_.empty()) last_response_ = saved_response_;
  FinishRequest(high_level_result_);
}

void TCustomSmtpClient::StartStep(Step step) {
  switch (step) {
    case kStepConnect: return DoConnect();
    case kStepHelo: return DoHelo();
    case kStepEhlo: return DoEhlo();
    case kStepAuth: return DoAuth();
    case kStepVrfy: return DoVrfy();
    case kStepMailFrom: return DoMailFrom();
    case kStepRcptTo:
      recipients_ = Recipients();
      rcpt_index_ = 0;
      accepted_.clear();
      refused_.clear();
      return DoRcptTo();
    case kStepData: return DoData();
    case kStepQuit: return DoQuit();
    case kStepNone: break;
  }
  throw SmtpException("Program error: FNext is nil");
}

// Socket events (worker thread).

void TCustomSmtpClient::SocketSessionConnected(TAsyncSocket::SessionId session, int error) {
  MutexLock lock(mu_);
  if (session != session_ || session == 0) return;
  if (error != 0) {
    session_ = 0;
    connected_ = false;
    error_message_ = ConnectFailureText(error);
    status_code_ = request_result_ = 500;
    Fire(OnSessionConnected, error);
    RequestDone(500);
    return;
  }
  connected_ = true;
  if (Security == smtpSecurityTls) {
    // The banner comes after the handshake (SocketTlsDone).
    socket_->StartTls(Host);
    return;
  }
  state_ = smtpWaitingBanner;
}

void TCustomSmtpClient::SocketTlsDone(TAsyncSocket::SessionId session, int error) {
  MutexLock lock(mu_);
  if (session != session_ || session == 0 || request_done_) return;
  if (error != 0) {
    // Never fall back to plain text: the connection ends here.
    error_message_ = "500 " + socket_->TlsError();
    status_code_ = request_result_ = 500;
    CloseSocket();
    return;
  }
  if (pending_ == smtpConnect) {
    state_ = smtpWaitingBanner;
    return;
  }
  // After STARTTLS the client knows nothing of the server until the next
  // EHLO.
  esmtp_ = false;
  auth_types_.clear();
  RequestDone(0);
}

void TCustomSmtpClient::SocketDataAvailable(TAsyncSocket::SessionId session, int) {
  MutexLock lock(mu_);
  if (session != session_ || session == 0) return;
  char buffer[kSmtpReceiveBufferSize];
  size_t room = kSmtpReceiveBufferSize - std::min(rcv_buf_.size(), kSmtpReceiveBufferSize - 1);
  int n = socket_->Receive(buffer, static_cast<int>(room));
  if (n <= 0) return;
  rcv_buf_.append(buffer, static_cast<size_t>(n));
  size_t consumed = 0;
  std::vector<SmtpReplyLine> lines = SplitSmtpReplyLines(rcv_buf_, &consumed);
  rcv_buf_.erase(0, consumed);
  for (const SmtpReplyLine& line : lines) {
    HandleReplyLine(line.Text, line.Code, line.Continued);
    if (session != session_) break;  // the handling closed the connection
  }
}

void TCustomSmtpClient::SocketDataSent(TAsyncSocket::SessionId session, int) {
  MutexLock lock(mu_);
  if (session != session_ || session == 0) return;
  if (sending_data_) SendNextDataLine();
}

void TCustomSmtpClient::SocketSessionClosed(TAsyncSocket::SessionId session, int error) {
  MutexLock lock(mu_);
  if (session != session_ || session == 0) return;
  session_ = 0;
  SessionClosed(error);
}

void TCustomSmtpClient::HandleReplyLine(const std::string& line, int code, bool continued) {
  // A reply is bounded: beyond its lines or bytes the server is not
  // listened to any more and the session ends.
  ++reply_lines_;
  reply_bytes_ += line.size() + 2;
  if (reply_lines_ > kSmtpReplyMaxLines || reply_bytes_ > kSmtpReplyMaxBytes) {
    error_message_ = kSmtpReplyTooLong;
    status_code_ = request_result_ = 500;
    CloseSocket();
    return;
  }
  last_response_ = line;
  status_code_ = code;
  Display("< " + line);
  if (state_ == smtpWaitingResponse && pending_ == smtpEhlo) KeepAuthMechanisms(line, &auth_types_);
  if (continued) return;
  reply_lines_ = reply_bytes_ = 0;
  Fire(OnResponse, line);
  if (state_ == smtpWaitingBanner) {
    HandleBanner();
  } else if (state_ == smtpWaitingResponse && !request_done_) {
    HandleReply();
  }
  // Anything else is a reply nobody waits for; it is only shown.
}

void TCustomSmtpClient::HandleBanner() {
  if (status_code_ != 220) {
    request_result_ = status_code_;
    if (error_message_.empty()) error_message_ = last_response_;
    CloseSocket();
    return;
  }
  state_ = smtpConnected;
  Fire(OnSessionConnected, 0);
  if (state_ == smtpConnected) RequestDone(0);  // not aborted meanwhile
}

void TCustomSmtpClient::HandleReply() {
  if (sending_data_) {
    // The server spoke before the end of the message: that ends it.
    sending_data_ = false;
    CleanupData();
  }
  if (ok_codes_.empty()) {
    request_result_ = status_code_ >= 500 ? status_code_ : 0;
  } else {
    bool ok = std::find(ok_codes_.begin(), ok_codes_.end(), status_code_) != ok_codes_.end();
    request_result_ = ok ? 0 : status_code_;
  }
  if (request_result_ != 0 && error_message_.empty()) error_message_ = last_response_;
  if (next_ != nullptr) {
    Continuation next = next_;
    next_ = nullptr;
    (this->*next)();
    return;
  }
  if (pending_ == smtpQuit && connected_) {
    // The server closes after QUIT; we do not wait for it.
    CloseSocket();
    return;
  }
  RequestDone(request_result_);
}

void TCustomSmtpClient::CloseSocket() {
  if (session_ == 0) {
    connected_ = false;
    return;
  }
  session_ = 0;
  if (socket_) socket_->Close();
  SessionClosed(0);
}

void TCustomSmtpClient::SessionClosed(int error) {
  connected_ = false;
  esmtp_ = false;
  sending_data_ = false;
  rcv_buf_.clear();
  reply_lines_ = reply_bytes_ = 0;
  CleanupData();
  Fire(OnSessionClosed, error);
  if (request_done_) return;
  if (pending_ == smtpQuit) {
    RequestDone(request_result_);
    return;
  }
  int result = request_result_ != 0 ? request_result_ : 4;
  if (error_message_.empty()) {
    error_message_ = error != 0 ? ConnectFailureText(error) : "Connection closed before the reply";
  }
  RequestDone(result);
}

// TSmtpCli.

TSmtpCli::~TSmtpCli() {
  ShutdownSocket();
  MutexLock lock(mu_);
  file_.reset();
}

void TSmtpCli::CheckBeforeData() {
  for (const std::string& name : EmailFiles) {
    if (!FileExists(name)) {
      throw SmtpException("File not found '" + name + "'");
    }
  }
}

void TSmtpCli::PrepareData() {
  file_.reset();
  file_index_ = 0;
  part_lines_.clear();
  end_queued_ = false;
  boundary_ = EmailFiles.empty() ? std::string() : MultipartBoundary(LocalNow());
  TCustomSmtpClient::PrepareData();
  if (!boundary_.empty()) {
    std::vector<std::string> preamble = MultipartPreamble(boundary_, ContentType, CharSet);
    outgoing_.insert(outgoing_.begin(), preamble.begin(), preamble.end());
  }
}

bool TSmtpCli::NextBodyLine(std::string* line) {
  if (TCustomSmtpClient::NextBodyLine(line)) return true;
  if (boundary_.empty()) return false;
  for (;;) {
    if (!part_lines_.empty()) {
      *line = std::move(part_lines_.front());
      part_lines_.pop_front();
      return true;
    }
    if (file_) {
      char chunk[kBase64LineLength / 4 * 3];
      size_t n = std::fread(chunk, 1, sizeof(chunk), file_.get());
      if (n > 0) {
        *line = Base64Encode(std::string_view(chunk, n));
        return true;
      }
      bool failed = std::ferror(file_.get()) != 0;
      file_.reset();
      if (failed) throw SmtpException("Error reading '" + EmailFiles[file_index_] + "'");
      ++file_index_;
      continue;
    }
    if (file_index_ < EmailFiles.size()) {
      std::string name = EmailFiles[file_index_];
      int index = static_cast<int>(file_index_);
      Fire(OnBeforeFileOpen, index, name);
      file_.reset(std::fopen(name.c_str(), "rbe"));
      int error = file_ ? 0 : errno;
      Fire(OnAfterFileOpen, index, name, error);
      if (!file_) throw SmtpException("File not found '" + name + "'");
      std::string content_type = AttachmentContentType(name);
      Fire(OnAttachContentType, index, content_type);
      std::vector<std::string> header =
          AttachmentPartHeader(boundary_, content_type, BaseFileName(name));
      Fire(OnAttachHeader, index, header);
      header.emplace_back();
      part_lines_.assign(header.begin(), header.end());
      continue;
    }
    if (!end_queued_) {
      end_queued_ = true;
      std::vector<std::string> end = MultipartEnd(boundary_);
      part_lines_.assign(end.begin(), end.end());
      continue;
    }
    return false;
  }
}

void TSmtpCli::CleanupData() { file_.reset(); }

}  // namespace sl
