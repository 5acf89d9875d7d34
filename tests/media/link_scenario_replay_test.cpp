// Replays a recorded feedback trace (clean, then 30 % loss at 400 kbit/s, then recovery) through the
// host controllers in the session's order and compares every change of their decisions with a
// reviewed expected trace. The expected trace comes from data/link_scenario_model.py, a separate Python
// implementation of the same rules; its key moments are checked below as well. Set TAVLO_REPLAY_OUT to
// a path to write the decisions this build produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/media/feedback_chain.hpp"

namespace vela {
namespace {

const std::string dataDir = std::string(TAVLO_SOURCE_DIR) + "/tests/media/data/";

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << "cannot open " << path;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

FrameFeedback::Status statusNamed(const std::string& name) {
  if (name == "clean") return FrameFeedback::Status::clean;
  if (name == "recoveredViaNack") return FrameFeedback::Status::recoveredViaNack;
  if (name == "lost") return FrameFeedback::Status::lost;
  if (name == "recoveredViaFec") return FrameFeedback::Status::recoveredViaFec;
  ADD_FAILURE() << "unknown status " << name;
  return FrameFeedback::Status::clean;
}

// The decisions of one feedback, without its index and time.
std::string decisions(const FeedbackChain& chain, const FeedbackChain::Step& step) {
  const GovernorDecision& d = step.decision;
  char keyframe[16];
  std::snprintf(keyframe, sizeof keyframe, "%.2f", chain.keyframe.intervalSec());
  std::ostringstream row;
  row << chain.bitrate.appliedBitrate() << ',' << chain.bitrate.bitrate() << ',' << chain.bitrate.delayBitrateBps()
      << ',' << linkRegimeName(step.link.regime) << ',' << (step.link.exhausted ? 1 : 0) << ',' << d.phase << ','
      << (d.capBps == GovernorDecision::noCap ? std::string("none") : std::to_string(d.capBps)) << ','
      << d.maxFrameQP << ',' << (d.suppressPFec ? 1 : 0) << ',' << keyframe;
  return row.str();
}

TEST(LinkScenarioReplay, DecisionsMatchTheReviewedTrace) {
  std::vector<std::string> input = readLines(dataDir + "link_scenario.csv");
  std::vector<std::string> expected = readLines(dataDir + "link_scenario_expected.csv");
  ASSERT_GT(input.size(), 1u);

  // 1920 × 1080 at 60 fps, the session's start rate, its floor for a 2.75 s keyframe interval and a
  // user cap of 4,000 kbit/s.
  FeedbackChain chain(1920, 1080, 60, 12'000'000, 847'235, 4'000'000);
  std::vector<std::string> actual{
      "feedback,nowUs,appliedBps,lossLoopBps,delayLoopBps,regime,exhausted,phase,capBps,maxFrameQP,"
      "suppressPFec,keyframeSec"};
  std::string previous;
  int64_t engagedAt = -1, releasedAt = -1;
  double shortestKeyframeSec = 10;
  for (size_t i = 1; i < input.size(); ++i) {
    std::istringstream fields(input[i]);
    std::string now, status, assemble, delay, rate;
    std::getline(fields, now, ',');
    std::getline(fields, status, ',');
    std::getline(fields, assemble, ',');
    std::getline(fields, delay, ',');
    std::getline(fields, rate, ',');
    FrameFeedback fb;
    fb.frameId = static_cast<uint32_t>(i);
    fb.status = statusNamed(status);
    fb.assembleDurationUs = static_cast<uint32_t>(std::stoul(assemble));
    fb.delaySignal = static_cast<uint8_t>(std::stoul(delay));
    fb.recvRateKbps = static_cast<uint32_t>(std::stoul(rate));
    FeedbackChain::Step step = chain.onFeedback(fb, std::stoull(now));
    std::string row = decisions(chain, step);
    int64_t index = static_cast<int64_t>(i) - 1;
    if (step.decision.engaged && engagedAt < 0) engagedAt = index;
    if (!step.decision.engaged && engagedAt >= 0 && releasedAt < 0) releasedAt = index;
    shortestKeyframeSec = std::min(shortestKeyframeSec, chain.keyframe.intervalSec());
    if (row != previous) actual.push_back(std::to_string(i - 1) + ',' + now + ',' + row);
    previous = row;
  }

  if (const char* out = std::getenv("TAVLO_REPLAY_OUT")) {
    std::ofstream file(out);
    for (const std::string& line : actual) file << line << '\n';
  }
  // The headline moments, so that a rewritten expected trace cannot lose them: losses start at
  // feedback 600 and the link first stays clogged from 610, so 72 updates of 16,667 µs (1.2 s) engage
  // the governor at 681; probing from 953 reaches the floor at 1142 and 180 updates (3 s) at the floor
  // release it at 1321. The keyframe interval steps down to 0.55 s and back up to 0.80 s.
  EXPECT_EQ(engagedAt, 681);
  EXPECT_EQ(releasedAt, 1321);
  EXPECT_NEAR(shortestKeyframeSec, 0.55, 1e-9);
  EXPECT_NEAR(chain.keyframe.intervalSec(), 0.80, 1e-9);

  for (size_t i = 0; i < std::min(actual.size(), expected.size()); ++i)
    ASSERT_EQ(actual[i], expected[i]) << "first difference at line " << i + 1 << " of the expected trace";
  EXPECT_EQ(actual.size(), expected.size());
}

}  // namespace
}  // namespace vela
