// The thin layer between the helper's logic and the desktop it runs on.
//
// Everything here is plain values: no X11, GLib or Cairo type crosses this boundary.
// Backends: x11 (a real desktop), headless (no display) and, in the tests, a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace nimbra {

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  Point origin;
  Size size;
  bool operator==(const Rect&) const = default;
};

// ---- main loop -------------------------------------------------------------

// Identifies a scheduled timer; 0 is never handed out.
using TimerId = std::uint64_t;

// ---- overlay window and its view -------------------------------------------

// The surface the view paints on. Only the painting code and the backends know what is inside
// (a Cairo context and the device scale); the logic passes it through untouched.
struct Canvas;

// What the window's content view does: paint itself and, while the window takes the mouse,
// turn pointer input into selection changes. Points are in view coordinates, flipped:
// origin at the top left, y growing downward, in points.
class ViewDelegate {
 public:
  virtual ~ViewDelegate() = default;
  virtual void draw(Canvas& canvas, const Rect& dirty) = 0;
  virtual void mouseMoved(Point inView) = 0;
  virtual void mouseDragged(Point inView) = 0;
  virtual void mouseDown(Point inView) = 0;
  virtual void rightMouseDown(Point inView) = 0;
  virtual void otherMouseDown(Point inView) = 0;
};

// The one borderless, transparent, never-focused window above everything that holds the wheel.
// Created ignoring the mouse; frames are in bottom-left screen coordinates, in points.
class PlatformWindow {
 public:
  virtual ~PlatformWindow() = default;
  virtual void setFrame(const Rect& frame) = 0;  // no immediate display
  virtual void setNeedsDisplay() = 0;
  virtual void orderFrontRegardless() = 0;
  virtual void orderOut() = 0;
  virtual void setIgnoresMouseEvents(bool ignores) = 0;
  // Device pixels per point, for the view's painting.
  virtual double backingScale() const { return 1.0; }
  // False where nothing is ever painted (no display): painting caches are then not built.
  virtual bool drawsContent() const { return true; }
};

// ---- event tap -------------------------------------------------------------

// Event types the tap reports, with the values of the desktop event services.
enum class TapEventType : std::uint32_t {
  kNull = 0,
  kLeftMouseDown = 1,
  kLeftMouseUp = 2,
  kRightMouseDown = 3,
  kRightMouseUp = 4,
  kMouseMoved = 5,
  kLeftMouseDragged = 6,
  kRightMouseDragged = 7,
  kTapDisabledByTimeout = 0xFFFFFFFEu,
  kTapDisabledByUserInput = 0xFFFFFFFFu,
};

// One event as the tap sees it. `location` is global: origin at the top left of the primary
// display, y downward, in points. `userData` is the event-source user-data field (field 42).
struct TapEvent {
  TapEventType type = TapEventType::kNull;
  Point location;
  std::int64_t userData = 0;
};

enum class TapVerdict { kPass, kSwallow };

using TapCallbackFn = std::function<TapVerdict(const TapEvent&)>;

class EventTap {
 public:
  virtual ~EventTap() = default;
  // Attaches the tap to the main loop; callbacks arrive on the main thread from then on.
  virtual void addToMainLoop() = 0;
  virtual void enable(bool on) = 0;
};

// A synthetic mouse event ready to post; creation may fail, as on the desktop it can.
struct MouseEvent {
  TapEventType type = TapEventType::kNull;
  Point location;
  std::int64_t userData = 0;
};

class EventSource {
 public:
  virtual ~EventSource() = default;
  virtual std::optional<MouseEvent> createMouseEvent(TapEventType type, Point location) = 0;
  // Enters the event at the lowest level, so it passes through every tap, ours included.
  virtual void post(const MouseEvent& event) = 0;
};

// ---- hot keys --------------------------------------------------------------

struct HotKeyId {
  std::uint32_t signature = 0;
  std::uint32_t id = 0;
  bool operator==(const HotKeyId&) const = default;
};

// A registration handle; meaningful only to the backend that made it.
using HotKeyRef = std::uint64_t;

// A hot-key press as the handler receives it: the identifier may be unreadable.
struct HotKeyEvent {
  std::optional<HotKeyId> id;
};

using HotKeyHandlerFn = std::function<std::int32_t(const HotKeyEvent&)>;

// Key codes and modifier masks in the desktop's own numbering; backends map them.
inline constexpr std::uint32_t kKeyCodeW = 13;
inline constexpr std::uint32_t kKeyCodeEscape = 53;
inline constexpr std::uint32_t kModCommand = 0x100;
inline constexpr std::uint32_t kModOption = 0x800;

struct HotKeyRegistration {
  std::int32_t status = 0;  // 0 on success
  std::optional<HotKeyRef> ref;
  // The desktop answers later (a shortcut service may ask the user): the status then goes to
  // the outcome handler, once, on the main loop.
  bool pending = false;
};

using HotKeyOutcomeFn = std::function<void(std::int32_t status)>;

// ---- work-directory lock ----------------------------------------------------

// The advisory lock that marks the helper serving a work directory: held from start-up until
// the process ends, and given up only by the process ending.
struct WorkDirLock {
  enum class State {
    kAcquired,     // this process holds it
    kHeld,         // another process holds it
    kUnavailable,  // it cannot be had here (no usable lock file, or no locks on the file system)
  };
  State state = State::kUnavailable;
  // The holding process when kHeld; 0 or below when the system does not say which.
  std::int32_t holder = 0;
  bool operator==(const WorkDirLock&) const = default;
};

// ---- the platform ----------------------------------------------------------

class Platform {
 public:
  virtual ~Platform() = default;

  // Process and clock.
  virtual std::int32_t processId() = 0;
  virtual double now() = 0;  // wall-clock seconds since 1970, with the fraction
  virtual void terminate(std::int32_t pid) = 0;
  // Whether a signal could be sent to the process (it exists and may be signalled).
  virtual bool processExists(std::int32_t pid) = 0;
  // Seconds since the process started; a large value when the system cannot tell.
  virtual double processAge(std::int32_t pid) = 0;
  virtual void writeStandardError(const std::string& bytes) = 0;
  [[noreturn]] virtual void exitProcess(int status) = 0;

  // The work-directory lock on `lockFile`, tried once without waiting.
  virtual WorkDirLock lockWorkDirectory(const std::string& lockFile) = 0;
  // After kHeld: waits up to `seconds`, without spinning, for the lock to come free, and takes
  // it then (kAcquired); otherwise tells who holds it now.
  virtual WorkDirLock awaitWorkDirectoryLock(double seconds) = 0;
  // After kHeld: takes the lock as soon as it comes free, in the background; returns at once.
  virtual void takeWorkDirectoryLockWhenFree() = 0;
  // Once a tick: whether this process still holds the lock of the file now at the lock file's
  // name, taking it again where it can (the file was replaced, or the lock was lost); kHeld
  // names the process that holds it instead.
  virtual WorkDirLock checkWorkDirectoryLock() = 0;

  // Application and main loop. `run` does not return in normal operation.
  virtual void setAccessoryActivationPolicy() = 0;
  virtual void run() = 0;
  // Repeating timers drop missed firings; one-shot timers fire once. Callbacks run on the
  // main loop. A delay longer than the loop can hold is clamped to the longest it can.
  virtual TimerId scheduleRepeating(double seconds, std::function<void()> fire) = 0;
  virtual TimerId scheduleOnce(double seconds, std::function<void()> fire) = 0;
  virtual void invalidateTimer(TimerId timer) = 0;
  // Runs `work` on the main loop after the current callback has returned.
  virtual void deferToMain(std::function<void()> work) = 0;

  // Screens and pointer.
  virtual double firstScreenHeight() = 0;  // 0 when there is no screen
  virtual Point pointerLocation() = 0;     // bottom-left origin
  // The location of a fresh event (the pointer now), global top-left coordinates; none when
  // no event can be made.
  virtual std::optional<Point> currentEventLocation() = 0;

  // The overlay window; `view` must outlive the window.
  virtual std::unique_ptr<PlatformWindow> createOverlayWindow(ViewDelegate& view) = 0;

  // Event tap; none when it cannot be created.
  virtual std::unique_ptr<EventTap> createEventTap(TapCallbackFn callback) = 0;
  virtual std::unique_ptr<EventSource> createEventSource() = 0;

  // Hot keys.
  virtual void installHotKeyHandler(HotKeyHandlerFn handler) = 0;
  virtual HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                            HotKeyId id) = 0;
  virtual void unregisterHotKey(HotKeyRef ref) = 0;
  // Where the status of a pending registration goes.
  virtual void installHotKeyOutcomeHandler(HotKeyOutcomeFn handler) { (void)handler; }
  // Requests from `nimbra-wheel --open` for the work directory `dir`: `open` runs on the main
  // loop for each, where the pointer can be known (it acts as the summoning hot key).
  virtual void acceptOpenRequests(const std::string& dir, std::function<void()> open) {
    (void)dir, (void)open;
  }

  // Accessibility: whether this process may watch and post input; `prompt` asks the system
  // to offer the user a way to grant it.
  virtual bool isProcessTrusted(bool prompt) = 0;
};

}  // namespace nimbra
