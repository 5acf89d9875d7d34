// The whole audio send path against a real audio server: a private PipeWire stack with its pulse server
// plays a 1 kHz tone into its default sink, the tap engine records the sink's monitor, the session sends
// it as Opus over an in-memory transport, and what the client decodes is the tone.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <thread>

#include "hostcore/engines/audio_tap_engine.hpp"
#include "media/opus_decoder.hpp"
#include "platform/audio/pulse_system_audio.hpp"
#include "tests/hostcore/session/session_test_kit.hpp"
#include "tests/testkit/child_process.hpp"
#include "tests/testkit/pipewire_stack.hpp"

namespace vela {
namespace {

using namespace std::chrono_literals;

constexpr double kToneHz = 1000;
constexpr int kSampleRate = 48000;
constexpr size_t kWindowFrames = 4800;  // 100 whole periods: the tone's sine and cosine are orthogonal
constexpr int kSoundThreshold = 1000;   // a decoded sample this loud means the tone has arrived
// Generous: a loaded machine runs the stack many times slower, and a first recording can start late.
constexpr auto kToneTimeout = 20s;

// How much of the samples' energy a 1 kHz sine of the best phase carries, as a correlation.
double toneCorrelation(const std::vector<int16_t>& samples, size_t from) {
  double sine = 0, cosine = 0, energy = 0;
  for (size_t n = 0; n < kWindowFrames; ++n) {
    const double value = samples[from + n];
    const double phase = 2 * std::numbers::pi * kToneHz * static_cast<double>(n) / kSampleRate;
    sine += value * std::sin(phase);
    cosine += value * std::cos(phase);
    energy += value * value;
  }
  if (energy == 0) return 0;
  return std::sqrt((sine * sine + cosine * cosine) / (energy * kWindowFrames / 2));
}

// 30 s of the stereo tone at amplitude 8000, played into the stack's default sink with pacat.
bool playTone(const tavlo::testkit::PipeWireStack& stack, tavlo::testkit::ChildProcess& player) {
  const auto file = stack.directory() / "tone.raw";
  {
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < 30 * kSampleRate; ++i) {
      const auto value = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * kToneHz * i / kSampleRate));
      for (int channel = 0; channel < 2; ++channel) out.write(reinterpret_cast<const char*>(&value), sizeof(value));
    }
  }
  return player.start({"pacat", "--playback", "--format=s16le", "--rate=48000", "--channels=2", file.string()},
                      stack.environment(), stack.directory() / "pacat.log");
}

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
  options.log = rig.log.sink();
  auto tap = AudioTapEngine::create(std::make_shared<tavlo::PulseSystemAudio>(options), rig.session->audioInput());
  ASSERT_TRUE(tap->start()) << stack.logs();
  tavlo::testkit::ChildProcess player;
  ASSERT_TRUE(playTone(stack, player)) << stack.logs();

  // The client's side: every Opus packet decoded in order, the left channel kept.
  auto decoder = OpusDecoder::create(2);
  std::vector<int16_t> left;
  size_t packetsRead = 0, windowAt = 0;
  bool started = false;
  double best = 0;
  const auto deadline = std::chrono::steady_clock::now() + kToneTimeout;
  while (best <= 0.9 && std::chrono::steady_clock::now() < deadline) {
    const auto sent = rig.pair.host->memoryFlow(Channel::audio).sent().items();
    for (; packetsRead < sent.size(); ++packetsRead) {
      auto record = RawPacket::decode(sent[packetsRead]).decodePayload<AudioPcm>();
      ASSERT_EQ(record.format, 0x10) << "a stereo Opus packet";
      auto pcm = decoder->decode(record.pcm);
      ASSERT_TRUE(pcm) << "packet " << packetsRead << " does not decode";
      for (size_t i = 0; i + 4 <= pcm->size(); i += 4)
        left.push_back(static_cast<int16_t>(static_cast<uint16_t>((*pcm)[i] | ((*pcm)[i + 1] << 8))));
    }
    if (!started) {
      while (windowAt < left.size() && std::abs(left[windowAt]) < kSoundThreshold) ++windowAt;
      started = windowAt < left.size();
    }
    for (; started && windowAt + kWindowFrames <= left.size(); windowAt += kWindowFrames)
      best = std::max(best, toneCorrelation(left, windowAt));
    std::this_thread::sleep_for(20ms);
  }
  tap->stop();
  EXPECT_GT(best, 0.9) << "decoded " << left.size() << " frames of " << packetsRead << " packets\n" << stack.logs();
}

}  // namespace
}  // namespace vela
