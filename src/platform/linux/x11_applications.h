#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/linux/desktop_entries.h"
#include "platform/linux/x11_connection.h"

namespace deskwave {

// What the window list knows of one top-level client window.
struct ClientWindow {
  std::int32_t pid = 0;
  std::string wmClassInstance;
  std::string wmClassClass;
  std::string executable;  // /proc/<pid>/exe; empty when unreadable
};

// The application name the accessibility bus gives a process; absent when unknown.
using AccessibleNameLookup = std::function<std::optional<std::string>(std::int32_t pid)>;

// One application per process, in the windows' order. The name is the matching
// desktop entry's, else the accessible name, else the WM_CLASS class (then
// instance, then executable name); the bundle id the entry's id, else the
// WM_CLASS class; the bundle path the entry's file, else the executable.
std::vector<RunningApplication> applicationsFromWindows(const std::vector<ClientWindow>& windows,
                                                        const std::vector<DesktopEntry>& entries,
                                                        const AccessibleNameLookup& accessibleName);

struct X11ApplicationsOptions {
  AccessibleNameLookup accessibleName;                        // may be empty
  std::function<std::vector<DesktopEntry>()> desktopEntries;  // empty: loadDesktopEntries(); may run on any thread
  std::string display;                                        // empty: DISPLAY
};

// The running applications that have windows on the X display, and bringing
// one to the front. Works with an EWMH window manager and without any.
// Thread-safe; never throws.
class X11Applications {
 public:
  static std::unique_ptr<X11Applications> open(std::string* whyNot, X11ApplicationsOptions options = {});
  ~X11Applications();

  // One entry per process with a top-level client window: the window manager's
  // client list when it keeps one (minimised windows included), else the mapped
  // top-level windows carrying WM_CLASS (looking inside frames of window
  // managers that only reparent). Windows without _NET_WM_PID, and windows of
  // other machines (their process ids mean nothing here), are left out.
  std::vector<RunningApplication> list();

  // Brings the process's top-most client window to the front: through the
  // window manager (_NET_ACTIVE_WINDOW) when one runs and supports it, else by
  // raising the window and giving it the input focus. Nothing when the process
  // has no window.
  void activate(const RunningApplication& app);

 private:
  struct Impl;
  explicit X11Applications(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace deskwave
