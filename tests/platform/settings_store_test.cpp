#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "platform/file_append.h"

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

// What every typed getter reads for one stored value.
struct Reading {
  const char* name;
  SettingValue stored;
  std::optional<std::string> asString;
  bool asBool;
  std::int64_t asInt;
  StringList asList;
  std::optional<Bytes> asData;
};

const Reading kReadings[] = {
    {"text", std::string("caf\u00E9"), "caf\u00E9", false, 0, {}, std::nullopt},
    {"text with NUL", std::string("a\0b", 3), std::string("a\0b", 3), false, 0, {}, std::nullopt},
    {"empty text", std::string(), "", false, 0, {}, std::nullopt},
    {"true", true, std::nullopt, true, 1, {}, std::nullopt},
    {"false", false, std::nullopt, false, 0, {}, std::nullopt},
    {"zero", std::int64_t{0}, std::nullopt, false, 0, {}, std::nullopt},
    {"negative", std::int64_t{-42}, std::nullopt, true, -42, {}, std::nullopt},
    {"largest", std::numeric_limits<std::int64_t>::max(), std::nullopt, true,
     std::numeric_limits<std::int64_t>::max(), {}, std::nullopt},
    {"smallest", std::numeric_limits<std::int64_t>::min(), std::nullopt, true,
     std::numeric_limits<std::int64_t>::min(), {}, std::nullopt},
    {"list", StringList{"Cursor", "", "\u00C4rger", "quote \" back\\slash [1]"}, std::nullopt, false, 0,
     StringList{"Cursor", "", "\u00C4rger", "quote \" back\\slash [1]"}, std::nullopt},
    {"empty list", StringList{}, std::nullopt, false, 0, {}, std::nullopt},
    {"binary", Bytes{0, 1, 0, 255, 0}, std::nullopt, false, 0, {}, Bytes{0, 1, 0, 255, 0}},
    {"empty data", Bytes{}, std::nullopt, false, 0, {}, Bytes{}},
};

TEST_P(SettingsStoreTest, EveryGetterReadsEveryKindOfValue) {
  auto s = open();
  ASSERT_TRUE(s);
  for (const auto& r : kReadings) {
    SCOPED_TRACE(r.name);
    s->setValue(r.name, r.stored);
    // One shared key rewritten with each kind in turn: the new type replaces the old.
    s->setValue("shared", r.stored);
    for (const std::string_view key : {std::string_view(r.name), std::string_view("shared")}) {
      EXPECT_EQ(s->value(key), r.stored);
      EXPECT_TRUE(s->contains(key));
      EXPECT_EQ(s->getString(key), r.asString);
      EXPECT_EQ(s->getBool(key), r.asBool);
      EXPECT_EQ(s->getInt(key), r.asInt);
      EXPECT_EQ(s->getStringList(key), r.asList);
      EXPECT_EQ(s->getData(key), r.asData);
    }
  }
  // Each value kept its own key.
  for (const auto& r : kReadings) EXPECT_EQ(s->value(r.name), r.stored) << r.name;
  for (const auto& r : kReadings) s->remove(r.name);
  for (const auto& r : kReadings) EXPECT_FALSE(s->contains(r.name)) << r.name;
  EXPECT_TRUE(s->contains("shared"));
}

TEST_P(SettingsStoreTest, ConcurrentWritersAndReadersLoseNothing) {
  auto s = open();
  ASSERT_TRUE(s);
  constexpr int kThreads = 4;
  constexpr int kWrites = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kWrites; ++i) {
        const std::string key = "t" + std::to_string(t) + "." + std::to_string(i);
        s->setInt(key, t * 1000 + i);
        s->setStringList("list." + std::to_string(t), {key});
        (void)s->getStringList("list." + std::to_string((t + 1) % kThreads));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kWrites; ++i)
      EXPECT_EQ(s->getInt("t" + std::to_string(t) + "." + std::to_string(i)), t * 1000 + i);
    EXPECT_EQ(s->getStringList("list." + std::to_string(t)),
              StringList{"t" + std::to_string(t) + "." + std::to_string(kWrites - 1)});
  }
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

mode_t modeOf(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

// Sets the process umask for one test.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST_F(SqliteSettingsTest, StaysPrivateUnderAPermissiveUmaskIncludingTheLogFiles) {
  ScopedUmask permissive(0);
  auto store = SqliteSettingsStore::open(file());
  ASSERT_TRUE(store);
  store->setString("deskwave.token", "secret");
  EXPECT_EQ(modeOf(file()), 0600u);
  EXPECT_EQ(modeOf(file().parent_path()), 0700u);
  // The write-ahead log holds the same values as the database itself.
  for (const char* suffix : {"-wal", "-shm"}) {
    const auto side = file().string() + suffix;
    ASSERT_TRUE(std::filesystem::exists(side)) << side;
    EXPECT_EQ(modeOf(side), 0600u) << side;
  }
}

TEST_F(SqliteSettingsTest, TightensAnExistingFileAndFolder) {
  std::filesystem::create_directories(file().parent_path());
  std::ofstream(file()).close();  // an empty file is an empty database
  ::chmod(file().c_str(), 0644);
  ::chmod(file().parent_path().c_str(), 0755);
  auto store = SqliteSettingsStore::open(file());
  ASSERT_TRUE(store);
  EXPECT_EQ(modeOf(file()), 0600u);
  EXPECT_EQ(modeOf(file().parent_path()), 0700u);
  store->setBool("b", true);
  EXPECT_TRUE(store->getBool("b"));
}

TEST_F(SqliteSettingsTest, UnusablePathsAreReportedAndLeftAlone) {
  std::ofstream(home.path() / "plain-file") << "x";
  std::filesystem::create_directories(home.path() / "a-folder");
  const std::string junk = "this is a text file, not a database\n" + std::string(200, 'j');
  std::ofstream(home.path() / "notes.txt") << junk;

  const std::filesystem::path cases[] = {
      home.path() / "plain-file" / "settings.sqlite3",  // parent is a regular file
      home.path() / "a-folder",                          // the path is a folder
      home.path() / "notes.txt",                         // some other file
  };
  for (const auto& path : cases) {
    std::vector<std::string> errors;
    auto store = SqliteSettingsStore::open(path, [&](const std::string& e) { errors.push_back(e); });
    EXPECT_FALSE(store) << path;
    ASSERT_EQ(errors.size(), 1u) << path;
    EXPECT_NE(errors[0].find("Settings: cannot open " + path.string()), std::string::npos) << errors[0];
  }
  std::ifstream in(home.path() / "notes.txt");
  std::stringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(kept.str(), junk) << "a file that is not ours must not be changed";
}

TEST_F(SqliteSettingsTest, AnyMalformedStoredListReadsAsAbsent) {
  auto store = SqliteSettingsStore::open(file());
  ASSERT_TRUE(store);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file().c_str(), &db), SQLITE_OK);
  // What another program, an older version or a damaged disk may leave behind.
  const char* junk[] = {"'not json'", "''", "NULL", "X'FF00'", "'{\"a\":\"b\"}'", "'\"text\"'", "'[\"a\",1]'",
                        "'[[\"a\"]]'", "'[\"a\",null]'", "'[\"a\"'", "42"};
  for (const char* value : junk) {
    const std::string sql = std::string("INSERT OR REPLACE INTO settings VALUES ('list', 'list', ") + value + ")";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    EXPECT_FALSE(store->value("list")) << value;
    EXPECT_TRUE(store->getStringList("list").empty()) << value;
  }
  // A well-formed list written by another program reads normally.
  ASSERT_EQ(sqlite3_exec(db, "INSERT OR REPLACE INTO settings VALUES ('list', 'list', '[\"a\",\"\"]')", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(store->getStringList("list"), (StringList{"a", ""}));
}

TEST_F(SqliteSettingsTest, AListWithInvalidUtf8IsStoredNotThrown) {
  auto store = SqliteSettingsStore::open(file());
  ASSERT_TRUE(store);
  EXPECT_NO_THROW(store->setStringList("list", {"Cursor", "bad \xff\xfe name", "\u00C4rger"}));
  const auto list = store->getStringList("list");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], "Cursor");
  EXPECT_EQ(list[1], "bad \uFFFD\uFFFD name") << "each invalid byte becomes a replacement character";
  EXPECT_EQ(list[2], "\u00C4rger");
}

TEST_F(SqliteSettingsTest, FailuresAfterOpeningAreReported) {
  std::vector<std::string> errors;
  auto store = SqliteSettingsStore::open(file(), [&](const std::string& e) { errors.push_back(e); });
  ASSERT_TRUE(store);
  store->setString("k", "v");
  ASSERT_TRUE(errors.empty());
  // Another process removes the table underneath us.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE settings", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  store->setString("k", "w");
  EXPECT_EQ(errors.size(), 1u) << "a lost write is reported";
  EXPECT_FALSE(store->value("k"));
  EXPECT_EQ(errors.size(), 2u) << "a failed read is reported";
  store->remove("k");
  EXPECT_EQ(errors.size(), 3u);
  for (const auto& e : errors) EXPECT_EQ(e.rfind("Settings: ", 0), 0u) << e;
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

TEST(JsonDecodeTest, EachHelperAcceptsOnlyItsType) {
  enum Kind { string, boolean, number, null, other };
  const std::pair<const char*, Kind> values[] = {
      {R"("x")", string}, {R"("")", string}, {"true", boolean}, {"false", boolean}, {"3", number},
      {"-1.5", number}, {"null", null}, {"[]", other}, {"{}", other}, {R"(["x"])", other},
  };
  for (const auto& [literal, kind] : values) {
    SCOPED_TRACE(literal);
    const std::string text = std::string(R"({"other":1,"k":)") + literal + "}";
    auto decodes = [&](auto helper) {
      return json::parse(text, [&](const nlohmann::json& j) { return (helper(j, "k"), true); }).has_value();
    };
    EXPECT_EQ(decodes(json::requireString), kind == string);
    EXPECT_EQ(decodes(json::requireBool), kind == boolean);
    EXPECT_EQ(decodes(json::requireNumber), kind == number);
    EXPECT_EQ(decodes(json::optionalString), kind == string || kind == null);
    EXPECT_EQ(decodes(json::optionalBool), kind == boolean || kind == null);
  }
  const auto decimal = json::parse(R"({"n":-1.5})", [](const nlohmann::json& j) { return json::requireNumber(j, "n"); });
  EXPECT_EQ(decimal, -1.5);
  const auto flag = json::parse(R"({"b":false})", [](const nlohmann::json& j) { return json::optionalBool(j, "b"); });
  ASSERT_TRUE(flag);
  EXPECT_EQ(*flag, std::optional<bool>(false));
  // Bad JSON of any kind fails as a whole.
  for (const char* bad : {"", "{\"k\":", "{\"k\":1}}", "{'k':1}", "nul", "{\"k\":\"\xff\"}"})
    EXPECT_FALSE(json::parse(bad, [](const nlohmann::json&) { return true; })) << bad;
}

TEST(FileWriteTest, NewFilesArePrivateAndNeverReplaced) {
  testing::TempHome home;
  ScopedUmask permissive(0);
  const auto file = home.path() / "reply.txt";
  EXPECT_EQ(writeNewFile(file, "first"), NewFileResult::written);
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(writeNewFile(file, "second"), NewFileResult::exists);
  EXPECT_EQ(writeNewFile(home.path() / "missing" / "x.txt", "x"), NewFileResult::failed);
  EXPECT_EQ(writeNewFile(home.path() / "empty.txt", ""), NewFileResult::written);
  EXPECT_TRUE(std::filesystem::exists(home.path() / "empty.txt"));

  const auto log = home.path() / "debug.log";
  EXPECT_TRUE(appendToFile(log, "one\n"));
  EXPECT_EQ(modeOf(log), 0600u);
  EXPECT_TRUE(appendToFile(log, std::string("two\0\n", 5)));
  EXPECT_TRUE(appendToFile(file, "+"));
  EXPECT_FALSE(appendToFile(home.path() / "missing" / "x.log", "x"));
  EXPECT_FALSE(appendToFile(home.path(), "x")) << "a folder cannot be appended to";

  auto read = [](const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  };
  EXPECT_EQ(read(file), "first+");
  EXPECT_EQ(read(log), std::string("one\ntwo\0\n", 9));
}

}  // namespace
}  // namespace deskwave
