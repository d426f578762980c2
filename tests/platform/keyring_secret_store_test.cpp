// The keyring backend against a real Secret Service. Run only through
// run_with_keyring.sh, which starts a private D-Bus session with an unlocked
// GNOME Keyring in a temporary home.

#include <gmock/gmock.h>

#include "platform/file_secret_store.h"
#include "platform/libsecret_store.h"
#include "platform/open_secret_store.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::SizeIs;

TEST(KeyringSecretStoreTest, RoundTripThroughTheDesktopKeyring) {
  std::string why;
  ASSERT_TRUE(LibsecretStore::probe(std::chrono::seconds(5), &why)) << why;

  TempHome home;
  std::vector<std::string> logged;
  auto store = openSecretStore([&](const std::string& line) { logged.push_back(line); },
                               secretsFile(home.paths().configDir), std::chrono::seconds(5));
  ASSERT_NE(dynamic_cast<LibsecretStore*>(store.get()), nullptr);
  EXPECT_THAT(logged, ElementsAre("Secrets: kept in the desktop keyring"));

  EXPECT_EQ(store->get("idToken"), std::nullopt);
  store->set("eyJ.first", "idToken");
  store->set("refresh-ü-✓", "refreshToken");
  store->set("eyJ.second", "idToken");
  EXPECT_EQ(store->get("idToken"), "eyJ.second") << "a second set replaces the value";
  EXPECT_EQ(LibsecretStore().get("refreshToken"), "refresh-ü-✓");
  store->remove("idToken");
  store->remove("never stored");
  EXPECT_EQ(store->get("idToken"), std::nullopt);
  EXPECT_EQ(store->get("refreshToken"), "refresh-ü-✓");
  EXPECT_FALSE(fs::exists(secretsFile(home.paths().configDir))) << "nothing is written to the file";
  EXPECT_THAT(logged, SizeIs(1)) << "no keyring call failed";
  store->remove("refreshToken");
}

}  // namespace
}  // namespace deskwave::testing
