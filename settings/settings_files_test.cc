#include "settings/settings_files.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace sl {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class SettingsFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/sl-settings-XXXXXX";
    base_ = std::string(mkdtemp(tmpl)) + "/";
    std::system(("mkdir -p " + base_ + "data").c_str());
    conf_.Separator = env_.Separator = ",";
  }
  void TearDown() override { std::system(("rm -rf " + base_).c_str()); }

  void WriteFile(const std::string& rel, const std::string& bytes) {
    std::ofstream(base_ + rel, std::ios::binary) << bytes;
  }

  std::string base_;
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
  env_.LoadFromBytes("\"UserID\",\"Password\",\"SMTPServer\",\"FromMailAddress\",\"MailSubject\",\"MailBody\"\n");
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
  conf_.LoadFromBytes("\"FileName\",\"SearchString\",\"SearchCount\",\"MailAddress\",\"Command\"\n\"" +
                      base_ + "watched.log\",\"ERROR\",\"3\",\"a@b\",\"true\"\n\"" + base_ +
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
            "\"FileName\",\"SearchString\",\"SearchCount\",\"MailAddress\",\"Command\"\n\"" + base_ +
                "watched.log\",\"ERROR\",\"3\",\"a@b\",\"true\"\n\"" + base_ +
                "missing.log\",\"x\",\"1\",\"\",\"\"\n");
}

TEST_F(SettingsFilesTest, BadSearchCountFailsTheWholeRead) {
  conf_.LoadFromBytes("\"FileName\",\"SearchString\",\"SearchCount\"\n\"f\",\"w\",\"\"\n");
  WatchTable table;
  EXPECT_THROW(ReadWatchList(conf_, table), SettingsError);
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
    EXPECT_NE(text.find("1-Unable to open the file for writing: \"" + base_ + "./data/ScanLantern.conf\""),
              std::string::npos) << text;
    EXPECT_NE(text.find("./data/env.csv"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace sl
