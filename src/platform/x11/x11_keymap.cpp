#include "platform/x11/x11_keymap.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstring>

namespace nimbra {
namespace {

KeySym lowerCase(KeySym sym) {
  KeySym lower = 0;
  KeySym upper = 0;
  XConvertCase(sym, &lower, &upper);
  return lower;
}

}  // namespace

std::vector<unsigned> lockVariants(unsigned modifiers, unsigned numLock) {
  std::vector<unsigned> out;
  for (unsigned extra :
       {0u, static_cast<unsigned>(LockMask), numLock, static_cast<unsigned>(LockMask) | numLock}) {
    if (std::find(out.begin(), out.end(), modifiers | extra) == out.end()) {
      out.push_back(modifiers | extra);
    }
  }
  return out;
}

X11Keymap::X11Keymap(Display* display) : display_(display) {
  xkb_ = XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
  if (xkb_ && XkbGetNames(display, XkbKeyNamesMask, xkb_) != Success) {
    XkbFreeNames(xkb_, XkbKeyNamesMask, True);
  }
  modifiers_ = XGetModifierMapping(display);
}

X11Keymap::~X11Keymap() {
  if (xkb_) XkbFreeKeyboard(xkb_, 0, True);
  if (modifiers_) XFreeModifiermap(modifiers_);
}

bool X11Keymap::types(KeyCode key, KeySym lower) const {
  if (!xkb_) return XKeysymToKeycode(display_, lower) == key;
  if (key < xkb_->min_key_code || key > xkb_->max_key_code) return false;
  const int groups = XkbKeyNumGroups(xkb_, key);
  for (int group = 0; group < groups; ++group) {
    const int levels = std::min(2, static_cast<int>(XkbKeyGroupWidth(xkb_, key, group)));
    for (int level = 0; level < levels; ++level) {
      const KeySym sym = XkbKeySymEntry(xkb_, key, level, group);
      if (sym != NoSymbol && lowerCase(sym) == lower) return true;
    }
  }
  return false;
}

std::vector<KeyCode> X11Keymap::keysFor(KeySym sym, const char* place) const {
  std::vector<KeyCode> keys;
  const KeySym lower = lowerCase(sym);
  if (!xkb_) {
    if (const KeyCode key = XKeysymToKeycode(display_, sym)) keys.push_back(key);
    return keys;
  }
  for (int key = xkb_->min_key_code; key <= xkb_->max_key_code; ++key) {
    if (types(static_cast<KeyCode>(key), lower)) keys.push_back(static_cast<KeyCode>(key));
  }
  if (!keys.empty() || !place || !xkb_->names || !xkb_->names->keys) return keys;
  for (int key = xkb_->min_key_code; key <= xkb_->max_key_code; ++key) {
    if (std::strncmp(xkb_->names->keys[key].name, place, XkbKeyNameLength) == 0) {
      keys.push_back(static_cast<KeyCode>(key));
      break;
    }
  }
  return keys;
}

ModifierBits X11Keymap::modifierBits() const {
  ModifierBits bits;
  if (!modifiers_) return bits;
  // The first modifier whose keys include one of the symbols; the defaults stay otherwise.
  auto bitOf = [&](std::initializer_list<KeySym> syms) -> unsigned {
    for (int mod = 0; mod < 8; ++mod) {
      for (int k = 0; k < modifiers_->max_keypermod; ++k) {
        const KeyCode key = modifiers_->modifiermap[mod * modifiers_->max_keypermod + k];
        if (key == 0) continue;
        for (KeySym sym : syms) {
          if (types(key, lowerCase(sym))) return 1u << mod;
        }
      }
    }
    return 0;
  };
  bits.numLock = bitOf({XK_Num_Lock});
  if (const unsigned super = bitOf({XK_Super_L, XK_Super_R})) bits.super = super;
  if (const unsigned alt = bitOf({XK_Alt_L, XK_Alt_R})) bits.alt = alt;
  return bits;
}

}  // namespace nimbra
