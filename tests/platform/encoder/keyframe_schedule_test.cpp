// When the x265 backend codes a keyframe.
#include "platform/encoder/keyframe_schedule.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace tavlo {
namespace {

constexpr int64_t kFrameUs = 16'667;

// The indices of the keyframes among `frames` frames, with the limits set at `changeAt` to the second pair.
std::vector<int> keyframes(int frames, int64_t maxFrames, int64_t maxDurationUs, std::vector<int> forced = {},
                           int changeAt = -1, int64_t laterFrames = 0, int64_t laterDurationUs = 0) {
  KeyframeSchedule schedule;
  schedule.setMaxFrames(maxFrames);
  schedule.setMaxDurationUs(maxDurationUs);
  std::vector<int> found;
  for (int i = 0; i < frames; ++i) {
    if (i == changeAt) {
      schedule.setMaxFrames(laterFrames);
      schedule.setMaxDurationUs(laterDurationUs);
    }
    const bool force = std::find(forced.begin(), forced.end(), i) != forced.end();
    const bool key = schedule.due(i * kFrameUs, force);
    if (key) found.push_back(i);
    schedule.frameCoded(i * kFrameUs, key);
  }
  return found;
}

TEST(KeyframeSchedule, CodesKeyframesAtTheFirstFrameWhenForcedAndAtTheLimits) {
  struct Row {
    const char* why;
    std::vector<int> got;
    std::vector<int> expected;
  };
  const Row rows[] = {
      {"no limits: only the first frame", keyframes(200, 0, 0), {0}},
      {"every 60 frames", keyframes(130, 60, 0), {0, 60, 120}},
      {"every second of presentation time", keyframes(130, 0, 1'000'000), {0, 60, 120}},
      {"the nearer of the two limits", keyframes(130, 100, 500'000), {0, 30, 60, 90, 120}},
      {"a forced keyframe restarts the count", keyframes(130, 60, 0, {45}), {0, 45, 105}},
      {"a new limit counts from the last keyframe", keyframes(130, 100, 0, {}, 50, 20, 0), {0, 50, 70, 90, 110}},
  };
  for (const Row& row : rows) EXPECT_EQ(row.got, row.expected) << row.why;
}

}  // namespace
}  // namespace tavlo
