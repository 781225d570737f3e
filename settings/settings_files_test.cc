#include "settings/settings_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "testing/test_support.h"

namespace sl {
namespace {

using testing::ReadFile;

class SettingsFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mkdir((base_ + "data").c_str(), 0777);
    conf_.Separator = env_.Separator = ",";
  }

  void WriteFile(const std::string& rel, const std::string& bytes) {
    testing::WriteFile(base_ + rel, bytes);
  }

  // The header of a watch list with its first five columns, without its LF.
  const std::string header_ =
      "\"FileName\",\"SearchString\",\"SearchCount\",\"MailAddress\",\"Command\"";
  testing::TempDir dir_{"sl-settings"};
  std::string base_ = dir_.path() + "/";
  CsvTable conf_, env_;
};

TEST(StrToIntTest, AcceptsDecimalSignsAndHexForms) {
  EXPECT_EQ(StrToInt("3"), 3);
  EXPECT_EQ(StrToInt("  -12"), -12);
  EXPECT_EQ(StrToInt("+7"), 7);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("0x10"), 16);
  EXPECT_EQ(StrToInt("X10"), 16);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
}

TEST(StrToIntTest, RejectsEverythingElseWithTheConversionText) {
  for (const char* bad : {"", " ", "abc", "3 ", "1.5", "2147483648", "0x", "--1", "３"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const SettingsError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(bad) + "' is not a valid integer value");
    }
  }
}

TEST_F(SettingsFilesTest, DefaultsFillAnEnvWithoutRows) {
  env_.LoadFromBytes(
      "\"UserID\",\"Password\",\"SMTPServer\",\"FromMailAddress\",\"MailSubject\",\"MailBody\"\n");
  EnsureEnvDefaults(env_);
  ASSERT_EQ(env_.RowCount(), 1);
  EXPECT_EQ(env_.GetValue("MailSubject"), "ScanLantern Notify from \\ServerName\\");
  std::string body = env_.GetValue("MailBody");
  // Twelve lines, the last one the result placeholder, no final LF.
  EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 11);
  EXPECT_EQ(body.substr(body.size() - 13), "\n\\ResultLine\\");
  // EUC-JP: "サーバ名" starts with A5 B5.
  EXPECT_NE(body.find("\xa5\xb5\xa1\xbc\xa5\xd0\xcc\xbe  \\ServerName\\"), std::string::npos);

  // A row that exists is left alone; a table without columns gains an empty row.
  EnsureEnvDefaults(env_);
  EXPECT_EQ(env_.RowCount(), 1);
  CsvTable none;
  EnsureEnvDefaults(none);
  EXPECT_EQ(none.RowCount(), 1);
  EXPECT_EQ(none.GetValue("MailSubject"), "");
}

TEST_F(SettingsFilesTest, ReadWatchListMeasuresExistingFilesAndKeepsMissingOnes) {
  WriteFile("watched.log", "already here\n");
  conf_.LoadFromBytes(
      "\"FileName\",\"SearchString\",\"SearchCount\",\"MailAddress\",\"Command\"\n\"" + base_ +
      "watched.log\",\"ERROR\",\"3\",\"a@b\",\"true\"\n\"" + base_ +
      "missing.log\",\"x\",\"1\",\"\",\"\"\n");
  WatchTable table;
  ReadWatchList(conf_, table);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_TRUE(table[0]->Stream.IsOpen());
  EXPECT_EQ(table[0]->LastSize, 13);
  EXPECT_EQ(table[0]->CurrentSize, 13);
  EXPECT_EQ(table[0]->SearchCount, 3);
  EXPECT_EQ(table[0]->MailAddress, "a@b");
  EXPECT_FALSE(table[1]->Stream.IsOpen());
  EXPECT_EQ(table[1]->LastSize, 0);

  SaveWatchList(table, conf_, env_, base_);
  EXPECT_EQ(ReadFile(base_ + "data/ScanLantern.conf"),
            "\"FileName\",\"SearchString\",\"SearchCount\",\"MailAddress\",\"Command\"\n\"" +
                base_ + "watched.log\",\"ERROR\",\"3\",\"a@b\",\"true\"\n\"" + base_ +
                "missing.log\",\"x\",\"1\",\"\",\"\"\n");
}

TEST_F(SettingsFilesTest, RereadKeepsFollowedFilesAndFailsAsAWhole) {
  const std::string header = header_ + "\n";
  const std::string a = base_ + "a.log", b = base_ + "b.log";
  WriteFile("a.log", "0123456789");
  WriteFile("b.log", "01234");
  conf_.LoadFromBytes(header + "\"" + a + "\",\"ERROR\",\"3\",\"\",\"\"\n\"" + a +
                      "\",\"WARN\",\"2\",\"\",\"\"\n");
  WatchTable table;
  ReadWatchList(conf_, table);
  ASSERT_EQ(table.size(), 2u);
  for (auto& entry : table) {
    entry->LastSize = 4;  // a pass has examined the first 4 bytes
    entry->HitCount = 1;
  }
  std::shared_ptr<TWatchFile> error = table[0], warn = table[1];

  // A bad count anywhere: nothing of the table changes.
  conf_.LoadFromBytes(header + "\"" + a + "\",\"ERROR\",\"3\",\"\",\"x\"\n\"" + b +
                      "\",\"E\",\"abc\",\"\",\"\"\n");
  EXPECT_THROW(ReadWatchList(conf_, table), SettingsError);
  EXPECT_EQ(table, (WatchTable{error, warn}));
  EXPECT_TRUE(error->Stream.IsOpen());
  EXPECT_EQ(error->Command, "");

  // Rows take over the entries of their file, preferring unchanged words;
  // the hit count stays only for those. A new file is measured.
  conf_.LoadFromBytes(header + "\"" + b + "\",\"E\",\"1\",\"\",\"\"\n\"" + a +
                      "\",\"WARN\",\"2\",\"\",\"c\"\n\"" + a + "\",\"FATAL\",\"1\",\"\",\"\"\n");
  ReadWatchList(conf_, table);
  ASSERT_EQ(table.size(), 3u);
  EXPECT_EQ(table[0]->LastSize, 5);
  EXPECT_EQ(table[1], warn);
  EXPECT_EQ(warn->Command, "c");
  EXPECT_EQ(warn->HitCount, 1);
  EXPECT_EQ(warn->LastSize, 4);
  EXPECT_EQ(table[2], error);
  EXPECT_EQ(error->SearchString, "FATAL");
  EXPECT_EQ(error->HitCount, 0);
  EXPECT_EQ(error->LastSize, 4);
  EXPECT_TRUE(error->Stream.IsOpen());
}

// The rule columns: read with their defaults when missing, saved only once a
// rule is used (all six then, in their order), bad values refused by row
// and column at the check and at a load.
TEST_F(SettingsFilesTest, RuleColumnsAreOptionalCheckedAndAddedOnlyWhenUsed) {
  const std::string& header = header_;
  const std::string a = base_ + "a.log", b = base_ + "b.log";
  WriteFile("a.log", "");
  WriteFile("b.log", "");
  const std::string plain = header + "\n\"" + a + "\",\"ERROR\",\"3\",\"\",\"\"\n\"" + b +
                            "\",\"WARN\",\"1\",\"\",\"\"\n";
  conf_.LoadFromBytes(plain);
  WatchTable table;
  ReadWatchList(conf_, table);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_TRUE(table[0]->Rules.IsDefault());
  // Another entry changed without rules: the list keeps its form.
  table[1]->MailAddress = "ops@example.jp";
  SaveWatchList(table, conf_, env_, base_);
  EXPECT_EQ(ReadFile(base_ + "data/ScanLantern.conf"),
            header + "\n\"" + a + "\",\"ERROR\",\"3\",\"\",\"\"\n\"" + b +
                "\",\"WARN\",\"1\",\"ops@example.jp\",\"\"\n");

  table[0]->Rules.ExcludeString = "retrying";
  table[0]->Rules.IgnoreCase = true;
  table[0]->Rules.Window = 60;
  table[0]->Rules.Quiet = 300;
  SaveWatchList(table, conf_, env_, base_);
  EXPECT_EQ(ReadFile(base_ + "data/ScanLantern.conf"),
            header +
                ",\"ExcludeString\",\"MatchMode\",\"IgnoreCase\",\"Window\",\"Quiet\","
                "\"Encoding\"\n\"" +
                a + "\",\"ERROR\",\"3\",\"\",\"\",\"retrying\",\"\",\"1\",\"60\",\"300\",\"\"\n\"" +
                b + "\",\"WARN\",\"1\",\"ops@example.jp\",\"\",\"\",\"\",\"\",\"\",\"\",\"\"\n");
  CsvTable back;
  back.Separator = ",";
  LoadSettingsFile(back, base_ + "data/ScanLantern.conf");
  WatchTable reread;
  ReadWatchList(back, reread);
  EXPECT_EQ(reread[0]->Rules, table[0]->Rules);
  EXPECT_TRUE(reread[1]->Rules.IsDefault());

  // Accepted spellings of the defaults, then each refusal with its place.
  conf_.LoadFromBytes(header + ",\"MatchMode\",\"IgnoreCase\",\"Window\",\"Encoding\"\n\"" + a +
                      "\",\"E\",\"1\",\"\",\"\",\" Words\",\"0\",\"0\",\"AUTO\"\n\"" + b +
                      "\",\"5[0-9]{2}\",\"1\",\"\",\"\",\"Regex\",\"1\",\"\",\"sjis\"\n");
  EXPECT_TRUE(CheckWatchList(conf_, "conf").empty());
  WatchTable both;
  ReadWatchList(conf_, both);
  EXPECT_EQ(both[1]->Rules.MatchMode, WatchRules::Mode::kRegex);
  EXPECT_EQ(both[1]->Rules.LogEncoding, WatchRules::Encoding::kShiftJis);
  struct Bad {
    const char* column;
    const char* value;
    const char* reason;
  } cases[] = {
      {"MatchMode", "glob", "neither words nor regex (empty means words)"},
      {"IgnoreCase", "yes", "neither 0 nor 1 (empty means 0)"},
      {"Window", "-5", "not a number of seconds from 0 to 86400 (empty or 0 turns it off)"},
      {"Quiet", "86401", "not a number of seconds from 0 to 86400 (empty or 0 turns it off)"},
      {"Encoding", "utf8", "neither auto nor sjis (empty means auto)"},
  };
  for (const Bad& c : cases) {
    conf_.LoadFromBytes(header + ",\"" + c.column + "\"\n\"" + a +
                        "\",\"E\",\"1\",\"\",\"\",\"\"\n\"" + b + "\",\"E\",\"1\",\"\",\"\",\"" +
                        c.value + "\"\n");
    SettingsProblem expected{"conf", 3, c.column, c.value, c.reason};
    std::vector<SettingsProblem> problems = CheckWatchList(conf_, "conf");
    ASSERT_EQ(problems.size(), 1u) << c.column << " " << c.value;
    EXPECT_EQ(problems[0].Format(), expected.Format());
    WatchTable kept = table;
    try {
      ReadWatchList(conf_, kept, "conf");
      ADD_FAILURE() << c.value;
    } catch (const SettingsError& e) {
      EXPECT_EQ(std::string(e.what()), expected.Format());
    }
    EXPECT_EQ(kept, table);
  }
  // An expression that does not compile, with the library's message.
  conf_.LoadFromBytes(header + ",\"MatchMode\"\n\"" + a + "\",\"a(b\",\"1\",\"\",\"\",\"regex\"\n");
  std::vector<SettingsProblem> problems = CheckWatchList(conf_, "conf");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].Format(), (SettingsProblem{"conf", 2, "SearchString", "a(b",
                                                   "end pattern with unmatched parenthesis"}
                                       .Format()));
}

TEST_F(SettingsFilesTest, OnlyAMissingFileLoadsAsNothing) {
  CsvTable table;
  table.LoadFromBytes("\"a\"\n");
  LoadSettingsFile(table, base_ + "data/missing.csv");
  EXPECT_EQ(table.FieldCount(), 1);
  ASSERT_EQ(mkfifo((base_ + "fifo").c_str(), 0600), 0);
  for (const char* bad : {"data", "fifo"}) {
    try {
      LoadSettingsFile(table, base_ + bad);
      ADD_FAILURE() << bad;
    } catch (const SettingsError& e) {
      EXPECT_EQ(std::string(e.what()),
                "Cannot read file \"" + base_ + bad + "\". Not a regular file");
    }
  }
}

TEST_F(SettingsFilesTest, StopSaveSkipsFilesWhoseLoadFailed) {
  conf_.LoadFromBytes("\"FileName\"\n");
  env_.LoadFromBytes("\"UserID\"\n\"admin\"\n");
  WriteFile("data/env.csv", "hand edit");
  env_.LoadFailed = true;
  SaveSettingsFiles(conf_, env_, base_, true);
  EXPECT_EQ(ReadFile(base_ + "data/env.csv"), "hand edit");
  EXPECT_EQ(ReadFile(base_ + "data/ScanLantern.conf"), "\"FileName\"\n");
  SaveSettingsFiles(conf_, env_, base_);  // a save from the pages writes it
  EXPECT_EQ(ReadFile(base_ + "data/env.csv"), "\"UserID\"\n\"admin\"\n");
  EXPECT_FALSE(env_.LoadFailed);
}

TEST_F(SettingsFilesTest, MultiLineBodyRoundTripsThroughTheFile) {
  env_.LoadFromBytes("\"UserID\",\"MailBody\"\n\"admin\",\"line1\nline2 \"\"q\"\"\"\n");
  WatchTable none;
  conf_.LoadFromBytes("\"FileName\"\n");
  SaveWatchList(none, conf_, env_, base_);
  CsvTable back;
  back.Separator = ",";
  ASSERT_TRUE(back.LoadFromFile(base_ + "data/env.csv"));
  EXPECT_EQ(back.GetValue("MailBody"), "line1\nline2 \"q\"");
  EXPECT_EQ(ReadFile(base_ + "data/ScanLantern.conf"), "\"FileName\"\n");
}

TEST_F(SettingsFilesTest, FileThatCannotBeCreatedIsReportedAndTheOtherStillSaved) {
  conf_.LoadFromBytes("\"FileName\"\n");
  env_.LoadFromBytes("\"UserID\"\n\"admin\"\n");
  std::system(("rm -rf " + base_ + "data").c_str());
  try {
    SaveWatchList({}, conf_, env_, base_);
    ADD_FAILURE() << "no error";
  } catch (const SettingsError& e) {
    std::string text = e.what();
    EXPECT_NE(text.find("1-Unable to open the file for writing: \"" + base_ +
                        "./data/ScanLantern.conf\""),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("./data/env.csv"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace sl
