// One QApplication for the whole test binary, made before the first test runs.
#include <gtest/gtest.h>

#include <QApplication>

#include "app_fakes.h"
#include "theme.h"

namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "trellisant-tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    trellisant::app::theme::applyLightScheme(*app_);
    trellisant::testing::runEventsWhileWaiting();
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
};

[[maybe_unused]] const auto* registered = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
