#include "platform/x11/x11_hot_keys.h"

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <algorithm>

#include "platform/x11/x11_error_trap.h"

namespace nimbra {
namespace {

// Desktop modifier bits.
constexpr std::uint32_t kModShift = 0x200;
constexpr std::uint32_t kModControl = 0x1000;

bool contains(const std::vector<KeyCode>& keys, KeyCode key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace

std::optional<KeyPlace> keyPlaceForKeyCode(std::uint32_t keyCode) {
  // The desktop numbers keys by their place on an ANSI keyboard.
  static const std::map<std::uint32_t, KeyPlace> kKeys = {
      {0, {XK_a, "AC01"}},         {1, {XK_s, "AC02"}},      {2, {XK_d, "AC03"}},
      {3, {XK_f, "AC04"}},         {4, {XK_h, "AC06"}},      {5, {XK_g, "AC05"}},
      {6, {XK_z, "AB01"}},         {7, {XK_x, "AB02"}},      {8, {XK_c, "AB03"}},
      {9, {XK_v, "AB04"}},         {11, {XK_b, "AB05"}},     {12, {XK_q, "AD01"}},
      {kKeyCodeW, {XK_w, "AD02"}}, {14, {XK_e, "AD03"}},     {15, {XK_r, "AD04"}},
      {16, {XK_y, "AD06"}},        {17, {XK_t, "AD05"}},     {31, {XK_o, "AD09"}},
      {32, {XK_u, "AD07"}},        {34, {XK_i, "AD08"}},     {35, {XK_p, "AD10"}},
      {36, {XK_Return, "RTRN"}},   {37, {XK_l, "AC09"}},     {38, {XK_j, "AC07"}},
      {40, {XK_k, "AC08"}},        {45, {XK_n, "AB06"}},     {46, {XK_m, "AB07"}},
      {48, {XK_Tab, "TAB"}},       {49, {XK_space, "SPCE"}}, {kKeyCodeEscape, {XK_Escape, "ESC"}},
  };
  auto it = kKeys.find(keyCode);
  if (it == kKeys.end()) return std::nullopt;
  return it->second;
}

X11HotKeys::X11HotKeys(X11Connection& connection) : connection_(connection) {
  connection_.addHandler(this);
  // Held keys then repeat as presses alone, without a release before each.
  if (connection_.alive()) XkbSetDetectableAutoRepeat(connection_.display(), True, nullptr);
}

X11HotKeys::~X11HotKeys() {
  connection_.removeHandler(this);
  for (const auto& [ref, r] : registrations_) ungrab(r);
}

int X11HotKeys::grab(Registration& r, const X11Keymap& keymap) {
  Display* d = connection_.display();
  std::vector<KeyCode> keys = keymap.keysFor(r.place.sym, r.place.name);
  if (keys.empty()) return BadValue;
  unsigned mods = 0;
  if (r.modifiers & kModCommand) mods |= bits_.super;
  if (r.modifiers & kModOption) mods |= bits_.alt;
  if (r.modifiers & kModShift) mods |= ShiftMask;
  if (r.modifiers & kModControl) mods |= ControlMask;

  X11ErrorTrap trap(d);
  for (KeyCode key : keys) {
    for (unsigned m : lockVariants(mods, bits_.numLock)) {
      XGrabKey(d, key, m, connection_.root(), False, GrabModeAsync, GrabModeAsync);
    }
  }
  int status = trap.finish();
  if (status == 0 && !connection_.alive()) status = BadImplementation;
  r.keys = std::move(keys);
  r.xModifiers = mods;
  if (status != 0) {
    // All or nothing: ungrabbing only ever lets go of this client's own grabs.
    ungrab(r);
    r.keys.clear();
  }
  return status;
}

void X11HotKeys::ungrab(const Registration& r) {
  if (!connection_.alive()) return;
  Display* d = connection_.display();
  for (KeyCode key : r.keys) {
    for (unsigned m : lockVariants(r.xModifiers, bits_.numLock)) {
      XUngrabKey(d, key, m, connection_.root());
    }
  }
  XFlush(d);
}

HotKeyRegistration X11HotKeys::add(std::uint32_t keyCode, std::uint32_t modifiers, HotKeyId id) {
  if (!connection_.alive()) return {BadImplementation, std::nullopt};
  const std::optional<KeyPlace> place = keyPlaceForKeyCode(keyCode);
  if (!place) return {BadValue, std::nullopt};
  const X11Keymap keymap(connection_.display());
  bits_ = keymap.modifierBits();
  Registration r{*place, modifiers, id, {}, 0};
  if (const int status = grab(r, keymap)) return {status, std::nullopt};
  const HotKeyRef ref = nextRef_++;
  registrations_.emplace(ref, std::move(r));
  return {0, ref};
}

void X11HotKeys::remove(HotKeyRef ref) {
  auto it = registrations_.find(ref);
  if (it == registrations_.end()) return;
  // A press of it already taken keeps its release coming to us.
  ungrab(it->second);
  registrations_.erase(it);
}

void X11HotKeys::keyboardChanged() {
  if (!connection_.alive()) return;
  const X11Keymap keymap(connection_.display());
  const ModifierBits bits = keymap.modifierBits();
  bool same = bits == bits_;
  for (const auto& [ref, r] : registrations_) {
    same = same && keymap.keysFor(r.place.sym, r.place.name) == r.keys;
  }
  if (same) return;
  for (const auto& [ref, r] : registrations_) ungrab(r);
  bits_ = bits;
  // A key another client holds in the new layout stays without a grab until the next change;
  // the mouse trigger works all the same.
  for (auto& [ref, r] : registrations_) grab(r, keymap);
}

const X11HotKeys::Registration* X11HotKeys::match(const XKeyEvent& key) const {
  const unsigned relevant =
      (ShiftMask | ControlMask | Mod1Mask | Mod2Mask | Mod3Mask | Mod4Mask | Mod5Mask) &
      ~bits_.numLock;
  for (const auto& [ref, r] : registrations_) {
    if (contains(r.keys, static_cast<KeyCode>(key.keycode)) &&
        (key.state & relevant) == r.xModifiers) {
      return &r;
    }
  }
  return nullptr;
}

void X11HotKeys::handleEvent(XEvent& event) {
  // Keys come here only while one of our grabs holds the keyboard: from a hot key's press
  // until that key is up again.
  if ((event.type != KeyPress && event.type != KeyRelease) ||
      event.xkey.window != connection_.root()) {
    return;
  }
  const XKeyEvent& key = event.xkey;
  const KeyCode code = static_cast<KeyCode>(key.keycode);
  if (event.type == KeyRelease) {
    std::erase(held_, code);
    return;
  }
  if (contains(held_, code)) return;  // the server repeating a held hot key
  const Registration* r = match(key);
  if (!r) return;
  held_.push_back(code);
  const HotKeyId id = r->id;
  // The handler may add or remove registrations; `r` is not used after it.
  if (handler_) handler_(HotKeyEvent{id});
}

}  // namespace nimbra
