// The X11 backend on a private Xvfb, with a probe client beside it; the backend runs when the
// test iterates the GLib loop.
#pragma once

#include <gtest/gtest.h>

#include <cairo.h>
#include <glib.h>

#include <array>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/x11_platform.h"
#include "support/xvfb.h"
#include "wheel/paint/canvas.h"

namespace nimbra::testing {

// Paints an opaque disc of one colour with `inset` of the side left around it, and records
// the mouse calls it gets.
class StubView : public ViewDelegate {
 public:
  struct Call {
    std::string what;
    Point at;
  };
  explicit StubView(std::uint32_t rgb = 0xD02020) : rgb(rgb) {}

  void draw(Canvas& canvas, const Rect& dirty) override {
    ++draws;
    lastScale = canvas.scale;
    const double w = dirty.size.width * canvas.scale;
    const double h = dirty.size.height * canvas.scale;
    cairo_set_source_rgb(canvas.cr, (rgb >> 16) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                         (rgb & 0xFF) / 255.0);
    cairo_arc(canvas.cr, w / 2, h / 2, std::min(w, h) * (0.5 - inset), 0, 2 * M_PI);
    cairo_fill(canvas.cr);
  }
  void mouseMoved(Point p) override { calls.push_back({"moved", p}); }
  void mouseDragged(Point p) override { calls.push_back({"dragged", p}); }
  void mouseDown(Point p) override { record("down", p); }
  void rightMouseDown(Point p) override { record("rightDown", p); }
  void otherMouseDown(Point p) override { record("otherDown", p); }

  int count(const std::string& what) const {
    int n = 0;
    for (const Call& c : calls) n += c.what == what;
    return n;
  }
  std::vector<Call> clicks() const {
    std::vector<Call> out;
    for (const Call& c : calls) {
      if (c.what != "moved" && c.what != "dragged") out.push_back(c);
    }
    return out;
  }

  std::uint32_t rgb;
  double inset = 0.15;
  int draws = 0;
  double lastScale = 0;
  std::vector<Call> calls;
  std::function<void()> onClick;  // what a click does, as closing the wheel would

 private:
  void record(const char* what, Point p) {
    calls.push_back({what, p});
    if (onClick) onClick();
  }
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
  }

  void startPlatform(X11Options options = {}) {
    options.display = server->display();
    platform = X11Platform::open(options);
    ASSERT_TRUE(platform) << "cannot open " << server->display();
  }

  static void drainLoop() {
    while (g_main_context_iteration(g_main_context_default(), FALSE)) {
    }
  }

  // Runs the backend's loop and reads the probe's events until `done` holds.
  bool waitFor(const std::function<bool()>& done,
               std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    std::vector<int> fds{ConnectionNumber(probe->display())};
    if (platform && platform->connection().alive()) {
      fds.push_back(ConnectionNumber(platform->connection().display()));
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
      if (platform && platform->connection().alive())
        XSync(platform->connection().display(), False);
      drainLoop();
    }
    probe->sync();
  }

  int buttons(Window w = 0) const {
    return probe->count(ButtonPress, w) + probe->count(ButtonRelease, w);
  }

  std::unique_ptr<Xvfb> server;
  std::unique_ptr<XProbe> probe;
  std::unique_ptr<X11Platform> platform;
};

// Records what the tap sees and swallows what the mouse trigger swallows.
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
