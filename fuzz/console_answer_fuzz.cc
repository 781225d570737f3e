// Fuzz target: what the console reads from the network and from a person.
//
// The input is an agent's answer head, a discovery answer and a watch-list
// text at once (split by the data provider). ParseAnswerHead must accept
// only what it promises (a status from 100 to 599, a length within the
// bound) and never crash; a host name taken from a discovery answer, and
// any text made terminal-safe, must hold no control byte; the settings
// text conversions and PrepareWatchList must never crash, and a list they
// find no problem in must have a body to post.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "console/discovery_client.h"
#include "console/http_client.h"
#include "console/settings_text.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "console_answer_fuzz: %s\n", what);
    std::abort();
  }
}

bool TerminalClean(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string head = in.ConsumeRandomLengthString(4096);
  const std::string datagram = in.ConsumeRandomLengthString(600);
  const bool raw = in.ConsumeBool();
  const std::string list = in.ConsumeRemainingBytesAsString();

  sl::HttpAnswer answer;
  int64_t length = 0;
  std::string error;
  if (sl::ParseAnswerHead(head, 1 << 20, &answer, &length, &error)) {
    Check(answer.status >= 100 && answer.status <= 599, "status out of range");
    Check(length >= -1 && length <= (1 << 20), "length beyond the bound");
  } else {
    Check(!error.empty(), "refused without a reason");
  }

  if (auto host = sl::HostNameOfAnswer(datagram)) {
    Check(TerminalClean(*host), "control byte in a host name");
  }
  Check(TerminalClean(sl::TerminalSafe(datagram)), "control byte after TerminalSafe");

  sl::SettingsTextToUtf8(list);
  sl::PostedList posted = sl::PrepareWatchList(list, raw, "list");
  if (posted.problems.empty()) Check(!posted.body.empty(), "nothing to post for a good list");
  return 0;
}
