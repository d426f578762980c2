#include <gmock/gmock.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/file_secret_store.h"
#include "platform/libsecret_store.h"
#include "platform/open_secret_store.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StartsWith;

unsigned modeOf(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return 0xFFFF;
  return st.st_mode & 0777;
}

std::string readText(const fs::path& file) {
  std::ifstream in(file);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& file, const std::string& text, unsigned mode) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
  ::chmod(file.c_str(), mode);
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      ::setenv(name, value, 1);
    else
      ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct FileSecretStoreTest : ::testing::Test {
  TempHome home;
  fs::path file = secretsFile(home.paths().configDir);
  std::vector<std::string> logged;
  FileSecretStore::Log log = [this](const std::string& line) { logged.push_back(line); };
  FileSecretStore store{file, log};

  std::vector<fs::path> folderEntries() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(file.parent_path())) out.push_back(e.path().filename());
    return out;
  }
};

TEST_F(FileSecretStoreTest, KeepsValuesAcrossInstancesAndRemovesThem) {
  EXPECT_EQ(file, home.path() / ".config/deskwave/secrets.json");
  EXPECT_EQ(store.get("idToken"), std::nullopt);
  EXPECT_FALSE(fs::exists(file)) << "reading creates nothing";

  store.set("eyJ.first", "idToken");
  store.set("refresh-ü-✓", "refreshToken");
  store.set("eyJ.second", "idToken");
  EXPECT_EQ(store.get("idToken"), "eyJ.second");

  FileSecretStore again(file);
  EXPECT_EQ(again.get("idToken"), "eyJ.second");
  EXPECT_EQ(again.get("refreshToken"), "refresh-ü-✓");
  EXPECT_EQ(nlohmann::json::parse(readText(file)),
            (nlohmann::json{{"idToken", "eyJ.second"}, {"refreshToken", "refresh-ü-✓"}}));

  again.remove("idToken");
  again.remove("never stored");
  EXPECT_EQ(store.get("idToken"), std::nullopt);
  EXPECT_EQ(store.get("refreshToken"), "refresh-ü-✓");
  EXPECT_THAT(folderEntries(), ElementsAre("secrets.json")) << "no temporary file is left behind";
  EXPECT_THAT(logged, IsEmpty());
}

TEST_F(FileSecretStoreTest, FileIsCreatedAndKeptReadableByItsOwnerOnly) {
  ::umask(022);
  store.set("one", "a");
  EXPECT_EQ(modeOf(file), 0600u);
  store.set("two", "b");
  EXPECT_EQ(modeOf(file), 0600u);

  ::chmod(file.c_str(), 0644);
  EXPECT_EQ(store.get("a"), "one");
  EXPECT_EQ(modeOf(file), 0600u) << "a file found readable by others is tightened when read";
  ::chmod(file.c_str(), 0664);
  EXPECT_EQ(store.get("a"), "one");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_THAT(logged, SizeIs(1)) << "tightening is logged once";
  EXPECT_THAT(logged, ElementsAre(HasSubstr("readable by others")));
}

TEST_F(FileSecretStoreTest, CorruptFileReadsAsEmptyAndIsReplacedOnTheNextChange) {
  const std::vector<std::string> corrupt = {"", "{\"idToken\": \"tru", "[\"eyJ\"]", "{\"idToken\": 42}",
                                            "\"just text\""};
  for (const auto& text : corrupt) {
    SCOPED_TRACE(text);
    logged.clear();
    FileSecretStore fresh(file, log);
    writeText(file, text, 0600);
    EXPECT_EQ(fresh.get("idToken"), std::nullopt);
    EXPECT_EQ(fresh.get("idToken"), std::nullopt);
    EXPECT_THAT(logged, ElementsAre(HasSubstr("corrupt"))) << "logged once";

    fresh.set("eyJ.new", "refreshToken");
    EXPECT_EQ(nlohmann::json::parse(readText(file)), (nlohmann::json{{"refreshToken", "eyJ.new"}}));
    EXPECT_EQ(modeOf(file), 0600u);

    writeText(file, text, 0600);
    fresh.remove("idToken");
    EXPECT_EQ(nlohmann::json::parse(readText(file)), nlohmann::json::object())
        << "removing from a corrupt file leaves a valid, empty one";
  }
}

TEST_F(FileSecretStoreTest, AFolderThatCannotBeWrittenIsLoggedOnce) {
  writeText(home.path() / "blocked", "a file where the folder should be", 0600);
  FileSecretStore blocked(home.path() / "blocked" / "secrets.json", log);
  blocked.set("eyJ", "idToken");
  blocked.set("eyJ", "idToken");
  EXPECT_EQ(blocked.get("idToken"), std::nullopt);
  EXPECT_THAT(logged, ElementsAre(StartsWith("Secrets: cannot write")));
}

TEST(OpenSecretStoreTest, FallsBackToTheFileWhenNoKeyringAnswers) {
  TempHome home;
  const auto file = secretsFile(home.paths().configDir);
  const auto runtimeDir = home.path() / "run";
  fs::create_directories(runtimeDir);
  const std::string nowhere = "unix:path=" + (home.path() / "no-bus").string();
  struct Case {
    const char* what;
    const char* busAddress;
    const char* expectedWhy;
  };
  const std::vector<Case> cases = {
      {"a bus address pointing to nothing", nowhere.c_str(), "no session bus: "},
      {"no bus configured at all", nullptr, "no session bus"},
  };
  ScopedEnv runtime("XDG_RUNTIME_DIR", runtimeDir.c_str());
  ScopedEnv display("DISPLAY", nullptr);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", c.busAddress);
    std::vector<std::string> logged;
    auto store = openSecretStore([&](const std::string& line) { logged.push_back(line); }, file,
                                 std::chrono::milliseconds(500));
    auto* fileStore = dynamic_cast<FileSecretStore*>(store.get());
    ASSERT_NE(fileStore, nullptr);
    EXPECT_EQ(fileStore->file(), file);
    ASSERT_THAT(logged, SizeIs(1));
    EXPECT_THAT(logged[0], StartsWith("Secrets: kept in " + file.string() + " (no keyring answered: " +
                                      c.expectedWhy));
    store->set("eyJ", "idToken");
    EXPECT_EQ(store->get("idToken"), "eyJ");
  }
}

}  // namespace
}  // namespace deskwave::testing
