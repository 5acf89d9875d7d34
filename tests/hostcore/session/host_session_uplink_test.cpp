// The uplink loops: NACK answering (guard, delta-frame tokens, the keyframe bucket), the keyframe
// forcing of lost feedback, the camera's reassembly and decoding, the microphone, and the loops
// themselves over the in-memory transport.
#include <gtest/gtest.h>

#include "hostcore/session/cam_frame_assembly.hpp"
#include "hostcore/session/nack_answering.hpp"
#include "hostcore/session/session_threads.hpp"
#include "media/cam_decoder.hpp"
#include "media/hevc_parameter_sets.hpp"
#include "media/opus_encoder.hpp"
#include "protocol/flow_bind.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"
#include "tests/media/cam_fixture.hpp"

namespace vela {
namespace {

using testkit::SessionRig;

struct UplinkRig : SessionRig {
  UplinkRig() { make(); }
  testkit::MemoryDatagramFlow& hostVideo() { return static_cast<testkit::MemoryDatagramFlow&>(pair.host->video()); }
  // A frame of `chunks` chunks retained as the send path does.
  void retain(uint32_t frameId, int chunks, bool keyframe, uint16_t generation = 1) {
    Bytes frame(static_cast<size_t>(chunks) * maxVideoChunkPayload, 0xAB);
    FrameFlags flags = keyframe ? FrameFlags::idr : FrameFlags{};
    HostSessionProbe::components(*session).retx->retain(
        frameId, generation, Chunker::chunk(frameId, generation, flags, ltrTokenNone, 0, frame));
  }
  // The chunk indices the host sent back, in order, since the last call.
  std::vector<uint16_t> resent() {
    std::vector<uint16_t> indices;
    auto items = hostVideo().sent().items();
    for (size_t i = seen_; i < items.size(); ++i)
      indices.push_back(RawPacket::decode(items[i]).decodePayload<VideoChunk>().chunkIdx);
    seen_ = items.size();
    return indices;
  }
  // A camera decoder for the fixture's stream on the session; `pictures` counts what it passes on.
  void decodeCamera(int& pictures) {
    auto sets = HEVCParameterSets::extract(testing::camFixture().stream);
    ASSERT_TRUE(sets);
    std::shared_ptr<CamDecoder> decoder = CamDecoder::create(0, 0, sets->serialize(), 1);
    ASSERT_TRUE(decoder);
    probe([&](SessionState& s) { s.media.camDecoder = decoder; });
    session->updateCallbacks([&pictures](SessionCallbacks& c) { c.onCamFrame = [&pictures](const PixelBuffer&) { pictures += 1; }; });
  }
  void nack(uint32_t frameId, std::vector<uint16_t> missing, uint16_t generation = 1) {
    session->handleVideoUpstreamPacket(encodePacket(VideoNack::fromMissing(frameId, generation, missing), 0, 0));
  }
  void setLagAndTokens(double lagUs, double tokens) {
    probe([&](SessionState& s) {
      s.adaptation.fbLagEwmaUs = lagUs;
      s.retransmit.rtxTokens = tokens;
    });
  }
  size_t seen_ = 0;
};

TEST(NackAnswering, TheGuardIsHalfTheFeedbackLagAndAtLeast8Ms) {
  EXPECT_EQ(NackAnswering::guardUs(0), 8'000u);
  EXPECT_EQ(NackAnswering::guardUs(10'000), 8'000u);
  EXPECT_EQ(NackAnswering::guardUs(40'000.9), 20'000u);
  EXPECT_EQ(NackAnswering::guardUs(std::numeric_limits<double>::quiet_NaN()), 8'000u);
}

TEST(HostSessionUplink, ANackIsAnsweredWithTheNamedChunksOnceWithinTheGuard) {
  UplinkRig rig;
  rig.retain(7, 5, false);
  rig.setLagAndTokens(10'000, 15);
  rig.nack(7, {1, 3});
  EXPECT_EQ(rig.resent(), (std::vector<uint16_t>{1, 3}));
  rig.clock().advanceUs(5'000);
  rig.nack(7, {1, 3, 4});
  EXPECT_EQ(rig.resent(), std::vector<uint16_t>{4}) << "1 and 3 went out 5 ms ago, within the 8 ms guard";
  rig.clock().advanceUs(3'000);
  rig.nack(7, {1});
  EXPECT_EQ(rig.resent(), std::vector<uint16_t>{1});

  rig.setLagAndTokens(40'000, 15);
  rig.clock().advanceUs(19'000);
  rig.nack(7, {1});
  EXPECT_TRUE(rig.resent().empty()) << "a 40 ms lag guards for 20 ms";
  rig.nack(7, {2}, 2);
  rig.nack(99, {0});
  EXPECT_TRUE(rig.resent().empty()) << "another generation, or a frame no longer held";
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.identity.videoSeq; }), 4u) << "each resend takes a sequence";
}

TEST(HostSessionUplink, DeltaChunksPayTokensAndKeyframeChunksTheirOwnBucket) {
  UplinkRig rig;
  rig.retain(1, 3, false);
  rig.retain(2, 3, true);
  rig.setLagAndTokens(0, 0.4);
  rig.nack(1, {0, 1, 2});
  EXPECT_TRUE(rig.resent().empty()) << "0.4 tokens pay for no delta chunk";
  rig.nack(2, {0, 1, 2});
  EXPECT_EQ(rig.resent(), (std::vector<uint16_t>{0, 1, 2})) << "keyframe chunks are repaired regardless";

  // The first NACK stamped the refill time: 300 tokens a second flow in from then.
  rig.clock().advanceUs(5'000);
  rig.nack(1, {0, 1, 2});
  EXPECT_TRUE(rig.resent().empty()) << "1.9 tokens, but the refused tries of 5 ms ago keep their guard";
  rig.clock().advanceUs(5'000);
  rig.nack(1, {0, 1, 2});
  EXPECT_EQ(rig.resent().size(), 3u) << "0.4 + 3 tokens";
  EXPECT_NEAR(rig.probe([](SessionState& s) { return s.retransmit.rtxTokens; }), 0.4, 1e-9);

  // A client asking for a keyframe over and over gets its bucket's worth, then a refill's worth.
  rig.retain(3, 200, true);
  std::vector<uint16_t> all(200);
  for (uint16_t i = 0; i < 200; ++i) all[i] = i;
  size_t total = 0;
  for (int round = 0; round < 10; ++round) {
    rig.clock().advanceUs(10'000);
    rig.nack(3, all);
    total += rig.resent().size();
  }
  EXPECT_LE(total, size_t(RetransmitState::keyframeTokensMax + 0.1 * RetransmitState::keyframeRefillPerSec));
  EXPECT_GE(total, 400u);
}

TEST(HostSessionUplink, LostFeedbackForcesKeyframesAtMostOncePerSecondOrThirdUnderRelief) {
  UplinkRig rig;
  auto lost = [&] {
    FrameFeedback fb;
    fb.status = FrameFeedback::Status::lost;
    rig.session->handleVideoUpstreamPacket(encodePacket(fb, 0, 0));
  };
  auto forced = [&] {
    return rig.probe([](SessionState& s) { return std::exchange(s.keyframes.forceKeyframeNext, false); });
  };
  lost();
  EXPECT_TRUE(forced());
  EXPECT_GT(rig.probe([](SessionState& s) { return s.adaptation.lossHotUntilUs; }), rig.clock().nowUs());
  rig.clock().advanceUs(500'000);
  lost();
  EXPECT_FALSE(forced()) << "500 ms after a forced keyframe";
  rig.probe([](SessionState& s) { s.adaptation.lossReliefActive = true; });
  lost();
  EXPECT_TRUE(forced()) << "under relief 333 ms suffice";
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.keyframes.idrForcedWindow; }), 2);

  rig.probe([](SessionState& s) {
    s.adaptation.cloggedNow = true;
    s.adaptation.lossHotUntilUs = 0;
  });
  lost();
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.adaptation.lossHotUntilUs; }), 0u) << "a clogged link is not lossy";
}

CamChunk camChunk(uint32_t frameId, uint16_t idx, uint16_t count, Bytes payload = {1, 2}) {
  return CamChunk{frameId, idx, count, false, 0, std::move(payload)};
}

TEST(CamFrameAssembly, FramesCompleteOnlyWithEveryIndexOfAConsistentCount) {
  MediaDevicesState m;
  EXPECT_FALSE(addCamChunk(m, camChunk(1, 0, 3, {1})));
  EXPECT_FALSE(addCamChunk(m, camChunk(1, 2, 3, {3})));
  EXPECT_FALSE(addCamChunk(m, camChunk(2, 0, 2)))
      << "chunk 0 of the next frame discards frame 1";
  EXPECT_FALSE(addCamChunk(m, camChunk(1, 1, 3, {2}))) << "frame 1 is gone";
  EXPECT_FALSE(addCamChunk(m, camChunk(1, 0, 3, {1})));

  struct Row { const char* why; std::vector<CamChunk> chunks; std::optional<Bytes> unit; };
  const Row rows[] = {
      {"in order", {camChunk(5, 0, 2, {1}), camChunk(5, 1, 2, {2})}, Bytes{1, 2}},
      {"out of order, a repeat replaces", {camChunk(5, 1, 2, {2}), camChunk(5, 1, 2, {3}), camChunk(5, 0, 2, {1})},
       Bytes{1, 3}},
      {"an index beyond the count never fills a slot",
       {camChunk(5, 0, 2, {1}), camChunk(5, 7, 2, {7}), camChunk(5, 1, 2, {2})}, Bytes{1, 2}},
      {"an index beyond the count cannot complete the frame", {camChunk(5, 0, 2, {1}), camChunk(5, 7, 2, {7})},
       std::nullopt},
      {"a count that changes within the frame is dropped",
       {camChunk(5, 0, 2, {1}), camChunk(5, 1, 3, {2}), camChunk(5, 2, 3, {3})}, std::nullopt},
      {"a count of 0 never completes", {camChunk(5, 0, 0), camChunk(5, 1, 0)}, std::nullopt},
  };
  for (const Row& row : rows) {
    MediaDevicesState state;
    std::optional<Bytes> unit;
    for (const CamChunk& c : row.chunks) unit = addCamChunk(state, c);
    EXPECT_EQ(unit, row.unit) << row.why;
  }

  MediaDevicesState big;
  Bytes mib(1024 * 1024, 0x55);
  for (uint16_t i = 0; i < 4; ++i) EXPECT_FALSE(addCamChunk(big, camChunk(9, i, 6, mib)));
  EXPECT_FALSE(addCamChunk(big, camChunk(9, 4, 6, {1}))) << "the fifth MiB is over the cap: the frame is given up";
  EXPECT_TRUE(big.camParts.empty());
  EXPECT_FALSE(addCamChunk(big, camChunk(9, 5, 6, {1}))) << "and its later chunks are dropped";
  EXPECT_TRUE(addCamChunk(big, camChunk(10, 0, 1, {1}))) << "the next frame assembles";
}

// What the decoder must hear of: every camera frame that did not reach it whole. A frame the client
// numbered and the host never completed is lost; one older than the last handed on is a duplicate or
// a late copy and is not handed on at all.
TEST(CamFrameAssembly, NotesEveryLostFrameAndHandsOnNothingOld) {
  struct Row {
    const char* why;
    std::vector<CamChunk> chunks;
    std::optional<Bytes> lastUnit;
    bool lost;
  };
  const Row rows[] = {
      {"frames one after another", {camChunk(4, 0, 1, {4}), camChunk(5, 0, 1, {5})}, Bytes{5}, false},
      {"a frame number skipped", {camChunk(4, 0, 1, {4}), camChunk(6, 0, 1, {6})}, Bytes{6}, true},
      {"a frame discarded half-assembled", {camChunk(4, 0, 1, {4}), camChunk(5, 0, 2, {5}), camChunk(6, 0, 1, {6})},
       Bytes{6}, true},
      {"the first frame after the decoder was made, whatever its number", {camChunk(77, 0, 1, {7})}, Bytes{7}, false},
      {"the last frame again", {camChunk(4, 0, 1, {4}), camChunk(4, 0, 1, {4})}, std::nullopt, false},
      {"a late older frame", {camChunk(4, 0, 1, {4}), camChunk(5, 0, 1, {5}), camChunk(3, 0, 1, {3})}, std::nullopt,
       false},
      {"frame numbers wrap", {camChunk(0xFFFF'FFFF, 0, 1, {9}), camChunk(0, 0, 1, {0})}, Bytes{0}, false},
  };
  for (const Row& row : rows) {
    MediaDevicesState state;
    std::optional<Bytes> unit;
    for (const CamChunk& c : row.chunks) unit = addCamChunk(state, c);
    EXPECT_EQ(unit, row.lastUnit) << row.why;
    EXPECT_EQ(state.camLossPending, row.lost) << row.why;
  }

  MediaDevicesState big;
  EXPECT_TRUE(addCamChunk(big, camChunk(8, 0, 1, {8})));
  Bytes overCap(camMaxFrameBytes + 1, 0x55);
  EXPECT_FALSE(addCamChunk(big, camChunk(9, 0, 2, overCap))) << "given up";
  EXPECT_TRUE(addCamChunk(big, camChunk(10, 0, 1, {1})));
  EXPECT_TRUE(big.camLossPending) << "a frame given up is a frame lost";
}

// The client's camera after a frame lost on the way: the pictures that follow would be decoded against
// a reference the decoder never had, and show grey patches. None is passed on until the next keyframe.
TEST(HostSessionUplink, AfterALostCameraFrameNoPictureIsPassedOnUntilTheNextKeyframe) {
  UplinkRig rig;
  const auto& fixture = testing::camFixture();
  int pictures = 0;
  ASSERT_NO_FATAL_FAILURE(rig.decodeCamera(pictures));
  auto sendFrame = [&](uint32_t frameId, size_t unit) {
    rig.session->handleVideoUpstreamPacket(
        encodePacket(CamChunk{frameId, 0, 1, unit == 0, 1000 * frameId, fixture.accessUnits[unit]}, 0, 0));
  };

  sendFrame(1, 0);
  sendFrame(2, 1);
  EXPECT_EQ(pictures, 2);
  // Frame 3 (the third picture) never comes.
  for (uint32_t frame = 4; frame <= 8; ++frame) sendFrame(frame, frame - 1);
  EXPECT_EQ(pictures, 2) << "nothing decoded against the missing picture is passed on";
  sendFrame(9, 0);
  sendFrame(10, 1);
  EXPECT_EQ(pictures, 4) << "the client's next keyframe and what follows it";
}

TEST(HostSessionUplink, CameraChunksAreReassembledAndDecodedIntoPictures) {
  UplinkRig rig;
  const auto& fixture = testing::camFixture();
  int pictures = 0;
  ASSERT_NO_FATAL_FAILURE(rig.decodeCamera(pictures));

  for (uint32_t f = 0; f < 3; ++f) {
    const Bytes& unit = fixture.accessUnits[f];
    size_t half = unit.size() / 2;
    Bytes first(unit.begin(), unit.begin() + static_cast<long>(half)), second(unit.begin() + static_cast<long>(half), unit.end());
    rig.session->handleVideoUpstreamPacket(encodePacket(CamChunk{f + 1, 1, 2, f == 0, 1000 * f, second}, 0, 0));
    rig.session->handleVideoUpstreamPacket(encodePacket(CamChunk{f + 1, 0, 2, f == 0, 1000 * f, first}, 0, 0));
  }
  EXPECT_EQ(pictures, 3);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.media.camUpFrames; }), 3);
  EXPECT_EQ(rig.log.count("📷 kamera klienta: klatka #1 ("), 1u);
  EXPECT_GT(rig.probe([](SessionState& s) { return s.diag.diagCamBytes; }), 3 * 80);
}

TEST(HostSessionUplink, MicrophoneOpusIsDecodedAndOtherFormatsOnlyCounted) {
  UplinkRig rig;
  std::vector<size_t> pcm;
  rig.session->updateCallbacks([&](SessionCallbacks& c) { c.onMicAudio = [&](const Bytes& b) { pcm.push_back(b.size()); }; });
  auto encoder = OpusEncoder::create(1, 32'000);
  ASSERT_TRUE(encoder);
  auto packets = encoder->encode(Bytes(960 * 2 * 2, 0));
  ASSERT_EQ(packets.size(), 2u);
  rig.session->handleMicPacket(encodePacket(MicPcm{0, 0x01, packets[0]}, 0, 0));
  EXPECT_TRUE(pcm.empty()) << "a format other than Opus";
  for (auto& p : packets) rig.session->handleMicPacket(encodePacket(MicPcm{0, 0x11, p}, 0, 0));
  rig.session->handleMicPacket(encodePacket(MicPcm{0, 0x11, Bytes{0xFF, 0xFF, 0xFF}}, 0, 0));
  EXPECT_EQ(pcm, (std::vector<size_t>{1920, 1920})) << "20 ms of 48 kHz mono, twice; the garbage decodes to nothing";
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.media.micPacketsSeen; }), 4);
  EXPECT_EQ(rig.log.count("🎙 mikrofon klienta: pakiet #"), 0u) << "packet #1 was not Opus, and #500 is far";
}

TEST(HostSessionUplink, TheLoopsReadThePrimaryTransportUntilItCloses) {
  UplinkRig rig;
  int before = liveSessionThreads();
  rig.session->startUplinkLoops();
  EXPECT_EQ(liveSessionThreads(), before + 4);
  rig.retain(4, 2, true);
  rig.pair.client->video().send(encodePacket(VideoNack::fromMissing(4, 1, std::vector<uint16_t>{1}), 0, 0));
  EXPECT_TRUE(testkit::eventually([&] { return rig.hostVideo().sent().size() == 1; }));
  rig.pair.client->inputUnreliable().send(flowBindDatagram(Channel::inputUnreliable));
  EXPECT_TRUE(testkit::eventually(
      [&] { return rig.probe([](SessionState& s) { return s.identity.lastFlowBindUs != 0; }); }));
  rig.pair.host->close();
  EXPECT_TRUE(testkit::eventually([&] { return liveSessionThreads() == before; }));
  EXPECT_EQ(rig.log.count("🖱 pętla input UDP zakończona"), 1u);
}

}  // namespace
}  // namespace vela
