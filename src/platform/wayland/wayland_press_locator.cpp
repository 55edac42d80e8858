#include "platform/wayland/wayland_press_locator.h"

namespace nimbra {

WaylandPressLocator::WaylandPressLocator(WaylandConnection& connection, WaylandPointerProbe& probe,
                                         TapCallbackFn logic, EvdevTrigger*& trigger,
                                         std::function<bool()> wheelShown)
    : connection_(connection),
      probe_(probe),
      logic_(std::move(logic)),
      trigger_(trigger),
      wheelShown_(std::move(wheelShown)) {}

TapVerdict WaylandPressLocator::onTap(const TapEvent& event) {
  switch (event.type) {
    case TapEventType::kRightMouseDown:
      if (locating_) return TapVerdict::kSwallow;
      // A probe already out for a summons, or none possible: the press goes as it is.
      if (wheelShown_() || probe_.active() || !trigger_) return logic_(event);
      if (!probe_.start([this](Point at) { connection_.sync([this, at] { located(at); }); },
                        [this] { located(std::nullopt); })) {
        return logic_(event);
      }
      locating_ = true;
      releasedMeanwhile_ = false;
      trigger_->keepHeld(true);
      return TapVerdict::kSwallow;
    case TapEventType::kRightMouseUp:
      if (locating_) {
        releasedMeanwhile_ = true;
        return TapVerdict::kSwallow;
      }
      if (passed_) {
        passed_ = false;
        if (trigger_) trigger_->post(MouseEvent{event.type, event.location, 0});
        return TapVerdict::kSwallow;
      }
      if (wheelShown_()) {
        // The open wheel had the pointer: once the compositor has taken it away, the window
        // beneath gets the pointer back only when it moves.
        const TapVerdict verdict = logic_(event);
        connection_.sync([this, at = event.location] {
          if (trigger_) trigger_->nudge(at.x < 1);
        });
        return verdict;
      }
      return logic_(event);
    default:
      // No motion reaches the logic before the press it belongs to.
      return locating_ ? TapVerdict::kSwallow : logic_(event);
  }
}

void WaylandPressLocator::pointerAt(Point at) {
  if (!trigger_ || locating_) return;
  // The mice's own count got there first unless the compositor made more of the motion.
  const bool corrected = trigger_->location() != at;
  trigger_->anchor(at);
  if (corrected) logic_({TapEventType::kRightMouseDragged, at, 0});
}

void WaylandPressLocator::located(std::optional<Point> at) {
  if (!locating_) return;
  locating_ = false;
  if (!trigger_) return;
  trigger_->keepHeld(false);
  if (at) {
    // The covers are gone, but the compositor gives the pointer back to the window beneath only
    // when the pointer moves: the click handed back would otherwise reach nothing.
    trigger_->nudge(at->x < 1);
    trigger_->anchor(*at);
  }
  const Point pressed = at.value_or(trigger_->location());
  if (logic_({TapEventType::kRightMouseDown, pressed, 0}) == TapVerdict::kPass) {
    passed_ = true;
    trigger_->post(MouseEvent{TapEventType::kRightMouseDown, pressed, 0});
  }
  if (releasedMeanwhile_) {
    releasedMeanwhile_ = false;
    onTap({TapEventType::kRightMouseUp, pressed, 0});
  }
}

}  // namespace nimbra
