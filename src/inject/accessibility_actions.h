#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/watcher_debug_log.h"
#include "platform/desktop.h"

namespace deskwave {

// Finds and works controls in another application's windows: the chat
// composer, its send button, option buttons and fields found by placeholder.
// Remembers the composer it last found, which later reads and presses use even
// when a newer search finds none. Main thread only.
class AccessibilityActions {
 public:
  AccessibilityActions(std::shared_ptr<Desktop> desktop, std::shared_ptr<WatcherDebugLog> log);

  // Finds the chat composer (the last editable text area, else the last text
  // area, else the last other text field), remembers it, focuses it and clicks
  // its centre when it has a visible size.
  void focusComposer(std::int32_t pid);
  // The remembered composer's text; empty without a composer.
  std::string composerText();
  // Presses the button at the remembered composer's right end, if there is one.
  void pressSendButton(std::int32_t pid);
  // Presses the first button whose label contains `text` (any letter case).
  void pressButton(std::int32_t pid, const std::string& text);
  // Focuses and clicks the first text field whose placeholder contains `text`.
  void focusFieldWithPlaceholder(std::int32_t pid, const std::string& text);

  const AXElement& composer() const { return composerEl_; }

 private:
  struct Frame {
    double x = 0, y = 0, width = 0, height = 0;
    ScreenPoint centre() const { return {x + width / 2, y + height / 2}; }
  };
  Frame frameOf(const AXElement& element);
  std::string role(const AXElement& element);

  std::shared_ptr<Desktop> desktop_;
  std::shared_ptr<WatcherDebugLog> log_;
  AXElement composerEl_;
};

}  // namespace deskwave
