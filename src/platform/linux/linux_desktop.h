#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/desktop.h"

namespace deskwave {

// The desktop layer on a Linux X11 desktop: accessibility through AT-SPI,
// keystrokes and clicks through XTest, the CLIPBOARD selection served by this
// process, and the applications with windows on screen. When there is no X11
// display, no XTest or no accessibility bus, says why through `log` (one line)
// and returns a `NullDesktop`.
std::shared_ptr<Desktop> openLinuxDesktop(const std::function<void(const std::string&)>& log);

// What to do to let Deskwave drive other applications, in one line.
inline constexpr const char* kAccessibilityAdvice =
    "turn accessibility on (GNOME: gsettings set org.gnome.desktop.interface toolkit-accessibility true; "
    "Qt: QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1; Cursor and other Electron or Chromium applications: start them "
    "with ACCESSIBILITY_ENABLED=1 or --force-renderer-accessibility)";

}  // namespace deskwave
