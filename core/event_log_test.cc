#include "core/event_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "core/text.h"
#include "testing/test_support.h"

namespace sl {
namespace {

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override { mkdir((base_ + "log").c_str(), 0777); }

  std::string Content(const EventLog& log) {
    return testing::ReadFile(log.FileFor(std::time(nullptr)));
  }

  testing::TempDir dir_{"sl-log"};
  std::string base_ = dir_.path() + "/";
};

TEST_F(EventLogTest, EntryHasTimestampHeadingDetailAndTwoEmptyLines) {
  EventLog log(base_);
  std::time_t before = std::time(nullptr);
  log.LogEvent(50, "ScanLantern Service Start.");
  std::string text = Content(log);
  // "サービスを開始しました。" in EUC-JP.
  const std::string heading =
      "\xa5\xb5\xa1\xbc\xa5\xd3\xa5\xb9\xa4\xf2\xb3\xab\xbb\xcf\xa4\xb7\xa4\xde\xa4\xb7\xa4\xbf\xa1"
      "\xa3";
  ASSERT_GE(text.size(), 20u);
  std::string stamp = text.substr(0, 19);
  EXPECT_TRUE(stamp == FormatTimestamp(before) || stamp == FormatTimestamp(before + 1)) << stamp;
  EXPECT_EQ(text.substr(19), " " + heading + "\nScanLantern Service Start.\n\n\n");
}

TEST_F(EventLogTest, EmptyDetailUnknownCodeMultiLineDetailAndPlainLines) {
  EventLog log(base_);
  log.LogEvent(98, "");
  std::string first = Content(log);
  EXPECT_EQ(first.substr(first.size() - 4), "\n\n\n\n");
  log.LogEvent(1, "ignored");
  log.LogEvent(99, "a\nb\r\nc\td");
  log.LogLine("GET / HTTP/1.0");
  std::string all = Content(log);
  std::string rest = all.substr(first.size());
  EXPECT_EQ(rest.substr(0, 2), "\n\n");  // code 1: only the two empty lines
  EXPECT_NE(rest.find("\na\nb\r\nc\td\n\n\n"), std::string::npos);
  EXPECT_EQ(rest.substr(rest.size() - 15), "GET / HTTP/1.0\n");
}

TEST_F(EventLogTest, FileOfTheDayIsNamedByLocalDate) {
  EventLog log(base_);
  std::tm tm{};
  tm.tm_year = 2026 - 1900;
  tm.tm_mon = 11;
  tm.tm_mday = 6;
  tm.tm_hour = 23;
  tm.tm_min = 59;
  tm.tm_sec = 59;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  EXPECT_EQ(log.FileFor(t), base_ + "./log/20261206.log");
  EXPECT_EQ(log.FileFor(t + 1), base_ + "./log/20261207.log");
  EXPECT_EQ(FormatTimestamp(t), "2026/12/06 23:59:59");
}

TEST_F(EventLogTest, MissingDirectoryIsAnError) {
  EventLog log(base_ + "nowhere/");
  EXPECT_THROW(log.LogEvent(50, "x"), EventLogError);
  EXPECT_THROW(log.LogLine("x"), EventLogError);
  // A request's line never fails its request; the failure is counted.
  EXPECT_NO_THROW(log.LogRequestLine("Command GET / received from 127.0.0.1"));
  EXPECT_EQ(log.WriteFailures(), 3);
}

TEST_F(EventLogTest, ConcurrentEntriesNeverInterleave) {
  EventLog log(base_);
  const std::string detail(3000, 'x');
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) log.LogEvent(98, detail);
    });
  }
  for (auto& t : threads) t.join();
  std::istringstream in(Content(log));
  std::string line;
  int details = 0;
  while (std::getline(in, line)) {
    if (line.empty() || (line.size() > 19 && line[4] == '/')) continue;
    EXPECT_EQ(line, detail);
    ++details;
  }
  EXPECT_EQ(details, 200);
}

TEST_F(EventLogTest, MovedOrDeletedFileIsOpenedAgainWithinASecond) {
  EventLog log(base_);
  log.LogLine("first");
  const std::string path = log.FileFor(std::time(nullptr));
  ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
  // Entries go on into the moved file until the name is checked again, at
  // most a second later; none is lost.
  std::time_t start = std::time(nullptr);
  while (std::time(nullptr) < start + 2) {
    log.LogLine("next");
    if (Content(log) == "next\n") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(Content(log), "next\n");
  std::ifstream moved(path + ".1");
  std::string text((std::istreambuf_iterator<char>(moved)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.substr(0, 6), "first\n");
  std::remove(path.c_str());
  log.LogLine("after delete");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  log.LogLine("kept");
  EXPECT_EQ(Content(log).substr(Content(log).size() - 5), "kept\n");
}

TEST(BaseDirectoryTest, StripsBinAndDoubleSlashes) {
  EXPECT_EQ(BaseDirectoryOf("/opt/scanlantern/bin/ScanLanternService"), "/opt/scanlantern/");
  EXPECT_EQ(BaseDirectoryOf("/opt//sl/bin/x"), "/opt/sl/");
  // Only a last "bin/" component goes, never "bin/" inside a name.
  EXPECT_EQ(BaseDirectoryOf("/home/robin/sl/bin/ScanLanternService"), "/home/robin/sl/");
  EXPECT_EQ(BaseDirectoryOf("/usr/sbin/ScanLanternService"), "/usr/sbin/");
  EXPECT_EQ(BaseDirectoryOf("/opt/bin/sl/ScanLanternService"), "/opt/bin/sl/");
}

// The first write of a day removes the daily files older than the days
// kept, and nothing else; mirrored entries carry their code and text.
TEST_F(EventLogTest, KeepDaysPrunesOldDailyFilesAndMirrorSeesEntries) {
  const std::time_t now = std::time(nullptr);
  const std::time_t day = 24 * 3600;
  std::vector<std::string> old_files, kept_files;
  for (int age : {10, 4}) old_files.push_back(EventLog(base_).FileFor(now - age * day));
  for (int age : {3, 1}) kept_files.push_back(EventLog(base_).FileFor(now - age * day));
  kept_files.push_back(base_ + "./log/notes.log");
  kept_files.push_back(base_ + "./log/command.out");
  for (const auto& f : old_files) testing::WriteFile(f, "old\n");
  for (const auto& f : kept_files) testing::WriteFile(f, "kept\n");

  std::vector<std::pair<int32_t, std::string>> mirrored;
  EventLog log(base_, [&](int32_t code, std::string_view text) {
    mirrored.emplace_back(code, std::string(text));
  });
  log.SetKeepDays(3);
  log.LogEvent(98, "detail");
  log.LogLine("plain");
  for (const auto& f : old_files) EXPECT_NE(::access(f.c_str(), F_OK), 0) << f;
  for (const auto& f : kept_files) EXPECT_EQ(::access(f.c_str(), F_OK), 0) << f;
  ASSERT_EQ(mirrored.size(), 2u);
  EXPECT_EQ(mirrored[0].first, 98);
  EXPECT_EQ(mirrored[0].second, std::string(EventLog::Heading(98)) + "\ndetail");
  EXPECT_EQ(mirrored[1], std::make_pair(-1, std::string("plain")));
  EXPECT_EQ(EventLog::FreeSpaceFloor(1ull << 40), (1ull << 40) / 100);
  EXPECT_EQ(EventLog::FreeSpaceFloor(1ull << 30), EventLog::kMinFreeSpace);
}

}  // namespace
}  // namespace sl
