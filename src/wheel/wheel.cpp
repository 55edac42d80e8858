#include "wheel/wheel.h"

#include <cmath>
#include <string>

#include "app/log_text.h"
#include "app/process_state.h"
#include "files/paths.h"

namespace nimbra {
namespace {

Platform& platform() {
  return *process().platform;
}

// ((x mod 360) + 360) mod 360 with the remainder that keeps the dividend's sign: [0, 360).
double wrap360(double x) {
  return std::fmod(std::fmod(x, 360.0) + 360.0, 360.0);
}

std::string pointText(Point p) {
  return wholeNumber(p.x) + "," + wholeNumber(p.y);
}

}  // namespace

Wheel::Wheel(std::shared_ptr<const Config> config)
    : cfg(std::move(config)),
      geo(std::make_shared<const Geometry>(cfg)),
      view(std::make_unique<WheelView>(cfg, geo)),
      window(platform().createOverlayWindow(*view)) {
  view->window = window.get();
  view->scale = window->backingScale();
}

Wheel::~Wheel() = default;

void Wheel::show(Point at) {
  if (cfg->segs.empty()) {
    log("show refused: empty config");
    return;
  }
  shown = true;
  view->curSeg = -1;
  view->curTool = -1;

  const double e = 2 * cfg->radius + 8;
  const double side = 2 * e;
  const double screenHeight = platform().firstScreenHeight();
  window->setFrame(Rect{{at.x - e, (screenHeight - at.y) - e}, {side, side}});
  view->frame = Rect{{0, 0}, {side, side}};
  view->scale = window->backingScale();
  view->setNeedsDisplay();
  window->orderFrontRegardless();

  log("wheel shown at " + pointText(at));
  process().paths->write("cmd.txt", "~open");
}

void Wheel::showByHotKey() {
  if (shown) {
    hide(false);
    return;
  }
  if (cfg->segs.empty()) {
    log("hotkey: empty config, ignored");
    return;
  }
  const Point pointer = platform().pointerLocation();
  const Point centre{pointer.x, platform().firstScreenHeight() - pointer.y};

  hotMode = true;
  window->setIgnoresMouseEvents(false);

  downPoint = centre;
  show(centre);
  trackDelta(0, 0);
  view->setNeedsDisplay();

  ProcessState& p = process();
  if (!p.escRef) {
    p.escRef = platform().registerHotKey(kKeyCodeEscape, 0, HotKeyId{kHotSig, 2}).ref;
  }
  log("wheel opened by hotkey at " + pointText(centre));
}

void Wheel::trackDelta(double dx, double dy) {
  int& curSeg = view->curSeg;
  int& curTool = view->curTool;
  const Config& c = *geo->cfg;
  const double radius = c.radius;

  const double d = std::sqrt(dx * dx + dy * dy);
  const double a = std::atan2(dy, dx) * 180.0 / kPi;

  if (d <= kInnerRadiusFactor * radius) {
    curSeg = -1;
    curTool = -1;
    return;
  }
  if (d <= radius) {
    curSeg = geo->segAt(a);
    curTool = -1;
    return;
  }

  // Tool zone: the segment chosen in the ring stays latched whatever the angle does now.
  int s = curSeg;
  if (s < 0) {
    s = geo->segAt(a);
    curSeg = s;
  }
  if (s < 0 || static_cast<std::size_t>(s) >= c.segs.size() || c.segs[s].tools.empty()) {
    curTool = -1;
    return;
  }
  const std::vector<Tool>& tools = c.segs[s].tools;
  const double mid = segmentMidAngle(s, c.segs.size());

  if (const std::optional<AnchorGrid> grid = geo->segAnchor(s)) {
    curTool = -1;
    const double cx = radius * std::cos(mid * kPi / 180.0) * kAnchorGridDistanceFactor;
    const double cy = radius * std::sin(mid * kPi / 180.0) * kAnchorGridDistanceFactor;
    const double side = kAnchorGridSideFactor * radius;
    const double half = side / 2;
    const double cell = side / 3;
    // Written so that a NaN offset also lies outside the grid instead of reaching the cast.
    if (!(std::abs(dx - cx) <= half && std::abs(dy - cy) <= half)) return;
    auto index = [&](double offset) {
      const double i = std::floor((half + offset) / cell);
      return i < 0 ? 0 : (i > 2 ? 2 : static_cast<int>(i));
    };
    curTool = (*grid)[index(dy - cy) * 3 + index(dx - cx)];
    return;
  }

  const double k = std::floor(wrap360(a - geo->arcStart(s)) / kToolStepDegrees);
  if (k < static_cast<double>(tools.size())) {
    curTool = static_cast<int>(k);
    return;
  }
  // Beyond the arc: the nearer end, by the side of the segment's middle the pointer is on.
  double o = wrap360(a - mid);
  if (o > 180) o -= 360;
  curTool = o < 0 ? 0 : static_cast<int>(tools.size()) - 1;
}

void Wheel::hide(bool fire) {
  ProcessState& p = process();
  if (hotMode) {
    hotMode = false;
    window->setIgnoresMouseEvents(true);
    if (p.escRef) {
      platform().unregisterHotKey(*p.escRef);
      p.escRef.reset();
    }
    if (!fire) {
      log("wheel closed without a pick");
      shown = false;
      window->orderOut();
      view->curSeg = -1;
      view->curTool = -1;
      return;
    }
  }
  shown = false;
  window->orderOut();
  if (fire) {
    const int s = view->curSeg;
    const int t = view->curTool;
    // The selection is checked against the configuration in force: a reload may have shrunk it.
    if (s >= 0 && static_cast<std::size_t>(s) < cfg->segs.size() && t >= 0 &&
        static_cast<std::size_t>(t) < cfg->segs[s].tools.size()) {
      const std::string& cmd = cfg->segs[s].tools[t].cmd;
      p.paths->write("cmd.txt", cmd);
      log("fired " + cmd);
    }
  }
  view->curSeg = -1;
  view->curTool = -1;
}

void Wheel::reloadConfigIfChanged() {
  const Paths& paths = *process().paths;
  const double stamp = paths.mtime("wheel.cfg");
  if (stamp == cfgStamp) return;
  // Stored before loading: whatever this file state gives, it is not loaded again.
  cfgStamp = stamp;
  auto next = std::make_shared<const Config>(Config::load(paths));
  if (next->segs.empty()) return;

  cfg = next;
  geo = std::make_shared<const Geometry>(next);
  view->cfg = cfg;
  view->geo = geo;
  view->setNeedsDisplay();
  log("config reloaded: " + configSummary(*cfg));
  platform().deferToMain([] {
    if (process().wheel) process().wheel->prepareForPainting();
  });
}

void Wheel::prepareForPainting() {
  // An open wheel keeps its window's place and its view's frame: only the caches are made.
  if (!shown && window->drawsContent()) {
    const double side = 4 * cfg->radius + 16;
    view->frame = Rect{{0, 0}, {side, side}};
    view->scale = window->backingScale();
    window->setFrame(Rect{{0, 0}, {side, side}});
  }
  view->prepareForPainting();
}

}  // namespace nimbra
