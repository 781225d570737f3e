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
  const std::string header =
      "\"FileName\",\"SearchString\",\"SearchCount\",\"MailAddress\",\"Command\"\n";
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
