// What the settings keep across a power cut, on a disk that forgets unsynced names.
#include <gtest/gtest.h>

#include <cstdlib>

#include "lossy_disk.h"
#include "settings/preferences.h"
#include "test_support.h"

namespace trellisant::testing {
namespace {

// A support folder made on first use must outlast a power cut: the preferences (and the
// credentials and journal) synced into it would go with it.
TEST(SettingsPowerLoss, ANewSupportFolderOutlastsAPowerCut) {
  TempHome home;
  TempDir temp;
  std::string why;
  auto disk = lossyDiskForTest(temp.path(), why);
  if (!disk) GTEST_SKIP() << why;
  ::setenv("XDG_DATA_HOME", disk->mountPoint().c_str(), 1);
  Preferences saved;
  saved.receiving = true;
  saved.save(Preferences::file());
  disk->powerCut();
  disk->remount();
  EXPECT_EQ(Preferences::load().toJson(), saved.toJson());
}

}  // namespace
}  // namespace trellisant::testing
