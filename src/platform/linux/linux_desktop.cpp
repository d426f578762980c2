#include "platform/linux/linux_desktop.h"

#include <cstdlib>

#include "platform/linux/atspi_accessibility.h"
#include "platform/linux/png_image.h"
#include "platform/linux/x11_applications.h"
#include "platform/linux/x11_clipboard.h"
#include "platform/linux/xtest_input.h"

namespace deskwave {
namespace {

class PngImage final : public DesktopImage {
 public:
  explicit PngImage(std::string bytes) : bytes(std::move(bytes)) {}
  const std::string bytes;
};

class LinuxDesktop final : public Desktop {
 public:
  LinuxDesktop(std::unique_ptr<XTestInput> input, std::unique_ptr<X11Clipboard> clipboard,
               std::unique_ptr<X11Applications> applications, std::function<void(const std::string&)> log)
      : input_(std::move(input)), clipboard_(std::move(clipboard)), applications_(std::move(applications)),
        log_(std::move(log)) {}

  // XTest was there at start; the accessibility bus must still answer.
  bool isTrusted() override { return !atspi::connect().has_value(); }
  void promptForTrust() override { log_(std::string("Accessibility: to type into other applications, ") + kAccessibilityAdvice); }

  AXElement applicationElement(std::int32_t pid) override { return atspi::applicationElement(pid); }
  std::optional<std::string> stringAttribute(const AXElement& element, const std::string& name) override {
    return atspi::stringAttribute(element, name);
  }
  std::vector<AXElement> elementsAttribute(const AXElement& element, const std::string& name) override {
    return atspi::elementsAttribute(element, name);
  }
  std::optional<ScreenPoint> position(const AXElement& element) override { return atspi::position(element); }
  std::optional<ScreenSize> size(const AXElement& element) override { return atspi::size(element); }
  std::optional<bool> isValueSettable(const AXElement& element) override { return atspi::isValueSettable(element); }
  void setTrue(const AXElement& element, const std::string& name) override { atspi::setTrue(element, name); }
  void press(const AXElement& element) override { atspi::press(element); }
  bool sameElement(const AXElement& a, const AXElement& b) override { return atspi::sameElement(a, b); }

  void postKey(Key key, bool primaryModifier) override { input_->postKey(key, primaryModifier); }
  void clickAt(ScreenPoint point) override { input_->clickAt(point); }

  std::optional<std::string> clipboardText() override { return clipboard_->text(); }
  void clearClipboard() override { clipboard_->clear(); }
  void setClipboardText(const std::string& text) override { clipboard_->setText(text); }
  void setClipboardImage(const DesktopImage& image) override {
    if (const auto* png = dynamic_cast<const PngImage*>(&image)) clipboard_->setImagePng(png->bytes);
  }
  std::shared_ptr<DesktopImage> loadImage(const std::filesystem::path& file) override {
    auto bytes = loadImageAsPng(file);
    if (!bytes) return nullptr;
    return std::make_shared<PngImage>(std::move(*bytes));
  }

  std::vector<RunningApplication> runningApplications() override { return applications_->list(); }
  void activate(const RunningApplication& app) override { applications_->activate(app); }

 private:
  std::unique_ptr<XTestInput> input_;
  std::unique_ptr<X11Clipboard> clipboard_;
  std::unique_ptr<X11Applications> applications_;
  std::function<void(const std::string&)> log_;
};

std::shared_ptr<Desktop> none(const std::function<void(const std::string&)>& log, const std::string& why) {
  log("Desktop: " + why + " \u2014 prompts cannot be typed into applications");
  return std::make_shared<NullDesktop>();
}

}  // namespace

std::shared_ptr<Desktop> openLinuxDesktop(const std::function<void(const std::string&)>& log) {
  std::string why;
  if (!x11DisplayAvailable(&why)) {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return none(log, wayland && *wayland ? "a Wayland session without XWayland (" + why + ")" : why);
  }
  auto input = XTestInput::open(&why);
  if (!input) return none(log, why);
  auto clipboard = X11Clipboard::open(&why);
  if (!clipboard) return none(log, why);
  X11ApplicationsOptions options;
  options.accessibleName = [](std::int32_t pid) { return atspi::applicationName(pid); };
  auto applications = X11Applications::open(&why, std::move(options));
  if (!applications) return none(log, why);
  if (const auto busProblem = atspi::connect()) return none(log, *busProblem + "; " + kAccessibilityAdvice);
  return std::make_shared<LinuxDesktop>(std::move(input), std::move(clipboard), std::move(applications), log);
}

}  // namespace deskwave
