#include "service/service_module.h"

#include <errno.h>
#include <sys/socket.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <string>
#include <utility>

#include "core/text.h"
#include "net/socket_errors.h"
#include "service/port_holder.h"
#include "service/systemd_link.h"
#include "settings/settings_files.h"

#ifndef SL_VERSION
#define SL_VERSION "unknown"
#endif

namespace sl {

ServiceModule::ServiceModule(DaemonApplication& app) : app_(app) {}

ServiceModule::~ServiceModule() {
  // Servers stop before the handlers they call go away.
  if (http_server_) {
    try {
      http_server_->SetActive(false);
    } catch (const std::exception&) {
      // Connections still running were cut off; nothing is left to save.
    }
  }
  http_server_.reset();
  dispatcher_.reset();
  watch_timer_.reset();
  scanner_.reset();
  mail_queue_.reset();
  notifier_.reset();
  udp_server_.reset();
  responder_.reset();
}

namespace {

// Runs `start`; a port that is taken is named with its holder in the error.
template <typename Start>
void StartOnPort(int port, bool udp, Start start) {
  try {
    start();
  } catch (const ESocketError& e) {
    if (e.ErrorCode() != EADDRINUSE) throw;
    throw ESocketError(e.ErrorCode(), std::string(e.what()) + "\n" + DescribePortHolder(port, udp));
  }
}

}  // namespace

void ServiceModule::StartHttpServer() {
  http_server_ = std::make_unique<THTTPServer>();
  dispatcher_ = std::make_unique<AdminDispatcher>(
      *state_, *http_server_,
      AdminHooks{
          [this] {
            state_->Lock.AssertHeld();  // the dispatcher calls its hooks under the lock
            return ReloadSettingsLocked();
          },
          [this](NotifyRequest request, std::string description, MailQueue::DoneFunction done) {
            return mail_queue_->PushOnce(std::move(request), std::move(description),
                                         std::move(done));
          },
          [this] { return mail_queue_->State(); }, [this] { return HealthProblem(); },
          [this] {
            return responder_ ? std::pair{responder_->Replies(), responder_->Drops()}
                              : std::pair<uint64_t, uint64_t>{0, 0};
          },
          SL_VERSION});
  http_server_->Bindings.Clear();
  http_server_->DefaultPort = 4009;
  // A client that connects and sends nothing must not hold a thread forever.
  http_server_->ReadTimeout = 60000;
  // Room for bursts of connections (a console polling many pages at once).
  http_server_->ListenQueue = 128;
  http_server_->OnCommandGet =
      std::bind_front(&AdminDispatcher::HTTPServerCommandGet, dispatcher_.get());
  http_server_->OnCommandOther =
      std::bind_front(&AdminDispatcher::HTTPServerCommandOther, dispatcher_.get());
  StartOnPort(4009, false, [this] { http_server_->SetActive(true); });
}

void ServiceModule::StartUdpServer() {
  responder_ = std::make_unique<DiscoveryResponder>(state_->Log);
  udp_server_ = std::make_unique<TUDPServer>();
  udp_server_->SetActive(false);
  TSocketHandle& binding = udp_server_->Bindings.Add();
  binding.IP = "0.0.0.0";
  binding.Port = 4009;
  udp_server_->ThreadedEvent = true;
  udp_server_->OnUDPRead = responder_->Handler();
  StartOnPort(4009, true, [this] { udp_server_->SetActive(true); });
}

void ServiceModule::StartWatchTimer() {
  if (!scanner_) {
    scanner_ = std::make_unique<WatchScanner>(
        *state_,
        [this](NotifyRequest request, std::string description, MailQueue::DoneFunction done) {
          return mail_queue_->Push(std::move(request), std::move(description), std::move(done));
        });
  }
  if (!watch_timer_) watch_timer_ = std::make_unique<TThreadedTimer>();
  watch_timer_->SetInterval(1000);
  watch_timer_->OnTimer = [this](TThreadedTimer& timer) {
    scanner_->TimWatchTimer(timer);
    {
      MutexLock lock(state_->Lock);
      state_->LastPassEnd = std::chrono::steady_clock::now();
    }
    try {
      dispatcher_->NoteLeftOutLines();
    } catch (const std::exception&) {
      // The log cannot take the note now; the watching goes on.
    }
    // The servers answer and the first pass has run: the service serves.
    if (!ready_) {
      ready_ = true;
      SystemdLink::NotifyReady();
    }
  };
  watch_timer_->SetEnabled(true);
}

std::string ServiceModule::HealthProblem() {
  std::chrono::steady_clock::time_point last_pass;
  {
    MutexLock lock(state_->Lock);
    last_pass = state_->LastPassEnd;
  }
  // A pass runs every second; one that has not ended for 5 s is stuck.
  if (last_pass == std::chrono::steady_clock::time_point()) return "starting";
  if (std::chrono::steady_clock::now() - last_pass > kHealthyPassAge) return "stalled";
  if (mail_queue_ && mail_queue_->Full()) return "mail-queue-full";
  return std::string();
}

void ServiceModule::ReadHostAddress() {
  NetworkAdapters nic_info;
  nic_info.SetFamily(AF_INET);
  nic_info.SetSocketType(SOCK_DGRAM);
  nic_info.SetActive(true);
  // The first adapter's address, passing over loopback adapters while
  // another one is up: the mails name the host by it, and 127.0.0.1 tells
  // the administrator nothing.
  std::string address;
  if (nic_info.First()) {
    address = nic_info.GetValue("Address");
    for (const TNetworkInterface& row : nic_info.Rows()) {
      if (!row.Loopback && row.Up && !row.Address.empty()) {
        address = row.Address;
        break;
      }
    }
  }
  nic_info.SetActive(false);
  MutexLock lock(state_->Lock);
  state_->HostAddress = address;
}

void ServiceModule::LoadSettingsLocked() {
  // Both files are read completely into tables of their own first; the
  // running state changes only once everything has been read. A missing
  // file keeps the table's columns, without rows.
  CsvTable conf = state_->ConfTable;
  CsvTable env = state_->EnvTable;
  conf.ClearRows();
  env.ClearRows();
  conf.LoadFailed = env.LoadFailed = false;
  LoadSettingsFile(conf, state_->BasePath + kWatchListFile);
  LoadSettingsFile(env, state_->BasePath + kEnvFile);
  EnsureEnvDefaults(env);
  std::vector<SettingsProblem> env_problems = CheckEnvSettings(env, state_->BasePath + kEnvFile);
  if (!env_problems.empty()) throw SettingsError(env_problems.front().Format());
  ReadWatchList(conf, state_->Watches, state_->BasePath + kWatchListFile);  // all or nothing
  state_->ConfTable = std::move(conf);
  state_->EnvTable = std::move(env);
}

void ServiceModule::ApplyEnvSettingsLocked() {
  state_->AdminUserId = state_->EnvTable.GetValue("UserID");
  state_->AdminPassword = state_->EnvTable.GetValue("Password");
  state_->Log.SetKeepDays(LogKeepDaysOf(state_->EnvTable));
}

void ServiceModule::DataModuleCreate() {
  std::string base = BaseDirectoryOf(DaemonApplication::ExecutablePath());
  state_ = std::make_unique<ServiceState>(base, SystemdLink::JournalMirror());
  notifier_ = std::make_unique<Notifier>(state_->Log);
  MailQueue::Options mail_options;
  mail_options.SpoolDirectory = base + kSpoolDirectory;
  mail_queue_ = std::make_unique<MailQueue>(
      state_->Log, std::move(mail_options),
      [this](const NotifyRequest& request) { return notifier_->Send(request); },
      [this] { notifier_->Cancel(); });
  // The mails a stop or a crash left in the spool go out again.
  mail_queue_->Start();
  try {
    // Saves that a kill interrupted leave their temporary files; one may
    // hold the login password.
    const std::string data_dir = base + "./data";
    if (int removed = RemoveLeftTemporaryFiles(data_dir)) {
      LogLifecycle(kEventInformation, "Removed " + std::to_string(removed) +
                                          " temporary file(s) left by interrupted saves in " +
                                          data_dir + "/.");
    }
    {
      MutexLock lock(state_->Lock);
      state_->WatchingActive = true;
      for (CsvTable* table : {&state_->ConfTable, &state_->EnvTable}) {
        table->Separator = ",";
        table->QuoteChar = "\"";
      }
      LoadSettingsLocked();
      ApplyEnvSettingsLocked();
      state_->SettingsLoaded = true;
    }
    StartHttpServer();
    StartUdpServer();
    ReadHostAddress();
    StartWatchTimer();
    try {
      dispatcher_->WarnWhenLoginMissing();
    } catch (const EventLogError& e) {
      SayLogFailed(e);  // the warning went to standard output
    }
    LogLifecycle(kEventServiceStarted, "ScanLantern Service Start.");
  } catch (const std::exception& e) {
    std::cout << "Error WatchFileServiceCreate.\n" << e.what() << "\n" << std::flush;
    failed_.store(true);
    LogLifecycle(kEventStartStopFailure, std::string("WatchFileServiceCreate.\n") + e.what());
    if (watch_timer_) watch_timer_->SetEnabled(false);
    app_.Stop();
  }
}

void ServiceModule::LogLifecycle(int32_t code, const std::string& detail) {
  try {
    state_->Log.LogEvent(code, detail);
  } catch (const EventLogError& e) {
    SayLogFailed(e);
  }
}

void ServiceModule::SayLogFailed(const EventLogError& e) {
  std::cerr << "ScanLanternService: the event log cannot be written; the service goes on without "
               "this entry.\n"
            << e.what() << "\n"
            << std::flush;
}

std::string ServiceModule::ReloadSettingsLocked() {
  try {
    LoadSettingsLocked();
    ApplyEnvSettingsLocked();
    return std::string();
  } catch (const std::exception& e) {
    // The service goes on with the settings it had. Neither file was taken
    // in, so the stop must not write over what a person put there.
    state_->ConfTable.LoadFailed = true;
    state_->EnvTable.LoadFailed = true;
    std::string reason = e.what();
    std::cout << "Error ScanLanternServiceReload.\n" << reason << "\n" << std::flush;
    try {
      state_->Log.LogEvent(kEventStartStopFailure, "ScanLanternServiceReload.\n" + reason);
    } catch (const std::exception& log_error) {
      reason += "\n";
      reason += log_error.what();
    }
    return reason;
  }
}

void ServiceModule::DataModuleDestroy() {
  if (!state_) return;
  SystemdLink::NotifyStopping();
  try {
    // No request may change the settings after they are saved: a change
    // confirmed to a browser or a console must be in the files. Requests
    // in progress get the server's TerminateWaitTime to finish; what still
    // runs after it is cut off from its client and cannot confirm anything,
    // so the settings are saved in any case.
    std::string cut_off;
    if (http_server_) {
      try {
        http_server_->SetActive(false);
      } catch (const std::exception& e) {
        cut_off = e.what();  // logged once the settings are safe
      }
    }
    {
      MutexLock lock(state_->Lock);
      // A file whose last load failed keeps its content (skip_failed_loads).
      if (state_->SettingsLoaded) {
        SaveWatchList(state_->Watches, state_->ConfTable, state_->EnvTable, state_->BasePath, true);
      }
    }
    if (!cut_off.empty()) LogLifecycle(kEventInformation, "DataModuleDestroy.\n" + cut_off);
    if (udp_server_) udp_server_->SetActive(false);
    if (mail_queue_) mail_queue_->Stop();  // at most 5 s for the mail in progress
    LogLifecycle(kEventServiceStopped, "ScanLantern Service Stop.");
  } catch (const std::exception& e) {
    failed_.store(true);
    app_.Stop();
    LogLifecycle(kEventSystemError, std::string("DataModuleDestroy.\n") + e.what());
  }
}

}  // namespace sl
