// The X11 backend on a private Xvfb with a probe client beside it, run as the test turns GLib.
#pragma once

#include <gtest/gtest.h>

#include <cairo.h>
#include <glib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_platform.h"
#include "support/xvfb.h"
#include "wheel/paint/canvas.h"

namespace nimbra::testing {

// Paints an opaque disc of one colour, `inset` of the side in from the edge, and records the
// mouse calls it gets.
struct StubView : ViewDelegate {
  void draw(Canvas& canvas, const Rect& dirty) override {
    lastScale = canvas.scale;
    const double side = dirty.size.width * canvas.scale;
    cairo_set_source_rgb(canvas.cr, (rgb >> 16) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                         (rgb & 0xFF) / 255.0);
    cairo_arc(canvas.cr, side / 2, side / 2, side * (0.5 - inset), 0, 2 * M_PI);
    cairo_fill(canvas.cr);
  }
  void mouseMoved(Point p) override { calls.push_back({"moved", p}); }
  void mouseDragged(Point p) override { calls.push_back({"dragged", p}); }
  void mouseDown(Point p) override { record("down", p); }
  void rightMouseDown(Point p) override { record("rightDown", p); }
  void otherMouseDown(Point p) override { record("otherDown", p); }
  void record(const char* what, Point p) {
    calls.push_back({what, p});
    if (onClick) onClick();
  }
  int count(const std::string& what) const {
    return std::count_if(calls.begin(), calls.end(), [&](auto& c) { return c.first == what; });
  }

  std::uint32_t rgb = 0xD02020;
  double inset = 0.15, lastScale = 0;
  std::vector<std::pair<std::string, Point>> calls;
  std::function<void()> onClick;  // what a click does, as closing the wheel would
};

class X11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<Xvfb>();
    ASSERT_TRUE(server->ok()) << "Xvfb did not start";
    probe = std::make_unique<XProbe>(server->display());
  }
  void TearDown() override {
    platform.reset();
    drainLoop();
  }
  void startPlatform(X11Options options = {}) {
    options.display = server->display();
    platform = X11Platform::open(options);
    ASSERT_TRUE(platform) << "cannot open " << server->display();
  }
  static void drainLoop() {
    while (g_main_context_iteration(nullptr, FALSE)) continue;
  }
  bool alive() const { return platform && platform->connection().alive(); }
  // Turns the backend's loop and reads the probe's events until `done` holds.
  bool waitFor(const std::function<bool()>& done,
               std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    std::vector<int> fds{ConnectionNumber(probe->display())};
    if (alive()) fds.push_back(ConnectionNumber(platform->connection().display()));
    auto step = [&] { drainLoop(), probe->pump(); };
    return waitUntil(done, step, fds, deadline);
  }
  // All sent so far is handled by the server and the backend, and what that caused has arrived.
  void settle() {
    for (int round = 0; round < 3; ++round) {
      probe->sync();
      if (alive()) XSync(platform->connection().display(), False);
      drainLoop();
    }
    probe->sync();
  }
  // Type, button and place of each button event the probe got, on `w` if given.
  std::vector<std::array<int, 4>> clicks(Window w = 0) const {
    std::vector<std::array<int, 4>> out;
    for (const ProbeEvent& e : probe->events) {
      if ((e.type == ButtonPress || e.type == ButtonRelease) && (!w || e.window == w)) {
        out.push_back({e.type, int(e.detail), e.xRoot, e.yRoot});
      }
    }
    return out;
  }
  int buttons(Window w = 0) const { return int(clicks(w).size()); }
  bool grabbedElsewhere(unsigned key, unsigned modifiers) {  // refuses a grab of ours
    X11ErrorTrap trap(probe->display());
    XGrabKey(probe->display(), key, modifiers, probe->root(), False, GrabModeAsync, GrabModeAsync);
    const bool taken = trap.finish() == BadAccess;
    XUngrabKey(probe->display(), key, modifiers, probe->root());
    return taken;
  }

  std::unique_ptr<Xvfb> server;
  std::unique_ptr<XProbe> probe;
  std::unique_ptr<X11Platform> platform;
};

}  // namespace nimbra::testing
