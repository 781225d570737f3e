// scanlantern-init BASE: prepares the state of an installation below BASE,
// the part of an install that is not a plain copy of files. Run by the
// install step and by the Debian package's postinst.
//   BASE/data (mode 0700) and BASE/log (mode 0750): created when missing,
//     given these modes on every run;
//   BASE/data/ScanLantern.conf: an empty watch list (the header line);
//   BASE/data/env.csv: the login "admin" with a fresh random password,
//     empty mail settings and the default subject and body templates.
// A settings file is written only where none exists, so an upgrade keeps
// both byte for byte. Each is written whole into a private temporary file
// (mode 0600, umask 077) and linked into place, so nobody sees a partial
// file and an existing one is never replaced. The password comes from the
// kernel's random source and is printed once on standard output; it never
// appears on a command line or in the environment.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include "core/unique_fd.h"
#include "settings/csv_table.h"
#include "settings/settings_files.h"

namespace {

constexpr char kUser[] = "admin";
constexpr size_t kPasswordLength = 16;

std::runtime_error SystemError(const std::string& what, const std::string& path) {
  return std::runtime_error(what + " \"" + path + "\": " + std::strerror(errno));
}

// Letters and digits only (about 95 bits): safe in HTTP Basic credentials,
// in a CSV cell and when typed from a note.
std::string RandomPassword() {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr unsigned kSize = sizeof kAlphabet - 1;
  constexpr unsigned kLimit = 256 / kSize * kSize;  // bytes at or above are dropped: no bias
  std::string password;
  while (password.size() < kPasswordLength) {
    unsigned char bytes[32];
    ssize_t n = ::getrandom(bytes, sizeof bytes, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw SystemError("Cannot read random bytes for", "env.csv");
    }
    for (ssize_t i = 0; i < n && password.size() < kPasswordLength; ++i) {
      if (bytes[i] < kLimit) password += kAlphabet[bytes[i] % kSize];
    }
  }
  return password;
}

std::string WatchListText() {
  sl::CsvTable conf;
  conf.Separator = ",";
  for (const char* name : {"FileName", "SearchString", "SearchCount", "MailAddress", "Command"}) {
    conf.AddField(name);
  }
  return conf.Serialize();
}

std::string EnvText(const std::string& password) {
  sl::CsvTable env;
  env.Separator = ",";
  for (const char* name :
       {"UserID", "Password", "SMTPServer", "FromMailAddress", "MailSubject", "MailBody"}) {
    env.AddField(name);
  }
  sl::EnsureEnvDefaults(env);
  env.SetValue("MailSubject", sl::kInitialMailSubject);
  env.SetValue("UserID", kUser);
  env.SetValue("Password", password);
  return env.Serialize();
}

void EnsureDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    throw SystemError("Cannot create directory", path);
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw SystemError("Cannot examine", path);
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    throw SystemError("Cannot use", path);
  }
  if (::chmod(path.c_str(), mode) != 0) throw SystemError("Cannot set the mode of", path);
}

// Writes text to path unless something (a file, a link) is already there.
// True when this call created the file.
bool CreateOnce(const std::string& path, const std::string& text) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) return false;
  std::string temp = path + ".new.XXXXXX";
  sl::UniqueFd fd(::mkstemp(temp.data()));
  if (!fd.valid()) throw SystemError("Cannot create a temporary file for", path);
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd.get()) == 0;
  int write_errno = errno;
  ok = fd.Close() && ok;
  if (!ok) {
    ::unlink(temp.c_str());
    errno = write_errno;
    throw SystemError("Cannot write", path);
  }
  int linked = ::link(temp.c_str(), path.c_str());
  int link_errno = errno;
  ::unlink(temp.c_str());
  if (linked != 0) {
    if (link_errno == EEXIST) return false;  // another install got there first
    errno = link_errno;
    throw SystemError("Cannot create", path);
  }
  return true;
}

void Report(bool created, const std::string& path) {
  std::cout << (created ? "Created " : "Keeping existing ") << path << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') {
    std::cerr << "usage: scanlantern-init BASE_DIRECTORY\n";
    return 2;
  }
  ::umask(077);
  std::string base = argv[1];
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  try {
    EnsureDirectory(base + "/data", 0700);
    EnsureDirectory(base + "/log", 0750);
    std::string conf = base + "/data/ScanLantern.conf";
    Report(CreateOnce(conf, WatchListText()), conf);
    std::string env = base + "/data/env.csv";
    std::string password = RandomPassword();
    bool created = CreateOnce(env, EnvText(password));
    Report(created, env);
    if (created) {
      std::cout << "\nScanLantern web administration login (shown once): user " << kUser
                << ", password " << password << "\n"
                << "Note it down; it is kept in " << env << ", readable only by its owner.\n\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "scanlantern-init: " << e.what() << "\n";
    return 1;
  }
  std::cout << std::flush;
  return std::cout ? 0 : 1;
}
