// What the app model adds to the receiving operations: their threads (the login item is never
// asked on the UI thread; the fixture checks), the folder chooser and busy.
#include <gtest/gtest.h>

#include "app_fakes.h"
#include "control/readiness.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

QString text(std::string_view sentence) { return QString::fromUtf8(sentence.data(), sentence.size()); }

TEST_F(AppModelTest, AnotherFolderStopsReceivingTheSameOneKeepsIt) {
  auto current = receiving();
  auto& model = makeModel();
  auto choose = [&](std::optional<std::filesystem::path> folder) {
    model.chooseFolder();
    answer(std::move(folder));
  };
  model.chooseFolder();
  EXPECT_TRUE(chooserStart == current && activations == 1) << "at the current folder, the app in front";
  model.chooseFolder();
  EXPECT_EQ(choosers, 1) << "no second chooser";
  std::filesystem::create_directory_symlink(current, home.root() / "link");
  answer(home.root() / "link");
  EXPECT_EQ(model.folderNotice(), text(ReceivingControl::folderCheckedNotice));
  EXPECT_TRUE(Preferences::load().receiving);

  loginItem->failUnregister("Unit busy");
  choose(folder("Other"));
  ASSERT_TRUE(waitUntil([&] { return !model.choosingFolder(); }));
  EXPECT_EQ(model.error(), "Unit busy");
  EXPECT_FALSE(Preferences::load().receiving) << "receiving stays off, as it went off first";
  EXPECT_EQ(Preferences::load().rootURL(), std::filesystem::weakly_canonical(current));

  loginItem->failUnregister(std::nullopt);
  choose(folder("Elsewhere"));
  EXPECT_TRUE(model.choosingFolder()) << "still applying while the agent is unregistered";
  ASSERT_TRUE(waitUntil([&] { return !model.choosingFolder(); }));
  EXPECT_EQ(loginItem->unregistrations, 2);
  EXPECT_EQ(model.folderNotice(), text(ReceivingControl::folderChangedNotice));
  EXPECT_EQ(Preferences::load().rootURL(), std::filesystem::weakly_canonical(home.root() / "Elsewhere"));
  EXPECT_EQ(model.status().state, "paused");
}

TEST_F(AppModelTest, TheReadinessTestEndsBusyWhateverItsOutcome) {
  auto run = [&](app::AppModel& model) {
    model.testReadiness();
    EXPECT_TRUE(model.busy());
    model.chooseFolder();
    EXPECT_EQ(choosers, 0) << "no chooser while busy";
    EXPECT_TRUE(waitUntil([&] { return !model.busy(); }, 20s));
    return model.error();
  };
  EXPECT_FALSE(run(makeModel()).isEmpty()) << "signed out";
  receiving();
  EXPECT_EQ(run(makeModel()), "");
  EXPECT_EQ(model->status(), readinessPassed(model->status()));
  // Without the agent the server must take a heartbeat; nobody listens at this address.
  loginItem->set(LoginItemStatus::notRegistered);
  makeModel().changePreferences([](Preferences& p) { p.server = "http://127.0.0.1:9"; });
  EXPECT_FALSE(run(*model).isEmpty());
}

}  // namespace
