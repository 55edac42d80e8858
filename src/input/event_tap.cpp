#include "input/event_tap.h"

#include "app/heartbeat.h"
#include "app/process_state.h"
#include "wheel/wheel.h"

namespace nimbra {
namespace {

// Tracks the pointer's offset from the centre; redraws only when the selection changed.
void track(Wheel& wheel, Point at) {
  const int seg = wheel.view->curSeg;
  const int tool = wheel.view->curTool;
  wheel.trackDelta(at.x - wheel.downPoint.x, at.y - wheel.downPoint.y);
  if (seg != wheel.view->curSeg || tool != wheel.view->curTool) wheel.view->setNeedsDisplay();
}

void postMarked(EventSource& source, TapEventType type, Point at) {
  if (std::optional<MouseEvent> event = source.createMouseEvent(type, at)) {
    event->userData = kSyntheticMark;
    source.post(*event);
  }
}

}  // namespace

bool installTap() {
  ProcessState& p = process();
  std::unique_ptr<EventTap> tap = p.platform->createEventTap(&tapCallback);
  if (!tap) return false;
  p.gTap = std::move(tap);
  p.gTap->addToMainLoop();
  p.gTap->enable(true);
  log("event tap installed");
  return true;
}

TapVerdict tapCallback(const TapEvent& event) {
  // Kept short for the moves it does not act on: they arrive for every pointer motion.
  if (event.type == TapEventType::kTapDisabledByTimeout ||
      event.type == TapEventType::kTapDisabledByUserInput) {
    ProcessState& p = process();
    if (p.gTap) p.gTap->enable(true);
    log(event.type == TapEventType::kTapDisabledByTimeout ? "tap re-enabled after timeout"
                                                          : "tap re-enabled after user input");
    return TapVerdict::kPass;
  }
  if (event.userData == kSyntheticMark) return TapVerdict::kPass;

  ProcessState& p = process();
  Wheel* wheel = p.wheel.get();
  if (!wheel) return TapVerdict::kPass;
  const Point loc = event.location;

  switch (event.type) {
    case TapEventType::kRightMouseDown: {
      if (wheel->shown && wheel->hotMode) {
        wheel->hide(false);
        return TapVerdict::kSwallow;
      }
      wheel->downPoint = loc;
      wheel->downAt = toEpochMs(p.platform->now());
      wheel->pendingDown = loc;
      if (wheel->holdTimer) p.platform->invalidateTimer(*wheel->holdTimer);
      wheel->holdTimer =
          p.platform->scheduleOnce(static_cast<double>(wheel->cfg->holdMs) / 1000.0, &holdAction);
      return TapVerdict::kSwallow;
    }
    case TapEventType::kRightMouseUp: {
      if (wheel->holdTimer) p.platform->invalidateTimer(*wheel->holdTimer);
      wheel->holdTimer.reset();
      if (wheel->shown) {
        // The press before a hot-key opening is spent with it: re-posted at a later close,
        // it would click long after, somewhere the pointer left.
        if (wheel->hotMode) wheel->pendingDown.reset();
        wheel->hide(true);
      } else if (wheel->pendingDown) {
        const Point at = *wheel->pendingDown;
        wheel->pendingDown.reset();
        p.platform->deferToMain([at] { passThroughClick(at); });
      }
      return TapVerdict::kSwallow;
    }
    case TapEventType::kMouseMoved:
    case TapEventType::kRightMouseDragged: {
      if (!wheel->shown) return TapVerdict::kPass;
      track(*wheel, loc);
      return event.type == TapEventType::kMouseMoved ? TapVerdict::kPass : TapVerdict::kSwallow;
    }
    default:
      return TapVerdict::kPass;
  }
}

void holdAction() {
  ProcessState& p = process();
  Wheel* wheel = p.wheel.get();
  if (!wheel) return;
  wheel->pendingDown.reset();
  wheel->show(wheel->downPoint);
  const Point now = p.platform->currentEventLocation().value_or(wheel->downPoint);
  wheel->trackDelta(now.x - wheel->downPoint.x, now.y - wheel->downPoint.y);
  wheel->view->setNeedsDisplay();
}

void passThroughClick(Point at) {
  std::unique_ptr<EventSource> source = process().platform->createEventSource();
  if (!source) return;
  postMarked(*source, TapEventType::kRightMouseDown, at);
  postMarked(*source, TapEventType::kRightMouseUp, at);
}

}  // namespace nimbra
