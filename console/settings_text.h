// The watch list as the console moves it: the agent's settings text, the
// text a person edits, and the body that replaces an agent's list.
//
// The agent's text has one quoted line per watch entry (EUC-JP), the mail
// line (subject and body in Shift_JIS, the body's line breaks as TABs, the
// server, the sender and the agent's host name) and the path of the
// agent's event log of the day. A person edits it in UTF-8; the body posted
// back has the entries in EUC-JP, the mail line with its subject and body
// in Shift_JIS again, and no log path (which the agent would take for the
// mail line).
#ifndef SL_CONSOLE_SETTINGS_TEXT_H_
#define SL_CONSOLE_SETTINGS_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

#include "settings/settings_files.h"

namespace sl {

// The agent's settings text in UTF-8, every line converted from its own
// code (bytes that are no character become U+FFFD).
std::string SettingsTextToUtf8(std::string_view text);

// What the console posts for a person's text, and the problems that keep it
// from being posted.
struct PostedList {
  std::string body;
  std::vector<SettingsProblem> problems;
};

// Turns a watch list text into the body to post, and checks it as the agent
// would before it changes anything: the lines must be UTF-8 (unless raw:
// then they are taken as the agent's own bytes), there must be a mail
// line, every entry needs its five fields and the mail line four, and each
// SearchCount must be an integer. A last line that is a log path (as "get"
// writes it) is dropped. `source` names the text in the problems, whose
// rows are its lines and whose values are UTF-8.
PostedList PrepareWatchList(std::string_view text, bool raw, const std::string& source);

}  // namespace sl

#endif
