#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace deskwave {

// One accessibility element of another application (a window, a text field, a
// button …). Backends derive their own handle type; callers only pass it back.
class AXElementHandle {
 public:
  virtual ~AXElementHandle() = default;
};
using AXElement = std::shared_ptr<AXElementHandle>;

// An image loaded from a file, ready to be put on the clipboard.
class DesktopImage {
 public:
  virtual ~DesktopImage() = default;
};

struct ScreenPoint {
  double x = 0;
  double y = 0;
};

struct ScreenSize {
  double width = 0;
  double height = 0;
};

// The keys the program types. `primaryModifier` is Command on macOS, Control on Linux.
enum class Key { A, V, Return, Escape };

struct RunningApplication {
  std::string name;        // the name the user sees
  std::string bundleId;    // bundle identifier (macOS) or desktop-entry id (Linux); may be empty
  std::string bundlePath;  // the application's bundle or executable path; may be empty
  std::int32_t pid = 0;
  bool regular = true;     // an ordinary application with windows, not a helper or agent
};

// Attribute and role names, as every backend offers them.
namespace ax {
inline constexpr const char* kRole = "AXRole";
inline constexpr const char* kValue = "AXValue";
inline constexpr const char* kTitle = "AXTitle";
inline constexpr const char* kDescription = "AXDescription";
inline constexpr const char* kPlaceholderValue = "AXPlaceholderValue";
inline constexpr const char* kPosition = "AXPosition";
inline constexpr const char* kSize = "AXSize";
inline constexpr const char* kWindows = "AXWindows";
inline constexpr const char* kChildren = "AXChildren";
inline constexpr const char* kChildrenInNavigationOrder = "AXChildrenInNavigationOrder";
inline constexpr const char* kContents = "AXContents";
inline constexpr const char* kFocused = "AXFocused";
inline constexpr const char* kManualAccessibility = "AXManualAccessibility";
inline constexpr const char* kEnhancedUserInterface = "AXEnhancedUserInterface";

inline constexpr const char* kTextArea = "AXTextArea";
inline constexpr const char* kTextField = "AXTextField";
inline constexpr const char* kComboBox = "AXComboBox";
inline constexpr const char* kSearchField = "AXSearchField";
inline constexpr const char* kButton = "AXButton";
inline constexpr const char* kGroup = "AXGroup";
inline constexpr const char* kStaticText = "AXStaticText";
inline constexpr const char* kText = "AXText";
inline constexpr const char* kHeading = "AXHeading";
inline constexpr const char* kLink = "AXLink";
inline constexpr const char* kCell = "AXCell";
inline constexpr const char* kWindow = "AXWindow";
}  // namespace ax

// What the program needs of the desktop to drive and read other applications:
// accessibility, synthesized input, the clipboard and the running applications.
// No call throws or fails loudly: a failed read yields an absent value, a failed
// action does nothing. Calls may come from the main thread and from the reply
// readers' background queue at the same time.
class Desktop {
 public:
  virtual ~Desktop() = default;

  // Whether this process may control other applications.
  virtual bool isTrusted() = 0;
  // Asks the system to show its permission prompt; the answer comes later.
  virtual void promptForTrust() = 0;

  // The root element of the application with this process id.
  virtual AXElement applicationElement(std::int32_t pid) = 0;
  // A string attribute; absent on failure or when the value is not a string.
  virtual std::optional<std::string> stringAttribute(const AXElement& element, const std::string& name) = 0;
  // An element-list attribute; empty on failure.
  virtual std::vector<AXElement> elementsAttribute(const AXElement& element, const std::string& name) = 0;
  // "AXPosition" in screen points.
  virtual std::optional<ScreenPoint> position(const AXElement& element) = 0;
  // "AXSize" in screen points.
  virtual std::optional<ScreenSize> size(const AXElement& element) = 0;
  // Whether "AXValue" can be set; absent when the question itself fails.
  virtual std::optional<bool> isValueSettable(const AXElement& element) = 0;
  // Sets a boolean attribute to true ("AXFocused", "AXManualAccessibility",
  // "AXEnhancedUserInterface"); the result is not reported.
  virtual void setTrue(const AXElement& element, const std::string& name) = 0;
  // Performs the element's press action.
  virtual void press(const AXElement& element) = 0;
  virtual bool sameElement(const AXElement& a, const AXElement& b) = 0;

  // One keystroke (down, then up) to the front application.
  virtual void postKey(Key key, bool primaryModifier) = 0;
  // One left click at a screen point.
  virtual void clickAt(ScreenPoint point) = 0;

  virtual std::optional<std::string> clipboardText() = 0;
  virtual void clearClipboard() = 0;
  virtual void setClipboardText(const std::string& text) = 0;
  virtual void setClipboardImage(const DesktopImage& image) = 0;
  // Absent when the file is missing or not an image.
  virtual std::shared_ptr<DesktopImage> loadImage(const std::filesystem::path& file) = 0;

  // Running applications, in the system's order.
  virtual std::vector<RunningApplication> runningApplications() = 0;
  // Brings the application to the front.
  virtual void activate(const RunningApplication& app) = 0;
};

// The desktop of a machine without one (headless): nothing is trusted, nothing
// runs, and the clipboard holds nothing.
class NullDesktop final : public Desktop {
 public:
  bool isTrusted() override { return false; }
  void promptForTrust() override {}
  AXElement applicationElement(std::int32_t) override { return nullptr; }
  std::optional<std::string> stringAttribute(const AXElement&, const std::string&) override { return std::nullopt; }
  std::vector<AXElement> elementsAttribute(const AXElement&, const std::string&) override { return {}; }
  std::optional<ScreenPoint> position(const AXElement&) override { return std::nullopt; }
  std::optional<ScreenSize> size(const AXElement&) override { return std::nullopt; }
  std::optional<bool> isValueSettable(const AXElement&) override { return std::nullopt; }
  void setTrue(const AXElement&, const std::string&) override {}
  void press(const AXElement&) override {}
  bool sameElement(const AXElement& a, const AXElement& b) override { return a == b; }
  void postKey(Key, bool) override {}
  void clickAt(ScreenPoint) override {}
  std::optional<std::string> clipboardText() override { return std::nullopt; }
  void clearClipboard() override {}
  void setClipboardText(const std::string&) override {}
  void setClipboardImage(const DesktopImage&) override {}
  std::shared_ptr<DesktopImage> loadImage(const std::filesystem::path&) override { return nullptr; }
  std::vector<RunningApplication> runningApplications() override { return {}; }
  void activate(const RunningApplication&) override {}
};

}  // namespace deskwave
