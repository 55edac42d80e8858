// Global hot keys as key grabs on the root window.
//
// Key codes and modifier masks arrive in the desktop numbering of platform.h. A key is grabbed
// where the current layout types its symbol, in any group, or where it sits on a US keyboard
// when no group types it; the grabs follow every layout change. Each combination is grabbed
// also with CapsLock, NumLock and both, so a lit lock key does not disable it.
//
// The grabs are asynchronous, as hot-key daemons' are: the server takes the keyboard for the
// helper from the hot key's press until that key comes up, and never waits for the helper, so
// a stuck helper freezes nobody's keyboard. The focused application sees neither the hot key's
// press nor its release; what else goes up or is typed meanwhile comes to the helper too, and
// the application learns the modifiers' state anew from the focus events around the grab
// (FocusOut and FocusIn, modes NotifyGrab and NotifyUngrab). The presses the server repeats
// while the key is held fire nothing.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_keymap.h"

namespace nimbra {

// Where a desktop key code's key is: the symbol it types on a US keyboard and its XKB name
// there; none for the keys this backend does not know.
struct KeyPlace {
  KeySym sym;
  const char* name;
};
std::optional<KeyPlace> keyPlaceForKeyCode(std::uint32_t keyCode);

class X11HotKeys : private X11EventHandler {
 public:
  explicit X11HotKeys(X11Connection& connection);
  ~X11HotKeys() override;
  X11HotKeys(const X11HotKeys&) = delete;
  X11HotKeys& operator=(const X11HotKeys&) = delete;

  void setHandler(HotKeyHandlerFn handler) { handler_ = std::move(handler); }
  // Status 0 with a reference, or the X error code of the refused grab (BadAccess, 10, when
  // another client holds the combination) and no reference; nothing stays grabbed then.
  HotKeyRegistration add(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyId id);
  void remove(HotKeyRef ref);

 private:
  struct Registration {
    KeyPlace place;
    std::uint32_t modifiers;  // desktop numbering
    HotKeyId id;
    std::vector<KeyCode> keys;  // grabbed now
    unsigned xModifiers = 0;
  };

  void handleEvent(XEvent& event) override;
  void keyboardChanged() override;
  // Grabs the registration's keys under the current map; the X error code, 0 on success.
  int grab(Registration& r, const X11Keymap& keymap);
  void ungrab(const Registration& r);
  const Registration* match(const XKeyEvent& key) const;

  X11Connection& connection_;
  HotKeyHandlerFn handler_;
  std::map<HotKeyRef, Registration> registrations_;
  HotKeyRef nextRef_ = 1;
  ModifierBits bits_;
  std::vector<KeyCode> held_;  // hot keys pressed whose release is still to come
};

}  // namespace nimbra
