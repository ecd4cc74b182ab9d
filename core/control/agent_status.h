#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "clock.h"
#include "json.h"

namespace trellisant {

// What a client writes, on a line of its own, to the agent's control socket to be sent the
// status record.
inline constexpr std::string_view kStatusRequest = "status";

// What the agent is doing, in the words of status.json. `other` stands for a word this build
// does not know (a newer agent's).
enum class AgentState { setup, paused, ready, downloading, completed, needsAttention, other };
std::string_view toString(AgentState state);
// Nothing for a word this build does not know.
std::optional<AgentState> parseAgentState(std::string_view text);

// What the agent is doing, as the user should see it. The agent writes it to status.json; its
// control service and the app read it back.
struct AgentStatus {
  AgentState state = AgentState::setup;
  std::string message;
  std::string transfer;
  std::int64_t bytes = 0;
  std::int64_t total = 0;
  Date updatedAt;
  // The word read for AgentState::other, kept so it is shown and passed on as it stands rather
  // than refused.
  std::string otherWord = {};

  // The message of the "paused" state, wherever it is shown.
  static constexpr std::string_view pausedMessage = "Receiving is paused.";

  bool is(AgentState wanted) const { return state == wanted; }
  std::string stateWord() const;

  // Stands for a status nobody has written yet; never saved.
  static AgentStatus fallback(Date now = SystemClock::now());

  // Replaces status.json atomically. Never fails: a record that cannot be written is dropped
  // and the previous file stays.
  void save() const;

  // The record in status.json, or the fallback record when there is nothing usable. Never fails.
  static AgentStatus load();

  // One object with exactly the six keys; updatedAt in seconds since 2001-01-01.
  Json toJson() const;
  // Strict: all six keys required under their own names, with their own types; extra keys
  // are ignored. Throws DecodingError.
  static AgentStatus fromJson(const Json& json);

  bool operator==(const AgentStatus&) const = default;
};

// The record in JSON text, or nothing when the text does not decode.
std::optional<AgentStatus> decodeAgentStatus(std::string_view bytes);

}  // namespace trellisant
