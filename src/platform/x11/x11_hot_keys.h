// Global hot keys as key grabs on the root window.
//
// Key codes and modifier masks arrive in the desktop numbering of platform.h and are mapped to
// key symbols and to the modifier bits the server's modifier map gives Super and Alt. Each
// combination is grabbed also with CapsLock, NumLock and both, so a lit lock key does not
// disable it. A hot key fires once per press: the presses the server repeats while it is held
// are let through to nobody.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/platform.h"
#include "platform/x11/x11_connection.h"

namespace nimbra {

// The key symbol of a desktop key code; none for the keys this backend does not know.
std::optional<KeySym> keySymForKeyCode(std::uint32_t keyCode);

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
  struct Grab {
    KeyCode key;
    unsigned modifiers;
    HotKeyId id;
  };
  struct ModifierBits {
    unsigned super = Mod4Mask;
    unsigned alt = Mod1Mask;
    unsigned numLock = 0;
  };

  void handleEvent(XEvent& event) override;
  ModifierBits readModifierMap();
  std::vector<unsigned> lockVariants(unsigned modifiers) const;
  void watchRelease(bool on);
  bool keyIsDown(KeyCode key);

  X11Connection& connection_;
  HotKeyHandlerFn handler_;
  std::map<HotKeyRef, Grab> grabs_;
  HotKeyRef nextRef_ = 1;
  ModifierBits bits_;
  KeyCode heldKey_ = 0;  // the hot key that fired and has not come up since
};

}  // namespace nimbra
