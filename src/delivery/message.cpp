#include "delivery/message.h"

#include <cmath>

#include "platform/json_decode.h"
#include "platform/text.h"
#include "platform/time_format.h"
#include "platform/uuid.h"

namespace deskwave {
namespace {

// About 250 years either side of 2001: well inside the range of WallTime, whose
// nanosecond ticks reach only about 292 years either side of 1970.
constexpr double kMaxTimestampSeconds = 8e9;

}  // namespace

Message Message::make(std::string text, WallTime now, bool isReceived) {
  return Message{newUuid(), std::move(text), now, isReceived};
}

std::string messagesToJson(const std::vector<Message>& messages) {
  auto array = nlohmann::json::array();
  for (const auto& m : messages) {
    array.push_back({{"id", m.id},
                     {"text", m.text},
                     {"timestamp", secondsSinceReferenceDate(m.timestamp)},
                     {"isReceived", m.isReceived}});
  }
  return array.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::vector<Message>> messagesFromJson(std::string_view text) {
  return json::parse(text, [](const nlohmann::json& j) {
    if (!j.is_array()) throw json::DecodeError("expected an array");
    std::vector<Message> out;
    out.reserve(j.size());
    for (const auto& record : j) {
      auto id = json::requireString(record, "id");
      if (!isCanonicalUuid(id)) throw json::DecodeError("\"id\" is not a UUID");
      const double seconds = json::requireNumber(record, "timestamp");
      // Beyond this the conversion to the clock's integer ticks would overflow.
      if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxTimestampSeconds)
        throw json::DecodeError("\"timestamp\" is out of range");
      out.push_back(Message{uppercasedAscii(id), json::requireString(record, "text"),
                            fromSecondsSinceReferenceDate(seconds),
                            json::optionalBool(record, "isReceived").value_or(false)});
    }
    return out;
  });
}

}  // namespace deskwave
