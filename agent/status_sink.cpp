#include "status_sink.h"

#include "fileio.h"
#include "text.h"
#include "settings/paths.h"

namespace trellisant {

StatusSink::StatusSink(std::function<Date()> now) : now_(std::move(now)) {}

void StatusSink::publish(AgentState state, const std::string& message, const Delivery* delivery,
                         std::int64_t bytes) const {
  AgentStatus status;
  status.state = state;
  status.message = message;
  status.transfer = delivery != nullptr ? delivery->name : "";
  status.bytes = bytes;
  status.total = delivery != nullptr ? parseInt64(delivery->totalBytes).value_or(0) : 0;
  status.updatedAt = now_();
  status.save();
}

void StatusSink::republish() const {
  try {
    auto text = readFile(Paths::statusFile());
    auto status = text ? decodeAgentStatus(*text) : std::nullopt;
    if (!status) return;
    status->updatedAt = now_();
    status->save();
  } catch (...) {
    // As with publish.
  }
}

}  // namespace trellisant
