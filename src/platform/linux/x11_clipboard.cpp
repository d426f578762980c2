#include "platform/linux/x11_clipboard.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/linux/x11_connection.h"

namespace deskwave {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long another application may take to answer a request for its
// selection, and, sending in pieces, to send each next piece.
constexpr auto kAnswerTimeout = 500ms;
// The longest a whole read of another application's text may take.
constexpr auto kReadLimit = 5s;
// How long a requestor may leave a piece of an incremental transfer untaken
// before the transfer is abandoned.
constexpr auto kTransferIdleLimit = 10s;
// How long a caller waits for the clipboard thread; only a hung X server is
// this slow.
constexpr auto kCallerWait = 10s;
// How long getting a timestamp from the server may take.
constexpr auto kServerTimeLimit = 1s;
// Another application's selection larger than this is not read.
constexpr std::size_t kMaxReadBytes = std::size_t{64} << 20;
// The largest piece sent in one property change. Data above it goes
// incrementally: one property change of the core protocol's request size (no
// BIG-REQUESTS) is what every requestor and server handles.
constexpr long kMaxPiece = 256 * 1024;
// Property data read per request, in 32-bit units.
constexpr long kReadUnits = 1 << 20;

// ---------------------------------------------------------------------------
// Text encodings.

// The text as ISO Latin-1, what the STRING target carries. Characters beyond
// Latin-1, and bytes that are not UTF-8, become '?': a STRING requestor would
// read UTF-8 bytes as wrong characters, so it gets the text with the
// characters it cannot show marked instead.
std::string latin1FromUtf8(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(utf8.size(), INT32_MAX));
  std::int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    out += (c >= 0 && c <= 0xFF) ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string utf8FromLatin1(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (const char ch : latin1) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Whether server time `t` is earlier than `since`, across the 32-bit wrap.
bool isEarlier(Time t, Time since) {
  if (t == CurrentTime || since == CurrentTime) return false;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(t) - static_cast<std::uint32_t>(since)) < 0;
}

// What this process offers on the clipboard.
struct Content {
  bool image = false;
  std::string utf8;    // the text
  std::string latin1;  // the text for STRING
  std::string png;     // the image
};

// The answer to one caller, filled in by the clipboard thread.
struct Completion {
  bool done = false;
  std::optional<std::string> text;
};

struct Command {
  enum class Kind { Own, Clear, Read };
  Kind kind;
  std::shared_ptr<const Content> content;  // for Own
  std::shared_ptr<Completion> completion;
};

// Data going to another application in pieces (INCR).
struct Transfer {
  Window requestor = None;
  Atom property = None;
  Atom type = None;
  std::shared_ptr<const Content> content;  // keeps `data` alive, even after the selection is lost
  std::string_view data;
  std::size_t sent = 0;
  Clock::time_point deadline;
};

// Reading another application's selection.
struct Read {
  std::shared_ptr<Completion> completion;
  std::vector<Atom> fallbacks;  // targets still to try when the owner refuses this one
  Atom target = None;
  Atom property = None;
  Time time = CurrentTime;
  bool incremental = false;
  Atom pieceType = None;
  std::string data;
  Clock::time_point stepDeadline;
  Clock::time_point endDeadline;
};

struct PropertyValue {
  Atom type = None;
  int format = 0;
  std::string bytes;
};

constexpr std::array kAtomNames = {
    "CLIPBOARD", "TARGETS", "TIMESTAMP", "UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "image/png",
    "INCR", "DESKWAVE_SELECTION", "DESKWAVE_TIME",
};

struct Atoms {
  Atom clipboard = None;
  Atom targets = None;
  Atom timestamp = None;
  Atom utf8String = None;
  Atom textPlainUtf8 = None;
  Atom textPlain = None;
  Atom png = None;
  Atom incr = None;
  Atom transferProperty = None;  // where other applications put what this process asks for
  Atom timeProbe = None;         // changed to learn the server's time
};

}  // namespace

// ---------------------------------------------------------------------------

struct X11Clipboard::Impl {
  std::unique_ptr<X11Connection> connection;
  Display* display = nullptr;  // the connection's
  Window window = None;
  int wakeFd = -1;
  std::size_t pieceSize = 0;
  Atoms atoms;
  bool lost() const { return !connection || connection->lost(); }

  // Shared with the callers.
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Command> commands;
  bool stopping = false;

  std::thread thread;

  // The clipboard thread's own.
  std::shared_ptr<const Content> held;
  Time heldSince = CurrentTime;
  std::vector<Transfer> transfers;
  std::optional<Read> read;

  ~Impl();

  // --- callers' side
  std::optional<std::string> submit(Command::Kind kind, std::shared_ptr<const Content> content = nullptr);
  void wake();
  void complete(const std::shared_ptr<Completion>& completion, std::optional<std::string> text);

  // --- the clipboard thread
  void run();
  void step();
  void failEverything();
  void disconnect();
  std::optional<Command> nextCommand();
  bool hasCommands();
  void execute(Command& command);
  void waitForActivity(std::optional<Clock::time_point> deadline);
  std::optional<Clock::time_point> nextDeadline() const;
  Time serverTime();
  static Bool isTimeProbe(Display*, XEvent* event, XPointer impl);

  void take(std::shared_ptr<const Content> content);
  void release();

  void handle(XEvent& event);
  void serve(const XSelectionRequestEvent& request);
  bool answer(Window requestor, Atom property, Atom target);
  void startTransfer(Window requestor, Atom property, Atom type, std::string_view data);
  void sendPiece(std::size_t index);
  void endTransfer(std::size_t index);
  void expire(Clock::time_point now);

  void startRead(std::shared_ptr<Completion> completion);
  void request(Atom target);
  void tryNextTarget();
  void acceptText(Atom type, int format, std::string bytes);
  void finishRead(std::optional<std::string> text);
  void onSelectionNotify(const XSelectionEvent& event);
  void takePiece();
  std::optional<PropertyValue> takeProperty(Atom property);
};

X11Clipboard::Impl::~Impl() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  if (thread.joinable()) {
    wake();
    thread.join();
  }
  disconnect();
  if (wakeFd >= 0) ::close(wakeFd);
}

// Runs on the thread that used the display last (the clipboard thread, or the
// opening one when the thread never started): after a lost connection libX11
// keeps the display locked for the thread that saw the loss, and closing it
// from any other thread would wait forever.
void X11Clipboard::Impl::disconnect() {
  if (!display) return;
  // Destroying the window gives up the selection if it is still ours.
  if (window != None && !lost()) XDestroyWindow(display, window);
  connection.reset();
  display = nullptr;
}

// --- callers' side ---------------------------------------------------------

std::optional<std::string> X11Clipboard::Impl::submit(Command::Kind kind, std::shared_ptr<const Content> content) {
  auto completion = std::make_shared<Completion>();
  {
    std::lock_guard lock(mutex);
    if (stopping) return std::nullopt;
    commands.push_back(Command{kind, std::move(content), completion});
  }
  wake();
  std::unique_lock lock(mutex);
  changed.wait_for(lock, kCallerWait, [&] { return completion->done; });
  if (!completion->done) return std::nullopt;
  return std::move(completion->text);
}

void X11Clipboard::Impl::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wakeFd, &one, sizeof one);
}

void X11Clipboard::Impl::complete(const std::shared_ptr<Completion>& completion, std::optional<std::string> text) {
  {
    std::lock_guard lock(mutex);
    completion->text = std::move(text);
    completion->done = true;
  }
  changed.notify_all();
}

// --- the clipboard thread ---------------------------------------------------

void X11Clipboard::Impl::run() {
  for (;;) {
    {
      std::lock_guard lock(mutex);
      if (stopping) break;
    }
    try {
      step();
    } catch (...) {
      // Out of memory copying data, most likely: whatever was under way fails,
      // the clipboard goes on.
      if (read) {
        complete(read->completion, std::nullopt);
        read.reset();
      }
    }
  }
  failEverything();
  disconnect();
}

void X11Clipboard::Impl::step() {
  if (lost()) {
    failEverything();
    waitForActivity(std::nullopt);
    return;
  }
  // Commands run in order; one waits while a read of another application's
  // selection is under way.
  while (!read && !lost()) {
    auto command = nextCommand();
    if (!command) break;
    try {
      execute(*command);
    } catch (...) {
      if (command->completion) complete(command->completion, std::nullopt);
      throw;
    }
  }
  expire(Clock::now());
  while (!lost() && XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    handle(event);
  }
  if (lost()) return;
  // Commands that came while a read was under way are due once it has ended;
  // their wake-up has been used up already.
  if (!read && hasCommands()) return;
  // XPending has flushed what was sent and queued everything read: the next
  // thing to happen comes through the socket, the wake-up descriptor or a
  // time-out.
  waitForActivity(nextDeadline());
}

bool X11Clipboard::Impl::hasCommands() {
  std::lock_guard lock(mutex);
  return !commands.empty();
}

void X11Clipboard::Impl::failEverything() {
  std::deque<Command> pending;
  {
    std::lock_guard lock(mutex);
    pending.swap(commands);
  }
  for (auto& command : pending) complete(command.completion, std::nullopt);
  if (read) {
    complete(read->completion, std::nullopt);
    read.reset();
  }
  transfers.clear();
  held = nullptr;
}

std::optional<Command> X11Clipboard::Impl::nextCommand() {
  std::lock_guard lock(mutex);
  if (commands.empty()) return std::nullopt;
  auto command = std::move(commands.front());
  commands.pop_front();
  return command;
}

void X11Clipboard::Impl::execute(Command& command) {
  switch (command.kind) {
    case Command::Kind::Own:
      take(std::move(command.content));
      complete(command.completion, std::nullopt);
      break;
    case Command::Kind::Clear:
      release();
      complete(command.completion, std::nullopt);
      break;
    case Command::Kind::Read:
      startRead(std::move(command.completion));
      break;
  }
}

void X11Clipboard::Impl::waitForActivity(std::optional<Clock::time_point> deadline) {
  int timeoutMs = -1;
  if (deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
    timeoutMs = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
  }
  pollfd fds[2] = {{wakeFd, POLLIN, 0}, {lost() ? -1 : ConnectionNumber(display), POLLIN, 0}};
  ::poll(fds, 2, timeoutMs);
  if (fds[0].revents & POLLIN) {
    std::uint64_t count;
    [[maybe_unused]] const auto got = ::read(wakeFd, &count, sizeof count);
  }
}

std::optional<Clock::time_point> X11Clipboard::Impl::nextDeadline() const {
  std::optional<Clock::time_point> next;
  const auto consider = [&](Clock::time_point t) {
    if (!next || t < *next) next = t;
  };
  if (read) {
    consider(read->stepDeadline);
    consider(read->endDeadline);
  }
  for (const auto& transfer : transfers) consider(transfer.deadline);
  return next;
}

Bool X11Clipboard::Impl::isTimeProbe(Display*, XEvent* event, XPointer impl) {
  const auto* self = reinterpret_cast<const Impl*>(impl);
  return event->type == PropertyNotify && event->xproperty.window == self->window &&
         event->xproperty.atom == self->atoms.timeProbe;
}

// The server's current time, learnt from the event a (zero-length) property
// change brings; CurrentTime if it does not come. Other events stay queued.
Time X11Clipboard::Impl::serverTime() {
  XChangeProperty(display, window, atoms.timeProbe, XA_INTEGER, 8, PropModeAppend, nullptr, 0);
  const auto deadline = Clock::now() + kServerTimeLimit;
  XEvent event;
  while (!lost()) {
    if (XCheckIfEvent(display, &event, isTimeProbe, reinterpret_cast<XPointer>(this))) return event.xproperty.time;
    if (Clock::now() >= deadline) break;
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    ::poll(&fd, 1, static_cast<int>(std::max<long long>(left, 0)));
  }
  return CurrentTime;
}

// --- owning the selection ------------------------------------------------------

void X11Clipboard::Impl::take(std::shared_ptr<const Content> content) {
  // A second try covers another application taking the selection between the
  // timestamp and the request: this process's request is the newer one.
  for (int attempt = 0; attempt < 2 && !lost(); ++attempt) {
    const Time now = serverTime();
    XSetSelectionOwner(display, atoms.clipboard, window, now);
    if (XGetSelectionOwner(display, atoms.clipboard) == window) {
      held = std::move(content);
      heldSince = now;
      return;
    }
  }
  held = nullptr;
}

void X11Clipboard::Impl::release() {
  if (!held) return;
  held = nullptr;
  if (heldSince != CurrentTime) {
    // With the time the selection was taken at, the server only applies this
    // while the selection is still ours: another application's newer copy
    // stays, however the events are ordered.
    XSetSelectionOwner(display, atoms.clipboard, None, heldSince);
  } else if (XGetSelectionOwner(display, atoms.clipboard) == window) {
    XSetSelectionOwner(display, atoms.clipboard, None, CurrentTime);
  }
  // Done before the caller goes on, e.g. to start a paste.
  XSync(display, False);
}

void X11Clipboard::Impl::handle(XEvent& event) {
  switch (event.type) {
    case SelectionRequest:
      serve(event.xselectionrequest);
      break;
    case SelectionClear:
      // Another application copied something. The event may predate this
      // process taking the selection again, so the server has the last word.
      if (held && event.xselectionclear.selection == atoms.clipboard &&
          XGetSelectionOwner(display, atoms.clipboard) != window)
        held = nullptr;
      break;
    case SelectionNotify:
      onSelectionNotify(event.xselection);
      break;
    case PropertyNotify: {
      const auto& change = event.xproperty;
      if (change.window == window) {
        if (read && read->incremental && change.atom == read->property && change.state == PropertyNewValue)
          takePiece();
        break;
      }
      if (change.state != PropertyDelete) break;
      for (std::size_t i = 0; i < transfers.size(); ++i)
        if (transfers[i].requestor == change.window && transfers[i].property == change.atom) {
          sendPiece(i);
          break;
        }
      break;
    }
    case DestroyNotify:
      std::erase_if(transfers, [&](const Transfer& t) { return t.requestor == event.xdestroywindow.window; });
      break;
    default:
      break;
  }
}

void X11Clipboard::Impl::serve(const XSelectionRequestEvent& request) {
  // Obsolete requestors name no property: the target serves as one.
  const Atom property = request.property != None ? request.property : request.target;
  XEvent reply{};
  reply.xselection.type = SelectionNotify;
  reply.xselection.display = display;
  reply.xselection.requestor = request.requestor;
  reply.xselection.selection = request.selection;
  reply.xselection.target = request.target;
  reply.xselection.time = request.time;
  reply.xselection.property = None;
  if (held && request.selection == atoms.clipboard && request.owner == window &&
      !isEarlier(request.time, heldSince) && answer(request.requestor, property, request.target))
    reply.xselection.property = property;
  XSendEvent(display, request.requestor, False, NoEventMask, &reply);
}

// Puts the data for `target` in the requestor's property; false when it is not
// offered (MULTIPLE included).
bool X11Clipboard::Impl::answer(Window requestor, Atom property, Atom target) {
  if (target == atoms.targets) {
    std::vector<long> offered{static_cast<long>(atoms.targets), static_cast<long>(atoms.timestamp)};
    if (held->image) {
      offered.push_back(static_cast<long>(atoms.png));
    } else {
      for (const Atom a : {atoms.utf8String, atoms.textPlainUtf8, atoms.textPlain, Atom{XA_STRING}})
        offered.push_back(static_cast<long>(a));
    }
    XChangeProperty(display, requestor, property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(offered.data()), static_cast<int>(offered.size()));
    return true;
  }
  if (target == atoms.timestamp) {
    const long since = static_cast<long>(heldSince);
    XChangeProperty(display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&since), 1);
    return true;
  }
  const std::string* data = nullptr;
  if (held->image) {
    if (target == atoms.png) data = &held->png;
  } else if (target == atoms.utf8String || target == atoms.textPlainUtf8 || target == atoms.textPlain) {
    data = &held->utf8;
  } else if (target == XA_STRING) {
    data = &held->latin1;
  }
  if (!data) return false;
  if (data->size() > pieceSize) {
    startTransfer(requestor, property, target, *data);
  } else {
    XChangeProperty(display, requestor, property, target, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(data->data()), static_cast<int>(data->size()));
  }
  return true;
}

// Answers with an INCR property; the data follows a piece at a time, each once
// the requestor has deleted the property holding the previous one.
void X11Clipboard::Impl::startTransfer(Window requestor, Atom property, Atom type, std::string_view data) {
  std::erase_if(transfers, [&](const Transfer& t) { return t.requestor == requestor && t.property == property; });
  // Before the property changes, so that its deletion is seen.
  XSelectInput(display, requestor, PropertyChangeMask | StructureNotifyMask);
  const long size = static_cast<long>(std::min<std::size_t>(data.size(), UINT32_MAX));
  XChangeProperty(display, requestor, property, atoms.incr, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&size), 1);
  transfers.push_back(Transfer{requestor, property, type, held, data, 0, Clock::now() + kTransferIdleLimit});
}

void X11Clipboard::Impl::sendPiece(std::size_t index) {
  auto& transfer = transfers[index];
  const auto length = std::min(pieceSize, transfer.data.size() - transfer.sent);
  XChangeProperty(display, transfer.requestor, transfer.property, transfer.type, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(transfer.data.data() + transfer.sent),
                  static_cast<int>(length));
  transfer.sent += length;
  transfer.deadline = Clock::now() + kTransferIdleLimit;
  // The zero-length piece just written ends the transfer.
  if (length == 0) endTransfer(index);
}

void X11Clipboard::Impl::endTransfer(std::size_t index) {
  const Window requestor = transfers[index].requestor;
  transfers.erase(transfers.begin() + static_cast<std::ptrdiff_t>(index));
  const bool more = std::any_of(transfers.begin(), transfers.end(),
                                [&](const Transfer& t) { return t.requestor == requestor; });
  if (!more) XSelectInput(display, requestor, NoEventMask);
}

void X11Clipboard::Impl::expire(Clock::time_point now) {
  if (read && (now >= read->stepDeadline || now >= read->endDeadline)) finishRead(std::nullopt);
  for (std::size_t i = transfers.size(); i-- > 0;)
    if (now >= transfers[i].deadline) endTransfer(i);
}

// --- reading another application's selection ---------------------------------

void X11Clipboard::Impl::startRead(std::shared_ptr<Completion> completion) {
  const Window owner = XGetSelectionOwner(display, atoms.clipboard);
  if (owner == window) {
    complete(completion, held && !held->image ? std::optional(held->utf8) : std::nullopt);
    return;
  }
  // The selection is no longer ours even if its SelectionClear is still on the way.
  held = nullptr;
  if (owner == None) {
    complete(completion, std::nullopt);
    return;
  }
  read.emplace();
  read->completion = std::move(completion);
  read->fallbacks = {XA_STRING};
  read->endDeadline = Clock::now() + kReadLimit;
  request(atoms.utf8String);
}

void X11Clipboard::Impl::request(Atom target) {
  XDeleteProperty(display, window, atoms.transferProperty);
  read->target = target;
  read->property = atoms.transferProperty;
  read->incremental = false;
  read->pieceType = None;
  read->data.clear();
  // A timestamp of its own tells this request's answer from a late answer to an
  // abandoned one.
  read->time = serverTime();
  XConvertSelection(display, atoms.clipboard, target, atoms.transferProperty, window, read->time);
  XFlush(display);
  read->stepDeadline = Clock::now() + kAnswerTimeout;
}

void X11Clipboard::Impl::tryNextTarget() {
  if (read->fallbacks.empty()) {
    finishRead(std::nullopt);
    return;
  }
  const Atom next = read->fallbacks.front();
  read->fallbacks.erase(read->fallbacks.begin());
  request(next);
}

void X11Clipboard::Impl::acceptText(Atom type, int format, std::string bytes) {
  if (format == 8 && (type == atoms.utf8String || type == atoms.textPlainUtf8)) {
    finishRead(std::move(bytes));
  } else if (format == 8 && type == XA_STRING) {
    finishRead(utf8FromLatin1(bytes));
  } else {
    // Not text (an image, say), or an encoding this process does not read.
    tryNextTarget();
  }
}

void X11Clipboard::Impl::finishRead(std::optional<std::string> text) {
  XDeleteProperty(display, window, read->property);
  complete(read->completion, std::move(text));
  read.reset();
}

void X11Clipboard::Impl::onSelectionNotify(const XSelectionEvent& event) {
  if (!read || read->incremental || event.requestor != window || event.selection != atoms.clipboard ||
      event.target != read->target)
    return;
  if (event.time != CurrentTime && event.time != read->time) return;
  if (event.property == None) {
    tryNextTarget();
    return;
  }
  read->property = event.property;
  auto value = takeProperty(event.property);
  if (!value) {
    tryNextTarget();
    return;
  }
  if (value->type == atoms.incr) {
    // Deleting the INCR property (done) asks for the first piece.
    read->incremental = true;
    read->stepDeadline = Clock::now() + kAnswerTimeout;
    return;
  }
  acceptText(value->type, value->format, std::move(value->bytes));
}

void X11Clipboard::Impl::takePiece() {
  auto piece = takeProperty(read->property);
  if (!piece) return;
  if (piece->bytes.empty()) {
    // The zero-length piece: all has come.
    acceptText(read->pieceType != None ? read->pieceType : piece->type, piece->format, std::move(read->data));
    return;
  }
  if (read->pieceType == None) read->pieceType = piece->type;
  if (piece->format != 8 || read->data.size() + piece->bytes.size() > kMaxReadBytes) {
    finishRead(std::nullopt);
    return;
  }
  read->data += piece->bytes;
  read->stepDeadline = Clock::now() + kAnswerTimeout;
}

// Reads a property of this process's window whole and deletes it; absent when
// it does not exist or is too large.
std::optional<PropertyValue> X11Clipboard::Impl::takeProperty(Atom property) {
  PropertyValue value;
  long offset = 0;
  for (;;) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, property, offset, kReadUnits, False, AnyPropertyType,
                                          &type, &format, &count, &after, &data);
    if (status != Success || type == None) {
      if (data) XFree(data);
      return std::nullopt;
    }
    // Xlib hands 32-bit items as longs and 16-bit ones as shorts.
    const std::size_t itemSize = format == 8 ? 1 : format == 16 ? sizeof(short) : sizeof(long);
    const bool tooLarge = value.bytes.size() + count * itemSize > kMaxReadBytes;
    if (!tooLarge && data) value.bytes.append(reinterpret_cast<const char*>(data), count * itemSize);
    if (data) XFree(data);
    value.type = type;
    value.format = format;
    if (tooLarge) {
      XDeleteProperty(display, window, property);
      return std::nullopt;
    }
    if (after == 0 || count == 0) break;
    offset += static_cast<long>(count * static_cast<unsigned long>(format / 8) / 4);
  }
  XDeleteProperty(display, window, property);
  return value;
}

// ---------------------------------------------------------------------------

X11Clipboard::X11Clipboard(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

X11Clipboard::~X11Clipboard() = default;

std::unique_ptr<X11Clipboard> X11Clipboard::open(std::string* whyNot, const std::string& displayName) {
  const auto fail = [&](std::string reason) -> std::unique_ptr<X11Clipboard> {
    if (whyNot) *whyNot = std::move(reason);
    return nullptr;
  };
  try {
    auto connection = X11Connection::open(displayName, whyNot);
    if (!connection) return nullptr;
    auto impl = std::make_unique<Impl>();
    Display* display = connection->display();
    impl->display = display;
    impl->connection = std::move(connection);

    std::array<char*, kAtomNames.size()> names;
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = const_cast<char*>(kAtomNames[i]);
    std::array<Atom, kAtomNames.size()> atoms{};
    if (!XInternAtoms(display, names.data(), static_cast<int>(names.size()), False, atoms.data()))
      return fail("the X server did not name the clipboard's atoms");
    auto& a = impl->atoms;
    a.clipboard = atoms[0];
    a.targets = atoms[1];
    a.timestamp = atoms[2];
    a.utf8String = atoms[3];
    a.textPlainUtf8 = atoms[4];
    a.textPlain = atoms[5];
    a.png = atoms[6];
    a.incr = atoms[7];
    a.transferProperty = atoms[8];
    a.timeProbe = atoms[9];

    const long maxRequestBytes = XMaxRequestSize(display) * 4;
    impl->pieceSize = static_cast<std::size_t>(std::clamp<long>(maxRequestBytes - 1024, 4096, kMaxPiece));

    // An unmapped window: the selection's owner and the place other
    // applications put what this process asks for.
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    impl->window = XCreateWindow(display, DefaultRootWindow(display), -10, -10, 1, 1, 0, CopyFromParent, InputOnly,
                                 CopyFromParent, CWEventMask, &attributes);
    XSync(display, False);
    if (impl->lost()) return fail("the X server closed the connection");

    impl->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (impl->wakeFd < 0) return fail("no event descriptor for the clipboard thread");

    impl->thread = std::thread([self = impl.get()] { self->run(); });
    return std::unique_ptr<X11Clipboard>(new X11Clipboard(std::move(impl)));
  } catch (const std::exception& e) {
    return fail(std::string("the clipboard could not start: ") + e.what());
  } catch (...) {
    return fail("the clipboard could not start");
  }
}

void X11Clipboard::setText(const std::string& utf8) {
  try {
    auto content = std::make_shared<Content>();
    content->utf8 = utf8;
    content->latin1 = latin1FromUtf8(utf8);
    impl_->submit(Command::Kind::Own, std::move(content));
  } catch (...) {
  }
}

void X11Clipboard::setImagePng(std::string pngBytes) {
  try {
    auto content = std::make_shared<Content>();
    content->image = true;
    content->png = std::move(pngBytes);
    impl_->submit(Command::Kind::Own, std::move(content));
  } catch (...) {
  }
}

void X11Clipboard::clear() {
  try {
    impl_->submit(Command::Kind::Clear);
  } catch (...) {
  }
}

std::optional<std::string> X11Clipboard::text() {
  try {
    return impl_->submit(Command::Kind::Read);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace deskwave
