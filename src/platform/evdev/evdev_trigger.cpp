#include "platform/evdev/evdev_trigger.h"

#include <glib-unix.h>

#include <cstring>

namespace nimbra {
namespace {

GSource* watchFd(GlibLoop& loop, int fd, GUnixFDSourceFunc callback, gpointer data) {
  GSource* source =
      g_unix_fd_source_new(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
  g_source_set_callback(source, G_SOURCE_FUNC(callback), data, nullptr);
  g_source_attach(source, loop.context());
  return source;
}

void unwatch(GSource*& source) {
  if (!source) return;
  g_source_destroy(source);
  g_source_unref(source);
  source = nullptr;
}

constexpr gint64 kReleaseGapUs = 30000;

input_event inputEvent(int type, int code, int value) {
  input_event ev{};
  ev.type = static_cast<unsigned short>(type);
  ev.code = static_cast<unsigned short>(code);
  ev.value = value;
  return ev;
}

}  // namespace

EvdevTrigger::EvdevTrigger(GlibLoop& loop, TapCallbackFn callback, EvdevTrigger** slot)
    : loop_(loop), callback_(std::move(callback)), slot_(slot) {
  if (slot_) *slot_ = this;
}

EvdevTrigger::~EvdevTrigger() {
  if (slot_ && *slot_ == this) *slot_ = nullptr;
  if (releaseTimer_) loop_.invalidateTimer(releaseTimer_);
  watchdog_.reset();
  for (auto& [node, taken] : mice_) unwatch(taken.source);
  unwatch(monitorSource_);
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
}

void EvdevTrigger::addToMainLoop() {
  if (attached_) return;
  attached_ = true;
  watchdog_ = std::make_unique<EvdevWatchdog>(loop_.context(), [this] { resumed(); });
  udev_ = udev_new();
  if (!udev_) return;
  // The monitor first: a device that comes during the enumeration is not missed.
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ &&
      udev_monitor_filter_add_match_subsystem_devtype(monitor_, "input", nullptr) >= 0 &&
      udev_monitor_enable_receiving(monitor_) >= 0) {
    monitorSource_ = watchFd(loop_, udev_monitor_get_fd(monitor_), &EvdevTrigger::onUdev, this);
  }
  udev_enumerate* e = udev_enumerate_new(udev_);
  udev_enumerate_add_match_subsystem(e, "input");
  udev_enumerate_add_match_sysname(e, "event*");
  udev_enumerate_scan_devices(e);
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
    if (udev_device* d = udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry))) {
      if (const char* node = udev_device_get_devnode(d)) consider(node);
      udev_device_unref(d);
    }
  }
  udev_enumerate_unref(e);
}

void EvdevTrigger::consider(const std::string& devnode) {
  if (mice_.count(devnode)) return;
  std::unique_ptr<EvdevMouse> mouse = EvdevMouse::open(devnode);
  if (!mouse) {
    modifiers_.add(devnode);
    return;
  }
  Taken& taken = mice_[devnode];
  taken.mouse = std::move(mouse);
  taken.source = watchFd(loop_, taken.mouse->fd(), &EvdevTrigger::onReadable, this);
  watchdog_->watch(taken.mouse->fd());
  if (!watchdog_->lettingGo()) taken.mouse->grabIfIdle();
}

void EvdevTrigger::drop(const std::string& devnode) {
  modifiers_.remove(devnode);
  auto it = mice_.find(devnode);
  if (it == mice_.end()) return;
  if (pending_ == &it->second) {
    pending_ = nullptr;
    heldX_ = heldY_ = 0;
  }
  watchdog_->forget(it->second.mouse->fd());
  unwatch(it->second.source);
  mice_.erase(it);
}

gboolean EvdevTrigger::onUdev(gint, GIOCondition, gpointer data) {
  auto* self = static_cast<EvdevTrigger*>(data);
  while (udev_device* d = udev_monitor_receive_device(self->monitor_)) {
    const char* node = udev_device_get_devnode(d);
    const char* action = udev_device_get_action(d);
    const char* sysname = udev_device_get_sysname(d);
    if (node && action && sysname && std::strncmp(sysname, "event", 5) == 0) {
      if (std::strcmp(action, "remove") == 0) {
        self->drop(node);
      } else if (std::strcmp(action, "add") == 0 || std::strcmp(action, "change") == 0) {
        self->consider(node);
      }
    }
    udev_device_unref(d);
  }
  return G_SOURCE_CONTINUE;
}

gboolean EvdevTrigger::onReadable(gint fd, GIOCondition, gpointer data) {
  auto* self = static_cast<EvdevTrigger*>(data);
  for (auto& [node, taken] : self->mice_) {
    if (taken.mouse->fd() != fd) continue;
    Taken* t = &taken;
    const bool alive = t->mouse->readFrames(
        [self, t](const std::vector<input_event>& f) { self->onFrame(*t, f); });
    if (!alive) {
      // Unplugged: the source goes with the device; udev's remove finds nothing left.
      const std::string gone = node;
      self->drop(gone);
      return G_SOURCE_REMOVE;
    }
    // Taken once idle: at start, after a press that was down when it came, or after a stall.
    if (!t->mouse->grabbed() && !self->watchdog_->lettingGo()) t->mouse->grabIfIdle();
    return G_SOURCE_CONTINUE;
  }
  return G_SOURCE_REMOVE;
}

Point EvdevTrigger::location() const {
  return accumulated_;
}

EvdevTrigger::Taken* EvdevTrigger::target() {
  if (pending_) return pending_;
  return mice_.empty() ? nullptr : &mice_.begin()->second;
}

void EvdevTrigger::onFrame(Taken& taken, const std::vector<input_event>& frame) {
  int dx = 0;
  int dy = 0;
  for (const input_event& ev : frame) {
    if (ev.type == EV_REL && ev.code == REL_X) dx += ev.value;
    if (ev.type == EV_REL && ev.code == REL_Y) dy += ev.value;
  }
  accumulated_.x += dx;
  accumulated_.y += dy;
  // Ungrabbed, the desktop has seen the frame already: only the position counts, and a press
  // of ours released meanwhile (in a stall) ends here, its late hand-back click dropped.
  // (Let go by the watchdog counts as ungrabbed until the loop has taken the mice again.)
  if (!taken.mouse->grabbed() || watchdog_->lettingGo()) {
    if (taken.rightTaken && !taken.mouse->down(BTN_RIGHT)) {
      taken.rightTaken = false;
      dropClick_ = true;
      callback_({TapEventType::kRightMouseUp, location(), 0});
      loop_.deferToMain([this] {
        dropClick_ = false;
        flushHeld();
      });
    }
    return;
  }

  const Point at = location();
  out_.clear();
  bool released = false;
  for (const input_event& ev : frame) {
    if (ev.type == EV_KEY && ev.code == BTN_RIGHT) {
      if (ev.value == 1 && !taken.rightTaken && enabled_ && !modifiers_.anyHeld() &&
          callback_({TapEventType::kRightMouseDown, at, 0}) == TapVerdict::kSwallow) {
        taken.rightTaken = true;
        pending_ = &taken;
        continue;
      }
      if (ev.value == 0 && taken.rightTaken) {
        taken.rightTaken = false;
        callback_({TapEventType::kRightMouseUp, at, 0});
        released = true;
        continue;
      }
      if (taken.rightTaken) continue;  // its auto-repeat
    }
    if (ev.type == EV_REL && (ev.code == REL_X || ev.code == REL_Y) && pending_ == &taken) {
      (ev.code == REL_X ? heldX_ : heldY_) += ev.value;
      continue;
    }
    out_.push_back(ev);
  }
  taken.mouse->emit(out_);
  if ((dx || dy) && enabled_) {
    callback_(
        {taken.rightTaken ? TapEventType::kRightMouseDragged : TapEventType::kMouseMoved, at, 0});
  }
  // After the click the logic hands back (queued before this), whatever it decided.
  if (released) loop_.deferToMain([this] { flushHeld(); });
}

void EvdevTrigger::post(const MouseEvent& event) {
  if (event.type != TapEventType::kRightMouseDown && event.type != TapEventType::kRightMouseUp)
    return;
  if (dropClick_) return;
  if (event.type == TapEventType::kRightMouseUp) {
    // libinput holds back a release that follows its press within its debounce time (25 ms),
    // but not the motion behind it: the release waits that long, so the click stays in place.
    const gint64 wait = pressPostedUs_ + kReleaseGapUs - g_get_monotonic_time();
    if (wait <= 0) return release();
    if (!releaseTimer_) {
      releaseTimer_ = loop_.scheduleOnce(double(wait) / 1e6, [this] {
        releaseTimer_ = 0;
        release();
      });
    }
    return;
  }
  Taken* to = target();
  if (!to) return;
  to->mouse->emit({inputEvent(EV_KEY, BTN_RIGHT, 1)});
  pressPostedUs_ = g_get_monotonic_time();
}

void EvdevTrigger::release() {
  if (Taken* to = target()) to->mouse->emit({inputEvent(EV_KEY, BTN_RIGHT, 0)});
  flushHeld();
}

void EvdevTrigger::overlayShown() {
  flushHeld();
}

void EvdevTrigger::nudge(bool atLeftEdge) {
  Taken* to = target();
  if (!to) return;
  const int step = atLeftEdge ? 1 : -1;
  to->mouse->emit({inputEvent(EV_REL, REL_X, step)});
  to->mouse->emit({inputEvent(EV_REL, REL_X, -step)});
}

void EvdevTrigger::anchor(Point at) {
  accumulated_ = Point{at.x + heldX_, at.y + heldY_};
}

void EvdevTrigger::flushHeld() {
  if (keepHeld_ || releaseTimer_) return;
  Taken* from = pending_;
  pending_ = nullptr;
  if (!from || (!heldX_ && !heldY_)) return;
  std::vector<input_event> motion;
  if (heldX_) motion.push_back(inputEvent(EV_REL, REL_X, heldX_));
  if (heldY_) motion.push_back(inputEvent(EV_REL, REL_Y, heldY_));
  heldX_ = heldY_ = 0;
  from->mouse->emit(motion);
}

void EvdevTrigger::resumed() {
  // What was queued during the stall reached the desktop already: read it for the state, then
  // take each mouse again once it is idle.
  for (auto& [node, taken] : mice_) {
    taken.mouse->ungrab();
    Taken* t = &taken;
    t->mouse->readFrames([this, t](const std::vector<input_event>& f) { onFrame(*t, f); });
    t->mouse->grabIfIdle();
  }
}

}  // namespace nimbra
