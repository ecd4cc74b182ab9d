#include "control/agent_status.h"

#include <cmath>
#include <utility>

#include "fileio.h"
#include "settings/paths.h"
#include "words.h"

namespace trellisant {
namespace {

constexpr EnumWords<AgentState, 6> kStateWords{{{AgentState::setup, "setup"},
                                                 {AgentState::paused, "paused"},
                                                 {AgentState::ready, "ready"},
                                                 {AgentState::downloading, "downloading"},
                                                 {AgentState::completed, "completed"},
                                                 {AgentState::needsAttention, "needs_attention"}}};

}  // namespace

std::string_view toString(AgentState state) { return kStateWords(state); }

std::optional<AgentState> parseAgentState(std::string_view text) { return kStateWords.parse(text); }

std::string AgentStatus::stateWord() const {
  return state == AgentState::other ? otherWord : std::string(toString(state));
}

AgentStatus AgentStatus::fallback(Date now) {
  return AgentStatus{AgentState::setup, "Enable receiving to get started.", "", 0, 0, now};
}


void AgentStatus::save() const {
  try {
    writeAtomically(Paths::statusFile(), toJson().dump(), 0600);
  } catch (...) {
    // A lost status write is harmless: the agent writes a fresh one on its next pass.
  }
}

AgentStatus AgentStatus::load() {
  try {
    if (auto bytes = readFile(Paths::statusFile())) {
      if (auto status = decodeAgentStatus(*bytes)) return *status;
    }
  } catch (...) {
  }
  return fallback();
}

Json AgentStatus::toJson() const {
  return Json{{"state", stateWord()},     {"message", message},
              {"transfer", transfer}, {"bytes", bytes},
              {"total", total},     {"updatedAt", secondsSince2001(updatedAt)}};
}

AgentStatus AgentStatus::fromJson(const Json& json) {
  Fields fields(json, false);
  AgentStatus status;
  std::string word = fields.string("state");
  if (auto known = parseAgentState(word)) {
    status.state = *known;
  } else {
    status.state = AgentState::other;
    status.otherWord = std::move(word);
  }
  status.message = fields.string("message");
  status.transfer = fields.string("transfer");
  status.bytes = fields.integer("bytes");
  status.total = fields.integer("total");
  status.updatedAt = fields.date("updatedAt");
  return status;
}

std::optional<AgentStatus> decodeAgentStatus(std::string_view bytes) {
  try {
    return AgentStatus::fromJson(parseJson(bytes));
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace trellisant
