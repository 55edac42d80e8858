// Faults the real helper must survive with no display: a storm of starts on one work
// directory, an upgrade of the binary under a running helper, the directory going read-only,
// away or turning into a file, a full disk, and huge configurations. Also what it creates and
// where it writes, seen from outside.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/heartbeat.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::vector<std::string> kNoDisplay{"DISPLAY", "WAYLAND_DISPLAY"};

std::int64_t nowMs() {
  return toEpochMs(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
}

std::set<std::string> namesIn(const std::string& folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.insert(e.path().filename());
  return names;
}

// A field of /proc/PID/status in kB ("VmHWM", "VmRSS"); -1 when unreadable.
long statusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// User plus system CPU time of a process, in clock ticks.
long cpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

// Processes whose command line names `folder`.
int processesServing(const std::string& folder) {
  int count = 0;
  for (const auto& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = readFile(e.path() / "cmdline");
    for (char& c : cmdline)
      if (c == '\0') c = ' ';
    count += cmdline.find(helperBinary()) != std::string::npos &&
             cmdline.find(folder) != std::string::npos;
  }
  return count;
}

// Mounts made by this test live in a mount namespace of its own, so none outlives the test
// process whatever happens; each is also detached when its guard goes.
bool privateMounts() {
  static const bool ok = ::unshare(CLONE_NEWNS) == 0 &&
                         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return ok;
}

struct Mount {
  std::string target;
  ~Mount() {
    if (!target.empty()) ::umount2(target.c_str(), MNT_DETACH);
  }
  void release() {
    ::umount2(target.c_str(), MNT_DETACH);
    target.clear();
  }
};

class Faults : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> launch(const std::string& workDir,
                                       const std::string& program = helperBinary()) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{program, "-Dir", workDir},
                                          kNoDisplay);
  }
  std::string work() const { return dir.file("work"); }
  std::string file(const std::string& name) const { return readFile(work() + "/" + name); }
  std::optional<HeartbeatRecord> heartbeat() const { return parseHeartbeat(file("pid.txt")); }
  bool logged(const std::string& message) const {
    return file("log.txt").find("] " + message + "\n") != std::string::npos;
  }
  int countLogged(const std::string& prefix) const {
    const std::string text = file("log.txt");
    int n = 0;
    for (std::size_t at = text.find("] " + prefix); at != std::string::npos;
         at = text.find("] " + prefix, at + 1))
      ++n;
    return n;
  }
  // A heartbeat of `helper` written after `sinceMs`.
  bool heartbeatAfter(const ChildProcess& helper, std::int64_t sinceMs,
                      std::chrono::milliseconds deadline = 10s) {
    return eventually(
        [&] {
          const auto r = heartbeat();
          return r && r->pid == helper.pid() && r->stampMs > sinceMs;
        },
        deadline);
  }
  // Lets `span` pass while watching that the helper neither ends nor spins.
  void expectQuietlyAlive(ChildProcess& helper, std::chrono::milliseconds span) {
    const long before = cpuTicks(helper.pid());
    EXPECT_FALSE(eventually([&] { return !helper.running(); }, span)) << "the helper ended";
    const long used = cpuTicks(helper.pid()) - before;
    EXPECT_LT(used, ::sysconf(_SC_CLK_TCK) / 2) << "the helper spun: " << used << " ticks";
  }
  // Watches `span` pass; every read of the heartbeat meanwhile must find a whole record.
  void expectWholeHeartbeats(ChildProcess& helper, std::chrono::milliseconds span) {
    int reads = 0;
    const bool torn = eventually(
        [&] {
          ++reads;
          return !heartbeat().has_value() || !helper.running();
        },
        span);
    EXPECT_FALSE(torn) << "pid.txt: \"" << file("pid.txt") << "\" after " << reads
                       << " reads; running: " << helper.running();
  }
  std::set<std::string> leftovers() const {
    std::set<std::string> temp;
    for (const auto& n : namesIn(work()))
      if (n.front() == '.') temp.insert(n);
    return temp;
  }
  void stop(ChildProcess& helper) {
    writeFile(work() + "/stop.txt", "");
    EXPECT_EQ(helper.waitExit(10s), 0);
  }

  void SetUp() override { fs::create_directory(work()); }

  TempDir dir;
};

TEST_F(Faults, AStartStormLeavesExactlyOneHelperAndOneStopRequestEndsIt) {
  writeFile(work() + "/wheel.cfg", "SEG|A|#fff\nTOOL|a|a\n");
  constexpr int kStorm = 20;
  std::vector<std::unique_ptr<ChildProcess>> storm;
  for (int i = 0; i < kStorm; ++i) storm.push_back(launch(work()));
  ChildProcess* serving = nullptr;
  ASSERT_TRUE(eventually(
      [&] {
        int running = 0;
        for (auto& h : storm) {
          if (!h->running()) continue;
          serving = h.get();
          ++running;
        }
        return running == 1;
      },
      30s));
  for (auto& h : storm) {
    if (h.get() != serving) {
      EXPECT_EQ(h->waitExit(0ms), 0);
    }
  }
  EXPECT_EQ(countLogged("healthy helper already running (pid " + std::to_string(serving->pid())),
            kStorm - 1);
  ASSERT_TRUE(heartbeatAfter(*serving, 0));
  EXPECT_EQ(processesServing(work()), 1);

  stop(*serving);
  EXPECT_EQ(processesServing(work()), 0);
  EXPECT_EQ(leftovers(), std::set<std::string>{});
  EXPECT_FALSE(fileExists(work() + "/pid.txt"));
}

// A package upgrade replaces the binary under a running helper, whose executable is then a
// deleted file: the helper is still known by the lock it holds. Stopped, it keeps the lock
// until it runs again and ends; the helper that replaced it serves meanwhile, without spinning.
TEST_F(Faults, AnUpgradeOfTheBinaryLeavesOneHelperAndAStoppedOneIsReplaced) {
  TempDir bin;
  const std::string program = bin.file("nimbra-wheel");
  const auto install = [&] {
    fs::copy_file(helperBinary(), program + ".new");
    fs::rename(program + ".new", program);
  };
  const std::string lock = work() + "/helper.lock";
  install();
  auto first = launch(work(), program);
  ASSERT_TRUE(heartbeatAfter(*first, 0));
  install();
  EXPECT_EQ(launch(work(), program)->waitExit(10s), 0);
  EXPECT_TRUE(logged("healthy helper already running (pid " + std::to_string(first->pid()) +
                     ") \u2014 exiting"));

  first->signal(SIGSTOP);
  const std::int64_t stamp = heartbeat()->stampMs;
  ASSERT_TRUE(eventually([&] { return nowMs() - stamp >= 5050; }, 10s));
  auto second = launch(work(), program);
  ASSERT_TRUE(heartbeatAfter(*second, 0));
  EXPECT_TRUE(
      logged("wedged helper pid " + std::to_string(first->pid()) + " \u2014 terminating it"));
  expectQuietlyAlive(*second, 1000ms);
  EXPECT_EQ(lockHolderOf(lock), first->pid());
  first->signal(SIGCONT);
  EXPECT_EQ(first->waitExit(10s), -SIGTERM);
  EXPECT_TRUE(eventually([&] { return lockHolderOf(lock) == second->pid(); }));
  stop(*second);
}

TEST_F(Faults, AReadOnlyWorkDirectoryIsSurvivedAndHeartbeatsResumeWhenWritableAgain) {
  if (!privateMounts()) GTEST_SKIP() << "no mount namespace here: " << std::strerror(errno);
  auto helper = launch(work());
  ASSERT_TRUE(heartbeatAfter(*helper, 0));
  Mount ro{work()};
  if (::mount(work().c_str(), work().c_str(), nullptr, MS_BIND, nullptr) != 0 ||
      ::mount(nullptr, work().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
    GTEST_SKIP() << "read-only bind mounts are refused: " << std::strerror(errno);
  const auto frozen = file("pid.txt");
  EXPECT_EQ(launch(work())->waitExit(10s), 0) << "the lock's holder is seen read-only too";
  expectQuietlyAlive(*helper, 2500ms);
  EXPECT_EQ(file("pid.txt"), frozen) << "nothing can change in a read-only folder";

  ro.release();
  EXPECT_TRUE(heartbeatAfter(*helper, nowMs()));
  stop(*helper);
  EXPECT_EQ(leftovers(), std::set<std::string>{});
}

TEST_F(Faults, ARemovedWorkDirectoryIsSurvivedAndNothingIsWrittenElsewhere) {
  auto helper = launch(work());
  ASSERT_TRUE(heartbeatAfter(*helper, 0));
  fs::remove_all(work());
  expectQuietlyAlive(*helper, 2500ms);
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{}) << "a file appeared beside the folder";

  fs::create_directory(work());
  EXPECT_TRUE(heartbeatAfter(*helper, 0));
  stop(*helper);
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"work"});
}

TEST_F(Faults, AWorkDirectoryReplacedByAFileIsSurvivedAndTheFileIsLeftAlone) {
  auto helper = launch(work());
  ASSERT_TRUE(heartbeatAfter(*helper, 0));
  fs::remove_all(work());
  writeFile(work(), "not a folder");
  expectQuietlyAlive(*helper, 2500ms);
  EXPECT_EQ(readFile(work()), "not a folder");
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"work"});

  fs::remove(work());
  fs::create_directory(work());
  EXPECT_TRUE(heartbeatAfter(*helper, 0));
  stop(*helper);
}

// Fills the file system of `folder` to the last byte.
void fill(const std::string& folder) {
  std::ofstream out(folder + "/filler", std::ios::binary);
  const std::string block(4096, 'f');
  while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) {
  }
  out.close();
  std::ofstream crumbs(folder + "/crumbs", std::ios::binary);
  while (crumbs.put('c')) crumbs.flush();
}

TEST_F(Faults, AFullDiskNeverTruncatesTheHeartbeatAndTheHelperCarriesOn) {
  Mount small{work()};
  if (!privateMounts() || ::mount("tmpfs", work().c_str(), "tmpfs", 0, "size=64k") != 0) {
    small.target.clear();
    GTEST_SKIP() << "tmpfs mounts are refused here; see the file-size limit case";
  }
  writeFile(work() + "/wheel.cfg", "SEG|A|#fff\n");
  writeFile(work() + "/cmd.txt", "picked-before-the-disk-filled");
  auto helper = launch(work());
  ASSERT_TRUE(heartbeatAfter(*helper, 0));
  fill(work());
  expectWholeHeartbeats(*helper, 2500ms);
  EXPECT_EQ(file("cmd.txt"), "picked-before-the-disk-filled");

  fs::remove(work() + "/filler");
  fs::remove(work() + "/crumbs");
  EXPECT_TRUE(heartbeatAfter(*helper, nowMs()));
  stop(*helper);
  EXPECT_EQ(leftovers(), std::set<std::string>{}) << "a temporary file was left behind";
}

// Where no small file system can be mounted, a file-size limit too small for any record makes
// every write fail the same way (SIGXFSZ is ignored by the helper, so it only fails the write).
TEST_F(Faults, AFileSizeLimitNeverTruncatesTheHeartbeatAndTheHelperCarriesOn) {
  const std::string earlier = formatHeartbeat(2147483646, 1);  // a helper long gone
  writeFile(work() + "/pid.txt", earlier);
  writeFile(work() + "/cmd.txt", "picked-before-the-limit");
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit tiny = saved;
  tiny.rlim_cur = 8;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  auto helper = launch(work());
  ::setrlimit(RLIMIT_FSIZE, &saved);

  expectWholeHeartbeats(*helper, 2500ms);
  EXPECT_EQ(file("pid.txt"), earlier) << "no record fits, so the old one stays whole";
  EXPECT_EQ(file("cmd.txt"), "picked-before-the-limit");
  stop(*helper);
  EXPECT_EQ(leftovers(), std::set<std::string>{}) << "a temporary file was left behind";
}

// The fault: a sparse wheel.cfg of many gigabytes made the whole-file read reserve its size,
// and the failed allocation ended the helper, at start-up and again at any reload.
TEST_F(Faults, ASparseWheelCfgOfSixtyFourGigabytesIsPassedOverInsteadOfExhaustingMemory) {
  const std::string cfg = work() + "/wheel.cfg";
  writeFile(cfg, "SEG|A|#fff\n");
  ASSERT_EQ(::truncate(cfg.c_str(), 64LL << 30), 0);
  auto helper = launch(work());
  ASSERT_TRUE(eventually([&] { return logged("config: 0 sections, R=190, hold=2000ms"); }, 10s));

  writeFile(cfg, "SEG|A|#fff\nSEG|B|#000\n");
  ASSERT_TRUE(
      eventually([&] { return logged("config reloaded: 2 sections, R=190, hold=2000ms"); }, 10s));
  ASSERT_EQ(::truncate(cfg.c_str(), 64LL << 30), 0);
  const std::int64_t grown = nowMs();
  EXPECT_TRUE(heartbeatAfter(*helper, grown + 1500)) << "the helper did not carry on";
  EXPECT_LT(statusKb(helper->pid(), "VmHWM"), 200 * 1024);
  stop(*helper);
}

struct HugeInput {
  const char* name;
  std::string (*make)();
  const char* summary;
  long boundMb;  // peak resident memory allowed, sanitizer builds included
};

std::string fiftyMegabytes() {
  // Mostly lines the loader passes over, with a tool line in every tenth.
  std::string cfg = "SEG|Big|#123456\n";
  const std::string comment = ";" + std::string(1022, 'c') + "\n";
  const std::string tool = "TOOL|t|" + std::string(1016, 'x') + "\n";
  cfg.reserve(50u << 20);
  for (int i = 0; cfg.size() < (50u << 20); ++i) cfg += i % 10 ? comment : tool;
  return cfg;
}

std::string tenThousandSegments() {
  std::string cfg;
  for (int i = 0; i < 10000; ++i) cfg += "SEG|S" + std::to_string(i) + "|#abc\nTOOL|t|c\n";
  return cfg;
}

std::string thousandTools() {
  std::string cfg = "SEG|Many|#abc\n";
  for (int i = 0; i < 1000; ++i)
    cfg += "TOOL|T" + std::to_string(i) + "|cmd " + std::to_string(i) + "\n";
  return cfg;
}

std::string hugeSize() {
  return "SIZE|1000000000000\nSEG|A|#fff\nTOOL|a|a\n";
}

std::string hugeHold() {
  return "HOLD|1000000000000000\nSEG|A|#fff\nTOOL|a|a\n";
}

void PrintTo(const HugeInput& input, std::ostream* out) {
  *out << input.name;
}

class HugeInputs : public Faults, public ::testing::WithParamInterface<HugeInput> {};

TEST_P(HugeInputs, StartAndLogTheirSummaryWithinBoundedMemory) {
  writeFile(work() + "/wheel.cfg", GetParam().make());
  auto helper = launch(work());
  ASSERT_TRUE(eventually([&] { return logged(GetParam().summary); }, 60s))
      << "no \"" << GetParam().summary << "\"";
  ASSERT_TRUE(heartbeatAfter(*helper, 0));
  const long peakKb = statusKb(helper->pid(), "VmHWM");
  RecordProperty("peak_rss_kb", std::to_string(peakKb));
  EXPECT_GT(peakKb, 0);
  EXPECT_LT(peakKb, GetParam().boundMb * 1024);
  stop(*helper);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, HugeInputs,
    ::testing::Values(HugeInput{"FiftyMegabytes", fiftyMegabytes,
                                "config: 1 sections, R=190, hold=2000ms", 600},
                      HugeInput{"TenThousandSegments", tenThousandSegments,
                                "config: 10000 sections, R=190, hold=2000ms", 200},
                      HugeInput{"AThousandToolSegment", thousandTools,
                                "config: 1 sections, R=190, hold=2000ms", 200},
                      HugeInput{"SizeTenToTheTwelfth", hugeSize,
                                "config: 1 sections, R=1000000000000, hold=2000ms", 200},
                      HugeInput{"HoldTenToTheFifteenth", hugeHold,
                                "config: 1 sections, R=190, hold=1000000000000000ms", 200}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace nimbra::testing
