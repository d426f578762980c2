#include "platform/linux/x11_connection.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace deskwave {
namespace {

// ---- Process-wide Xlib set-up and error handling --------------------------

std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}
// The connections X11Connection opened; guarded by registryMutex().
std::vector<Display*>& ourDisplays() {
  static std::vector<Display*> displays;
  return displays;
}
XErrorHandler previousErrorHandler = nullptr;      // guarded by registryMutex()
XIOErrorHandler previousIoErrorHandler = nullptr;  // guarded by registryMutex()

bool isOurs(Display* display) {
  const auto& ours = ourDisplays();
  return std::find(ours.begin(), ours.end(), display) != ours.end();
}

// Xlib's default handler ends the process on any protocol error. A window can
// vanish between two requests at any time, so on our connections errors are
// expected and each call checks its own result instead.
int onProtocolError(Display* display, XErrorEvent* event) {
  XErrorHandler previous;
  {
    std::lock_guard lock(registryMutex());
    if (isOurs(display)) return 0;
    previous = previousErrorHandler;
  }
  return previous ? previous(display, event) : 0;
}

// The server went away: on our connections, the per-connection exit handler
// marks the connection lost instead of the process ending.
int onIoError(Display* display) {
  XIOErrorHandler previous;
  {
    std::lock_guard lock(registryMutex());
    if (isOurs(display)) return 0;
    previous = previousIoErrorHandler;
  }
  return previous ? previous(display) : 0;
}

void prepareXlib() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    const auto error = XSetErrorHandler(onProtocolError);
    const auto ioError = XSetIOErrorHandler(onIoError);
    std::lock_guard lock(registryMutex());
    previousErrorHandler = error;
    previousIoErrorHandler = ioError;
  });
}

}  // namespace

// ---- X11Connection ------------------------------------------------------------

std::unique_ptr<X11Connection> X11Connection::open(const std::string& displayName, std::string* whyNot) {
  const auto fail = [&](std::string reason) -> std::unique_ptr<X11Connection> {
    if (whyNot) *whyNot = std::move(reason);
    return nullptr;
  };
  try {
    if (displayName.empty() && !std::getenv("DISPLAY")) return fail("DISPLAY is not set");
    prepareXlib();
    Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (!display)
      return fail("cannot open the X display \"" +
                  std::string(XDisplayName(displayName.empty() ? nullptr : displayName.c_str())) + "\"");
    std::unique_ptr<X11Connection> connection(new X11Connection(display));
    {
      std::lock_guard lock(registryMutex());
      ourDisplays().push_back(display);
    }
    XSetIOErrorExitHandler(display, &X11Connection::markLost, connection.get());
    return connection;
  } catch (...) {
    return fail("out of memory");
  }
}

void X11Connection::markLost(_XDisplay*, void* self) { static_cast<X11Connection*>(self)->lost_.store(true); }

X11Connection::~X11Connection() {
  XCloseDisplay(display_);
  std::lock_guard lock(registryMutex());
  auto& ours = ourDisplays();
  ours.erase(std::remove(ours.begin(), ours.end(), display_), ours.end());
}

bool x11DisplayAvailable(std::string* whyNot) { return X11Connection::open({}, whyNot) != nullptr; }

}  // namespace deskwave
