// The built tavlo-host while a hostile peer on the same machine sprays its three UDP ports with junk
// (random datagrams from ever new source ports, half of them looking like packets): what the peer can
// make the host keep before it proves a session is bounded, so the host's memory stays under twice
// what it holds streaming without the spray, the client's frames keep decoding, and the memory is
// back once the session has ended.
//
// TAVLO_SPRAY_SECONDS sets the length of the spray (10 s by default) for a longer run by hand; the
// figures are printed either way.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

#include "media/cam_decoder.hpp"
#include "platform/runtime/base64.hpp"
#include "platform/x11/xcb_connection.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/host/end_to_end/junk_spray.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using endtoend::startKeyedHost;
using endtoend::ScreenActivity;

constexpr auto answerWithin = endtoend::hostAnswerBound;
constexpr auto calmTime = 4s;       // streaming without the spray: the baseline
constexpr auto afterSprayTime = 3s;  // streaming again once the spray has stopped
// Each of the three senders: datagrams a second, and how many come from one source port (a new
// source every second: each is taken for a moved client, offered for adoption and refused in turn).
constexpr int sprayRatePerPort = 20'000;
constexpr int datagramsPerSource = 20'000;
// What the spray may add to the host: three waiting flows of at most 64 datagrams and twelve adoption
// candidates come to well under a megabyte; the rest is room for the allocator and the stream itself.
constexpr size_t sprayGrowthBound = 32 * 1024 * 1024;
// Lines about unproven sources: each of the three flows and the listener write at most six per 10 s.
constexpr size_t unprovenLinesPerTenSeconds = 4 * 6;

std::chrono::seconds sprayTime() {
  const char* text = std::getenv("TAVLO_SPRAY_SECONDS");
  const long seconds = text ? std::strtol(text, nullptr, 10) : 0;
  return std::chrono::seconds(seconds > 0 ? seconds : 10);
}

std::string tail(const std::string& text, size_t bytes = 6000) {
  return text.size() <= bytes ? text : "…" + text.substr(text.size() - bytes);
}

double mib(size_t bytes) { return double(bytes) / (1024.0 * 1024.0); }

// What one stretch of streaming showed.
struct Stretch {
  int pictures = 0;
  int failures = 0;
  size_t peakRss = 0;
  size_t lastRss = 0;
  std::chrono::steady_clock::time_point lastPicture{};
};

TEST(TavloHostUdpSpray, JunkFromNewSourcesKeepsTheHostBoundedAndTheStreamDecoding) {
  testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  std::string error;
  auto x = XcbConnection::open(server.display(), &error);
  ASSERT_NE(x, nullptr) << error;
  testkit::TempDir home;
  std::string why;
  auto started = startKeyedHost(home.path(), server.display(), why);
  ASSERT_TRUE(started) << why;
  HostProcess& host = *started->process;
  const uint16_t base = started->base;
  hosttest::HostTestClient client;
  ASSERT_TRUE(client.connect(base, started->key, &error)) << error << "\n" << host.output();

  constexpr uint16_t width = 1280, height = 720;
  client.sendHello(width, height);
  auto hello = client.nextControl<vela::HostHello>(answerWithin);
  ASSERT_TRUE(hello && hello->accepted) << host.output();
  client.setSession(hello->sessionId, hello->generation);
  client.sendKeepalive();
  auto config = client.nextControl<vela::VideoConfig>(answerWithin);
  ASSERT_TRUE(config) << host.output();
  client.setSession(hello->sessionId, config->generation);
  auto decoder = vela::CamDecoder::create(0, 0, config->hvcc);
  ASSERT_NE(decoder, nullptr);

  ScreenActivity activity(*x);
  auto nextKeepalive = std::chrono::steady_clock::now();
  auto stream = [&](std::chrono::steady_clock::duration length) {
    Stretch s;
    const auto end = std::chrono::steady_clock::now() + length;
    auto nextSample = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= nextKeepalive) {  // as a client does: the host reaps a session that says nothing for 15 s
        client.sendKeepalive();
        client.sendControl(vela::Ping{1});
        nextKeepalive = now + 500ms;
      }
      if (now >= nextSample) {
        s.lastRss = size_t(endtoend::figuresOf(host.pid()).rssKiB) * 1024;
        s.peakRss = std::max(s.peakRss, s.lastRss);
        host.drainOutput();
        nextSample = now + 200ms;
      }
      activity.step();
      auto frame = client.nextFrame(30ms);
      if (!frame) continue;
      if (!decoder->decode(frame->data, frame->captureTimestampUs)) {
        s.failures += s.pictures > 0 ? 1 : 0;
        continue;
      }
      ++s.pictures;
      s.lastPicture = std::chrono::steady_clock::now();
    }
    return s;
  };

  const Stretch calm = stream(calmTime);
  ASSERT_GE(calm.pictures, 10) << tail(host.output());
  const size_t baseline = calm.lastRss;

  const auto sprayLength = sprayTime();
  const char* rateText = std::getenv("TAVLO_SPRAY_RATE");
  const char* perSourceText = std::getenv("TAVLO_SPRAY_PER_SOURCE");
  hosttest::JunkSpray spray({uint16_t(base + 1), uint16_t(base + 2), uint16_t(base + 3)},
                            rateText ? std::atoi(rateText) : sprayRatePerPort,
                            perSourceText ? std::atoi(perSourceText) : datagramsPerSource);
  const Stretch sprayed = stream(sprayLength);
  const auto sprayEnd = std::chrono::steady_clock::now();
  spray.stop();
  const Stretch after = stream(afterSprayTime);

  client.sendBye();
  EXPECT_TRUE(host.waitForLine("gotowy na kolejnego klienta")) << tail(host.output());
  std::this_thread::sleep_for(2s);
  host.drainOutput();
  const size_t ended = size_t(endtoend::figuresOf(host.pid()).rssKiB) * 1024;

  std::cout << "RSS without spray " << mib(baseline) << " MiB; during " << sprayLength.count() << " s of spray ("
            << spray.sent() << " datagrams) peak " << mib(sprayed.peakRss) << " MiB, at its end "
            << mib(sprayed.lastRss) << " MiB; after the spray " << mib(after.lastRss)
            << " MiB; after the session ended " << mib(ended) << " MiB; pictures " << calm.pictures << " / "
            << sprayed.pictures << " / " << after.pictures << std::endl;
  if (endtoend::residentSetIsMeaningful) {
    EXPECT_LT(sprayed.peakRss, 2 * baseline) << tail(host.output());
    EXPECT_LT(sprayed.peakRss, baseline + sprayGrowthBound) << "the spray grows the host";
    EXPECT_LT(ended, 2 * baseline) << tail(host.output());
  }
  const size_t windows = size_t(sprayLength / 10s) + 2;
  EXPECT_LE(endtoend::linesWith(host.output(), "🔁"), unprovenLinesPerTenSeconds * windows) << "the spray floods the log";
  EXPECT_GE(sprayed.pictures, 10) << tail(host.output());
  EXPECT_LT(sprayEnd - sprayed.lastPicture, 2s) << "the frames stopped during the spray";
  EXPECT_EQ(sprayed.failures + after.failures, 0);
  EXPECT_GE(after.pictures, 5);

  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << tail(host.output());
  if (const char* keep = std::getenv("TAVLO_SPRAY_HOST_LOG")) std::ofstream(keep) << host.output();
}

}  // namespace
}  // namespace tavlo
