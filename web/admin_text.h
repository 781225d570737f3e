// Small byte-string helpers of the web administration: reading a request
// parameter, escaping values for HTML, splitting the console's settings
// text and textual path expansion.
// All functions are pure (ExpandPath reads the working directory for a
// relative path) and work on bytes; no locale is consulted.
#ifndef SL_WEB_ADMIN_TEXT_H_
#define SL_WEB_ADMIN_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

#include "core/files.h"
#include "core/text.h"

namespace sl {

// The value after the first "=" of the first "name=value" line whose name
// equals `name` without regard to ASCII letter case; empty when none does.
std::string ParamValue(const std::vector<std::string>& params, std::string_view name);

// & < > and " become &amp; &lt; &gt; &quot;. Safe for Shift_JIS text, whose
// trail bytes never take these values.
std::string HtmlEscape(std::string_view text);

// Splits one line of comma-separated fields: blanks (bytes 1 to 32) around
// fields are skipped; a field that starts with a double quote runs to the
// closing quote ("" inside stands for one quote); any other field ends at a
// comma or a blank; a comma at the very end adds an empty field. A NUL byte
// ends the line.
std::vector<std::string> SplitCommaFields(std::string_view line);

// Makes path absolute (a relative path is taken from the working directory)
// and resolves "." and ".." components and repeated "/" textually, without
// following symbolic links. A trailing "/" is kept.
std::string ExpandPath(const std::string& path);

}  // namespace sl

#endif
