#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture/response_watcher.h"
#include "capture/watcher_debug_log.h"
#include "inject/accessibility_actions.h"
#include "platform/desktop.h"
#include "platform/observable.h"
#include "platform/runtime.h"

namespace deskwave {

// Puts prompts from the phone into target applications (Cursor, Claude, any
// other), submits them, and starts the watcher that finds the reply; pastes
// images; answers Claude's on-screen permission prompts and questions. Entry
// points may be called from any thread: the work runs on the main thread,
// with every delay a one-shot timer there. When a prompt cannot be typed it
// stays on the clipboard and `lastPasteHint` tells the user what to do.
class CursorPaster : public std::enable_shared_from_this<CursorPaster> {
 public:
  // Makes the watcher for one prompt typed into the application `pid`.
  using WatcherFactory = std::function<std::shared_ptr<ResponseWatcher>(
      std::int32_t pid, const std::string& target, const std::string& sentPrompt)>;

  static std::shared_ptr<CursorPaster> create(Runtime runtime, std::shared_ptr<Desktop> desktop,
                                              std::shared_ptr<WatcherDebugLog> log, WatcherFactory makeWatcher);

  // Cursor: paste and Return, no composer search.
  void pasteText(const std::string& text, const std::string& target);
  // The Claude application, through the generic path.
  void pasteToClaude(const std::string& text, const std::string& target);
  // The application named `target`: focus the composer, paste, submit, and
  // fall back to the modifier with Return, then to the send button.
  void pasteGeneric(const std::string& text, const std::string& target);
  // Pastes each readable image, then the text if any, then Return.
  void pasteImages(const std::vector<std::filesystem::path>& files, const std::string& text, const std::string& target);

  // "allow" accepts Claude's permission prompt; anything else dismisses it.
  void answerClaudePrompt(const std::string& decision);
  // Types free text into Claude's question and submits it.
  void answerClaudeQuestionOther(const std::string& text);
  // Presses the option button of Claude's question with this title.
  void pressClaudeButton(const std::string& title);

  // Called on the main thread with the target name given to the entry point.
  std::function<void(const std::string& target, const std::string& text)> onResponse;
  std::function<void(const std::string& target, const std::string& text)> onPartial;

  // The last hint for the user; absent after a Cursor paste that went through.
  Observable<std::optional<std::string>> lastPasteHint;

  // Main thread only.
  const std::shared_ptr<ResponseWatcher>& activeWatcher() const { return activeWatcher_; }
  AccessibilityActions& actions() { return actions_; }

 private:
  CursorPaster(Runtime runtime, std::shared_ptr<Desktop> desktop, std::shared_ptr<WatcherDebugLog> log,
               WatcherFactory makeWatcher);

  void pasteOnMain(const std::string& text, const std::string& target);
  void pasteToApp(const std::string& text, const std::string& appName, const std::string& target);
  void pasteImagesOnMain(const std::vector<std::filesystem::path>& files, const std::string& text,
                         const std::string& target);
  void submitCheck(std::int32_t pid, const std::string& text, int attempt);
  bool promptStillInComposer(const std::string& text);
  void startWatcher(std::int32_t pid, const std::string& target, const std::string& text);
  std::optional<RunningApplication> claudeApp();
  void putTextOnClipboard(const std::string& text);
  // Pastes `text` with the primary modifier and V, from the clipboard.
  void pasteOwnText(const std::string& text);

  // Runs `step` on the main thread, after `delay` when given, if the pipeline still exists.
  void onMain(std::function<void(CursorPaster&)> step);
  void after(double delaySeconds, std::function<void(CursorPaster&)> step);

  Runtime runtime_;
  std::shared_ptr<Desktop> desktop_;
  std::shared_ptr<WatcherDebugLog> log_;
  WatcherFactory makeWatcher_;
  AccessibilityActions actions_;
  std::shared_ptr<ResponseWatcher> activeWatcher_;
};

}  // namespace deskwave
