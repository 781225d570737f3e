// Prints the environment settings file of a new installation: the header,
// and one row with the given login, empty mail settings and the default
// subject and body templates. Used by the install step.
#include <iostream>

#include "settings/csv_table.h"
#include "settings/settings_files.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: initial_env USER PASSWORD\n";
    return 2;
  }
  sl::CsvTable env;
  env.Separator = ",";
  for (const char* name :
       {"UserID", "Password", "SMTPServer", "FromMailAddress", "MailSubject", "MailBody"}) {
    env.AddField(name);
  }
  sl::EnsureEnvDefaults(env);
  env.SetValue("UserID", argv[1]);
  env.SetValue("Password", argv[2]);
  std::cout << env.Serialize();
  return std::cout ? 0 : 1;
}
