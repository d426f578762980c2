#include "tools/ai_tool_store.h"

#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include "platform/memory_settings_store.h"
#include "platform/virtual_time.h"
#include "support/fake_http_client.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

using Names = std::vector<std::string>;

// Answers the dialog when the test says so.
class FakePicker final : public AppPicker {
 public:
  void pickApplication(const AppPickRequest& request, Done done) override {
    requests.push_back(request);
    pending = std::move(done);
  }
  void choose(std::optional<std::string> path) {
    auto done = std::move(pending);
    pending = nullptr;
    done(std::move(path));
  }
  std::vector<AppPickRequest> requests;
  Done pending;
};

// The relay's answer to one scan.
struct RelayAnswer {
  int status = 200;  // 0: the request fails in transport
  Names tools;
  std::string rawBody;  // used instead of `tools` when set
};

struct StoreFixture : ::testing::Test {
  TempHome home;
  std::shared_ptr<VirtualTime> time = VirtualTime::create();
  Runtime rt = time->runtime();
  std::shared_ptr<FakeHttpClient> http = std::make_shared<FakeHttpClient>();
  std::shared_ptr<MemorySettingsStore> settings = std::make_shared<MemorySettingsStore>();
  std::shared_ptr<FakePicker> picker = std::make_shared<FakePicker>();
  std::shared_ptr<const AppScanner> scanner = std::make_shared<AppScanner>(
      http, "http://127.0.0.1:8080/scan", [] { return Names{"Cursor", "Zed", "Files"}; }, [](const std::string&) {});
  std::shared_ptr<AIToolStore> store = AIToolStore::create(rt, settings, scanner, picker);

  void answer(const RelayAnswer& a) {
    time->runUntilIdle();
    ASSERT_FALSE(http->pending.empty()) << "no scan was sent";
    if (a.status == 0)
      http->fail("Could not connect to the server.");
    else
      http->respond(a.status, a.rawBody.empty() ? nlohmann::json{{"tools", a.tools}}.dump() : a.rawBody);
    time->runUntilIdle();
  }
  void load(const Names& previous, const RelayAnswer& a, bool selectAll = false) {
    bool done = false;
    store->load(previous, selectAll, [&] { done = true; });
    answer(a);
    ASSERT_TRUE(done);
  }
  Names list(const char* key) const { return settings->getStringList(key); }
  std::set<std::string> selected() const { return store->selected.get(); }
};

TEST_F(StoreFixture, LoadCombinesScanPreviousSelectionAndHandEdits) {
  struct Case {
    const char* what;
    Names manual, removed, previous;
    RelayAnswer relay;
    Names tools;
    std::set<std::string> selected;
    bool selectAll = false;
  };
  const std::vector<Case> cases = {
      {"a deleted tool returned in another letter case stays hidden", {}, {"cURSOR"}, {}, {200, {"Cursor", "Zed"}},
       {"Zed"}, {}},
      {"a previous tool the relay no longer returns stays listed and ticked", {}, {}, {"Windsurf", "Zed"},
       {200, {"Zed", "Cursor"}}, {"Cursor", "Zed", "Windsurf"}, {"Windsurf", "Zed"}},
      {"a previous tool that was deleted is dropped", {}, {"WINDSURF"}, {"Windsurf"}, {200, {"Cursor"}}, {"Cursor"},
       {}},
      {"a hand-added tool the relay returns is listed once, as the relay spells it, and stays ticked",
       {"cursor", "Aider"}, {}, {"Aider", "cursor"}, {200, {"Zed", "Cursor"}}, {"Cursor", "Zed", "Aider"},
       {"Aider", "Cursor"}},
      {"a hand-added tool is never hidden by the removed list", {"Aider"}, {"aider"}, {}, {200, {}}, {"Aider"}, {}},
      {"this program is never listed", {}, {}, {}, {200, {"deskwave", "Cursor", "Deskwave"}}, {"Cursor"}, {}},
      {"letter case is compared by full case folding", {}, {"STRASSE"}, {}, {200, {"Straße", "Zed"}}, {"Zed"}, {}},
      {"a name the relay repeats in another case is listed once", {}, {}, {"zed"}, {200, {"Zed", "zed"}}, {"Zed"},
       {"Zed"}},
      {"relay down with nothing else: empty and failed", {}, {}, {}, {0, {}}, {}, {}},
      {"relay error: previous and hand-added tools remain", {"Aider"}, {}, {"Cursor"}, {500, {"Zed"}},
       {"Cursor", "Aider"}, {"Cursor"}},
      {"undecodable answer: previous and hand-added tools remain", {"Aider"}, {}, {"Cursor"},
       {200, {}, "<html>gateway</html>"}, {"Cursor", "Aider"}, {"Cursor"}},
      {"select all ticks every listed tool", {"Aider"}, {}, {"Cursor"}, {200, {"Zed"}}, {"Zed", "Cursor", "Aider"},
       {"Zed", "Cursor", "Aider"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    settings->setStringList(AIToolStore::manualKey, c.manual);
    settings->setStringList(AIToolStore::removedKey, c.removed);
    store = AIToolStore::create(rt, settings, scanner, picker);
    EXPECT_TRUE(store->loading.get());
    store->load(c.previous, c.selectAll);
    EXPECT_TRUE(store->loading.get());
    EXPECT_THAT(store->manualSet.get(), UnorderedElementsAreArray(c.manual)) << "known before the scan ends";
    answer(c.relay);
    EXPECT_FALSE(store->loading.get());
    EXPECT_THAT(store->tools.get(), ElementsAreArray(c.tools));
    EXPECT_EQ(selected(), c.selected);
    EXPECT_EQ(store->failed.get(), c.tools.empty());
    const bool scanWorked = c.relay.status == 200 && c.relay.rawBody.empty();
    EXPECT_EQ(store->lastScanError().has_value(), !scanWorked) << "the scan's outcome is kept";
    EXPECT_EQ(list(AIToolStore::removedKey), c.removed) << "loading writes nothing";
  }
}

TEST_F(StoreFixture, SelectionFollowsTheListOrder) {
  load({}, {200, {"Zed", "Cursor", "Codex"}});
  EXPECT_FALSE(store->allSelected());
  store->toggle("Zed");
  store->toggle("Cursor");
  EXPECT_THAT(store->selectedTools(), ElementsAre("Cursor", "Zed"));
  store->toggle("Codex");
  EXPECT_TRUE(store->allSelected());
  store->toggle("Cursor");
  EXPECT_THAT(store->selectedTools(), ElementsAre("Codex", "Zed"));
  EXPECT_FALSE(store->allSelected());

  load({}, {0, {}});
  EXPECT_FALSE(store->allSelected()) << "an empty list is never all selected";
}

TEST_F(StoreFixture, DeletedToolComesBackOnlyWhenAddedByHand) {
  load({"Cursor"}, {200, {"Cursor", "Zed"}});
  store->deleteTool("Cursor");
  EXPECT_THAT(store->tools.get(), ElementsAre("Zed"));
  EXPECT_THAT(selected(), IsEmpty());
  EXPECT_THAT(list(AIToolStore::removedKey), ElementsAre("Cursor"));
  EXPECT_THAT(list(AIToolStore::manualKey), IsEmpty());

  load({"Cursor"}, {200, {"Zed", "cursor"}});
  EXPECT_THAT(store->tools.get(), ElementsAre("Zed")) << "hidden from the scan and from the previous selection";

  store->addApp();
  ASSERT_EQ(picker->requests.size(), 1u);
  EXPECT_EQ(picker->requests[0].message, "Pick an AI coding app");
  EXPECT_EQ(picker->requests[0].confirmLabel, "Add");
  EXPECT_EQ(picker->requests[0].startFolder, std::filesystem::path("/usr/share/applications"));
  picker->choose("/opt/apps/CURSOR.AppImage");
  time->runUntilIdle();
  EXPECT_THAT(store->tools.get(), ElementsAre("Zed", "CURSOR"));
  EXPECT_THAT(store->selectedTools(), ElementsAre("CURSOR"));
  EXPECT_THAT(store->manualSet.get(), ElementsAre("CURSOR"));
  EXPECT_THAT(list(AIToolStore::manualKey), ElementsAre("CURSOR"));
  EXPECT_THAT(list(AIToolStore::removedKey), IsEmpty());

  load({}, {200, {"Cursor", "Zed"}});
  EXPECT_THAT(store->tools.get(), ElementsAre("Cursor", "Zed")) << "listed once, as the relay spells it";
  EXPECT_GT(settings->flushCount(), 0);
}

TEST_F(StoreFixture, DeletingHandAddedToolForgetsItDeletingDetectedOneHidesIt) {
  settings->setStringList(AIToolStore::manualKey, {"Aider", "Tabby"});
  load({"Aider", "Zed"}, {200, {"Zed", "Cursor"}});

  store->deleteTool("Aider");
  EXPECT_THAT(list(AIToolStore::manualKey), ElementsAre("Tabby"));
  EXPECT_THAT(list(AIToolStore::removedKey), IsEmpty()) << "a hand-added tool is forgotten, not hidden";
  EXPECT_THAT(store->manualSet.get(), ElementsAre("Tabby"));

  store->deleteTool("Zed");
  store->deleteTool("zed");  // the same tool in another case is not stored twice
  EXPECT_THAT(list(AIToolStore::removedKey), ElementsAre("Zed"));
  EXPECT_THAT(store->tools.get(), ElementsAre("Cursor", "Tabby"));
  EXPECT_THAT(selected(), IsEmpty());

  load({"Aider", "Zed"}, {200, {"Zed", "Cursor"}});
  EXPECT_THAT(store->tools.get(), ElementsAre("Cursor", "Aider", "Tabby"))
      << "the forgotten hand-added tool remains only as a previous selection";
}

TEST_F(StoreFixture, DeletingHandAddedToolTheRelayAlsoReportsKeepsItGone) {
  settings->setStringList(AIToolStore::manualKey, {"cursor"});
  load({}, {200, {"Cursor", "Zed"}});
  ASSERT_THAT(store->tools.get(), ElementsAre("Cursor", "Zed"));

  store->deleteTool("Cursor");
  EXPECT_THAT(list(AIToolStore::manualKey), IsEmpty());
  EXPECT_THAT(list(AIToolStore::removedKey), ElementsAre("Cursor"));
  load({}, {200, {"Cursor", "Zed"}});
  EXPECT_THAT(store->tools.get(), ElementsAre("Zed"));
}

TEST_F(StoreFixture, AddingAnAlreadyListedToolTicksItOnce) {
  load({}, {200, {"Cursor"}});
  store->addApp();
  picker->choose("/usr/share/applications/cursor.desktop");
  time->runUntilIdle();
  EXPECT_THAT(store->tools.get(), ElementsAre("Cursor"));
  EXPECT_THAT(store->selectedTools(), ElementsAre("Cursor"));
  EXPECT_TRUE(store->allSelected());
  EXPECT_THAT(list(AIToolStore::manualKey), ElementsAre("cursor"));
}

TEST_F(StoreFixture, CancellingOrAnUnnamedPickChangesNothing) {
  load({}, {0, {}});
  ASSERT_TRUE(store->failed.get());
  for (std::optional<std::string> pick : {std::optional<std::string>{}, std::optional<std::string>{""},
                                          std::optional<std::string>{"/"}}) {
    store->addApp();
    picker->choose(pick);
    time->runUntilIdle();
  }
  EXPECT_THAT(store->tools.get(), IsEmpty());
  EXPECT_TRUE(store->failed.get());
  EXPECT_FALSE(settings->contains(AIToolStore::manualKey));
  EXPECT_FALSE(settings->contains(AIToolStore::removedKey));
}

TEST_F(StoreFixture, AddingToAFailedListClearsTheFailureAndUsesTheNamingHook) {
  store = AIToolStore::create(rt, settings, scanner, picker,
                              {.pickerStartFolder = "/home/me/Applications",
                               .appName = [](const std::string& path) {
                                 return path.ends_with(".desktop") ? std::string("Cursor Editor") : std::string();
                               }});
  load({}, {0, {}});
  store->addApp();
  EXPECT_EQ(picker->requests.back().startFolder, std::filesystem::path("/home/me/Applications"));
  picker->choose("/usr/share/applications/cursor.desktop");
  time->runUntilIdle();
  EXPECT_THAT(store->tools.get(), ElementsAre("Cursor Editor"));
  EXPECT_FALSE(store->failed.get());
}

TEST_F(StoreFixture, EditsMadeWhileAScanRunsSurviveItsResult) {
  store->load({}, false);
  time->runUntilIdle();
  store->addApp();
  picker->choose("/opt/Aider.AppImage");
  time->runUntilIdle();
  EXPECT_THAT(store->tools.get(), ElementsAre("Aider"));
  answer({200, {"Cursor"}});
  EXPECT_THAT(store->tools.get(), ElementsAre("Cursor", "Aider"));
  EXPECT_THAT(store->selectedTools(), ElementsAre("Aider"));
}

TEST_F(StoreFixture, OnlyTheLatestLoadIsApplied) {
  int finished = 0;
  store->load({}, false, [&] { ++finished; });
  store->load({"Zed"}, false, [&] { ++finished; });
  time->runUntilIdle();
  ASSERT_EQ(http->pending.size(), 2u);
  http->respond(200, R"({"tools":["Codex"]})");  // the first load's answer
  time->runUntilIdle();
  EXPECT_TRUE(store->loading.get()) << "the earlier load's result is stale";
  http->respond(200, R"({"tools":["Cursor"]})");
  time->runUntilIdle();
  EXPECT_EQ(finished, 2);
  EXPECT_FALSE(store->loading.get());
  EXPECT_THAT(store->tools.get(), ElementsAre("Cursor", "Zed"));
  EXPECT_THAT(selected(), ElementsAre("Zed"));
}

TEST_F(StoreFixture, AStoreGoneBeforeTheAnswerIsLeftAlone) {
  bool done = false;
  store->load({"Zed"}, false, [&] { done = true; });
  time->runUntilIdle();
  store->addApp();
  store.reset();
  picker->choose("/opt/Aider.AppImage");
  http->respond(200, R"({"tools":["Cursor"]})");
  time->runUntilIdle();
  EXPECT_FALSE(done);
  EXPECT_FALSE(settings->contains(AIToolStore::manualKey));
}

TEST_F(StoreFixture, WithoutAScannerTheListComesFromTheRest) {
  settings->setStringList(AIToolStore::manualKey, {"Aider"});
  store = AIToolStore::create(rt, settings, nullptr, picker);
  store->load({"Cursor"}, false);
  time->runUntilIdle();
  EXPECT_FALSE(store->loading.get());
  EXPECT_THAT(store->tools.get(), ElementsAre("Cursor", "Aider"));
  EXPECT_THAT(http->requests, IsEmpty());
}

}  // namespace
}  // namespace deskwave::testing
