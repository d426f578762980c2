#include <gmock/gmock.h>

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "desktop/fixture_app.h"
#include "platform/linux/png_image.h"
#include "platform/linux/x11_clipboard.h"
#include "support/temp_home.h"

extern char** environ;

namespace deskwave::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAreArray;

// ---- Other processes ---------------------------------------------------------

// Starts `argv` with the given standard input and output; `fd3` (if any)
// becomes its descriptor 3. Standard error is dropped. -1 when it cannot start.
pid_t spawn(const std::vector<std::string>& argv, int in, int out, int fd3 = -1) {
  // A child that stops reading its input must not end the test with SIGPIPE.
  static const bool pipesIgnored = (std::signal(SIGPIPE, SIG_IGN), true);
  (void)pipesIgnored;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

struct Output {
  bool exited = false;  // on its own, with `status`
  int status = -1;
  std::string out;
  bool ok() const { return exited && status == 0; }
};

// Runs a program to its end, feeding `input` and collecting standard output;
// killed after `timeout`.
Output run(const std::vector<std::string>& argv, const std::string& input = {},
           std::chrono::milliseconds timeout = 10s) {
  Output result;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return result;
  }
  const pid_t pid = spawn(argv, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  if (pid < 0) {
    close(in[1]);
    close(out[0]);
    return result;
  }
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  int writeFd = in[1];
  std::size_t written = 0;
  if (input.empty()) {
    close(writeFd);
    writeFd = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool killed = false;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd fds[2] = {{out[0], POLLIN, 0}, {writeFd, POLLOUT, 0}};
    poll(fds, 2, static_cast<int>(left.count()));
    if (fds[1].revents) {
      const auto n = write(writeFd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0 || written == input.size()) {
        close(writeFd);
        writeFd = -1;
      }
    }
    if (fds[0].revents) {
      char buffer[65536];
      const auto n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      result.out.append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (writeFd >= 0) close(writeFd);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exited = !killed && WIFEXITED(status);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// A program left running (xclip serving the selection, an X server), stopped
// with the object.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const std::string& input, int fd3 = -1) {
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = spawn(argv, in[0], devNull, fd3);
    close(devNull);
    close(in[0]);
    for (std::size_t written = 0; pid_ > 0 && written < input.size();) {
      const auto n = write(in[1], input.data() + written, input.size() - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    close(in[1]);
  }
  ~Background() { stop(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  bool started() const { return pid_ > 0; }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

Output xclipOut(const std::string& target) { return run({"xclip", "-selection", "clipboard", "-o", "-t", target}); }

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Equality of large byte strings, without printing them.
::testing::AssertionResult sameBytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  const auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
  auto failure = ::testing::AssertionFailure();
  failure << "got " << got.size() << " bytes, want " << want.size() << ", first difference at byte " << at;
  if (want.size() < 200) failure << "; got \"" << got.substr(0, 200) << "\", want \"" << want << "\"";
  return failure;
}

// ---- Images ------------------------------------------------------------------

struct Unref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, Unref>;

// An image of noise, which compresses hardly at all.
Pixbuf noiseImage(int width, int height, unsigned seed) {
  Pixbuf image(gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height));
  std::mt19937 random(seed);
  guchar* pixels = gdk_pixbuf_get_pixels(image.get());
  const auto size = static_cast<std::size_t>(gdk_pixbuf_get_rowstride(image.get())) * static_cast<std::size_t>(height);
  for (std::size_t i = 0; i < size; ++i) pixels[i] = static_cast<guchar>(random());
  return image;
}

std::string encode(GdkPixbuf* image, const char* format) {
  gchar* buffer = nullptr;
  gsize size = 0;
  if (!gdk_pixbuf_save_to_buffer(image, &buffer, &size, format, nullptr, nullptr)) return {};
  std::string bytes(buffer, size);
  g_free(buffer);
  return bytes;
}

std::string pngOfNoise(int width, int height, unsigned seed = 1) {
  return encode(noiseImage(width, height, seed).get(), "png");
}

struct Size {
  int width = 0;
  int height = 0;
  bool operator==(const Size&) const = default;
  friend void PrintTo(const Size& size, std::ostream* out) { *out << size.width << "x" << size.height; }
};

// The size of the PNG these bytes hold; absent when they are not a whole PNG.
std::optional<Size> pngSize(const std::string& bytes) {
  if (!bytes.starts_with("\x89PNG\r\n\x1a\n")) return std::nullopt;
  std::unique_ptr<GdkPixbufLoader, Unref> loader(gdk_pixbuf_loader_new_with_type("png", nullptr));
  const bool whole = gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(bytes.data()),
                                             bytes.size(), nullptr) &&
                     gdk_pixbuf_loader_close(loader.get(), nullptr);
  GdkPixbuf* image = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (!whole || !image) return std::nullopt;
  return Size{gdk_pixbuf_get_width(image), gdk_pixbuf_get_height(image)};
}

// A JPEG as a phone camera writes it: the pixels as the sensor saw them, and
// an EXIF orientation tag saying how to turn them upright.
std::string withOrientation(std::string jpeg, std::uint8_t orientation) {
  // After the start marker and the JFIF segment: an APP1 "Exif" segment with
  // a little-endian TIFF header and one IFD entry, Orientation (0x0112) SHORT.
  const std::string exif = std::string("\xFF\xE1\x00\x22" "Exif\0\0" "II*\0\x08\0\0\0" "\x01\0", 20) +
                           std::string("\x12\x01\x03\0\x01\0\0\0", 8) + static_cast<char>(orientation) +
                           std::string("\0\0\0" "\0\0\0\0", 7);
  const std::size_t app0End = 4 + ((static_cast<unsigned char>(jpeg[4]) << 8) | static_cast<unsigned char>(jpeg[5]));
  jpeg.insert(app0End, exif);
  return jpeg;
}

// ---- Another X client: asking the way unusual clients do, or owning the -------
// ---- selection and never answering ------------------------------------------

class OtherClient {
 public:
  OtherClient() : display_(XOpenDisplay(nullptr)) {
    window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(display_, window_, PropertyChangeMask);
  }
  ~OtherClient() { XCloseDisplay(display_); }
  OtherClient(const OtherClient&) = delete;
  OtherClient& operator=(const OtherClient&) = delete;

  Atom atom(const char* name) { return XInternAtom(display_, name, False); }

  // Takes the CLIPBOARD selection, and never answers for it.
  void takeSelectionSilently() {
    XSetSelectionOwner(display_, atom("CLIPBOARD"), window_, CurrentTime);
    XSync(display_, False);
  }
  // Whether someone has asked it for the selection.
  bool wasAsked() {
    XEvent event;
    return XCheckTypedWindowEvent(display_, window_, SelectionRequest, &event);
  }

  // Asks for the CLIPBOARD as `target` into `property` and waits for the
  // answer: the property it names, None when refused, absent without answer.
  std::optional<Atom> convert(Atom target, Atom property, Time time = CurrentTime) {
    XConvertSelection(display_, atom("CLIPBOARD"), target, property, window_, time);
    XFlush(display_);
    XEvent event;
    if (!waitUntil([&] { return XCheckTypedWindowEvent(display_, window_, SelectionNotify, &event); }, 3s))
      return std::nullopt;
    return event.xselection.property;
  }

  struct Value {
    Atom type = None;
    int format = 0;
    std::string bytes;    // 8-bit data
    std::vector<long> longs;  // 32-bit data
  };
  Value get(Atom property) {
    Value value;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display_, window_, property, 0, 1 << 24, False, AnyPropertyType, &value.type, &value.format,
                       &count, &after, &data);
    if (value.format == 8) value.bytes.assign(reinterpret_cast<char*>(data), count);
    if (value.format == 32) value.longs.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + count);
    if (data) XFree(data);
    return value;
  }

  // Takes an incremental transfer whose INCR property is in `property`:
  // deletes each piece to ask for the next, until the empty one.
  std::optional<std::string> takeIncrementally(Atom property) {
    std::string all;
    for (;;) {
      // What has come so far is read: older change events say nothing new.
      XSync(display_, False);
      XEvent event;
      while (XCheckTypedWindowEvent(display_, window_, PropertyNotify, &event)) {
      }
      XDeleteProperty(display_, window_, property);
      XFlush(display_);
      const bool came = waitUntil(
          [&] {
            while (XCheckTypedWindowEvent(display_, window_, PropertyNotify, &event))
              if (event.xproperty.atom == property && event.xproperty.state == PropertyNewValue) return true;
            return false;
          },
          3s);
      if (!came) return std::nullopt;
      const auto piece = get(property);
      if (piece.bytes.empty()) return all;
      all += piece.bytes;
    }
  }

 private:
  Display* display_;
  Window window_ = None;
};

// ---- The clipboard against other X clients --------------------------------------

// Xvfb resets when its last client leaves, refusing connections meanwhile: a
// connection held for the whole run keeps it up between and within tests.
Display* holdServer() {
  static Display* const held = [] {
    Display* display = nullptr;
    waitUntil([&] { return (display = XOpenDisplay(nullptr)) != nullptr; }, 5s);
    return display;
  }();
  return held;
}

class X11ClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inTestSession()) GTEST_SKIP() << "needs the private desktop: run under tests/desktop/run_in_session.sh";
    ASSERT_TRUE(holdServer()) << "no X server";
    std::string why;
    clipboard = X11Clipboard::open(&why);
    ASSERT_TRUE(clipboard) << why;
  }

  std::unique_ptr<X11Clipboard> clipboard;
};

std::string longText(std::size_t atLeast) {
  std::string text;
  for (int line = 0; text.size() < atLeast; ++line)
    text += "line " + std::to_string(line) + " of the build log — ok ✓\n";
  return text;
}

TEST_F(X11ClipboardTest, TextReachesOtherApplicationsWhole) {
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"ASCII", "Summarise the build log, please."},
      {"UTF-8 with emoji", "Grüße aus Köln — naïve café ☕ 🚀👩‍💻"},
      {"multi-line", "first line\nsecond line\r\n\tindented third\n\n"},
      {"empty", ""},
      {"sent in pieces", longText(1 << 20)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clipboard->setText(c.text);
    for (const char* target : {"UTF8_STRING", "text/plain;charset=utf-8", "text/plain"}) {
      SCOPED_TRACE(target);
      const auto pasted = xclipOut(target);
      EXPECT_TRUE(pasted.ok());
      EXPECT_TRUE(sameBytes(pasted.out, c.text));
    }
    const auto own = clipboard->text();
    ASSERT_TRUE(own);
    EXPECT_TRUE(sameBytes(*own, c.text));
  }
}

TEST_F(X11ClipboardTest, StringIsLatin1WithWhatItCannotHoldMarked) {
  const struct {
    std::string text;
    std::string latin1;
  } cases[] = {
      {"café au lait for 5 € or 4 £", "caf\xE9 au lait for 5 ? or 4 \xA3"},
      {"rocket 🚀 and ✓", "rocket ? and ?"},
      {"broken \xFF byte", "broken ? byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    clipboard->setText(c.text);
    const auto pasted = xclipOut("STRING");
    EXPECT_TRUE(pasted.ok());
    EXPECT_TRUE(sameBytes(pasted.out, c.latin1));
  }
}

TEST_F(X11ClipboardTest, OffersTheTargetsOfWhatItHolds) {
  const auto png = pngOfNoise(16, 16);
  const struct {
    const char* name;
    std::function<void()> set;
    std::vector<std::string> targets;
    const char* refused;
    std::optional<std::string> text;
  } cases[] = {
      {"text", [&] { clipboard->setText("hello"); },
       {"TARGETS", "TIMESTAMP", "UTF8_STRING", "text/plain;charset=utf-8", "text/plain", "STRING"}, "image/png",
       "hello"},
      {"image", [&] { clipboard->setImagePng(png); }, {"TARGETS", "TIMESTAMP", "image/png"}, "UTF8_STRING",
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.set();
    const auto targets = xclipOut("TARGETS");
    EXPECT_TRUE(targets.ok());
    EXPECT_THAT(lines(targets.out), UnorderedElementsAreArray(c.targets));
    const auto refused = xclipOut(c.refused);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(clipboard->text(), c.text);
  }
}

TEST_F(X11ClipboardTest, PngImagesArriveByteForByte) {
  const struct {
    const char* name;
    std::string png;
  } cases[] = {
      {"small", pngOfNoise(16, 16)},
      {"screenshot-sized", pngOfNoise(1024, 1024)},
  };
  ASSERT_GT(cases[1].png.size(), 3'000'000u) << "large enough to go in many pieces";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clipboard->setImagePng(c.png);
    const auto pasted = xclipOut("image/png");
    EXPECT_TRUE(pasted.ok());
    EXPECT_TRUE(sameBytes(pasted.out, c.png));
  }
}

TEST_F(X11ClipboardTest, ASlowReaderHoldsUpNobodyAndStillGetsTheWholeImage) {
  const auto png = pngOfNoise(1024, 1024);
  clipboard->setImagePng(png);
  OtherClient slow;
  const Atom property = slow.atom("SLOW_READER");
  ASSERT_EQ(slow.convert(slow.atom("image/png"), property), property);
  ASSERT_EQ(slow.get(property).type, slow.atom("INCR"));

  // The slow reader has not taken a single piece yet.
  const auto meanwhile = xclipOut("image/png");
  EXPECT_TRUE(meanwhile.ok());
  EXPECT_TRUE(sameBytes(meanwhile.out, png));

  const auto late = slow.takeIncrementally(property);
  ASSERT_TRUE(late) << "the transfer stalled";
  EXPECT_TRUE(sameBytes(*late, png));
}

TEST_F(X11ClipboardTest, AnswersUnusualRequestsAsTheConventionsSay) {
  clipboard->setText("old clients too");
  OtherClient requestor;
  const Atom utf8 = requestor.atom("UTF8_STRING");

  // No property named: the target is used as the property.
  ASSERT_EQ(requestor.convert(utf8, None), utf8);
  EXPECT_EQ(requestor.get(utf8).bytes, "old clients too");
  EXPECT_EQ(requestor.get(utf8).type, utf8);

  EXPECT_EQ(requestor.convert(requestor.atom("MULTIPLE"), requestor.atom("ANSWER")), Atom{None});

  // TIMESTAMP says when the selection was taken; a request from before that is refused.
  const Atom answer = requestor.atom("ANSWER");
  ASSERT_EQ(requestor.convert(requestor.atom("TIMESTAMP"), answer), answer);
  const auto stamp = requestor.get(answer);
  EXPECT_EQ(stamp.type, Atom{XA_INTEGER});
  ASSERT_EQ(stamp.longs.size(), 1u);
  const auto taken = static_cast<Time>(stamp.longs[0]);
  EXPECT_NE(taken, Time{CurrentTime});
  EXPECT_EQ(requestor.convert(utf8, answer, taken - 1000), Atom{None});
  EXPECT_EQ(requestor.convert(utf8, answer, taken), answer);
}

TEST_F(X11ClipboardTest, AnOwnerThatNeverAnswersHoldsUpNobodyLong) {
  OtherClient silent;
  silent.takeSelectionSilently();
  const auto start = std::chrono::steady_clock::now();
  std::optional<std::string> seen = "not yet";
  std::chrono::steady_clock::duration readTook{};
  std::thread reader([&] {
    seen = clipboard->text();
    readTook = std::chrono::steady_clock::now() - start;
  });
  ASSERT_TRUE(waitUntil([&] { return silent.wasAsked(); }, 5s));

  // Copying while the read waits: done once the read gives up.
  clipboard->setText("copied meanwhile");
  const auto copyTook = std::chrono::steady_clock::now() - start;
  reader.join();
  EXPECT_EQ(seen, std::nullopt);
  EXPECT_LT(readTook, 2s);
  EXPECT_LT(copyTook, 2s);
  EXPECT_EQ(xclipOut("UTF8_STRING").out, "copied meanwhile");
}

TEST_F(X11ClipboardTest, ClearingOrClosingLeavesNothingToPaste) {
  const struct {
    const char* name;
    std::function<void()> set;
    const char* target;
    std::function<void()> giveUp;
  } cases[] = {
      {"text, cleared", [&] { clipboard->setText("secret"); }, "UTF8_STRING", [&] { clipboard->clear(); }},
      {"image, cleared", [&] { clipboard->setImagePng(pngOfNoise(8, 8)); }, "image/png",
       [&] { clipboard->clear(); }},
      {"text, closed", [&] { clipboard->setText("secret"); }, "UTF8_STRING", [&] { clipboard.reset(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.set();
    ASSERT_TRUE(xclipOut(c.target).ok());
    c.giveUp();
    const auto pasted = xclipOut(c.target);
    EXPECT_FALSE(pasted.ok());
    EXPECT_EQ(pasted.out, "");
    if (clipboard) {
      EXPECT_EQ(clipboard->text(), std::nullopt);
    }
  }
}

TEST_F(X11ClipboardTest, AnotherApplicationsCopyReplacesOurs) {
  const std::string bigText = longText(3 << 20);
  const struct {
    const char* name;
    const char* target;  // what they offer
    std::string served;
    std::optional<std::string> text;  // what our text() gives
  } cases[] = {
      {"UTF-8 text", "UTF8_STRING", "theirs ☕", "theirs ☕"},
      {"Latin-1 text", "STRING", "caf\xE9 cr\xE8me", "café crème"},
      {"text sent in pieces", "UTF8_STRING", bigText, bigText},
      {"an image", "image/png", pngOfNoise(8, 8), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clipboard->setText("ours");
    ASSERT_EQ(xclipOut("UTF8_STRING").out, "ours");

    Background theirs({"xclip", "-selection", "clipboard", "-i", "-quiet", "-t", c.target}, c.served);
    ASSERT_TRUE(theirs.started());
    std::optional<std::string> seen;
    ASSERT_TRUE(waitUntil(
        [&] {
          seen = clipboard->text();
          return seen != "ours";
        },
        5s));
    ASSERT_EQ(seen.has_value(), c.text.has_value());
    if (seen) {
      EXPECT_TRUE(sameBytes(*seen, *c.text));
    }

    // Clearing ours leaves their copy alone; pastes get theirs.
    clipboard->clear();
    const auto pasted = xclipOut(c.target);
    EXPECT_TRUE(pasted.ok());
    EXPECT_TRUE(sameBytes(pasted.out, c.served));

    // Once they are gone the clipboard is empty: ours is not offered again.
    theirs.stop();
    EXPECT_TRUE(waitUntil([&] { return !xclipOut("TARGETS").ok(); }, 5s));
    EXPECT_EQ(clipboard->text(), std::nullopt);
  }
}

TEST_F(X11ClipboardTest, CallersOnManyThreadsEndWithTheLastWord) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        clipboard->setText("thread " + std::to_string(t) + " copy " + std::to_string(i));
        if (const auto seen = clipboard->text()) {
          EXPECT_THAT(*seen, HasSubstr(" copy "));
        }
        if (i % 10 == 0) clipboard->clear();
      }
    });
  for (auto& thread : threads) thread.join();
  clipboard->setText("the last word");
  EXPECT_EQ(xclipOut("UTF8_STRING").out, "the last word");
  EXPECT_EQ(clipboard->text(), "the last word");
}

TEST_F(X11ClipboardTest, SaysWhyWithoutADisplayAndOutlivesItsServer) {
  std::string why;
  EXPECT_EQ(X11Clipboard::open(&why, ":64999"), nullptr);
  EXPECT_THAT(why, HasSubstr(":64999"));

  // A server of its own, to stop under the clipboard's feet.
  int displayPipe[2];
  ASSERT_EQ(pipe2(displayPipe, O_CLOEXEC), 0);
  Background server({"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "320x240x24"}, "", displayPipe[1]);
  close(displayPipe[1]);
  std::string number;
  ASSERT_TRUE(waitUntil(
      [&] {
        pollfd fd{displayPipe[0], POLLIN, 0};
        char c;
        while (poll(&fd, 1, 0) > 0 && read(displayPipe[0], &c, 1) == 1) {
          if (c == '\n') return true;
          number += c;
        }
        return false;
      },
      10s));
  close(displayPipe[0]);

  auto own = X11Clipboard::open(&why, ":" + number);
  ASSERT_TRUE(own) << why;
  own->setText("before");
  EXPECT_EQ(own->text(), "before");

  server.stop();
  own->setText("after");
  EXPECT_EQ(own->text(), std::nullopt);
  own->clear();
  own.reset();  // and this process is still here
}

// ---- Image files -----------------------------------------------------------------

class PngImageTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const std::string& name, const std::string& bytes) {
    const auto file = home.path() / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }

  TempHome home;
};

TEST_F(PngImageTest, APngFileComesBackByteForByte) {
  const auto png = pngOfNoise(40, 30);
  const auto loaded = loadImageAsPng(write("shot.png", png));
  ASSERT_TRUE(loaded);
  EXPECT_TRUE(sameBytes(*loaded, png));
}

TEST_F(PngImageTest, OtherFormatsBecomeUprightPngs) {
  const auto image = noiseImage(40, 20, 7);
  const auto jpeg = encode(image.get(), "jpeg");
  const struct {
    const char* name;
    std::string bytes;
    Size size;
  } cases[] = {
      {"JPEG", jpeg, {40, 20}},
      {"JPEG from a phone held upright", withOrientation(jpeg, 6), {20, 40}},
      {"BMP", encode(image.get(), "bmp"), {40, 20}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto loaded = loadImageAsPng(write("photo", c.bytes));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(pngSize(*loaded), c.size);
  }
}

TEST_F(PngImageTest, WhatIsNotAWholeImageIsAbsent) {
  const auto png = pngOfNoise(64, 64);
  const auto folder = home.path() / "folder.png";
  std::filesystem::create_directory(folder);
  const struct {
    const char* name;
    std::filesystem::path file;
  } cases[] = {
      {"text", write("notes.png", "just some notes\n")},
      {"empty", write("empty.png", "")},
      {"PNG cut short", write("cut.png", png.substr(0, png.size() / 2))},
      {"missing", home.path() / "missing.png"},
      {"folder", folder},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto loaded = loadImageAsPng(c.file);
    EXPECT_FALSE(loaded) << loaded->size() << " bytes";
  }
}

}  // namespace
}  // namespace deskwave::testing
