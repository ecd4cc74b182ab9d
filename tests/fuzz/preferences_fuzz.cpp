// preferences.json as any process (or a damaged disk) may leave it.
#include "fuzz_support.h"
#include "settings/preferences.h"

using namespace trellisant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Preferences record;
  try {
    record = Preferences::fromJson(parseJson(fuzz::text(data, size)));
  } catch (const DecodingError&) {
    return 0;
  }
  // What decodes must survive being saved and read back unchanged.
  Preferences again = Preferences::fromJson(parseJson(record.toJson().dump()));
  fuzz::require(again == record, "preferences round trip");

  // The stored folder and the window are read from the same untrusted record.
  try {
    record.rootURL();
  } catch (const TrellisantError&) {
  }
  try {
    record.inWindow(SystemClock::now());
  } catch (const PlatformError&) {
  }
  return 0;
}
