#include <fcntl.h>
#include <gmock/gmock.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

#include "desktop/fixture_app.h"
#include "platform/linux/atspi_accessibility.h"
#include "platform/linux/desktop_entries.h"
#include "platform/linux/x11_applications.h"
#include "platform/linux/xtest_input.h"

// Last: Xlib's macros (None, Bool, Status) would break the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

extern char** environ;

namespace deskwave {
// Printed in failure messages.
static void PrintTo(const RunningApplication& a, std::ostream* os) {
  *os << "{" << a.name << ", " << a.bundleId << ", " << a.bundlePath << ", pid " << a.pid << "}";
}
}  // namespace deskwave

namespace deskwave::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::IsEmpty;

// A directory removed with everything in it at the end of the test.
struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "deskwave-apps.XXXXXX").string();
    path = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path write(const fs::path& relative, const std::string& text) const {
    const auto file = path / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
    return file;
  }
  fs::path path;
};

std::string entryText(const std::string& name, const std::string& extra = {}) {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\n" + extra;
}

// ---- Desktop entries -----------------------------------------------------------

// What a parsed entry keeps, comparable in one expectation.
using Parsed = std::tuple<std::string, std::string, std::string, std::string, bool, bool>;
std::optional<Parsed> parsed(const std::optional<DesktopEntry>& e) {
  if (!e) return std::nullopt;
  return Parsed{e->name, e->program, e->programName, e->startupWMClass, e->noDisplay, e->hidden};
}

TEST(DesktopEntryTest, ParsingKeepsWhatNamesAndFindsAnApplication) {
  const struct {
    const char* what;
    std::string text;
    std::optional<Parsed> expected;
  } cases[] = {
      {"a typical entry",
       "[Desktop Entry]\nType=Application\nName=Cursor\nExec=/usr/share/cursor/cursor %F\nStartupWMClass=Cursor\n",
       Parsed{"Cursor", "/usr/share/cursor/cursor", "cursor", "Cursor", false, false}},
      {"comments, localised names, spacing, other groups",
       "# Name=Comment\n[Other]\nName=Other group\n[Desktop Entry]\nName[de]=Kode\nName = Code \nType=Application\n"
       "Exec=code --new-window %U\n[Desktop Action new]\nName=New Window\nExec=other\n",
       Parsed{"Code", "code", "code", "", false, false}},
      {"a quoted program with escapes",
       R"([Desktop Entry]
Type=Application
Name=Quoted
Exec="/opt/say \\"hi\\"/My App" --x "%%" %u
)",
       Parsed{"Quoted", "/opt/say \"hi\"/My App", "My App", "", false, false}},
      {"escapes in values", "[Desktop Entry]\nType=Application\nName=\\sTab\\there\\\\and\\q\n",
       Parsed{" Tab\there\\and\\q", "", "", "", false, false}},
      {"an env prefix", "[Desktop Entry]\nType=Application\nName=E\nExec=env -u X GDK_BACKEND=x11 /usr/bin/foo %u\n",
       Parsed{"E", "/usr/bin/foo", "foo", "", false, false}},
      {"an unterminated quote", "[Desktop Entry]\nType=Application\nName=Bad\nExec=\"/usr/bin/foo\n",
       Parsed{"Bad", "", "", "", false, false}},
      {"flags, byte order mark, CRLF lines",
       "\xEF\xBB\xBF[Desktop Entry]\r\nType=Application\r\nName=Helper\r\nNoDisplay=true\r\nHidden=true\r\n",
       Parsed{"Helper", "", "", "", true, true}},
      {"the first of two [Desktop Entry] groups",
       "[Desktop Entry]\nType=Application\nName=First\n[Desktop Entry]\nName=Second\n",
       Parsed{"First", "", "", "", false, false}},
      {"a link", "[Desktop Entry]\nType=Link\nName=Site\nURL=https://example.org\n", std::nullopt},
      {"no [Desktop Entry] group", "Type=Application\nName=Loose\n[Desktop Action x]\nType=Application\nName=X\n",
       std::nullopt},
      {"no Name", "[Desktop Entry]\nType=Application\nName[de]=Nur lokal\n", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parsed(parseDesktopEntry(c.text)), c.expected) << c.what;
}

TEST(DesktopEntryTest, DirectoriesFollowTheXdgVariables) {
  using Dirs = std::vector<fs::path>;
  const Dirs systemDefault = {"/usr/local/share/applications", "/usr/share/applications"};
  EXPECT_EQ(applicationDirectories("/d/home", "/d/a:/d/b", "/home/u"),
            (Dirs{"/d/home/applications", "/d/a/applications", "/d/b/applications"}));
  EXPECT_EQ(applicationDirectories(nullptr, nullptr, "/home/u"),
            (Dirs{"/home/u/.local/share/applications", systemDefault[0], systemDefault[1]}));
  EXPECT_EQ(applicationDirectories("relative", "", nullptr), systemDefault) << "relative and empty values are ignored";
  EXPECT_EQ(applicationDirectories("", "x::/d/a:", "/h"), (Dirs{"/h/.local/share/applications", "/d/a/applications"}));
}

TEST(DesktopEntryTest, TheWalkGivesEachIdOnceEarlierDirectoriesWinning) {
  TempDir tmp;
  tmp.write("home/applications/editor.desktop", entryText("Home Editor"));
  tmp.write("home/applications/gone.desktop", entryText("Gone", "Hidden=true\n"));
  tmp.write("a/applications/editor.desktop", entryText("System Editor"));
  tmp.write("a/applications/kde/kate.desktop", entryText("Kate"));
  tmp.write("a/applications/readme.txt", entryText("Not an entry"));
  tmp.write("a/applications/site.desktop", "[Desktop Entry]\nType=Link\nName=Site\n");
  tmp.write("b/applications/kde-kate.desktop", entryText("Shadowed Kate"));
  tmp.write("b/applications/gone.desktop", entryText("Shadowed Gone"));
  tmp.write("b/applications/term.desktop", entryText("Terminal"));
  // A named pipe would block a plain read for good.
  ASSERT_EQ(mkfifo((tmp.path / "a/applications/pipe.desktop").c_str(), 0600), 0);

  const auto dirs = applicationDirectories((tmp.path / "home").c_str(),
                                           ((tmp.path / "a").string() + ":" + (tmp.path / "b").string()).c_str(), "/");
  std::vector<std::tuple<std::string, std::string, fs::path, bool>> seen;
  for (const auto& e : loadDesktopEntries(dirs)) seen.emplace_back(e.id, e.name, e.file, e.hidden);
  EXPECT_THAT(
      seen,
      ElementsAre(std::tuple("editor.desktop", "Home Editor", tmp.path / "home/applications/editor.desktop", false),
                  std::tuple("gone.desktop", "Gone", tmp.path / "home/applications/gone.desktop", true),
                  std::tuple("kde-kate.desktop", "Kate", tmp.path / "a/applications/kde/kate.desktop", false),
                  std::tuple("term.desktop", "Terminal", tmp.path / "b/applications/term.desktop", false)));
  EXPECT_THAT(loadDesktopEntries({tmp.path / "missing"}), IsEmpty());
}

DesktopEntry entry(std::string id, std::string name, std::string program, std::string wmClass = {},
                   bool noDisplay = false, bool hidden = false) {
  const auto slash = program.rfind('/');
  auto programName = slash == std::string::npos ? program : program.substr(slash + 1);
  auto file = "/apps/" + id;
  return {std::move(id),          std::move(file),    std::move(name), std::move(program),
          std::move(programName), std::move(wmClass), noDisplay,       hidden};
}

const std::vector<DesktopEntry> kEntries = {
    entry("cursor-url-handler.desktop", "Cursor URL Handler", "/usr/share/cursor/cursor", "Cursor", true),
    entry("cursor.desktop", "Cursor", "/usr/share/cursor/cursor", "Cursor"),
    entry("code.desktop", "Visual Studio Code", "/usr/share/code/code", "Code"),
    entry("python3.11.desktop", "Python (v3.11)", "/usr/bin/python3.11", "", true),
    entry("org.gnome.Nautilus.desktop", "Files", "nautilus"),
    entry("foo.desktop", "Foo", "/opt/foo/foo-bin"),
    entry("gone.desktop", "Gone", "/usr/bin/gone", "Gone", false, true),
};

TEST(DesktopEntryTest, MatchingAWindowFindsItsEntry) {
  const struct {
    const char* instance;
    const char* cls;
    const char* executable;
    const char* expected;  // id; null: none
  } cases[] = {
      {"cursor", "Cursor", "/usr/share/cursor/cursor", "cursor.desktop"},  // a shown entry beats a NoDisplay one
      {"code", "Code", "/usr/share/cursor/cursor", "code.desktop"},        // StartupWMClass beats the executable
      {"x", "CODE", "", "code.desktop"},
      {"foo-bin", "Foo-bin", "/opt/foo/foo-bin", "foo.desktop"},
      {"x", "X", "/elsewhere/FOO-BIN", "foo.desktop"},
      {"foo-bin", "", "", "foo.desktop"},
      {"org.gnome.nautilus", "Org.gnome.Nautilus", "", "org.gnome.Nautilus.desktop"},
      {"fixture-chat", "Fixture-chat", "/usr/bin/python3.11", nullptr},  // an interpreter says nothing
      {"gone", "Gone", "/usr/bin/gone", nullptr},                        // hidden entries never match
      {"", "", "", nullptr},
  };
  for (const auto& c : cases) {
    const auto* hit = matchEntry(kEntries, c.instance, c.cls, c.executable);
    EXPECT_EQ(hit ? hit->id : "(none)", c.expected ? c.expected : "(none)")
        << c.instance << " / " << c.cls << " / " << c.executable;
  }
}

TEST(ApplicationsFromWindowsTest, OneApplicationPerProcessNamedByEntryThenAccessibilityThenClass) {
  const std::vector<ClientWindow> windows = {
      {10, "cursor", "Cursor", "/usr/share/cursor/cursor"},
      {20, "fixture-chat", "Fixture-chat", "/usr/bin/python3.11"},
      {10, "devtools", "Devtools", "/usr/share/cursor/cursor"},
      {30, "xterm", "XTerm", "/usr/bin/xterm"},
      {40, "", "", "/usr/bin/thing"},
      {0, "nopid", "Nopid", ""},
  };
  const auto accessible = [](std::int32_t pid) -> std::optional<std::string> {
    if (pid == 20) return "fixture_chat.py";
    if (pid == 40) return "";
    return std::nullopt;
  };
  const auto apps = applicationsFromWindows(windows, kEntries, accessible);
  const auto is = [](std::string name, std::string id, std::string path, std::int32_t pid) {
    return AllOf(Field(&RunningApplication::name, name), Field(&RunningApplication::bundleId, id),
                 Field(&RunningApplication::bundlePath, path), Field(&RunningApplication::pid, pid),
                 Field(&RunningApplication::regular, true));
  };
  EXPECT_THAT(apps, ElementsAre(is("Cursor", "cursor.desktop", "/apps/cursor.desktop", 10),
                                is("fixture_chat.py", "Fixture-chat", "/usr/bin/python3.11", 20),
                                is("XTerm", "XTerm", "/usr/bin/xterm", 30), is("thing", "", "/usr/bin/thing", 40)));
  EXPECT_EQ(applicationsFromWindows(windows, {}, {})[1].name, "Fixture-chat");
}

// ---- Against the private desktop -----------------------------------------------

bool hasPid(const std::vector<RunningApplication>& apps, pid_t pid) {
  return std::any_of(apps.begin(), apps.end(), [&](const auto& a) { return a.pid == pid; });
}

// The test's own view of the X server, independent of the code under test.
class XSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inTestSession()) GTEST_SKIP() << "needs the private desktop of tests/desktop/run_in_session.sh";
    display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    root = DefaultRootWindow(display);
    std::string whyNot;
    apps = X11Applications::open(&whyNot, {.desktopEntries = [this] { return entries; }});
    ASSERT_TRUE(apps) << whyNot;
  }
  void TearDown() override {
    if (display) XCloseDisplay(display);
  }

  Atom atom(const char* name) { return XInternAtom(display, name, False); }

  // The mapped top-level window whose _NET_WM_PID is `pid`.
  Window windowOf(pid_t pid) {
    Window rootReturn, parent, *children = nullptr, found = 0;
    unsigned int count = 0;
    XQueryTree(display, root, &rootReturn, &parent, &children, &count);
    for (unsigned int i = 0; i < count && !found; ++i) {
      XWindowAttributes a;
      Atom type;
      int format;
      unsigned long items, after;
      unsigned char* data = nullptr;
      if (XGetWindowAttributes(display, children[i], &a) && a.map_state == IsViewable &&
          XGetWindowProperty(display, children[i], atom("_NET_WM_PID"), 0, 1, False, XA_CARDINAL, &type, &format,
                             &items, &after, &data) == Success &&
          items == 1 && *reinterpret_cast<unsigned long*>(data) == static_cast<unsigned long>(pid))
        found = children[i];
      if (data) XFree(data);
    }
    if (children) XFree(children);
    return found;
  }

  // The top-level window holding the input focus, or the focus itself when that is not a window.
  Window focusedTopLevel() {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    for (Window w = focus; w > PointerRoot && w != root;) {
      Window rootReturn, parent, *children = nullptr;
      unsigned int count = 0;
      if (!XQueryTree(display, w, &rootReturn, &parent, &children, &count)) return w;
      if (children) XFree(children);
      if (parent == root) return w;
      w = parent;
    }
    return focus;
  }

  Window topmostMapped() {
    Window rootReturn, parent, *children = nullptr, top = 0;
    unsigned int count = 0;
    XQueryTree(display, root, &rootReturn, &parent, &children, &count);
    for (unsigned int i = 0; i < count; ++i) {
      XWindowAttributes a;
      if (XGetWindowAttributes(display, children[i], &a) && a.map_state == IsViewable && !a.override_redirect)
        top = children[i];
    }
    if (children) XFree(children);
    return top;
  }

  Display* display = nullptr;
  Window root = 0;
  std::vector<DesktopEntry> entries;
  std::unique_ptr<X11Applications> apps;
};

TEST_F(XSessionTest, TheFixtureIsListedAndNamedByItsDesktopEntry) {
  FixtureApp fixture;
  ASSERT_NE(fixture.pid(), 0) << "the fixture chat window did not start";
  ASSERT_TRUE(waitUntil([&] { return hasPid(apps->list(), fixture.pid()); }, 5s));

  const auto named = [&](pid_t pid) {
    for (const auto& a : apps->list())
      if (a.pid == pid) return a;
    return RunningApplication{};
  };
  const auto withoutEntry = named(fixture.pid());
  EXPECT_EQ(withoutEntry.name, "Fixture-chat");
  EXPECT_EQ(withoutEntry.bundleId, "Fixture-chat");
  EXPECT_EQ(withoutEntry.bundlePath, fs::read_symlink("/proc/" + std::to_string(fixture.pid()) + "/exe"));

  TempDir tmp;
  tmp.write("applications/fixture-chat.desktop",
            entryText("Fixture Chat", "Exec=/usr/bin/python3 fixture_chat.py\nStartupWMClass=Fixture-chat\n"));
  entries = loadDesktopEntries({tmp.path / "applications"});
  const auto withEntry = named(fixture.pid());
  EXPECT_EQ(withEntry.name, "Fixture Chat");
  EXPECT_EQ(withEntry.bundleId, "fixture-chat.desktop");
  EXPECT_EQ(withEntry.bundlePath, tmp.path / "applications/fixture-chat.desktop");

  std::string whyNot;
  EXPECT_TRUE(x11DisplayAvailable(&whyNot)) << whyNot;
  EXPECT_FALSE(X11Applications::open(&whyNot, {.display = ":99999"}));
  EXPECT_THAT(whyNot, ::testing::HasSubstr(":99999"));
}

TEST_F(XSessionTest, ActivatingRaisesAndFocusesTheProcesssWindowWithoutAWindowManager) {
  FixtureApp first, second;
  ASSERT_TRUE(first.pid() && second.pid()) << "the fixture chat windows did not start";
  const Window firstWindow = windowOf(first.pid()), secondWindow = windowOf(second.pid());
  ASSERT_TRUE(firstWindow && secondWindow);
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto l = apps->list();
        return hasPid(l, first.pid()) && hasPid(l, second.pid());
      },
      5s));

  XSetInputFocus(display, root, RevertToParent, CurrentTime);
  XSync(display, False);
  for (const auto& [fixture, window] :
       {std::pair(&first, firstWindow), {&second, secondWindow}, {&first, firstWindow}}) {
    apps->activate({.pid = fixture->pid()});
    EXPECT_TRUE(waitUntil([&] { return focusedTopLevel() == window && topmostMapped() == window; }, 3s))
        << "window " << window;
  }
  apps->activate({.pid = getpid()});  // no window: nothing changes
  EXPECT_EQ(focusedTopLevel(), firstWindow);
}

// Plays an EWMH window manager with root properties and a check window, and
// receives the requests sent to one.
class FakeWindowManager {
 public:
  FakeWindowManager(Display* display, std::vector<Window> clients) : display_(display) {
    const Window root = DefaultRootWindow(display);
    check_ = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
    for (const Window w : {root, check_}) setWindows(w, "_NET_SUPPORTING_WM_CHECK", {check_});
    const Atom supported[] = {atom("_NET_ACTIVE_WINDOW"), atom("_NET_CLIENT_LIST")};
    XChangeProperty(display, root, atom("_NET_SUPPORTED"), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(supported), 2);
    setWindows(root, "_NET_CLIENT_LIST", clients);
    XSelectInput(display, root, SubstructureRedirectMask);
    XSync(display, False);
  }
  ~FakeWindowManager() {
    const Window root = DefaultRootWindow(display_);
    XSelectInput(display_, root, NoEventMask);
    for (const char* name : {"_NET_SUPPORTING_WM_CHECK", "_NET_SUPPORTED", "_NET_CLIENT_LIST"})
      XDeleteProperty(display_, root, atom(name));
    leave();
  }
  // The manager ends without clearing the root's properties.
  void leave() {
    if (check_) XDestroyWindow(display_, check_);
    check_ = 0;
    XSync(display_, False);
  }
  std::optional<XClientMessageEvent> waitForMessage(const char* type) {
    std::optional<XClientMessageEvent> found;
    waitUntil(
        [&] {
          XEvent event;
          while (!found && XCheckTypedEvent(display_, ClientMessage, &event))
            if (event.xclient.message_type == atom(type)) found = event.xclient;
          return found.has_value();
        },
        3s);
    return found;
  }

 private:
  Atom atom(const char* name) { return XInternAtom(display_, name, False); }
  void setWindows(Window on, const char* name, const std::vector<Window>& windows) {
    const std::vector<unsigned long> items(windows.begin(), windows.end());
    XChangeProperty(display_, on, atom(name), XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(items.data()), static_cast<int>(items.size()));
  }
  Display* display_;
  Window check_ = 0;
};

TEST_F(XSessionTest, AWindowManagersClientListAndActivationAreUsedWhileItRuns) {
  FixtureApp fixture;
  ASSERT_NE(fixture.pid(), 0) << "the fixture chat window did not start";
  const Window window = windowOf(fixture.pid());
  ASSERT_TRUE(window);
  {
    FakeWindowManager wm(display, {});
    EXPECT_FALSE(hasPid(apps->list(), fixture.pid())) << "the manager's empty client list counts";
  }
  FakeWindowManager wm(display, {window});
  EXPECT_TRUE(hasPid(apps->list(), fixture.pid()));

  XSetInputFocus(display, root, RevertToParent, CurrentTime);
  XSync(display, False);
  apps->activate({.pid = fixture.pid()});
  const auto request = wm.waitForMessage("_NET_ACTIVE_WINDOW");
  ASSERT_TRUE(request) << "no _NET_ACTIVE_WINDOW request reached the window manager";
  EXPECT_EQ(request->window, window);
  EXPECT_EQ(request->format, 32);
  EXPECT_EQ(request->data.l[0], 2) << "sent on the user's behalf";
  EXPECT_NE(request->data.l[1], 0) << "with the server's time";
  EXPECT_EQ(focusedTopLevel(), root) << "the window manager, not the caller, moves the focus";

  wm.leave();  // stale properties stay on the root
  EXPECT_TRUE(hasPid(apps->list(), fixture.pid()));
  apps->activate({.pid = fixture.pid()});
  EXPECT_TRUE(waitUntil([&] { return focusedTopLevel() == window; }, 3s)) << "focused directly once the manager left";
}

// An element of the application's accessibility tree with this role and title.
AXElement findElement(const AXElement& element, const std::string& role, const std::string& title, int depth = 0) {
  if (!element || depth > 40) return nullptr;
  if (atspi::stringAttribute(element, ax::kRole) == role &&
      (title.empty() || atspi::stringAttribute(element, ax::kTitle) == title))
    return element;
  for (const auto& child : atspi::elementsAttribute(element, depth == 0 ? ax::kWindows : ax::kChildren))
    if (auto found = findElement(child, role, title, depth + 1)) return found;
  return nullptr;
}

std::optional<ScreenPoint> centreOf(const AXElement& element) {
  const auto at = atspi::position(element);
  const auto size = atspi::size(element);
  if (!at || !size) return std::nullopt;
  return ScreenPoint{at->x + size->width / 2, at->y + size->height / 2};
}

TEST_F(XSessionTest, SynthesizedKeysAndClicksReachTheFrontApplication) {
  ASSERT_EQ(atspi::connect(), std::nullopt);
  FixtureApp fixture;
  ASSERT_NE(fixture.pid(), 0) << "the fixture chat window did not start";
  std::string whyNot;
  auto input = XTestInput::open(&whyNot);
  ASSERT_TRUE(input) << whyNot;
  ASSERT_TRUE(waitUntil([&] { return atspi::applicationElement(fixture.pid()) != nullptr; }, 10s));
  const auto app = atspi::applicationElement(fixture.pid());
  const auto composer = centreOf(findElement(app, ax::kTextArea, ""));
  const auto answer = centreOf(findElement(app, ax::kTextField, ""));
  const auto submit = centreOf(findElement(app, ax::kButton, "Submit answer"));
  ASSERT_TRUE(composer && answer && submit) << "the fixture's composer, answer field and button";

  apps->activate({.pid = fixture.pid()});
  input->clickAt(*composer);
  input->postKey(Key::A, false);
  input->postKey(Key::Return, false);
  EXPECT_EQ(fixture.waitForLine("PROMPT", 5s), "PROMPT \"a\"");

  // Control+A selects the three letters, and Control is up again for the last one.
  input->clickAt(*answer);
  for (const bool primary : {false, false, false, true, false}) input->postKey(Key::A, primary);
  input->clickAt(*submit);
  EXPECT_EQ(fixture.waitForLine("ANSWER", 5s), "ANSWER \"a\"");

  EXPECT_FALSE(XTestInput::open(&whyNot, ":99999"));
  EXPECT_THAT(whyNot, ::testing::HasSubstr(":99999"));
}

// Moves a keysym to another key for as long as it lives.
class MovedKey {
 public:
  MovedKey(Display* display, KeySym keysym) : display_(display) {
    from_ = XKeysymToKeycode(display, keysym);
    int min = 0, max = 0;
    XDisplayKeycodes(display, &min, &max);
    for (int k = max; k >= min && !to_; --k) {  // a key without symbols
      int per = 0;
      KeySym* syms = XGetKeyboardMapping(display, static_cast<KeyCode>(k), 1, &per);
      if (syms && std::all_of(syms, syms + per, [](KeySym s) { return s == NoSymbol; })) to_ = static_cast<KeyCode>(k);
      if (syms) XFree(syms);
    }
    if (!from_ || !to_) return;
    int per = 0;
    KeySym* old = XGetKeyboardMapping(display, from_, 1, &per);
    saved_.assign(old, old + per);
    XFree(old);
    KeySym nothing = NoSymbol;
    XChangeKeyboardMapping(display, to_, static_cast<int>(saved_.size()), saved_.data(), 1);
    XChangeKeyboardMapping(display, from_, 1, &nothing, 1);
    XSync(display, False);
  }
  ~MovedKey() {
    if (!from_ || !to_) return;
    std::vector<KeySym> nothing(saved_.size(), NoSymbol);
    XChangeKeyboardMapping(display_, from_, static_cast<int>(saved_.size()), saved_.data(), 1);
    XChangeKeyboardMapping(display_, to_, static_cast<int>(nothing.size()), nothing.data(), 1);
    XSync(display_, False);
  }
  KeyCode from() const { return from_; }
  KeyCode to() const { return to_; }

 private:
  Display* display_;
  KeyCode from_ = 0, to_ = 0;
  std::vector<KeySym> saved_;
};

TEST_F(XSessionTest, KeystrokesHoldControlAroundTheKeyAndFollowKeyboardMapChanges) {
  std::string whyNot;
  auto input = XTestInput::open(&whyNot);
  ASSERT_TRUE(input) << whyNot;
  // A window of the test's own, focused, receives the keys.
  const Window window = XCreateSimpleWindow(display, root, 0, 0, 200, 100, 0, 0, 0);
  XSelectInput(display, window, KeyPressMask | KeyReleaseMask);
  XMapRaised(display, window);
  ASSERT_TRUE(waitUntil(
      [&] {
        XWindowAttributes a;
        return XGetWindowAttributes(display, window, &a) && a.map_state == IsViewable;
      },
      3s));
  XSetInputFocus(display, window, RevertToParent, CurrentTime);
  XSync(display, False);
  const auto keysSeen = [&](std::size_t count) {
    std::vector<std::tuple<int, int, bool>> seen;  // type, keycode, Control held
    waitUntil(
        [&] {
          XEvent event;
          while (XCheckWindowEvent(display, window, KeyPressMask | KeyReleaseMask, &event))
            seen.emplace_back(event.type, event.xkey.keycode, (event.xkey.state & ControlMask) != 0);
          return seen.size() >= count;
        },
        3s);
    return seen;
  };
  const int control = XKeysymToKeycode(display, XK_Control_L);

  input->postKey(Key::A, false);  // its keyboard map is read now
  const int a = XKeysymToKeycode(display, XK_a);
  EXPECT_THAT(keysSeen(2), ElementsAre(std::tuple(KeyPress, a, false), std::tuple(KeyRelease, a, false)));

  const MovedKey moved(display, XK_a);
  ASSERT_TRUE(moved.from() && moved.to());
  input->postKey(Key::A, true);
  EXPECT_THAT(keysSeen(4),
              ElementsAre(std::tuple(KeyPress, control, false), std::tuple(KeyPress, moved.to(), true),
                          std::tuple(KeyRelease, moved.to(), true), std::tuple(KeyRelease, control, true)));
  XDestroyWindow(display, window);
}

// An X server of the test's own, to take away underneath the code.
class PrivateXServer {
 public:
  PrivateXServer() {
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    for (const int fd : fds)
      if (fd != 3) posix_spawn_file_actions_addclose(&actions, fd);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "320x200x24", nullptr};
    if (posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = 0;
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char buffer[32] = {};
    std::size_t used = 0;
    pollfd ready{fds[0], POLLIN, 0};
    // The display number, then a line break, within a few seconds.
    while (pid_ && used < sizeof buffer - 1 && poll(&ready, 1, 5000) == 1) {
      const auto n = read(fds[0], buffer + used, sizeof buffer - 1 - used);
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
      if (std::string_view(buffer, used).find('\n') != std::string_view::npos) {
        name_ = ":" + std::string(buffer, std::string_view(buffer, used).find('\n'));
        break;
      }
    }
    close(fds[0]);
  }
  ~PrivateXServer() { stop(); }
  void stop() {
    if (!pid_) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = 0;
  std::string name_;
};

TEST(XServerLossTest, CallsDoNothingOnceTheServerIsGone) {
  if (!inTestSession()) GTEST_SKIP() << "needs the private desktop of tests/desktop/run_in_session.sh";
  PrivateXServer server;
  ASSERT_FALSE(server.name().empty()) << "Xvfb did not start";
  std::string whyNot;
  auto apps = X11Applications::open(
      &whyNot, {.desktopEntries = [] { return std::vector<DesktopEntry>{}; }, .display = server.name()});
  auto input = XTestInput::open(&whyNot, server.name());
  ASSERT_TRUE(apps && input) << whyNot;
  EXPECT_THAT(apps->list(), IsEmpty());

  server.stop();
  EXPECT_THAT(apps->list(), IsEmpty());
  apps->activate({.pid = getpid()});
  input->postKey(Key::V, true);
  input->clickAt({10, 10});
  apps.reset();
  input.reset();
  SUCCEED() << "the process lives on";
}

}  // namespace
}  // namespace deskwave::testing
