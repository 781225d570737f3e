// ServiceModule: the one central object of the running service.
//
// Owns the process-wide state (ServiceState) and every component: the HTTP
// server of the web administration, the page producer, the SMTP client, the
// UDP discovery server, the network adapter list and the watch timer. It has
// three moments: creation (read the settings, start the servers and the
// timer), reload (read the settings files again, on request of the web
// administration; a failure keeps the running settings) and destruction (write the settings back,
// stop the UDP server, log the stop). Creation and destruction run on the main thread.
#ifndef SL_SERVICE_SERVICE_MODULE_H_
#define SL_SERVICE_SERVICE_MODULE_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "core/event_log.h"
#include "core/thread_annotations.h"
#include "discovery/discovery_responder.h"
#include "discovery/udp_server.h"
#include "mail/mail_queue.h"
#include "service/daemon_application.h"
#include "service/network_adapters.h"
#include "settings/service_state.h"
#include "watch/notify_composer.h"
#include "watch/threaded_timer.h"
#include "watch/watch_scan.h"
#include "web/admin_dispatcher.h"
#include "web/http_server.h"

namespace sl {

class ServiceModule {
 public:
  // `app` is the runner whose Running flag a failure clears.
  explicit ServiceModule(DaemonApplication& app);
  ~ServiceModule();
  ServiceModule(const ServiceModule&) = delete;
  ServiceModule& operator=(const ServiceModule&) = delete;

  // Creation handler. Failures are reported on standard output and in the
  // event log and stop the process; an error of the report itself (the log
  // directory missing) is thrown to the caller.
  void DataModuleCreate();
  // Destruction handler: stops the HTTP server (a time-out of its requests
  // is logged and does not stop the rest), saves the settings (if they
  // were loaded, leaving a file whose last load failed as it is), stops
  // the UDP server and logs the stop.
  void DataModuleDestroy();
  // Reads both settings files again and applies them, all or nothing. The
  // caller holds the service lock. Returns the reason of a failure (also
  // printed and logged), after which the service runs on with the settings
  // it had; empty on success.
  std::string ReloadSettingsLocked() REQUIRES(state_->Lock);

  // True once the start or the stop has failed; the process then ends with
  // a non-zero exit status.
  bool Failed() const { return failed_.load(); }

  ServiceState& state() { return *state_; }

 private:
  // Steps shared by creation and reload (service lock held). Loading reads
  // both files before it changes anything and throws on a failure.
  void LoadSettingsLocked() REQUIRES(state_->Lock);
  void ApplyEnvSettingsLocked() REQUIRES(state_->Lock);

  // An entry of the start or the stop. A log that cannot take it (a full
  // or missing log/) fails neither: standard error says so, and the log
  // counts the failure as it counts those of the running service.
  void LogLifecycle(int32_t code, const std::string& detail);
  static void SayLogFailed(const EventLogError& e);

  void StartHttpServer();
  void StartUdpServer();
  void ReadHostAddress();
  // Why "/healthz" answers 503: "starting" before the first watch pass has
  // ended, "stalled" when no watch pass ended in the
  // last kHealthyPassAge, "mail-queue-full" when the mail queue is at its
  // limit; empty when healthy.
  std::string HealthProblem();
  static constexpr std::chrono::seconds kHealthyPassAge{5};
  void StartWatchTimer();

  DaemonApplication& app_;
  std::unique_ptr<ServiceState> state_;
  std::atomic<bool> failed_{false};
  bool ready_ = false;  // systemd was told; main thread only

  // Components, destroyed in the reverse order of their declaration. The
  // responder outlives the UDP server that calls it.
  std::unique_ptr<Notifier> notifier_;     // owns the SMTP client SMTPWatch
  std::unique_ptr<MailQueue> mail_queue_;  // sends through notifier_
  std::unique_ptr<AdminDispatcher> dispatcher_;
  std::unique_ptr<THTTPServer> http_server_;
  std::unique_ptr<DiscoveryResponder> responder_;
  std::unique_ptr<TUDPServer> udp_server_;
  std::unique_ptr<WatchScanner> scanner_;
  std::unique_ptr<TThreadedTimer> watch_timer_;  // ticks on the main thread
};

}  // namespace sl

#endif
