// AdminPages: what the web administration does to the service state.
//
// The tag handler of the page templates (PagWatchHTMLTag), the watch-list
// actions behind the add and modify/delete forms, the save of the two mail
// settings, and the settings text that the management console reads and
// posts back. The request's decoded parameters are passed to the methods
// that read them. Every method that touches the service state requires the
// caller to hold ServiceState::Lock for its whole run (checked by clang); the
// class itself takes no lock and keeps no state of its own.
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
#include <vector>

#include "core/thread_annotations.h"
#include "settings/service_state.h"

namespace sl {

// An error of an administration action; what() is the message text.
class AdminError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The decoded parameters of a request, "name=value" each; a parameter is
// read by name without regard to letter case, a missing one reads as "".
using RequestParams = std::vector<std::string>;

class AdminPages {
 public:
  explicit AdminPages(ServiceState& state);

  // Replacement text of a template tag; empty for names it does not know.
  // Throws SettingsError when "ModDelWatchSearchCount" finds no valid count.
  std::string PagWatchHTMLTag(const std::string& tag, const RequestParams& params) const
      REQUIRES(state_.Lock);
  // True for the tags whose replacement is markup the pages make themselves
  // (the list's rows, the options of a menu); every other tag is replaced
  // by a stored or posted value escaped for HTML.
  static bool AnswersWithMarkup(const std::string& tag);
  // The number (from 1) of the stored entry whose modify button was
  // pressed ("ModDel"), or 0 when the parameter names none of the list.
  int32_t PressedRow(const RequestParams& params) const REQUIRES(state_.Lock);

  // "/AddWatch.cgi": appends an entry built from the posted fields. False,
  // with the table unchanged and "Error AddWatchFile." and the reason on
  // standard output, when the watched file or the command does not exist,
  // the count is not an integer or the entry's regular expression does not
  // compile; the error page shows the reason ("WatchRefusal").
  bool AddWatchEntry(const RequestParams& params) REQUIRES(state_.Lock);

  // "/ModDelWatch.cgi": modifies ("Mod...") or deletes ("Del...") the entry
  // numbered "No" (from 1). False, with the table unchanged, for a number
  // outside the table, a missing file or command, a count that is not an
  // integer, or a regular expression that does not compile (the reason for
  // the error page as for an add). Any other button value changes nothing
  // and succeeds.
  bool ChangeWatchEntry(const RequestParams& params) REQUIRES(state_.Lock);

  // "/EnvSaveSetting.cgi": stores "SMTPServer" and "FromMailAddress" (and
  // the relay fields) in the environment table; the next mail queued takes
  // them from there.
  void SaveEnvSettings(const RequestParams& params) REQUIRES(state_.Lock);

  // "/SaveSetting.cgi": writes the watch table and the environment table to
  // the two settings files.
  void SaveSettings() REQUIRES(state_.Lock);

  // "/GetWatchSetting.cgi": one quoted line per watch entry, the mail
  // settings line and the path of today's event log.
  std::string BuildSettingsText() const REQUIRES(state_.Lock);

  // "/PostWatchSetting.cgi": replaces the watch list and the four mail cells
  // by the posted settings text, rebuilds the watch table and writes both
  // settings files. All or nothing: a line with too few fields throws
  // AdminError "List index out of bounds (n)", a bad count throws
  // SettingsError, and in both cases nothing has changed.
  void ApplyPostedSettings(std::string_view body) REQUIRES(state_.Lock);

  // For a caller that holds the service lock through its own reference to
  // the same ServiceState (the dispatcher): tells the analysis that the
  // lock of this object's state is held. Checks nothing at run time.
  void AssertLockHeld() const ASSERT_CAPABILITY(state_.Lock) {}

  // The Shift_JIS label of the modify/delete button of row n.
  static std::string ButtonLabel(int row);

 private:
  // The row number of the pressed modify/delete button ("ModDel").
  static std::string RowKey(const RequestParams& params);
  static std::string CountOptions(int32_t selected);
  std::string WatchListRows() const REQUIRES(state_.Lock);

  ServiceState& state_;
  // Why the last add or change was refused, for its error page
  // ("WatchRefusal").
  std::string refusal_ GUARDED_BY(state_.Lock);
};

}  // namespace sl

#endif
