#include "inject/cursor_paster.h"

#include "inject/app_lookup.h"
#include "platform/text.h"

namespace deskwave {
namespace {

// Generic path: offsets of each step from the one before.
constexpr double kFocusDelay = 0.6;
constexpr double kPasteDelay = 0.15;
constexpr double kReturnDelay = 0.35;
constexpr double kFirstCheckDelay = 0.7;
constexpr double kSecondCheckDelay = 0.6;
// Cursor path.
constexpr double kCursorPasteDelay = 0.6;
constexpr double kCursorReturnDelay = 0.12;
// Image path: first image, gap between images, gap after the text.
constexpr double kImageStart = 0.6;
constexpr double kImageGap = 0.5;
constexpr double kTextGap = 0.3;
// Claude's own prompts and questions.
constexpr double kClaudeAnswerDelay = 0.5;
constexpr double kClaudeFieldDelay = 0.6;
constexpr double kClaudeTypeDelay = 0.25;
constexpr double kClaudeSubmitDelay = 0.4;
constexpr double kClaudeButtonDelay = 0.6;

constexpr std::size_t kPromptProbe = 24;  // characters of the prompt looked for in the composer

}  // namespace

std::shared_ptr<CursorPaster> CursorPaster::create(Runtime runtime, std::shared_ptr<Desktop> desktop,
                                                   std::shared_ptr<WatcherDebugLog> log, WatcherFactory makeWatcher) {
  return std::shared_ptr<CursorPaster>(
      new CursorPaster(std::move(runtime), std::move(desktop), std::move(log), std::move(makeWatcher)));
}

CursorPaster::CursorPaster(Runtime runtime, std::shared_ptr<Desktop> desktop, std::shared_ptr<WatcherDebugLog> log,
                           WatcherFactory makeWatcher)
    : runtime_(std::move(runtime)), desktop_(std::move(desktop)), log_(std::move(log)),
      makeWatcher_(std::move(makeWatcher)), actions_(desktop_, log_) {
  // Without the permission, ask the system to prompt the user once.
  if (!desktop_->isTrusted()) desktop_->promptForTrust();
}

void CursorPaster::onMain(std::function<void(CursorPaster&)> step) {
  runtime_.main->post([weak = weak_from_this(), step = std::move(step)] {
    if (auto self = weak.lock()) step(*self);
  });
}

void CursorPaster::after(double delaySeconds, std::function<void(CursorPaster&)> step) {
  runtime_.main->postAfter(Seconds(delaySeconds), [weak = weak_from_this(), step = std::move(step)] {
    if (auto self = weak.lock()) step(*self);
  });
}

void CursorPaster::pasteText(const std::string& text, const std::string& target) {
  onMain([text, target](CursorPaster& self) { self.pasteOnMain(text, target); });
}

void CursorPaster::pasteToClaude(const std::string& text, const std::string& target) {
  onMain([text, target](CursorPaster& self) { self.pasteToApp(text, "claude", target); });
}

void CursorPaster::pasteGeneric(const std::string& text, const std::string& target) {
  onMain([text, target](CursorPaster& self) { self.pasteToApp(text, target, target); });
}

void CursorPaster::pasteImages(const std::vector<std::filesystem::path>& files, const std::string& text,
                               const std::string& target) {
  onMain([files, text, target](CursorPaster& self) { self.pasteImagesOnMain(files, text, target); });
}

void CursorPaster::putTextOnClipboard(const std::string& text) {
  desktop_->clearClipboard();
  desktop_->setClipboardText(text);
}

void CursorPaster::pasteOwnText(const std::string& text) {
  // A prompt that arrived meanwhile may have replaced the clipboard: put this
  // timeline's own text back, so each prompt is typed once and none is lost.
  // Writing is cheaper than asking: reading may wait on another application.
  putTextOnClipboard(text);
  desktop_->postKey(Key::V, true);
}

void CursorPaster::pasteOnMain(const std::string& text, const std::string& target) {
  putTextOnClipboard(text);
  const auto cursor = findCursor(desktop_->runningApplications());
  if (!cursor) {
    lastPasteHint.set("Cursor is not running.");
    return;
  }
  const auto pid = cursor->pid;
  desktop_->activate(*cursor);
  const bool trusted = desktop_->isTrusted();
  log_->log(std::string("PASTE: Accessibility granted = ") + (trusted ? "true" : "false") +
            ", Cursor pid=" + std::to_string(pid));
  if (!trusted) {
    log_->log("PASTE: \u274C Accessibility NOT granted \u2014 message on clipboard but NOT typed into Cursor");
    lastPasteHint.set(
        "Message copied \u2014 paste in Cursor with \u2318V, then Return. (Optional: grant Accessibility in System "
        "Settings for auto-paste.)");
    startWatcher(pid, target, text);  // catches the reply once the user pastes by hand
    return;
  }
  lastPasteHint.set(std::nullopt);
  after(kCursorPasteDelay, [pid, text, target](CursorPaster& self) {
    self.log_->log("PASTE: injecting \u2318V then Return into Cursor");
    self.pasteOwnText(text);
    self.after(kCursorReturnDelay, [pid, text, target](CursorPaster& self) {
      self.desktop_->postKey(Key::Return, false);
      self.startWatcher(pid, target, text);
    });
  });
}

void CursorPaster::pasteToApp(const std::string& text, const std::string& appName, const std::string& target) {
  putTextOnClipboard(text);
  const auto app = runningApp(desktop_->runningApplications(), appName);
  if (!app) {
    lastPasteHint.set(appName + " is not running.");
    return;
  }
  const auto pid = app->pid;
  desktop_->activate(*app);
  if (!desktop_->isTrusted()) {
    lastPasteHint.set("Message copied \u2014 paste in " + (app->name.empty() ? appName : app->name) + " with \u2318V.");
    startWatcher(pid, target, text);
    return;
  }
  after(kFocusDelay, [pid, text, target](CursorPaster& self) {
    self.actions_.focusComposer(pid);
    self.after(kPasteDelay, [pid, text, target](CursorPaster& self) {
      self.desktop_->postKey(Key::A, true);  // the pasted prompt replaces whatever the composer held
      self.pasteOwnText(text);
      self.after(kReturnDelay, [pid, text, target](CursorPaster& self) {
        self.desktop_->postKey(Key::Return, false);
        self.startWatcher(pid, target, text);
        self.after(kFirstCheckDelay, [pid, text](CursorPaster& self) { self.submitCheck(pid, text, 1); });
      });
    });
  });
}

bool CursorPaster::promptStillInComposer(const std::string& text) {
  const auto composer = actions_.composerText();
  if (composer.empty()) return false;  // an empty composer means the prompt went out
  return composer.find(graphemePrefix(text, kPromptProbe)) != std::string::npos;
}

void CursorPaster::submitCheck(std::int32_t pid, const std::string& text, int attempt) {
  if (!promptStillInComposer(text)) return;
  if (attempt == 1) {
    log_->log("PASTE: Return didn't submit \u2014 trying \u2318\u21A9");
    desktop_->postKey(Key::Return, true);
    after(kSecondCheckDelay, [pid, text](CursorPaster& self) { self.submitCheck(pid, text, 2); });
  } else {
    log_->log("PASTE: \u2318\u21A9 didn't submit \u2014 pressing Send button");
    actions_.pressSendButton(pid);
  }
}

void CursorPaster::pasteImagesOnMain(const std::vector<std::filesystem::path>& files, const std::string& text,
                                     const std::string& target) {
  const auto name = lowercased(target) == "code" ? std::string("claude") : target;
  const auto app = runningApp(desktop_->runningApplications(), name);
  if (!app) {
    lastPasteHint.set(target + " is not running.");
    return;
  }
  desktop_->activate(*app);
  if (!desktop_->isTrusted()) {
    lastPasteHint.set("Grant Accessibility to auto-paste images.");
    return;
  }
  for (std::size_t i = 0; i < files.size(); ++i) {
    after(kImageStart + kImageGap * static_cast<double>(i), [file = files[i]](CursorPaster& self) {
      const auto image = self.desktop_->loadImage(file);
      if (!image) return;  // unreadable: skipped, later steps keep their times
      self.desktop_->clearClipboard();
      self.desktop_->setClipboardImage(*image);
      self.desktop_->postKey(Key::V, true);
    });
  }
  double at = kImageStart + kImageGap * static_cast<double>(files.size());
  if (!text.empty()) {
    after(at, [text](CursorPaster& self) {
      self.putTextOnClipboard(text);
      self.desktop_->postKey(Key::V, true);
    });
    at += kTextGap;
  }
  after(at, [](CursorPaster& self) { self.desktop_->postKey(Key::Return, false); });
}

void CursorPaster::startWatcher(std::int32_t pid, const std::string& target, const std::string& text) {
  if (activeWatcher_) activeWatcher_->stop();
  auto watcher = makeWatcher_(pid, target, text);
  const std::weak_ptr<CursorPaster> weak = weak_from_this();
  watcher->onResponse = [weak, target](const std::string&, const std::string& reply) {
    auto self = weak.lock();
    if (self && self->onResponse) self->onResponse(target, reply);
  };
  watcher->onPartial = [weak, target](const std::string& partial) {
    auto self = weak.lock();
    if (self && self->onPartial) self->onPartial(target, partial);
  };
  activeWatcher_ = watcher;
  watcher->start();
}

std::optional<RunningApplication> CursorPaster::claudeApp() {
  return runningApp(desktop_->runningApplications(), "claude");
}

void CursorPaster::answerClaudePrompt(const std::string& decision) {
  onMain([decision](CursorPaster& self) {
    const auto app = self.claudeApp();
    if (!app) return;
    self.desktop_->activate(*app);
    if (!self.desktop_->isTrusted()) return;
    self.after(kClaudeAnswerDelay, [decision](CursorPaster& self) {
      if (decision == "allow")
        self.desktop_->postKey(Key::Return, true);
      else
        self.desktop_->postKey(Key::Escape, false);
    });
  });
}

void CursorPaster::answerClaudeQuestionOther(const std::string& text) {
  onMain([text](CursorPaster& self) {
    const auto app = self.claudeApp();
    if (!app) return;
    const auto pid = app->pid;
    self.desktop_->activate(*app);
    self.putTextOnClipboard(text);
    self.after(kClaudeFieldDelay, [pid, text](CursorPaster& self) {
      self.actions_.focusFieldWithPlaceholder(pid, "answer");
      self.after(kClaudeTypeDelay, [pid, text](CursorPaster& self) {
        self.desktop_->postKey(Key::A, true);
        self.pasteOwnText(text);
        self.after(kClaudeSubmitDelay, [pid](CursorPaster& self) { self.actions_.pressButton(pid, "Submit"); });
      });
    });
  });
}

void CursorPaster::pressClaudeButton(const std::string& title) {
  onMain([title](CursorPaster& self) {
    const auto app = self.claudeApp();
    if (!app) return;
    const auto pid = app->pid;
    self.desktop_->activate(*app);
    self.after(kClaudeButtonDelay, [pid, title](CursorPaster& self) { self.actions_.pressButton(pid, title); });
  });
}

}  // namespace deskwave
