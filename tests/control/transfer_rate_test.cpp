// The speed and time left the readers derive from successive status records, and their words.
#include "control/transfer_rate.h"

#include <gtest/gtest.h>

#include "text.h"

namespace trellisant {
namespace {

constexpr std::int64_t MB = 1'000'000;

struct Sample {
  double at;  // seconds
  std::int64_t bytes;
  const char* transfer = "Day 1";
  AgentState state = AgentState::downloading;
};

TEST(TransferRateTest, EstimatesFromSamplesAndSaysItAsPeopleRead) {
  struct Case {
    const char* name;
    std::vector<Sample> samples;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"first sample", {{0, 0}}, ""},
      {"no movement yet", {{0, 0}, {5, 0}}, ""},
      {"second sample", {{0, 0}, {5, 10 * MB}}, "2.0 MB/s · about 45 s left"},
      {"steady", {{0, 0}, {5, 10 * MB}, {10, 20 * MB}, {15, 30 * MB}, {20, 40 * MB}}, "2.0 MB/s · about 30 s left"},
      // A slow last tick moves the rate by a third of its drop, not all of it.
      {"one slow tick", {{0, 0}, {5, 10 * MB}, {10, 20 * MB}, {15, 30 * MB}, {20, 32 * MB}}, "1.5 MB/s · about 46 s left"},
      // Bytes arrive in checkpoints: a flat stretch reaches back to the last move.
      {"bursty", {{0, 0}, {5, 0}, {10, 8 * MB}, {15, 8 * MB}, {20, 8 * MB}, {25, 8 * MB}, {30, 16 * MB}}, "533.3 kB/s · about 3 min left"},
      {"flat for 25 s", {{0, 0}, {5, 8 * MB}, {10, 8 * MB}, {20, 8 * MB}, {30, 8 * MB}}, "266.7 kB/s · about 6 min left"},
      {"stalled", {{0, 0}, {5, 8 * MB}, {20, 8 * MB}, {35, 8 * MB}}, "stalled"},
      {"a new delivery", {{0, 0}, {5, 10 * MB}, {10, 0, "Day 2"}}, ""},
      {"fewer bytes", {{0, 0}, {5, 10 * MB}, {10, 5 * MB}}, ""},
      {"clock backwards", {{0, 0}, {5, 10 * MB}, {3, 12 * MB}}, ""},
      {"the same record again", {{0, 0}, {5, 10 * MB}, {5, 10 * MB}}, "2.0 MB/s · about 45 s left"},
      {"not downloading", {{0, 0}, {5, 10 * MB}, {10, 20 * MB, "Day 1", AgentState::needsAttention}}, ""},
      {"afresh after a pause", {{0, 0}, {5, 10 * MB, "", AgentState::paused}, {10, 20 * MB}}, ""},
  };
  for (const Case& c : cases) {
    RateEstimator estimator;
    RateEstimate estimate;
    for (const Sample& s : c.samples)
      estimate = estimator.add({s.state, "", s.transfer, s.bytes, 100 * MB, dateFromSecondsSince2001(1e8 + s.at)});
    EXPECT_EQ(rateSummary(estimate), c.shown) << c.name;
    EXPECT_EQ(estimate.stalled, c.shown == "stalled") << c.name;
    EXPECT_EQ(estimate.secondsLeft.has_value(), c.shown.find("left") != std::string::npos) << c.name;
  }

  const std::vector<std::pair<std::string, std::string>> words = {
      {rateText(512), "512 B/s"},          {rateText(1'540), "1.5 kB/s"},
      {rateText(24'100'000), "24.1 MB/s"}, {rateText(2.5e9), "2.5 GB/s"},
      {sizeText(999), "999 B"},            {sizeText(999'960), "1.0 MB"},
      {sizeText(310'400'000), "310.4 MB"}, {timeLeftText(0.2), "about 1 s left"},
      {timeLeftText(6), "about 6 s left"}, {timeLeftText(59.4), "about 59 s left"},
      {timeLeftText(150), "about 3 min left"}, {timeLeftText(3599), "about 1 h left"},
      {timeLeftText(7505), "about 2 h 5 min left"},
  };
  for (const auto& [made, wanted] : words) EXPECT_EQ(made, wanted);
}

}  // namespace
}  // namespace trellisant
