#include "console/credentials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/unique_fd.h"

namespace sl {

namespace {

// A user and a password with room to spare.
constexpr size_t kMaxCredentialsFile = 4096;

std::string OctalMode(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::string CredentialsModeProblem(mode_t mode) {
  if ((mode & 077) == 0) return std::string();
  return "its mode is " + OctalMode(mode) +
         ": others may read it; make it 0600 or stricter (chmod 600)";
}

bool ParseCredentialsText(std::string_view text, Credentials* out, std::string* error) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  size_t lf = text.find('\n');
  if (lf == std::string_view::npos || text.find('\n', lf + 1) != std::string_view::npos) {
    *error = "it must hold two lines, the user and the password";
    return false;
  }
  std::string_view user = text.substr(0, lf);
  std::string_view password = text.substr(lf + 1);
  for (std::string_view* line : {&user, &password}) {
    if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  }
  if (user.empty() || password.empty()) {
    *error = "the user or the password is empty";
    return false;
  }
  if (user.find(':') != std::string_view::npos) {
    *error = "the user holds a \":\", which HTTP Basic cannot carry";
    return false;
  }
  out->user = std::string(user);
  out->password = std::string(password);
  return true;
}

bool LoadCredentials(const std::string& file, Credentials* out, std::string* error) {
  if (file.empty()) {
    const char* user = std::getenv("SCANLANTERN_USER");
    const char* password = std::getenv("SCANLANTERN_PASSWORD");
    if (user == nullptr || password == nullptr || *user == '\0' || *password == '\0') {
      *error =
          "no credentials: set SCANLANTERN_USER and SCANLANTERN_PASSWORD, or give "
          "--credentials FILE";
      return false;
    }
    return ParseCredentialsText(std::string(user) + "\n" + password, out, error);
  }
  const std::string where = "credentials file " + file + ": ";
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    *error = where + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = where + "not a regular file";
    return false;
  }
  std::string problem = CredentialsModeProblem(st.st_mode);
  if (!problem.empty()) {
    *error = where + "refused: " + problem;
    return false;
  }
  if (static_cast<size_t>(st.st_size) > kMaxCredentialsFile) {
    *error = where + "larger than " + std::to_string(kMaxCredentialsFile) + " bytes";
    return false;
  }
  std::string text(kMaxCredentialsFile + 1, '\0');
  size_t got = 0;
  for (ssize_t n;
       got < text.size() && (n = ::read(fd.get(), &text[got], text.size() - got)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = where + std::strerror(errno);
      return false;
    }
    got += static_cast<size_t>(n);
  }
  if (got > kMaxCredentialsFile) {
    *error = where + "larger than " + std::to_string(kMaxCredentialsFile) + " bytes";
    return false;
  }
  text.resize(got);
  if (!ParseCredentialsText(text, out, error)) {
    *error = where + *error;
    return false;
  }
  return true;
}

}  // namespace sl
