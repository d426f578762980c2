// The installed applications as the tool catalogue lists them, over a fake
// XDG tree in a temporary home.

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/linux/desktop_entries.h"
#include "support/temp_home.h"

namespace deskwave::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string app(const std::string& name, const std::string& extra = {}) {
  return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + name + "\n" + extra;
}

void write(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

struct InstalledAppsTest : ::testing::Test {
  TempHome home;
  fs::path user = home.path() / ".local/share/applications";
  fs::path local = home.path() / "usr-local/applications";
  fs::path system = home.path() / "usr/applications";
  fs::path appImages = home.path() / "Applications";
};

TEST_F(InstalledAppsTest, ListsShownApplicationsAndAppImagesByName) {
  write(user / "cursor.desktop", app("Cursor"));
  write(system / "cursor.desktop", app("Cursor (system)"));  // shadowed by the user's entry
  write(user / "zed.desktop", app("Zed", "Hidden=true\n"));  // deleted by the user…
  write(system / "zed.desktop", app("Zed (system)"));         // …which hides the system one too
  write(local / "helper.desktop", app("URL Helper", "NoDisplay=true\n"));
  write(local / "site.desktop", "[Desktop Entry]\nType=Link\nName=Web Site\nURL=https://x\n");
  write(local / "broken.desktop", "Name=No Group\n");
  write(system / "kde4/kate.desktop", app("Kate"));  // desktop-file id "kde4-kate.desktop"
  write(system / "files.desktop", app("Files"));
  write(local / "files2.desktop", app("Files"));  // same name under another id: listed once
  write(system / "notes.txt", app("Not A Desktop File"));

  write(appImages / "Windsurf-1.2.AppImage", "ELF");
  write(appImages / "LM Studio.appimage", "ELF");
  write(appImages / ".Secret.AppImage", "ELF");
  write(appImages / "nested/Aider.AppImage", "ELF");  // sub-folders are not searched
  fs::create_directories(appImages / "Folder.AppImage");
  write(appImages / "readme.md", "");

  EXPECT_THAT(installedApplicationNames({user, local, system}, appImages),
              ElementsAre("Cursor", "Files", "Kate", "LM Studio", "Windsurf-1.2"));
}

TEST_F(InstalledAppsTest, FoldersThatCannotBeReadContributeNothing) {
  write(system / "files.desktop", app("Files"));
  write(local, "a file where a folder should be");
  EXPECT_THAT(installedApplicationNames({user, local, system}, home.path() / "missing"), ElementsAre("Files"));

  write(appImages / "Tool.AppImage", "ELF");
  write(user / "secret.desktop", app("Secret"));
  ::chmod(appImages.c_str(), 0);
  ::chmod(user.c_str(), 0);
  const auto names = installedApplicationNames({user, local, system}, appImages);
  ::chmod(appImages.c_str(), 0700);
  ::chmod(user.c_str(), 0700);
  if (::geteuid() == 0)
    EXPECT_THAT(names, ElementsAre("Files", "Secret", "Tool")) << "root reads every folder";
  else
    EXPECT_THAT(names, ElementsAre("Files"));
}

TEST_F(InstalledAppsTest, TheEnvironmentNamesTheFolders) {
  const char* saved = std::getenv("XDG_DATA_DIRS");
  const std::string savedDirs = saved ? saved : "";
  ::setenv("XDG_DATA_DIRS", (home.path() / "usr").c_str(), 1);
  write(user / "cursor.desktop", app("Cursor"));  // XDG_DATA_HOME is under the temporary home
  write(system / "files.desktop", app("Files"));
  write(appImages / "Tool.AppImage", "ELF");
  const auto names = installedApplicationNames();
  if (saved)
    ::setenv("XDG_DATA_DIRS", savedDirs.c_str(), 1);
  else
    ::unsetenv("XDG_DATA_DIRS");
  EXPECT_THAT(names, ElementsAre("Cursor", "Files", "Tool"));
}

TEST_F(InstalledAppsTest, APickedFileIsNamedAsTheListingNamesIt) {
  write(user / "cursor.desktop", app("Cursor Editor"));
  write(user / "broken.desktop", "not a desktop entry");
  EXPECT_EQ(applicationNameForFile(user / "cursor.desktop"), "Cursor Editor");
  EXPECT_EQ(applicationNameForFile(user / "broken.desktop"), "broken");
  EXPECT_EQ(applicationNameForFile(user / "missing.desktop"), "missing");
  EXPECT_EQ(applicationNameForFile(appImages / "Windsurf-1.2.AppImage"), "Windsurf-1.2");
  EXPECT_EQ(applicationNameForFile("/usr/bin/aider"), "aider");
  EXPECT_EQ(applicationNameForFile("/"), "");
}

}  // namespace
}  // namespace deskwave::testing
