// Test helpers of the web administration: a throw-away installation
// directory with data/, log/ and www/, and the service state on top of it.
#ifndef SL_WEB_ADMIN_TEST_UTIL_H_
#define SL_WEB_ADMIN_TEST_UTIL_H_

#include <filesystem>
#include <memory>
#include <string>

#include "settings/service_state.h"
#include "settings/settings_files.h"
#include "testing/test_support.h"

namespace sl::testing {

inline constexpr char kConfHeader[] =
    "\"FileName\",\"SearchString\",\"SearchCount\",\"MailAddress\",\"Command\"\n";
inline constexpr char kEnvHeader[] =
    "\"UserID\",\"Password\",\"SMTPServer\",\"FromMailAddress\",\"MailSubject\",\"MailBody\"\n";

// A temporary installation: BasePath (ending in "/") with data/, log/ and
// www/, removed again by the destructor.
class TempInstall {
 public:
  TempInstall() : dir_("sl_admin"), base_(dir_.path() + "/") {
    for (const char* dir : {"data", "log", "www"}) std::filesystem::create_directory(base_ + dir);
  }

  const std::string& base() const { return base_; }
  std::string Path(const std::string& rel) const { return base_ + rel; }

 private:
  TempDir dir_;
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
