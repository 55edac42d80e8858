// Shared set-up of the X11 backend tests: a private Xvfb, a probe client on it, and the
// backend under test, driven by iterating the GLib loop that the backend runs on.
#pragma once

#include <gtest/gtest.h>

#include <cairo.h>
#include <glib.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/x11_platform.h"
#include "support/xvfb.h"
#include "wheel/paint/canvas.h"

namespace nimbra::testing {

// A view that paints an opaque disc of one colour, inset from the window's edge, and records
// the mouse calls it gets.
class StubView : public ViewDelegate {
 public:
  struct Call {
    std::string what;
    Point at;
  };

  explicit StubView(std::uint32_t rgb = 0xD02020, double inset = 0.15) : rgb_(rgb), inset_(inset) {}

  void draw(Canvas& canvas, const Rect& dirty) override {
    ++draws;
    const double w = dirty.size.width * canvas.scale;
    const double h = dirty.size.height * canvas.scale;
    const double r = std::min(w, h) * (0.5 - inset_);
    cairo_set_source_rgb(canvas.cr, ((rgb_ >> 16) & 0xFF) / 255.0, ((rgb_ >> 8) & 0xFF) / 255.0,
                         (rgb_ & 0xFF) / 255.0);
    cairo_arc(canvas.cr, w / 2, h / 2, r, 0, 2 * M_PI);
    cairo_fill(canvas.cr);
    lastScale = canvas.scale;
  }
  void mouseMoved(Point p) override { calls.push_back({"moved", p}); }
  void mouseDragged(Point p) override { calls.push_back({"dragged", p}); }
  void mouseDown(Point p) override { record("down", p); }
  void rightMouseDown(Point p) override { record("rightDown", p); }
  void otherMouseDown(Point p) override { record("otherDown", p); }

  void setColour(std::uint32_t rgb) { rgb_ = rgb; }
  int count(const std::string& what) const {
    int n = 0;
    for (const Call& c : calls) n += c.what == what;
    return n;
  }

  int draws = 0;
  double lastScale = 0;
  std::vector<Call> calls;
  std::function<void()> onClick;  // what a click does, as closing the wheel would

 private:
  void record(const char* what, Point p) {
    calls.push_back({what, p});
    if (onClick) onClick();
  }

  std::uint32_t rgb_;
  double inset_;
};

class X11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<Xvfb>();
    ASSERT_TRUE(server->ok()) << "Xvfb did not start";
    probe = std::make_unique<XProbe>(server->display());
    ASSERT_TRUE(probe->ok());
  }

  void TearDown() override {
    platform.reset();
    drainLoop();
    probe.reset();
    server.reset();
  }

  void startPlatform(X11Options options = {}) {
    options.display = server->display();
    platform = X11Platform::open(options);
    ASSERT_TRUE(platform) << "cannot open " << server->display();
  }

  Display* platformDisplay() { return platform->connection().display(); }

  static void drainLoop() {
    while (g_main_context_iteration(g_main_context_default(), FALSE)) {
    }
  }

  // Runs the backend's loop and reads the probe's events until `done` holds.
  bool waitFor(const std::function<bool()>& done,
               std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    std::vector<int> fds{ConnectionNumber(probe->display())};
    if (platform && platform->connection().alive()) {
      fds.push_back(ConnectionNumber(platformDisplay()));
    }
    return waitUntil(
        done,
        [&] {
          drainLoop();
          probe->pump();
        },
        fds, deadline);
  }

  // Everything sent so far has been handled by the server, read by the backend and answered,
  // and whatever that answer caused has reached the probe.
  void settle() {
    for (int round = 0; round < 3; ++round) {
      probe->sync();
      if (platform && platform->connection().alive()) XSync(platformDisplay(), False);
      drainLoop();
    }
    probe->sync();
  }

  std::unique_ptr<Xvfb> server;
  std::unique_ptr<XProbe> probe;
  std::unique_ptr<X11Platform> platform;
};

// A tap callback that records what it sees and swallows what the mouse trigger swallows.
struct TapRecorder {
  std::vector<TapEvent> events;
  TapCallbackFn callback() {
    return [this](const TapEvent& e) {
      events.push_back(e);
      return e.type == TapEventType::kMouseMoved ? TapVerdict::kPass : TapVerdict::kSwallow;
    };
  }
  int count(TapEventType type) const {
    int n = 0;
    for (const TapEvent& e : events) n += e.type == type;
    return n;
  }
};

}  // namespace nimbra::testing
