// The link-adaptation paths run on every frame feedback and every received frame: after construction
// they must not touch the heap.
#include <gtest/gtest.h>

#include "media/delay_based_estimator.hpp"
#include "tests/media/feedback_chain.hpp"
#include "tests/testkit/counting_allocator.hpp"

namespace vela {
namespace {

using tavlo::testkit::allocationsOnThisThread;

TEST(LinkAdaptationAllocation, HostChainAllocatesNothingPerFeedback) {
  uint64_t before = allocationsOnThisThread();
  auto* probe = new int(7);
  EXPECT_EQ(allocationsOnThisThread() - before, 1u) << "the counter sees an allocation";
  delete probe;

  FeedbackChain chain(1920, 1080, 60, 12'000'000, 847'235, 4'000'000);
  bool engaged = false;
  before = allocationsOnThisThread();
  // 40 s: clean, 30 % loss at 400 kbit/s (the governor engages), recovery (it probes and releases).
  for (uint32_t i = 0; i < 2400; ++i) {
    FrameFeedback fb;
    bool congested = i >= 600 && i < 900;
    bool lost = congested && i % 10 % 3 == 0 && i % 10 != 9;
    fb.status = lost ? FrameFeedback::Status::lost : FrameFeedback::Status::clean;
    fb.assembleDurationUs = congested ? 9'000 : 3'000;
    fb.delaySignal = congested ? 2 : static_cast<uint8_t>(i % 97 == 0 ? 200 : 1);
    fb.recvRateKbps = congested ? 400 : 3'950;
    engaged |= chain.onFeedback(fb, 5'000'000'000ULL + i * 16'667ULL).decision.engaged;
  }
  EXPECT_EQ(allocationsOnThisThread() - before, 0u);
  EXPECT_TRUE(engaged);
  EXPECT_EQ(chain.governor.phaseValue(), FluidityGovernor::idle) << "drained, probed and released";
}

TEST(LinkAdaptationAllocation, DelayBasedEstimatorAllocatesNothingPerFrame) {
  DelayBasedEstimator::Config c{20, 0.9, 4.0, 60, 12.5, 0.0087, 0.039, 10, 15, 6, 600, 100, 1000, 0.5, 3};
  DelayBasedEstimator e(c);
  uint64_t before = allocationsOnThisThread();
  for (uint64_t i = 0; i < 1000; ++i) {
    uint64_t send = 1'000'000'000'000ULL + i * 16'667;
    uint64_t queue = (i % 120) < 60 ? 0 : (i % 60) * 1'000;
    e.addFrame(send, send + 10'000 + queue, 5'000, i % 50 != 0, i % 240 == 0);
  }
  e.reset();
  EXPECT_EQ(allocationsOnThisThread() - before, 0u);
}

}  // namespace
}  // namespace vela
