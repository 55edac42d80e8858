// On a Wayland desktop without the layer shell (weston) the helper says so once and carries on
// with X11 through XWayland (here a private Xvfb stands in for it) or headless.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/child_process.h"
#include "support/helper_fixture.h"
#include "support/temp_dir.h"
#include "support/xvfb.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

TEST(OnWeston, SaysWhyInOneLineAndCarriesOnWithX11OrHeadless) {
  TempDir runtime, dir;
  ::chmod(runtime.path().c_str(), 0700);
  ChildProcess weston(
      {"/usr/bin/weston", "--backend=headless-backend.so", "--socket=wayland-1", "--idle-time=0"},
      {"XDG_RUNTIME_DIR=" + runtime.path(), "WAYLAND_DISPLAY", "DISPLAY"});
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(runtime.file("wayland-1")); }, 10s))
      << weston.stderrText();
  Xvfb xwayland;
  ASSERT_TRUE(xwayland.ok());
  const std::string why =
      "no layer-shell on this Wayland desktop: the compositor offers no zwlr_layer_shell_v1 "
      "(version 3 or later); ";
  const std::tuple<std::string, const char*, const char*> cases[] = {
      {"DISPLAY", "running headless", "hotkey Cmd+Alt+W REFUSED, status -1"},
      {"DISPLAY=" + xwayland.display(), "using X11 through XWayland", "event tap installed"}};
  for (const auto& [display, carriesOn, served] : cases) {
    ChildProcess helper(
        {helperBinary(), "-Dir", dir.path()},
        {"XDG_RUNTIME_DIR=" + runtime.path(), "WAYLAND_DISPLAY=wayland-1", display});
    ASSERT_TRUE(eventually([&] { return countMessages(readFile(dir.file("log.txt")), served); }))
        << readFile(dir.file("log.txt"));
    EXPECT_EQ(helper.stderrText(), why + carriesOn + "\n");
    writeFile(dir.file("stop.txt"), "");
    EXPECT_EQ(helper.waitExit(5s), 0);
    std::filesystem::remove(dir.file("log.txt"));
  }
}

}  // namespace
}  // namespace nimbra::testing
