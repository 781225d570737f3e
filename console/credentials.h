// Credentials: the login the console sends to every agent (HTTP Basic).
//
// They come from the environment (SCANLANTERN_USER, SCANLANTERN_PASSWORD)
// or from a file of two lines, user and password, that only its owner may
// read or write; never from the command line, where every user of the host
// could see them.
#ifndef SL_CONSOLE_CREDENTIALS_H_
#define SL_CONSOLE_CREDENTIALS_H_

#include <sys/types.h>

#include <string>
#include <string_view>

namespace sl {

struct Credentials {
  std::string user;
  std::string password;
};

// Why a credentials file of this mode is refused, or empty when it may be
// used: any permission for the group or others (stricter than 0600 is
// fine).
std::string CredentialsModeProblem(mode_t mode);

// Two lines, the user and the password (LF or CR LF; a last line end is
// optional). False with the reason for anything else.
bool ParseCredentialsText(std::string_view text, Credentials* out, std::string* error);

// The credentials from `file` when it is not empty, else from the
// environment. False with the reason when there are none or the file is
// refused (its mode, its type, its size, its form).
bool LoadCredentials(const std::string& file, Credentials* out, std::string* error);

}  // namespace sl

#endif
