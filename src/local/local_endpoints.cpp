// The endpoint layer of the local link: what each path does and answers.

#include <nlohmann/json.hpp>

#include "delivery/outbox_item.h"
#include "local/local_server.h"
#include "platform/json_decode.h"
#include "platform/time_format.h"
#include "platform/uuid.h"

namespace deskwave {
namespace {

using Json = nlohmann::json;

const LocalResponse kOk{"200 OK", R"({"status":"ok"})"};
const LocalResponse kInvalidJson{"400 Bad Request", R"({"error":"invalid json"})"};

// Serializes without failing: invalid UTF-8 in a value is replaced.
std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

LocalResponse ok(const Json& body) { return {"200 OK", dump(body)}; }

// The JSON object of a request body, or nullopt when it is not one.
std::optional<Json> decodeObject(const std::string& body) {
  auto value = Json::parse(body, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

// Runs `decode` on the body's object; a decode failure is a 400 answer.
template <class Decode>
LocalResponse withBody(const std::string& body, Decode decode) {
  auto object = decodeObject(body);
  if (!object) return kInvalidJson;
  try {
    return decode(*object);
  } catch (const deskwave::json::DecodeError&) {
    return kInvalidJson;
  } catch (const nlohmann::json::exception&) {
    return kInvalidJson;
  }
}

std::vector<std::string> requireStringArray(const Json& object, const char* key) {
  const auto& value = deskwave::json::require(object, key);
  if (!value.is_array()) throw deskwave::json::DecodeError(std::string(key) + " is not an array");
  std::vector<std::string> out;
  for (const auto& item : value) {
    if (!item.is_string()) throw deskwave::json::DecodeError(std::string(key) + " holds a non-string");
    out.push_back(item.get<std::string>());
  }
  return out;
}

// The "id=" value of a "/perm-result" path (no URL decoding).
std::string permResultId(const std::string& path) {
  const auto question = path.rfind('?');
  std::string_view query = question == std::string::npos ? std::string_view(path)
                                                         : std::string_view(path).substr(question + 1);
  for (;;) {
    const auto amp = query.find('&');
    const auto part = query.substr(0, amp);
    if (part.starts_with("id=")) return std::string(part.substr(3));
    if (amp == std::string_view::npos) return "";
    query.remove_prefix(amp + 1);
  }
}

}  // namespace

LocalResponse LocalServer::handle(const LocalRequest& request) {
  if (!request.bodyRead) {
    const auto& p = request.path;
    if (p == "/tabs") return respondWithTabs();
    if (p == "/responses") return respondWithResponses();
    if (p == "/perm-poll") return respondPermPoll();
    if (p == "/status") return respondStatus();
    return respondPermResult(p);
  }
  return processBody(request.body, request.path);
}

LocalResponse LocalServer::respondWithTabs() {
  return ok(tabsProvider ? Json(tabsProvider()) : Json::array());
}

LocalResponse LocalServer::respondWithResponses() {
  return {"200 OK", outboxItemsToJson(responsesProvider ? responsesProvider() : std::vector<OutboxItem>{})};
}

LocalResponse LocalServer::respondPermPoll() {
  auto list = Json::array();
  for (const auto& e : permissions_.list(runtime_.clock->now())) {
    auto options = Json::array();
    for (const auto& option : e.options) options.push_back(option);
    list.push_back({{"id", e.id}, {"tool", e.tool}, {"detail", e.detail}, {"target", e.target}, {"options", options}});
  }
  return ok(list);
}

LocalResponse LocalServer::respondStatus() {
  auto status = Json::object();
  for (const auto& turn : activity_.snapshot()) {
    Json entry = {{"since", secondsSince1970(turn.since)}, {"activity", turn.activity}};
    if (turn.partial) entry["partial"] = *turn.partial;
    status[turn.tab] = std::move(entry);
  }
  return ok(status);
}

LocalResponse LocalServer::respondPermResult(const std::string& path) {
  return ok({{"decision", permissions_.decision(permResultId(path))}});
}

LocalResponse LocalServer::processBody(const std::string& body, const std::string& path) {
  namespace dj = deskwave::json;

  if (path == "/ack") {
    return withBody(body, [&](const Json& o) {
      auto ids = requireStringArray(o, "ids");
      if (ackHandler) ackHandler(ids);
      return kOk;
    });
  }
  if (path == "/deliver") {
    return withBody(body, [&](const Json& o) {
      auto target = dj::requireString(o, "target");
      auto text = dj::requireString(o, "text");
      postToMain([target, text](LocalServer& s) {
        if (s.onDeliver) s.onDeliver(target, text);
      });
      return kOk;
    });
  }
  if (path == "/perm-request") {
    return withBody(body, [&](const Json& o) {
      auto tool = dj::requireString(o, "tool");
      auto detail = dj::requireString(o, "detail");
      auto target = dj::optionalString(o, "target").value_or("Claude");
      const auto id = newUuid();
      permissions_.file(PermissionEntry{id, tool, detail, target, runtime_.clock->now(), {}});
      // Announce the request only if its hook has not settled it meanwhile.
      runtime_.background->postAfter(Seconds(kLatePermissionCheck), [weak = weak_from_this(), id, target, detail] {
        auto self = weak.lock();
        if (!self || !self->permissions_.isOpen(id)) return;
        self->postToMain([target, detail](LocalServer& s) {
          if (s.onPermRequest) s.onPermRequest(target, detail);
        });
      });
      return ok({{"id", id}});
    });
  }
  if (path == "/perm-answer") {
    return withBody(body, [&](const Json& o) {
      auto id = dj::requireString(o, "id");
      auto decision = dj::requireString(o, "decision");
      permissions_.answer(id, decision);
      postToMain([decision](LocalServer& s) {
        if (s.onPermAnswer) s.onPermAnswer(decision);
      });
      return kOk;
    });
  }
  if (path == "/perm-done") {
    permissions_.clearAll();
    return kOk;
  }
  if (path == "/health") {
    return {"200 OK", paused_.load() ? R"({"paused":true})" : R"({"paused":false})"};
  }
  if (path == "/activity") {
    return withBody(body, [&](const Json& o) {
      auto target = dj::requireString(o, "target");
      const bool suppressed = dj::requireBool(o, "suppressed");
      auto activity = dj::optionalString(o, "activity");
      auto event = dj::optionalString(o, "event");
      auto tool = dj::optionalString(o, "tool");
      const auto now = runtime_.clock->now();
      if (suppressed) activity_.setSuppressed(target, true, now);
      else if (event) activity_.toolEvent(target, *event, tool.value_or(""), activity.value_or("Thinking"), now);
      else activity_.startTurn(target, now);
      return kOk;
    });
  }
  if (path == "/attach") {
    return withBody(body, [&](const Json& o) {
      auto target = dj::requireString(o, "target");
      auto text = dj::requireString(o, "text");
      const auto& images = dj::require(o, "images");
      if (!images.is_array()) throw dj::DecodeError("images is not an array");
      std::vector<AttachedImage> list;
      for (const auto& image : images) list.push_back({dj::requireString(image, "name"), dj::requireString(image, "b64")});
      postToMain([target, text, list = std::move(list)](LocalServer& s) {
        if (s.onAttach) s.onAttach(target, text, list);
      });
      return kOk;
    });
  }
  return withBody(body, [&](const Json& o) {
    auto target = dj::requireString(o, "target");
    auto text = dj::requireString(o, "text");
    postToMain([target, text](LocalServer& s) {
      if (s.onMessage) s.onMessage(target, text);
    });
    return kOk;
  });
}

}  // namespace deskwave
