#include <gtest/gtest.h>

#include <QDir>

#include "app_fakes.h"
#include "single_instance.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

TEST(SingleInstanceTest, ASecondInstanceHandsItsAddressesToTheFirst) {
  TempDir dir;
  QString path = QString::fromStdString((dir.path() / "com.trellisant.app").string());
  app::SingleInstance first(path);
  ASSERT_TRUE(first.becomePrimary());
  QStringList urls;
  int shows = 0;
  QObject::connect(&first, &app::SingleInstance::urlReceived, [&](const QString& url) { urls << url; });
  QObject::connect(&first, &app::SingleInstance::activationRequested, [&] { ++shows; });

  app::SingleInstance second(path);
  EXPECT_FALSE(second.becomePrimary()) << "the lock belongs to the first";
  ASSERT_TRUE(second.handOff({"trellisant://oauth/callback?code=c%20d&state=s", "trellisant://other"}));
  ASSERT_TRUE(waitUntil([&] { return urls.size() == 2; }));
  EXPECT_EQ(urls, (QStringList{"trellisant://oauth/callback?code=c%20d&state=s", "trellisant://other"}));
  EXPECT_EQ(shows, 0);

  ASSERT_TRUE(second.handOff({}));
  ASSERT_TRUE(waitUntil([&] { return shows == 1; })) << "a plain second start shows the window";
}

TEST(SingleInstanceTest, WithoutAFirstInstanceNobodyTakesTheAddress) {
  TempDir dir;
  QString path = QString::fromStdString((dir.path() / "com.trellisant.app").string());
  {
    app::SingleInstance gone(path);
    ASSERT_TRUE(gone.becomePrimary());
  }
  app::SingleInstance lone(path);
  EXPECT_FALSE(lone.handOff({"trellisant://oauth/callback"}, 200));
  EXPECT_TRUE(lone.becomePrimary()) << "the lock and socket of an ended instance are taken over";
}

TEST(SingleInstanceTest, TheSocketLivesUnderTheRuntimeFolder) {
  TempHome home;
  auto path = app::SingleInstance::defaultPath();
  EXPECT_TRUE(QDir::isAbsolutePath(path));
  EXPECT_EQ(path.toStdString(), (std::filesystem::path(std::getenv("XDG_RUNTIME_DIR")) / "com.trellisant.app").string());
}

}  // namespace
