#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/json_decode.h"
#include "platform/memory_settings_store.h"
#include "platform/sqlite_settings_store.h"
#include "support/temp_home.h"

namespace deskwave {
namespace {

enum class Backend { memory, sqlite };

class SettingsStoreTest : public ::testing::TestWithParam<Backend> {
 protected:
  std::filesystem::path file() const { return home.path() / ".config" / "deskwave" / "settings.sqlite3"; }
  std::shared_ptr<SettingsStore> open() {
    if (GetParam() == Backend::memory) return std::make_shared<MemorySettingsStore>();
    return SqliteSettingsStore::open(file());
  }
  testing::TempHome home;
};

TEST_P(SettingsStoreTest, TypedValuesAndDefaults) {
  auto s = open();
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->getString("k"));
  EXPECT_FALSE(s->getBool("k"));
  EXPECT_EQ(s->getInt("k"), 0);
  EXPECT_TRUE(s->getStringList("k").empty());
  EXPECT_FALSE(s->getData("k"));

  s->setString("str", "caf\u00E9");
  s->setString("empty", "");
  s->setBool("yes", true);
  s->setInt("num", -42);
  s->setStringList("list", {"Cursor", "", "\u00C4rger"});
  s->setData("blob", Bytes{0, 1, 0, 255});
  s->setData("none", Bytes{});

  EXPECT_EQ(s->getString("str"), "caf\u00E9");
  EXPECT_EQ(s->getString("empty"), "");
  EXPECT_TRUE(s->getBool("yes"));
  EXPECT_EQ(s->getInt("yes"), 1) << "a boolean reads as an integer";
  EXPECT_EQ(s->getInt("num"), -42);
  EXPECT_TRUE(s->getBool("num")) << "a non-zero integer reads as true";
  EXPECT_EQ(s->getStringList("list"), (StringList{"Cursor", "", "\u00C4rger"}));
  EXPECT_EQ(s->getData("blob"), (Bytes{0, 1, 0, 255}));
  EXPECT_EQ(s->getData("none"), Bytes{});
  // Other mismatched types read as absent.
  EXPECT_FALSE(s->getString("num"));
  EXPECT_FALSE(s->getData("str"));
  EXPECT_TRUE(s->getStringList("str").empty());
  EXPECT_FALSE(s->getBool("str"));

  s->setBool("yes", false);
  EXPECT_FALSE(s->getBool("yes"));
  s->remove("str");
  s->remove("never-there");
  EXPECT_FALSE(s->contains("str"));
  s->flush();
  EXPECT_TRUE(s->contains("list"));
}

INSTANTIATE_TEST_SUITE_P(Backends, SettingsStoreTest, ::testing::Values(Backend::memory, Backend::sqlite));

class SqliteSettingsTest : public ::testing::Test {
 protected:
  std::filesystem::path file() const { return home.path() / ".config" / "deskwave" / "settings.sqlite3"; }
  testing::TempHome home;
};

TEST_F(SqliteSettingsTest, PersistsPrivatelyAndIsSharedBetweenInstances) {
  auto first = SqliteSettingsStore::open(file());
  ASSERT_TRUE(first);
  auto second = SqliteSettingsStore::open(file());
  ASSERT_TRUE(second);
  first->setStringList("deskwave.selectedTools", {"Cursor"});
  EXPECT_EQ(second->getStringList("deskwave.selectedTools"), StringList{"Cursor"}) << "another process sees it at once";
  second->setBool("deskwave.keepAwake", true);
  EXPECT_TRUE(first->getBool("deskwave.keepAwake"));
  first.reset();
  second.reset();

  auto reopened = SqliteSettingsStore::open(file());
  EXPECT_EQ(reopened->getStringList("deskwave.selectedTools"), StringList{"Cursor"});
  struct stat st {};
  ASSERT_EQ(::stat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(file().parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SqliteSettingsTest, AnUnusablePathIsReportedNotFatal) {
  std::ofstream(home.path() / "plain-file") << "x";
  std::vector<std::string> errors;
  auto store = SqliteSettingsStore::open(home.path() / "plain-file" / "settings.sqlite3",
                                        [&](const std::string& e) { errors.push_back(e); });
  EXPECT_FALSE(store);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("Settings: cannot open"), std::string::npos);
}

TEST_F(SqliteSettingsTest, ACorruptStoredListReadsAsEmpty) {
  auto store = SqliteSettingsStore::open(file());
  store->setStringList("list", {"a"});
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE settings SET value = 'not json' WHERE key = 'list';"
                             "INSERT INTO settings VALUES ('odd', 'mystery', 'x');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  EXPECT_TRUE(store->getStringList("list").empty());
  EXPECT_FALSE(store->contains("odd")) << "an unknown type reads as absent";
}

TEST(JsonDecodeTest, RequiredKeysMustBePresentAndTyped) {
  const auto parsed = json::parse(R"({"a":"x","b":true,"n":null,"extra":[1]})", [](const nlohmann::json& j) {
    return std::make_tuple(json::requireString(j, "a"), json::requireBool(j, "b"), json::optionalString(j, "n"),
                           json::optionalString(j, "missing"));
  });
  ASSERT_TRUE(parsed);
  EXPECT_EQ(std::get<0>(*parsed), "x");
  EXPECT_TRUE(std::get<1>(*parsed));
  EXPECT_FALSE(std::get<2>(*parsed)) << "null reads as absent";
  EXPECT_FALSE(std::get<3>(*parsed));

  auto requireA = [](const nlohmann::json& j) { return json::requireString(j, "a"); };
  EXPECT_FALSE(json::parse(R"({"a":1})", requireA));
  EXPECT_FALSE(json::parse(R"({"b":"x"})", requireA));
  EXPECT_FALSE(json::parse(R"(["a"])", requireA));
  EXPECT_FALSE(json::parse("{", requireA));
  EXPECT_FALSE(json::parse(R"({"a":"x","o":5})", [](const nlohmann::json& j) { return json::optionalString(j, "o"); }));
}

}  // namespace
}  // namespace deskwave
