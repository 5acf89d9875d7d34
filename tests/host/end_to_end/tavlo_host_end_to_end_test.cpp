// The built tavlo-host on a private dummy Xorg with x265, and a client made of the project's own client
// halves: the hello is answered, HEVC frames of the requested size decode for 5 s, a pointer move
// moves the X pointer, and the client's goodbye ends the session and takes the virtual display away.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "media/cam_decoder.hpp"
#include "platform/input/xtest_poster.hpp"
#include "platform/runtime/base64.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

// How long frames must keep decoding.
constexpr auto streamingTime = 5s;
// Bounds of the waits for the host: they only guard against a hang.
constexpr auto answerWithin = 15s;

// The signing key the host printed ("signing key (Base64) …").
std::optional<Bytes> publishedKey(const std::string& output) {
  const std::string marker = "signing key (Base64) ";
  size_t at = output.find(marker);
  if (at == std::string::npos) return std::nullopt;
  at += marker.size();
  size_t end = output.find_first_of(",\n", at);
  return base64Decode(output.substr(at, end - at));
}

// The enabled outputs of the server, by id.
std::vector<uint32_t> enabledOutputs(const XcbConnection& connection) {
  std::vector<uint32_t> ids;
  for (const auto& output : queryOutputs(connection)) {
    if (output.enabled()) ids.push_back(output.outputId);
  }
  return ids;
}

// The host's lines, read on for the bound of waitForLine, for a failure message.
std::string linesSoFar(HostProcess& host) {
  host.waitForLine("\x01");
  return host.output();
}

// Something that changes on the screen: capture sends only frames whose content changed.
class ScreenActivity {
 public:
  explicit ScreenActivity(const XcbConnection& x) : x_(x), gc_(xcb_generate_id(x.get())) {
    xcb_create_gc(x_.get(), gc_, x_.root(), 0, nullptr);
  }
  ~ScreenActivity() { xcb_free_gc(x_.get(), gc_); }
  // Paints a square at the top left of the root window in the next colour.
  void step() {
    const uint32_t colour = (++count_ * 0x3D5A7Bu) & 0xFFFFFFu;
    xcb_change_gc(x_.get(), gc_, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t square{0, 0, 256, 256};
    xcb_poly_fill_rectangle(x_.get(), x_.root(), gc_, 1, &square);
    xcb_flush(x_.get());
  }

 private:
  const XcbConnection& x_;
  xcb_gcontext_t gc_;
  uint32_t count_ = 0;
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

TEST(TavloHostEndToEnd, StreamsDecodableHevcTakesThePointerAndEndsOnTheClientsGoodbye) {
  testkit::XorgServer server;
  ASSERT_TRUE(server.start()) << server.failureText();
  std::string error;
  auto x = XcbConnection::open(server.display(), &error);
  ASSERT_NE(x, nullptr) << error;
  auto pointer = XTestPoster::open(server.display(), &error);
  ASSERT_NE(pointer, nullptr) << error;
  const std::vector<uint32_t> outputsBefore = enabledOutputs(*x);

  testkit::TempDir home;
  const uint16_t base = freeBlock();
  ASSERT_NE(base, 0);
  HostProcess host(home.path(), {"--port", std::to_string(base), "--display", server.display()});
  ASSERT_TRUE(host.waitForLine("signing key (Base64) ")) << host.output();
  std::optional<Bytes> key = publishedKey(host.output());
  ASSERT_TRUE(key) << host.output();

  hosttest::HostTestClient client;
  ASSERT_TRUE(client.connect(base, *key, &error)) << error << "\n" << host.output();
  constexpr uint16_t width = 1280, height = 720;
  client.sendHello(width, height);
  auto hello = client.nextControl<vela::HostHello>(answerWithin);
  ASSERT_TRUE(hello) << linesSoFar(host);
  ASSERT_TRUE(hello->accepted) << host.output();
  client.setSession(hello->sessionId, hello->generation);
  client.sendKeepalive();

  auto config = client.nextControl<vela::VideoConfig>(answerWithin);
  ASSERT_TRUE(config) << linesSoFar(host);
  EXPECT_EQ(config->codedPxW, width);
  EXPECT_EQ(config->codedPxH, height);
  client.setSession(hello->sessionId, config->generation);  // input names the generation it aims at
  auto decoder = vela::CamDecoder::create(0, 0, config->hvcc);
  ASSERT_NE(decoder, nullptr) << "the configuration's parameter sets are refused";
  EXPECT_EQ(decoder->pictureSize().width, width);
  EXPECT_EQ(decoder->pictureSize().height, height);

  // Frames for 5 s of a changing screen: every one after the first picture decodes, at the requested size.
  ScreenActivity activity(*x);
  int pictures = 0, failures = 0;
  const auto streamEnd = std::chrono::steady_clock::now() + streamingTime;
  auto nextKeepalive = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < streamEnd) {
    if (std::chrono::steady_clock::now() >= nextKeepalive) {
      client.sendKeepalive();
      nextKeepalive += 500ms;
    }
    activity.step();
    auto frame = client.nextFrame(30ms);
    if (!frame) continue;
    auto picture = decoder->decode(frame->data, frame->captureTimestampUs);
    if (!picture) {
      failures += pictures > 0 ? 1 : 0;
      continue;
    }
    ++pictures;
    EXPECT_EQ(picture->width, width);
    EXPECT_EQ(picture->height, height);
  }
  EXPECT_GE(pictures, 10) << host.output();
  EXPECT_EQ(failures, 0);

  // The streamed display is the output the session switched on.
  std::optional<OutputGeometry> streamed;
  for (const auto& output : queryOutputs(*x)) {
    if (output.enabled() && output.primary) streamed = output;
  }
  ASSERT_TRUE(streamed) << "no primary output while streaming";
  const ScreenRect bounds = pointBounds(*streamed);
  const double wantX = bounds.x + 0.25 * bounds.width, wantY = bounds.y + 0.75 * bounds.height;
  std::optional<ScreenPoint> at;
  EXPECT_TRUE(eventually(
      [&] {
        client.sendPointerMove(0.25, 0.75);  // a datagram: sent again until it has acted
        at = pointer->cursorPosition();
        return at && std::abs(at->x - wantX) <= 2 && std::abs(at->y - wantY) <= 2;
      },
      answerWithin))
      << "pointer at " << (at ? std::to_string(at->x) + "," + std::to_string(at->y) : "?") << ", wanted " << wantX
      << "," << wantY;

  client.sendBye();
  EXPECT_TRUE(eventually(
      [&] {
        auto output = queryOutput(*x, streamed->outputId);
        return output && !output->enabled();
      },
      answerWithin))
      << "the virtual display is still on\n"
      << host.output();
  EXPECT_TRUE(host.waitForLine("gotowy na kolejnego klienta")) << host.output();
  client.close();

  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
  EXPECT_EQ(enabledOutputs(*x), outputsBefore) << "the physical displays are back as they were";
}

}  // namespace
}  // namespace tavlo
