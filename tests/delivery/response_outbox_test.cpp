#include "delivery/response_outbox.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "delivery/outbox_item.h"
#include "platform/text.h"
#include "platform/uuid.h"

namespace deskwave {
namespace {

std::vector<std::string> textsOf(const std::vector<OutboxItem>& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item.text);
  return out;
}

std::vector<std::string> numbered(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) out.push_back("reply " + std::to_string(i));
  return out;
}

// --- The queue -------------------------------------------------------------

TEST(ResponseOutboxTest, AddQueuesItemUnderFreshUpperCaseUuid) {
  ResponseOutbox outbox;
  const auto first = outbox.add("Cursor", "same words", "assistant");
  const auto second = outbox.add("Claude", "same words", "user");

  EXPECT_EQ(first.target, "Cursor");
  EXPECT_EQ(first.text, "same words");
  EXPECT_EQ(first.role, "assistant");
  EXPECT_EQ(second.role, "user");
  for (const auto& item : {first, second}) {
    EXPECT_TRUE(isCanonicalUuid(item.id)) << item.id;
    EXPECT_EQ(item.id, uppercasedAscii(item.id));
  }
  EXPECT_NE(first.id, second.id) << "identical texts must still be separate items";
  EXPECT_EQ(outbox.pending(), (std::vector<OutboxItem>{first, second}));
}

TEST(ResponseOutboxTest, KeepsTheNewestHundredOldestFirst) {
  ResponseOutbox outbox;
  std::vector<OutboxItem> added;
  for (const auto& text : numbered(0, 150)) added.push_back(outbox.add("Cursor", text, "assistant"));

  const auto pending = outbox.pending();
  ASSERT_EQ(pending.size(), 100u);
  EXPECT_EQ(textsOf(pending), numbered(50, 150));
  EXPECT_EQ(pending, std::vector<OutboxItem>(added.begin() + 50, added.end()));
}

TEST(ResponseOutboxTest, AckRemovesExactlyTheListedIds) {
  ResponseOutbox outbox;
  std::vector<OutboxItem> items;
  for (const auto& text : numbered(0, 5)) items.push_back(outbox.add("Codex", text, "assistant"));

  outbox.ack({});
  EXPECT_EQ(outbox.pending(), items) << "an empty acknowledgement removes nothing";

  outbox.ack({"00000000-0000-4000-8000-000000000000", "not an id", ""});
  EXPECT_EQ(outbox.pending(), items) << "unknown ids remove nothing";

  outbox.ack({items[3].id, "unknown", items[1].id, items[3].id});
  EXPECT_EQ(outbox.pending(), (std::vector<OutboxItem>{items[0], items[2], items[4]}));

  outbox.ack({items[0].id, items[2].id, items[4].id});
  EXPECT_TRUE(outbox.pending().empty());
}

TEST(ResponseOutboxTest, PendingIsASnapshot) {
  ResponseOutbox outbox;
  const auto kept = outbox.add("Cursor", "one", "assistant");
  const auto snapshot = outbox.pending();

  outbox.ack({kept.id});
  outbox.add("Cursor", "two", "assistant");

  EXPECT_EQ(snapshot, std::vector<OutboxItem>{kept});
  EXPECT_EQ(textsOf(outbox.pending()), std::vector<std::string>{"two"});
}

// Several threads add, acknowledge and read at once. Each thread finally
// acknowledges every id it added, so the queue must end up empty; a missing
// lock shows up as a lost or resurrected item, or under a sanitizer.
TEST(ResponseOutboxTest, ConcurrentAddAckAndPending) {
  ResponseOutbox outbox;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 300;
  std::vector<std::vector<std::string>> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto& mine = ids[t];
      for (int i = 0; i < kPerThread; ++i) {
        mine.push_back(outbox.add("Cursor", std::to_string(t) + "/" + std::to_string(i), "assistant").id);
        if (i % 10 == 9) outbox.ack({mine[mine.size() - 5], mine[mine.size() - 3]});
        if (i % 7 == 0) {
          const auto snapshot = outbox.pending();
          if (snapshot.size() > ResponseOutbox::kMaxItems) ADD_FAILURE() << "queue grew to " << snapshot.size();
        }
      }
      outbox.ack(mine);
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_TRUE(outbox.pending().empty());
  std::set<std::string> unique;
  for (const auto& list : ids) unique.insert(list.begin(), list.end());
  EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

// --- JSON ------------------------------------------------------------------

TEST(OutboxItemJsonTest, EncodesExactlyTheFourKeysAndDecodesBack) {
  const OutboxItem item{"2F1C8A40-9B7E-4D2A-8C1B-0E5F6A7B8C9D", "Claude", "line \"one\"\nline two \u00E9", "user"};
  const auto object = nlohmann::json::parse(item.toJson());
  EXPECT_EQ(object, (nlohmann::json{{"id", item.id}, {"target", "Claude"}, {"text", item.text}, {"role", "user"}}));
  EXPECT_EQ(OutboxItem::fromJson(item.toJson()), item);
}

TEST(OutboxItemJsonTest, DecodingNeedsEveryFieldAsAString) {
  struct Case {
    const char* json;
    bool decodes;
  };
  const Case cases[] = {
      {R"({"id":"A","target":"Cursor","text":"hi","role":"assistant"})", true},
      {R"({"id":"A","target":"Cursor","text":"hi","role":"assistant","extra":[1,2],"n":null})", true},
      {R"({"id":"A","target":"Cursor","text":"hi"})", false},
      {R"({"id":"A","target":"Cursor","text":"hi","role":null})", false},
      {R"({"id":"A","target":"Cursor","text":"hi","role":1})", false},
      {R"({"id":"A","target":"Cursor","text":"hi","role":["assistant"]})", false},
      {R"({"target":"Cursor","text":"hi","role":"assistant"})", false},
      {R"({"id":"A","text":"hi","role":"assistant"})", false},
      {R"({"id":"A","target":"Cursor","role":"assistant"})", false},
      {R"({"id":7,"target":"Cursor","text":"hi","role":"assistant"})", false},
      {R"([{"id":"A","target":"Cursor","text":"hi","role":"assistant"}])", false},
      {R"({"id":"A","target":"Cursor","text":"hi","role":"assistant")", false},
      {"", false},
  };
  for (const auto& c : cases) {
    const auto decoded = OutboxItem::fromJson(c.json);
    EXPECT_EQ(decoded.has_value(), c.decodes) << c.json;
    if (decoded) {
      EXPECT_EQ(*decoded, (OutboxItem{"A", "Cursor", "hi", "assistant"})) << c.json;
    }
  }
}

// A captured reply may be cut in the middle of a UTF-8 sequence; it must still
// encode, with the broken bytes replaced, rather than throw.
TEST(OutboxItemJsonTest, InvalidUtf8TextStillEncodes) {
  const OutboxItem item{"2F1C8A40-9B7E-4D2A-8C1B-0E5F6A7B8C9D", "Cursor", "cut \xE2\x82", "assistant"};

  std::string single;
  ASSERT_NO_THROW(single = item.toJson());
  const auto decoded = OutboxItem::fromJson(single);
  ASSERT_TRUE(decoded.has_value()) << single;
  EXPECT_EQ(decoded->text, "cut \uFFFD");
  EXPECT_EQ(decoded->id, item.id);

  std::string list;
  ASSERT_NO_THROW(list = outboxItemsToJson({item, item}));
  const auto array = nlohmann::json::parse(list);
  ASSERT_EQ(array.size(), 2u);
  EXPECT_EQ(array[1]["text"], "cut \uFFFD");
}

TEST(OutboxItemJsonTest, ListEncodesItemsInOrder) {
  ResponseOutbox outbox;
  outbox.add("Cursor", "first", "assistant");
  outbox.add("Codex", "second", "user");
  const auto items = outbox.pending();

  const auto array = nlohmann::json::parse(outboxItemsToJson(items));
  ASSERT_TRUE(array.is_array());
  ASSERT_EQ(array.size(), 2u);
  for (std::size_t i = 0; i < items.size(); ++i) EXPECT_EQ(OutboxItem::fromJson(array[i].dump()), items[i]) << i;
  EXPECT_EQ(outboxItemsToJson({}), "[]");
}

}  // namespace
}  // namespace deskwave
