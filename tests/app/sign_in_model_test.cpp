// The model's sign-in state machine around the core flow, against the sandbox company server
// over loopback TLS.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include "api/http.h"
#include "app_fakes.h"
#include "control/readiness.h"
#include "company_fixture.h"
#include "settings/vault.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kCanceled = "Sign in was canceled. You can try again.";

class SignInModelTest : public CompanyTest {
 protected:
  void SetUp() override {
    CompanyTest::SetUp();
    Preferences preferences;
    preferences.server = server->baseUrl();
    preferences.save(Preferences::file());
  }
  void TearDown() override {
    model.reset();
    EXPECT_EQ(loginItem->callsOnUiThread(), 0);
    CompanyTest::TearDown();
  }

  app::AppModel& makeModel(std::chrono::milliseconds limit = 300s) {
    app::AppServices services;
    services.loginItem = loginItem;
    services.agentStatus = [] { return std::optional<AgentStatus>(); };
    services.now = [] { return SystemClock::now(); };
    services.browser = browser;
    services.folderChooser = std::make_shared<FakeFolderChooser>();
    services.notifier = std::make_shared<FakeNotifier>();
    services.notificationsAvailable = [] { return false; };
    services.quit = [] {};
    services.activate = [this] { ++activations; };
    services.refreshInterval = 1h;
    services.signInTimeLimit = limit;
    model = std::make_unique<app::AppModel>(std::move(services));
    return *model;
  }

  // Starts a sign-in and waits until it waits for the browser.
  void startSignIn() {
    model->signIn();
    EXPECT_TRUE(model->busy());
    ASSERT_TRUE(waitUntil([&] { return model->awaitingSignIn(); }, 10s));
  }

  // What the browser does with the authorization page: the sandbox redirects to the callback.
  QString browse() {
    auto opened = browser->opened();
    EXPECT_FALSE(opened.empty());
    http::Request request;
    request.url = opened.back();
    auto response = http::perform(request);
    EXPECT_EQ(response.status, 302) << response.body;
    return QString::fromStdString(response.header("Location").value_or(""));
  }

  bool finished() { return waitUntil([&] { return !model->busy(); }, 10s); }

  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();
  int activations = 0;
  std::unique_ptr<app::AppModel> model;
};

TEST_F(SignInModelTest, OnlyTheMatchingCallbackFinishesTheSignIn) {
  makeModel();
  startSignIn();
  QString callback = browse();
  ASSERT_TRUE(callback.startsWith("trellisant://oauth/callback?")) << callback.toStdString();

  // Another host or path, or a stale state value: ignored, still waiting.
  QString stale = callback;
  stale.replace(QRegularExpression("state=[^&]*"), "state=stale");
  for (QString ignored : {QString(callback).replace("//oauth/", "//other/"),
                          QString(callback).replace("/callback", "/elsewhere"), stale}) {
    model->receiveSignIn(ignored);
    settle(50ms);
    EXPECT_TRUE(model->awaitingSignIn()) << ignored.toStdString();
    EXPECT_TRUE(model->busy());
  }

  model->receiveSignIn(callback);
  EXPECT_FALSE(model->awaitingSignIn()) << "the continuation is taken at once";
  ASSERT_TRUE(finished());
  EXPECT_EQ(model->error(), "");
  EXPECT_TRUE(model->signedIn());
  EXPECT_GE(activations, 2) << "sign-in and the accepted callback bring the app to the front";
  auto stored = Vault::read();
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->deviceId && stored->deviceKey);

  // A second callback finds nothing waiting.
  auto before = server->requests().size();
  model->receiveSignIn(callback);
  settle();
  EXPECT_EQ(server->requests().size(), before);
  EXPECT_EQ(model->error(), "");
}

TEST_F(SignInModelTest, CancelEndsTheWaitAndLaterCallbacksAreIgnored) {
  makeModel();
  startSignIn();
  QString callback = browse();
  model->cancelSignIn();
  ASSERT_TRUE(finished());
  EXPECT_EQ(model->error(), kCanceled);
  EXPECT_FALSE(model->signedIn());

  model->receiveSignIn(callback);
  settle();
  EXPECT_FALSE(model->signedIn());
  EXPECT_TRUE(requestsTo(kTokenPath).empty()) << "no code was exchanged";
}

TEST_F(SignInModelTest, TheTimeLimitCancels) {
  makeModel(300ms);
  startSignIn();
  ASSERT_TRUE(finished());
  EXPECT_EQ(model->error(), kCanceled);
  EXPECT_FALSE(model->awaitingSignIn());
}

TEST_F(SignInModelTest, ADenialAndABrowserThatDoesNotOpenEndTheSignIn) {
  makeModel();
  server->setDenyAuthorization(true);
  startSignIn();
  model->receiveSignIn(browse());
  ASSERT_TRUE(finished());
  EXPECT_EQ(model->error(), "This sign in request is invalid or was denied.");

  browser->works = false;
  model->signIn();
  ASSERT_TRUE(finished());
  EXPECT_EQ(model->error(), "Could not open your browser. Check your default browser and try again.");
  EXPECT_FALSE(model->awaitingSignIn());
}

TEST_F(SignInModelTest, SignOutStopsReceivingRevokesAndResetsTheStatus) {
  signIn();
  loginItem->setStatus(LoginItemStatus::enabled);
  auto& model = makeModel();
  ASSERT_TRUE(model.signedIn());

  server->inject("POST", "/api/v1/native/revoke", 500, R"({"error": "Revocation is down."})", 1);
  model.signOut();
  ASSERT_TRUE(waitUntil([&] { return model.busy(); }));
  ASSERT_TRUE(finished());
  EXPECT_EQ(model.error(), "Connect to the server to finish signing out, or revoke this computer from My devices. "
                           "Revocation is down.");
  EXPECT_TRUE(model.signedIn());
  EXPECT_TRUE(Vault::read());
  EXPECT_EQ(loginItem->unregistrations(), 1) << "receiving stopped first";

  model.signOut();
  ASSERT_TRUE(waitUntil([&] { return model.busy(); }));
  ASSERT_TRUE(finished());
  EXPECT_FALSE(model.signedIn());
  EXPECT_FALSE(Vault::read());
  // The record starts afresh; a login-item answer arriving meanwhile may already show it as
  // paused, since receiving is off.
  AgentStatus fresh = AgentStatus::fallback(model.status().updatedAt);
  if (model.status().state == "paused") fresh = applyStatusOverrides(fresh, Preferences::load(), false, fresh.updatedAt);
  EXPECT_EQ(model.status(), fresh);
  EXPECT_FALSE(Preferences::load().receiving);
}

}  // namespace
