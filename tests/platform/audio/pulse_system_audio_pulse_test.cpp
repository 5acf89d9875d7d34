// The system's audio through the PulseAudio client API, on a private PipeWire stack with its pulse
// server: a tone played into the default sink comes back from its monitor through the tap engine and
// through the capture engine's audio side; the source survives a restart of the server and follows a
// change of the default sink.
#include "platform/audio/pulse_system_audio.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <numbers>
#include <thread>

#include "hostcore/engines/audio_tap_engine.hpp"
#include "hostcore/engines/capture_engine.hpp"
#include "platform/capture/synthetic_capture.hpp"
#include "tests/hostcore/engines/log_recorder.hpp"
#include "tests/testkit/pipewire_stack.hpp"
#include "tests/testkit/test_tone.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using testkit::ChildProcess;
using testkit::PipeWireStack;

// Generous: a loaded machine or a sanitizer build runs the stack many times slower.
constexpr auto kSoundTimeout = 20s;

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

using Recording = testkit::ToneRecording;
using testkit::TonePlayer;

// Polls the recording until a window of it is the tone.
void expectTone(const Recording& recording, const PipeWireStack& stack) {
  const double best = testkit::bestToneCorrelation(recording, kSoundTimeout);
  EXPECT_GT(best, 0.9) << "best correlation " << best << " in " << recording.size() << " samples\n" << stack.logs();
}

PulseSystemAudio::Options optionsFor(const PipeWireStack& stack, LogSink log) {
  PulseSystemAudio::Options options;
  options.server = stack.pulseServer();
  options.reconnectDelayUs = 200'000;
  // Stacks of tests running side by side come up slowly: a first recording only seconds after the
  // server answers is no fault here, only a loaded machine.
  options.connectTimeoutUs = std::chrono::duration_cast<std::chrono::microseconds>(kSoundTimeout).count();
  options.log = std::move(log);
  return options;
}

TEST(PulseSystemAudio, TheTapEngineCapturesAToneFromTheDefaultSinksMonitor) {
  PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  vela::LogRecorder log;
  Recording recording;
  auto engine = vela::AudioTapEngine::create(std::make_shared<PulseSystemAudio>(optionsFor(stack, log.sink())),
                                             [&](const Bytes& block) { recording.add(block); });
  ASSERT_TRUE(engine->start()) << stack.logs();
  TonePlayer tone(stack);
  ASSERT_TRUE(tone.play(stack));
  expectTone(recording, stack);
  engine->stop();
  EXPECT_EQ(log.startingWith("🔊 pulse: nasłuch monitora ").size(), 1u);
}

TEST(PulseSystemAudio, TheCaptureEnginesAudioSideTakesTheSameSource) {
  PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  vela::LogRecorder log;
  SyntheticCapture::Options options;
  options.audioSource = std::make_shared<PulseSystemAudio>(optionsFor(stack, log.sink()));
  auto capture = SyntheticCapture::create(options);
  Recording recording;
  auto engine = vela::CaptureEngine::create(capture, [](const vela::CaptureEngine::PixelBuffer&, uint64_t) {});
  engine->setOnAudio([&](const Bytes& block) { recording.add(block); });
  engine->start(1, 640, 360, 30, true, false);
  TonePlayer tone(stack);
  ASSERT_TRUE(tone.play(stack));
  expectTone(recording, stack);
  engine->stop();
}

// A tap engine on the stack's pulse server, recording what it hears.
struct TapOnStack {
  explicit TapOnStack(const PipeWireStack& stack)
      : engine(vela::AudioTapEngine::create(std::make_shared<PulseSystemAudio>(optionsFor(stack, log.sink())),
                                            [this](const Bytes& block) { recording.add(block); })) {}
  ~TapOnStack() { engine->stop(); }
  size_t linesStartingWith(const std::string& prefix) const { return log.startingWith(prefix).size(); }
  std::string logText() const {
    std::string text;
    for (const auto& line : log.lines()) text += line + "\n";
    return text;
  }

  vela::LogRecorder log;
  Recording recording;
  std::shared_ptr<vela::AudioTapEngine> engine;
};

TEST(PulseSystemAudio, ListensAgainAfterTheServerRestarted) {
  PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  TapOnStack tap(stack);
  ASSERT_TRUE(tap.engine->start()) << stack.logs();

  stack.stop();
  ASSERT_TRUE(eventually([&] { return tap.linesStartingWith("🔊 pulse: nasłuch przerwany (") == 1; }, 10s));
  ASSERT_TRUE(stack.start()) << stack.failureText();
  ASSERT_TRUE(eventually([&] { return tap.linesStartingWith("🔊 pulse: nasłuch monitora ") == 2; }, kSoundTimeout))
      << tap.logText() << stack.logs();
  // One line per outage, however many attempts it took.
  EXPECT_EQ(tap.linesStartingWith("🔊 pulse: nasłuch przerwany ("), 1u);
  EXPECT_TRUE(tap.engine->isRunning());

  TonePlayer tone(stack);
  ASSERT_TRUE(tone.play(stack));
  expectTone(tap.recording, stack);
}

TEST(PulseSystemAudio, FollowsTheDefaultSinkToItsNewMonitor) {
  PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  TapOnStack tap(stack);
  ASSERT_TRUE(tap.engine->start()) << stack.logs();

  // Two sinks of our own (the stack's stand-in sink goes away with the first: the stream on its monitor
  // ends and the source connects again); the first is the default.
  for (const char* sink : {"sink_name=tavlo_first", "sink_name=tavlo_second"}) {
    auto loaded = stack.run({"pactl", "load-module", "module-null-sink", sink});
    ASSERT_EQ(loaded.exitCode, 0) << loaded.output;
  }
  auto setDefault = [&](const std::string& sink) {
    return eventually([&] { return stack.run({"pactl", "set-default-sink", sink}).exitCode == 0; }, 5s);
  };
  ASSERT_TRUE(setDefault("tavlo_first"));
  ASSERT_TRUE(eventually([&] { return tap.linesStartingWith("🔊 pulse: nasłuch monitora tavlo_first") == 1; }, 10s))
      << tap.logText() << stack.logs();

  ASSERT_TRUE(setDefault("tavlo_second"));
  ASSERT_TRUE(eventually([&] { return tap.linesStartingWith("🔊 pulse: nasłuch monitora tavlo_second") == 1; }, 10s))
      << tap.logText() << stack.logs();
  EXPECT_EQ(tap.linesStartingWith("🔊 pulse: domyślne wyjście zmienione na tavlo_second"), 1u) << tap.logText();

  // pacat plays into the new default sink: only its monitor hears the tone.
  TonePlayer tone(stack);
  ASSERT_TRUE(tone.play(stack));
  expectTone(tap.recording, stack);
}

TEST(PulseSystemAudio, StartFailsAtOnceWithoutAServerAndLeavesNothingRunning) {
  testkit::TempDir nowhere;
  PulseSystemAudio::Options options;
  options.server = "unix:" + (nowhere / "native").string();
  auto source = std::make_shared<PulseSystemAudio>(options);
  const auto startedAt = std::chrono::steady_clock::now();
  auto failure = source->start([](const AudioSampleBuffer&) {});
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->rfind("pulse: ", 0), 0u) << *failure;
  EXPECT_LT(std::chrono::steady_clock::now() - startedAt, 4s);  // refused, not timed out
  EXPECT_FALSE(source->isRunning());
  source->stop();

  vela::LogRecorder systemLog;
  auto engine = vela::AudioTapEngine::create(source, [](const Bytes&) {}, systemLog.sink());
  EXPECT_FALSE(engine->start());
  EXPECT_EQ(systemLog.lines(), std::vector<std::string>{"Tavlo: przechwytywanie dźwięku systemu nieudane (" + *failure + ")"});
}

}  // namespace
}  // namespace tavlo
