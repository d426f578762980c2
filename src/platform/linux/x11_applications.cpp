#include "platform/linux/x11_applications.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>
#include <set>

namespace deskwave {
namespace {

// ---- Reading windows -------------------------------------------------------

// A property of 32-bit items (Xlib hands them over as longs); absent when the
// window or the property is missing or of another type.
std::optional<std::vector<unsigned long>> longsProperty(Display* d, Window w, Atom property, Atom type) {
  Atom actualType = None;
  int actualFormat = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  constexpr long kMaxItems = 1 << 16;
  if (XGetWindowProperty(d, w, property, 0, kMaxItems, False, type, &actualType, &actualFormat, &count, &after,
                         &data) != Success)
    return std::nullopt;
  std::optional<std::vector<unsigned long>> out;
  if (actualType == type && actualFormat == 32) {
    const auto* items = reinterpret_cast<const unsigned long*>(data);
    out.emplace(items, items + count);
  }
  if (data) XFree(data);
  return out;
}

bool hasProperty(Display* d, Window w, Atom property) {
  Atom actualType = None;
  int actualFormat = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  const bool ok = XGetWindowProperty(d, w, property, 0, 0, False, AnyPropertyType, &actualType, &actualFormat, &count,
                                     &after, &data) == Success;
  if (data) XFree(data);
  return ok && actualType != None;
}

std::vector<Window> childrenOf(Display* d, Window w) {
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  std::vector<Window> out;
  if (XQueryTree(d, w, &root, &parent, &children, &count) && children) out.assign(children, children + count);
  if (children) XFree(children);
  return out;
}

struct WmClass {
  std::string instance;
  std::string cls;
};

std::optional<WmClass> wmClassOf(Display* d, Window w) {
  XClassHint hint{};
  if (!XGetClassHint(d, w, &hint)) return std::nullopt;
  WmClass out{hint.res_name ? hint.res_name : "", hint.res_class ? hint.res_class : ""};
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return out;
}

// "host.example.org" and "host" name the same machine.
std::string shortHostName(std::string name) {
  name = name.substr(0, name.find('.'));
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  return name;
}

std::string thisHost() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return shortHostName(name);
}

std::string executableOf(std::int32_t pid) {
  char buffer[PATH_MAX];
  const auto link = "/proc/" + std::to_string(pid) + "/exe";
  const auto n = readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  // An executable replaced by an update since the process started.
  constexpr std::string_view deleted = " (deleted)";
  if (path.ends_with(deleted)) path.resize(path.size() - deleted.size());
  return path;
}

std::string baseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---- The application list ----------------------------------------------------

std::vector<RunningApplication> applicationsFromWindows(const std::vector<ClientWindow>& windows,
                                                        const std::vector<DesktopEntry>& entries,
                                                        const AccessibleNameLookup& accessibleName) {
  std::vector<RunningApplication> out;
  std::set<std::int32_t> seen;
  for (const auto& w : windows) {
    if (w.pid <= 0 || !seen.insert(w.pid).second) continue;
    RunningApplication app;
    app.pid = w.pid;
    app.regular = true;
    if (const auto* entry = matchEntry(entries, w.wmClassInstance, w.wmClassClass, w.executable)) {
      app.name = entry->name;
      app.bundleId = entry->id;
      app.bundlePath = entry->file.string();
    } else {
      std::optional<std::string> accessible;
      if (accessibleName) {
        try {
          accessible = accessibleName(w.pid);
        } catch (...) {
        }
      }
      const std::string* candidates[] = {accessible ? &*accessible : nullptr, &w.wmClassClass, &w.wmClassInstance};
      for (const auto* candidate : candidates) {
        if (candidate && !candidate->empty()) {
          app.name = *candidate;
          break;
        }
      }
      if (app.name.empty()) app.name = baseName(w.executable);
      app.bundleId = w.wmClassClass;
      app.bundlePath = w.executable;
    }
    out.push_back(std::move(app));
  }
  return out;
}

struct X11Applications::Impl {
  X11ApplicationsOptions options;
  std::unique_ptr<X11Connection> connection;
  std::mutex mutex;  // one request sequence at a time
  Display* d = nullptr;
  Window root = 0;
  Window timeWindow = 0;  // ours, unmapped: its property changes tell the server time
  std::string host;

  Atom netSupported = 0, netSupportingWmCheck = 0, netClientList = 0, netClientListStacking = 0, netActiveWindow = 0,
       netWmPid = 0, wmState = 0, timestamp = 0;

  // A top-level client window and the root child holding it (itself, or a frame).
  struct TopLevel {
    Window client;
    Window top;
    std::int32_t pid;
    WmClass wmClass;
  };

  bool init() {
    d = connection->display();
    root = DefaultRootWindow(d);
    host = thisHost();
    const char* names[] = {"_NET_SUPPORTED",     "_NET_SUPPORTING_WM_CHECK",
                           "_NET_CLIENT_LIST",   "_NET_CLIENT_LIST_STACKING",
                           "_NET_ACTIVE_WINDOW", "_NET_WM_PID",
                           "WM_STATE",           "_DESKWAVE_TIMESTAMP"};
    Atom atoms[std::size(names)] = {};
    if (!XInternAtoms(d, const_cast<char**>(names), static_cast<int>(std::size(names)), False, atoms)) return false;
    netSupported = atoms[0], netSupportingWmCheck = atoms[1], netClientList = atoms[2];
    netClientListStacking = atoms[3], netActiveWindow = atoms[4], netWmPid = atoms[5], wmState = atoms[6];
    timestamp = atoms[7];
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    timeWindow = XCreateWindow(d, root, -1, -1, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask, &attributes);
    XSync(d, False);
    return timeWindow != 0 && !connection->lost();
  }

  // Whether an EWMH window manager runs: its check window must exist and name
  // itself. A manager that has gone leaves the root's properties behind.
  bool windowManagerRuns() {
    const auto check = longsProperty(d, root, netSupportingWmCheck, XA_WINDOW);
    if (!check || check->size() != 1) return false;
    const auto self = longsProperty(d, (*check)[0], netSupportingWmCheck, XA_WINDOW);
    return self && self->size() == 1 && (*self)[0] == (*check)[0];
  }

  bool windowManagerSupports(Atom hint) {
    if (!windowManagerRuns()) return false;
    const auto supported = longsProperty(d, root, netSupported, XA_ATOM);
    return supported && std::find(supported->begin(), supported->end(), hint) != supported->end();
  }

  // Client windows bottom to top (or in the client list's order).
  std::vector<TopLevel> topLevels(bool stackingOrder) {
    std::vector<std::pair<Window, Window>> candidates;  // client, top
    std::optional<std::vector<unsigned long>> clients;
    if (windowManagerRuns()) {
      if (stackingOrder) clients = longsProperty(d, root, netClientListStacking, XA_WINDOW);
      if (!clients) clients = longsProperty(d, root, netClientList, XA_WINDOW);
    }
    if (clients) {
      for (const auto w : *clients) candidates.emplace_back(w, w);
    } else {
      for (const auto child : childrenOf(d, root)) {
        XWindowAttributes a{};
        if (!XGetWindowAttributes(d, child, &a) || a.map_state != IsViewable || a.override_redirect) continue;
        if (hasProperty(d, child, XA_WM_CLASS)) {
          candidates.emplace_back(child, child);
          continue;
        }
        // A frame of a window manager without EWMH: the client is inside.
        for (const auto inner : childrenOf(d, child)) {
          XWindowAttributes ia{};
          if (hasProperty(d, inner, wmState) && hasProperty(d, inner, XA_WM_CLASS) &&
              XGetWindowAttributes(d, inner, &ia) && ia.map_state == IsViewable)
            candidates.emplace_back(inner, child);
        }
      }
    }

    std::vector<TopLevel> out;
    for (const auto& [client, top] : candidates) {
      const auto pid = longsProperty(d, client, netWmPid, XA_CARDINAL);
      if (!pid || pid->size() != 1 || (*pid)[0] == 0 || (*pid)[0] > INT32_MAX) continue;
      if (!onThisMachine(client)) continue;
      out.push_back({client, top, static_cast<std::int32_t>((*pid)[0]), wmClassOf(d, client).value_or(WmClass{})});
    }
    return out;
  }

  bool onThisMachine(Window w) {
    XTextProperty text{};
    if (!XGetWMClientMachine(d, w, &text)) return true;  // unknown: assume here
    std::string machine;
    if (text.value && text.format == 8) machine.assign(reinterpret_cast<const char*>(text.value), text.nitems);
    if (text.value) XFree(text.value);
    return machine.empty() || host.empty() || shortHostName(machine) == host;
  }

  // The server's current time, read from a property change on our own window.
  Time serverTime() {
    XChangeProperty(d, timeWindow, timestamp, XA_STRING, 8, PropModeAppend, nullptr, 0);
    XSync(d, False);
    XEvent event;
    Time time = CurrentTime;
    while (XCheckTypedWindowEvent(d, timeWindow, PropertyNotify, &event)) time = event.xproperty.time;
    return time;
  }
};

X11Applications::X11Applications(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

X11Applications::~X11Applications() {
  if (impl_ && impl_->timeWindow && !impl_->connection->lost()) XDestroyWindow(impl_->d, impl_->timeWindow);
}

std::unique_ptr<X11Applications> X11Applications::open(std::string* whyNot, X11ApplicationsOptions options) {
  try {
    auto impl = std::make_unique<Impl>();
    impl->connection = X11Connection::open(options.display, whyNot);
    if (!impl->connection) return nullptr;
    impl->options = std::move(options);
    if (!impl->init()) {
      if (whyNot) *whyNot = "the X server did not answer";
      return nullptr;
    }
    return std::unique_ptr<X11Applications>(new X11Applications(std::move(impl)));
  } catch (...) {
    if (whyNot) *whyNot = "out of memory";
    return nullptr;
  }
}

std::vector<RunningApplication> X11Applications::list() {
  try {
    std::vector<ClientWindow> windows;
    {
      std::lock_guard lock(impl_->mutex);
      if (impl_->connection->lost()) return {};
      for (auto& t : impl_->topLevels(false))
        windows.push_back({t.pid, std::move(t.wmClass.instance), std::move(t.wmClass.cls), {}});
      if (impl_->connection->lost()) return {};
    }
    // Outside the lock: files and the accessibility bus may be slow.
    std::map<std::int32_t, std::string> executables;
    for (auto& w : windows) {
      auto [it, added] = executables.try_emplace(w.pid);
      if (added) it->second = executableOf(w.pid);
      w.executable = it->second;
    }
    const auto entries = impl_->options.desktopEntries ? impl_->options.desktopEntries() : loadDesktopEntries();
    return applicationsFromWindows(windows, entries, impl_->options.accessibleName);
  } catch (...) {
    return {};
  }
}

void X11Applications::activate(const RunningApplication& app) {
  try {
    std::lock_guard lock(impl_->mutex);
    auto& x = *impl_;
    if (x.connection->lost() || app.pid <= 0) return;
    const auto windows = x.topLevels(true);
    const auto it = std::find_if(windows.rbegin(), windows.rend(), [&](const auto& t) { return t.pid == app.pid; });
    if (it == windows.rend()) return;

    if (x.windowManagerSupports(x.netActiveWindow)) {
      XEvent event{};
      event.xclient.type = ClientMessage;
      event.xclient.window = it->client;
      event.xclient.message_type = x.netActiveWindow;
      event.xclient.format = 32;
      event.xclient.data.l[0] = 2;  // the request comes from a pager-like tool, on the user's behalf
      event.xclient.data.l[1] = static_cast<long>(x.serverTime());
      event.xclient.data.l[2] = None;
      XSendEvent(x.d, x.root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    } else {
      XRaiseWindow(x.d, it->top);
      XSetInputFocus(x.d, it->client, RevertToParent, CurrentTime);
    }
    XSync(x.d, False);
  } catch (...) {
  }
}

}  // namespace deskwave
