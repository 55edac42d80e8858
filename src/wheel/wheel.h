// The one controller of the radial menu: opens the wheel at a point, turns pointer offsets
// into a selection, closes it, and fires the selected tool into "cmd.txt".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "config/config.h"
#include "platform/platform.h"
#include "wheel/geometry.h"
#include "wheel/wheel_view.h"

namespace nimbra {

class Wheel {
 public:
  // Needs the process-wide platform and work directory.
  explicit Wheel(std::shared_ptr<const Config> cfg);
  ~Wheel();
  Wheel(const Wheel&) = delete;
  Wheel& operator=(const Wheel&) = delete;

  std::shared_ptr<const Config> cfg;
  std::shared_ptr<const Geometry> geo;
  std::unique_ptr<WheelView> view;  // declared before the window: the window goes first
  std::unique_ptr<PlatformWindow> window;
  bool shown = false;
  Point downPoint;  // wheel centre, global top-left coordinates
  std::int64_t downAt = 0;
  std::optional<TimerId> holdTimer;
  std::optional<Point> pendingDown;
  double cfgStamp = 0;
  bool hotMode = false;

  void show(Point at);
  void showByHotKey();
  void trackDelta(double dx, double dy);
  void hide(bool fire);
  void reloadConfigIfChanged();
  // Makes the painting caches and, while hidden, sizes the window for the next opening with
  // the view's picture, so that opening waits for none of it.
  void prepareForPainting();
};

}  // namespace nimbra
