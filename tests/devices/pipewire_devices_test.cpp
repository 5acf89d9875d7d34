// The virtual devices end to end: the host's writer, feeder and guard in this process, the daemons as
// child processes, real consumers (pw-record, a GStreamer pipewiresrc), all on a private PipeWire stack.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <thread>

#include "host/desktop/cam_sink_feeder.hpp"
#include "host/desktop/default_input_guard.hpp"
#include "host/desktop/mailbox_camera_sinks.hpp"
#include "host/desktop/mic_shm_writer.hpp"
#include "platform/pulse/pulse_audio_devices.hpp"
#include "tests/testkit/pipewire_stack.hpp"
#include "tests/testkit/shared_file_path.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using testkit::ChildProcess;
using testkit::PipeWireStack;
using testkit::SharedFilePath;

// Polls `condition` until it holds or `timeout` passes (generous: a loaded machine or a sanitizer build
// runs the daemons many times slower).
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return condition();
}

// Runs `step` every `period` on a thread of its own until destroyed (the host's session paths).
class Periodic {
 public:
  Periodic(std::chrono::microseconds period, std::function<void()> step)
      : thread_([this, period, step = std::move(step)] {
          auto next = std::chrono::steady_clock::now();
          while (!stop_) {
            step();
            next += period;
            std::this_thread::sleep_until(next);
          }
        }) {}
  ~Periodic() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool sourcesInclude(PipeWireStack& stack, const std::string& name) {
  return stack.run({"pactl", "list", "sources", "short"}).output.find(name) != std::string::npos;
}

// The samples of a 16-bit mono WAV file that may still be growing (the data chunk runs to the end).
std::vector<int16_t> wavSamples(const std::filesystem::path& path) {
  std::string bytes = testkit::readTextFile(path);
  size_t at = 12;
  while (at + 8 <= bytes.size()) {
    uint32_t size;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    if (bytes.compare(at, 4, "data") == 0) {
      std::vector<int16_t> samples((bytes.size() - at - 8) / 2);
      if (!samples.empty()) std::memcpy(samples.data(), bytes.data() + at + 8, samples.size() * 2);
      return samples;
    }
    at += 8 + size;
  }
  return {};
}

// The frequency of the longest stretch without a dropout (a run of near-silent samples, which a sine
// of this loudness never has), measured between its first and last rising zero crossings; 0 when the
// stretch is shorter than `minimumSamples`.
double toneFrequency(const std::vector<int16_t>& samples, size_t minimumSamples) {
  size_t bestStart = 0, bestLength = 0, start = 0, quiet = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    quiet = std::abs(samples[i]) < 200 ? quiet + 1 : 0;
    if (quiet >= 4) start = i + 1;
    if (i + 1 - start > bestLength && quiet == 0) bestStart = start, bestLength = i + 1 - start;
  }
  if (bestLength < minimumSamples) return 0;
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t i = bestStart + 1; i < bestStart + bestLength; ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      double at = static_cast<double>(i - 1) + samples[i - 1] / static_cast<double>(samples[i - 1] - samples[i]);
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  return crossings < 2 ? 0 : (crossings - 1) * 48000.0 / (last - first);
}

TEST(VirtualMicrophone, RecordsTheToneTheHostWritesIntoTheRing) {
  PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  // Both sides find the ring by themselves, in the runtime directory of the session they run in.
  auto writer = MicShmWriter::create((stack.directory() / micring::kFileName).string(), {});
  ASSERT_TRUE(writer);
  ChildProcess micd;
  ASSERT_TRUE(micd.start({TAVLO_MICD}, stack.environment(), stack.directory() / "micd.log"));
  ASSERT_TRUE(eventually([&] { return sourcesInclude(stack, "TavloMic_UID"); })) << micd.log() << stack.logs();

  // The session's microphone path: 20-ms packets of a 1 kHz tone at half scale, in real time.
  uint64_t n = 0;
  Periodic tone(20ms, [&] {
    std::vector<int16_t> block(960);
    for (auto& s : block) s = static_cast<int16_t>(std::lround(16384 * std::sin(2 * M_PI * 1000.0 * n++ / 48000.0)));
    writer->write(ByteView(reinterpret_cast<const uint8_t*>(block.data()), block.size() * 2));
  });
  ChildProcess record;
  const auto wav = stack.directory() / "mic.wav";
  ASSERT_TRUE(record.start({"pw-record", "--target", "TavloMic_UID", "--rate", "48000", "--channels", "1", "--format",
                            "s16", wav.string()},
                           stack.environment(), stack.directory() / "pw-record.log"));
  // A first recording can start late: wait for a clean half second of tone rather than a fixed window.
  double frequency = 0;
  bool heard = eventually([&] {
    frequency = toneFrequency(wavSamples(wav), 24000);
    return frequency > 0;
  }, 20s);
  record.stop(SIGINT);
  EXPECT_TRUE(heard) << record.log() << micd.log() << stack.logs();
  EXPECT_NEAR(frequency, 1000.0, 10.0);
  EXPECT_EQ(micd.stop(), 0) << micd.log();
}

// A 640×360 picture of four coloured quadrants; letterboxed it fills the camera's frame at twice the size.
vela::PixelBuffer quadrants() {
  vela::PixelBuffer frame;
  frame.width = 640;
  frame.height = 360;
  frame.bytesPerRow = 640 * 4;
  frame.bgra.resize(frame.bytesPerRow * 360);
  for (int y = 0; y < 360; ++y) {
    for (int x = 0; x < 640; ++x) {
      uint8_t* p = frame.bgra.data() + static_cast<size_t>(y) * frame.bytesPerRow + static_cast<size_t>(x) * 4;
      const bool right = x >= 320, bottom = y >= 180;
      p[0] = (!right && !bottom) || (right && bottom) ? 200 : 0;
      p[1] = right ? 200 : 0;
      p[2] = bottom ? 200 : 0;
      p[3] = 255;
    }
  }
  return frame;
}

// Whether a received 1280×720 BGRx frame shows the quadrants (sampled in each quadrant's middle).
bool showsQuadrants(const std::string& frame) {
  if (frame.size() != 1280u * 720 * 4) return false;
  auto near = [&](int x, int y, int b, int g, int r) {
    const auto* p = reinterpret_cast<const uint8_t*>(frame.data()) + (static_cast<size_t>(y) * 1280 + x) * 4;
    return std::abs(p[0] - b) <= 3 && std::abs(p[1] - g) <= 3 && std::abs(p[2] - r) <= 3;
  };
  return near(320, 180, 200, 0, 0) && near(960, 180, 0, 200, 0) && near(320, 540, 0, 0, 200) &&
         near(960, 540, 200, 200, 200);
}

TEST(VirtualCamera, AConsumerReceivesTheFedFrameAndTheFeederSeesItRunning) {
  PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  // The daemon makes its mailbox in the runtime directory of the session, where the host looks for it.
  const std::string mailbox = (stack.directory() / cammailbox::kFileName).string();
  ChildProcess camd;
  ASSERT_TRUE(camd.start({TAVLO_CAMD}, stack.environment(), stack.directory() / "camd.log"));
  ASSERT_TRUE(eventually([&] { return MailboxCameraSinks(mailbox).find("TavloCam_UID") != nullptr; }))
      << camd.log();

  FakeClock clock;  // the watcher is not started: the test probes itself
  ManualScheduler scheduler(clock);
  auto feeder = CamSinkFeeder::create(std::make_unique<MailboxCameraSinks>(mailbox), scheduler);
  feeder->probeConsumption();
  EXPECT_FALSE(feeder->consumedCached());

  const auto picture = quadrants();
  Periodic camera(33ms, [&] { feeder->push(picture); });
  ChildProcess consumer;
  const auto frames = stack.directory() / "frames";
  std::filesystem::create_directories(frames);
  ASSERT_TRUE(consumer.start({"gst-launch-1.0", "-q", "pipewiresrc", "target-object=TavloCam_UID", "!", "videoconvert",
                              "!", "video/x-raw,format=BGRx,width=1280,height=720", "!", "multifilesink",
                              "location=" + (frames / "frame-%05d.raw").string(), "max-files=4"},
                             stack.environment(), stack.directory() / "gst.log"));
  EXPECT_TRUE(eventually([&] {
    feeder->probeConsumption();
    return feeder->consumedCached();
  }, 20s)) << consumer.log() << camd.log();
  EXPECT_TRUE(eventually([&] {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(frames, ec)) {
      if (showsQuadrants(testkit::readTextFile(entry.path()))) return true;
    }
    return false;
  }, 20s)) << consumer.log() << camd.log() << stack.logs();

  consumer.stop(SIGINT);
  EXPECT_TRUE(eventually([&] {
    feeder->probeConsumption();
    return !feeder->consumedCached();
  })) << camd.log();
  EXPECT_EQ(camd.stop(), 0) << camd.log();
}

TEST(DefaultInputGuard, MakesTavloMicTheDefaultSourceWhileEngagedAndRestoresThePreviousOne) {
  PipeWireStack stack;
  ASSERT_TRUE(stack.start()) << stack.failureText();
  SharedFilePath ring;
  ChildProcess micd;
  ASSERT_TRUE(micd.start({TAVLO_MICD, "--ring", ring}, stack.environment(), stack.directory() / "micd.log"));
  // The user's own microphone, chosen as the default.
  ASSERT_EQ(stack.run({"pactl", "load-module", "module-null-sink", "media.class=Audio/Source/Virtual",
                       "sink_name=desk_mic"}).exitCode, 0);
  ASSERT_TRUE(eventually([&] { return sourcesInclude(stack, "TavloMic_UID") && sourcesInclude(stack, "desk_mic"); }))
      << micd.log() << stack.logs();
  ASSERT_EQ(stack.run({"pactl", "set-default-source", "desk_mic"}).exitCode, 0);

  PulseAudioDevices devices(stack.pulseServer());
  DefaultInputGuard guard(devices, SteadyClock::shared());
  ASSERT_TRUE(eventually([&] { return devices.defaultSource() == "desk_mic"; }));
  EXPECT_FALSE(guard.micRunningSomewhere());

  guard.engage();
  EXPECT_TRUE(eventually([&] { return devices.defaultSource() == "TavloMic_UID"; })) << stack.logs();
  // An application recording from the default input now uses the virtual microphone.
  ChildProcess record;
  ASSERT_TRUE(record.start({"pw-record", "--target", "TavloMic_UID", (stack.directory() / "r.wav").string()},
                           stack.environment(), stack.directory() / "pw-record.log"));
  EXPECT_TRUE(eventually([&] { return guard.micRunningSomewhere(); })) << record.log();
  record.stop(SIGINT);

  guard.restore();
  EXPECT_TRUE(eventually([&] { return devices.defaultSource() == "desk_mic"; })) << stack.logs();
  EXPECT_EQ(micd.stop(), 0) << micd.log();
}

}  // namespace
}  // namespace tavlo
