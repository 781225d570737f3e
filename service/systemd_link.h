// SystemdLink: what the service tells systemd when systemd runs it.
//
// Readiness and the stop go to the service manager (sd_notify, for a unit
// of Type=notify); every event-log entry goes to the journal as well, in
// UTF-8, with a priority from its event code and the code as a field of
// its own. Outside systemd (no NOTIFY_SOCKET, no INVOCATION_ID) every call
// does nothing. The daily EUC-JP file is written as always.
#ifndef SL_SERVICE_SYSTEMD_LINK_H_
#define SL_SERVICE_SYSTEMD_LINK_H_

#include <cstdint>
#include <string_view>

#include "core/event_log.h"

namespace sl {

class SystemdLink {
 public:
  // Servers bound and the first watch pass done.
  static void NotifyReady();
  static void NotifyStopping();

  // True when systemd started this process as a service.
  static bool UnderSystemd();
  // The journal's priority (syslog level) of an event code; -1 is a plain
  // line (a request).
  static int PriorityOf(int32_t code);
  // A mirror for EventLog::SetMirror that sends each entry to the journal,
  // or an empty one outside systemd.
  static EventLog::Mirror JournalMirror();
};

}  // namespace sl

#endif
