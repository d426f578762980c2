#include "phone_link.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "phone_error.h"
#include "phone_json.h"
#include "platform/base64.h"
#include "relay/relay_wire.h"

namespace deskwave::phone {
namespace {

using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

// How often the local link asks for new replies, and how soon a lost relay
// connection is tried again.
constexpr Seconds kPollPeriod{1};
constexpr Seconds kReconnectPeriod{1};
constexpr Seconds kJoinTimeout{10};

// An outbox item, as "/responses" lists it and the relay carries it.
Reply replyFrom(const Json& item) {
  return {stringOr(item, "id"), stringOr(item, "target"), stringOr(item, "text"), stringOr(item, "role")};
}


class LocalPhoneLink final : public PhoneLink {
 public:
  explicit LocalPhoneLink(LocalLink link) : link_(std::move(link)) {}

  void sendPrompt(const std::string& target, const std::string& text) override {
    link_.post("/", {{"target", target}, {"text", text}});
  }

  void sendImages(const std::string& target, const std::string& text, const std::vector<Image>& images) override {
    auto list = Json::array();
    for (const auto& image : images) list.push_back({{"name", image.name}, {"b64", base64Encode(image.bytes)}});
    link_.post("/attach", {{"target", target}, {"text", text}, {"images", list}});
  }

  std::vector<Reply> receive(Seconds wait) override {
    const auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(wait);
    for (;;) {
      auto replies = fetch();
      if (!replies.empty()) {
        auto ids = Json::array();
        for (const auto& reply : replies) ids.push_back(reply.id);
        link_.post("/ack", {{"ids", ids}});
        return replies;
      }
      const Seconds left = deadline - SteadyClock::now();
      if (left <= Seconds(0)) return {};
      std::this_thread::sleep_for(std::min(left, kPollPeriod));
    }
  }

  Json read(const std::string& path) override { return link_.get(path); }

  void answer(const std::string& id, const std::string& decision) override {
    link_.post("/perm-answer", {{"id", id}, {"decision", decision}});
  }

 private:
  std::vector<Reply> fetch() {
    const auto list = link_.get("/responses");
    if (!list.is_array()) throw PhoneError("Deskwave's reply list is not a JSON array");
    std::vector<Reply> replies;
    for (const auto& item : list) {
      if (!item.is_object() || stringOr(item, "id").empty()) continue;
      replies.push_back(replyFrom(item));
    }
    return replies;
  }

  LocalLink link_;
};

class RelayPhoneLink final : public PhoneLink {
 public:
  explicit RelayPhoneLink(std::unique_ptr<RelayLink> link) : link_(std::move(link)) {}

  void sendPrompt(const std::string& target, const std::string& text) override {
    link_->send(wire::encodePromptPayload(target, text));
  }

  void sendImages(const std::string&, const std::string&, const std::vector<Image>&) override {
    throw PhoneError("images go over the local link only (--local); the relay carries text prompts", kBadInput);
  }

  std::vector<Reply> receive(Seconds wait) override {
    const auto deadline = SteadyClock::now() + wait;
    std::vector<Reply> replies;
    while (replies.empty()) {
      const Seconds left = deadline - SteadyClock::now();
      if (left <= Seconds(0)) break;
      if (!connected_ && !reconnect()) {
        std::this_thread::sleep_for(std::min(left, kReconnectPeriod));
        continue;
      }
      auto next = link_->next(left);
      if (next.kind == RelayLink::Next::TimedOut) break;
      if (next.kind == RelayLink::Next::Disconnected) {
        connected_ = false;
        std::cerr << "deskwave-phone: the relay connection was lost; reconnecting" << std::endl;
        continue;
      }
      auto reply = decodeReply(next.payload);
      if (!reply) continue;  // tab lists and anything else
      try {
        link_->send(wire::encodeAckPayload(reply->id));
      } catch (const PhoneError&) {
        // The desktop resends until acknowledged; the next copy is acknowledged.
        connected_ = false;
      }
      replies.push_back(std::move(*reply));
    }
    return replies;
  }

  Json read(const std::string& path) override { throw localOnly(path); }
  void answer(const std::string&, const std::string&) override { throw localOnly("/perm-answer"); }

 private:
  static PhoneError localOnly(const std::string& path) {
    return PhoneError("the relay carries only prompts and replies; \"" + path + "\" needs the local link (--local)",
                      kBadInput);
  }

  static std::optional<Reply> decodeReply(const std::string& plaintext) {
    if (!std::holds_alternative<wire::ReplyRecord>(wire::classify(plaintext))) return std::nullopt;
    return replyFrom(Json::parse(plaintext));
  }

  bool reconnect() {
    try {
      link_->connect(kJoinTimeout);
      connected_ = true;
      std::cerr << "deskwave-phone: reconnected to the relay" << std::endl;
    } catch (const PhoneError&) {
      connected_ = false;
    }
    return connected_;
  }

  std::unique_ptr<RelayLink> link_;
  bool connected_ = true;
};

}  // namespace

std::unique_ptr<PhoneLink> makeLocalPhoneLink(LocalLink link) { return std::make_unique<LocalPhoneLink>(std::move(link)); }

std::unique_ptr<PhoneLink> makeRelayPhoneLink(std::unique_ptr<RelayLink> connected) {
  return std::make_unique<RelayPhoneLink>(std::move(connected));
}

}  // namespace deskwave::phone
