// The model's operations that talk to the server: readiness test, sign-in and sign-out. The
// network part runs in core on background threads; the model only keeps the state the
// window shows.
#include <QTimer>

#include "app_model.h"
#include "control/receiving_control.h"
#include "error.h"
#include "qt_convert.h"
#include "control/readiness.h"

namespace trellisant::app {

void AppModel::testReadiness() {
  if (busy_) return;  // a sign-in or another test owns `busy`
  setError({});
  setBusy(true);
  Preferences preferences = preferences_;
  bool signedIn = signedIn_;
  auto control = control_;
  tasks_.run<bool>(
      [this, preferences, signedIn, control](std::stop_token stop) {
        bool serviceReady = control->serviceReady();
        // The agent's side is read on the UI thread, where the status lives.
        auto refreshed = [this, serviceReady, stop] {
          return tasks_.callOnContext<AgentStatus>(
              [this, serviceReady] {
                applyServiceReady(serviceReady);
                return status_;
              },
              stop);
        };
        trellisant::testReadiness(preferences, signedIn, serviceReady, refreshed, stop);
        return true;
      },
      [this](Outcome<bool> outcome) {
        if (outcome.ok()) setStatus(readinessPassed(status_));
        else setErrorFrom(outcome.error);
        setBusy(false);
      });
}

void AppModel::signIn() {
  if (busy_) return;  // one sign-in (or sign-out, or readiness test) at a time
  if (parts_.activate) parts_.activate();
  setBusy(true);
  setError({});
  Preferences preferences = preferences_;
  tasks_.run<SignInFlow::Pending>(
      [preferences](std::stop_token stop) { return SignInFlow::begin(preferences, stop); },
      [this, server = preferences.server](Outcome<SignInFlow::Pending> begun) {
        if (!begun.ok()) {
          finishSignIn(begun.error);
          return;
        }
        const SignInFlow::Pending& pending = *begun.value;
        auto waiter = std::make_shared<CallbackWaiter>(pending.state);
        authorizationState_ = pending.state;
        authorizationContinuation_ = waiter;
        if (!parts_.browser->open(pending.authorizationURL)) {
          authorizationContinuation_.reset();
          waiter->fail(std::make_exception_ptr(TrellisantError(std::string(kBrowserFailedMessage))));
        } else {
          // The time limit, as a cancel from the UI thread while this sign-in still waits.
          std::string state = pending.state;
          QTimer::singleShot(parts_.signInTimeLimit, this, [this, state] {
            if (authorizationState_ == state) cancelSignIn();
          });
        }
        waitForCallback(pending, waiter, server);
      });
}

void AppModel::waitForCallback(const SignInFlow::Pending& pending, std::shared_ptr<CallbackWaiter> waiter,
                               const std::string& server) {
  // The waiter's own limit is only a backstop: the UI timer above cancels first.
  auto backstop =
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(parts_.signInTimeLimit) +
      std::chrono::seconds(5);
  tasks_.run<bool>(
      [pending, waiter, backstop](std::stop_token stop) {
        Url callback = waiter->wait(backstop, stop);
        SignInFlow::finish(pending, callback, computerName(), stop);
        return true;
      },
      [this, server](Outcome<bool> finished) {
        if (finished.ok()) {
          setSignedIn(true);
          changePreferences([&server](Preferences& p) { p.server = server; });
        }
        finishSignIn(finished.error);
      });
}

void AppModel::finishSignIn(const std::exception_ptr& failure) {
  if (failure) setErrorFrom(failure);
  setBusy(false);
  authorizationContinuation_.reset();
  authorizationState_.reset();
}

void AppModel::receiveSignIn(const QString& address) {
  auto url = Url::parse(toStdString(address));
  if (!url || !acceptsCallback(*url, authorizationState_)) return;
  if (!authorizationContinuation_) return;
  auto waiter = std::move(authorizationContinuation_);
  authorizationContinuation_.reset();
  if (waiter->deliver(*url) && parts_.activate) parts_.activate();
}

void AppModel::cancelSignIn() {
  if (!authorizationContinuation_) return;
  auto waiter = std::move(authorizationContinuation_);
  authorizationContinuation_.reset();
  waiter->cancel();
}

void AppModel::signOut() {
  if (busy_) return;
  setBusy(true);
  auto control = control_;
  tasks_.run<std::exception_ptr>(
      [control](std::stop_token stop) { return control->signOut(stop); },
      [this](Outcome<std::exception_ptr> signedOut) {
        if (signedOut.ok() && *signedOut.value) setErrorFrom(*signedOut.value);
        serviceChanged();
        if (signedOut.ok()) {
          setSignedIn(false);
          setStatus(AgentStatus::fallback(parts_.now()));
        } else {
          setErrorFrom(signedOut.error);
        }
        setBusy(false);
      });
}

}  // namespace trellisant::app
