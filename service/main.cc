// Program entry of ScanLanternService: with no option, holds the PID file,
// runs the service module until SIGTERM and removes the PID file again;
// --check, --help and --version answer and exit.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "core/text.h"
#include "service/daemon_application.h"
#include "service/pid_file.h"
#include "service/service_module.h"
#include "service/settings_check.h"
#include "watch/threaded_timer.h"

#ifndef SL_VERSION
#define SL_VERSION "unknown"
#endif

namespace {

constexpr char kPidFile[] = "/var/run/ScanLanternService.pid";

constexpr char kUsage[] =
    "usage: ScanLanternService [--check | --help | --version]\n"
    "  (no option)  run the service in the foreground (as root)\n"
    "  --check      check the settings files of this installation and exit:\n"
    "               0 when they are good, 1 otherwise\n"
    "  --help       show this help and exit\n"
    "  --version    show the version and exit\n";

// Every watch entry keeps its file open: allow as many as the hard limit.
void RaiseOpenFileLimit() {
  struct rlimit lim;
  if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
  }
}

int RunService() {
  sl::DaemonApplication app;
  // The run loop waits for the watch timer's ticks and runs them here, on
  // the main thread; SIGTERM wakes it at once.
  app.SetWaiter([](std::chrono::milliseconds d) { sl::RunOwnerTicks(d); }, &sl::WakeOwnerLoop);
  sl::PidFile pid_file(kPidFile);
  bool failed = false;
  try {
    switch (pid_file.Acquire()) {
      case sl::PidFile::Result::kHeld:
        // A live service holds the file: leave it, its ports and its
        // settings alone.
        std::cout << "ScanLanternService is already running\n";
        if (pid_file.holder() > 0) {
          std::cout << "ScanLanternService is running as pid " << pid_file.holder() << "\n";
        } else {
          std::cout << "ScanLanternService is starting; its PID file names no process yet\n";
        }
        std::cout << std::flush;
        return 1;
      case sl::PidFile::Result::kLeftBehind:
        // Left by a process that is gone (killed): taken over.
        std::cout << "ScanLanternService is already running\n" << std::flush;
        break;
      case sl::PidFile::Result::kTaken: break;
    }
    RaiseOpenFileLimit();
    app.InstallSignalHandlers();
    auto module = std::make_unique<sl::ServiceModule>(app);
    module->DataModuleCreate();
    app.RunLoop();
    module->DataModuleDestroy();
    failed = module->Failed();
    module.reset();
    pid_file.Release();
  } catch (const std::exception& e) {
    std::cout << "ScanLanternService RunTime Error.\n" << e.what() << "\n" << std::flush;
    pid_file.Release();
    return 1;
  }
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) return RunService();
  const std::string option = argv[1];
  if (argc == 2 && option == "--help") {
    std::cout << kUsage;
    return 0;
  }
  if (argc == 2 && option == "--version") {
    std::cout << "ScanLanternService " << SL_VERSION << "\n";
    return 0;
  }
  if (argc == 2 && option == "--check") {
    return sl::RunSettingsCheck(sl::BaseDirectoryOf(sl::DaemonApplication::ExecutablePath()),
                                std::cout);
  }
  if (argc > 2) {
    std::cerr << "ScanLanternService: one option at most\n" << kUsage;
  } else {
    std::cerr << "ScanLanternService: unknown option '" << option << "'\n" << kUsage;
  }
  return 2;
}
