// AdminPages: what the web administration does to the service state.
//
// The tag handler of the page templates (PagWatchHTMLTag), the watch-list
// actions behind the add and modify/delete forms, the save of the two mail
// settings, and the settings text that the management console reads and
// posts back. Every method reads the request only through
// ServiceState::RequestParams and expects the caller to hold
// ServiceState::Lock for its whole run; the class itself takes no lock and
// keeps no state of its own.
//
// Text conventions: the service stores EUC-JP, the pages are Shift_JIS.
// Stored values are shown converted to Shift_JIS and HTML-escaped; values
// posted from the pages are converted back to EUC-JP before they are stored.
// The console's settings text carries the watch rows as stored and the mail
// subject and body as Shift_JIS, and a post of that text is converted back.
#ifndef SL_WEB_ADMIN_PAGES_H_
#define SL_WEB_ADMIN_PAGES_H_

#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "settings/service_state.h"

namespace sl {

// An error of an administration action; what() is the message text.
class AdminError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AdminPages {
 public:
  explicit AdminPages(ServiceState& state);

  // Replacement text of a template tag; empty for names it does not know.
  // Throws SettingsError when "ModDelWatchSearchCount" finds no valid count.
  std::string PagWatchHTMLTag(const std::string& tag) const;

  // "/AddWatch.cgi": appends an entry built from the posted fields. False,
  // with the table unchanged and "Error AddWatchFile." and the reason on
  // standard output, when the watched file or the command does not exist or
  // the count is not an integer.
  bool AddWatchEntry();

  // "/ModDelWatch.cgi": modifies ("Mod...") or deletes ("Del...") the entry
  // numbered "No" (from 1). False, with the table unchanged, for a number
  // outside the table, a missing file or command, or a count that is not an
  // integer. Any other button value changes nothing and succeeds.
  bool ChangeWatchEntry();

  // "/EnvSaveSetting.cgi": stores "SMTPServer" and "FromMailAddress" (and
  // the relay fields) in the environment table; the next mail queued takes
  // them from there.
  void SaveEnvSettings();

  // "/SaveSetting.cgi": writes the watch table and the environment table to
  // the two settings files.
  void SaveSettings();

  // "/GetWatchSetting.cgi": one quoted line per watch entry, the mail
  // settings line and the path of today's event log.
  std::string BuildSettingsText() const;

  // "/PostWatchSetting.cgi": replaces the watch list and the four mail cells
  // by the posted settings text, rebuilds the watch table and writes both
  // settings files. All or nothing: a line with too few fields throws
  // AdminError "List index out of bounds (n)", a bad count throws
  // SettingsError, and in both cases nothing has changed.
  void ApplyPostedSettings(std::string_view body);

  // The Shift_JIS label of the modify/delete button of row n.
  static std::string ButtonLabel(int row);

 private:
  std::string Param(std::string_view name) const;
  std::string RowKey() const;
  std::string WatchListRows() const;
  std::string CountOptions() const;

  ServiceState& state_;
};

}  // namespace sl

#endif
