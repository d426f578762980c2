#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace deskwave::testing {

// A state database shaped like Cursor's (ItemTable and cursorDiskKV), written
// by the test through its own connection.
class CursorStateWriter {
 public:
  CursorStateWriter() = default;
  ~CursorStateWriter() { sqlite3_close(db); }
  CursorStateWriter(const CursorStateWriter&) = delete;
  CursorStateWriter& operator=(const CursorStateWriter&) = delete;

  // Creates the folder and the database with both tables, or only with `tables`.
  void open(const std::filesystem::path& path,
            const std::string& tables =
                "CREATE TABLE IF NOT EXISTS ItemTable(key TEXT PRIMARY KEY, value BLOB);"
                "CREATE TABLE IF NOT EXISTS cursorDiskKV(key TEXT PRIMARY KEY, value BLOB);") {
    sqlite3_close(db);
    db = nullptr;
    file = path;
    std::filesystem::create_directories(file.parent_path());
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    exec(tables);
  }
  void exec(const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql << ": " << sqlite3_errmsg(db);
  }
  // Stores `value` as text, or NULL when absent.
  void put(const std::string& table, const std::string& key, const std::optional<std::string>& value) {
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, ("INSERT OR REPLACE INTO " + table + " VALUES(?, ?)").c_str(), -1, &s, nullptr),
              SQLITE_OK);
    sqlite3_bind_text(s, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    if (value)
      sqlite3_bind_text(s, 2, value->c_str(), -1, SQLITE_TRANSIENT);
    else
      sqlite3_bind_null(s, 2);
    ASSERT_EQ(sqlite3_step(s), SQLITE_DONE);
    sqlite3_finalize(s);
  }
  void headers(const nlohmann::json& doc) { put("ItemTable", "composer.composerHeaders", doc.dump()); }
  // A message: `extra` members are added to the record (a tool call's data).
  void bubble(const std::string& convo, const std::string& id, int type, const std::string& text,
              const std::string& createdAt, const nlohmann::json& extra = nlohmann::json::object()) {
    nlohmann::json record = {{"_v", 3}, {"bubbleId", id}, {"type", type}, {"text", text}, {"createdAt", createdAt}};
    record.update(extra);
    put("cursorDiskKV", "bubbleId:" + convo + ":" + id, record.dump());
  }
  void rawBubble(const std::string& convo, const std::string& id, const std::optional<std::string>& value) {
    put("cursorDiskKV", "bubbleId:" + convo + ":" + id, value);
  }
  // The conversation's record ("composerData:<id>"), stored as given.
  void composer(const std::string& convo, const std::optional<std::string>& value) {
    put("cursorDiskKV", "composerData:" + convo, value);
  }
  // A record like Cursor's while a turn runs or after it: the status, the
  // bubbles being written, and the bulk a real record carries.
  static std::string composerRecord(const std::string& convo, const char* status,
                                    const nlohmann::json& generating = nlohmann::json::array()) {
    nlohmann::json record = {
        {"_v", 3},
        {"composerId", convo},
        {"richText", R"({"root":{"children":[{"type":"paragraph"}]}})"},
        {"context", {{"fileSelections", nlohmann::json::array()}, {"folderSelections", nlohmann::json::array()}}},
        {"fullConversationHeadersOnly", nlohmann::json::array({{{"bubbleId", "u1"}, {"type", 1}}})},
        {"createdAt", 1772355600000LL},
        {"lastUpdatedAt", 1772355660000LL},
    };
    if (status) record["status"] = status;
    if (!generating.is_null()) record["generatingBubbleIds"] = generating;
    return record.dump();
  }

  std::filesystem::path file;
  sqlite3* db = nullptr;
};

// The members a tool bubble carries, in both forms Cursor writes.
inline nlohmann::json toolFormer(const std::string& name) {
  return {{"toolFormerData",
           {{"tool", 5},
            {"name", name},
            {"status", "completed"},
            {"rawArgs", R"({"target_file":"src/parser.cpp"})"},
            {"result", {{"contents", "int main() {}"}, {"lines", {1, 2, 3}}}}}}};
}
inline nlohmann::json capability(int type) { return {{"capabilityType", type}}; }

}  // namespace deskwave::testing
