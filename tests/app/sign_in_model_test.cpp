// The model's sign-in around the core flow, against the sandbox company server over loopback
// TLS: which callback finishes it, and what ends the wait.
#include <gtest/gtest.h>

#include <QRegularExpression>

#include "api/http.h"
#include "app_fakes.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kCanceled = "Sign in was canceled. You can try again.";

class SignInModelTest : public AppModelTest {
 protected:
  // Starts a sign-in and returns where the sandbox's authorization page sends the browser.
  QString signInUntilTheCallback() {
    startCompany();
    makeModel().signIn();
    EXPECT_TRUE(model->busy());
    EXPECT_TRUE(waitUntil([&] { return model->awaitingSignIn(); }, 10s));
    http::Request request;
    request.url = browser->opened();
    return QString::fromStdString(http::perform(request).header("Location").value_or(""));
  }
  bool finished() { return waitUntil([&] { return !model->busy(); }, 10s); }
};

TEST_F(SignInModelTest, OnlyTheMatchingCallbackFinishesTheSignIn) {
  QString callback = signInUntilTheCallback();
  ASSERT_TRUE(callback.startsWith("trellisant://oauth/callback?")) << callback.toStdString();
  for (QString ignored : {QString(callback).replace("//oauth/", "//other/"), QString(callback).replace("/callback", "/elsewhere"),
                          QString(callback).replace(QRegularExpression("state=[^&]*"), "state=stale")}) {
    model->receiveSignIn(ignored);
    settle(50ms);
    EXPECT_TRUE(model->awaitingSignIn() && model->busy()) << ignored.toStdString();
  }
  model->receiveSignIn(callback);
  EXPECT_FALSE(model->awaitingSignIn()) << "the continuation is taken at once";
  ASSERT_TRUE(finished());
  EXPECT_EQ(model->error(), "");
  EXPECT_TRUE(model->signedIn());
  EXPECT_GE(activations, 2) << "sign-in and the accepted callback bring the app to the front";
  ASSERT_TRUE(Vault::read() && Vault::read()->deviceKey);
  auto before = company->requests().size();
  model->receiveSignIn(callback);
  settle();
  EXPECT_EQ(company->requests().size(), before) << "a second callback finds nothing waiting";
}

TEST_F(SignInModelTest, CancelTheTimeLimitAndAFailedBrowserEndTheWait) {
  QString callback = signInUntilTheCallback();
  model->cancelSignIn();
  ASSERT_TRUE(finished());
  EXPECT_EQ(model->error(), kCanceled);
  model->receiveSignIn(callback);
  settle();
  EXPECT_FALSE(model->signedIn()) << "a callback after the cancel is ignored";
  for (const auto& request : company->requests()) EXPECT_EQ(request.path().find("/token"), std::string::npos);

  signInTimeLimit = 300ms;
  makeModel().signIn();
  ASSERT_TRUE(finished());
  EXPECT_EQ(model->error(), kCanceled);
  EXPECT_FALSE(model->awaitingSignIn());
  browser->works = false;
  model->signIn();
  ASSERT_TRUE(finished());
  EXPECT_EQ(model->error(), QString::fromUtf8(kBrowserFailedMessage.data(), kBrowserFailedMessage.size()));
}

}  // namespace
