#include "web/admin_pages.h"

#include <gtest/gtest.h>

#include <sstream>

#include "settings/settings_files.h"
#include "web/admin_test_util.h"

namespace sl {
namespace {

using testing::kConfHeader;
using testing::kEnvHeader;
using testing::ReadFile;
using testing::WriteFile;

const std::string kLabelSjis =
    "\x8F\x43\x90\xB3/\x8D\xED\x8F\x9C";                    // the button label in Shift_JIS
const std::string kErrorEuc = "\xA5\xA8\xA5\xE9\xA1\xBC";   // a katakana word in EUC-JP
const std::string kErrorSjis = "\x83\x47\x83\x89\x81\x5B";  // the same in Shift_JIS

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class AdminPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log1_ = install_.Path("watched1.log");
    log2_ = install_.Path("watched2.log");
    cmd_ = install_.Path("notify.sh");
    WriteFile(log1_, "0123456789");
    WriteFile(log2_, "abc");
    WriteFile(cmd_, "#!/bin/sh\n");
    WriteFile(install_.Path("data/ScanLantern.conf"),
              std::string(kConfHeader) + "\"" + log1_ +
                  "\",\"ERROR\",\"2\",\"ops@example.com\",\"" + cmd_ + "\"\n\"" + log2_ + "\",\"" +
                  kErrorEuc + " disk\",\"1\",\"\",\"\"\n");
    WriteFile(install_.Path("data/env.csv"),
              std::string(kEnvHeader) +
                  "\"admin\",\"secret\",\"mail.example.com\",\"sl@example.com\","
                  "\"Subject\",\"line1\n" +
                  kErrorEuc + "\"\n");
    state_ = testing::LoadState(install_.base());
    pages_ = std::make_unique<AdminPages>(*state_);
  }

  void SetParams(RequestParams params) { params_ = std::move(params); }
  WatchTable& watches() REQUIRES(state_->Lock) { return state_->Watches; }
  std::string Snapshot(size_t i) REQUIRES(state_->Lock) {
    const TWatchFile& e = *watches()[i];
    return e.FileName + "|" + e.SearchString + "|" + std::to_string(e.SearchCount) + "|" +
           e.MailAddress + "|" + e.Command + "|" + std::to_string(e.LastSize) + "|" +
           std::to_string(e.HitCount);
  }

  testing::TempInstall install_;
  std::string log1_, log2_, cmd_;
  std::unique_ptr<ServiceState> state_;
  std::unique_ptr<AdminPages> pages_;
  // The add and change actions on the form of params_.
  bool Add() REQUIRES(state_->Lock) {
    pages_->AssertLockHeld();
    return pages_->AddWatchEntry(WatchForm::Read(params_), reasons_);
  }
  bool Change() REQUIRES(state_->Lock) {
    pages_->AssertLockHeld();
    return pages_->ChangeWatchEntry(WatchForm::Read(params_), reasons_);
  }

  RequestParams params_;  // of the request the pages are asked about
  FormReasons reasons_;   // of the last action
};

TEST_F(AdminPagesTest, WatchListRecordGivesNineLinesPerEntry) {
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  std::vector<std::string> lines =
      Lines(pages_->PagWatchHTMLTag("WatchSettingWatchListRecord", params_));
  ASSERT_EQ(lines.size(), 18u);
  // Long lines are literals joined on purpose, not a missing comma.
  // NOLINTBEGIN(bugprone-suspicious-missing-comma)
  const std::vector<std::string> row1 = {
      "<TR>",
      "<TD width=\"23\" align=\"center\"><INPUT size=\"2\" type=\"text\" name=\"No1\" readonly "
      "value=\"1\"></TD>",
      "<TD width=\"150\"><INPUT size=\"20\" type=\"text\" name=\"WatchFileName1\" readonly "
      "value=\"" +
          log1_ + "\"></TD>",
      "<TD width=\"150\"><INPUT size=\"20\" type=\"text\" name=\"WatchSearchString1\" readonly "
      "value=\"ERROR\"></TD>",
      "<TD width=\"84\" align=\"center\"><INPUT size=\"2\" type=\"text\" "
      "name=\"WatchSearchCount1\" readonly "
      "value=\"2\"></TD>",
      "<TD width=\"116\"><INPUT size=\"20\" type=\"text\" readonly name=\"WatchMailAddress1\" "
      "value=\"ops@example.com\"></TD>",
      "<TD width=\"187\"><INPUT size=\"20\" type=\"text\" readonly name=\"WatchCommand1\" "
      "value=\"" +
          cmd_ + "\"></TD>",
      "<TD width=\"11\"><INPUT type=\"submit\" name=\"ModDel\" value=\"No1" + kLabelSjis +
          "\"></TD>",
      "</TR>"};
  // NOLINTEND(bugprone-suspicious-missing-comma)
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 9), row1);
  EXPECT_EQ(lines[9], "<TR>");
  EXPECT_NE(lines[10].find("name=\"No2\" readonly value=\"2\""), std::string::npos);
  // Stored EUC-JP is shown in Shift_JIS, like the page around it.
  EXPECT_NE(
      lines[12].find("name=\"WatchSearchString2\" readonly value=\"" + kErrorSjis + " disk\""),
      std::string::npos);
  EXPECT_EQ(lines[16], "<TD width=\"11\"><INPUT type=\"submit\" name=\"ModDel\" value=\"No2" +
                           kLabelSjis + "\"></TD>");
  EXPECT_EQ(lines[17], "</TR>");

  watches()[0]->SearchString = "a\"b<c>&d";
  EXPECT_NE(pages_->PagWatchHTMLTag("WatchSettingWatchListRecord", params_)
                .find("value=\"a&quot;b&lt;c&gt;&amp;d\""),
            std::string::npos);
  watches().clear();
  EXPECT_EQ(pages_->PagWatchHTMLTag("WatchSettingWatchListRecord", params_), "");
}

// The form shows the stored entry of the pressed row, escaped; of the
// request only the row number counts.
TEST_F(AdminPagesTest, ModDelTagsShowTheStoredEntryOfThePressedRow) {
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  watches()[0]->Command = "/bin/x \"q\" <y>";
  SetParams({"No1=1", "WatchFileName1=/one", "No2=2", "WatchFileName2=/two\"x",
             "WatchSearchString2=x", "WatchSearchCount2=3", "WatchMailAddress2=a@b",
             "WatchCommand1=/tmp/evil.sh", "ModDel=No1" + kLabelSjis});
  EXPECT_EQ(pages_->PagWatchHTMLTag("ModDelWatchSettingNo", params_), "1");
  EXPECT_EQ(pages_->PagWatchHTMLTag("ModDelHidWatchFileName", params_), log1_);
  EXPECT_EQ(pages_->PagWatchHTMLTag("ModDelWatchSettingDispWatchFileName", params_), log1_);
  EXPECT_EQ(pages_->PagWatchHTMLTag("ModDelWatchSearchString", params_), "ERROR");
  EXPECT_EQ(pages_->PagWatchHTMLTag("ModDelWatchMailAddress", params_), "ops@example.com");
  EXPECT_EQ(pages_->PagWatchHTMLTag("ModDelHidWatchCommand", params_),
            "/bin/x &quot;q&quot; &lt;y&gt;");
  EXPECT_EQ(pages_->PagWatchHTMLTag("ModDelDispWatchCommand", params_),
            "/bin/x &quot;q&quot; &lt;y&gt;");
  EXPECT_EQ(pages_->PagWatchHTMLTag("moddelwatchsettingno", params_),
            "");  // names are case-sensitive
  EXPECT_EQ(pages_->PagWatchHTMLTag("EnvSMTPServer", params_), "mail.example.com");

  std::vector<std::string> options =
      Lines(pages_->PagWatchHTMLTag("ModDelWatchSearchCount", params_));
  ASSERT_EQ(options.size(), 20u);
  EXPECT_EQ(options[0], "<OPTION value=\"1\">1</OPTION>");
  EXPECT_EQ(options[1], "<OPTION value=\"2\" selected>2</OPTION>");
  EXPECT_EQ(options[19], "<OPTION value=\"20\">20</OPTION>");
  SetParams({"ModDel=No2" + kLabelSjis});
  EXPECT_EQ(pages_->PagWatchHTMLTag("ModDelWatchSearchString", params_), kErrorSjis + " disk");

  // A row beyond the list, or a label in another encoding (the row key is
  // then no number), fails the page.
  SetParams({"ModDel=No4" + kLabelSjis});
  EXPECT_THROW(pages_->PagWatchHTMLTag("ModDelHidWatchFileName", params_), AdminError);
  SetParams({"ModDel=No1 modify"});
  EXPECT_THROW(pages_->PagWatchHTMLTag("ModDelWatchSearchCount", params_), SettingsError);
}

TEST_F(AdminPagesTest, AddWatchEntry) {
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  WriteFile(install_.Path("new.log"), "twelve bytes");
  SetParams({"HidWatchFileName=" + install_.Path("new.log"),
             "WatchSearchString=" + kErrorSjis + ",x", "WatchSearchCount=4", "WatchMailAddress=a@b",
             "HidWatchCommand=" + cmd_});
  ASSERT_TRUE(Add());
  ASSERT_EQ(watches().size(), 3u);
  EXPECT_TRUE(watches()[2]->Stream.IsOpen());
  EXPECT_EQ(Snapshot(2), install_.Path("new.log") + "|" + kErrorEuc + ",x|4|a@b|" + cmd_ + "|12|0");
  watches().resize(2);

  const std::string missing = install_.Path("missing.log");
  const std::pair<std::vector<std::string>, std::string> failures[] = {
      {{"HidWatchFileName=" + missing, "WatchSearchCount=1"},
       "Error WatchFile: " + missing + " Not Found"},
      {{"HidWatchFileName=" + log1_, "WatchSearchCount="}, "'' is not a valid integer value"},
      {{"HidWatchFileName=" + log1_, "WatchSearchCount=1", "HidWatchCommand=/no/such/command"},
       "Error CommandFile Not Found"},
  };
  for (const auto& [params, message] : failures) {
    SetParams(params);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(Add());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error AddWatchFile.\n" + message + "\n");
    EXPECT_EQ(watches().size(), 2u);
  }
}

TEST_F(AdminPagesTest, ModifyChangesFieldsOrNothing) {
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  watches()[1]->HitCount = 1;
  const std::string row1 = Snapshot(0), row2 = Snapshot(1);
  const std::vector<std::vector<std::string>> failing = {
      {"No=2", "ModDel=Mod", "WatchSearchString=new", "WatchSearchCount=1",
       "HidWatchCommand=/no/such"},
      {"No=2", "ModDel=Mod", "HidWatchFileName=/no/such/file", "WatchSearchCount=1"},
      {"No=2", "ModDel=Mod", "WatchSearchString=new", "WatchSearchCount=many"},
      {"No=x", "ModDel=Del"},
      {"No=0", "ModDel=Del"},
      {"No=3", "ModDel=Mod", "WatchSearchCount=1"},
      {"No=-1", "ModDel=Del"},
  };
  for (const auto& params : failing) {
    SetParams(params);
    EXPECT_FALSE(Change()) << params[0];
    EXPECT_EQ(Snapshot(0), row1);
    EXPECT_EQ(Snapshot(1), row2);
  }
  // A regular expression that does not compile, with the library's message
  // for the error page.
  watches()[1]->Rules.MatchMode = WatchRules::Mode::kRegex;
  SetParams({"No=2", "ModDel=Mod", "HidWatchFileName=" + watches()[1]->FileName,
             "WatchSearchString=a(b", "WatchSearchCount=1"});
  EXPECT_FALSE(Change());
  EXPECT_EQ(Snapshot(1), row2);
  EXPECT_NE(reasons_.For("WatchSearchString").find("end pattern with unmatched parenthesis"),
            std::string::npos);
  SetParams({"No=1", "ModDel=modify", "WatchSearchCount=9"});  // neither Mod nor Del
  EXPECT_TRUE(Change());
  EXPECT_EQ(Snapshot(0), row1);

  // A new file name is watched from its current end; the count stays.
  WriteFile(install_.Path("other.log"), "12345");
  SetParams({"No=2", "ModDel=Mod" + kLabelSjis, "HidWatchFileName=" + install_.Path("other.log"),
             "WatchSearchString=" + kErrorSjis, "WatchSearchCount=7", "WatchMailAddress=m@x",
             "HidWatchCommand=" + cmd_});
  ASSERT_TRUE(Change());
  EXPECT_EQ(Snapshot(1), install_.Path("other.log") + "|" + kErrorEuc + "|7|m@x|" + cmd_ + "|5|1");
  EXPECT_EQ(watches()[1]->Stream.Size(), 5);
  // The same name again keeps the stream and the sizes.
  WriteFile(install_.Path("other.log"), "1234567890");
  SetParams({"No=2", "ModDel=Modify", "HidWatchFileName=" + install_.Path("other.log"),
             "WatchSearchCount=1"});
  ASSERT_TRUE(Change());
  EXPECT_EQ(Snapshot(1), install_.Path("other.log") + "||1|||5|1");
}

// An entry's rules are not on the forms or in the console's text: a change
// of the entry through either keeps them in the list.
TEST_F(AdminPagesTest, RulesSurviveChangesThroughThePagesAndTheConsole) {
  std::string header(kConfHeader);
  header.insert(
      header.size() - 1,
      ",\"ExcludeString\",\"MatchMode\",\"IgnoreCase\",\"Window\",\"Quiet\",\"Encoding\"");
  const std::string conf_path = install_.Path("data/ScanLantern.conf");
  WriteFile(conf_path,
            header + "\"" + log1_ +
                "\",\"ERROR\",\"2\",\"\",\"\",\"retrying\",\"\",\"1\",\"60\",\"\",\"\"\n\"" +
                log2_ + "\",\"disk\",\"1\",\"\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"\n");
  state_ = testing::LoadState(install_.base());
  pages_ = std::make_unique<AdminPages>(*state_);
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  const WatchRules rules = watches()[0]->Rules;
  EXPECT_EQ(rules.ExcludeString, "retrying");
  EXPECT_TRUE(rules.IgnoreCase);
  EXPECT_EQ(rules.Window, 60);
  const std::string before = ReadFile(conf_path);

  SetParams({"No=1", "ModDel=Mod", "HidWatchFileName=" + log1_, "WatchSearchString=ERROR",
             "WatchSearchCount=3"});
  ASSERT_TRUE(Change());
  pages_->SaveSettings();
  std::string after = before;
  after.replace(after.find("\"ERROR\",\"2\""), 11, "\"ERROR\",\"3\"");
  EXPECT_EQ(ReadFile(conf_path), after);

  std::string text = pages_->BuildSettingsText();
  text.erase(text.rfind('\n', text.size() - 2) + 1);  // the console drops the log path line
  pages_->ApplyPostedSettings(text);
  EXPECT_EQ(watches()[0]->Rules, rules);
  EXPECT_EQ(ReadFile(conf_path), after);
}

TEST_F(AdminPagesTest, DeleteMovesLaterEntriesWithTheirCountsAndClosesTheFile) {
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  SetParams({"HidWatchFileName=" + log1_, "WatchSearchCount=5", "WatchSearchString=third"});
  ASSERT_TRUE(Add());
  for (int i = 0; i < 3; ++i) watches()[i]->HitCount = i + 1;
  std::shared_ptr<TWatchFile> first = watches()[0];
  SetParams({"No=1", "ModDel=Del" + kLabelSjis});
  ASSERT_TRUE(Change());
  ASSERT_EQ(watches().size(), 2u);
  EXPECT_FALSE(first->Stream.IsOpen());
  EXPECT_EQ(Snapshot(0), log2_ + "|" + kErrorEuc + " disk|1|||3|2");
  EXPECT_TRUE(watches()[0]->Stream.IsOpen());
  EXPECT_EQ(Snapshot(1), log1_ + "|third|5|||10|3");
  SetParams({"No=2", "ModDel=Delete"});
  ASSERT_TRUE(Change());
  EXPECT_EQ(watches().size(), 1u);
}

TEST_F(AdminPagesTest, SettingsTextListsEntriesMailSettingsAndLogPath) {
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  std::vector<std::string> lines = Lines(pages_->BuildSettingsText());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "\"" + log1_ + "\",\"ERROR\",\"2\",\"ops@example.com\",\"" + cmd_ + "\"");
  EXPECT_EQ(lines[1], "\"" + log2_ + "\",\"" + kErrorEuc + " disk\",\"1\",\"\",\"\"");  // as stored
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(lines[2], "\"Subject\",\"line1\t" + kErrorSjis +
                          "\",\"mail.example.com\",\"sl@example.com\",\"" + host + "\"");
  EXPECT_EQ(lines[3], state_->Log.FileFor(std::time(nullptr)));
  EXPECT_EQ(lines[3].rfind(install_.base() + "./log/", 0), 0u);
  watches().clear();
  EXPECT_EQ(Lines(pages_->BuildSettingsText()).size(), 2u);
}

TEST_F(AdminPagesTest, PostedSettingsTextRoundTrips) {
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  std::string text = pages_->BuildSettingsText();
  text.erase(text.rfind('\n', text.size() - 2) + 1);  // the console drops the log path line
  watches()[0]->HitCount = 1;
  WriteFile(install_.Path("data/env.csv"), std::string(kEnvHeader));
  // Appended before the post and not yet examined: the post keeps the
  // entry's place, so the next pass still reads it.
  WriteFile(log1_, "0123456789ERROR new\n");
  pages_->ApplyPostedSettings(text);
  EXPECT_EQ(watches()[0]->LastSize, 10);
  EXPECT_EQ(pages_->BuildSettingsText(), text + state_->Log.FileFor(std::time(nullptr)) + "\n");
  EXPECT_EQ(state_->EnvTable.GetValue("MailBody"), "line1\n" + kErrorEuc);
  EXPECT_EQ(state_->EnvTable.GetValue("UserID"), "admin");
  EXPECT_EQ(watches()[0]->HitCount, 0);
  EXPECT_EQ(state_->EnvTable.GetValue("SMTPServer"), "mail.example.com");
  auto reloaded = testing::LoadState(install_.base());  // both files were written
  AdminPages reloaded_pages(*reloaded);
  MutexLock reloaded_lock(reloaded->Lock);
  reloaded_pages.AssertLockHeld();
  EXPECT_EQ(reloaded_pages.BuildSettingsText(), pages_->BuildSettingsText());
}

TEST_F(AdminPagesTest, PostedLinesFieldsAndShortBodies) {
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  pages_->ApplyPostedSettings("\"a b\",x,1,m,c\r\na b,2,m,c\r\ns,\"b1\tb2\",smtp.x,f@x\r\n");
  ASSERT_EQ(watches().size(), 2u);
  EXPECT_EQ(Snapshot(0), "a b|x|1|m|c|0|0");
  EXPECT_EQ(Snapshot(1), "a|b|2|m|c|0|0");  // unquoted fields end at a blank
  EXPECT_EQ(state_->EnvTable.GetValue("MailBody"), "b1\nb2");
  EXPECT_EQ(ReadFile(install_.Path("data/ScanLantern.conf")),
            std::string(kConfHeader) +
                "\"a b\",\"x\",\"1\",\"m\",\"c\"\n\"a\",\"b\",\"2\",\"m\",\"c\"\n");

  pages_->ApplyPostedSettings("subj,body,,from@x");  // one line: mail only
  EXPECT_TRUE(watches().empty());
  EXPECT_EQ(state_->EnvTable.GetValue("SMTPServer"), "");
  EXPECT_EQ(state_->EnvTable.GetValue("FromMailAddress"), "from@x");

  state_->EnvTable.SetValue("SMTPServer", "kept");
  pages_->ApplyPostedSettings("");  // empty: no watch rows, mail kept, files rewritten
  EXPECT_EQ(ReadFile(install_.Path("data/ScanLantern.conf")), kConfHeader);
  EXPECT_NE(ReadFile(install_.Path("data/env.csv")).find("\"kept\""), std::string::npos);
}

TEST_F(AdminPagesTest, FailedPostChangesNothing) {
  MutexLock lock(state_->Lock);  // as the dispatcher holds it
  pages_->AssertLockHeld();
  const std::string conf_before = ReadFile(install_.Path("data/ScanLantern.conf"));
  const std::string text_before = pages_->BuildSettingsText();
  const std::pair<std::string, std::string> cases[] = {
      {text_before, "List index out of bounds (1)"},  // the log path line has one field
      {"a,b,1,m\ns,b,smtp,f", "List index out of bounds (4)"},
      {"\n\ns,b,smtp,f", "List index out of bounds (0)"},
      {"a,b,1,m,c\ns,b,smtp", "List index out of bounds (3)"},
      {"a,b,one,m,c\ns,b,smtp,f", "'one' is not a valid integer value"},
  };
  for (const auto& [body, message] : cases) {
    try {
      pages_->ApplyPostedSettings(body);
      ADD_FAILURE() << "no error for " << body;
    } catch (const std::exception& e) {
      EXPECT_EQ(e.what(), message);
    }
    EXPECT_EQ(pages_->BuildSettingsText(), text_before);
    EXPECT_EQ(state_->ConfTable.RowCount(), 2);
    EXPECT_TRUE(watches()[0]->Stream.IsOpen());
  }
  EXPECT_EQ(ReadFile(install_.Path("data/ScanLantern.conf")), conf_before);
}

}  // namespace
}  // namespace sl
