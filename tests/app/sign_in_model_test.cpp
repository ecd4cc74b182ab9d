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
