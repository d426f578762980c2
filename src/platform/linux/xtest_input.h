#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/desktop.h"

namespace deskwave {

class X11Connection;

// Synthesized keystrokes and clicks through the X server's XTEST extension.
// They reach whatever window has the input focus (keys) or lies under the
// point (clicks), as if the user typed or clicked. Thread-safe; never throws.
class XTestInput {
 public:
  // Absent, with the reason in `whyNot`, when the display cannot be opened or
  // lacks XTEST. `display` empty: the one DISPLAY names.
  static std::unique_ptr<XTestInput> open(std::string* whyNot, const std::string& display = {});
  ~XTestInput();

  // Presses and releases the key, holding Control_L around it when
  // `primaryModifier` is set. Nothing happens when the keyboard map has no key
  // for it, or no Control key when one is wanted: a bare "v" instead of
  // Control+V would type into the application.
  void postKey(Key key, bool primaryModifier);

  // Moves the pointer to the point (rounded to whole pixels) and clicks the
  // first button there.
  void clickAt(ScreenPoint point);

 private:
  explicit XTestInput(std::unique_ptr<X11Connection> connection);
  std::mutex mutex_;
  std::unique_ptr<X11Connection> connection_;
};

}  // namespace deskwave
