// Program entry of ScanLanternService: records the process in the PID file,
// runs the service module until SIGTERM and removes the PID file again.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "core/event_log.h"
#include "service/daemon_application.h"
#include "service/service_module.h"
#include "watch/threaded_timer.h"

namespace {

constexpr char kPidFile[] = "/var/run/ScanLanternService.pid";

void WritePidFile() {
  std::FILE* f = std::fopen(kPidFile, "w");
  if (f == nullptr)
    throw std::runtime_error("Cannot create file \"" + std::string(kPidFile) + "\"");
  std::string text = std::to_string(::getpid()) + "\nScanLanternService\nStart Time " +
                     sl::FormatTimestamp(std::time(nullptr)) + "\n";
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) throw std::runtime_error("Write error on \"" + std::string(kPidFile) + "\"");
}

// Every watch entry keeps its file open: allow as many as the hard limit.
void RaiseOpenFileLimit() {
  struct rlimit lim;
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

}  // namespace

int main() {
  sl::DaemonApplication app;
  // The run loop waits for the watch timer's ticks and runs them here, on
  // the main thread; SIGTERM wakes it at once.
  app.SetWaiter([](std::chrono::milliseconds d) { sl::RunOwnerTicks(d); }, &sl::WakeOwnerLoop);
  bool failed = false;
  try {
    if (::access(kPidFile, F_OK) == 0) {
      std::cout << "ScanLanternService is already running\n" << std::flush;
    }
    WritePidFile();
    RaiseOpenFileLimit();
    app.InstallSignalHandlers();
    auto module = std::make_unique<sl::ServiceModule>(app);
    module->DataModuleCreate();
    app.RunLoop();
    module->DataModuleDestroy();
    failed = module->Failed();
    module.reset();
    ::unlink(kPidFile);
  } catch (const std::exception&) {
    std::cout << "ScanLanternService RunTime Error.\n" << std::flush;
    ::unlink(kPidFile);
    return 1;
  }
  return failed ? 1 : 0;
}
