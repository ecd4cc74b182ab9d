// One QApplication for the whole test binary, made before the first test runs.
#include <gtest/gtest.h>

#include <QApplication>

#include <thread>

#include "test_support.h"
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
    // Waiting in a test runs the event loop, where the model's results arrive.
    trellisant::testing::setWaitStep([](std::chrono::milliseconds) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
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
