// What the app model adds to the receiving operations and the sign-in: their threads (the login
// item is never asked on the UI thread; the fixture checks), the folder chooser, busy, and, against
// the sandbox company server over loopback TLS, which callback finishes a sign-in and what ends
// its wait.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include "api/http.h"
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

class SignInModelTest : public AppModelTest {
 protected:
  // Starts a sign-in and returns where the sandbox's authorization page sends the browser.
  QString signInUntilTheCallback() {
    startCompany();
    makeModel().signIn();
    EXPECT_TRUE(model->busy() && waitUntil([&] { return model->awaitingSignIn(); }, 10s));
    http::Request request;
    request.url = opened();
    return QString::fromStdString(http::perform(request).header("Location").value_or(""));
  }
  // Waits for the sign-in to end; its error.
  QString outcome() {
    EXPECT_TRUE(waitUntil([&] { return !model->busy(); }, 10s));
    return model->error();
  }
  const QString canceled = "Sign in was canceled. You can try again.";
};

TEST_F(SignInModelTest, OnlyTheMatchingCallbackFinishesTheSignIn) {
  QString callback = signInUntilTheCallback();
  ASSERT_TRUE(callback.startsWith("trellisant://oauth/callback?")) << callback.toStdString();
  model->receiveSignIn(QString(callback).replace(QRegularExpression("state=[^&]*"), "state=stale"));
  settle(50ms);
  EXPECT_TRUE(model->awaitingSignIn() && model->busy()) << "another sign-in's callback is ignored";
  model->receiveSignIn(callback);
  EXPECT_FALSE(model->awaitingSignIn()) << "the continuation is taken at once";
  EXPECT_EQ(outcome(), "");
  EXPECT_GE(activations, 2) << "sign-in and the accepted callback bring the app to the front";
  ASSERT_TRUE(model->signedIn() && Vault::read() && Vault::read()->deviceKey);
  auto before = company->requests().size();
  model->receiveSignIn(callback);
  settle();
  EXPECT_EQ(company->requests().size(), before) << "a second callback finds nothing waiting";
}

TEST_F(SignInModelTest, CancelTheTimeLimitAndAFailedBrowserEndTheWait) {
  QString callback = signInUntilTheCallback();
  model->cancelSignIn();
  EXPECT_EQ(outcome(), canceled);
  model->receiveSignIn(callback);
  settle();
  EXPECT_FALSE(model->signedIn()) << "a callback after the cancel is ignored";
  for (const auto& request : company->requests()) EXPECT_EQ(request.path().find("/token"), std::string::npos);

  signInTimeLimit = 300ms;
  makeModel().signIn();
  EXPECT_EQ(outcome(), canceled);
  EXPECT_FALSE(model->awaitingSignIn());
  browserWorks = false;
  model->signIn();
  EXPECT_EQ(outcome(), QString::fromUtf8(kBrowserFailedMessage.data(), kBrowserFailedMessage.size()));
}

}  // namespace
