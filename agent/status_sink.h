#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "api/records.h"
#include "clock.h"
#include "control/agent_status.h"

namespace trellisant {

// The one way the agent writes its status record. A lost write is made good by the next one.
class StatusSink {
 public:
  // `now` stamps every record.
  explicit StatusSink(std::function<Date()> now = [] { return SystemClock::now(); });

  void publish(AgentState state, const std::string& message, const Delivery* delivery = nullptr,
               std::int64_t bytes = 0) const;
  // The last record again, stamped anew: a pass that changed nothing still shows that the
  // agent is alive. Nothing when there is no readable record.
  void republish() const;

 private:
  std::function<Date()> now_;
};

}  // namespace trellisant
