#include "support/fake_chat_app.h"

namespace deskwave::testing {

FakeElementPtr FakeChatApp::addMessage(const std::string& text) {
  const double y = 60 + 40 * static_cast<double>(conversation->children.size());
  auto row = staticText(text, kComposerX + 20, y);
  row->sized(kComposerWidth - 40, 30);
  conversation->add(row);
  return row;
}

void FakeChatApp::reply(const std::string& text) {
  if (!replyRow_) replyRow_ = addMessage(text);
  replyRow_->value = text;
}

std::shared_ptr<FakeChatApp> addChatApp(FakeDesktop& desktop, RunningApplication info, SubmitOn submitOn) {
  auto chat = std::make_shared<FakeChatApp>();
  chat->app = &desktop.addApp(std::move(info));
  chat->window = element(ax::kWindow, chat->app->info.name + " window");
  chat->window->at(0, 0).sized(800, 900);
  chat->conversation = element(ax::kGroup, "conversation");
  chat->conversation->at(FakeChatApp::kComposerX, 50).sized(FakeChatApp::kComposerWidth, 700);
  chat->composer = element(ax::kTextArea, "composer");
  chat->composer->at(FakeChatApp::kComposerX, FakeChatApp::kComposerY)
      .sized(FakeChatApp::kComposerWidth, FakeChatApp::kComposerHeight)
      .withValue("");
  chat->composer->settable = true;
  chat->composer->submitOn = submitOn;
  chat->sendButton = element(ax::kButton, "send");
  chat->sendButton->withTitle("Send").at(660, 815).sized(30, 30);
  chat->window->add(chat->conversation).add(chat->composer).add(chat->sendButton);
  chat->app->windows.push_back(chat->window);
  chat->app->focused = chat->composer;

  const std::weak_ptr<FakeChatApp> weak = chat;
  chat->composer->onSubmit = [weak](const std::string& text) {
    auto self = weak.lock();
    if (self && !text.empty()) {
      self->submitted.push_back(text);
      self->addMessage(text);
    }
  };
  chat->sendButton->onPress = [weak, &desktop] {
    if (auto self = weak.lock()) desktop.submit(self->composer);
  };
  return chat;
}

}  // namespace deskwave::testing
