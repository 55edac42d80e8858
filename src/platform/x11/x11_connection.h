// The backend's one connection to the X server: the display and its root window, the
// extensions it offers, the parts that want its events, and its end when the server goes away.
#pragma once

#include <X11/Xlib.h>
#include <glib.h>

#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nimbra {

class X11EventSource;

// A part of the backend that reads events from the connection.
class X11EventHandler {
 public:
  virtual ~X11EventHandler() = default;
  // Every event read; a generic (extension) event arrives with its cookie data fetched.
  virtual void handleEvent(XEvent& event) = 0;
  // Once the queue has been drained, for work better done once per batch.
  virtual void afterEvents() {}
  // The overlay window appeared on or left the screen.
  virtual void overlayShown(bool shown) { (void)shown; }
  // The keyboard's layout or modifier map changed; called once per batch of events, before
  // afterEvents.
  virtual void keyboardChanged() {}
};

struct X11Extensions {
  bool xtest = false;
  bool xinput2 = false;
  int xiOpcode = 0;
  bool xfixes = false;
  int xfixesEventBase = 0;
  bool shape = false;
  bool shm = false;
  bool xkb = false;
  int xkbEventBase = 0;
};

// Where the pointer is on the root window, in pixels, and which buttons and modifiers are down.
struct PointerState {
  int x = 0;
  int y = 0;
  unsigned mask = 0;
};

class X11Connection {
 public:
  // One round trip; none when the server cannot tell (or is gone).
  std::optional<PointerState> queryPointer() const;

  // Opens the named display (the environment's DISPLAY when empty) and attaches its event
  // source to `context`; none when it cannot be opened.
  static std::unique_ptr<X11Connection> open(const std::string& displayName, GMainContext* context);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  Display* display() const { return display_; }
  GMainContext* context() const { return context_; }
  // False for good once the server has gone away: from then on no part talks to it.
  bool alive() const { return alive_; }
  int screen() const { return screen_; }
  Window root() const { return root_; }
  int rootWidth() const { return rootWidth_; }
  int rootHeight() const { return rootHeight_; }
  const X11Extensions& extensions() const { return extensions_; }

  // Device pixels per point: Xft.dpi / 96, 1 when the desktop does not say. A change of the
  // X resources is taken in while the overlay is off the screen, so one opening never mixes
  // two scales.
  double scale() const { return scale_; }
  double toPoints(double pixels) const { return pixels / scale_; }
  int toPixels(double points) const { return static_cast<int>(std::lround(points * scale_)); }

  Atom atom(const char* name);

  void addHandler(X11EventHandler* handler);
  void removeHandler(X11EventHandler* handler);
  // Event mask bits on the root window; each part asks for its own, counted per bit.
  void selectRootInput(long mask, bool on);
  void setOverlayShown(bool shown);
  bool overlayShown() const { return overlayShown_; }

  // Reads and hands out every queued event, then calls afterEvents.
  void dispatchQueued();

 private:
  X11Connection() = default;
  static void onConnectionLost(Display* display, void* self);
  // Notes what an event means for the connection as a whole (keyboard map, resources).
  void noteEvent(const XEvent& event);
  void readScale();

  Display* display_ = nullptr;
  GMainContext* context_ = nullptr;
  bool alive_ = true;
  int screen_ = 0;
  Window root_ = 0;
  int rootWidth_ = 0;
  int rootHeight_ = 0;
  double scale_ = 1.0;
  double pendingScale_ = 1.0;
  bool keyboardChanged_ = false;
  X11Extensions extensions_;
  std::map<std::string, Atom> atoms_;
  std::vector<X11EventHandler*> handlers_;  // removed entries become null while dispatching
  int dispatchDepth_ = 0;
  std::map<int, int> rootMaskCounts_;  // bit number -> parts asking for it
  bool overlayShown_ = false;
  std::unique_ptr<X11EventSource> source_;
};

}  // namespace nimbra
