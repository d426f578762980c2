#pragma once

// A scriptable in-memory desktop: applications with element trees, a clipboard,
// and a log of every keystroke, click, focus, press and clipboard write, stamped
// with the (virtual) time. Elements can react to input, so that whole timelines
// of typing a prompt and a reply appearing can be played.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/desktop.h"

namespace deskwave::testing {

// How an editable field submits what it holds.
enum class SubmitOn { Never, Return, PrimaryReturn };

class FakeElement final : public AXElementHandle {
 public:
  FakeElement(std::string role, std::string id) : role(std::move(role)), id(std::move(id)) {}

  std::string role;
  std::string id;  // the element's name in the event log
  std::optional<std::string> value, title, description, placeholder;
  std::optional<ScreenPoint> position;
  std::optional<ScreenSize> size;
  std::optional<bool> settable;  // absent: asking fails
  std::vector<std::shared_ptr<FakeElement>> children, childrenInNavigationOrder, contents;
  std::set<std::string> trueAttributes;  // attributes set to true by the program

  // Reactions. A field submits on the key named by `submitOn` (or through a send
  // button calling FakeDesktop::submit): it is emptied and `onSubmit` gets the text.
  SubmitOn submitOn = SubmitOn::Never;
  std::function<void(const std::string& text)> onSubmit;
  std::function<void()> onPress;
  std::vector<std::string> pastedImages;  // images pasted into this field

  // Builder helpers; each returns the element itself.
  FakeElement& at(double x, double y) {
    position = ScreenPoint{x, y};
    return *this;
  }
  FakeElement& sized(double w, double h) {
    size = ScreenSize{w, h};
    return *this;
  }
  FakeElement& withValue(std::string v) {
    value = std::move(v);
    return *this;
  }
  FakeElement& withTitle(std::string t) {
    title = std::move(t);
    return *this;
  }
  FakeElement& add(std::shared_ptr<FakeElement> child) {
    children.push_back(std::move(child));
    return *this;
  }

 private:
  friend class FakeDesktop;
  bool allSelected_ = false;
};

using FakeElementPtr = std::shared_ptr<FakeElement>;

// A new element; `id` defaults to the role.
FakeElementPtr element(std::string role, std::string id = {});
// Text on screen: an "AXStaticText" with that value at (x, y).
FakeElementPtr staticText(std::string text, double x, double y);

struct FakeApp {
  RunningApplication info;
  FakeElementPtr root;                  // the application element
  std::vector<FakeElementPtr> windows;  // its "AXWindows"
  FakeElementPtr focused;               // where keystrokes go while it is in front
};

struct DesktopEvent {
  double at;  // seconds since the fake was made
  std::string what;
  bool operator==(const DesktopEvent&) const = default;
};
std::ostream& operator<<(std::ostream& out, const DesktopEvent& event);

class FakeDesktop final : public Desktop {
 public:
  explicit FakeDesktop(std::shared_ptr<Clock> clock);

  // Adds a running application (after the ones already running) and returns it.
  FakeApp& addApp(RunningApplication info);
  FakeApp* app(std::int32_t pid);
  // Submits a field as its submit key would: empties it and calls its `onSubmit`.
  void submit(const FakeElementPtr& field);

  bool trusted = true;
  int trustPrompts = 0;
  std::optional<std::int32_t> frontPid;

  std::vector<DesktopEvent> events() const;
  // The events' texts only, optionally only those starting with `prefix`.
  std::vector<std::string> eventTexts(const std::string& prefix = {}) const;
  void clearEvents();
  // What the clipboard holds: "text:…", "image:<file name>" or "" when empty.
  std::string clipboard() const;

  bool isTrusted() override;
  void promptForTrust() override;
  AXElement applicationElement(std::int32_t pid) override;
  std::optional<std::string> stringAttribute(const AXElement& element, const std::string& name) override;
  std::vector<AXElement> elementsAttribute(const AXElement& element, const std::string& name) override;
  std::optional<ScreenPoint> position(const AXElement& element) override;
  std::optional<ScreenSize> size(const AXElement& element) override;
  std::optional<bool> isValueSettable(const AXElement& element) override;
  void setTrue(const AXElement& element, const std::string& name) override;
  void press(const AXElement& element) override;
  bool sameElement(const AXElement& a, const AXElement& b) override;
  void postKey(Key key, bool primaryModifier) override;
  void clickAt(ScreenPoint point) override;
  std::optional<std::string> clipboardText() override;
  void clearClipboard() override;
  void setClipboardText(const std::string& text) override;
  void setClipboardImage(const DesktopImage& image) override;
  std::shared_ptr<DesktopImage> loadImage(const std::filesystem::path& file) override;
  std::vector<RunningApplication> runningApplications() override;
  void activate(const RunningApplication& app) override;

 private:
  void record(std::string what);  // caller holds mutex_
  FakeApp* owner(const FakeElement* element);
  FakeApp* front();

  std::shared_ptr<Clock> clock_;
  MonoTime start_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<FakeApp>> apps_;
  std::vector<DesktopEvent> events_;
  std::string clipboard_;
};

}  // namespace deskwave::testing
