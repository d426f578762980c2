#include "inject/accessibility_actions.h"

#include <cmath>
#include <functional>

#include "platform/text.h"

namespace deskwave {
namespace {

constexpr int kComposerBudget = 6000;
constexpr int kComposerMaxDepth = 60;
constexpr int kQuestionBudget = 9000;
constexpr int kQuestionMaxDepth = 70;

// Visits the application's windows depth first, parent before children, over
// one element budget for all windows; `visit` returns true to end the walk.
class WindowWalk {
 public:
  WindowWalk(Desktop& desktop, int budget, int maxDepth) : desktop_(desktop), budget_(budget), maxDepth_(maxDepth) {}

  void run(const AXElement& app, const std::function<bool(const AXElement&)>& visit) {
    for (const auto& window : desktop_.elementsAttribute(app, ax::kWindows))
      if (walk(window, 0, visit)) return;
  }

 private:
  bool walk(const AXElement& element, int depth, const std::function<bool(const AXElement&)>& visit) {
    if (budget_ < 1 || depth > maxDepth_) return false;
    --budget_;
    if (visit(element)) return true;
    auto children = desktop_.elementsAttribute(element, ax::kChildren);
    if (children.empty()) children = desktop_.elementsAttribute(element, ax::kContents);
    for (const auto& child : children)
      if (walk(child, depth + 1, visit)) return true;
    return false;
  }

  Desktop& desktop_;
  int budget_;
  int maxDepth_;
};

std::string quotedStart(const std::string& text) { return "\"" + graphemePrefix(text, 40) + "\""; }

}  // namespace

AccessibilityActions::AccessibilityActions(std::shared_ptr<Desktop> desktop, std::shared_ptr<WatcherDebugLog> log)
    : desktop_(std::move(desktop)), log_(std::move(log)) {}

AccessibilityActions::Frame AccessibilityActions::frameOf(const AXElement& element) {
  Frame f;
  if (const auto p = desktop_->position(element)) {
    f.x = p->x;
    f.y = p->y;
  }
  if (const auto s = desktop_->size(element)) {
    f.width = s->width;
    f.height = s->height;
  }
  return f;
}

std::string AccessibilityActions::role(const AXElement& element) {
  return desktop_->stringAttribute(element, ax::kRole).value_or("");
}

void AccessibilityActions::focusComposer(std::int32_t pid) {
  const auto app = desktop_->applicationElement(pid);
  desktop_->setTrue(app, ax::kManualAccessibility);
  AXElement best, anyTextArea, otherField;
  WindowWalk(*desktop_, kComposerBudget, kComposerMaxDepth).run(app, [&](const AXElement& e) {
    const auto r = role(e);
    if (r == ax::kTextArea) {
      anyTextArea = e;
      if (desktop_->isValueSettable(e) != false) best = e;
    } else if (r == ax::kTextField || r == ax::kComboBox || r == ax::kSearchField) {
      otherField = e;
    }
    return false;
  });
  const auto composer = best ? best : anyTextArea ? anyTextArea : otherField;
  if (!composer) return;
  composerEl_ = composer;
  desktop_->setTrue(composer, ax::kFocused);
  const auto frame = frameOf(composer);
  if (frame.width > 4 && frame.height > 4) desktop_->clickAt(frame.centre());
}

std::string AccessibilityActions::composerText() {
  if (!composerEl_) return {};
  return desktop_->stringAttribute(composerEl_, ax::kValue).value_or("");
}

void AccessibilityActions::pressSendButton(std::int32_t pid) {
  if (!composerEl_) return;
  const auto composer = frameOf(composerEl_);
  const double cy = composer.y + composer.height / 2;
  const double right = composer.x + composer.width;
  AXElement closest;
  double closestOffset = 0;
  WindowWalk(*desktop_, kComposerBudget, kComposerMaxDepth).run(desktop_->applicationElement(pid), [&](const AXElement& e) {
    if (role(e) != ax::kButton) return false;
    const auto f = frameOf(e);
    const double midX = f.x + f.width / 2;
    const double midY = f.y + f.height / 2;
    if (std::abs(midY - cy) >= 60 || midX < right - 40 || f.width >= 120 || f.height >= 120) return false;
    if (!closest || midX - right < closestOffset) {
      closest = e;
      closestOffset = midX - right;
    }
    return false;
  });
  if (closest) desktop_->press(closest);
}

void AccessibilityActions::pressButton(std::int32_t pid, const std::string& text) {
  const auto needle = lowercased(text);
  const auto app = desktop_->applicationElement(pid);
  desktop_->setTrue(app, ax::kManualAccessibility);
  AXElement found;
  // An empty title would match the first button of the window, whatever it does.
  if (!needle.empty()) {
    WindowWalk(*desktop_, kQuestionBudget, kQuestionMaxDepth).run(app, [&](const AXElement& e) {
      if (role(e) != ax::kButton) return false;
      const auto label = lowercased(desktop_->stringAttribute(e, ax::kTitle).value_or("") + " " +
                                    desktop_->stringAttribute(e, ax::kDescription).value_or(""));
      if (label.find(needle) == std::string::npos) return false;
      found = e;
      return true;
    });
  }
  if (found) {
    desktop_->press(found);
    log_->log("QUESTION: pressed option " + quotedStart(text) + " in Claude");
  } else {
    log_->log("QUESTION: \u26A0\uFE0F option button not found for " + quotedStart(text));
  }
}

void AccessibilityActions::focusFieldWithPlaceholder(std::int32_t pid, const std::string& text) {
  const auto needle = lowercased(text);
  const auto app = desktop_->applicationElement(pid);
  desktop_->setTrue(app, ax::kManualAccessibility);
  AXElement found;
  WindowWalk(*desktop_, kQuestionBudget, kQuestionMaxDepth).run(app, [&](const AXElement& e) {
    const auto r = role(e);
    if (r != ax::kTextArea && r != ax::kTextField) return false;
    const auto placeholder = desktop_->stringAttribute(e, ax::kPlaceholderValue);
    if (!placeholder || lowercased(*placeholder).find(needle) == std::string::npos) return false;
    found = e;
    return true;
  });
  if (!found) {
    log_->log("QUESTION: \u26A0\uFE0F Other field not found");
    return;
  }
  desktop_->setTrue(found, ax::kFocused);
  const auto frame = frameOf(found);
  if (frame.width > 4) desktop_->clickAt(frame.centre());
}

}  // namespace deskwave
