// Every record decoded from the server's answers. One document goes to all decoders, so an
// input that gets past one decoder's checks is tried on the others too.
#include "api/api.h"
#include "api/records.h"
#include "fuzz_support.h"

using namespace trellisant;

template <class... Records>
void decode(const Json& json) {
  auto one = [&](auto record) {
    try {
      record = decltype(record)::fromJson(json);
    } catch (const DecodingError&) {
    }
  };
  (one(Records{}), ...);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Json json;
  if (!fuzz::json(data, size, json)) return 0;
  fuzz::roundTrip<Delivery>(json, "delivery round trip");
  fuzz::roundTrip<ManifestFile>(json, "manifest file round trip");
  fuzz::roundTrip<Capability>(json, "capability round trip");
  decode<API::Token, API::OK, API::Deliveries, API::Manifest, API::Lease, API::Enrollment>(json);
  return 0;
}
