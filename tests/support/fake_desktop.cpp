#include "support/fake_desktop.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace deskwave::testing {
namespace {

class FakeImage final : public DesktopImage {
 public:
  explicit FakeImage(std::string name) : name(std::move(name)) {}
  std::string name;
};

FakeElement* as(const AXElement& element) { return dynamic_cast<FakeElement*>(element.get()); }

std::string keyName(Key key) {
  switch (key) {
    case Key::A: return "A";
    case Key::V: return "V";
    case Key::Return: return "Return";
    case Key::Escape: return "Escape";
  }
  return "?";
}

bool isInputRole(const std::string& role) {
  return role == ax::kTextArea || role == ax::kTextField || role == ax::kComboBox || role == ax::kSearchField;
}

bool contains(const FakeElement& e, ScreenPoint p) {
  if (!e.position || !e.size) return false;
  return p.x >= e.position->x && p.x <= e.position->x + e.size->width && p.y >= e.position->y &&
         p.y <= e.position->y + e.size->height;
}

bool holds(const FakeElement* tree, const FakeElement* wanted) {
  if (tree == wanted) return true;
  for (const auto* list : {&tree->children, &tree->childrenInNavigationOrder, &tree->contents})
    for (const auto& child : *list)
      if (holds(child.get(), wanted)) return true;
  return false;
}

// The last element in walk order under the point: the most specific one on top.
void hitTest(const FakeElementPtr& e, ScreenPoint p, FakeElementPtr& hit) {
  if (contains(*e, p)) hit = e;
  for (const auto& child : e->children) hitTest(child, p, hit);
}

std::string formatNumber(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%g", v);
  return buffer;
}

}  // namespace

FakeElementPtr element(std::string role, std::string id) {
  if (id.empty()) id = role;
  return std::make_shared<FakeElement>(std::move(role), std::move(id));
}

FakeElementPtr staticText(std::string text, double x, double y) {
  auto e = element(ax::kStaticText, text);
  e->withValue(std::move(text)).at(x, y);
  return e;
}

std::ostream& operator<<(std::ostream& out, const DesktopEvent& event) {
  return out << event.at << "s " << event.what;
}

FakeDesktop::FakeDesktop(std::shared_ptr<Clock> clock) : clock_(std::move(clock)), start_(clock_->monotonic()) {}

FakeApp& FakeDesktop::addApp(RunningApplication info) {
  std::lock_guard lock(mutex_);
  auto app = std::make_unique<FakeApp>();
  app->info = std::move(info);
  app->root = element("AXApplication", "app:" + app->info.name);
  apps_.push_back(std::move(app));
  return *apps_.back();
}

FakeApp* FakeDesktop::app(std::int32_t pid) {
  std::lock_guard lock(mutex_);
  for (auto& a : apps_)
    if (a->info.pid == pid) return a.get();
  return nullptr;
}

void FakeDesktop::record(std::string what) {
  events_.push_back({std::chrono::duration<double>(clock_->monotonic() - start_).count(), std::move(what)});
}

FakeApp* FakeDesktop::owner(const FakeElement* element) {
  for (auto& a : apps_) {
    if (a->root.get() == element) return a.get();
    for (const auto& w : a->windows)
      if (holds(w.get(), element)) return a.get();
  }
  return nullptr;
}

FakeApp* FakeDesktop::front() {
  if (!frontPid) return nullptr;
  for (auto& a : apps_)
    if (a->info.pid == *frontPid) return a.get();
  return nullptr;
}

std::vector<DesktopEvent> FakeDesktop::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<std::string> FakeDesktop::eventTexts(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& e : events())
    if (e.what.rfind(prefix, 0) == 0) out.push_back(e.what);
  return out;
}

void FakeDesktop::clearEvents() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

std::string FakeDesktop::clipboard() const {
  std::lock_guard lock(mutex_);
  return clipboard_;
}

bool FakeDesktop::isTrusted() {
  std::lock_guard lock(mutex_);
  return trusted;
}

void FakeDesktop::promptForTrust() {
  std::lock_guard lock(mutex_);
  ++trustPrompts;
  record("trust prompt");
}

AXElement FakeDesktop::applicationElement(std::int32_t pid) {
  std::lock_guard lock(mutex_);
  for (auto& a : apps_)
    if (a->info.pid == pid) return a->root;
  return nullptr;
}

std::optional<std::string> FakeDesktop::stringAttribute(const AXElement& element, const std::string& name) {
  std::lock_guard lock(mutex_);
  const auto* e = as(element);
  if (!e) return std::nullopt;
  if (name == ax::kRole) return e->role;
  if (name == ax::kValue) return e->value;
  if (name == ax::kTitle) return e->title;
  if (name == ax::kDescription) return e->description;
  if (name == ax::kPlaceholderValue) return e->placeholder;
  return std::nullopt;
}

std::vector<AXElement> FakeDesktop::elementsAttribute(const AXElement& element, const std::string& name) {
  std::lock_guard lock(mutex_);
  auto* e = as(element);
  if (!e) return {};
  const std::vector<FakeElementPtr>* list = nullptr;
  if (name == ax::kWindows) {
    for (auto& a : apps_)
      if (a->root.get() == e) list = &a->windows;
  } else if (name == ax::kChildren) {
    list = &e->children;
  } else if (name == ax::kChildrenInNavigationOrder) {
    list = &e->childrenInNavigationOrder;
  } else if (name == ax::kContents) {
    list = &e->contents;
  }
  if (!list) return {};
  return {list->begin(), list->end()};
}

std::optional<ScreenPoint> FakeDesktop::position(const AXElement& element) {
  std::lock_guard lock(mutex_);
  const auto* e = as(element);
  return e ? e->position : std::nullopt;
}

std::optional<ScreenSize> FakeDesktop::size(const AXElement& element) {
  std::lock_guard lock(mutex_);
  const auto* e = as(element);
  return e ? e->size : std::nullopt;
}

std::optional<bool> FakeDesktop::isValueSettable(const AXElement& element) {
  std::lock_guard lock(mutex_);
  const auto* e = as(element);
  return e ? e->settable : std::nullopt;
}

void FakeDesktop::setTrue(const AXElement& element, const std::string& name) {
  std::lock_guard lock(mutex_);
  auto* e = as(element);
  if (!e) return;
  e->trueAttributes.insert(name);
  if (name != ax::kFocused) return;
  record("focus " + e->id);
  if (auto* a = owner(e)) a->focused = std::static_pointer_cast<FakeElement>(element);
}

void FakeDesktop::press(const AXElement& element) {
  std::function<void()> reaction;
  {
    std::lock_guard lock(mutex_);
    auto* e = as(element);
    if (!e) return;
    record("press " + e->id);
    reaction = e->onPress;
  }
  if (reaction) reaction();
}

bool FakeDesktop::sameElement(const AXElement& a, const AXElement& b) { return a && a == b; }

void FakeDesktop::submit(const FakeElementPtr& field) {
  std::function<void(const std::string&)> reaction;
  std::string text;
  {
    std::lock_guard lock(mutex_);
    text = field->value.value_or("");
    field->value = "";
    field->allSelected_ = false;
    reaction = field->onSubmit;
  }
  if (reaction) reaction(text);
}

void FakeDesktop::postKey(Key key, bool primaryModifier) {
  FakeElementPtr submitted;
  {
    std::lock_guard lock(mutex_);
    record(std::string("key ") + (primaryModifier ? "primary+" : "") + keyName(key));
    auto* a = front();
    if (!a || !a->focused) return;
    auto& field = *a->focused;
    if (!isInputRole(field.role)) return;
    if (key == Key::A && primaryModifier) {
      field.allSelected_ = true;
    } else if (key == Key::V && primaryModifier) {
      if (clipboard_.rfind("text:", 0) == 0) {
        const auto text = clipboard_.substr(5);
        field.value = field.allSelected_ ? text : field.value.value_or("") + text;
      } else if (clipboard_.rfind("image:", 0) == 0) {
        field.pastedImages.push_back(clipboard_.substr(6));
      }
      field.allSelected_ = false;
    } else if (key == Key::Return) {
      const auto wanted = primaryModifier ? SubmitOn::PrimaryReturn : SubmitOn::Return;
      if (field.submitOn == wanted) {
        submitted = a->focused;
      } else if (!primaryModifier) {
        field.value = field.value.value_or("") + "\n";  // a plain Return makes a new line
        field.allSelected_ = false;
      }
    }
  }
  if (submitted) submit(submitted);
}

void FakeDesktop::clickAt(ScreenPoint point) {
  std::function<void()> reaction;
  {
    std::lock_guard lock(mutex_);
    record("click " + formatNumber(point.x) + "," + formatNumber(point.y));
    auto* a = front();
    if (!a) return;
    FakeElementPtr hit;
    for (const auto& w : a->windows) hitTest(w, point, hit);
    if (!hit) return;
    if (isInputRole(hit->role)) {
      a->focused = hit;  // a click into a field focuses it
    } else if (hit->role == ax::kButton) {
      reaction = hit->onPress;
    }
  }
  if (reaction) reaction();
}

std::optional<std::string> FakeDesktop::clipboardText() {
  std::lock_guard lock(mutex_);
  if (clipboard_.rfind("text:", 0) != 0) return std::nullopt;
  return clipboard_.substr(5);
}

void FakeDesktop::clearClipboard() {
  std::lock_guard lock(mutex_);
  clipboard_.clear();
  record("clipboard clear");
}

void FakeDesktop::setClipboardText(const std::string& text) {
  std::lock_guard lock(mutex_);
  clipboard_ = "text:" + text;
  record("clipboard text:" + text);
}

void FakeDesktop::setClipboardImage(const DesktopImage& image) {
  std::lock_guard lock(mutex_);
  const auto* fake = dynamic_cast<const FakeImage*>(&image);
  clipboard_ = "image:" + (fake ? fake->name : std::string("?"));
  record("clipboard " + clipboard_);
}

std::shared_ptr<DesktopImage> FakeDesktop::loadImage(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec) || std::filesystem::file_size(file, ec) == 0 || ec) return nullptr;
  return std::make_shared<FakeImage>(file.filename().string());
}

std::vector<RunningApplication> FakeDesktop::runningApplications() {
  std::lock_guard lock(mutex_);
  std::vector<RunningApplication> out;
  for (const auto& a : apps_) out.push_back(a->info);
  return out;
}

void FakeDesktop::activate(const RunningApplication& app) {
  std::lock_guard lock(mutex_);
  record("activate " + app.name);
  frontPid = app.pid;
}

}  // namespace deskwave::testing
