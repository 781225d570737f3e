// TSyncSmtpCli: the SMTP client with blocking calls.
//
// Each call starts the matching request and waits on the calling thread
// until the request is complete or Timeout seconds (15 by default) of real
// time have passed; the wait sleeps on the component's message queue, so it
// costs no processor time. Each call returns true when the request
// succeeded; on failure ErrorMessage() tells why (also when the request
// could not even start, for instance "SMTP component not connected").
// A time-out aborts the request and leaves "426 Timeout".
#ifndef SL_MAIL_SYNC_SMTP_CLIENT_H_
#define SL_MAIL_SYNC_SMTP_CLIENT_H_

#include <functional>

#include "mail/smtp_client.h"

namespace sl {

class TSyncSmtpCli : public TSmtpCli {
 public:
  TSyncSmtpCli();
  ~TSyncSmtpCli() override = default;

  // Waits for the pending request; true when it succeeded.
  bool WaitUntilReady();

  bool ConnectSync();
  bool HeloSync();
  bool EhloSync();
  bool AuthSync();
  bool VrfySync();
  bool MailFromSync();
  bool RcptToSync();
  bool DataSync();
  bool QuitSync();
  bool RsetSync();
  bool AbortSync();
  bool OpenSync();
  bool MailSync();
  bool StartTlsSync();

 private:
  bool Sync(void (TCustomSmtpClient::*request)());
};

}  // namespace sl

#endif
