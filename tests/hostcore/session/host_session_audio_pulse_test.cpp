// The whole audio send path against a real audio server: a private PipeWire stack with its pulse server
// plays a 1 kHz tone into its default sink, the tap engine records the sink's monitor, the session sends
// it as Opus over an in-memory transport, and what the client decodes is the tone.
#include <gtest/gtest.h>

#include <chrono>

#include "hostcore/engines/audio_tap_engine.hpp"
#include "media/opus_decoder.hpp"
#include "platform/audio/pulse_system_audio.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"
#include "tests/testkit/pipewire_stack.hpp"
#include "tests/testkit/test_tone.hpp"

namespace vela {
namespace {

using namespace std::chrono_literals;
// Generous: a loaded machine runs the stack many times slower, and a first recording can start late.
constexpr auto kToneTimeout = 20s;

TEST(HostSessionAudioPulse, AToneInTheDefaultSinkReachesTheClientAsOpus) {
  tavlo::testkit::PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();

  testkit::SessionRig rig;
  rig.make();
  rig.probe([](SessionState& s) {
    s.identity.sessionId = 0xA0D1;
    s.media.clientOpusCapable = true;
  });
  tavlo::PulseSystemAudio::Options options;
  options.server = stack.pulseServer();
  options.connectTimeoutUs = 20'000'000;  // a stack of tests running side by side comes up slowly
  options.log = rig.log.sink();
  auto tap = AudioTapEngine::create(std::make_shared<tavlo::PulseSystemAudio>(options), rig.session->audioInput());
  ASSERT_TRUE(tap->start()) << stack.logs();
  tavlo::testkit::TonePlayer tone(stack);
  ASSERT_TRUE(tone.play(stack)) << stack.logs();

  // The client's side: every packet on the audio flow decoded in order into the recording.
  auto decoder = OpusDecoder::create(2);
  tavlo::testkit::ToneRecording recording;
  size_t packetsRead = 0, undecodable = 0, notStereoOpus = 0;
  auto readPackets = [&] {
    const auto sent = rig.pair.host->memoryFlow(Channel::audio).sent().items();
    for (; packetsRead < sent.size(); ++packetsRead) {
      auto record = RawPacket::decode(sent[packetsRead]).decodePayload<AudioPcm>();
      if (record.format != 0x10) {
        ++notStereoOpus;
        continue;
      }
      if (auto pcm = decoder->decode(record.pcm))
        recording.add(*pcm);
      else
        ++undecodable;
    }
  };
  const double best = tavlo::testkit::bestToneCorrelation(recording, kToneTimeout, readPackets);
  tap->stop();
  EXPECT_GT(best, 0.9) << "decoded " << recording.size() << " frames of " << packetsRead << " packets\n"
                       << stack.logs();
  EXPECT_EQ(notStereoOpus, 0u);
  EXPECT_EQ(undecodable, 0u);
}

}  // namespace
}  // namespace vela
