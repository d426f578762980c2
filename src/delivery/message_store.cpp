#include "delivery/message_store.h"

#include "platform/text.h"
#include "platform/uuid.h"

namespace deskwave {

MessageStore::MessageStore(std::shared_ptr<SettingsStore> settings)
    : addTick(newUuid()), settings_(std::move(settings)) {
  cursor.assign(load("cursor"));
  codex.assign(load("codex"));
  code.assign(load("code"));

  std::map<std::string, std::vector<Message>> extras;
  for (const auto& name : settings_->getStringList("deskwave.selectedTools")) {
    if (name == "Cursor" || name == "Codex" || name == "Code") continue;
    auto list = load("extra." + lowercased(name));
    if (!list.empty()) extras[name] = std::move(list);
  }
  extra.assign(std::move(extras));
}

std::vector<Message> MessageStore::load(const std::string& listKey) const {
  auto data = settings_->getData(settingsKey(listKey));
  if (!data) return {};
  auto list = messagesFromJson(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
  return list ? std::move(*list) : std::vector<Message>{};
}

void MessageStore::save(const std::vector<Message>& list, const std::string& listKey) {
  const auto json = messagesToJson(list);
  settings_->setData(settingsKey(listKey), Bytes(json.begin(), json.end()));
}

void MessageStore::appendTo(Observable<std::vector<Message>>& list, Message message, const std::string& listKey,
                            const std::string& displayName) {
  auto updated = list.get();
  updated.push_back(std::move(message));
  save(updated, listKey);
  list.assign(std::move(updated));
  lastAddedTarget.set(displayName);
}

void MessageStore::insert(Message message, const std::string& target) {
  const auto t = lowercased(target);
  if (t == "cursor") {
    appendTo(cursor, std::move(message), "cursor", "Cursor");
  } else if (t == "codex") {
    appendTo(codex, std::move(message), "codex", "Codex");
  } else if (t == "code") {
    appendTo(code, std::move(message), "code", "Code");
  } else {
    auto extras = extra.get();
    std::string key = target;
    for (const auto& [existing, list] : extras) {
      if (lowercased(existing) == t) {
        key = existing;
        break;
      }
    }
    auto& list = extras[key];
    list.push_back(std::move(message));
    save(list, "extra." + lowercased(key));
    extra.assign(std::move(extras));
    lastAddedTarget.set(key);
  }
  addTick.assign(newUuid());
}

}  // namespace deskwave
