#include "watch/watch_scan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "settings/settings_files.h"
#include "testing/test_support.h"

namespace sl {
namespace {

namespace fs = std::filesystem;

using testing::Euc;

std::string Describe(const std::string& file, const std::string& words, const std::string& line) {
  return Euc("監視ファイル") + "\t" + file + "\n" + Euc("監視ワード") + "\t" + words + "\n" +
         Euc("監視内容") + "\n" + line;
}

std::string Hit(int hits, int count, const std::string& file, const std::string& words,
                const std::string& line) {
  return Euc("監視ワードをトラッキングしました。") + "(" + std::to_string(hits) + "/" +
         std::to_string(count) + ")\n" + Describe(file, words, line);
}

std::string Missing(const std::string& file) {
  return Euc("監視ファイルが存在しません。") + "\r\n" + Euc("設定ファイル") + "\t" + file;
}

struct Entry {
  std::string heading;  // without the time stamp
  std::string detail;
};

class WatchScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(base_ + "log");
    state_ = std::make_unique<ServiceState>(base_);
    MutexLock lock(state_->Lock);
    for (const char* f : {"FileName", "SearchString", "SearchCount", "MailAddress", "Command"}) {
      state_->ConfTable.AddField(f);
    }
    for (const char* f :
         {"UserID", "Password", "SMTPServer", "FromMailAddress", "MailSubject", "MailBody"}) {
      state_->EnvTable.AddField(f);
    }
    state_->EnvTable.AppendRow();
    state_->EnvTable.SetValue("SMTPServer", "127.0.0.1");
    state_->EnvTable.SetValue("FromMailAddress", "agent@example.jp");
    state_->EnvTable.SetValue("MailSubject", "subject");
    state_->EnvTable.SetValue("MailBody", "body");
    state_->HostAddress = "10.0.0.5";
    scanner_ = std::make_unique<WatchScanner>(
        *state_,
        [this](NotifyRequest request, std::string description, MailQueue::DoneFunction) {
          notices_.push_back({std::move(request), std::move(description)});
          return true;
        },
        [this](const CommandContext& c) {
          commands_.push_back(c.Command);
          return CommandStart{};
        },
        [this] { return now_; });
  }

  void TearDown() override {
    scanner_.reset();
    state_.reset();
  }

  std::string Path(const std::string& name) const { return base_ + name; }

  void AddRow(const std::string& file, const std::string& words, int count,
              const std::string& mail = "", const std::string& command = "") {
    MutexLock lock(state_->Lock);
    state_->ConfTable.AppendRow();
    state_->ConfTable.SetValue("FileName", file);
    state_->ConfTable.SetValue("SearchString", words);
    state_->ConfTable.SetValue("SearchCount", std::to_string(count));
    state_->ConfTable.SetValue("MailAddress", mail);
    state_->ConfTable.SetValue("Command", command);
  }

  void Load() {
    MutexLock lock(state_->Lock);
    ReadWatchList(state_->ConfTable, state_->Watches);
  }

  // An empty file, the one entry that watches it, loaded; its path.
  std::string WatchNewFile(const std::string& name, const std::string& words, int count,
                           const std::string& mail = "", const std::string& command = "") {
    std::string f = Path(name);
    Append(f, "");
    AddRow(f, words, count, mail, command);
    Load();
    return f;
  }

  static void Append(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
  }

  // Every log entry written so far, in order.
  std::vector<Entry> Entries() const {
    std::vector<std::string> files;
    for (const auto& f : fs::directory_iterator(base_ + "log")) {
      if (f.path().extension() == ".log") files.push_back(f.path());  // not command.out
    }
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& f : files) all += testing::ReadFile(f);
    std::vector<Entry> entries;
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find("\n\n\n", pos);
      if (end == std::string::npos) {
        ADD_FAILURE() << "unterminated entry: " << all.substr(pos);
        break;
      }
      std::string text = all.substr(pos, end - pos);
      size_t nl = text.find('\n');
      std::string head = text.substr(0, nl);
      EXPECT_GE(head.size(), 20u);
      entries.push_back({head.substr(20), text.substr(nl + 1)});
      pos = end + 3;
    }
    return entries;
  }

  std::vector<std::string> Details() const {
    std::vector<std::string> d;
    for (const Entry& e : Entries()) d.push_back(e.detail);
    return d;
  }

  std::shared_ptr<TWatchFile> Watch(size_t i) {
    MutexLock lock(state_->Lock);
    return state_->Watches.at(i);
  }

  testing::TempDir dir_{"sl_watch_scan"};
  std::string base_ = dir_.path() + "/";
  std::unique_ptr<ServiceState> state_;
  std::unique_ptr<WatchScanner> scanner_;
  struct Notice {
    NotifyRequest request;
    std::string description;
  };
  std::vector<Notice> notices_;
  std::vector<std::string> commands_;
  std::chrono::steady_clock::time_point now_;  // the scanner's clock
};

// One look at an entry, decided from its record, the stat of its path and
// its open stream (device 1, inode 10, 100 bytes examined).
TEST(PlanLookTest, DecidesWhatToReadAndFromWhere) {
  struct Case {
    const char* name;
    bool exists;
    mode_t mode;
    ino_t inode;  // of the file at the path (device 1)
    int64_t size;
    bool stream_open;
    const char* record_path;  // the entry's FileName is "/l/a.log"
    ino_t refused_inode;      // 0: nothing refused
    LookKind kind;
    int64_t from;
    int64_t to;
    bool head_changed = false;      // the open file's first bytes differ
    mode_t refused_type = S_IFREG;  // of the refused file
  } cases[] = {
      {"nothing at the path", false, S_IFREG, 0, 0, true, "/l/a.log", 0, LookKind::kMissing, 0, 0},
      {"a directory", true, S_IFDIR, 11, 0, true, "/l/a.log", 0, LookKind::kDirectory, 0, 0},
      {"grown", true, S_IFREG, 10, 150, true, "/l/a.log", 0, LookKind::kGrown, 100, 150},
      {"unchanged", true, S_IFREG, 10, 100, true, "/l/a.log", 0, LookKind::kGrown, 100, 100},
      {"truncated", true, S_IFREG, 10, 40, true, "/l/a.log", 0, LookKind::kTruncated, 0, 40},
      {"the open file under a new name", true, S_IFREG, 10, 120, true, "/l/old.log", 0,
       LookKind::kGrown, 100, 120},
      {"another file under a new name", true, S_IFREG, 11, 120, true, "/l/old.log", 0,
       LookKind::kRenamed, 0, 0},
      {"still the refused file", true, S_IFREG, 12, 5, false, "/l/a.log", 12,
       LookKind::kStillRefused, 0, 0},
      {"another than the refused file", true, S_IFREG, 13, 5, false, "/l/a.log", 12,
       LookKind::kReplaced, 100, 0},
      {"rotated", true, S_IFREG, 11, 5, true, "/l/a.log", 0, LookKind::kReplaced, 100, 0},
      {"appeared", true, S_IFREG, 11, 5, false, "/l/a.log", 0, LookKind::kReplaced, 100, 0},
      {"rewritten in place", true, S_IFREG, 10, 150, true, "/l/a.log", 0, LookKind::kRewritten, 0,
       150, true},
      {"rewritten shorter", true, S_IFREG, 10, 40, true, "/l/a.log", 0, LookKind::kTruncated, 0, 40,
       true},
      {"the open FIFO", true, S_IFIFO, 10, 0, true, "/l/a.log", 0, LookKind::kPipe, 0, 0},
      {"still the refused directory", true, S_IFDIR, 12, 0, false, "/l/a.log", 12,
       LookKind::kStillRefused, 0, 0, false, S_IFDIR},
      {"a file on the refused directory's inode", true, S_IFREG, 12, 5, false, "/l/a.log", 12,
       LookKind::kReplaced, 100, 0, false, S_IFDIR},
  };
  for (const Case& c : cases) {
    EntryRecord record;
    record.path = c.record_path;
    record.refused = c.refused_inode != 0;
    record.refused_dev = 1;
    record.refused_ino = c.refused_inode;
    record.refused_type = c.refused_type;
    LookFacts facts;
    facts.file_name = "/l/a.log";
    facts.exists = c.exists;
    facts.path.st_mode = c.mode;
    facts.path.st_dev = 1;
    facts.path.st_ino = c.inode;
    facts.path.st_size = c.size;
    facts.stream_open = c.stream_open;
    facts.stream_dev = c.stream_open ? 1 : 0;
    facts.stream_ino = c.stream_open ? 10 : 0;
    facts.last_size = 100;
    facts.head_changed = c.head_changed;
    LookPlan plan = PlanLook(record, facts);
    EXPECT_EQ(plan.kind, c.kind) << c.name;
    EXPECT_EQ(plan.from, c.from) << c.name;
    EXPECT_EQ(plan.to, c.to) << c.name;
  }
}

TEST_F(WatchScanTest, CountsAcrossPassesAndActsAtSearchCount) {
  std::string f = Path("app.log");
  Append(f, "ERROR disk old text, never examined\n");
  AddRow(f, "ERROR,disk", 3, "ops@example.jp", "/bin/true");
  Load();
  scanner_->RunPass();
  EXPECT_TRUE(Details().empty());

  Append(f, "ERROR disk one\nERROR only\r\ndisk ERROR two\n");
  scanner_->RunPass();
  EXPECT_EQ(Details(), (std::vector<std::string>{Hit(1, 3, f, "ERROR,disk", "ERROR disk one"),
                                                 Hit(2, 3, f, "ERROR,disk", "disk ERROR two")}));
  EXPECT_TRUE(notices_.empty());

  Append(f, "ERROR disk three\nERROR disk four");
  scanner_->RunPass();
  Append(f, "\n");  // the last line waited for its end
  scanner_->RunPass();
  // The mail is only handed over: its entry is the mail side's.
  auto d = Details();
  ASSERT_EQ(d.size(), 5u);
  EXPECT_EQ(d[2], Hit(3, 3, f, "ERROR,disk", "ERROR disk three"));
  EXPECT_EQ(d[3], Euc("監視ワードをトラッキングしてコマンド実行しました。") + "\n" +
                      Describe(f, "ERROR,disk", "ERROR disk three") + "\n" + Euc("実行ファイル") +
                      "\t/bin/true");
  EXPECT_EQ(d[4], Hit(1, 3, f, "ERROR,disk", "ERROR disk four"));
  EXPECT_EQ(Entries()[0].heading, Euc("インフォメーション"));
  EXPECT_EQ(commands_, std::vector<std::string>{"/bin/true"});
  ASSERT_EQ(notices_.size(), 1u);
  const NotifyRequest& n = notices_[0].request;
  EXPECT_EQ(n.FileName, f);
  EXPECT_EQ(n.SearchString, "ERROR,disk");
  EXPECT_EQ(n.HitCount, 3);
  EXPECT_EQ(n.MailAddress, "ops@example.jp");
  EXPECT_EQ(n.ResultLine, "ERROR disk three");
  EXPECT_EQ(n.Smtp.Server, "127.0.0.1");
  EXPECT_EQ(n.Smtp.From, "agent@example.jp");
  EXPECT_EQ(n.MailSubject, "subject");
  EXPECT_EQ(n.MailBody, "body");
  EXPECT_EQ(n.HostAddress, "10.0.0.5");
  EXPECT_EQ(notices_[0].description, Describe(f, "ERROR,disk", "ERROR disk three"));
  EXPECT_EQ(Watch(0)->HitCount, 1);
}

// Window and quiet period together: a burst gives one trigger that acts,
// the rest are held back (logged once) and reach the next mail after the
// quiet period; matches older than the window drop out of the count.
TEST_F(WatchScanTest, WindowAndQuietPeriodShapeTheTriggers) {
  using std::chrono::seconds;
  std::string f = WatchNewFile("app.log", "ERROR", 2, "ops@example.jp", "/bin/true");
  {
    MutexLock lock(state_->Lock);
    state_->Watches[0]->Rules.Window = 10;
    state_->Watches[0]->Rules.Quiet = 60;
  }
  std::string burst;
  for (int i = 1; i <= 10; ++i) burst += "ERROR " + std::to_string(i) + "\n";
  Append(f, burst);
  scanner_->RunPass();
  EXPECT_EQ(notices_.size(), 1u);
  EXPECT_EQ(commands_.size(), 1u);
  const std::string quiet =
      Euc("静穏期間のため、期間が終わるまで通知メールの送信とコマンドの実行を見送ります。") + "\n" +
      Euc("監視ファイル") + "\t" + f + "\n" + Euc("静穏期間（秒）") + "\t60";
  auto d = Details();
  EXPECT_EQ(std::count(d.begin(), d.end(), quiet), 1);
  // The first held-back trigger (the fourth match) notes the quiet period.
  ASSERT_GE(d.size(), 6u);
  EXPECT_EQ(d[4], Hit(2, 2, f, "ERROR", "ERROR 4"));
  EXPECT_EQ(d[5], quiet);

  // 30 s later one match; 15 s after it that one has aged out of the window.
  auto match_at = [&](int at, const std::string& line) {
    now_ = std::chrono::steady_clock::time_point(seconds(at));
    Append(f, line + "\n");
    scanner_->RunPass();
    return Watch(0)->HitCount;
  };
  EXPECT_EQ(match_at(30, "ERROR a"), 1);
  EXPECT_EQ(match_at(45, "ERROR b"), 1);
  EXPECT_EQ(match_at(50, "ERROR c"), 0);  // a trigger, within the quiet period: held
  EXPECT_EQ(notices_.size(), 1u);
  EXPECT_EQ(match_at(70, "ERROR d"), 1);
  EXPECT_EQ(match_at(72, "ERROR e"), 0);  // after the quiet period: it acts
  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_EQ(notices_[1].request.Suppressed, 5);
  EXPECT_EQ(notices_[1].request.ResultLine, "ERROR e");
  EXPECT_EQ(notices_[0].request.Suppressed, 0);
  // The mail's lines are those of its count (b aged out, c's count was held).
  const std::string& lines = notices_[1].request.MatchedLines;
  ASSERT_EQ(lines.size(), 2 * 19 + std::string("\tERROR d\n\tERROR e").size()) << lines;
  EXPECT_EQ(lines.substr(19, 9), "\tERROR d\n");
  EXPECT_TRUE(lines.ends_with("\tERROR e"));
  EXPECT_EQ(notices_[0].request.MatchedLines.substr(19),
            "\tERROR 1\n" + lines.substr(0, 19) + "\tERROR 2");
  EXPECT_EQ(Watch(0)->Status.QuietUntil, std::chrono::steady_clock::time_point(seconds(72 + 60)));
  EXPECT_EQ(commands_.size(), 2u);
  d = Details();
  EXPECT_EQ(std::count(d.begin(), d.end(), quiet), 1);  // c was held in the burst's period
}

// Expressions that backtrack without end are given up at the retry limits:
// the pass goes on at once, and the limit is logged once a minute.
TEST_F(WatchScanTest, PathologicalExpressionsDoNotHoldThePass) {
  const std::string nested = Path("nested.log"), alternate = Path("alternate.log");
  Append(nested, "");
  Append(alternate, "");
  AddRow(nested, "(a*)*b", 1);
  AddRow(alternate, "^(a|aa)+$", 1);
  {
    MutexLock lock(state_->Lock);
    state_->ConfTable.AddField("MatchMode");
    for (state_->ConfTable.First(); !state_->ConfTable.Eof(); state_->ConfTable.Next()) {
      state_->ConfTable.SetValue("MatchMode", "regex");
    }
  }
  Load();
  const std::string a(20000, 'a');
  for (int pass = 0; pass < 2; ++pass) {
    Append(nested, a + "\n" + a + "\n");
    Append(alternate, a + "b\n" + a + "b\n");
    auto start = std::chrono::steady_clock::now();
    scanner_->RunPass();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  }
  EXPECT_EQ(Watch(0)->HitCount + Watch(1)->HitCount, 0);
  const std::string limit =
      Euc("正規表現の照合が上限に達したため、一致しなかったものとして扱いました（1分に1回まで記録し"
          "ます）。");
  int logged = 0;
  for (const std::string& d : Details()) {
    if (d.starts_with(limit + "\n" + Euc("監視ファイル") + "\t" + alternate + "\n")) ++logged;
  }
  EXPECT_EQ(logged, 1);
}

// A line without its line end waits for it (5 passes and 64 KiB at most);
// a truncated file examines what waits first.
TEST_F(WatchScanTest, LineWrittenInPiecesAcrossPassesMatchesOnce) {
  std::string f = WatchNewFile("a.log", "ERROR", 1);
  Append(f, "first ERR");
  scanner_->RunPass();
  Append(f, "OR half\nERROR whole\n");
  scanner_->RunPass();
  EXPECT_EQ(Details(), (std::vector<std::string>{Hit(1, 1, f, "ERROR", "first ERROR half"),
                                                 Hit(1, 1, f, "ERROR", "ERROR whole")}));

  Append(f, "ERROR never ended");
  for (int pass = 1; pass <= WatchScanner::kHeldPasses; ++pass) scanner_->RunPass();
  EXPECT_EQ(Details().size(), 2u);
  scanner_->RunPass();
  EXPECT_EQ(Details().back(), Hit(1, 1, f, "ERROR", "ERROR never ended"));

  std::string longest(WatchScanner::kHeldLineBytes, 'x');
  Append(f, "ERROR " + longest);  // too long to wait
  scanner_->RunPass();
  EXPECT_EQ(Details().size(), 4u);

  Append(f, "ERROR before the truncation");
  scanner_->RunPass();
  ASSERT_EQ(truncate(f.c_str(), 0), 0);
  Append(f, "new ERROR\n");
  scanner_->RunPass();
  auto d = Details();
  ASSERT_EQ(d.size(), 6u);
  EXPECT_EQ(d[4], Hit(1, 1, f, "ERROR", "ERROR before the truncation"));
  EXPECT_EQ(d[5], Hit(1, 1, f, "ERROR", "new ERROR"));
}

TEST_F(WatchScanTest, MailOnlyWithAddressAndServer) {
  std::string f = Path("a.log");
  Append(f, "");
  AddRow(f, "hit", 1, "");  // no address
  AddRow(f, "hit", 0, "ops@example.jp");
  Load();
  Append(f, "hit\n");
  scanner_->RunPass();
  ASSERT_EQ(notices_.size(), 1u);  // only the second entry
  EXPECT_EQ(notices_[0].request.HitCount, 1);
  auto d = Details();
  // SearchCount 0 acts on every match.
  EXPECT_EQ(d, (std::vector<std::string>{Hit(1, 1, f, "hit", "hit"), Hit(1, 0, f, "hit", "hit")}));
  {
    MutexLock lock(state_->Lock);
    state_->EnvTable.SetValue("SMTPServer", "");
  }
  Append(f, "hit\n");
  scanner_->RunPass();
  EXPECT_EQ(notices_.size(), 1u);
}

TEST_F(WatchScanTest, NotifyRunsWithoutTheServiceLock) {
  std::string f = Path("a.log");
  Append(f, "");
  AddRow(f, "x", 1, "ops@example.jp");
  Load();
  bool lock_free = false;
  scanner_ = std::make_unique<WatchScanner>(
      *state_, [&](NotifyRequest, std::string, MailQueue::DoneFunction) {
        if (state_->Lock.TryLock()) {
          lock_free = true;
          state_->Lock.Unlock();
        }
        return true;
      });
  Append(f, "x\n");
  scanner_->RunPass();
  EXPECT_TRUE(lock_free);
}

// The mail hook rereads the table in the middle of the pass: the entries
// carry on with their files, so every line is examined exactly once.
TEST_F(WatchScanTest, ReloadDuringThePassIsSafe) {
  std::string a = Path("a.log"), b = Path("b.log");
  Append(a, "");
  Append(b, "");
  AddRow(a, "x", 1, "ops@example.jp");
  AddRow(b, "x", 1);
  Load();
  scanner_ = std::make_unique<WatchScanner>(
      *state_, [&](NotifyRequest, std::string, MailQueue::DoneFunction) {
        MutexLock lock(state_->Lock);
        ReadWatchList(state_->ConfTable, state_->Watches);
        return true;
      });
  Append(a, "x1\nx2\n");
  Append(b, "x3\n");
  scanner_->RunPass();
  auto d = Details();
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[0], Hit(1, 1, a, "x", "x1"));
  EXPECT_EQ(d[1], Hit(1, 1, a, "x", "x2"));
  EXPECT_EQ(d[2], Hit(1, 1, b, "x", "x3"));
  scanner_->RunPass();
  EXPECT_EQ(Details().size(), 3u);
}

TEST_F(WatchScanTest, MissingFileIsLoggedEveryPassAndReadFromItsStartOnceItAppears) {
  std::string f = Path("later.log");
  AddRow(f, "boot", 1);
  Load();
  scanner_->RunPass();
  scanner_->RunPass();
  auto e = Entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].heading, Euc("システムエラーが発生しました。"));
  EXPECT_EQ(e[0].detail, Missing(f));
  EXPECT_EQ(e[1].detail, Missing(f));
  Append(f, "boot 1\nboot 2\n");
  scanner_->RunPass();
  EXPECT_EQ(Details().size(), 4u);
  EXPECT_EQ(Details()[3], Hit(1, 1, f, "boot", "boot 2"));
  // Deleted after start: missing again, every pass.
  fs::remove(f);
  scanner_->RunPass();
  scanner_->RunPass();
  auto d = Details();
  ASSERT_EQ(d.size(), 6u);
  EXPECT_EQ(d[4], Missing(f));
  EXPECT_EQ(d[5], Missing(f));
}

TEST_F(WatchScanTest, RenameRotationReadsTheOldTailThenTheNewFile) {
  std::string f = Path("app.log");
  Append(f, "m0 before start\n");
  AddRow(f, "m", 1);
  Load();
  Append(f, "m1\n");
  scanner_->RunPass();
  Append(f, "m2 last words of the old file\n");
  fs::rename(f, Path("app.log.1"));
  Append(f, "m3 new file\n");
  scanner_->RunPass();
  Append(f, "m4\n");
  Append(Path("app.log.1"), "m5 too late for the old file\n");
  scanner_->RunPass();
  auto d = Details();
  ASSERT_EQ(d.size(), 4u);
  EXPECT_EQ(d[0], Hit(1, 1, f, "m", "m1"));
  EXPECT_EQ(d[1], Hit(1, 1, f, "m", "m2 last words of the old file"));
  EXPECT_EQ(d[2], Hit(1, 1, f, "m", "m3 new file"));
  EXPECT_EQ(d[3], Hit(1, 1, f, "m", "m4"));
}

TEST_F(WatchScanTest, TruncatedFileIsReadFromItsStart) {
  std::string f = Path("app.log");
  Append(f, std::string(500, 'x') + "\n");
  AddRow(f, "m", 1);
  Load();
  ASSERT_EQ(truncate(f.c_str(), 0), 0);
  Append(f, "m short\n");
  scanner_->RunPass();
  EXPECT_EQ(Details(), std::vector<std::string>{Hit(1, 1, f, "m", "m short")});
  EXPECT_EQ(Watch(0)->LastSize, 8);
}

// A copy-and-truncate rotation that wrote past the old size before the next
// pass: the new start is noticed and the file read from it.
TEST_F(WatchScanTest, FileRewrittenPastItsOldSizeIsReadFromItsStart) {
  std::string f = Path("app.log");
  Append(f, "old line one\nold line two\n");
  AddRow(f, "m", 1);
  Load();
  scanner_->RunPass();
  ASSERT_EQ(truncate(f.c_str(), 0), 0);
  Append(f, "m first new line\nnew filler well past the old size\n");
  scanner_->RunPass();
  Append(f, "m appended\n");
  scanner_->RunPass();
  EXPECT_EQ(Details(), (std::vector<std::string>{Hit(1, 1, f, "m", "m first new line"),
                                                 Hit(1, 1, f, "m", "m appended")}));
}

// A directory at the watched path is refused and logged once, until
// another file takes the path.
TEST_F(WatchScanTest, DirectoryIsRefusedAndLoggedOnce) {
  std::string f = Path("app.log");
  fs::create_directory(f);
  AddRow(f, "m", 1);
  Load();
  scanner_->RunPass();
  scanner_->RunPass();
  scanner_->RunPass();
  std::string refused = Euc("監視ファイルが通常のファイルではないため、読み込みません。") + "\n" +
                        Euc("設定ファイル") + "\t" + f;
  EXPECT_EQ(Details(), std::vector<std::string>{refused});
  {
    MutexLock lock(state_->Lock);
    EXPECT_EQ(state_->Watches[0]->Status.File, WatchStatus::FileState::kRefused);
  }
  fs::remove(f);
  Append(f, "m now a file\n");
  scanner_->RunPass();
  EXPECT_EQ(Details(), (std::vector<std::string>{refused, Hit(1, 1, f, "m", "m now a file")}));
}

// A FIFO is drained every pass: a writer of more than the pipe holds goes
// on after a pass; a line split between two writers is one line; a pipe
// without a writer is empty and stays watched.
TEST_F(WatchScanTest, FifoLinesAreFoundAcrossWritersWithoutBlockingThem) {
  std::string f = Path("app.fifo");
  ASSERT_EQ(mkfifo(f.c_str(), 0600), 0);
  AddRow(f, "m", 1);
  Load();
  auto write_all = [&f](const std::string& text) {
    int fd = open(f.c_str(), O_WRONLY);  // the watch holds the reading end
    ASSERT_GE(fd, 0);
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(fd, text.data() + done, text.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
    close(fd);
  };
  std::string filler;
  while (filler.size() < (300u << 10)) filler += "filler line of the pipe\n";
  std::atomic<bool> written{false};
  std::thread writer([&] {
    write_all("m one\n" + filler + "m par");
    written = true;
  });
  int passes = 0;
  while (!written && passes < 50) {
    scanner_->RunPass();
    ++passes;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  writer.join();
  EXPECT_LE(passes, 10);  // 300 KiB: a few pipefuls a pass
  scanner_->RunPass();    // no writer now
  std::thread second([&] { write_all("tial\nm two\n"); });
  second.join();
  scanner_->RunPass();
  EXPECT_EQ(Details(),
            (std::vector<std::string>{Hit(1, 1, f, "m", "m one"), Hit(1, 1, f, "m", "m partial"),
                                      Hit(1, 1, f, "m", "m two")}));
}

TEST_F(WatchScanTest, ChangedFileNameIsFollowedFromItsSizeAtTheChange) {
  std::string a = Path("a.log"), b = Path("b.log");
  Append(a, "");
  Append(b, "m old content of b\n");
  AddRow(a, "m", 1);
  Load();
  scanner_->RunPass();
  {
    MutexLock lock(state_->Lock);
    state_->Watches[0]->FileName = b;
  }
  scanner_->RunPass();
  EXPECT_TRUE(Details().empty());
  Append(b, "m new\n");
  scanner_->RunPass();
  EXPECT_EQ(Details(), std::vector<std::string>{Hit(1, 1, b, "m", "m new")});
}

// Offsets beyond 4 GiB: a sparse file measured at load, then one more line.
TEST_F(WatchScanTest, SixtyFourBitOffsets) {
  std::string f = Path("big.log");
  int fd = open(f.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  const off_t big = (off_t{4} << 30) + (off_t{1} << 29) + 3;  // 4.5 GiB and a bit
  ASSERT_EQ(ftruncate(fd, big), 0);
  close(fd);
  AddRow(f, "far", 1);
  Load();
  EXPECT_EQ(Watch(0)->LastSize, big);
  Append(f, "far away line\n");
  scanner_->RunPass();
  EXPECT_EQ(Details(), std::vector<std::string>{Hit(1, 1, f, "far", "far away line")});
  EXPECT_EQ(Watch(0)->LastSize, big + 14);
}

// An append of several read pieces: a line across the piece boundary is one
// line, and a CR LF split by it ends one line.
TEST_F(WatchScanTest, LargeAppendIsReadInPiecesWithOneBufferLines) {
  std::string f = Path("a.log");
  Append(f, "");
  AddRow(f, "needle", 1);
  Load();
  const size_t chunk = WatchScanner::kReadChunk;
  std::string text;
  while (text.size() < chunk - 10) text += "filler line of the log\n";
  text.resize(chunk - 10);
  text += "\n1 needle across the boundary\n";
  while (text.size() < 2 * chunk - 100) text += "filler line of the log\n";
  text += std::string(2 * chunk - 1 - text.size(), 'y');
  text += "\r\nneedle 2\n";  // the CR is the last byte of the second piece
  while (text.size() < 3 * chunk + 100) text += "filler line of the log\n";
  Append(f, text + "last needle");
  scanner_->RunPass();
  Append(f, "\n");
  scanner_->RunPass();
  EXPECT_EQ(Details(),
            (std::vector<std::string>{Hit(1, 1, f, "needle", "1 needle across the boundary"),
                                      Hit(1, 1, f, "needle", "needle 2"),
                                      Hit(1, 1, f, "needle", "last needle")}));
}

TEST_F(WatchScanTest, UnwritableLogDirDoesNotStopThePass) {
  std::string f = Path("a.log");
  Append(f, "");
  AddRow(f, "m", 2, "", "cmd");
  Load();
  fs::remove_all(base_ + "log");
  Append(f, "m1\nm2\n");
  ::testing::internal::CaptureStdout();
  scanner_->RunPass();
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Cannot open file"), std::string::npos);
  EXPECT_EQ(scanner_->LogFailures(), 3);
  EXPECT_EQ(commands_, std::vector<std::string>{"cmd"});
  EXPECT_EQ(Watch(0)->HitCount, 0);
  fs::create_directory(base_ + "log");
  Append(f, "m3\n");
  scanner_->RunPass();
  EXPECT_EQ(Details(), std::vector<std::string>{Hit(1, 2, f, "m", "m3")});
}

// Changes the directory watch cannot see are still found: through a symbolic
// link at once, through a hard link in another directory by the regular look.
TEST_F(WatchScanTest, LinksAreFollowed) {
  fs::create_directory(base_ + "a");
  fs::create_directory(base_ + "b");
  std::string target = Path("b/real.log"), link = Path("a/link.log");
  std::string hard = Path("a/hard.log"), other = Path("b/other-name.log");
  Append(target, "");
  fs::create_symlink(target, link);
  Append(hard, "");
  fs::create_hard_link(hard, other);
  AddRow(link, "sym", 1);
  AddRow(hard, "hard", 1);
  Load();
  scanner_->RunPass();
  Append(target, "sym 1\n");
  Append(other, "hard 1\n");
  scanner_->RunPass();
  EXPECT_EQ(Details().at(0), Hit(1, 1, link, "sym", "sym 1"));
  for (uint32_t i = 0; i < WatchScanner::kSweepPasses && Details().size() < 2; ++i) {
    scanner_->RunPass();
  }
  EXPECT_EQ(Details(), (std::vector<std::string>{Hit(1, 1, link, "sym", "sym 1"),
                                                 Hit(1, 1, hard, "hard", "hard 1")}));
}

TEST_F(WatchScanTest, DefaultCommandRunsInTheBackgroundAndIsLogged) {
  std::string f = Path("a.log");
  std::string marker = Path("ran");
  std::string command = "echo done > " + marker;
  Append(f, "");
  AddRow(f, "go", 1, "", command);
  Load();
  scanner_ = std::make_unique<WatchScanner>(*state_, nullptr);
  Append(f, "go\n");
  scanner_->RunPass();
  EXPECT_TRUE(testing::WaitUntil([&] { return fs::exists(marker); }, std::chrono::seconds(10)));
  auto d = Details();
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(d[1], Euc("次の実行ファイルを実行しました。") + "\n" + command);
  EXPECT_EQ(d[2].substr(0, Euc("監視ワードをトラッキングしてコマンド実行しました。").size()),
            Euc("監視ワードをトラッキングしてコマンド実行しました。"));
}

// At most CommandRunner::kMaxRunning commands of an entry run at once; the rest of
// the pass's triggers are counted in one entry. A command that cannot start
// is logged as a failure, never as run.
TEST_F(WatchScanTest, CommandsAreBoundedAndFailuresLogged) {
  std::string f = Path("a.log"), g = Path("b.log");
  Append(f, "");
  Append(g, "");
  AddRow(f, "go", 1, "", "sleep 1");
  AddRow(g, "go", 1, "", "no-such-start");
  Load();
  scanner_ = std::make_unique<WatchScanner>(*state_, nullptr, [&](const CommandContext& c) {
    return c.Command == "no-such-start" ? CommandStart{-1, EAGAIN} : scanner_->Commands().Spawn(c);
  });
  std::string lines;
  for (int i = 0; i < 20; ++i) lines += "go\n";
  Append(f, lines);
  Append(g, "go\n");
  scanner_->RunPass();
  EXPECT_EQ(scanner_->Commands().Running(), 16u);
  auto d = Details();
  auto count = [&](const std::string& head) {
    return std::count_if(d.begin(), d.end(),
                         [&](const std::string& e) { return e.rfind(head, 0) == 0; });
  };
  EXPECT_EQ(count(Euc("次の実行ファイルを実行しました。")), 16);
  EXPECT_EQ(count(Euc("監視ワードをトラッキングしてコマンド実行しました。")), 16);
  EXPECT_EQ(count(Euc("実行中のコマンドが上限に達したため、コマンドの実行を見送りました。") + "\n" +
                  Euc("見送った回数") + "\t4\n"),
            1);
  EXPECT_EQ(
      count(Euc("コマンドを実行できませんでした。") + "\n" + Describe(g, "go", "go") + "\n" +
            Euc("実行ファイル") + "\tno-such-start\n" + Euc("理由") + "\t" + std::strerror(EAGAIN)),
      1);
  // Finished commands free their slots at a later pass.
  testing::WaitUntil(
      [&] {
        scanner_->RunPass();
        return scanner_->Commands().Running() == 0;
      },
      std::chrono::seconds(10), std::chrono::milliseconds(100));
  EXPECT_EQ(scanner_->Commands().Running(), 0u);
}

TEST_F(WatchScanTest, TimerHandlerPausesTheTimerAroundThePass) {
  std::string f = Path("a.log");
  Append(f, "");
  AddRow(f, "x", 1, "ops@example.jp");
  Load();
  TThreadedTimer timer;
  timer.SetInterval(10);
  std::vector<bool> enabled_in_pass;
  scanner_ = std::make_unique<WatchScanner>(
      *state_, [&](NotifyRequest, std::string, MailQueue::DoneFunction) {
        enabled_in_pass.push_back(timer.Enabled());
        return true;
      });
  int ticks = 0;
  timer.OnTimer = [&](TThreadedTimer& t) {
    ++ticks;
    scanner_->TimWatchTimer(t);
  };
  Append(f, "x\n");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (enabled_in_pass.empty() && std::chrono::steady_clock::now() < deadline) {
    RunOwnerTicks(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(enabled_in_pass, std::vector<bool>{false});
  EXPECT_TRUE(timer.Enabled());
  // Watching switched off: ticks go on, passes do not.
  {
    MutexLock lock(state_->Lock);
    state_->WatchingActive = false;
  }
  Append(f, "x\n");
  int seen = ticks;
  while (ticks < seen + 3 && std::chrono::steady_clock::now() < deadline) {
    RunOwnerTicks(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(enabled_in_pass.size(), 1u);
  EXPECT_TRUE(timer.Enabled());
}

}  // namespace
}  // namespace sl
