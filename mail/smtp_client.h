// The SMTP client component: one mail per transaction over one TCP
// connection.
//
// TCustomSmtpClient is an event-driven state machine. Each request (Connect,
// Helo, MailFrom, ...) writes one command and returns at once; the reply is
// parsed on the socket's worker thread, which also runs the follow-up steps
// (next recipient, the message after DATA, the AUTH exchange) and, for the
// high-level requests Open and Mail, starts the next step. When a request is
// complete the state returns to smtpReady and a request-done message is
// posted to the component's own queue; ProcessMessages() on the caller's
// thread turns it into OnRequestDone.
//
// With Security smtpSecurityTls the connection is TLS from its start (the
// banner is awaited after the handshake); StartTls sends STARTTLS and turns
// the open connection into TLS. Either verifies the server's certificate
// for Host; a failed check fails the request and closes the connection.
//
// Auth refuses to send credentials over a connection that is neither TLS
// nor to a loopback address (kAuthNotEncrypted); every reply is bounded
// (kSmtpReplyMaxLines, kSmtpReplyMaxBytes).
//
// RcptTo sends every recipient; it succeeds when at least one was accepted,
// and AcceptedRecipients / RefusedRecipients tell which.
//
// TSmtpCli adds attachments (a multipart message with Base64 parts).
//
// Threading: the properties are plain fields that the caller sets while no
// request is running; the worker thread reads them only during a request.
// Everything the two threads share is guarded by the component's mutex.
// Events other than OnRequestDone run on the worker thread (Connect's on
// the caller's), always with the mutex released, so a handler may call the
// component.
#ifndef SL_MAIL_SMTP_CLIENT_H_
#define SL_MAIL_SMTP_CLIENT_H_

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/mutex.h"
#include "core/thread_annotations.h"
#include "mail/async_socket.h"
#include "mail/mail_message.h"
#include "mail/msg_queue.h"
#include "mail/smtp_auth.h"

namespace sl {

// The error of an AUTH that would send the password in clear.
inline constexpr char kAuthNotEncrypted[] = "500 AUTH refused: the connection is not encrypted";

class SmtpException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TSmtpState {
  smtpReady,
  smtpDnsLookup,
  smtpConnecting,
  smtpConnected,
  smtpInternalReady,
  smtpWaitingBanner,
  smtpWaitingResponse,
  smtpAbort,
};

enum TSmtpRequest {
  smtpConnect,
  smtpHelo,
  smtpMailFrom,
  smtpVrfy,
  smtpRcptTo,
  smtpData,
  smtpQuit,
  smtpRset,
  smtpOpen,
  smtpMail,
  smtpEhlo,
  smtpAuth,
  smtpCustom,
  smtpStartTls,
};

// How the connection is protected: not at all, by STARTTLS after the
// greeting (the caller sends it with StartTls), or by TLS from the start.
enum TSmtpSecurity { smtpSecurityNone, smtpSecurityStartTls, smtpSecurityTls };

enum TSmtpShareMode {
  smtpShareCompat,
  smtpShareExclusive,
  smtpShareDenyWrite,
  smtpShareDenyRead,
  smtpShareDenyNone,
};

// Posted to the component's queue when a request completes: WParam is the
// TSmtpRequest, LParam the result (0 = success, else a reply code).
inline constexpr uint32_t WM_SMTP_REQUEST_DONE = 0x401;

class TCustomSmtpClient {
 public:
  TCustomSmtpClient();
  virtual ~TCustomSmtpClient();
  TCustomSmtpClient(const TCustomSmtpClient&) = delete;
  TCustomSmtpClient& operator=(const TCustomSmtpClient&) = delete;

  // Properties.
  std::string Host;
  std::string Port = "smtp";
  std::string LocalAddr = "0.0.0.0";
  std::string SignOn;  // HELO/EHLO name; empty: the local host name
  std::string Username;
  std::string Password;
  TSmtpAuthType AuthType = smtpAuthNone;
  std::string FromName;                  // envelope sender
  std::vector<std::string> RcptName;     // envelope recipients
  std::vector<std::string> MailMessage;  // body lines
  std::string HdrFrom, HdrTo, HdrCc, HdrReplyTo, HdrReturnPath, HdrSubject, HdrSender;
  TSmtpPriority HdrPriority = smtpPriorityNone;
  std::string CharSet = "iso-8859-1";
  TSmtpContentType ContentType = smtpPlainText;
  bool OwnHeaders = false;  // true: MailMessage holds the header lines too
  TSmtpSecurity Security = smtpSecurityNone;
  std::string MessageIdHost;  // right side of the Message-ID; empty: the local host name
  int Timeout = 0;            // seconds per synchronous call (TSyncSmtpCli)
  bool MultiThreaded = false;
  int Tag = 0;

  // Read-only state.
  TSmtpState State() const;
  std::string LastResponse() const;
  std::string ErrorMessage() const;
  int StatusCode() const;     // code of the last reply
  int RequestResult() const;  // 0 = success, else a reply code
  bool Connected() const;
  TSmtpRequest RequestType() const;
  bool EsmtpAccepted() const;
  std::vector<std::string> AuthTypesSupported() const;  // from the last EHLO
  // Of the last RcptTo: the recipients the server took, and those it
  // refused with its reply line.
  std::vector<std::string> AcceptedRecipients() const;
  std::vector<std::pair<std::string, std::string>> RefusedRecipients() const;

  // Asynchronous requests. Those that need the connection throw
  // SmtpException("SMTP component not connected") without one; Connect and
  // Open throw "SMTP component already connected" with one.
  void Connect();
  void Helo();
  void Ehlo();
  void Auth();
  void Vrfy();  // VRFY of the first recipient
  void MailFrom();
  void RcptTo();  // every recipient in turn; one accepted is enough
  void StartTls();
  void Data();
  void Quit();
  void Rset();
  void Abort();
  // Connect then HELO; or connect, EHLO and AUTH when AuthType is set.
  void Open();
  // MAIL FROM, RCPT TO for every recipient, DATA with the message.
  void Mail();

  // Appends the addresses of To, Cc and Bcc texts to RcptName: split at ","
  // and ";" outside double quotes, trimmed; empty parts and parts that hold
  // CR or LF are dropped.
  void AddRecipients(const std::string& to, const std::string& cc = "",
                     const std::string& bcc = "");

  // Handles the messages queued for the caller (request done).
  void ProcessMessages();
  TMsgQueue& MessageQueue() { return queue_; }

  // Events (set before the first request).
  std::function<void(const std::string& text)> OnDisplay;
  std::function<void(const std::string& command)> OnCommand;
  std::function<void(const std::string& reply)> OnResponse;
  std::function<void(int line_number, std::string& line, bool& more)> OnGetData;
  std::function<void(std::string& line)> OnHeaderLine;
  std::function<void(std::vector<std::string>& headers)> OnProcessHeader;
  std::function<void(TSmtpRequest request, int error)> OnRequestDone;
  std::function<void(int error)> OnSessionConnected;
  std::function<void(int error)> OnSessionClosed;

 protected:
  // Called when DATA was accepted: lays out the header lines and the
  // outgoing text.
  virtual void PrepareData() REQUIRES(mu_);
  // The next line after the headers (before dot-stuffing); false at the end.
  // May throw SmtpException, which ends the transaction.
  virtual bool NextBodyLine(std::string* line) REQUIRES(mu_);
  // Releases what a message being sent holds (an open attachment).
  virtual void CleanupData() REQUIRES(mu_) {}
  // Checks made on the caller's thread before DATA (files present).
  virtual void CheckBeforeData() {}
  // Stops the socket's worker; derived destructors call it first so that no
  // event reaches a half-destroyed object.
  void ShutdownSocket();
  // Queues body text, split at line ends.
  void AppendOutgoing(const std::string& text) REQUIRES(mu_);
  // Records a failure found outside the protocol (a time-out).
  void SetFailure(int result, const std::string& message);
  void SetErrorMessage(const std::string& message);
  // Whether no request is running, and the last request's result, read
  // together.
  bool ReadyWithResult(int* result) const;
  // Abort, then the failure, in one step; nothing when the request has
  // completed meanwhile. True when it aborted.
  bool AbortUnlessReady(int result, const std::string& message);

  // Runs an event handler with mu_ released, so that no handler runs under
  // the component's lock and a handler may call the component. What follows
  // an event must allow for an Abort from the caller's thread meanwhile.
  template <typename Handler, typename... Args>
  void Fire(const Handler& handler, Args&&... args) REQUIRES(mu_) NO_THREAD_SAFETY_ANALYSIS {
    if (!handler) return;
    struct Relock {
      Mutex& mu;
      ~Relock() { mu.Lock(); }
    };
    mu_.Unlock();
    Relock relock{mu_};
    handler(std::forward<Args>(args)...);
  }

  mutable Mutex mu_;
  std::deque<std::string> outgoing_ GUARDED_BY(mu_);
  std::string boundary_ GUARDED_BY(mu_);  // multipart boundary; empty without attachments

 private:
  enum Step : unsigned {
    kStepNone = 0,
    kStepConnect = 1,
    kStepHelo = 2,
    kStepEhlo = 4,
    kStepAuth = 8,
    kStepVrfy = 16,
    kStepMailFrom = 32,
    kStepRcptTo = 64,
    kStepData = 128,
    kStepQuit = 256,
  };
  using Continuation = void (TCustomSmtpClient::*)();

  void CheckConnected() const REQUIRES(mu_);
  void CheckRecipients() const;
  std::vector<std::string> Recipients() const;
  std::string HeloName() const;
  void BeginRequest(TSmtpRequest type) REQUIRES(mu_);

  void DoConnect() REQUIRES(mu_);
  void DoHelo() REQUIRES(mu_);
  void DoEhlo() REQUIRES(mu_);
  void DoAuth() REQUIRES(mu_);
  void DoVrfy() REQUIRES(mu_);
  void DoMailFrom() REQUIRES(mu_);
  void DoRcptTo() REQUIRES(mu_);
  void DoData() REQUIRES(mu_);
  void DoQuit() REQUIRES(mu_);
  void DoRset() REQUIRES(mu_);
  void DoStartTls() REQUIRES(mu_);

  void StartCommand(TSmtpRequest request, const std::string& command, std::vector<int> ok_codes,
                    Continuation next) REQUIRES(mu_);
  void SendCommand(const std::string& command) REQUIRES(mu_);
  void Display(const std::string& text) REQUIRES(mu_);

  // Continuations.
  void EhloDone() REQUIRES(mu_);
  void RcptReply() REQUIRES(mu_);
  void StartTlsAccepted() REQUIRES(mu_);
  void DataAccepted() REQUIRES(mu_);
  void StartAuthMechanism() REQUIRES(mu_);
  void AuthMechanismReply() REQUIRES(mu_);
  void AuthLoginUser() REQUIRES(mu_);
  void AuthCramChallenge() REQUIRES(mu_);

  void SendNextDataLine() REQUIRES(mu_);
  bool NextDataLine(std::string* line) REQUIRES(mu_);

  void RequestDone(int error) REQUIRES(mu_);
  void FinishRequest(int error) REQUIRES(mu_);
  void StartHighLevel(TSmtpRequest type, unsigned steps) REQUIRES(mu_);
  void RunNextStep() REQUIRES(mu_);
  void StartStep(Step step) REQUIRES(mu_);

  // Socket events.
  void SocketSessionConnected(TAsyncSocket::SessionId session, int error);
  void SocketDataAvailable(TAsyncSocket::SessionId session, int error);
  void SocketDataSent(TAsyncSocket::SessionId session, int error);
  void SocketSessionClosed(TAsyncSocket::SessionId session, int error);
  void SocketTlsDone(TAsyncSocket::SessionId session, int error);
  void HandleReplyLine(const std::string& line, int code, bool continued) REQUIRES(mu_);
  void HandleBanner() REQUIRES(mu_);
  void HandleReply() REQUIRES(mu_);
  void CloseSocket() REQUIRES(mu_);
  void AbortLocked() REQUIRES(mu_);
  void SessionClosed(int error) REQUIRES(mu_);

  TSmtpState state_ GUARDED_BY(mu_) = smtpReady;
  std::string last_response_ GUARDED_BY(mu_);
  std::string error_message_ GUARDED_BY(mu_);
  int status_code_ GUARDED_BY(mu_) = 0;
  int request_result_ GUARDED_BY(mu_) = 0;
  bool connected_ GUARDED_BY(mu_) = false;
  bool esmtp_ GUARDED_BY(mu_) = false;
  TSmtpRequest request_type_ GUARDED_BY(mu_) = smtpConnect;  // what the caller asked for
  TSmtpRequest pending_ GUARDED_BY(mu_) = smtpConnect;       // the command awaiting its reply
  bool request_done_ GUARDED_BY(mu_) = true;
  std::vector<int> ok_codes_ GUARDED_BY(mu_);
  Continuation next_ GUARDED_BY(mu_) = nullptr;
  bool high_level_ GUARDED_BY(mu_) = false;
  unsigned steps_ GUARDED_BY(mu_) = 0;
  Step last_step_ GUARDED_BY(mu_) = kStepNone;
  int high_level_result_ GUARDED_BY(mu_) = 0;
  std::string saved_response_ GUARDED_BY(mu_);
  std::vector<std::string> auth_types_ GUARDED_BY(mu_);
  TSmtpAuthType auth_current_ GUARDED_BY(mu_) = smtpAuthNone;
  bool auth_auto_ GUARDED_BY(mu_) = false;
  std::string rcv_buf_ GUARDED_BY(mu_);
  size_t reply_lines_ GUARDED_BY(mu_) = 0;  // of the reply being received
  size_t reply_bytes_ GUARDED_BY(mu_) = 0;
  std::vector<std::string> recipients_ GUARDED_BY(mu_);
  size_t rcpt_index_ GUARDED_BY(mu_) = 0;
  std::vector<std::string> accepted_ GUARDED_BY(mu_);
  std::vector<std::pair<std::string, std::string>> refused_ GUARDED_BY(mu_);
  TAsyncSocket::SessionId session_ GUARDED_BY(mu_) = 0;
  // Sending the message.
  bool sending_data_ GUARDED_BY(mu_) = false;
  std::vector<std::string> header_lines_ GUARDED_BY(mu_);
  size_t header_index_ GUARDED_BY(mu_) = 0;
  bool header_end_sent_ GUARDED_BY(mu_) = false;
  int get_data_line_ GUARDED_BY(mu_) = 0;
  bool get_data_done_ GUARDED_BY(mu_) = false;

  TMsgQueue queue_;
  std::unique_ptr<TAsyncSocket> socket_ GUARDED_BY(mu_);
};

class TSmtpCli : public TCustomSmtpClient {
 public:
  TSmtpCli() = default;
  ~TSmtpCli() override;

  std::vector<std::string> EmailFiles;  // attachments
  TSmtpShareMode ShareMode = smtpShareDenyWrite;

  std::function<void(int file_index, std::string& content_type)> OnAttachContentType;
  std::function<void(int file_index, std::vector<std::string>& header_lines)> OnAttachHeader;
  std::function<void(int file_index, std::string& file_name)> OnBeforeFileOpen;
  std::function<void(int file_index, const std::string& file_name, int error)> OnAfterFileOpen;

 protected:
  void PrepareData() override REQUIRES(mu_);
  bool NextBodyLine(std::string* line) override REQUIRES(mu_);
  void CleanupData() override REQUIRES(mu_);
  void CheckBeforeData() override;

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };

  size_t file_index_ GUARDED_BY(mu_) = 0;
  std::unique_ptr<std::FILE, FileCloser> file_ GUARDED_BY(mu_);
  std::deque<std::string> part_lines_ GUARDED_BY(mu_);
  bool end_queued_ GUARDED_BY(mu_) = false;
};

}  // namespace sl

#endif
