#include "delivery/message_store.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "delivery/message.h"
#include "platform/memory_settings_store.h"
#include "platform/sqlite_settings_store.h"
#include "support/temp_home.h"

namespace deskwave {
namespace {

constexpr const char* kIdA = "6B1E2F3A-4C5D-4E6F-8A7B-9C0D1E2F3A4B";
constexpr const char* kIdB = "0F9E8D7C-6B5A-4938-A7B6-C5D4E3F2A1B0";

// Unix time in seconds, with fractions that a double holds exactly.
WallTime unixTime(double seconds) {
  return WallTime{} + std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(seconds));
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// --- Message JSON ----------------------------------------------------------

TEST(MessageJsonTest, TimestampCountsSecondsFrom2001) {
  const std::vector<Message> messages{
      {kIdA, "at the reference date", unixTime(978307200), true},
      {kIdB, "later", unixTime(978307200 + 86400.25), false},
      {kIdA, "before", unixTime(978307200 - 1.5), false},
  };
  const auto array = nlohmann::json::parse(messagesToJson(messages));
  ASSERT_EQ(array.size(), 3u);
  EXPECT_EQ(array[0], (nlohmann::json{{"id", kIdA}, {"text", "at the reference date"}, {"timestamp", 0.0},
                                      {"isReceived", true}}));
  EXPECT_TRUE(array[1]["timestamp"].is_number_float());
  EXPECT_DOUBLE_EQ(array[1]["timestamp"].get<double>(), 86400.25);
  EXPECT_DOUBLE_EQ(array[2]["timestamp"].get<double>(), -1.5);
  EXPECT_EQ(array[1]["isReceived"], false);

  EXPECT_EQ(messagesFromJson(messagesToJson(messages)), messages);
}

TEST(MessageJsonTest, DecodesRecordsWrittenElsewhere) {
  const auto decoded = messagesFromJson(
      std::string(R"([{"id":")") + kIdA + R"(","text":"from the phone","timestamp":788918400.5,"isReceived":true},)" +
      R"({"id":")" + kIdB + R"(","text":"no flag","timestamp":12,"unknown":{"x":1}}])");
  ASSERT_TRUE(decoded.has_value());
  ASSERT_EQ(decoded->size(), 2u);
  EXPECT_EQ((*decoded)[0], (Message{kIdA, "from the phone", unixTime(1767225600.5), true}));
  EXPECT_EQ((*decoded)[1], (Message{kIdB, "no flag", unixTime(978307212), false}))
      << "a missing \"isReceived\" reads as false";
  EXPECT_EQ(messagesFromJson("[]"), std::vector<Message>{});
}

TEST(MessageJsonTest, RejectsListWithAnyBadRecord) {
  const std::string good = std::string(R"({"id":")") + kIdA + R"(","text":"ok","timestamp":1})";
  const std::string bad[] = {
      R"({"text":"ok","timestamp":1})",
      R"({"id":"not-a-uuid","text":"ok","timestamp":1})",
      R"({"id":42,"text":"ok","timestamp":1})",
      std::string(R"({"id":")") + kIdA + R"(","timestamp":1})",
      std::string(R"({"id":")") + kIdA + R"(","text":"ok"})",
      std::string(R"({"id":")") + kIdA + R"(","text":"ok","timestamp":"1"})",
      std::string(R"({"id":")") + kIdA + R"(","text":"ok","timestamp":1,"isReceived":"yes"})",
      // Further from 2001 than the clock can represent.
      std::string(R"({"id":")") + kIdA + R"(","text":"ok","timestamp":1e300})",
      std::string(R"({"id":")") + kIdA + R"(","text":"ok","timestamp":-1e19})",
      R"("just text")",
  };
  for (const auto& record : bad) {
    EXPECT_FALSE(messagesFromJson("[" + good + "," + record + "]").has_value()) << record;
  }
  EXPECT_FALSE(messagesFromJson(good).has_value()) << "a single object is not a list";
  EXPECT_FALSE(messagesFromJson("[" + good).has_value());
  EXPECT_TRUE(messagesFromJson("[" + good + "]").has_value());
}

// --- The store -------------------------------------------------------------

class MessageStoreTest : public ::testing::Test {
 protected:
  // The stored list under `key`, which must be a data value holding a JSON array.
  nlohmann::json stored(const std::string& key) const {
    auto data = settings->getData(key);
    if (!data) {
      ADD_FAILURE() << "no data stored under " << key;
      return nullptr;
    }
    auto value = nlohmann::json::parse(std::string(data->begin(), data->end()), nullptr, false);
    EXPECT_TRUE(value.is_array()) << key;
    return value;
  }

  void storeJson(const std::string& listKey, const std::string& json) {
    settings->setData("deskwave.mac." + listKey, bytesOf(json));
  }

  std::vector<Message> storedMessages(const std::string& key) const {
    return messagesFromJson(stored(key).dump()).value_or(std::vector<Message>{});
  }

  Message message(std::string text) { return Message::make(std::move(text), unixTime(1767225600.75), false); }

  std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
};

TEST_F(MessageStoreTest, BuiltInTargetsMatchInAnyCase) {
  struct Case {
    std::string target;
    std::string list;
    std::string shown;
  };
  const Case cases[] = {
      {"cursor", "cursor", "Cursor"}, {"CURSOR", "cursor", "Cursor"}, {"Codex", "codex", "Codex"},
      {"cOdEx", "codex", "Codex"},    {"code", "code", "Code"},       {"CODE", "code", "Code"},
  };
  for (const auto& c : cases) {
    settings = std::make_shared<MemorySettingsStore>();
    MessageStore store(settings);
    const auto m = message("to " + c.target);
    store.insert(m, c.target);

    const std::map<std::string, const std::vector<Message>*> lists{
        {"cursor", &store.cursor.get()}, {"codex", &store.codex.get()}, {"code", &store.code.get()}};
    for (const auto& [name, list] : lists) {
      EXPECT_EQ(*list, name == c.list ? std::vector<Message>{m} : std::vector<Message>{}) << c.target << " " << name;
      EXPECT_EQ(settings->contains("deskwave.mac." + name), name == c.list) << c.target << " " << name;
    }
    EXPECT_TRUE(store.extra.get().empty()) << c.target;
    EXPECT_EQ(storedMessages("deskwave.mac." + c.list), std::vector<Message>{m}) << c.target;
    EXPECT_EQ(store.lastAddedTarget.get(), c.shown) << c.target;
  }
}

TEST_F(MessageStoreTest, AppendsInOrderAndRewritesTheWholeList) {
  MessageStore store(settings);
  const auto a = message("first");
  const auto b = message("second");
  store.insert(a, "Cursor");
  store.insert(b, "cursor");
  EXPECT_EQ(store.cursor.get(), (std::vector<Message>{a, b}));
  EXPECT_EQ(storedMessages("deskwave.mac.cursor"), (std::vector<Message>{a, b}));
}

TEST_F(MessageStoreTest, OtherTargetsShareTheFirstSpelling) {
  MessageStore store(settings);
  const auto a = message("a");
  const auto b = message("b");
  const auto c = message("c");
  const auto d = message("d");
  const auto e = message("e");
  store.insert(a, "claude");
  EXPECT_EQ(store.lastAddedTarget.get(), "claude");
  store.insert(b, "Claude");
  store.insert(c, "CLAUDE");
  store.insert(d, "Gemini Pro");
  store.insert(e, "codex-cli");

  const std::map<std::string, std::vector<Message>> expected{
      {"claude", {a, b, c}}, {"Gemini Pro", {d}}, {"codex-cli", {e}}};
  EXPECT_EQ(store.extra.get(), expected);
  EXPECT_TRUE(store.codex.get().empty()) << "only the exact name selects a built-in list";
  EXPECT_EQ(store.lastAddedTarget.get(), "codex-cli");
  EXPECT_EQ(storedMessages("deskwave.mac.extra.claude"), (std::vector<Message>{a, b, c}));
  EXPECT_EQ(storedMessages("deskwave.mac.extra.gemini pro"), std::vector<Message>{d});
  EXPECT_EQ(storedMessages("deskwave.mac.extra.codex-cli"), std::vector<Message>{e});

  store.insert(message("f"), "gemini PRO");
  EXPECT_EQ(store.lastAddedTarget.get(), "Gemini Pro");
  EXPECT_EQ(store.extra.get().at("Gemini Pro").size(), 2u);
}

TEST_F(MessageStoreTest, OtherTargetsCompareBeyondAscii) {
  MessageStore store(settings);
  store.insert(message("one"), "Ärger");
  store.insert(message("two"), "ärger");
  ASSERT_EQ(store.extra.get().size(), 1u);
  EXPECT_EQ(store.extra.get().at("Ärger").size(), 2u);
  EXPECT_EQ(store.lastAddedTarget.get(), "Ärger");
  EXPECT_EQ(stored("deskwave.mac.extra.ärger").size(), 2u);
}

TEST_F(MessageStoreTest, AddTickChangesOnEveryInsert) {
  MessageStore store(settings);
  std::vector<std::string> ticks{store.addTick.get()};
  store.addTick.observe([&](const std::string& tick) { ticks.push_back(tick); });

  const auto same = message("same text");
  store.insert(same, "Cursor");
  store.insert(same, "Cursor");
  store.insert(message("same text"), "Claude");
  store.insert(message("same text"), "Claude");

  ASSERT_EQ(ticks.size(), 5u);
  EXPECT_EQ(std::set<std::string>(ticks.begin(), ticks.end()).size(), 5u);
  EXPECT_EQ(store.cursor.get().size(), 2u);
}

TEST_F(MessageStoreTest, LoadsSelectedExtraToolsAsSpelled) {
  storeJson("cursor", messagesToJson({{kIdA, "cursor history", unixTime(1e9), true}}));
  storeJson("codex", messagesToJson({{kIdB, "codex history", unixTime(1e9), false}}));
  storeJson("code", messagesToJson({{kIdA, "code history", unixTime(1e9), true}}));
  storeJson("extra.claude", messagesToJson({{kIdA, "claude history", unixTime(1e9), false}}));
  storeJson("extra.gemini", messagesToJson({{kIdB, "gemini history", unixTime(1e9), true}}));
  storeJson("extra.cursor", messagesToJson({{kIdB, "a tool named cursor", unixTime(1e9), false}}));
  storeJson("extra.codex", messagesToJson({{kIdB, "never loaded", unixTime(1e9), false}}));
  storeJson("extra.empty", "[]");
  storeJson("extra.unselected", messagesToJson({{kIdB, "not selected", unixTime(1e9), false}}));
  settings->setStringList("deskwave.selectedTools",
                          {"Cursor", "Codex", "Code", "Claude", "GeMini", "cursor", "Empty", "Missing"});

  MessageStore store(settings);

  EXPECT_EQ(store.cursor.get(), (std::vector<Message>{{kIdA, "cursor history", unixTime(1e9), true}}));
  EXPECT_EQ(store.codex.get(), (std::vector<Message>{{kIdB, "codex history", unixTime(1e9), false}}));
  EXPECT_EQ(store.code.get(), (std::vector<Message>{{kIdA, "code history", unixTime(1e9), true}}));

  std::map<std::string, std::string> loaded;
  for (const auto& [name, list] : store.extra.get()) {
    ASSERT_EQ(list.size(), 1u) << name;
    loaded[name] = list[0].text;
  }
  const std::map<std::string, std::string> expected{
      {"Claude", "claude history"}, {"GeMini", "gemini history"}, {"cursor", "a tool named cursor"}};
  EXPECT_EQ(loaded, expected);

  // The loaded spelling is the one later insertions use.
  store.insert(message("more"), "gemini");
  EXPECT_EQ(store.extra.get().at("GeMini").size(), 2u);
  EXPECT_EQ(store.lastAddedTarget.get(), "GeMini");
}

TEST_F(MessageStoreTest, UnreadableStoredListsLoadEmpty) {
  const std::string good = std::string(R"({"id":")") + kIdA + R"(","text":"ok","timestamp":1})";
  const std::string unreadable[] = {
      "not json",
      "",
      "{}",
      R"([{"id":")" + std::string(kIdA) + R"(","text":"no time"}])",
      "[" + good + R"(,{"id":")" + kIdB + R"(","text":"no time"}])",
      "\xFF\xFE[",
  };
  for (const auto& json : unreadable) {
    settings = std::make_shared<MemorySettingsStore>();
    storeJson("codex", json);
    storeJson("extra.claude", json);
    settings->setStringList("deskwave.selectedTools", {"Claude"});

    std::unique_ptr<MessageStore> store;
    ASSERT_NO_THROW(store = std::make_unique<MessageStore>(settings)) << json;
    EXPECT_TRUE(store->codex.get().empty()) << json;
    EXPECT_TRUE(store->extra.get().empty()) << json;

    const auto m = message("fresh");
    store->insert(m, "codex");
    EXPECT_EQ(store->codex.get(), std::vector<Message>{m}) << json;
  }

  // A value of another kind than data is not a list either.
  settings = std::make_shared<MemorySettingsStore>();
  settings->setString("deskwave.mac.code", "[" + good + "]");
  EXPECT_TRUE(MessageStore(settings).code.get().empty());
}

TEST(MessageStorePersistenceTest, HistorySurvivesANewStore) {
  testing::TempHome home;
  const auto file = home.paths().settingsFile();
  const Message cursorMessage{kIdA, "typed at the desk", unixTime(1767225600.5), false};
  const Message claudeMessage{kIdB, "reply from \"Claude\"\n\u2713", unixTime(1767225601.25), true};
  {
    std::shared_ptr<SettingsStore> settings = SqliteSettingsStore::open(file);
    ASSERT_NE(settings, nullptr);
    settings->setStringList("deskwave.selectedTools", {"Cursor", "Claude"});
    MessageStore store(settings);
    store.insert(cursorMessage, "Cursor");
    store.insert(claudeMessage, "Claude");
    store.insert(claudeMessage, "claude");
  }
  std::shared_ptr<SettingsStore> reopened = SqliteSettingsStore::open(file);
  ASSERT_NE(reopened, nullptr);
  MessageStore store(reopened);
  EXPECT_EQ(store.cursor.get(), std::vector<Message>{cursorMessage});
  const std::map<std::string, std::vector<Message>> expected{{"Claude", {claudeMessage, claudeMessage}}};
  EXPECT_EQ(store.extra.get(), expected);
}

}  // namespace
}  // namespace deskwave
