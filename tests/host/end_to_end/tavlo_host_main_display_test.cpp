// The built tavlo-host on an X server with no output it can take for a virtual display (Xvfb, as
// Xwayland and desktops on modesetting or vendor drivers): start-up says so, and a client is streamed
// the main display, decodable at the main display's size, instead of being refused.
#include <gtest/gtest.h>

#include <chrono>

#include "media/cam_decoder.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using endtoend::linesSoFar;
using endtoend::ScreenActivity;

constexpr auto answerWithin = endtoend::hostAnswerBound;

TEST(TavloHostMainDisplay, StreamsTheMainDisplayOfAnXServerWithNoOutputToTake) {
  testkit::XorgServer server(testkit::XorgServer::Kind::xvfb);
  ASSERT_TRUE(server.start()) << server.failureText();
  std::string error;
  auto x = XcbConnection::open(server.display(), &error);
  ASSERT_NE(x, nullptr) << error;
  const auto outputsBefore = queryOutputs(*x);
  testkit::TempDir home;
  std::string why;
  auto started = endtoend::startKeyedHost(home.path(), server.display(), why);
  ASSERT_TRUE(started) << why;
  HostProcess& host = *started->process;
  const std::string output = host.output();
  EXPECT_NE(output.find("desktop: X server " + server.display() + " has no output the host can take"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("clients connect to"), std::string::npos) << output;

  hosttest::HostTestClient client;
  ASSERT_TRUE(client.connect(started->base, started->key, &error)) << error << "\n" << host.output();
  client.sendHello(1280, 720);
  auto hello = client.nextControl<vela::HostHello>(answerWithin);
  ASSERT_TRUE(hello) << linesSoFar(host);
  ASSERT_TRUE(hello->accepted) << linesSoFar(host);
  client.setSession(hello->sessionId, hello->generation);
  client.sendKeepalive();
  EXPECT_TRUE(host.waitForLine("🪞 tryb lustra: ekran główny 1920×1080")) << host.output();

  auto config = client.nextControl<vela::VideoConfig>(answerWithin);
  ASSERT_TRUE(config) << linesSoFar(host);
  // The main display's shape, not the client's window's.
  EXPECT_EQ(config->codedPxW * 1080, config->codedPxH * 1920) << config->codedPxW << "×" << config->codedPxH;
  client.setSession(hello->sessionId, config->generation);
  auto decoder = vela::CamDecoder::create(0, 0, config->hvcc);
  ASSERT_NE(decoder, nullptr) << "the configuration's parameter sets are refused";

  ScreenActivity activity(*x);
  int pictures = 0;
  const auto until = std::chrono::steady_clock::now() + answerWithin;
  auto nextKeepalive = std::chrono::steady_clock::now();
  while (pictures < 5 && std::chrono::steady_clock::now() < until) {
    if (std::chrono::steady_clock::now() >= nextKeepalive) {
      client.sendKeepalive();
      nextKeepalive += 500ms;
    }
    activity.step();
    auto frame = client.nextFrame(30ms);
    if (!frame) continue;
    if (auto picture = decoder->decode(frame->data, frame->captureTimestampUs)) {
      ++pictures;
      EXPECT_EQ(picture->width, config->codedPxW);
      EXPECT_EQ(picture->height, config->codedPxH);
    }
  }
  EXPECT_GE(pictures, 5) << host.output();

  client.sendBye();
  EXPECT_TRUE(host.waitForLine("gotowy na kolejnego klienta")) << host.output();
  client.close();
  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
  // Nothing was made main, switched off or added.
  const auto outputsAfter = queryOutputs(*x);
  ASSERT_EQ(outputsAfter.size(), outputsBefore.size());
  for (size_t i = 0; i < outputsAfter.size(); ++i) {
    EXPECT_EQ(outputsAfter[i].enabled(), outputsBefore[i].enabled());
    EXPECT_EQ(outputsAfter[i].primary, outputsBefore[i].primary);
  }
}

}  // namespace
}  // namespace tavlo
