// Fuzz target: the settings text a management console posts
// (AdminPages::ApplyPostedSettings).
//
// Each input is posted to a service state loaded from one watch row and the
// mail settings, in a throw-away installation below /dev/shm (or the
// temporary directory): the settings files are written only there. Its
// folder files/ holds a log file, a script, a folder and a FIFO; every "~/"
// of an input stands for that folder, so that posted file names meet real
// entries. Posted file names are only opened for reading; inputs that name
// anything below dev/, proc/, sys/ or run/ are skipped all the same.
//
// A post either fails with AdminError or SettingsError and changes nothing
// (tables, watch table, SMTP settings, files), or it replaces the watch
// list and the four mail cells by the posted lines and fields, and the two
// files then hold exactly the saved tables and load back to equal tables.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/files.h"
#include "core/jconvert.h"
#include "core/text.h"
#include "settings/service_state.h"
#include "settings/settings_files.h"
#include "web/admin_pages.h"
#include "web/admin_text.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "posted_settings_fuzz: %s\n", what);
    std::abort();
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

constexpr char kConfHeader[] =
    "\"FileName\",\"SearchString\",\"SearchCount\",\"MailAddress\",\"Command\"\n";
constexpr char kEnvHeader[] =
    "\"UserID\",\"Password\",\"SMTPServer\",\"FromMailAddress\",\"MailSubject\",\"MailBody\"\n";

// The installation: BasePath with data/ and log/, and files/ as the working
// directory. Removed at exit.
class Install {
 public:
  Install() {
    std::filesystem::path root = "/dev/shm";
    if (!std::filesystem::is_directory(root) || ::access(root.c_str(), W_OK) != 0) {
      root = std::filesystem::temp_directory_path();
    }
    std::string templ = (root / "sl_posted_settings_fuzz_XXXXXX").string();
    Check(::mkdtemp(templ.data()) != nullptr, "mkdtemp failed");
    base_ = templ + "/";
    for (const char* dir : {"data", "log", "files", "files/folder"})
      std::filesystem::create_directory(base_ + dir);
    std::ofstream(base_ + "files/app.log", std::ios::binary) << "2026/12/07 09:00:00 started\n";
    std::ofstream(base_ + "files/notify.sh", std::ios::binary) << "#!/bin/sh\n";
    ::mkfifo((base_ + "files/fifo").c_str(), 0600);
  }
  ~Install() {
    std::error_code ec;
    std::filesystem::remove_all(base_, ec);
  }
  const std::string& base() const { return base_; }
  std::string files() const { return base_ + "files/"; }

 private:
  std::string base_;
};

Install& TheInstall() {
  static Install install;
  return install;
}

std::unique_ptr<sl::ServiceState> LoadedState(const Install& install) {
  auto state = std::make_unique<sl::ServiceState>(install.base());
  sl::MutexLock lock(state->Lock);
  state->ConfTable.Separator = state->EnvTable.Separator = ",";
  state->ConfTable.LoadFromBytes(std::string(kConfHeader) + "\"" + install.files() +
                                 "app.log\",\"ERROR\",\"2\",\"ops@example.com\",\"" +
                                 install.files() + "notify.sh\"\n");
  state->EnvTable.LoadFromBytes(std::string(kEnvHeader) +
                                "\"admin\",\"secret\",\"mail.example.com\",\"scan@example.com\","
                                "\"Subject\",\"line1\n\xa5\xa8\xa5\xe9\xa1\xbc\"\n");
  sl::ReadWatchList(state->ConfTable, state->Watches);
  return state;
}

bool NamesSystemFolders(std::string_view body) {
  for (const char* dir : {"dev/", "proc/", "sys/", "run/"}) {
    if (body.find(dir) != std::string_view::npos) return true;
  }
  return false;
}

std::string ReplaceAll(std::string_view text, std::string_view what, const std::string& by) {
  std::string out;
  for (size_t pos = 0;;) {
    size_t hit = text.find(what, pos);
    out.append(text.substr(pos, hit - pos));
    if (hit == std::string_view::npos) return out;
    out += by;
    pos = hit + what.size();
  }
}

std::string Replace(std::string text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (NamesSystemFolders(input)) return -1;  // not kept in the corpus
  const Install& install = TheInstall();
  const std::string body = ReplaceAll(input, "~/", install.files());
  const std::string& base = install.base();
  const std::string conf_path = base + sl::kWatchListFile;
  const std::string env_path = base + sl::kEnvFile;

  std::unique_ptr<sl::ServiceState> state = LoadedState(install);
  sl::AdminPages pages(*state);
  sl::MutexLock lock(state->Lock);  // as the dispatcher holds it around a post
  pages.AssertLockHeld();

  const std::string conf_before = state->ConfTable.Serialize();
  const std::string env_before = state->EnvTable.Serialize();
  const sl::WatchTable watches_before = state->Watches;
  const std::string conf_file_before = ReadFile(conf_path);
  const std::string env_file_before = ReadFile(env_path);

  bool applied = true;
  try {
    pages.ApplyPostedSettings(body);
  } catch (const sl::AdminError&) {
    applied = false;
  } catch (const sl::SettingsError&) {
    applied = false;
  }

  if (!applied) {
    Check(state->ConfTable.Serialize() == conf_before,
          "a failed post changed the watch list table");
    Check(state->EnvTable.Serialize() == env_before, "a failed post changed the environment table");
    Check(state->Watches == watches_before, "a failed post changed the watch table");
    Check(state->Watches[0]->Stream.IsOpen(), "a failed post closed a watched file");
    Check(ReadFile(conf_path) == conf_file_before && ReadFile(env_path) == env_file_before,
          "a failed post wrote a settings file");
    return 0;
  }

  // The posted lines and fields are now the settings.
  std::vector<std::vector<std::string>> lines;
  for (const std::string& line : sl::SplitLines(body)) lines.push_back(sl::SplitCommaFields(line));
  const size_t rows = lines.empty() ? 0 : lines.size() - 1;
  Check(state->ConfTable.RowCount() == static_cast<int32_t>(rows),
        "not one watch row per posted line");
  Check(state->Watches.size() == rows, "not one watch entry per posted line");
  for (size_t i = 0; i < rows; ++i) {
    const std::vector<std::string>& f = lines[i];
    const sl::TWatchFile& e = *state->Watches[i];
    Check(
        e.FileName == f[0] && e.SearchString == f[1] && e.MailAddress == f[3] && e.Command == f[4],
        "a watch entry differs from its posted line");
    Check(e.SearchCount == sl::StrToInt(f[2]), "a watch count differs from the posted one");
    Check(e.HitCount == 0, "a hit counter kept after a post");
    if (sl::FileExists(e.FileName)) {
      struct stat st;
      bool regular = ::stat(e.FileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
      Check(e.Stream.IsOpen(), "an existing watched file is not open");
      if (regular)
        Check(e.LastSize == st.st_size && e.CurrentSize == st.st_size,
              "a watched file not measured");
    }
  }
  if (lines.empty()) {
    Check(state->EnvTable.Serialize() == env_before, "an empty post changed the environment");
  } else {
    const std::vector<std::string>& f = lines.back();
    const sl::CsvTable env = state->EnvTable;  // a copy: the analysis cannot follow a reference
    Check(env.GetValue("MailSubject") == sl::SjisToEuc(f[0]),
          "the mail subject differs from the post");
    Check(env.GetValue("MailBody") == sl::SjisToEuc(Replace(f[1], '\t', '\n')),
          "the mail body differs from the post");
    Check(env.GetValue("SMTPServer") == f[2] && env.GetValue("FromMailAddress") == f[3],
          "the mail server or sender differs from the post");
    Check(env.GetValue("UserID") == "admin" && env.GetValue("Password") == "secret",
          "a post changed the login");
  }

  // Both files hold the tables and load back to them.
  const std::string conf_file = ReadFile(conf_path);
  const std::string env_file = ReadFile(env_path);
  Check(conf_file == state->ConfTable.Serialize(), "the watch list file is not the saved table");
  Check(env_file == state->EnvTable.Serialize(), "the environment file is not the saved table");
  sl::CsvTable conf_back, env_back;
  conf_back.Separator = env_back.Separator = ",";
  conf_back.LoadFromBytes(conf_file);
  env_back.LoadFromBytes(env_file);
  Check(conf_back.FieldNames() == state->ConfTable.FieldNames() &&
            conf_back.Rows() == state->ConfTable.Rows(),
        "the saved watch list does not load back");
  Check(env_back.FieldNames() == state->EnvTable.FieldNames() &&
            env_back.Rows() == state->EnvTable.Rows(),
        "the saved environment does not load back");
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(base + "data")) {
    (void)entry;
    ++entries;
  }
  Check(entries == 2, "the data folder holds more than the two settings files");
  return 0;
}
