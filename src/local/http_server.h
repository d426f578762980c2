#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "delivery/outbox_item.h"
#include "platform/clock.h"

namespace deskwave {

// One image of an "/attach" request: its name and its Base64 data as sent.
struct AttachedImage {
  std::string name;
  std::string base64;
};

// A choice of a question: {"label": …, "desc": …}.
using QuestionOption = std::map<std::string, std::string>;

// An open permission request (no options) or question (with options).
struct PermissionEntry {
  std::string id;
  std::string tool;
  std::string detail;
  std::string target;
  WallTime ts;
  std::vector<QuestionOption> options;
};

// The local link: the HTTP server the phone and hook scripts talk to, with the
// permission and activity tables it serves.
//
// The hooks are installed on the main thread before `start()`. `tabsProvider`,
// `responsesProvider` and `ackHandler` are called on connection threads; the
// others are posted to the main thread. The state operations are safe from any
// thread (they take the server's own locks and call nothing while holding them).
class HTTPServer {
 public:
  virtual ~HTTPServer() = default;

  virtual void start() = 0;

  // Activity table.
  virtual void startTurn(const std::string& tab) = 0;
  virtual void setSuppressed(const std::string& tab, bool on) = 0;
  // Sets (or, with nullopt, removes) the tab's partial reply unless its turn has ended.
  virtual void updatePartial(const std::string& tab, const std::optional<std::string>& text) = 0;

  // Permission table.
  virtual void filePermission(PermissionEntry entry) = 0;
  virtual void permClearQuestions() = 0;

  // Reported by "/health".
  virtual void setPaused(bool paused) = 0;

  std::function<std::vector<std::string>()> tabsProvider;
  std::function<void(const std::string& target, const std::string& text)> onMessage;
  std::function<void(const std::string& target, const std::string& text, const std::vector<AttachedImage>& images)>
      onAttach;
  std::function<void(const std::string& decision)> onPermAnswer;
  std::function<void(const std::string& target, const std::string& detail)> onPermRequest;
  std::function<std::vector<OutboxItem>()> responsesProvider;
  std::function<void(const std::vector<std::string>& ids)> ackHandler;
  std::function<void(const std::string& target, const std::string& text)> onDeliver;
};

}  // namespace deskwave
