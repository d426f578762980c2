#include "app/hook_settings.h"

#include <cctype>
#include <vector>

namespace deskwave {
namespace {

constexpr std::string_view kProgramName = "deskwave";

bool isShellSafe(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("/._-+@%=:,").find(c) != std::string_view::npos;
}

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// The first shell word of `text` from `i` on, with quotes and escapes removed;
// `i` ends after it. nullopt when a quote is left open.
std::optional<std::string> shellWord(std::string_view text, std::size_t& i) {
  std::string word;
  while (i < text.size() && !isSpace(text[i])) {
    const char c = text[i++];
    if (c == '\'') {
      const auto end = text.find('\'', i);
      if (end == std::string_view::npos) return std::nullopt;
      word.append(text.substr(i, end - i));
      i = end + 1;
    } else if (c == '"') {
      for (;;) {
        if (i >= text.size()) return std::nullopt;
        const char d = text[i++];
        if (d == '"') break;
        if (d == '\\' && i < text.size() && std::string_view("\"\\$`").find(text[i]) != std::string_view::npos)
          word += text[i++];
        else
          word += d;
      }
    } else if (c == '\\' && i < text.size()) {
      word += text[i++];
    } else {
      word += c;
    }
  }
  return word;
}

std::size_t skipSpaces(std::string_view text, std::size_t i) {
  while (i < text.size() && isSpace(text[i])) ++i;
  return i;
}

bool isDeskwaveHandler(const OrderedJson& handler) {
  if (!handler.is_object()) return false;
  const auto type = handler.find("type");
  if (type != handler.end() && *type != "command") return false;
  const auto command = handler.find("command");
  return command != handler.end() && command->is_string() && deskwaveHookEventOf(command->get<std::string>());
}

// The group's list of handlers, when it has one.
OrderedJson* handlersOf(OrderedJson& group) {
  if (!group.is_object()) return nullptr;
  const auto it = group.find("hooks");
  return it != group.end() && it->is_array() ? &*it : nullptr;
}

const OrderedJson* handlersOf(const OrderedJson& group) { return handlersOf(const_cast<OrderedJson&>(group)); }

OrderedJson wantedGroup(HookEvent event, std::string_view program) {
  OrderedJson handler{{"type", "command"}, {"command", deskwaveHookCommand(program, event)}};
  if (event == HookEvent::permissionRequest) handler["timeout"] = kPermissionHookTimeout;
  OrderedJson group = OrderedJson::object();
  if (isToolEvent(event)) group["matcher"] = "*";
  group["hooks"] = OrderedJson::array({handler});
  return group;
}

// Removes Deskwave's handlers from an event's list of groups, and each group
// that this emptied. Returns {handlers removed, groups dropped}.
std::pair<int, int> removeDeskwaveHandlers(OrderedJson& groups) {
  int removed = 0, dropped = 0;
  for (std::size_t g = groups.size(); g-- > 0;) {
    auto* handlers = handlersOf(groups[g]);
    if (!handlers) continue;
    bool removedHere = false;
    for (std::size_t h = handlers->size(); h-- > 0;) {
      if (!isDeskwaveHandler((*handlers)[h])) continue;
      handlers->erase(h);
      removedHere = true;
      ++removed;
    }
    if (removedHere && handlers->empty()) {
      groups.erase(g);
      ++dropped;
    }
  }
  return {removed, dropped};
}

// Where Deskwave's handlers sit in an event's list: {group, handler} pairs.
std::vector<std::pair<std::size_t, std::size_t>> deskwaveHandlers(const OrderedJson& groups) {
  std::vector<std::pair<std::size_t, std::size_t>> found;
  for (std::size_t g = 0; g < groups.size(); ++g)
    if (const auto* handlers = handlersOf(groups[g]))
      for (std::size_t h = 0; h < handlers->size(); ++h)
        if (isDeskwaveHandler((*handlers)[h])) found.emplace_back(g, h);
  return found;
}

}  // namespace

std::string shellQuoted(std::string_view program) {
  bool safe = !program.empty();
  for (char c : program) safe = safe && isShellSafe(c);
  if (safe) return std::string(program);
  std::string quoted = "'";
  for (char c : program) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string deskwaveHookCommand(std::string_view program, HookEvent event) {
  return shellQuoted(program) + " hook " + std::string(hookEventName(event));
}

std::optional<std::string> deskwaveHookEventOf(std::string_view command) {
  std::size_t i = skipSpaces(command, 0);
  const auto program = shellWord(command, i);
  if (!program) return std::nullopt;
  const auto slash = program->rfind('/');
  if (std::string_view(*program).substr(slash == std::string::npos ? 0 : slash + 1) != kProgramName)
    return std::nullopt;
  const auto verb = skipSpaces(command, i);
  if (verb == i || command.substr(verb, 4) != "hook") return std::nullopt;
  i = verb + 4;
  const auto eventStart = skipSpaces(command, i);
  if (eventStart == i || eventStart == command.size()) return std::nullopt;
  std::size_t eventEnd = eventStart;
  while (eventEnd < command.size() && !isSpace(command[eventEnd])) ++eventEnd;
  return std::string(command.substr(eventStart, eventEnd - eventStart));
}

bool installDeskwaveHooks(OrderedJson& settings, std::string_view program) {
  if (!settings.is_object()) throw HookSettingsError("the settings are not a JSON object");
  if (settings.contains("hooks") && !settings["hooks"].is_object())
    throw HookSettingsError("\"hooks\" in the settings is not a JSON object");
  if (settings.contains("hooks"))
    for (auto event : kHookEvents) {
      const auto name = std::string(hookEventName(event));
      if (settings["hooks"].contains(name) && !settings["hooks"][name].is_array())
        throw HookSettingsError("\"hooks\" → \"" + name + "\" in the settings is not a list");
    }

  OrderedJson next = settings;
  if (!next.contains("hooks")) next["hooks"] = OrderedJson::object();
  auto& hooks = next["hooks"];
  bool changed = false;
  for (auto event : kHookEvents) {
    const auto name = std::string(hookEventName(event));
    const auto wanted = wantedGroup(event, program);
    if (!hooks.contains(name)) hooks[name] = OrderedJson::array();
    auto& groups = hooks[name];
    const auto ours = deskwaveHandlers(groups);
    if (ours.size() == 1 && groups[ours.front().first] == wanted) continue;
    removeDeskwaveHandlers(groups);
    groups.push_back(wanted);
    changed = true;
  }
  if (changed) settings = std::move(next);
  return changed;
}

bool uninstallDeskwaveHooks(OrderedJson& settings) {
  if (!settings.is_object()) return false;
  const auto hooksAt = settings.find("hooks");
  if (hooksAt == settings.end() || !hooksAt->is_object()) return false;
  auto& hooks = *hooksAt;
  bool changed = false;
  std::vector<std::string> emptied;
  for (auto& [name, groups] : hooks.items()) {
    if (!groups.is_array()) continue;
    const auto [removed, dropped] = removeDeskwaveHandlers(groups);
    changed = changed || removed > 0;
    if (dropped > 0 && groups.empty()) emptied.push_back(name);
  }
  for (const auto& name : emptied) hooks.erase(name);
  if (!emptied.empty() && hooks.empty()) settings.erase("hooks");
  return changed;
}

std::map<HookEvent, std::optional<std::string>> deskwaveHookCommands(const OrderedJson& settings) {
  std::map<HookEvent, std::optional<std::string>> commands;
  for (auto event : kHookEvents) commands[event] = std::nullopt;
  if (!settings.is_object() || !settings.contains("hooks") || !settings["hooks"].is_object()) return commands;
  const auto& hooks = settings["hooks"];
  for (auto event : kHookEvents) {
    const auto name = std::string(hookEventName(event));
    if (!hooks.contains(name) || !hooks[name].is_array()) continue;
    const auto& groups = hooks[name];
    if (const auto ours = deskwaveHandlers(groups); !ours.empty())
      commands[event] = (*handlersOf(groups[ours.front().first]))[ours.front().second]["command"].get<std::string>();
  }
  return commands;
}

}  // namespace deskwave
