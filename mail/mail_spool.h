// MailSpool: the notification mails waiting to be sent, one file each in a
// directory (data/spool/), so that a stop, a crash or a restart loses none.
//
// A mail is written like the settings files: a temporary file of mode 0600,
// fsync, rename over "<id>.mail", then the directory synced. Ids grow with
// every mail and are written with a fixed width, so the names sort in the
// order of the triggers. Load reads the directory back at a start: the
// temporary file of an interrupted write is removed, and a file that cannot
// be read back is renamed to "<name>.bad" and named in the problems, never
// deleted.
//
// A file is a line "ScanLantern mail 1", then one "Key<TAB>value" line per
// field, the value's backslash, tab, CR, LF and NUL escaped. Keys a reader
// does not know are passed over.
//
// Thread safety: Write and Remove keep no state of their own, so they may
// run on different threads for different mails (MailQueue's writer writes,
// its mail thread removes); Load runs before either.
#ifndef SL_MAIL_MAIL_SPOOL_H_
#define SL_MAIL_MAIL_SPOOL_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mail/notify_request.h"

namespace sl {

// One waiting mail as the spool keeps it.
struct SpooledMail {
  uint64_t Id = 0;
  NotifyRequest Request;
  std::string Description;  // file, words and line as the event log shows a match
  int32_t Attempts = 0;     // sends that failed for a passing reason
  std::string LastError;    // the last one's step and reply
};

class MailSpool {
 public:
  // Larger files are not read back: the spool never writes one.
  static constexpr size_t kMaxFileBytes = 4 << 20;

  explicit MailSpool(std::string directory);
  MailSpool(const MailSpool&) = delete;
  MailSpool& operator=(const MailSpool&) = delete;

  struct Loaded {
    std::vector<SpooledMail> Mails;     // in id order
    std::vector<std::string> Problems;  // one text per file set aside
  };
  // Creates the directory (mode 0700) when it is missing and reads every
  // mail in it. Throws std::system_error when the directory cannot be made
  // or listed.
  Loaded Load();

  // Writes a mail, or writes it anew. Throws std::system_error naming the
  // path when the disk does not take it; the previous file stays then.
  void Write(const SpooledMail& mail);
  // Removes a mail's file; one that is already gone is no error.
  void Remove(uint64_t id);

  const std::string& Directory() const { return directory_; }

  static std::string Encode(const SpooledMail& mail);
  // False when the text is not a spooled mail.
  static bool Decode(std::string_view text, SpooledMail& mail);

 private:
  std::string PathOf(uint64_t id) const;

  const std::string directory_;
};

}  // namespace sl

#endif
