#include "web/watch_form.h"

#include <gtest/gtest.h>

#include "core/jconvert.h"
#include "testing/test_support.h"
#include "web/admin_texts_ja.h"

namespace sl {
namespace {

// One table of posted forms: the field each is refused on and the start of
// the reason, or no field when the form is accepted.
TEST(WatchFormTest, ChecksEachFieldAndSaysWhyInJapanese) {
  testing::TempDir dir("sl_form");
  const std::string log = dir.path() + "/app.log";
  const std::string cmd = dir.path() + "/notify.sh";
  for (const std::string& f : {log, cmd}) testing::WriteFile(f, "x\n");
  const std::string ok_file = "HidWatchFileName=" + log;
  struct Case {
    std::vector<std::string> params;
    const char* field;  // nullptr: accepted
    std::string reason;
  };
  const Case cases[] = {
      {{ok_file, "WatchSearchCount=3", "WatchMailAddress=ops@example.com, \"Ops\" <b@[10.0.0.1]>",
        "HidWatchCommand=" + cmd},
       nullptr,
       ""},
      {{"HidWatchFileName=", "WatchSearchCount=1"}, "HidWatchFileName", ja::kFormFileEmpty},
      {{"HidWatchFileName=" + dir.path() + "/none.log", "WatchSearchCount=1"},
       "HidWatchFileName",
       std::string(ja::kFormFileMissing) + " " + dir.path() + "/none.log"},
      {{"HidWatchFileName=" + dir.path(), "WatchSearchCount=1"},
       "HidWatchFileName",
       std::string(ja::kFormNotRegular) + " " + dir.path()},
      {{"HidWatchFileName=/dev/null", "WatchSearchCount=1"},
       "HidWatchFileName",
       ja::kFormNotRegular},
      {{ok_file, "WatchSearchCount=abc"}, "WatchSearchCount", ja::kFormCountBad},
      {{ok_file, "WatchSearchCount=0"}, "WatchSearchCount", ja::kFormCountBad},
      {{ok_file, "WatchSearchCount=-3"}, "WatchSearchCount", ja::kFormCountBad},
      {{ok_file, "WatchSearchCount="}, "WatchSearchCount", ja::kFormCountBad},
      {{ok_file, "WatchSearchCount=1", "WatchMailAddress=not-an-address, ops@@example"},
       "WatchMailAddress",
       std::string(ja::kFormNotAddress) + " not-an-address"},
      {{ok_file, "WatchSearchCount=1", "WatchMailAddress=ops@example.com; a b@c"},
       "WatchMailAddress",
       std::string(ja::kFormNotAddress) + " a b@c"},
      {{ok_file, "WatchSearchCount=1", "WatchMailAddress=ops@@example"},
       "WatchMailAddress",
       ja::kFormNotAddress},
      {{ok_file, "WatchSearchCount=1", "HidWatchCommand=" + cmd + " --now"},
       "HidWatchCommand",
       ja::kFormCommandMissing},
      {{ok_file, "WatchSearchCount=1", "HidWatchCommand=" + dir.path()},
       "HidWatchCommand",
       ja::kFormNotRegular},
  };
  for (const Case& c : cases) {
    const WatchForm form = WatchForm::Read(c.params);
    const FormReasons reasons = form.Check();
    const std::string label = c.params[0] + " " + c.params[1];
    if (!c.field) {
      EXPECT_TRUE(reasons.empty()) << label;
      EXPECT_EQ(form.SearchCount(), 3);
      continue;
    }
    EXPECT_EQ(reasons.For(c.field).rfind(c.reason, 0), 0u) << label << ": " << c.field;
  }

  // The form is converted from Shift_JIS once, and keeps what was typed.
  const WatchForm typed = WatchForm::Read({"hidwatchfilename=" + dir.path() + "/none.log",
                                           "WatchSearchString=\x83\x47\x83\x89\x81\x5B",
                                           "WatchSearchCount=abc", "No=2", "ModDel=Mod\x8F\x43"});
  EXPECT_EQ(typed.SearchString, "\xA5\xA8\xA5\xE9\xA1\xBC");
  EXPECT_EQ(typed.Field("WatchSearchCount").value_or(""), "abc");
  EXPECT_EQ(typed.Action, "Mod");
  EXPECT_EQ(typed.No, "2");
  EXPECT_FALSE(typed.HasRules);  // a client without the section keeps the entry's rules

  const WatchForm rules = WatchForm::Read({"MatchMode=words", "ExcludeString=retry", "IgnoreCase=1",
                                           "Window=60", "Quiet=", "Encoding=auto"});
  WatchRules expected;
  expected.ExcludeString = "retry";
  expected.IgnoreCase = true;
  expected.Window = 60;
  EXPECT_EQ(rules.Rules(), expected);
}

TEST(WatchFormTest, MailSettingsForm) {
  struct Case {
    std::vector<std::string> params;
    const char* field;  // nullptr: accepted
  };
  const Case cases[] = {
      {{"SMTPServer=mail.example.jp", "FromMailAddress=\"Ops\" <ops@example.jp>", "SMTPPort=587",
        "SMTPSecurity=starttls"},
       nullptr},
      {{"FromMailAddress="}, nullptr},  // no sender: the mail is not sent
      {{"FromMailAddress=not-an-address"}, "FromMailAddress"},
      {{"FromMailAddress=a@example.jp, b@example.jp"}, "FromMailAddress"},
      {{"SMTPPort=abc"}, "SMTPPort"},
      {{"SMTPPort=0"}, "SMTPPort"},
      {{"SMTPPort=70000"}, "SMTPPort"},
      {{"SMTPPort=65535"}, nullptr},
      {{"SMTPSecurity=ssl3"}, "SMTPSecurity"},
  };
  for (const Case& c : cases) {
    const FormReasons reasons = EnvForm::Read(c.params).Check();
    if (!c.field) {
      EXPECT_TRUE(reasons.empty()) << c.params[0];
    } else {
      EXPECT_FALSE(reasons.For(c.field).empty()) << c.params[0];
    }
  }
  EXPECT_FALSE(EnvForm::Read({}).SMTPPort.has_value());  // not posted: the stored port stays
}

}  // namespace
}  // namespace sl
