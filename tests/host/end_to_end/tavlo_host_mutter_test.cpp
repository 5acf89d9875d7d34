// The built tavlo-host on a private headless GNOME compositor (mutter with a stand-in physical
// monitor) and an independent client of the project's own client halves: the client gets decodable
// frames of the size it asked for from a virtual monitor of that many pixels (scale 2 where mutter
// offers it), its pointer reaches a Wayland client on that monitor, the session keeps the virtual
// monitor alone and primary while it streams, and its end puts the layout back, twice in a row
// without a monitor left behind. The frame rate of an animating client and the pointer's delay to an
// application are printed as figures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "media/cam_decoder.hpp"
#include "platform/gnome/mutter_display_config.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/testkit/headless_mutter.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using endtoend::eventually;
using endtoend::linesSoFar;

constexpr auto answerWithin = endtoend::hostAnswerBound;
constexpr auto streamingTime = 5s;

struct Shown {
  std::string connector;
  int64_t x = 0, y = 0;
  double scale = 1;
  bool primary = false;
  friend bool operator==(const Shown&, const Shown&) = default;
};

std::vector<Shown> layoutOf(MutterDisplayConfig& config) {
  std::vector<Shown> shown;
  for (const auto& logical : config.state(true).logicalMonitors) {
    for (const auto& connector : logical.connectors) {
      shown.push_back({connector, logical.x, logical.y, logical.scale, logical.primary});
    }
  }
  return shown;
}

std::string describe(const std::vector<Shown>& layout) {
  std::string text;
  for (const auto& s : layout) {
    text += s.connector + "@" + std::to_string(s.x) + "," + std::to_string(s.y) + " x" + std::to_string(s.scale) +
            (s.primary ? " primary" : "") + "; ";
  }
  return text;
}

class TavloHostOnMutter : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mutter.start(testkit::MonitorSize{1024, 768})) << mutter.failureText();
    mutter.applyToThisProcess();
    std::string error;
    bus = BusConnection::openSession(&error);
    ASSERT_TRUE(bus) << error;
    config = std::make_unique<MutterDisplayConfig>(bus);
    original = layoutOf(*config);
    ASSERT_EQ(original.size(), 1u);
    base = freeBlock();
    ASSERT_NE(base, 0);
    host = std::make_unique<HostProcess>(
        home.path(), std::vector<std::string>{"--port", std::to_string(base)},
        std::vector<std::pair<std::string, std::string>>{{"DBUS_SESSION_BUS_ADDRESS", mutter.busAddress()},
                                                         {"XDG_RUNTIME_DIR", mutter.directory().string()},
                                                         {"WAYLAND_DISPLAY", mutter.waylandDisplay()},
                                                         {"XDG_SESSION_TYPE", "wayland"},
                                                         {"XDG_CURRENT_DESKTOP", "GNOME"},
                                                         {"QT_QPA_PLATFORM", "offscreen"}});
    std::optional<Bytes> published;
    if (host->waitForLine("signing key (Base64) ")) published = endtoend::publishedKey(host->output());
    ASSERT_TRUE(published) << host->output();
    key = *published;
    // The desktop's clipboard is mutter's: the host shares it.
    EXPECT_EQ(host->output().find("the clipboard is not shared"), std::string::npos) << host->output();
  }

  // One session of a client whose window is `width`×`height`: admitted, streamed for a while, ended.
  void streamOnce(uint16_t width, uint16_t height, bool expectScale2, bool measure) {
    hosttest::HostTestClient client;
    std::string error;
    ASSERT_TRUE(client.connect(base, key, &error)) << error << "\n" << host->output();
    client.sendHello(width, height);
    auto hello = client.nextControl<vela::HostHello>(answerWithin);
    ASSERT_TRUE(hello) << linesSoFar(*host);
    ASSERT_TRUE(hello->accepted) << host->output() << mutter.logs();
    client.setSession(hello->sessionId, hello->generation);
    client.sendKeepalive();
    auto videoConfig = client.nextControl<vela::VideoConfig>(answerWithin);
    ASSERT_TRUE(videoConfig) << linesSoFar(*host);
    EXPECT_EQ(videoConfig->codedPxW, width);
    EXPECT_EQ(videoConfig->codedPxH, height);
    client.setSession(hello->sessionId, videoConfig->generation);
    auto decoder = vela::CamDecoder::create(0, 0, videoConfig->hvcc);
    ASSERT_NE(decoder, nullptr);

    // The virtual monitor has the client's pixels, alone and primary while the session runs.
    const auto state = config->state(true);
    const MutterLogicalMonitor* only = state.logicalMonitors.size() == 1 ? &state.logicalMonitors.front() : nullptr;
    EXPECT_TRUE(eventually(
        [&] {
          client.sendKeepalive();
          const auto layout = layoutOf(*config);
          return layout.size() == 1 && layout.front().primary && layout.front().connector != original.front().connector;
        },
        answerWithin))
        << describe(layoutOf(*config)) << "\n" << host->output();
    const auto now = config->state(true);
    ASSERT_EQ(now.logicalMonitors.size(), 1u);
    const MutterMonitor* shown = now.monitor(now.logicalMonitors.front().connectors.front());
    ASSERT_TRUE(shown && shown->currentMode());
    EXPECT_EQ(shown->currentMode()->width, width);
    EXPECT_EQ(shown->currentMode()->height, height);
    EXPECT_DOUBLE_EQ(now.logicalMonitors.front().scale, expectScale2 ? 2.0 : 1.0);
    (void)only;

    // An application that keeps drawing (the damage the stream needs) and one that logs the pointer.
    testkit::ChildProcess animation, events;
    ASSERT_TRUE(mutter.startClient(animation, {"weston-simple-shm"}, "simple-shm.log"));
    ASSERT_TRUE(mutter.startClient(events, {"stdbuf", "-oL", "weston-eventdemo", "--log-motion", "-b"}, "events.log"));

    const auto begin = std::chrono::steady_clock::now();
    const auto streamEnd = begin + streamingTime;
    // At least the streaming time, and on until a few pictures came (a loaded machine renders slowly:
    // the rate is a figure, not a condition).
    constexpr int enoughPictures = 5;
    const auto [pictures, failures] = client.decodePictures(*decoder, width, height, [&](int sofar) {
      const auto now = std::chrono::steady_clock::now();
      return now < streamEnd || (sofar < enoughPictures && now < streamEnd + answerWithin);
    });
    EXPECT_GE(pictures, enoughPictures) << (pictures < enoughPictures ? linesSoFar(*host) : std::string());
    EXPECT_EQ(failures, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

    // The client's pointer reaches the application under it (wherever mutter placed its window).
    auto sweep = [&] {
      client.sendKeepalive();  // a slow start of the window must not look like a client gone quiet
      for (double fx : {0.1, 0.3, 0.5, 0.7, 0.9}) {
        for (double fy : {0.1, 0.3, 0.5, 0.7, 0.9}) client.sendPointerMove(fx, fy);
      }
    };
    auto motions = [&] { return endtoend::linesWith(events.log(), "motion"); };
    EXPECT_TRUE(eventually(
        [&] {
          sweep();  // datagrams: sent again until they have acted
          return motions() > 0;
        },
        answerWithin))
        << events.log() << host->output();
    // Once the window is there: how long one sweep takes to reach it.
    const size_t before = motions();
    const auto aimed = std::chrono::steady_clock::now();
    sweep();
    const bool reached = eventually(
        [&] {
          client.sendKeepalive();
          return motions() > before;
        },
        answerWithin);
    EXPECT_TRUE(reached);
    if (measure) {
      std::printf("[figures] GNOME backend, %dx%d, weston-simple-shm animating: %d decodable pictures in %.1f s = %.1f "
                  "frames/s; pointer from the client to the application: %.0f ms\n",
                  width, height, pictures, seconds, pictures / seconds,
                  reached ? std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - aimed).count()
                          : -1.0);
    }

    // The session's end (its engines stopped, the layout put back) can take a while on a loaded
    // machine: the host says when it is ready for the next client, and the layout is back by then.
    client.sendBye();
    EXPECT_TRUE(host->waitForLine("gotowy na kolejnego klienta")) << host->output();
    EXPECT_TRUE(eventually([&] { return layoutOf(*config) == original; }, answerWithin))
        << describe(layoutOf(*config)) << "\n" << linesSoFar(*host);
    EXPECT_TRUE(eventually([&] { return config->state(true).monitors.size() == 1; }, answerWithin))
        << "a virtual monitor was left behind";
    client.close();
  }

  testkit::HeadlessMutter mutter;
  std::shared_ptr<BusConnection> bus;
  std::unique_ptr<MutterDisplayConfig> config;
  std::vector<Shown> original;
  testkit::TempDir home;
  std::unique_ptr<HostProcess> host;
  uint16_t base = 0;
  Bytes key;
};

TEST_F(TavloHostOnMutter, StreamsAVirtualMonitorOfTheClientsSizeTakesItsPointerAndRestoresTheLayoutTwice) {
  // A large window: a HiDPI monitor (scale 2) of exactly its pixels.
  streamOnce(1600, 1024, true, true);
  // A small one: mutter keeps scale 1, the client still gets its pixels; and nothing of the first
  // session is left.
  streamOnce(1280, 720, false, true);
  host->signal(SIGTERM);
  EXPECT_EQ(host->exitStatus(), 0) << host->output();
  EXPECT_EQ(layoutOf(*config), original);
}

}  // namespace
}  // namespace tavlo
