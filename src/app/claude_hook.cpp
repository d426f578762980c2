#include "app/claude_hook.h"

#include <cctype>
#include <nlohmann/json.hpp>

#include "app/hook_event.h"
#include "app/hook_tool_text.h"

namespace deskwave {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::size_t kMaxRequestIdLength = 64;

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string knownEvents() {
  std::string names;
  for (auto event : kHookEvents) names += (names.empty() ? "" : ", ") + std::string(hookEventName(event));
  return names;
}

// Request ids are the bridge's UUIDs; anything else is not put into a URL.
bool isRequestId(const std::string& id) {
  if (id.empty() || id.size() > kMaxRequestIdLength) return false;
  for (char c : id)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-')) return false;
  return true;
}

// The string member `key` of a JSON object answer, or empty.
std::string answerField(const std::string& body, const char* key) {
  const auto value = Json::parse(body, nullptr, false);
  if (!value.is_object()) return {};
  const auto it = value.find(key);
  return it != value.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string seconds(Seconds s) { return std::to_string(static_cast<long>(s.count())); }

}  // namespace

std::string permissionDecisionOutput(bool allow) {
  Json decision{{"behavior", allow ? "allow" : "deny"}};
  if (!allow) decision["message"] = "Denied from the phone (Deskwave)";
  const Json output{{"hookSpecificOutput", {{"hookEventName", "PermissionRequest"}, {"decision", decision}}}};
  return dump(output) + "\n";
}

std::shared_ptr<ClaudeHook> ClaudeHook::start(HookLink link, std::string_view event, std::string_view input,
                                              Done done) {
  std::shared_ptr<ClaudeHook> hook(new ClaudeHook(std::move(link), std::move(done)));
  hook->link_.executor->post([hook, event = std::string(event), input = std::string(input)] {
    hook->begin(event, input);
  });
  return hook;
}

void ClaudeHook::begin(std::string_view eventName, std::string_view input) {
  if (phase_ != Phase::working) return;  // cancelled before it began
  const auto event = hookEventNamed(eventName);
  if (!event) {
    finish({"", "deskwave hook: unknown event \"" + std::string(eventName) + "\" (known: " + knownEvents() +
                    "); nothing sent"});
    return;
  }
  const auto in = nlohmann::json::parse(input, nullptr, false);
  if (!in.is_object()) {
    finish({"", "deskwave hook: standard input is not a JSON object; nothing sent"});
    return;
  }
  std::string tool;
  nlohmann::json toolInput;
  if (isToolEvent(*event)) {
    const auto name = in.find("tool_name");
    if (name == in.end() || !name->is_string() || name->get<std::string>().empty()) {
      finish({"", "deskwave hook: the input has no \"tool_name\"; nothing sent"});
      return;
    }
    tool = name->get<std::string>();
    if (const auto it = in.find("tool_input"); it != in.end() && it->is_object()) toolInput = *it;
  }

  switch (*event) {
    case HookEvent::userPromptSubmit:
      report(dump({{"target", kTarget}, {"suppressed", false}}));
      return;
    case HookEvent::preToolUse:
    case HookEvent::postToolUse:
      report(dump({{"target", kTarget},
                   {"suppressed", false},
                   {"event", *event == HookEvent::preToolUse ? "pre" : "post"},
                   {"tool", tool},
                   {"activity", hookActivityVerb(tool)}}));
      return;
    case HookEvent::stop:
      report(dump({{"target", kTarget}, {"suppressed", true}}));
      return;
    case HookEvent::permissionRequest:
      requestPermission(dump({{"tool", tool}, {"detail", hookDetail(tool, toolInput)}, {"target", kTarget}}));
      return;
  }
}

void ClaudeHook::report(std::string body) {
  send("POST", "/activity", std::move(body), [this](const HttpResult& result) {
    // Without a bridge there is nobody to tell: that is no fault of the hook.
    if (result.response && result.response->status != 200)
      finish({"", "deskwave hook: the bridge refused the report (HTTP " + std::to_string(result.response->status) +
                      ")"});
    else
      finish({});
  });
}

void ClaudeHook::requestPermission(std::string body) {
  asksPermission_ = true;
  send("POST", "/perm-request", std::move(body), [this](const HttpResult& result) { onFiled(result); });
}

void ClaudeHook::onFiled(const HttpResult& result) {
  if (phase_ != Phase::working) return;
  if (!result.response) {
    finish({});  // no bridge: Claude Code asks at the desk as usual
    return;
  }
  if (result.response->status != 200) {
    finish({"", "deskwave hook: the bridge refused the permission request (HTTP " +
                    std::to_string(result.response->status) + ")"});
    return;
  }
  requestId_ = answerField(result.response->body, "id");
  if (!isRequestId(requestId_)) {
    giveUp("deskwave hook: the bridge answered the permission request without a request id");
    return;
  }
  filedAt_ = link_.clock->monotonic();
  phase_ = Phase::waiting;
  poll();
}

void ClaudeHook::poll() {
  if (phase_ != Phase::waiting) return;
  if (link_.clock->monotonic() - filedAt_ >= kDecisionWait) {
    giveUp("deskwave hook: no decision from the phone within " + seconds(kDecisionWait) + " s; asking here");
    return;
  }
  send("GET", "/perm-result?id=" + requestId_, std::nullopt, [this](const HttpResult& result) { onDecision(result); });
}

void ClaudeHook::onDecision(const HttpResult& result) {
  if (phase_ != Phase::waiting) return;
  if (!result.response || result.response->status != 200) {
    giveUp("deskwave hook: the bridge stopped answering while waiting for the phone; asking here");
    return;
  }
  const auto decision = answerField(result.response->body, "decision");
  if (decision == "pending") {
    nextPoll_ = link_.executor->postAfter(kPollInterval, [self = shared_from_this()] { self->poll(); });
    return;
  }
  if (decision == "allow" || decision == "deny") {
    finish({permissionDecisionOutput(decision == "allow"), ""});
    return;
  }
  giveUp("deskwave hook: the phone answered neither allow nor deny; asking here");
}

void ClaudeHook::cancel() {
  if (phase_ == Phase::done || phase_ == Phase::finishing) return;
  if (asksPermission_) giveUp("");
  else finish({});
}

void ClaudeHook::giveUp(std::string message) {
  phase_ = Phase::finishing;
  nextPoll_.cancel();
  // Best effort: takes the request off the phone's list; the hook ends either way.
  send("POST", "/perm-done", std::string("{}"),
       [this, message = std::move(message)](const HttpResult&) { finish({"", message}); });
}

void ClaudeHook::finish(HookOutcome outcome) {
  if (phase_ == Phase::done) return;
  phase_ = Phase::done;
  nextPoll_.cancel();
  auto done = std::move(done_);
  done_ = nullptr;
  if (done) done(std::move(outcome));
}

void ClaudeHook::send(std::string method, std::string path, std::optional<std::string> body,
                      std::function<void(const HttpResult&)> then) {
  HttpRequest request;
  request.method = std::move(method);
  request.url = link_.baseURL + path;
  if (body) request.headers = {{"Content-Type", "application/json"}};
  request.body = std::move(body);
  request.timeout = kRequestTimeout;
  // Holds the hook until its answer: every request ends within its time-out.
  link_.http->send(std::move(request), link_.executor,
                   [self = shared_from_this(), then = std::move(then)](HttpResult result) { then(result); });
}

}  // namespace deskwave
