#include <gtest/gtest.h>

#include "app_fakes.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

constexpr const char* kSameFolder = "Download folder checked and saved.";
constexpr const char* kNewFolder =
    "Folder saved. Enable receiving when you are ready. Existing files stay in their original folder.";

class FolderChoiceTest : public AppModelTest {
 protected:
  // Signed in, receiving into `current` with the agent registered.
  app::AppModel& receivingInto(const std::filesystem::path& current) {
    storeCredentials(true);
    writePreferences([&](Preferences& p) {
      p.setDestination(current);
      p.receiving = true;
    });
    loginItem->setStatus(LoginItemStatus::enabled);
    return makeModel();
  }
};

TEST_F(FolderChoiceTest, TheSameFolderKeepsReceiving) {
  auto current = folder("Footage");
  auto& model = receivingInto(current);
  model.chooseFolder();
  ASSERT_TRUE(chooser->open());
  EXPECT_EQ(chooser->start, current) << "the chooser starts at the current folder";
  EXPECT_EQ(activations, 1) << "the app comes to the front";

  // Through a symbolic link the folder is still the same one.
  auto link = home.root() / "link";
  std::filesystem::create_directory_symlink(current, link);
  chooser->answer(link);
  EXPECT_EQ(model.folderNotice(), kSameFolder);
  EXPECT_TRUE(model.preferences().receiving);
  EXPECT_TRUE(preferencesOnDisk().receiving);
  EXPECT_EQ(loginItem->unregistrations(), 0);
  EXPECT_FALSE(model.choosingFolder());
}

TEST_F(FolderChoiceTest, ADifferentFolderStopsReceivingAndUnregisters) {
  auto& model = receivingInto(folder("Footage"));
  model.chooseFolder();
  chooser->answer(folder("Elsewhere"));
  EXPECT_TRUE(model.choosingFolder()) << "still applying while the agent is unregistered";
  EXPECT_FALSE(preferencesOnDisk().receiving) << "receiving went off before the agent was unregistered";
  ASSERT_TRUE(waitUntil([&] { return !model.choosingFolder(); }));
  EXPECT_EQ(loginItem->unregistrations(), 1);
  EXPECT_EQ(model.folderNotice(), kNewFolder);
  EXPECT_FALSE(model.preferences().receiving);
  EXPECT_EQ(model.preferences().destinationLabel, preferencesOnDisk().destinationLabel);
  EXPECT_EQ(preferencesOnDisk().rootURL(), std::filesystem::weakly_canonical(home.root() / "Elsewhere"));
  EXPECT_EQ(model.status().state, "paused");

  // A successful enable clears the notice.
  model.enable();
  ASSERT_TRUE(waitUntil([&] { return model.preferences().receiving; }));
  EXPECT_EQ(model.folderNotice(), "");
}

TEST_F(FolderChoiceTest, FailuresAndCancelKeepTheCurrentFolder) {
  auto current = folder("Footage");
  auto& model = receivingInto(current);
  loginItem->failRegister("Access denied");
  model.enable();
  ASSERT_TRUE(waitUntil([&] { return !model.error().isEmpty(); }));
  loginItem->failRegister(std::nullopt);

  model.chooseFolder();
  EXPECT_EQ(model.error(), "") << "opening the chooser clears the error";
  chooser->answer(std::nullopt);
  EXPECT_FALSE(model.choosingFolder());
  EXPECT_EQ(model.folderNotice(), "");
  EXPECT_TRUE(preferencesOnDisk().receiving);

  // A file is no folder: setDestination's message, nothing changed.
  auto file = home.root() / "not-a-folder";
  writeText(file, "x");
  model.chooseFolder();
  chooser->answer(file);
  EXPECT_FALSE(model.error().isEmpty());
  EXPECT_FALSE(model.choosingFolder());
  EXPECT_EQ(preferencesOnDisk().rootURL(), std::filesystem::weakly_canonical(current));
  EXPECT_TRUE(preferencesOnDisk().receiving);

  // Unregistering fails: the error shows, and receiving stays off as it was already saved.
  loginItem->failUnregister("Unit busy");
  model.chooseFolder();
  EXPECT_EQ(model.error(), "") << "opening the chooser clears the error";
  chooser->answer(folder("Other"));
  ASSERT_TRUE(waitUntil([&] { return !model.choosingFolder(); }));
  EXPECT_EQ(model.error(), "Unit busy");
  EXPECT_FALSE(preferencesOnDisk().receiving);
  EXPECT_EQ(preferencesOnDisk().rootURL(), std::filesystem::weakly_canonical(current));
}

TEST_F(FolderChoiceTest, NoSecondChooserWhileOneIsOpenOrWhileBusy) {
  auto& model = receivingInto(folder("Footage"));
  model.chooseFolder();
  model.chooseFolder();
  EXPECT_EQ(chooser->opened, 1);
  chooser->answer(std::nullopt);

  model.testReadiness();
  ASSERT_TRUE(model.busy());
  model.chooseFolder();
  EXPECT_EQ(chooser->opened, 1);
  ASSERT_TRUE(waitUntil([&] { return !model.busy(); }));
}

}  // namespace
