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

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using testkit::ChildProcess;
using testkit::PipeWireStack;

constexpr double kToneHz = 1000;
constexpr int kSampleRate = 48000;
// 100 whole periods of the tone: over them its sine and cosine are orthogonal.
constexpr size_t kWindowFrames = 4800;
// A sample this loud (of 32767) means the tone has arrived.
constexpr int kSoundThreshold = 1000;
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

// Plays 30 s of a 1 kHz stereo tone (16-bit, amplitude 8000) into the stack's default sink with pacat.
class TonePlayer {
 public:
  explicit TonePlayer(const PipeWireStack& stack) : file_(stack.directory() / "tone.raw") {
    std::ofstream out(file_, std::ios::binary);
    for (int i = 0; i < 30 * kSampleRate; ++i) {
      const auto value = static_cast<int16_t>(8000 * std::sin(2 * std::numbers::pi * kToneHz * i / kSampleRate));
      for (int channel = 0; channel < 2; ++channel) out.write(reinterpret_cast<const char*>(&value), sizeof(value));
    }
  }
  bool play(const PipeWireStack& stack) {
    player_.stop();
    return player_.start({"pacat", "--playback", "--format=s16le", "--rate=48000", "--channels=2", file_.string()},
                         stack.environment(), stack.directory() / "pacat.log");
  }

 private:
  std::filesystem::path file_;
  ChildProcess player_;
};

// The left channel of every block received, from whatever thread delivers them.
class Recording {
 public:
  void add(const Bytes& block) {
    std::lock_guard guard(mutex_);
    for (size_t i = 0; i + 4 <= block.size(); i += 4) {
      left_.push_back(static_cast<int16_t>(static_cast<uint16_t>(block[i] | (block[i + 1] << 8))));
    }
  }
  // The windows of kWindowFrames that follow each other from the first loud sample on, less the first
  // `skip` of them.
  std::vector<std::vector<int16_t>> toneWindows(size_t skip) const {
    std::lock_guard guard(mutex_);
    std::vector<std::vector<int16_t>> windows;
    size_t at = 0;
    while (at < left_.size() && std::abs(left_[at]) < kSoundThreshold) ++at;
    for (at += skip * kWindowFrames; at + kWindowFrames <= left_.size(); at += kWindowFrames) {
      windows.emplace_back(left_.begin() + static_cast<std::ptrdiff_t>(at),
                           left_.begin() + static_cast<std::ptrdiff_t>(at + kWindowFrames));
    }
    return windows;
  }
  size_t size() const {
    std::lock_guard guard(mutex_);
    return left_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int16_t> left_;
};

// How well the samples match a 1 kHz sine of any phase: the share of their energy that the best-fitting
// sine carries, as a correlation (1 for a pure tone).
double toneCorrelation(const std::vector<int16_t>& samples) {
  double sine = 0, cosine = 0, energy = 0;
  for (size_t n = 0; n < samples.size(); ++n) {
    const double phase = 2 * std::numbers::pi * kToneHz * static_cast<double>(n) / kSampleRate;
    sine += samples[n] * std::sin(phase);
    cosine += samples[n] * std::cos(phase);
    energy += static_cast<double>(samples[n]) * samples[n];
  }
  if (energy == 0) return 0;
  return std::sqrt((sine * sine + cosine * cosine) / (energy * static_cast<double>(samples.size()) / 2));
}

// Polls the recording until a window of it is the tone. A window that holds the onset, or a dropout of a
// loaded machine, correlates less: the best window counts.
void expectTone(const Recording& recording, const PipeWireStack& stack) {
  double best = 0;
  size_t evaluated = 0;
  const bool heard = eventually(
      [&] {
        for (const auto& window : recording.toneWindows(evaluated)) {
          best = std::max(best, toneCorrelation(window));
          ++evaluated;
        }
        return best > 0.9;
      },
      kSoundTimeout);
  EXPECT_TRUE(heard) << "best correlation " << best << " in " << recording.size() << " samples\n" << stack.logs();
}

PulseSystemAudio::Options optionsFor(const PipeWireStack& stack, LogSink log) {
  PulseSystemAudio::Options options;
  options.server = stack.pulseServer();
  options.reconnectDelayUs = 200'000;
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
  EXPECT_EQ(systemLog.lines(), std::vector<std::string>{"Tavlo: AudioHardwareCreateProcessTap nieudane"});
}

}  // namespace
}  // namespace tavlo
