// Test helpers of the web administration: a throw-away installation
// directory with data/, log/ and www/, and the service state on top of it.
#ifndef SL_WEB_ADMIN_TEST_UTIL_H_
#define SL_WEB_ADMIN_TEST_UTIL_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "service/service_state.h"
#include "settings/settings_files.h"

namespace sl::testing {

inline constexpr char kConfHeader[] =
    "\"FileName\",\"SearchString\",\"SearchCount\",\"MailAddress\",\"Command\"\n";
inline constexpr char kEnvHeader[] =
    "\"UserID\",\"Password\",\"SMTPServer\",\"FromMailAddress\",\"MailSubject\",\"MailBody\"\n";

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A temporary installation: BasePath (ending in "/") with data/, log/ and
// www/, removed again by the destructor.
class TempInstall {
 public:
  TempInstall() {
    std::string templ = (std::filesystem::temp_directory_path() / "sl_admin_XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = templ + "/";
    for (const char* dir : {"data", "log", "www"}) std::filesystem::create_directory(base_ + dir);
  }
  ~TempInstall() {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }
  TempInstall(const TempInstall&) = delete;
  TempInstall& operator=(const TempInstall&) = delete;

  const std::string& base() const { return base_; }
  std::string Path(const std::string& rel) const { return base_ + rel; }

 private:
  std::string base_;
};

// Loads the settings files below `base` into a new state, as the service
// start does.
inline std::unique_ptr<ServiceState> LoadState(const std::string& base) {
  auto state = std::make_unique<ServiceState>(base);
  MutexLock lock(state->Lock);
  state->ConfTable.Separator = state->EnvTable.Separator = ",";
  state->ConfTable.LoadFromFile(base + kWatchListFile);
  state->EnvTable.LoadFromFile(base + kEnvFile);
  EnsureEnvDefaults(state->EnvTable);
  ReadWatchList(state->ConfTable, state->Watches);
  state->AdminUserId = state->EnvTable.GetValue("UserID");
  state->AdminPassword = state->EnvTable.GetValue("Password");
  return state;
}

}  // namespace sl::testing

#endif
