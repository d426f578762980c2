#include "platform/linux/xtest_input.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cmath>

#include "platform/linux/x11_connection.h"

namespace deskwave {
namespace {

KeySym keysymFor(Key key) {
  switch (key) {
    case Key::A:
      return XK_a;
    case Key::V:
      return XK_v;
    case Key::Return:
      return XK_Return;
    case Key::Escape:
      return XK_Escape;
  }
  return NoSymbol;
}

// The key that produces `keysym` in `map`, the server's keyboard map fetched
// for each keystroke: Xlib's XKeysymToKeycode answers from a copy that can
// miss later changes (another layout, setxkbmap). 0 when no key has it.
KeyCode keycodeFor(KeySym keysym, const KeySym* map, int minKeycode, int count, int perKey) {
  if (!map || keysym == NoSymbol) return 0;
  for (int column = 0; column < perKey; ++column)  // unshifted symbols first, as XKeysymToKeycode does
    for (int k = 0; k < count; ++k)
      if (map[k * perKey + column] == keysym) return static_cast<KeyCode>(minKeycode + k);
  return 0;
}

}  // namespace

XTestInput::XTestInput(std::unique_ptr<X11Connection> connection) : connection_(std::move(connection)) {}

XTestInput::~XTestInput() = default;

std::unique_ptr<XTestInput> XTestInput::open(std::string* whyNot, const std::string& display) {
  try {
    auto connection = X11Connection::open(display, whyNot);
    if (!connection) return nullptr;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(connection->display(), &eventBase, &errorBase, &major, &minor)) {
      if (whyNot) *whyNot = "the X server has no XTEST extension";
      return nullptr;
    }
    return std::unique_ptr<XTestInput>(new XTestInput(std::move(connection)));
  } catch (...) {
    if (whyNot) *whyNot = "out of memory";
    return nullptr;
  }
}

void XTestInput::postKey(Key key, bool primaryModifier) {
  std::lock_guard lock(mutex_);
  Display* d = connection_->display();
  if (connection_->lost()) return;
  int minKeycode = 0, maxKeycode = 0, perKey = 0;
  XDisplayKeycodes(d, &minKeycode, &maxKeycode);
  const int count = maxKeycode - minKeycode + 1;
  KeySym* map = count > 0 ? XGetKeyboardMapping(d, static_cast<KeyCode>(minKeycode), count, &perKey) : nullptr;
  const KeyCode code = keycodeFor(keysymFor(key), map, minKeycode, count, perKey);
  const KeyCode control = primaryModifier ? keycodeFor(XK_Control_L, map, minKeycode, count, perKey) : 0;
  if (map) XFree(map);
  if (code == 0 || (primaryModifier && control == 0)) return;
  if (control) XTestFakeKeyEvent(d, control, True, CurrentTime);
  XTestFakeKeyEvent(d, code, True, CurrentTime);
  XTestFakeKeyEvent(d, code, False, CurrentTime);
  if (control) XTestFakeKeyEvent(d, control, False, CurrentTime);
  XSync(d, False);
}

void XTestInput::clickAt(ScreenPoint point) {
  if (!std::isfinite(point.x) || !std::isfinite(point.y)) return;
  const auto clamp = [](double v) { return static_cast<int>(std::lround(std::clamp(v, -32768.0, 32767.0))); };
  std::lock_guard lock(mutex_);
  Display* d = connection_->display();
  if (connection_->lost()) return;
  XTestFakeMotionEvent(d, -1, clamp(point.x), clamp(point.y), CurrentTime);
  XTestFakeButtonEvent(d, 1, True, CurrentTime);
  XTestFakeButtonEvent(d, 1, False, CurrentTime);
  XSync(d, False);
}

}  // namespace deskwave
