#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "delivery/message.h"
#include "platform/observable.h"
#include "platform/settings_store.h"

namespace deskwave {

// The per-target conversation history. Every insertion rewrites that target's
// whole list in the settings store ("deskwave.mac." + list key), so histories
// survive a restart. Main thread only.
class MessageStore {
 public:
  explicit MessageStore(std::shared_ptr<SettingsStore> settings);

  void insert(Message message, const std::string& target);

  Observable<std::vector<Message>> cursor;
  Observable<std::vector<Message>> codex;
  Observable<std::vector<Message>> code;
  // Other targets, keyed by the first spelling of the name.
  Observable<std::map<std::string, std::vector<Message>>> extra;
  // "Cursor", "Codex", "Code" or the `extra` key of the newest entry.
  Observable<std::string> lastAddedTarget;
  // Replaced by a fresh UUID after every insertion.
  Observable<std::string> addTick;

  static std::string settingsKey(const std::string& listKey) { return "deskwave.mac." + listKey; }

 private:
  std::vector<Message> load(const std::string& listKey) const;
  void save(const std::vector<Message>& list, const std::string& listKey);
  void appendTo(Observable<std::vector<Message>>& list, Message message, const std::string& listKey,
                const std::string& displayName);

  std::shared_ptr<SettingsStore> settings_;
};

}  // namespace deskwave
