// DaemonApplication: the process-wide runner of the service.
//
// Catches SIGHUP (ignored) and SIGTERM (stop), and keeps the main thread in
// its run loop until SIGTERM arrives or the service module gives up. The
// loop does not merely sleep: each step waits through a pluggable waiter,
// which the service points at the timer's owner-thread queue, so that watch
// ticks run on the main thread between and during the waits. Exactly one
// instance exists per process; the signal handler reaches it through a
// process-wide pointer and only stores to an atomic flag and calls an
// async-signal-safe wake function.
#ifndef SL_SERVICE_DAEMON_APPLICATION_H_
#define SL_SERVICE_DAEMON_APPLICATION_H_

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace sl {

class DaemonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class DaemonApplication {
 public:
  using Waiter = std::function<void(std::chrono::milliseconds)>;
  using WakeFn = void (*)();

  DaemonApplication();
  ~DaemonApplication();
  DaemonApplication(const DaemonApplication&) = delete;
  DaemonApplication& operator=(const DaemonApplication&) = delete;

  static DaemonApplication* Instance();

  // Installs the SIGHUP and SIGTERM handlers and sets Running.
  void InstallSignalHandlers();
  // Returns when Running has become false, after one more second and with
  // the previous signal actions restored.
  void RunLoop();
  void RestoreSignalHandlers();
  void HandleSignal(int signal_number);
  // Absolute path of the running executable.
  static std::string ExecutablePath();

  // Stops the run loop from any thread (also from a signal handler).
  void Stop();
  bool IsRunning() const { return running_.load(); }

  // The waiter runs one step of the loop (default: sleep); wake must be
  // async-signal-safe and make a running waiter return early.
  void SetWaiter(Waiter waiter, WakeFn wake);

  int32_t PollInterval = 1000;

 private:
  std::atomic<bool> running_{false};
  std::atomic<WakeFn> wake_{nullptr};
  Waiter waiter_;
  bool installed_ = false;
  struct sigaction hup_action_ {};
  struct sigaction old_hup_action_ {};
  struct sigaction term_action_ {};
  struct sigaction old_term_action_ {};
};

}  // namespace sl

#endif
