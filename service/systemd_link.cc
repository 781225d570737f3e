#include "service/systemd_link.h"

#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>

#include <cstdlib>
#include <string>

#include "core/utf8_text.h"

namespace sl {

void SystemdLink::NotifyReady() { sd_notify(0, "READY=1"); }

void SystemdLink::NotifyStopping() { sd_notify(0, "STOPPING=1"); }

bool SystemdLink::UnderSystemd() {
  const char* id = std::getenv("INVOCATION_ID");
  return id != nullptr && *id != '\0';
}

int SystemdLink::PriorityOf(int32_t code) {
  switch (code) {
    case kEventStartStopFailure:
    case kEventSystemError: return LOG_ERR;
    case kEventRemoteControlFailure: return LOG_WARNING;
    case kEventServiceStarted:
    case kEventServiceStopped: return LOG_NOTICE;
    default: return LOG_INFO;
  }
}

EventLog::Mirror SystemdLink::JournalMirror() {
  if (!UnderSystemd()) return nullptr;
  return [](int32_t code, std::string_view text) {
    // iconv descriptors are not shared between threads.
    thread_local Utf8Converter converter;
    const std::string utf8 = converter.EucToValidUtf8(text);
    if (code < 0) {
      sd_journal_send("MESSAGE=%s", utf8.c_str(), "PRIORITY=%d", PriorityOf(code),
                      "SYSLOG_IDENTIFIER=ScanLanternService", nullptr);
    } else {
      sd_journal_send("MESSAGE=%s", utf8.c_str(), "PRIORITY=%d", PriorityOf(code),
                      "SCANLANTERN_EVENT_CODE=%d", static_cast<int>(code),
                      "SYSLOG_IDENTIFIER=ScanLanternService", nullptr);
    }
  };
}

}  // namespace sl
