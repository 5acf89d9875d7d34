// The pacer's bounded backlog: on its own (which jobs lose their place, and what the count gives back),
// and on a session whose pacer falls behind a clogged link.
#include <gtest/gtest.h>

#include <future>

#include "hostcore/session/pacer_backlog.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

using testkit::SessionRig;
using namespace std::chrono_literals;

TEST(PacerBacklog, TheOldestJobsLoseTheirPlaceFirstAndTheNewestIsAlwaysAdmitted) {
  PacerBacklog backlog;
  auto first = backlog.admit(2000);
  auto second = backlog.admit(2000);
  auto empty = backlog.admit(0);
  EXPECT_EQ(first.droppedJobs + second.droppedJobs + empty.droppedJobs, 0);
  EXPECT_EQ(backlog.queuedPackets(), 4001) << "an empty job still holds a place";

  auto third = backlog.admit(1000);
  EXPECT_EQ(third.droppedJobs, 1);
  EXPECT_EQ(third.droppedPackets, 2000);
  EXPECT_FALSE(backlog.isLive(first.ticket));
  EXPECT_TRUE(backlog.isLive(second.ticket));
  EXPECT_EQ(backlog.queuedPackets(), 3001);

  // A revoked job that ends gives nothing back twice; a live one gives back its own count.
  backlog.finish(first.ticket);
  EXPECT_EQ(backlog.queuedPackets(), 3001);
  backlog.finish(second.ticket);
  EXPECT_EQ(backlog.queuedPackets(), 1001);

  auto huge = backlog.admit(PacerBacklog::maxQueuedPackets * 2);
  EXPECT_EQ(huge.droppedJobs, 2);
  EXPECT_TRUE(backlog.isLive(huge.ticket)) << "a single frame above the limit still goes";
  EXPECT_FALSE(backlog.isLive(third.ticket));
  EXPECT_EQ(backlog.queuedJobs(), 1);
  EXPECT_EQ(backlog.droppedPacketsTotal(), 2000 + 1000 + 1);
}

SharedVideoChunk chunkOf(uint32_t frameId) {
  auto chunk = std::make_shared<VideoChunk>();
  chunk->frameId = frameId;
  chunk->chunkCount = 1;
  chunk->payload = {1, 2, 3};
  return chunk;
}

// A started session whose pacer is held up, as by a clogged link, until the test releases it.
class HeldPacer : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.clock().setAdvanceOnWait(true);  // pacing sleeps on the session clock
    rig.started();
    ASSERT_TRUE(rig.hello());
    auto held = release_.get_future().share();
    HostSessionProbe::components(*rig.session).pacerQ->post([held] { held.wait(); });
  }
  void TearDown() override { releasePacer(); }
  void releasePacer() {
    if (!released_) release_.set_value();
    released_ = true;
  }

  SessionRig rig;

 private:
  std::promise<void> release_;
  bool released_ = false;
};

TEST_F(HeldPacer, ASessionWhosePacerFallsBehindDropsItsStalestFramesWithOneLine) {
  // Ten frames of 1,000 chunks each arrive while the pacer is held up.
  constexpr uint32_t frames = 10;
  constexpr size_t chunksPerFrame = 1000;
  for (uint32_t frame = 0; frame < frames; ++frame) {
    std::vector<SharedVideoChunk> chunks(chunksPerFrame, chunkOf(frame));
    HostSessionProbe::sendChunksPaced(*rig.session, std::move(chunks), 50'000);
  }
  EXPECT_EQ(rig.log.count("🪣 pacer: kolejka pełna — porzucam 1 najstarszych zadań (1000 pakietów)"), 1u)
      << "one line for the whole spell of drops";
  EXPECT_LE(rig.probe([](SessionState& s) { return s.send.pacerBacklog.queuedPackets(); }),
            PacerBacklog::maxQueuedPackets);
  releasePacer();

  ASSERT_TRUE(testkit::eventually([&] { return rig.probe([](SessionState& s) { return s.send.pacedPending; }) == 0; }));
  std::vector<uint32_t> sentPerFrame(frames, 0);
  for (const auto& datagram : rig.pair.host->memoryFlow(Channel::video).sent().items()) {
    auto raw = RawPacket::decode(datagram);
    if (raw.header.msgType == VideoType::chunk) sentPerFrame.at(raw.decodePayload<VideoChunk>().frameId) += 1;
  }
  for (uint32_t frame = 0; frame < frames - 4; ++frame) EXPECT_EQ(sentPerFrame[frame], 0u) << "stale frame " << frame;
  for (uint32_t frame = frames - 4; frame < frames; ++frame) EXPECT_EQ(sentPerFrame[frame], chunksPerFrame);
  rig.probe([](SessionState& s) {
    EXPECT_FALSE(s.send.pacingActive);
    EXPECT_EQ(s.send.pacerBacklog.queuedJobs(), 0);
  });
}

// A dropped job gives its place back at once: it does not first sit out the wait before its next
// datagram (interleaved parity's first one comes near the end of its frame's spread).
TEST_F(HeldPacer, ADroppedParityJobDoesNotHoldThePacerForItsSpread) {
  constexpr uint64_t paritySpreadUs = 400'000;
  HostSessionProbe::sendParityInterleaved(*rig.session, std::vector<VideoParity>(2), 10, 1, paritySpreadUs);
  // The next frame fills the backlog alone, over a spread far shorter: the parity job loses its place.
  constexpr uint64_t chunkSpreadUs = 20'000;
  HostSessionProbe::sendChunksPaced(
      *rig.session, std::vector<SharedVideoChunk>(size_t(PacerBacklog::maxQueuedPackets), chunkOf(1)), chunkSpreadUs);
  ASSERT_TRUE(rig.log.waitFor("🪣 pacer: kolejka pełna — porzucam 1 najstarszych zadań (2 pakietów)"));
  const uint64_t releasedUs = rig.clock().nowUs();
  releasePacer();

  ASSERT_TRUE(testkit::eventually([&] { return rig.probe([](SessionState& s) { return s.send.pacedPending; }) == 0; }));
  std::promise<void> drained;
  HostSessionProbe::components(*rig.session).pacerQ->post([&drained] { drained.set_value(); });
  ASSERT_EQ(drained.get_future().wait_for(5s), std::future_status::ready);
  EXPECT_LT(rig.clock().nowUs() - releasedUs, chunkSpreadUs + paritySpreadUs / 4) << "the dropped job slept out its spread";
  size_t parity = 0;
  for (const auto& datagram : rig.pair.host->memoryFlow(Channel::video).sent().items()) {
    if (RawPacket::decode(datagram).header.msgType == VideoType::parity) ++parity;
  }
  EXPECT_EQ(parity, 0u) << "a dropped job sends nothing";
}

}  // namespace
}  // namespace vela
