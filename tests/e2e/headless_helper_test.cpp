// The real nimbra-wheel binary with no display: refusals, the file protocol, stop requests,
// reloads and take-over between processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "app/heartbeat.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

const char* const kWorkedExample =
    ";wheel written by the host application\n"
    "HOLD|350\n"
    "SIZE|60\n"
    "SEG|Edit|#3a7\n"
    "TOOL|Copy|copy\n"
    "SEG|View\n"
    "TOOL|Paste plain|paste\xC2\xA6plain\n"
    "SEG|Files| ff8800\n"
    "TOOL|Open|open recent|ignored\n"
    "hold|100\n";

const std::vector<std::string> kNoDisplay{"DISPLAY", "WAYLAND_DISPLAY"};

std::int64_t nowMs() {
  return toEpochMs(
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
}

std::vector<std::string> messagesOf(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto close = line.find("] ");
    if (line.rfind("[", 0) == 0 && close != std::string::npos)
      out.push_back(line.substr(close + 2));
  }
  return out;
}

class Helper : public ::testing::Test {
 protected:
  std::unique_ptr<ChildProcess> launch(const std::string& workDir) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{helperBinary(), "-Dir", workDir},
                                          kNoDisplay);
  }
  std::unique_ptr<ChildProcess> launch() { return launch(dir.path()); }
  std::string file(const std::string& name) const { return readFile(dir.file(name)); }
  bool exists(const std::string& name) const { return fileExists(dir.file(name)); }
  std::vector<std::string> messages() const { return messagesOf(file("log.txt")); }
  bool logged(const std::string& m) const {
    for (const auto& x : messages())
      if (x == m) return true;
    return false;
  }
  // A "healthy helper" or "wedged helper" line.
  bool loggedTakeOver() const {
    for (const auto& m : messages())
      if (m.starts_with("healthy helper") || m.starts_with("wedged helper")) return true;
    return false;
  }
  bool waitLogged(const std::string& m, std::chrono::milliseconds d = 5s) {
    return eventually([&] { return logged(m); }, d);
  }
  bool waitHeartbeat() {
    return eventually([&] { return parseHeartbeat(file("pid.txt")).has_value(); }, 5s);
  }
  bool waitHeartbeatOf(const ChildProcess& helper) {
    return eventually([&] {
      const auto r = parseHeartbeat(file("pid.txt"));
      return r && r->pid == helper.pid();
    });
  }
  void touchConfig(long long seconds) {
    const struct timeval t[2] = {{seconds, 0}, {seconds, 0}};
    ::utimes(dir.file("wheel.cfg").c_str(), t);
  }
  void stopAndExpectExit(ChildProcess& helper) {
    writeFile(dir.file("stop.txt"), "");
    EXPECT_EQ(helper.waitExit(5s), 0);
  }

  TempDir dir;
};

struct Refusal {
  std::vector<std::string> args;  // after the program path; "@" stands for a regular file
  std::string bootLine;           // "@" again for that file's path
  std::string stderrText;
};

class RefusedStart : public Helper, public ::testing::WithParamInterface<Refusal> {};

const std::string kNeedsDir =
    "NIMBRA Radial: \xD1\x82\xD1\x80\xD0\xB5\xD0\xB1\xD1\x83\xD0\xB5\xD1\x82\xD1\x81\xD1\x8F -Dir "
    "<\xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0>\n";
const std::string kNotFound =
    "NIMBRA Radial: \xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0 \xD0\xBD\xD0\xB5 "
    "\xD0\xBD\xD0\xB0\xD0\xB9\xD0\xB4\xD0\xB5\xD0\xBD\xD0\xB0: ";

TEST_P(RefusedStart, EndsWithStatus2ItsMessageAndBootLogLines) {
  const std::string plain = dir.file("plain");
  writeFile(plain, "x");
  auto fill = [&](std::string s) {
    const auto at = s.find('@');
    return at == std::string::npos ? s : s.replace(at, 1, plain);
  };
  std::vector<std::string> args{helperBinary()};
  for (const auto& a : GetParam().args) args.push_back(fill(a));
  ChildProcess helper(args, kNoDisplay);
  ASSERT_EQ(helper.waitExit(5s), 2);
  EXPECT_EQ(helper.stderrText(), fill(GetParam().stderrText));

  // The boot log is shared by every start on the machine: find this one's lines in it.
  const auto boot = messagesOf(readFile("/tmp/nimbra-wheel-boot.log"));
  const std::string mark = "boot: pid " + std::to_string(helper.pid());
  auto at = std::find(boot.begin(), boot.end(), mark);
  ASSERT_NE(at, boot.end());
  EXPECT_NE(std::find(at, boot.end(), fill(GetParam().bootLine)), boot.end());
  EXPECT_FALSE(fileExists(dir.file("log.txt")));
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, RefusedStart,
    ::testing::Values(Refusal{{}, "exit 2: no -Dir", kNeedsDir},
                      Refusal{{"-Dir"}, "exit 2: no -Dir", kNeedsDir},
                      Refusal{{"-Dir", ""}, "exit 2: no -Dir", kNeedsDir},
                      Refusal{{"-dir", "/tmp", "--Dir", "/tmp"}, "exit 2: no -Dir", kNeedsDir},
                      Refusal{{"-Dir", "@"}, "exit 2: dir not found @", kNotFound + "@\n"},
                      Refusal{{"--dir", "/nonexistent/nimbra"},
                              "exit 2: dir not found /nonexistent/nimbra",
                              kNotFound + "/nonexistent/nimbra\n"}));

TEST_F(Helper, ServesTheWorkedExampleAndStopsOnRequest) {
  writeFile(dir.file("wheel.cfg"), kWorkedExample);
  writeFile(dir.file("need_access.txt"), "1");
  auto helper = launch();
  ASSERT_TRUE(waitLogged("hotkey Cmd+Alt+W REFUSED, status -1"));
  const auto m = messages();
  ASSERT_GE(m.size(), 3u);
  EXPECT_EQ(m[0], "helper starting, pid " + std::to_string(helper->pid()) + ", dir " + dir.path());
  EXPECT_EQ(m[1], "config: 2 sections, R=80, hold=350ms");
  EXPECT_FALSE(exists("need_access.txt")) << "nothing to grant without a display";

  ASSERT_TRUE(waitHeartbeat());
  const auto first = parseHeartbeat(file("pid.txt"));
  EXPECT_EQ(first->pid, helper->pid());
  EXPECT_LT(nowMs() - first->stampMs, 2000);
  EXPECT_TRUE(eventually([&] { return parseHeartbeat(file("pid.txt")) != first; }, 3s))
      << "the heartbeat is rewritten every second";

  const auto before = std::chrono::steady_clock::now();
  stopAndExpectExit(*helper);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_TRUE(logged("stop requested \u2014 exiting"));
  EXPECT_FALSE(exists("stop.txt"));
  EXPECT_FALSE(exists("pid.txt"));
  EXPECT_FALSE(logged("event tap installed")) << "no tap without a display";
}

TEST_F(Helper, ObeysAStopRequestMadeAsAFolder) {
  auto helper = launch();
  ASSERT_TRUE(waitHeartbeat());
  ::mkdir(dir.file("stop.txt").c_str(), 0755);
  writeFile(dir.file("stop.txt/note"), "bye");
  EXPECT_EQ(helper->waitExit(5s), 0);
  EXPECT_FALSE(exists("stop.txt"));
}

TEST_F(Helper, IgnoresAStopRequestLeftFromAnEarlierRun) {
  writeFile(dir.file("stop.txt"), "old");
  auto helper = launch();
  ASSERT_TRUE(waitHeartbeat());
  EXPECT_FALSE(exists("stop.txt"));
  EXPECT_TRUE(helper->running());
  stopAndExpectExit(*helper);
}

TEST_F(Helper, ReloadsOnANewTimeAndKeepsItsWheelWhenTheFileEmpties) {
  writeFile(dir.file("wheel.cfg"), "SEG|A|#fff\n");
  auto helper = launch();
  ASSERT_TRUE(waitLogged("config: 1 sections, R=190, hold=2000ms"));

  touchConfig(1'600'000'000);
  ASSERT_TRUE(waitLogged("config reloaded: 1 sections, R=190, hold=2000ms"));

  writeFile(dir.file("wheel.cfg"), "");
  touchConfig(1'600'000'100);
  ::unlink(dir.file("wheel.cfg").c_str());
  writeFile(dir.file("wheel.cfg"), "SEG|A|#fff\nSEG|B|#000\nSIZE|120\n");
  touchConfig(1'600'000'200);
  ASSERT_TRUE(waitLogged("config reloaded: 2 sections, R=120, hold=2000ms"));
  for (const auto& m : messages()) EXPECT_NE(m, "config reloaded: 0 sections, R=190, hold=2000ms");
  stopAndExpectExit(*helper);
}

TEST_F(Helper, YieldsToAHealthyHelperAndLeavesItsStopRequestInPlace) {
  auto first = launch();
  ASSERT_TRUE(waitHeartbeat());
  writeFile(dir.file("stop.txt"), "");
  auto second = launch();
  EXPECT_EQ(second->waitExit(5s), 0);
  EXPECT_TRUE(logged("healthy helper already running (pid " + std::to_string(first->pid()) +
                     ") \u2014 exiting"));
  // The stop request was meant for the first helper, which still obeys it.
  EXPECT_EQ(first->waitExit(5s), 0);
}

TEST_F(Helper, CarriesOnQuietlyAfterAHelperThatWasKilled) {
  auto first = launch();
  ASSERT_TRUE(waitHeartbeat());
  first->signal(SIGKILL);
  first->waitExit(5s);
  auto second = launch();
  ASSERT_TRUE(waitHeartbeatOf(*second));
  EXPECT_FALSE(loggedTakeOver());
  stopAndExpectExit(*second);
}

// A record naming a live process that holds no lock on this folder: the same user's helper of
// another folder, or any other process.
class ForeignRecord : public Helper, public ::testing::WithParamInterface<bool> {};

TEST_P(ForeignRecord, IsNeitherYieldedToNorSignalledFreshOrStale) {
  TempDir other;
  auto named = GetParam()
                   ? launch(other.path())
                   : std::make_unique<ChildProcess>(std::vector<std::string>{"/bin/sleep", "30"});
  for (const std::int64_t stamp : {nowMs(), nowMs() - 60000}) {
    writeFile(dir.file("pid.txt"), formatHeartbeat(named->pid(), stamp));
    auto helper = launch();
    ASSERT_TRUE(waitHeartbeatOf(*helper));
    stopAndExpectExit(*helper);
  }
  EXPECT_TRUE(named->running());
  EXPECT_FALSE(loggedTakeOver());
}

INSTANTIATE_TEST_SUITE_P(Processes, ForeignRecord, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "AnotherFoldersHelper" : "AnUnrelatedProcess");
});

TEST_F(Helper, CarriesOnPastMalformedRecords) {
  for (const char* record : {"", "abc", "1|2|3", "0|0", "-1|0", " 1 | 2 "}) {
    writeFile(dir.file("pid.txt"), record);
    auto helper = launch();
    ASSERT_TRUE(waitLogged("hotkey Cmd+Alt+W REFUSED, status -1")) << record;
    stopAndExpectExit(*helper);
    ::unlink(dir.file("log.txt").c_str());
  }
}

}  // namespace
}  // namespace nimbra::testing
