#include "mail/sync_smtp_client.h"

#include <chrono>
#include <exception>

namespace sl {

TSyncSmtpCli::TSyncSmtpCli() { Timeout = 15; }

bool TSyncSmtpCli::WaitUntilReady() {
  using Clock = TMsgQueue::Clock;
  const bool limited = Timeout > 0;
  const Clock::time_point deadline =
      limited ? Clock::now() + std::chrono::seconds(Timeout) : Clock::time_point::max();
  for (;;) {
    int result = 0;
    bool ready = ReadyWithResult(&result);
    // Completion posts its message together with the state change, so what
    // the request posted is handled before we return.
    ProcessMessages();
    if (ready) return result == 0;
    if (limited && Clock::now() >= deadline) {
      if (!AbortUnlessReady(426, "426 Timeout")) continue;  // completed just now
      ProcessMessages();
      return false;
    }
    TClassMsg msg;
    if (MessageQueue().WaitUntil(deadline, &msg)) {
      if (msg.Msg == WM_SMTP_REQUEST_DONE && OnRequestDone) {
        OnRequestDone(static_cast<TSmtpRequest>(msg.WParam), msg.LParam);
      }
    }
  }
}

bool TSyncSmtpCli::Sync(void (TCustomSmtpClient::*request)()) {
  try {
    (this->*request)();
  } catch (const std::exception& e) {
    SetErrorMessage(e.what());
    return false;
  }
  return WaitUntilReady();
}

bool TSyncSmtpCli::ConnectSync() { return Sync(&TCustomSmtpClient::Connect); }
bool TSyncSmtpCli::HeloSync() { return Sync(&TCustomSmtpClient::Helo); }
bool TSyncSmtpCli::EhloSync() { return Sync(&TCustomSmtpClient::Ehlo); }
bool TSyncSmtpCli::AuthSync() { return Sync(&TCustomSmtpClient::Auth); }
bool TSyncSmtpCli::VrfySync() { return Sync(&TCustomSmtpClient::Vrfy); }
bool TSyncSmtpCli::MailFromSync() { return Sync(&TCustomSmtpClient::MailFrom); }
bool TSyncSmtpCli::RcptToSync() { return Sync(&TCustomSmtpClient::RcptTo); }
bool TSyncSmtpCli::DataSync() { return Sync(&TCustomSmtpClient::Data); }
bool TSyncSmtpCli::QuitSync() { return Sync(&TCustomSmtpClient::Quit); }
bool TSyncSmtpCli::RsetSync() { return Sync(&TCustomSmtpClient::Rset); }
bool TSyncSmtpCli::AbortSync() { return Sync(&TCustomSmtpClient::Abort); }
bool TSyncSmtpCli::OpenSync() { return Sync(&TCustomSmtpClient::Open); }
bool TSyncSmtpCli::MailSync() { return Sync(&TCustomSmtpClient::Mail); }
bool TSyncSmtpCli::StartTlsSync() { return Sync(&TCustomSmtpClient::StartTls); }

}  // namespace sl
