// status.json as the app and the control service read it.
#include "control/agent_status.h"
#include "fuzz_support.h"

using namespace trellisant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<AgentStatus> status = decodeAgentStatus(fuzz::text(data, size));
  if (!status) return 0;
  auto again = decodeAgentStatus(status->toJson().dump());
  fuzz::require(again && again->state == status->state && again->message == status->message &&
                    again->transfer == status->transfer && again->bytes == status->bytes &&
                    again->total == status->total && fuzz::closeTo(again->updatedAt, status->updatedAt),
                "status round trip");
  return 0;
}
