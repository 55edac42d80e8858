#include "scripted_tour.h"

#include <X11/keysym.h>
#include <cairo.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>

#include "helper_process.h"
#include "sample_wheel.h"
#include "support/xvfb.h"
#include "work_dir_watch.h"

namespace nimbra::demo {
namespace {

using namespace std::chrono_literals;
using testing::Screenshot;
using testing::XProbe;
using testing::Xvfb;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kDesktop = 0x3A5F7A;

bool savePng(const Screenshot& shot, const std::string& path) {
  auto* data = reinterpret_cast<unsigned char*>(const_cast<std::uint32_t*>(shot.pixels.data()));
  cairo_surface_t* surface = cairo_image_surface_create_for_data(
      data, CAIRO_FORMAT_RGB24, shot.width, shot.height, shot.width * 4);
  const bool ok = cairo_surface_write_to_png(surface, path.c_str()) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(surface);
  return ok;
}

struct Tour {
  std::string dir;
  WorkDirWatch watch;
  XProbe& probe;
  Xvfb& server;
  std::string lastCmd;

  // Prints each new cmd.txt message; true once `done` holds, false after `deadline`.
  bool follow(const std::function<bool()>& done, std::chrono::milliseconds deadline = 10s) {
    const auto end = Clock::now() + deadline;
    while (!done()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0) return false;
      for (const std::string& name : watch.changes(left)) {
        if (name != "cmd.txt") continue;
        lastCmd = readText(dir + "/cmd.txt");
        std::printf("  cmd.txt: %s\n", lastCmd.c_str());
        std::fflush(stdout);
      }
    }
    return true;
  }
  bool logged(const std::string& text) const {
    return readText(dir + "/log.txt").find("] " + text) != std::string::npos;
  }
  void moveTo(Point p) { probe.moveTo(int(std::lround(p.x)), int(std::lround(p.y))); }
  // The helper paints a moment after the move: wait until the pixel shows the highlight.
  std::optional<Screenshot> shotOnceHighlighted(Point p, std::uint32_t colour) {
    auto near = [colour](std::uint32_t px) {
      for (int shift : {0, 8, 16}) {
        if (std::abs(int((px >> shift) & 0xFF) - int((colour >> shift) & 0xFF)) > 48) return false;
      }
      return true;
    };
    const auto end = Clock::now() + 3s;
    std::optional<Screenshot> shot;
    while (Clock::now() < end) {
      shot = testing::readXwd(server.framebufferFile());
      if (shot && near(shot->at(int(std::lround(p.x)), int(std::lround(p.y))))) break;
      watch.changes(20ms);
    }
    return shot;
  }
  void save(const std::optional<Screenshot>& shot, const std::string& name) {
    const std::string path = dir + "/" + name;
    if (shot && savePng(*shot, path)) std::printf("  screenshot: %s\n", path.c_str());
  }
};

bool holdMoveRelease(Tour& t) {
  std::printf("\nPick 1: hold the right button, move onto \"Brush\", release.\n");
  const Point centre{640, 400};
  const Aim aim = aimAtTool(centre, 0, 1);
  t.moveTo(centre);
  t.probe.press(Button3);
  if (!t.follow([&] { return t.lastCmd == "~open"; })) return false;
  t.moveTo(aim.ring);
  t.moveTo(aim.tool);
  t.save(t.shotOnceHighlighted(aim.tool, 0xE0533D), "wheel-held.png");
  t.probe.release(Button3);
  return t.follow([&] { return t.lastCmd == "tool:brush"; });
}

bool hotKeyPick(Tour& t) {
  std::printf("\nPick 2: Super+Alt+W, point at the top-right anchor cell, left click.\n");
  const Point centre{560, 430};
  const Aim aim = aimAtTool(centre, 1, 2);
  t.moveTo(centre);
  t.lastCmd.clear();
  t.probe.chord({XK_Super_L, XK_Alt_L, XK_w});
  if (!t.follow([&] { return t.lastCmd == "~open"; })) return false;
  t.moveTo(aim.ring);
  t.moveTo(aim.tool);
  t.save(t.shotOnceHighlighted(aim.tool, 0x3D8FE0), "wheel-hotkey.png");
  t.probe.click(Button1, int(std::lround(aim.tool.x)), int(std::lround(aim.tool.y)));
  return t.follow([&] { return t.lastCmd == "anchor:1,0"; });
}

}  // namespace

int runScriptedTour(const std::string& dir) {
  std::printf("No display: starting a private X server (Xvfb) for a scripted tour.\n");
  Xvfb server;
  if (!server.ok()) {
    std::fprintf(stderr, "cannot start Xvfb; is it installed?\n");
    return 1;
  }
  XProbe probe(server.display());
  probe.createWindow(0, 0, 1280, 800, kDesktop);  // something to show around the wheel
  Tour tour{dir, WorkDirWatch(dir), probe, server, {}};
  HelperProcess helper(dir, server.display());
  std::printf("helper started on %s, work directory %s\n", server.display().c_str(), dir.c_str());
  if (!tour.follow([&] { return tour.logged("event tap installed"); })) {
    std::fprintf(stderr, "the helper did not install its event tap:\n%s",
                 readText(dir + "/log.txt").c_str());
    return 1;
  }
  const bool ok = holdMoveRelease(tour) && hotKeyPick(tour);
  std::printf("\nStopping the helper (stop.txt)...\n");
  const int status = helper.stop();
  std::printf("helper exited with status %d\n\nlog.txt:\n%s", status,
              readText(dir + "/log.txt").c_str());
  if (!ok)
    std::fprintf(stderr, "\nthe tour did not finish: last cmd.txt \"%s\"\n", tour.lastCmd.c_str());
  return ok && status == 0 ? 0 : 1;
}

}  // namespace nimbra::demo
