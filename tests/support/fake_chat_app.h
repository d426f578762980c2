#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/fake_desktop.h"

namespace deskwave::testing {

// One chat application on the fake desktop: a window with the conversation, one
// row per message, above a composer with a send button at its right end. The
// composer starts focused; what it submits is recorded and shown as a message.
struct FakeChatApp {
  FakeApp* app = nullptr;
  FakeElementPtr window, conversation, composer, sendButton;
  std::vector<std::string> submitted;

  // Adds a message row below the others and returns it.
  FakeElementPtr addMessage(const std::string& text);
  // Sets the assistant's current reply, adding its row the first time.
  void reply(const std::string& text);

  static constexpr double kComposerX = 100, kComposerY = 800, kComposerWidth = 600, kComposerHeight = 60;

 private:
  FakeElementPtr replyRow_;
};

std::shared_ptr<FakeChatApp> addChatApp(FakeDesktop& desktop, RunningApplication info,
                                        SubmitOn submitOn = SubmitOn::Return);

}  // namespace deskwave::testing
