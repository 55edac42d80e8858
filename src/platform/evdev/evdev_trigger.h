// The mouse trigger over the kernel's input devices, for desktops where no display protocol
// lets a client take the right button (Wayland). Every mouse is grabbed (EVIOCGRAB) while it is
// idle and re-emitted frame by frame through its twin; the right button goes to the tap's
// callback, and what it swallows never reaches the desktop. While a press is pending the
// pointer's motion is held back, so a click handed back lands at the press point; the held
// motion follows the click, or goes out at once when the wheel opens.
#pragma once

#include <glib.h>
#include <libudev.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/evdev/evdev_mouse.h"
#include "platform/evdev/evdev_watchdog.h"
#include "platform/evdev/modifier_keys.h"
#include "platform/glib_loop.h"
#include "platform/platform.h"

namespace nimbra {

class EvdevTrigger final : public EventTap {
 public:
  // Locations are the sum of the mice's relative motion since start, or since the last anchor.
  // `slot`, where given, names the trigger while it lives.
  EvdevTrigger(GlibLoop& loop, TapCallbackFn callback, EvdevTrigger** slot = nullptr);
  ~EvdevTrigger() override;
  EvdevTrigger(const EvdevTrigger&) = delete;
  EvdevTrigger& operator=(const EvdevTrigger&) = delete;

  void addToMainLoop() override;
  void enable(bool on) override { enabled_ = on; }

  // The pointer now, in the tap's coordinates.
  Point location() const;
  // A right press or release handed back by the trigger logic: goes out through the twin of
  // the mouse that made the press, where the held-back pointer still is.
  void post(const MouseEvent& event);
  // The wheel opened: a pending press is pending no more.
  void overlayShown();
  // The pointer was at `at` when the pending press came (or is there now, with none pending):
  // later locations count the mice's motion from there.
  void anchor(Point at);
  // A pointer motion there and back through the twin of the pending press's mouse, away from
  // the left edge unless `atLeftEdge`: the desktop looks again for what lies under the pointer.
  void nudge(bool atLeftEdge);
  // While kept, the motion held back behind a press stays held whatever the press becomes,
  // until a click is handed back or the wheel opens.
  void keepHeld(bool keep) { keepHeld_ = keep; }

 private:
  struct Taken {
    std::unique_ptr<EvdevMouse> mouse;
    GSource* source = nullptr;
    bool rightTaken = false;  // its right press went to the trigger logic
  };
  void consider(const std::string& devnode);
  void drop(const std::string& devnode);
  void onFrame(Taken& taken, const std::vector<input_event>& frame);
  void flushHeld();
  // The mouse a handed-back event goes through: the pending press's, else any.
  Taken* target();
  void release();
  void resumed();
  static gboolean onReadable(gint fd, GIOCondition condition, gpointer self);
  static gboolean onUdev(gint fd, GIOCondition condition, gpointer self);

  GlibLoop& loop_;
  TapCallbackFn callback_;
  EvdevTrigger** slot_;
  bool enabled_ = true;
  bool dropClick_ = false;
  bool attached_ = false;
  bool keepHeld_ = false;
  Point accumulated_;
  std::map<std::string, Taken> mice_;
  ModifierKeys modifiers_;
  Taken* pending_ = nullptr;      // the mouse whose press waits for its hold or release
  std::vector<input_event> out_;  // a frame as it goes out, kept for its storage
  gint64 pressPostedUs_ = 0;      // when the last press was handed back
  TimerId releaseTimer_ = 0;      // its release, waiting for the desktop's debounce time to pass
  int heldX_ = 0;
  int heldY_ = 0;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  GSource* monitorSource_ = nullptr;
  std::unique_ptr<EvdevWatchdog> watchdog_;
};

}  // namespace nimbra
