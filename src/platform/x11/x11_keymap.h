// What the keyboard's current layout says: which keys type a symbol in any of its groups, which
// key sits at a place of the keyboard, and which modifier bits Super, Alt and NumLock carry.
// A snapshot of the server's map: a layout change (setxkbmap) makes it stale.
#pragma once

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

#include <vector>

namespace nimbra {

struct ModifierBits {
  unsigned super = Mod4Mask;
  unsigned alt = Mod1Mask;
  unsigned numLock = 0;
  bool operator==(const ModifierBits&) const = default;
};

// `modifiers` alone and with CapsLock, NumLock and both lit, without repeats: a grab on each
// keeps a lit lock key from disabling it.
std::vector<unsigned> lockVariants(unsigned modifiers, unsigned numLock);

class X11Keymap {
 public:
  // Reads the map (a few round trips).
  explicit X11Keymap(Display* display);
  ~X11Keymap();
  X11Keymap(const X11Keymap&) = delete;
  X11Keymap& operator=(const X11Keymap&) = delete;

  // The keys whose first two levels give `sym` (either case) in any group; when no key does,
  // the key with the XKB name `place` ("AD02", where W sits on a US keyboard), if any.
  std::vector<KeyCode> keysFor(KeySym sym, const char* place) const;
  ModifierBits modifierBits() const;

 private:
  bool types(KeyCode key, KeySym lower) const;

  Display* display_;
  XkbDescPtr xkb_ = nullptr;
  XModifierKeymap* modifiers_ = nullptr;
};

}  // namespace nimbra
