#include "phone_commands.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "phone_error.h"
#include "phone_json.h"

namespace deskwave::phone {
namespace {

using Json = nlohmann::json;

// The target the desktop reads push-token registrations from.
constexpr const char* kTokenTarget = "__apns_token__";

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

Image readImage(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw PhoneError("cannot read the image " + file, kBadInput);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw PhoneError("cannot read the image " + file, kBadInput);
  return {std::filesystem::path(file).filename().string(), bytes.str()};
}

void printReply(Output output, const Reply& reply) {
  if (output.json) {
    output.out << dump({{"id", reply.id}, {"target", reply.target}, {"text", reply.text}, {"role", reply.role}})
               << std::endl;
    return;
  }
  const char* who = reply.role == "user" ? "prompt at the desk" : "reply";
  output.out << "── " << reply.target << " · " << who << " · " << reply.id << "\n" << reply.text << std::endl;
}

}  // namespace

int sendCommand(PhoneLink& link, Output output, const std::string& target, const std::string& text,
                const std::vector<std::string>& imageFiles) {
  if (target.empty()) throw PhoneError("the target must not be empty", kBadInput);
  if (imageFiles.empty()) {
    link.sendPrompt(target, text);
  } else {
    std::vector<Image> images;
    for (const auto& file : imageFiles) images.push_back(readImage(file));
    link.sendImages(target, text, images);
  }
  if (output.json) output.out << dump({{"status", "ok"}, {"target", target}}) << std::endl;
  else output.out << "Sent to " << target << "." << std::endl;
  return kDone;
}

int watchCommand(PhoneLink& link, Output output, const WatchLimits& limits) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = limits.timeout
                            ? Clock::now() + std::chrono::duration_cast<Clock::duration>(Seconds(*limits.timeout))
                            : Clock::time_point::max();
  std::set<std::string> seen;
  int printed = 0;
  while (!(limits.count && printed >= *limits.count)) {
    if (limits.stop && limits.stop->load()) break;
    const auto now = Clock::now();
    if (now >= deadline) break;
    // Wake at least every second so that Ctrl-C and the time-out are noticed.
    const Seconds wait = std::min<Seconds>(Seconds(1), deadline - now);
    for (const auto& reply : link.receive(wait)) {
      if (!seen.insert(reply.id).second) continue;
      printReply(output, reply);
      ++printed;
      if (limits.count && printed >= *limits.count) break;
    }
  }
  if (limits.count && printed < *limits.count && !(limits.stop && limits.stop->load()))
    throw PhoneError(std::to_string(printed) + " of " + std::to_string(*limits.count) +
                     " replies arrived before the time-out");
  return kDone;
}

int statusCommand(PhoneLink& link, Output output) {
  const auto status = link.read("/status");
  if (output.json) {
    output.out << dump(status) << std::endl;
    return kDone;
  }
  if (!status.is_object() || status.empty()) {
    output.out << "No turn is running." << std::endl;
    return kDone;
  }
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  for (const auto& [tab, turn] : status.items()) {
    output.out << tab << ": " << stringOr(turn, "activity");
    if (turn.contains("since") && turn["since"].is_number())
      output.out << " (for " << std::lround(std::max(0.0, now - turn["since"].get<double>())) << " s)";
    output.out << "\n";
    if (auto partial = stringOr(turn, "partial"); !partial.empty()) output.out << "  " << partial << "\n";
  }
  output.out << std::flush;
  return kDone;
}

int permsCommand(PhoneLink& link, Output output) {
  const auto list = link.read("/perm-poll");
  if (output.json) {
    output.out << dump(list) << std::endl;
    return kDone;
  }
  if (!list.is_array() || list.empty()) {
    output.out << "No open permission requests or questions." << std::endl;
    return kDone;
  }
  for (const auto& entry : list) {
    output.out << stringOr(entry, "id") << "  " << stringOr(entry, "target") << "  " << stringOr(entry, "tool")
               << ": " << stringOr(entry, "detail") << "\n";
    if (entry.contains("options") && entry["options"].is_array())
      for (const auto& option : entry["options"]) {
        output.out << "    - " << stringOr(option, "label");
        if (auto description = stringOr(option, "desc"); !description.empty())
          output.out << ": " << description;
        output.out << "\n";
      }
  }
  output.out << std::flush;
  return kDone;
}

int answerCommand(PhoneLink& link, Output output, const std::string& id, const std::string& decision) {
  if (id.empty() || decision.empty()) throw PhoneError("the id and the decision must not be empty", kBadInput);
  link.answer(id, decision);
  if (output.json) output.out << dump({{"status", "ok"}, {"id", id}, {"decision", decision}}) << std::endl;
  else output.out << "Answered " << id << ": " << decision << "." << std::endl;
  return kDone;
}

int registerPushCommand(PhoneLink& link, Output output, const std::string& token, bool production) {
  if (token.empty() || token.find('|') != std::string::npos)
    throw PhoneError("the device token must be non-empty and hold no \"|\"", kBadInput);
  link.sendPrompt(kTokenTarget, production ? token + "|production" : token);
  const char* environment = production ? "production" : "sandbox";
  if (output.json) output.out << dump({{"status", "ok"}, {"environment", environment}}) << std::endl;
  else output.out << "Registered the device token (" << environment << ")." << std::endl;
  return kDone;
}

int tabsCommand(PhoneLink& link, Output output) {
  const auto tabs = link.read("/tabs");
  if (output.json) {
    output.out << dump(tabs) << std::endl;
    return kDone;
  }
  if (tabs.is_array())
    for (const auto& tab : tabs)
      if (tab.is_string()) output.out << tab.get<std::string>() << "\n";
  output.out << std::flush;
  return kDone;
}

}  // namespace deskwave::phone
