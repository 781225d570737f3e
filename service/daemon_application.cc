#include "service/daemon_application.h"

#include <unistd.h>

#include <cstring>
#include <thread>

namespace sl {

namespace {

std::atomic<DaemonApplication*> g_application{nullptr};

extern "C" void ProcessSignalHandler(int signal_number) {
  if (DaemonApplication* app = g_application.load()) app->HandleSignal(signal_number);
}

}  // namespace

DaemonApplication::DaemonApplication() {
  waiter_ = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
  g_application.store(this);
}

DaemonApplication::~DaemonApplication() {
  try {
    RestoreSignalHandlers();
  } catch (const std::exception&) {
    // Nothing more can be done at process end.
  }
  g_application.store(nullptr);
}

DaemonApplication* DaemonApplication::Instance() { return g_application.load(); }

void DaemonApplication::InstallSignalHandlers() {
  struct Pair {
    int sig;
    struct sigaction* action;
    struct sigaction* old;
  } pairs[] = {{SIGHUP, &hup_action_, &old_hup_action_},
               {SIGTERM, &term_action_, &old_term_action_}};
  for (const Pair& p : pairs) {
    std::memset(p.action, 0, sizeof *p.action);
    std::memset(p.old, 0, sizeof *p.old);
    p.action->sa_handler = ProcessSignalHandler;
    p.action->sa_flags = 0;
    sigemptyset(&p.action->sa_mask);
    if (sigaction(p.sig, p.action, p.old) != 0) throw DaemonError("SIGAction failed");
  }
  installed_ = true;
  running_.store(true);
}

void DaemonApplication::HandleSignal(int signal_number) {
  if (signal_number == SIGTERM) Stop();
}

void DaemonApplication::Stop() {
  running_.store(false);
  if (WakeFn wake = wake_.load()) wake();
}

void DaemonApplication::SetWaiter(Waiter waiter, WakeFn wake) {
  waiter_ = std::move(waiter);
  wake_.store(wake);
}

void DaemonApplication::RunLoop() {
  using std::chrono::milliseconds;
  while (running_.load()) waiter_(milliseconds(PollInterval));
  // One more second in which the servers and the timer keep working.
  auto end = std::chrono::steady_clock::now() + milliseconds(1000);
  for (auto now = std::chrono::steady_clock::now(); now < end;
       now = std::chrono::steady_clock::now()) {
    waiter_(std::chrono::duration_cast<milliseconds>(end - now) + milliseconds(1));
  }
  RestoreSignalHandlers();
}

void DaemonApplication::RestoreSignalHandlers() {
  if (!installed_) return;
  installed_ = false;
  if (sigaction(SIGHUP, &old_hup_action_, nullptr) != 0) throw DaemonError("SIGAction failed");
  if (sigaction(SIGTERM, &old_term_action_, nullptr) != 0) throw DaemonError("SIGAction failed");
}

std::string DaemonApplication::ExecutablePath() {
  char buf[4097];
  ssize_t n = ::readlink("/proc/self/exe", buf, 4096);
  if (n < 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

}  // namespace sl
