#include "service/service_module.h"

#include <cstdio>
#include <exception>
#include <iostream>

#include "settings/settings_files.h"

namespace sl {

ServiceModule::ServiceModule(DaemonApplication& app) : app_(app) {}

ServiceModule::~ServiceModule() = default;

void ServiceModule::LoadSettingsLocked() {
  ServiceState& s = *state_;
  s.ConfTable.LoadFromFile(s.BasePath + kWatchListFile);
  s.EnvTable.LoadFromFile(s.BasePath + kEnvFile);
  EnsureEnvDefaults(s.EnvTable);
  ReadWatchList(s.ConfTable, s.Watches);
}

void ServiceModule::ApplyEnvSettingsLocked() {
  ServiceState& s = *state_;
  s.AdminUserId = s.EnvTable.GetValue("UserID");
  s.AdminPassword = s.EnvTable.GetValue("Password");
}

void ServiceModule::DataModuleCreate() {
  std::string base = BaseDirectoryOf(DaemonApplication::ExecutablePath());
  state_ = std::make_unique<ServiceState>(base);
  ServiceState& s = *state_;
  try {
    {
      std::lock_guard<std::mutex> lock(s.Lock);
      s.WatchingActive = true;
      s.RequestParams.clear();
      for (CsvTable* table : {&s.ConfTable, &s.EnvTable}) {
        table->Separator = ",";
        table->QuoteChar = "\"";
      }
      LoadSettingsLocked();
      ApplyEnvSettingsLocked();
      s.SettingsLoaded = true;
    }
    s.Log.LogEvent(kEventServiceStarted, "ScanLantern Service Start.");
  } catch (const std::exception& e) {
    std::cout << "Error WatchFileServiceCreate.\n" << e.what() << "\n" << std::flush;
    failed_.store(true);
    app_.Stop();
    s.Log.LogEvent(kEventStartStopFailure, std::string("WatchFileServiceCreate.\n") + e.what());
  }
}

void ServiceModule::ReloadSettingsLocked() {
  ServiceState& s = *state_;
  try {
    s.ConfTable.ClearRows();
    s.EnvTable.ClearRows();
    LoadSettingsLocked();
    ApplyEnvSettingsLocked();
  } catch (const std::exception& e) {
    std::cout << "Error ScanLanternServiceReload.\n" << e.what() << "\n" << std::flush;
    failed_.store(true);
    app_.Stop();
    s.Log.LogEvent(kEventStartStopFailure, std::string("ScanLanternServiceReload.\n") + e.what());
  }
}

void ServiceModule::DataModuleDestroy() {
  if (!state_) return;
  ServiceState& s = *state_;
  try {
    {
      std::lock_guard<std::mutex> lock(s.Lock);
      if (s.SettingsLoaded) SaveWatchList(s.Watches, s.ConfTable, s.EnvTable, s.BasePath);
    }
    s.Log.LogEvent(kEventServiceStopped, "ScanLantern Service Stop.");
  } catch (const std::exception& e) {
    failed_.store(true);
    app_.Stop();
    s.Log.LogEvent(kEventSystemError, std::string("DataModuleDestroy.\n") + e.what());
  }
}

}  // namespace sl
