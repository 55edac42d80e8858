#include "platform/x11/x11_hot_keys.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>

#include <algorithm>

#include "platform/x11/x11_error_trap.h"

namespace nimbra {
namespace {

// Desktop modifier bits.
constexpr std::uint32_t kModShift = 0x200;
constexpr std::uint32_t kModControl = 0x1000;

}  // namespace

std::optional<KeySym> keySymForKeyCode(std::uint32_t keyCode) {
  // The desktop numbers keys by their place on an ANSI keyboard.
  static const std::map<std::uint32_t, KeySym> kKeys = {
      {0, XK_a},  {1, XK_s},       {2, XK_d},         {3, XK_f},      {4, XK_h},
      {5, XK_g},  {6, XK_z},       {7, XK_x},         {8, XK_c},      {9, XK_v},
      {11, XK_b}, {12, XK_q},      {kKeyCodeW, XK_w}, {14, XK_e},     {15, XK_r},
      {16, XK_y}, {17, XK_t},      {31, XK_o},        {32, XK_u},     {34, XK_i},
      {35, XK_p}, {36, XK_Return}, {37, XK_l},        {38, XK_j},     {40, XK_k},
      {45, XK_n}, {46, XK_m},      {48, XK_Tab},      {49, XK_space}, {kKeyCodeEscape, XK_Escape},
  };
  auto it = kKeys.find(keyCode);
  if (it == kKeys.end()) return std::nullopt;
  return it->second;
}

X11HotKeys::X11HotKeys(X11Connection& connection) : connection_(connection) {
  connection_.addHandler(this);
}

X11HotKeys::~X11HotKeys() {
  connection_.removeHandler(this);
  std::vector<HotKeyRef> refs;
  for (const auto& [ref, grab] : grabs_) refs.push_back(ref);
  for (HotKeyRef ref : refs) remove(ref);
}

X11HotKeys::ModifierBits X11HotKeys::readModifierMap() {
  ModifierBits bits;
  Display* d = connection_.display();
  XModifierKeymap* map = XGetModifierMapping(d);
  if (!map) return bits;
  auto maskOf = [&](KeySym sym) -> unsigned {
    const KeyCode code = XKeysymToKeycode(d, sym);
    if (code == 0) return 0;
    for (int mod = 0; mod < 8; ++mod) {
      for (int k = 0; k < map->max_keypermod; ++k) {
        if (map->modifiermap[mod * map->max_keypermod + k] == code) return 1u << mod;
      }
    }
    return 0;
  };
  bits.numLock = maskOf(XK_Num_Lock);
  if (const unsigned super = maskOf(XK_Super_L)) bits.super = super;
  if (const unsigned alt = maskOf(XK_Alt_L)) bits.alt = alt;
  XFreeModifiermap(map);
  return bits;
}

std::vector<unsigned> X11HotKeys::lockVariants(unsigned modifiers) const {
  std::vector<unsigned> out;
  for (unsigned extra : {0u, static_cast<unsigned>(LockMask), bits_.numLock,
                         static_cast<unsigned>(LockMask) | bits_.numLock}) {
    if (std::find(out.begin(), out.end(), modifiers | extra) == out.end()) {
      out.push_back(modifiers | extra);
    }
  }
  return out;
}

HotKeyRegistration X11HotKeys::add(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyId id) {
  if (!connection_.alive()) return {BadImplementation, std::nullopt};
  const std::optional<KeySym> sym = keySymForKeyCode(keyCode);
  Display* d = connection_.display();
  const KeyCode key = sym ? XKeysymToKeycode(d, *sym) : 0;
  if (key == 0) return {BadValue, std::nullopt};
  bits_ = readModifierMap();
  unsigned mods = 0;
  if (modifiers & kModCommand) mods |= bits_.super;
  if (modifiers & kModOption) mods |= bits_.alt;
  if (modifiers & kModShift) mods |= ShiftMask;
  if (modifiers & kModControl) mods |= ControlMask;

  const std::vector<unsigned> variants = lockVariants(mods);
  X11ErrorTrap trap(d);
  for (unsigned m : variants) {
    XGrabKey(d, key, m, connection_.root(), False, GrabModeAsync, GrabModeAsync);
  }
  const int status = trap.finish();
  if (status != 0 || !connection_.alive()) {
    // All or nothing: ungrabbing only ever lets go of this client's own grabs.
    for (unsigned m : variants) XUngrabKey(d, key, m, connection_.root());
    XFlush(d);
    return {status ? status : BadImplementation, std::nullopt};
  }
  const HotKeyRef ref = nextRef_++;
  grabs_[ref] = Grab{key, mods, id};
  return {0, ref};
}

void X11HotKeys::remove(HotKeyRef ref) {
  auto it = grabs_.find(ref);
  if (it == grabs_.end()) return;
  const Grab grab = it->second;
  grabs_.erase(it);
  if (!connection_.alive()) return;
  Display* d = connection_.display();
  for (unsigned m : lockVariants(grab.modifiers)) XUngrabKey(d, grab.key, m, connection_.root());
  XFlush(d);
}

void X11HotKeys::watchRelease(bool on) {
  if (!connection_.alive()) return;
  // Raw events reach this client whoever holds the keyboard; only while a hot key is held,
  // so typing costs no wake-ups.
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  if (on) XISetMask(bits, XI_RawKeyRelease);
  XIEventMask mask{XIAllDevices, static_cast<int>(sizeof(bits)), bits};
  XISelectEvents(connection_.display(), connection_.root(), &mask, 1);
}

bool X11HotKeys::keyIsDown(KeyCode key) {
  char keys[32] = {};
  XQueryKeymap(connection_.display(), keys);
  return connection_.alive() && (keys[key / 8] & (1 << (key % 8)));
}

void X11HotKeys::handleEvent(XEvent& event) {
  if (event.type == MappingNotify) {
    XRefreshKeyboardMapping(&event.xmapping);
    return;
  }
  if (event.type == GenericEvent && heldKey_ &&
      event.xcookie.extension == connection_.extensions().xiOpcode &&
      event.xcookie.evtype == XI_RawKeyRelease && event.xcookie.data &&
      static_cast<const XIRawEvent*>(event.xcookie.data)->detail == heldKey_) {
    heldKey_ = 0;
    watchRelease(false);
    return;
  }
  if (event.type != KeyPress || event.xkey.window != connection_.root()) return;
  const unsigned relevant =
      (ShiftMask | ControlMask | Mod1Mask | Mod2Mask | Mod3Mask | Mod4Mask | Mod5Mask) &
      ~bits_.numLock;
  for (const auto& [ref, grab] : grabs_) {
    if (grab.key != event.xkey.keycode || (event.xkey.state & relevant) != grab.modifiers) {
      continue;
    }
    // The grab made the keyboard ours until the key comes up; give it back at once, or the
    // focused application never sees the modifiers released.
    XUngrabKeyboard(connection_.display(), event.xkey.time);
    XFlush(connection_.display());
    // A press of the key still held since it last fired is the server's auto-repeat: acting
    // on it would toggle the wheel open and shut for as long as the keys are held.
    // Without raw events the release cannot be seen, and every press counts.
    if (heldKey_ == grab.key) return;
    if (connection_.extensions().xinput2) {
      heldKey_ = grab.key;
      watchRelease(true);
    }
    const HotKeyId id = grab.id;
    if (handler_) handler_(HotKeyEvent{id});
    // A release that came before the watch was in place is seen here instead.
    if (heldKey_ && connection_.alive() && !keyIsDown(heldKey_)) {
      heldKey_ = 0;
      watchRelease(false);
    }
    return;
  }
}

}  // namespace nimbra
