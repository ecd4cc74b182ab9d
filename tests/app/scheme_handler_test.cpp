#include <gtest/gtest.h>

#include "scheme_handler.h"
#include "test_support.h"

using namespace trellisant;
using namespace trellisant::testing;
namespace fs = std::filesystem;

namespace {

void put(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  writeText(path, text);
}

class SchemeHandlerTest : public ::testing::Test {
 protected:
  SchemeHandlerTest() {
    // Characters the entry's quoting must carry through.
    executable = home.root() / "build \"$HOME\" 100% \\ `x`" / "trellisant";
    put(executable, "#!/bin/sh\n");
    fs::permissions(executable, fs::perms::owner_all);
    // The user's folders from the (temporary) home; the system's replaced by private ones.
    folders = app::DesktopSchemeHandler::Folders::fromEnvironment();
    EXPECT_EQ(folders.configHome, home.root() / "home/.config");
    EXPECT_EQ(folders.dataHome, home.root() / "home/.local/share");
    folders.configDirs = {home.root() / "etc"};
    folders.dataDirs = {home.root() / "usr"};
    folders.desktops = {"gnome"};
    folders.programDirs = {home.root() / "bin"};
  }

  app::DesktopSchemeHandler handler() { return app::DesktopSchemeHandler(executable, folders); }
  fs::path userEntry() { return folders.dataHome / "applications" / std::string(app::DesktopSchemeHandler::entryName); }

  TempHome home;
  fs::path executable;
  app::DesktopSchemeHandler::Folders folders;
};

TEST_F(SchemeHandlerTest, BecomesTheDefaultWhereTheCurrentOneIsChosenAndKeepsTheRest) {
  put(folders.dataHome / "applications/other.desktop",
            "[Desktop Entry]\nType=Application\nName=Other\nExec=/usr/bin/other %u\n"
            "MimeType=x-scheme-handler/trellisant;\n");
  // The desktop's own list wins over mimeapps.list, so that is the one to change.
  const std::string before = "# mine\n[Default Applications]\ntext/html=firefox.desktop\n"
                             "x-scheme-handler/trellisant=other.desktop;\n\n[Added Associations]\n"
                             "image/png=eog.desktop;\n";
  put(folders.configHome / "gnome-mimeapps.list", before);
  put(folders.configHome / "mimeapps.list", "[Default Applications]\nx-scheme-handler/trellisant=gone.desktop\n");
  ASSERT_FALSE(handler().pointsHere());

  EXPECT_TRUE(handler().ensure());
  EXPECT_TRUE(handler().pointsHere()) << "the written Exec= leads back to this executable";
  EXPECT_EQ(readText(folders.configHome / "gnome-mimeapps.list"),
            "# mine\n[Default Applications]\nx-scheme-handler/trellisant=trellisant-handler.desktop\n"
            "text/html=firefox.desktop\n\n[Added Associations]\nimage/png=eog.desktop;\n");
  EXPECT_NE(readText(userEntry()).find("MimeType=x-scheme-handler/trellisant;\n"), std::string::npos);

  auto written = fs::last_write_time(userEntry());
  EXPECT_FALSE(handler().ensure()) << "nothing to do once it points here";
  EXPECT_EQ(fs::last_write_time(userEntry()), written);
}

TEST_F(SchemeHandlerTest, AnInstalledEntryThatRunsThisProgramIsLeftAlone) {
  put(folders.dataDirs[0] / "applications/trellisant.desktop",
            "[Desktop Entry]\nType=Application\nExec=trellisant %u\nMimeType=x-scheme-handler/trellisant;\n");
  fs::create_directories(folders.programDirs[0]);
  fs::create_symlink(executable, folders.programDirs[0] / "trellisant");
  EXPECT_FALSE(handler().ensure());
  EXPECT_FALSE(fs::exists(userEntry()));
  EXPECT_FALSE(fs::exists(folders.configHome / "mimeapps.list"));

  // The installed program is another one: this one becomes the default.
  fs::remove(folders.programDirs[0] / "trellisant");
  put(folders.programDirs[0] / "trellisant", "#!/bin/sh\n");
  fs::permissions(folders.programDirs[0] / "trellisant", fs::perms::owner_all);
  EXPECT_TRUE(handler().ensure());
  EXPECT_EQ(readText(folders.configHome / "mimeapps.list"),
            "[Default Applications]\nx-scheme-handler/trellisant=trellisant-handler.desktop\n");
  EXPECT_TRUE(handler().pointsHere());
}

}  // namespace
