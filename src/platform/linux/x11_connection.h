#pragma once

#include <atomic>
#include <memory>
#include <string>

struct _XDisplay;  // Xlib's Display

namespace deskwave {

// Whether an X display can be opened (DISPLAY is set and the server answers);
// the reason in `whyNot` when not.
bool x11DisplayAvailable(std::string* whyNot);

// One private connection to the X server. Before the first one, Xlib is made
// safe for threads (XInitThreads, once per process). On these connections an X
// protocol error — a window that vanished between two requests — is ignored
// instead of ending the process, and the server going away marks the
// connection lost instead of ending the process; later calls then do nothing.
// Protocol errors of other connections go to the handler installed before.
class X11Connection {
 public:
  // `displayName` empty: the one DISPLAY names.
  static std::unique_ptr<X11Connection> open(const std::string& displayName, std::string* whyNot);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  _XDisplay* display() const { return display_; }
  bool lost() const { return lost_.load(); }

 private:
  explicit X11Connection(_XDisplay* display) : display_(display) {}
  static void markLost(_XDisplay*, void* self);

  _XDisplay* const display_;
  std::atomic<bool> lost_{false};
};

}  // namespace deskwave
