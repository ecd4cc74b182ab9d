// preferences.json as any process (or a damaged disk) may leave it.
#include "fuzz_support.h"
#include "settings/preferences.h"

using namespace trellisant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Json json;
  if (!fuzz::json(data, size, json)) return 0;
  auto record = fuzz::roundTrip<Preferences>(json, "preferences round trip");
  if (!record) return 0;
  // The stored folder and the window are read from the same untrusted record.
  try {
    record->rootURL();
  } catch (const TrellisantError&) {
  }
  try {
    record->inWindow(SystemClock::now());
  } catch (const PlatformError&) {
  }
  return 0;
}
