// Measures the watch pass: one pass over a large append (compared with
// grep -F -c, or grep -E -c for an expression, over the same bytes) for an
// ASCII log, an EUC-JP log, a UTF-8 log and a Shift_JIS log (a third of
// their lines Japanese), and the cost of a pass that finds nothing new over
// 1, 100 and 10 000 watched files.
//
//   scan_bench [MiB of appended log, default 1024] [directory, default /tmp]
//
// Everything is created below a fresh temporary directory and removed at
// the end.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/jconvert.h"
#include "core/utf8_text.h"
#include "settings/service_state.h"
#include "watch/watch_scan.h"

namespace {

using sl::ServiceState;
using sl::TWatchFile;
using sl::WatchScanner;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuNow() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double ChildCpu() {
  rusage ru;
  getrusage(RUSAGE_CHILDREN, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
         (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

enum class Code { kAscii, kEucJp, kUtf8, kShiftJis };

// One Japanese line in UTF-8; about one in 7 000 holds "エラー".
int JapaneseLine(char* line, size_t size, uint64_t n, uint32_t r, int min, int sec,
                 const char* host) {
  if (n % 20000 == 12) {
    return std::snprintf(line, size,
                         "Dec  7 08:%02d:%02d %s app[%u]: エラー: ディスク容量が不足しています "
                         "(/dev/sdb1、残り %u MB)\n",
                         min, sec, host, r % 32768, r % 100);
  }
  switch (r % 3) {
    case 0:
      return std::snprintf(line, size,
                           "Dec  7 08:%02d:%02d %s app[%u]: ジョブ %u が完了しました。処理時間 %u "
                           "ミリ秒、書き込み %u 行、待ち行列 %u 件\n",
                           min, sec, host, r % 32768, r % 100000, r % 5000, r % 100000, r % 64);
    case 1:
      return std::snprintf(line, size,
                           "Dec  7 08:%02d:%02d %s systemd[1]: バックアップ処理 %u を開始しました"
                           "（対象: /var/lib/app/データ%u）\n",
                           min, sec, host, r % 100000, r % 1000);
    default:
      return std::snprintf(line, size,
                           "Dec  7 08:%02d:%02d %s sshd[%u]: ユーザー %u の接続を受け付けました"
                           "（ポート %u、認証方式 公開鍵）\n",
                           min, sec, host, r % 32768, r % 60000, 1024 + r % 60000);
  }
}

// Writes about `bytes` of syslog-like lines. About one line in 20 000 holds
// "ERROR"; one in 100 000 holds all of "ERROR", "quota" and "/dev/sdb1".
// In the Japanese codes every third line is Japanese instead.
int64_t WriteLog(const std::string& path, int64_t bytes, Code code) {
  sl::Utf8Converter conv;
  static const char* kHosts[] = {"web01", "web02", "db01", "cache03", "batch07"};
  static const char* kUsers[] = {"alice", "bob", "carol", "dave", "eve", "mallory"};
  std::mt19937 rng(42);
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) {
    std::perror("open");
    std::exit(1);
  }
  std::string block;
  block.reserve(9 << 20);
  int64_t written = 0;
  uint64_t n = 0;
  char line[512];
  while (written < bytes) {
    block.clear();
    while (block.size() < (8u << 20)) {
      ++n;
      uint32_t r = rng();
      int sec = static_cast<int>(n / 1000 % 60), min = static_cast<int>(n / 60000 % 60);
      const char* host = kHosts[r % 5];
      const char* user = kUsers[(r >> 3) % 6];
      int len;
      if (code != Code::kAscii && n % 3 == 0) {
        len = JapaneseLine(line, sizeof line, n, r, min, sec, host);
        if (code == Code::kEucJp || code == Code::kShiftJis) {
          std::string euc = conv.Utf8ToEuc(std::string_view(line, static_cast<size_t>(len)));
          block += code == Code::kEucJp ? euc : sl::EucToSjis(euc);
        } else {
          block.append(line, static_cast<size_t>(len));
        }
        continue;
      }
      if (n % 100000 == 7) {
        len = std::snprintf(line, sizeof line,
                            "Dec  7 08:%02d:%02d %s kernel: [%u.%06u] ERROR disk quota exceeded "
                            "on /dev/sdb1 for uid %u\n",
                            min, sec, host, r % 90000, r % 1000000, r % 60000);
      } else if (n % 20000 == 11) {
        len = std::snprintf(line, sizeof line,
                            "Dec  7 08:%02d:%02d %s app[%u]: ERROR request %08x failed: "
                            "upstream timed out after 30000 ms\n",
                            min, sec, host, r % 32768, r);
      } else {
        switch (r % 4) {
          case 0:
            len = std::snprintf(line, sizeof line,
                                "Dec  7 08:%02d:%02d %s sshd[%u]: Accepted publickey for %s from "
                                "10.0.%u.%u port %u ssh2: RSA SHA256:%08x%08x\n",
                                min, sec, host, r % 32768, user, (r >> 8) % 256, (r >> 16) % 256,
                                1024 + r % 60000, r, r * 2654435761u);
            break;
          case 1:
            len = std::snprintf(line, sizeof line,
                                "Dec  7 08:%02d:%02d %s nginx: 10.1.%u.%u - - \"GET "
                                "/api/v2/items/%u?user=%s HTTP/1.1\" status=%u %u \"-\" "
                                "\"curl/8.5\"\n",
                                min, sec, host, (r >> 8) % 256, (r >> 16) % 256, r % 1000000, user,
                                r % 997 == 0 ? 500 + r % 4 : 200, r % 20000);
            break;
          case 2:
            len = std::snprintf(line, sizeof line,
                                "Dec  7 08:%02d:%02d %s CRON[%u]: (%s) CMD (/usr/local/bin/"
                                "rotate --keep 7 --compress /var/log/app/%s.log)\n",
                                min, sec, host, r % 32768, user, user);
            break;
          default:
            len =
                std::snprintf(line, sizeof line,
                              "Dec  7 08:%02d:%02d %s app[%u]: INFO job %u finished in %u ms, "
                              "%u rows written, queue depth %u\n",
                              min, sec, host, r % 32768, r % 100000, r % 5000, r % 100000, r % 64);
            break;
        }
      }
      block.append(line, static_cast<size_t>(len));
    }
    size_t want = static_cast<size_t>(std::min<int64_t>(bytes - written, block.size()));
    // Cut at a line end so the file holds whole lines only.
    size_t cut = block.rfind('\n', want - 1);
    want = cut == std::string::npos ? want : cut + 1;
    if (::write(fd, block.data(), want) != static_cast<ssize_t>(want)) {
      std::perror("write");
      std::exit(1);
    }
    written += static_cast<int64_t>(want);
  }
  ::close(fd);
  return written;
}

std::shared_ptr<TWatchFile> MakeEntry(const std::string& path, const std::string& words) {
  auto e = std::make_shared<TWatchFile>();
  e->FileName = path;
  if (!e->Stream.Open(path)) {
    std::perror(path.c_str());
    std::exit(1);
  }
  e->LastSize = e->CurrentSize = e->Stream.Size();
  e->SearchString = words;
  e->SearchCount = 1 << 30;  // count, never act
  return e;
}

// grep -F -c word path (-E for an expression), timed; returns its
// processor time in seconds and stores the printed count.
double TimeGrep(const std::string& word, const std::string& path, long* count,
                bool ignore_case = false, bool expression = false) {
  std::string cmd = std::string("LC_ALL=C grep ") + (expression ? "-E" : "-F") + " -c " +
                    (ignore_case ? "-i " : "") + "-- '" + word + "' '" + path + "'";
  double c0 = ChildCpu();
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p || std::fscanf(p, "%ld", count) != 1) *count = -1;
  if (p) ::pclose(p);
  return ChildCpu() - c0;
}

void RaiseFileLimit() {
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int64_t mib = argc > 1 ? std::atoll(argv[1]) : 1024;
  std::string parent = argc > 2 ? argv[2] : "/tmp";
  RaiseFileLimit();

  std::string templ = parent + "/scan_bench.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (!::mkdtemp(buf.data())) {
    std::perror("mkdtemp");
    return 1;
  }
  std::string base = std::string(buf.data()) + "/";
  std::filesystem::create_directory(base + "log");
  std::string log_path = base + "watched.log";
  {
    std::FILE* f = std::fopen(log_path.c_str(), "wb");
    std::fclose(f);
  }

  ServiceState state(base);
  WatchScanner scanner(
      state, [](sl::NotifyRequest, std::string, sl::MailQueue::DoneFunction) { return true; },
      [](const sl::CommandContext&) { return sl::CommandStart{}; });

  // Large appends: ASCII, EUC-JP and UTF-8 logs, each with ASCII words and
  // (in the Japanese logs) a Japanese word, which settings hold in EUC-JP.
  sl::Utf8Converter conv;
  const std::string jp_utf8 = "エラー";
  const std::string jp_euc = conv.Utf8ToEuc(jp_utf8);
  struct Config {
    std::string words;
    std::string grep_word;  // grep -F -c for it (-i with ignore_case, -E for an expression)
    std::string exclude;
    bool ignore_case = false;
    bool regex = false;
  };
  struct Run {
    const char* name;
    Code code;
    std::vector<Config> configs;
  };
  const Run runs[] = {
      {"ASCII",
       Code::kAscii,
       {{"ERROR,quota", "ERROR", "", false},
        {"ERROR quota /dev/sdb1", "ERROR", "", false},
        {"ERROR", "ERROR", "timed out", false},
        {"error,quota", "error", "", true},
        {"status=5[0-9]{2}", "status=5[0-9]{2}", "", false, true},
        // No plain text every match holds: the expression runs on every line.
        {"(ERROR|FATAL)", "(ERROR|FATAL)", "", false, true}}},
      {"EUC-JP", Code::kEucJp, {{"ERROR,quota", "ERROR", "", false}, {jp_euc, jp_euc, "", false}}},
      {"UTF-8",
       Code::kUtf8,
       {{"ERROR,quota", "ERROR", "", false},
        {jp_euc, jp_utf8, "", false},
        {jp_euc, jp_utf8, "sdb1", false},
        {jp_euc + ".*MB", jp_utf8 + ".*MB", "", false, true}}},
      {"Shift_JIS", Code::kShiftJis, {{jp_euc, sl::EucToSjis(jp_euc), "", false}}},
  };
  for (const Run& run : runs) {
    {
      std::FILE* f = std::fopen(log_path.c_str(), "wb");
      std::fclose(f);
    }
    auto entry = MakeEntry(log_path, "ERROR,quota");
    {
      sl::MutexLock lock(state.Lock);
      state.Watches.assign(1, entry);
    }
    std::printf("writing %lld MiB of %s log lines...\n", static_cast<long long>(mib), run.name);
    std::fflush(stdout);
    int64_t size = WriteLog(log_path, mib << 20, run.code);
    std::printf("appended %lld bytes\n", static_cast<long long>(size));
    std::fflush(stdout);
    long grep_count = 0;
    TimeGrep("ERROR", log_path, &grep_count);  // warms the page cache
    for (const Config& config : run.configs) {
      const std::string& words = config.words;
      entry->SearchString = words;
      entry->Rules.ExcludeString = config.exclude;
      entry->Rules.IgnoreCase = config.ignore_case;
      entry->Rules.MatchMode =
          config.regex ? sl::WatchRules::Mode::kRegex : sl::WatchRules::Mode::kWords;
      entry->Rules.LogEncoding = run.code == Code::kShiftJis ? sl::WatchRules::Encoding::kShiftJis
                                                             : sl::WatchRules::Encoding::kAuto;
      entry->LastSize = 0;  // the whole file is the new bytes
      entry->CurrentSize = 0;
      entry->HitCount = 0;
      ::utimensat(AT_FDCWD, log_path.c_str(), nullptr, 0);  // lets the scanner notice the file
      std::filesystem::remove_all(base + "log");
      std::filesystem::create_directory(base + "log");
      double w0 = Now(), c0 = CpuNow();
      scanner.RunPass();
      double pass_s = Now() - w0, pass_cpu = CpuNow() - c0;
      // The better of two grep runs, as the pass runs on a warm cache too.
      double g = std::min(
          TimeGrep(config.grep_word, log_path, &grep_count, config.ignore_case, config.regex),
          TimeGrep(config.grep_word, log_path, &grep_count, config.ignore_case, config.regex));
      std::string shown = words.starts_with(jp_euc)
                              ? jp_utf8 + words.substr(jp_euc.size()) + " (EUC-JP in the settings)"
                              : words;
      if (config.regex) shown += " (regex, grep -E)";
      if (!config.exclude.empty()) shown += " excluding [" + config.exclude + "]";
      if (config.ignore_case) shown += " ignoring case, grep -i";
      std::printf(
          "%-6s pass [%s]: cpu %.3f s (wall %.3f s, %.0f MiB/s, %lld hits) | grep -c: cpu "
          "%.3f s (%ld lines) | ratio pass/grep cpu %.2f\n",
          run.name, shown.c_str(), pass_cpu, pass_s, size / 1048576.0 / pass_s,
          static_cast<long long>(entry->HitCount), g, grep_count, pass_cpu / g);
      std::fflush(stdout);
    }
    std::filesystem::remove(log_path);
    sl::MutexLock lock(state.Lock);
    state.Watches.clear();
  }

  // Idle passes.
  std::filesystem::create_directory(base + "idle");
  for (int files : {1, 100, 10000}) {
    {
      sl::MutexLock lock(state.Lock);
      state.Watches.clear();
      for (int i = 0; i < files; ++i) {
        std::string p = base + "idle/f" + std::to_string(i) + ".log";
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
          (void)!::write(fd, "x\n", 2);
          ::close(fd);
        }
        state.Watches.push_back(MakeEntry(p, "ERROR,quota"));
      }
    }
    scanner.RunPass();  // first sight of every entry
    std::vector<double> cpu, wall;
    for (int round = 0; round < 21; ++round) {
      double w0 = Now(), c0 = CpuNow();
      scanner.RunPass();
      cpu.push_back(CpuNow() - c0);
      wall.push_back(Now() - w0);
    }
    std::sort(cpu.begin(), cpu.end());
    std::sort(wall.begin(), wall.end());
    std::printf("idle pass over %5d files: cpu %.3f ms, wall %.3f ms (median of 21)\n", files,
                cpu[10] * 1e3, wall[10] * 1e3);
  }
  {
    sl::MutexLock lock(state.Lock);
    state.Watches.clear();
  }
  std::filesystem::remove_all(base);
  return 0;
}
