#include "app/app_controller.h"

#include <limits>
#include <utility>

#include "app/attachment_saver.h"
#include "app/settings_keys.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace deskwave {
namespace {

constexpr const char* kRelayBailed = "RELAY: startRelay bailed \u2014 no pairing PIN set";

bool isClaudeTarget(const std::string& lower) { return lower == "claude" || lower == "code"; }
bool isDedicatedTarget(const std::string& lower) { return isClaudeTarget(lower) || lower == "cursor"; }

// Splits at every separator, keeping empty parts ("|x" gives "" and "x").
std::vector<std::string> splitKeepingEmpty(const std::string& text, char separator) {
  std::vector<std::string> parts(1);
  for (char c : text) {
    if (c == separator) parts.emplace_back();
    else parts.back() += c;
  }
  return parts;
}

}  // namespace

std::shared_ptr<AppController> AppController::create(Runtime runtime, Paths paths, BridgeComponents components) {
  return std::shared_ptr<AppController>(new AppController(std::move(runtime), std::move(paths), std::move(components)));
}

AppController::AppController(Runtime runtime, Paths paths, BridgeComponents components)
    : runtime_(std::move(runtime)),
      paths_(std::move(paths)),
      c_(std::move(components)),
      onboarding_(std::make_unique<OnboardingState>(c_.settings)),
      store_(std::make_unique<MessageStore>(c_.settings)),
      pairing_(std::make_unique<PairingManager>(c_.settings)),
      toolsBox_(std::make_shared<ToolsBox>()),
      outbox_(std::make_shared<ResponseOutbox>()),
      sentPrompts_(std::make_shared<SentPromptTracker>(runtime_.clock)) {
  keepAwake.assign(c_.settings->getBool(keys::keepAwake));
}

AppController::~AppController() { statusTimer_.cancel(); }

template <class... Args>
std::function<void(Args...)> AppController::weakHook(void (AppController::*handler)(Args...)) {
  return [weak = weak_from_this(), handler](Args... args) {
    if (auto self = weak.lock()) ((*self).*handler)(args...);
  };
}

// ---- Start-up ----

void AppController::launch() {
  applyKeepAwake();
  c_.auth->onAccountChange = [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->wipeForNewAccount();
  };
  if (!onboarding_->done.get() || !c_.auth->username.get()) {
    showSetup();
  } else {
    startBridge();
  }
}

void AppController::startBridge() {
  if (started.get() || !onboarding_->done.get() || !c_.auth->username.get()) return;
  started.set(true);
  toolsBox_->setTools(onboarding_->selectedTools.get());
  c_.settings->setBool(keys::useInternet, true);
  if (auto sub = c_.settings->getString(AuthState::subKey)) pairing_->setAccount(*sub);

  const std::weak_ptr<AppController> weak = weak_from_this();
  auto& server = *c_.server;
  server.tabsProvider = [weak]() -> std::vector<std::string> {
    auto self = weak.lock();
    return self ? self->toolsBox_->tools() : std::vector<std::string>{};
  };
  server.onMessage = weakHook(&AppController::handleLocalPrompt);
  server.onAttach = weakHook(&AppController::handleAttachment);
  server.onPermAnswer = weakHook(&AppController::handlePermAnswer);
  server.onPermRequest = [weak](const std::string& target, const std::string&) {
    if (auto self = weak.lock()) self->c_.push->send(target, "Permission request", false);
  };
  // Called on a connection thread: the snapshot is taken here, the contact time
  // is written on the main thread.
  server.responsesProvider = [weak]() -> std::vector<OutboxItem> {
    auto self = weak.lock();
    if (!self) return {};
    self->runtime_.main->post([weak] {
      if (auto s = weak.lock()) s->lastLocalContact_ = s->runtime_.clock->monotonic();
    });
    return self->outbox_->pending();
  };
  server.ackHandler = [weak](const std::vector<std::string>& ids) {
    if (auto self = weak.lock()) self->outbox_->ack(ids);
  };

  c_.relayClient->pendingProvider = [weak]() -> std::vector<OutboxItem> {
    auto self = weak.lock();
    return self ? self->outbox_->pending() : std::vector<OutboxItem>{};
  };
  c_.relayClient->onAck = [weak](const std::string& id) {
    if (auto self = weak.lock()) self->outbox_->ack({id});
  };

  server.start();
  wireResponseCallback();

  const Seconds period(kPresencePeriod);
  statusTimer_ = runtime_.main->repeat(period, period, [weak] {
    if (auto self = weak.lock()) self->refreshPhoneConnected();
  });

  c_.claudeMonitor->onReply = weakHook(&AppController::handleClaudeReply);
  c_.claudeMonitor->onQuestion = weakHook(&AppController::handleQuestion);
  c_.claudeMonitor->onUserPrompt = weakHook(&AppController::handleDeskPrompt);
  c_.claudeMonitor->start();

  c_.claudeCockpit->onPartial = [weak](const std::optional<std::string>& partial) {
    if (auto self = weak.lock()) self->handleCockpitPartial("Claude", partial);
  };
  c_.cursorCockpit->onPartial = [weak](const std::optional<std::string>& partial) {
    if (auto self = weak.lock()) self->handleCockpitPartial("Cursor", partial);
  };
  c_.claudeCockpit->start();
  c_.cursorCockpit->start();

  if (useInternet()) startRelay();
}

void AppController::startRelay() {
  const auto secret = pairing_->secret();
  if (!secret) {
    log(kRelayBailed);
    return;
  }
  const auto room = PairingManager::roomId(*secret);
  const auto key = pairing_->symmetricKey();
  if (!key) {
    log(kRelayBailed);
    return;
  }
  c_.relayClient->onMessage = weakHook(&AppController::handleRelayPrompt);
  c_.relayClient->onPeerJoined = [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->c_.relayClient->sendTabs(self->onboarding_->selectedTools.get());
  };
  c_.relayClient->start(room, *key);
  wireResponseCallback();
}

void AppController::wireResponseCallback() {
  c_.cursorPaster->onResponse = weakHook(&AppController::handleReply);
  c_.cursorPaster->onPartial = weakHook(&AppController::handleGenericPartial);
}

// ---- Prompts from the phone ----

bool AppController::handleTokenRegistration(const std::string& target, const std::string& text, PushSender& push) {
  if (target != kTokenTarget) return false;
  const auto parts = splitKeepingEmpty(text, '|');
  const auto& token = parts.front();
  const bool sandbox = !(parts.size() >= 2 && parts[1] == "production");
  if (token.empty()) return true;
  push.setDeviceToken(token, sandbox);
  return true;
}

void AppController::handleLocalPrompt(const std::string& target, const std::string& text) {
  if (handleTokenRegistration(target, text, *c_.push)) return;
  if (paused.get()) return;
  log("\U0001F4E5 IN via LOCAL Wi-Fi \u2192 " + target);
  insertHistory(target, text, false);
  routePrompt(target, text);
}

void AppController::handleRelayPrompt(const std::string& target, const std::string& text) {
  if (handleTokenRegistration(target, text, *c_.push)) return;
  if (paused.get()) return;
  log("\U0001F4E5 IN via INTERNET relay \u2192 " + target);
  insertHistory(target, text, false);
  c_.relayClient->sendTabs(onboarding_->selectedTools.get());
  routePrompt(target, text);
}

void AppController::routePrompt(const std::string& target, const std::string& text) {
  const auto t = lowercased(target);
  if (isClaudeTarget(t)) {
    sentPrompts_->record(text);
    c_.cursorPaster->pasteToClaude(text, target);
  } else if (t == "cursor") {
    c_.cursorPaster->pasteText(text, target);
  } else {
    c_.server->startTurn(target);
    c_.cursorPaster->pasteGeneric(text, target);
  }
}

void AppController::handleAttachment(const std::string& target, const std::string& text,
                                      const std::vector<AttachedImage>& images) {
  if (paused.get()) return;
  const auto folder = paths_.attachmentsDir();
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  const auto saved = saveAttachments(folder, images, runtime_.clock->now());
  log("\U0001F4CE ATTACH via LOCAL Wi-Fi \u2192 " + target + ", " + std::to_string(saved.size()) + " image(s)");
  insertHistory(target, text.empty() ? "\U0001F4F7 Image" : text, false);
  if (isClaudeTarget(lowercased(target)) && !text.empty()) sentPrompts_->record(text);
  c_.cursorPaster->pasteImages(saved, text, target);
}

void AppController::handlePermAnswer(const std::string& decision) {
  if (paused.get()) return;
  static constexpr std::string_view kOther = "__other__:";
  if (decision == "allow" || decision == "deny") {
    c_.cursorPaster->answerClaudePrompt(decision);
  } else if (decision.starts_with(kOther)) {
    c_.cursorPaster->answerClaudeQuestionOther(decision.substr(kOther.size()));
  } else {
    c_.cursorPaster->pressClaudeButton(decision);
  }
}

// ---- Replies and mirrored traffic ----

void AppController::fanOut(const std::string& target, const std::string& text, const std::string& role) {
  const auto item = outbox_->add(target, text, role);
  postHistoryInsert(target, text, role == "assistant");
  if (useInternet()) c_.relayClient->sendResponse(item);
}

void AppController::handleReply(const std::string& target, const std::string& text) {
  if (paused.get()) return;
  fanOut(target, text, "assistant");
  if (!isDedicatedTarget(lowercased(target))) c_.server->setSuppressed(target, true);
  c_.push->send(target, text, false);
}

void AppController::handleGenericPartial(const std::string& target, const std::string& text) {
  if (paused.get()) return;
  if (isDedicatedTarget(lowercased(target))) return;  // those get partial text from the activity monitors
  c_.server->updatePartial(target, text);
}

void AppController::handleClaudeReply(const std::string& text) {
  if (paused.get()) return;
  if (std::exchange(mirrorAnswersPhonePrompt_, false)) {
    // The transcript gave the reply to the phone's prompt: the window watcher
    // of that prompt must not send it a second time.
    const auto& watcher = c_.cursorPaster->activeWatcher();
    if (watcher && isClaudeTarget(lowercased(watcher->target()))) watcher->stop();
  }
  c_.server->permClearQuestions();
  fanOut("Claude", text, "assistant");
  c_.push->send("Claude", text, false);
}

void AppController::handleDeskPrompt(const std::string& text) {
  if (paused.get()) return;
  c_.server->permClearQuestions();
  if (sentPrompts_->wasRecentlySent(text)) {  // the echo of a prompt from the phone
    mirrorAnswersPhonePrompt_ = true;
    return;
  }
  mirrorAnswersPhonePrompt_ = false;
  fanOut("Claude", text, "user");
}

void AppController::handleQuestion(const std::string& text, const std::vector<std::string>& options,
                                   const std::vector<std::string>& descriptions) {
  if (paused.get()) return;
  std::vector<QuestionOption> choices;
  for (std::size_t i = 0; i < options.size() && i < descriptions.size(); ++i)
    choices.push_back({{"label", options[i]}, {"desc", descriptions[i]}});
  c_.server->filePermission(
      PermissionEntry{newUuid(), "Question", text, "Claude", runtime_.clock->now(), std::move(choices)});
  c_.push->send("Claude", text, false);
}

void AppController::handleCockpitPartial(const std::string& tab, const std::optional<std::string>& partial) {
  if (paused.get()) return;
  c_.server->updatePartial(tab, partial);
}

bool AppController::useInternet() const { return c_.settings->getBool(keys::useInternet); }

void AppController::insertHistory(const std::string& target, const std::string& text, bool isReceived) {
  store_->insert(Message::make(text, runtime_.clock->now(), isReceived), target);
}

void AppController::postHistoryInsert(const std::string& target, const std::string& text, bool isReceived) {
  runtime_.main->post([weak = weak_from_this(), target, text, isReceived] {
    if (auto self = weak.lock()) self->insertHistory(target, text, isReceived);
  });
}

// ---- Presence and status ----

void AppController::refreshPhoneConnected() {
  double elapsed = std::numeric_limits<double>::infinity();
  if (lastLocalContact_)
    elapsed = std::chrono::duration<double>(runtime_.clock->monotonic() - *lastLocalContact_).count();
  const bool local = elapsed < kLocalContactWindow;
  localActive.set(local);
  phoneConnected.set(c_.relayClient->peerConnected.get() || local);
}

std::string AppController::connectionLabel() const {
  if (paused.get()) return "Paused";
  return phoneConnected.get() ? "Online" : "Offline";
}

std::string AppController::connectionSymbol() const {
  if (!phoneConnected.get()) return "";
  return localActive.get() ? "wifi" : "globe";
}

StatusTone AppController::statusTone() const {
  if (paused.get()) return StatusTone::paused;
  return phoneConnected.get() ? StatusTone::online : StatusTone::secondary;
}

// ---- User switches ----

void AppController::togglePause() {
  const bool nowPaused = !paused.get();
  paused.set(nowPaused);
  c_.server->setPaused(nowPaused);
  log(nowPaused ? "\u23F8\uFE0F Bridge paused by user" : "\u25B6\uFE0F Bridge resumed by user");
}

void AppController::saveToolSelection(const std::vector<std::string>& tools) {
  onboarding_->complete(tools);
  toolsBox_->setTools(tools);
  if (c_.relayClient->peerConnected.get()) c_.relayClient->sendTabs(tools);
}

void AppController::setKeepAwake(bool on) {
  keepAwake.set(on);
  c_.settings->setBool(keys::keepAwake, on);
  applyKeepAwake();
}

void AppController::applyKeepAwake() {
  if (keepAwake.get() && !sleepAssertion_) {
    sleepAssertion_ = c_.sleepInhibitor->begin("Deskwave keeping the Mac awake so your phone can always reach it");
    log("\u2615\uFE0F Keep-awake ON");
  } else if (!keepAwake.get() && sleepAssertion_) {
    c_.sleepInhibitor->end(*sleepAssertion_);
    sleepAssertion_.reset();
    log("\U0001F4A4 Keep-awake OFF");
  }
}

void AppController::wipeForNewAccount() {
  onboarding_->reset();
  setKeepAwake(false);
  c_.settings->remove(keys::manualTools);
  c_.settings->remove(keys::removedTools);
  log("\U0001F9F9 New account \u2192 wiped local onboarding / AI tools / keep-awake");
}

void AppController::showSetup() {
  if (onShowSetup) onShowSetup();
}

void AppController::closeSetup() {
  if (onCloseSetup) onCloseSetup();
}

}  // namespace deskwave
