#pragma once

// `deskwave hook EVENT`: one Claude Code hook event reported to the running
// bridge over the local link. Tool events and turn ends go to "/activity"; a
// permission request goes to "/perm-request", and the phone's decision, polled
// from "/perm-result", is handed back to Claude Code. A hook never stands in
// Claude Code's way: without a bridge, with bad input or without a decision it
// prints nothing, so Claude Code goes on (and asks at the desk) as usual.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/executor.h"
#include "platform/http_client.h"

namespace deskwave {

// Where the hook reaches the bridge unless DESKWAVE_HOOK_URL says otherwise.
inline constexpr const char* kDefaultHookURL = "http://127.0.0.1:8765";

// What the hook process prints before it exits (always with status 0).
struct HookOutcome {
  std::string output;   // standard output, read by Claude Code; empty for none
  std::string message;  // standard error, one line for the user; empty for none
};

// The bridge's address and the means to reach it.
struct HookLink {
  std::shared_ptr<HttpClient> http;
  std::shared_ptr<Executor> executor;  // completions and timers run here
  std::shared_ptr<Clock> clock;
  std::string baseURL = kDefaultHookURL;  // no trailing "/"
};

// One event from its arrival to the outcome. Everything runs on the link's
// executor; call cancel() there too.
class ClaudeHook : public std::enable_shared_from_this<ClaudeHook> {
 public:
  // Each request's limit, connecting included: a bridge that does not answer
  // costs at most this, one that is not running nothing (refused at once).
  static constexpr Seconds kRequestTimeout{2};
  static constexpr Seconds kPollInterval{0.5};
  // How long a permission request waits for the phone. The hook's own time-out
  // in Claude Code's settings must be longer (see hook_settings.h).
  static constexpr Seconds kDecisionWait{120};
  static constexpr const char* kTarget = "Claude";

  using Done = std::function<void(HookOutcome)>;

  // Handles `event` with `input`, the JSON that Claude Code wrote to standard
  // input. `done` runs exactly once, on the link's executor (also for an
  // unknown event or bad input, which send nothing).
  static std::shared_ptr<ClaudeHook> start(HookLink link, std::string_view event, std::string_view input, Done done);

  // The process is asked to end: stops waiting for the phone, withdraws an open
  // request ("/perm-done") and finishes without a decision. Nothing once done.
  void cancel();

  ClaudeHook(const ClaudeHook&) = delete;
  ClaudeHook& operator=(const ClaudeHook&) = delete;

 private:
  enum class Phase { working, waiting, finishing, done };

  ClaudeHook(HookLink link, Done done) : link_(std::move(link)), done_(std::move(done)) {}

  void begin(std::string_view event, std::string_view input);
  void report(std::string body);
  void requestPermission(std::string body);
  void onFiled(const HttpResult& result);
  void poll();
  void onDecision(const HttpResult& result);
  // Withdraws the request so that Claude Code asks at the desk, then finishes.
  void giveUp(std::string message);
  void finish(HookOutcome outcome);

  void send(std::string method, std::string path, std::optional<std::string> body,
            std::function<void(const HttpResult&)> then);

  HookLink link_;
  Done done_;
  Phase phase_ = Phase::working;
  bool asksPermission_ = false;
  std::string requestId_;
  MonoTime filedAt_{};
  TaskHandle nextPoll_;
};

// Claude Code's answer to a PermissionRequest hook for the phone's "allow"
// (true) or "deny" (false), one JSON line.
std::string permissionDecisionOutput(bool allow);

}  // namespace deskwave
