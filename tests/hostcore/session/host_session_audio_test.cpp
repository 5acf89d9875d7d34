// The session's audio send path on a FakeClock, fed directly with blocks and read off the host side's
// audio flow: slicing, the silence gate, modes and their hold, the clog cut, Opus framing, and no slice
// lost or repeated when the mode or the codec changes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "hostcore/session/audio_slice.hpp"
#include "media/opus_decoder.hpp"
#include "media/opus_encoder.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"

namespace vela {
namespace {

constexpr uint32_t kSessionId = 0x5E55;

// Stereo frames of a loud ramp, each frame unique within 20,000 frames, so a slice can be recognised.
tavlo::Bytes loudFrames(size_t frames, int16_t first = 1000) {
  tavlo::Bytes bytes(frames * 4);
  for (size_t i = 0; i < frames; ++i) {
    const auto left = static_cast<int16_t>(first + static_cast<int16_t>(i % 20000));
    const int16_t right = static_cast<int16_t>(-left);
    std::memcpy(bytes.data() + 4 * i, &left, 2);
    std::memcpy(bytes.data() + 4 * i + 2, &right, 2);
  }
  return bytes;
}
tavlo::Bytes loudSlices(size_t slices) { return loudFrames(slices * 240); }
tavlo::Bytes silentSlices(size_t slices) { return tavlo::Bytes(slices * AudioSlice::bytes, 0); }

struct AudioRig : testkit::SessionRig {
  AudioRig() {
    make();
    probe([](SessionState& s) { s.identity.sessionId = kSessionId; });
  }
  void feed(const tavlo::Bytes& block) { session->handleAudio(block); }
  std::vector<RawPacket> packets() {
    // The tap keeps the bytes alive for the readers.
    stored = pair.host->memoryFlow(Channel::audio).sent().items();
    std::vector<RawPacket> raw;
    for (const auto& bytes : stored) raw.push_back(RawPacket::decode(bytes));
    return raw;
  }
  std::vector<AudioPcm> records() {
    std::vector<AudioPcm> out;
    for (auto& raw : packets()) out.push_back(raw.decodePayload<AudioPcm>());
    return out;
  }
  // The link level of the next buffer: a peak seen just now, with nothing below it.
  void linkLevel(double levelBps) {
    probe([&](SessionState& s) {
      s.adaptation.audioRxPeak = levelBps;
      s.adaptation.rxEwmaSlow = 0;
      s.adaptation.lastAudioPeakUs = clock().nowUs();
    });
  }
  void opusClient() {
    probe([](SessionState& s) { s.media.clientOpusCapable = true; });
  }
  std::vector<tavlo::Bytes> stored;
};

TEST(HostSessionAudio, CutsFiveMillisecondSlicesAcrossBuffersAndSendsEachOnce) {
  AudioRig rig;
  const tavlo::Bytes stream = loudFrames(480 + 10);
  rig.feed(tavlo::Bytes(stream.begin(), stream.begin() + 1000));
  EXPECT_EQ(rig.records().size(), 1u);
  rig.feed(tavlo::Bytes(stream.begin() + 1000, stream.begin() + 1920));
  rig.feed(tavlo::Bytes(stream.begin() + 1920, stream.end()));  // 40 bytes wait for more

  auto packets = rig.packets();
  ASSERT_EQ(packets.size(), 2u);
  tavlo::Bytes sent;
  for (uint32_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].header.channel, Channel::audio);
    EXPECT_EQ(packets[i].header.sessionId, kSessionId);
    EXPECT_EQ(packets[i].header.seq, i);
    auto record = packets[i].decodePayload<AudioPcm>();
    EXPECT_EQ(record.format, 0);
    EXPECT_EQ(record.captureTimestampUs, rig.clock().nowUs());
    sent.insert(sent.end(), record.pcm.begin(), record.pcm.end());
  }
  EXPECT_EQ(sent, tavlo::Bytes(stream.begin(), stream.begin() + 1920));
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.media.audioBuffer.size(); }), 40u);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.diag.diagAudioBytes; }), 2 * (26 + 960));
  EXPECT_EQ(rig.log.count("audio: 1 buforów SCK, łącznie 1 pakietów, ta paczka 1 (cisza run 0)"), 1u);
}

TEST(HostSessionAudio, ABlockWithARaggedTailKeepsLaterSlicesOnTheirFrames) {
  AudioRig rig;
  const tavlo::Bytes stream = loudFrames(480);
  tavlo::Bytes first(stream.begin(), stream.begin() + 1000);
  first.push_back(0xAB);  // not a whole frame
  first.push_back(0xCD);
  rig.feed(first);
  rig.feed(tavlo::Bytes(stream.begin() + 1000, stream.end()));
  auto records = rig.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].pcm, tavlo::Bytes(stream.begin() + 960, stream.end()));
}

TEST(HostSessionAudio, SendsTheFirstHundredMillisecondsOfSilenceThenDropsItUntilSoundReturns) {
  AudioRig rig;
  rig.feed(silentSlices(25));
  EXPECT_EQ(rig.records().size(), 20u);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.media.silentPacketRun; }), 25);
  rig.feed(loudSlices(1));
  EXPECT_EQ(rig.records().size(), 21u);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.media.silentPacketRun; }), 0);
  rig.feed(silentSlices(1));
  EXPECT_EQ(rig.records().size(), 22u);
}

TEST(HostSessionAudio, ModeFollowsTheLinkButHoldsThreeSecondsAfterAChange) {
  AudioRig rig;
  rig.linkLevel(900'000);
  rig.feed(loudSlices(1));  // the session's first change is at once
  rig.clock().advanceUs(3'000'001);
  rig.linkLevel(2'600'000);
  rig.feed(loudSlices(1));
  rig.clock().advanceUs(3'000'000);
  rig.linkLevel(1'400'000);
  rig.feed(loudSlices(1));  // exactly 3 s after the last change: held
  rig.clock().advanceUs(1);
  rig.linkLevel(1'400'000);
  rig.feed(loudSlices(1));
  auto records = rig.records();
  ASSERT_EQ(records.size(), 4u);
  const std::vector<std::pair<uint8_t, size_t>> expected{{2, 240}, {0, 960}, {0, 960}, {2, 240}};
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].format, expected[i].first) << i;
    EXPECT_EQ(records[i].pcm.size(), expected[i].second) << i;
  }
  EXPECT_EQ(rig.log.count("🔉 audio 24k mono (proven 1400k)"), 1u);
  EXPECT_EQ(rig.log.count("🔉 audio 48k stereo (proven 2600k)"), 1u);
}

TEST(HostSessionAudio, DeepClogCutsAudioOnlyWhenTheCascadeHasLeftItsTop) {
  AudioRig rig;
  rig.probe([](SessionState& s) {
    s.adaptation.cloggedNow = true;
    s.geometry.softPermille = 1000;
    s.geometry.softFpsTarget = 60;
  });
  rig.feed(loudSlices(1));
  EXPECT_EQ(rig.records().size(), 1u);

  rig.probe([](SessionState& s) { s.geometry.softFpsTarget = 30; });
  rig.feed(loudFrames(100));
  rig.feed(loudSlices(2));
  EXPECT_EQ(rig.records().size(), 1u);
  EXPECT_EQ(rig.log.count("🔇 audio wycięte (głęboki zator + kaskada na dnie)"), 1u);

  rig.probe([](SessionState& s) { s.adaptation.cloggedNow = false; });
  rig.clock().advanceUs(7'999'999);  // since the last clogged buffer
  rig.feed(loudSlices(1));
  EXPECT_EQ(rig.records().size(), 1u);
  rig.clock().advanceUs(1);
  rig.feed(loudSlices(1));
  EXPECT_EQ(rig.records().size(), 2u);
  EXPECT_EQ(rig.log.count("🔊 audio wraca (łącze odzyskane)"), 1u);
  // What arrived during the cut was dropped, not sent late.
  EXPECT_EQ(rig.records()[1].pcm, loudSlices(1));
}

TEST(HostSessionAudio, OpusSendsOnePacketPerFourSlicesAndSkippedSilenceFeedsNothing) {
  AudioRig rig;
  rig.opusClient();
  rig.feed(loudSlices(3));
  EXPECT_TRUE(rig.records().empty());  // 15 ms wait inside the encoder
  rig.feed(loudSlices(1));
  auto records = rig.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].format, 0x10);
  EXPECT_EQ(rig.log.count("🎼 Opus stereo 128k (proven 0k)"), 1u);

  // 30 silent slices: the 20 sent fill five frames; the 10 dropped reach no encoder.
  rig.feed(silentSlices(30));
  EXPECT_EQ(rig.records().size(), 6u);
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.media.opusEncoder->pendingBytes(); }), 0u);
}

TEST(HostSessionAudio, CodecChangesCarryTheEncodersHeldSlicesIntoTheNextOne) {
  AudioRig rig;
  rig.opusClient();
  rig.feed(loudSlices(6));   // one stereo frame out, two slices held
  rig.linkLevel(1'000'000);  // mode 2: mono Opus at 64 kbit/s
  rig.feed(loudSlices(2));   // with the two held, a whole mono frame
  auto records = rig.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].format, 0x10);
  EXPECT_EQ(records[1].format, 0x11);

  auto decoder = OpusDecoder::create(1);
  auto pcm = decoder->decode(records[1].pcm);
  ASSERT_TRUE(pcm);
  EXPECT_EQ(pcm->size(), 960u * 2);

  rig.clock().advanceUs(3'000'001);
  rig.linkLevel(3'000'000);
  rig.feed(loudSlices(5));  // back to stereo: one frame, one slice held
  records = rig.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2].format, 0x10);
  // 13 slices in, 12 out in three frames, one waiting: none lost, none twice.
  EXPECT_EQ(rig.probe([](SessionState& s) { return s.media.opusEncoder->pendingBytes(); }), AudioSlice::bytes);
}

}  // namespace
}  // namespace vela
