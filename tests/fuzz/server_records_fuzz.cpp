// Every record decoded from the server's answers. One document goes to all decoders, so an
// input that gets past one decoder's checks is tried on the others too.
#include "api/api.h"
#include "api/records.h"
#include "fuzz_support.h"

using namespace trellisant;

namespace {

template <class Record>
void roundTrip(const Json& json, const char* what) {
  Record record;
  try {
    record = Record::fromJson(json);
  } catch (const DecodingError&) {
    return;
  }
  fuzz::require(Record::fromJson(parseJson(record.toJson().dump())) == record, what);
}

template <class Record>
void decode(const Json& json) {
  try {
    Record::fromJson(json);
  } catch (const DecodingError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Json json;
  try {
    json = parseJson(fuzz::text(data, size));
  } catch (const DecodingError&) {
    return 0;
  }
  roundTrip<Delivery>(json, "delivery round trip");
  roundTrip<ManifestFile>(json, "manifest file round trip");
  roundTrip<Capability>(json, "capability round trip");
  decode<API::Token>(json);
  decode<API::OK>(json);
  decode<API::Deliveries>(json);
  decode<API::Manifest>(json);
  decode<API::Lease>(json);
  decode<API::Enrollment>(json);
  return 0;
}
