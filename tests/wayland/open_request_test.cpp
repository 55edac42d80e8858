// `nimbra-wheel --open` against helpers without a desktop: the request channel is the same on
// every backend.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <vector>

#include "support/child_process.h"
#include "support/helper_fixture.h"
#include "support/temp_dir.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

TEST(OpenRequest, FailsWithAMessageWhenNoHelperServesTheFolder) {
  TempDir dir;
  ChildProcess open({helperBinary(), "--open", "-Dir", dir.path()});
  EXPECT_EQ(open.waitExit(5s), 1);
  EXPECT_EQ(open.stderrText(), "nimbra-wheel: no helper serves " + dir.path() + "\n");
}

// Anyone may connect to the helper's channel: only its own user (or root) is served, and no
// request waits for ever.
TEST(OpenRequest, IsServedForTheHelpersUserRefusedToAnotherAndNeverWaitsOnAStoppedHelper) {
  const passwd* other = ::getpwnam("nimbra-sway");
  if (::geteuid() != 0 || !other) GTEST_SKIP() << "needs root and the user nimbra-sway";
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  writeFile(dir.file("wheel.cfg"), kFourSegments);
  ChildProcess helper({helperBinary(), "-Dir", dir.path()}, {"DISPLAY", "WAYLAND_DISPLAY"});
  const auto logged = [&](const std::string& message) {
    return eventually([&] { return countMessages(readFile(dir.file("log.txt")), message) > 0; });
  };
  ASSERT_TRUE(logged("hotkey Cmd+Alt+W REFUSED, status -1"));
  ChildProcess stranger({"/usr/bin/setpriv", "--reuid=nimbra-sway", "--regid=nimbra-sway",
                         "--clear-groups", helperBinary(), "--open", "-Dir", dir.path()});
  EXPECT_EQ(stranger.waitExit(5s), 1);
  EXPECT_EQ(stranger.stderrText(),
            "nimbra-wheel: the helper serving " + dir.path() + " did not take the request\n");
  ChildProcess owner({helperBinary(), "--open", "-Dir", dir.path()});
  EXPECT_EQ(owner.waitExit(5s), 0) << owner.stderrText();
  ASSERT_TRUE(logged("wheel opened by hotkey at 0,0"));
  EXPECT_EQ(countMessages(readFile(dir.file("log.txt")), "wheel shown at 0,0"), 1);
  // Stopped, the helper takes no request: each still ends, none waits for ever on the helper's
  // full queue of connections (a key binding's command a press).
  helper.signal(SIGSTOP);
  std::vector<std::unique_ptr<ChildProcess>> unanswered;
  for (int i = 0; i < 12; ++i) {
    unanswered.push_back(std::make_unique<ChildProcess>(
        std::vector<std::string>{helperBinary(), "--open", "-Dir", dir.path()}));
  }
  for (auto& request : unanswered) EXPECT_EQ(request->waitExit(10s), 1);
  helper.signal(SIGCONT);
  writeFile(dir.file("stop.txt"), "");
  EXPECT_EQ(helper.waitExit(5s), 0);
}

}  // namespace
}  // namespace nimbra::testing
