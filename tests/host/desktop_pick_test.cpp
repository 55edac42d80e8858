// A real pick under Xvfb, from the right button's press to the host's event.
#include <stdlib.h>

#include <chrono>

#include "host/host_fixture.h"

// Xlib's macros (None among them) come after GoogleTest.
#include <X11/Xlib.h>

#include "support/xvfb.h"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(HostTest, AHoldMoveReleasePickOnTheDesktopReachesTheHostAfterItsOpening) {
  Xvfb server;
  ASSERT_TRUE(server.ok()) << "Xvfb did not start";
  XProbe probe(server.display());
  ASSERT_TRUE(probe.ok());
  ::setenv("DISPLAY", server.display().c_str(), 1);
  host::Helper helper = start(oneToolWheel());
  ASSERT_TRUE(eventually([&] { return logged("event tap installed"); }));

  probe.moveTo(640, 400);
  probe.press(Button3);
  const std::optional<host::Event> opened = helper.next_event(10s);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->kind, host::Event::Kind::open);
  probe.moveTo(640 + 300, 400);  // beyond the ring: the only tool
  probe.release(Button3);
  const std::optional<host::Event> picked = helper.next_event(10s);
  ASSERT_TRUE(picked);
  EXPECT_EQ(picked->kind, host::Event::Kind::pick);
  EXPECT_EQ(picked->command, "copy");
  EXPECT_EQ(picked->missed, 0);
  EXPECT_TRUE(helper.stop());
}

}  // namespace
}  // namespace nimbra::testing
