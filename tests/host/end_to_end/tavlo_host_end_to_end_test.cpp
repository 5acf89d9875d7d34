// The built tavlo-host on a private dummy Xorg with x265, and a client made of the project's own client
// halves: the hello is answered, HEVC frames of the requested size decode for 5 s, a pointer move
// moves the X pointer, the cursor's shape follows the window under it (I-beam, arrow), client input keeps
// the compositor keepalive up, and the client's goodbye ends the session and takes the virtual display away.
#include <gtest/gtest.h>

#include <sstream>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <chrono>
#include <fstream>
#include <cmath>
#include <thread>

#include "media/cam_decoder.hpp"
#include "platform/input/xtest_poster.hpp"
#include "platform/pasteboard/uri_list.hpp"
#include "platform/pasteboard/x11_pasteboard.hpp"
#include "platform/runtime/base64.hpp"
#include "platform/x11/randr_outputs.hpp"
#include "tests/host/app/host_process.hpp"
#include "tests/host/app/keepalive_probe.hpp"
#include "tests/host/end_to_end/end_to_end_kit.hpp"
#include "tests/host/end_to_end/host_test_client.hpp"
#include "tests/platform/pasteboard/clipboard_test_clients.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;
using endtoend::startKeyedHost;
using endtoend::ScreenActivity;
using endtoend::eventually;
using endtoend::linesSoFar;

// How long frames must keep decoding.
constexpr auto streamingTime = 5s;
// Bounds of the waits for the host: they only guard against a hang.
constexpr auto answerWithin = endtoend::hostAnswerBound;

// The enabled outputs of the server, by id.
std::vector<uint32_t> enabledOutputs(const XcbConnection& connection) {
  std::vector<uint32_t> ids;
  for (const auto& output : queryOutputs(connection)) {
    if (output.enabled()) ids.push_back(output.outputId);
  }
  return ids;
}

// A private dummy Xorg and the built tavlo-host on it, with a client connected (no hello yet).
class TavloHostEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.failureText();
    x = XcbConnection::open(server.display(), &error);
    ASSERT_NE(x, nullptr) << error;
    outputsBefore = enabledOutputs(*x);
    std::string why;
    auto started = startKeyedHost(home.path(), server.display(), why);
    ASSERT_TRUE(started) << why;
    host = std::move(started->process);
    base = started->base;
    key = started->key;
    ASSERT_TRUE(client.connect(base, key, &error)) << error << "\n" << host->output();
  }

  testkit::XorgServer server;
  std::string error;
  std::unique_ptr<XcbConnection> x;
  std::vector<uint32_t> outputsBefore;
  testkit::TempDir home;
  std::unique_ptr<HostProcess> host;
  uint16_t base = 0;
  Bytes key;
  hosttest::HostTestClient client;

  // The client's hello of a 1280×720 window; the host's answer when it admitted the client, whose later
  // packets then name the session and whose unreliable-input flow is alive.
  std::optional<vela::HostHello> admitClient() {
    client.sendHello(1280, 720);
    auto hello = client.nextControl<vela::HostHello>(answerWithin);
    if (!hello || !hello->accepted) return std::nullopt;
    client.setSession(hello->sessionId, hello->generation);
    client.sendKeepalive();
    return hello;
  }
};

TEST_F(TavloHostEndToEnd, StreamsDecodableHevcTakesThePointerAndEndsOnTheClientsGoodbye) {
  auto pointer = XTestPoster::open(server.display(), &error);
  ASSERT_NE(pointer, nullptr) << error;
  HostProcess& host = *this->host;
  // The dummy driver's spare heads: start-up says the clients get displays of their own.
  EXPECT_NE(host.output().find("virtual display of its own size on a free output (DUMMY"), std::string::npos)
      << host.output();
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
  const auto streamEnd = std::chrono::steady_clock::now() + streamingTime;
  const auto [pictures, failures] = client.decodePictures(
      *decoder, width, height, [&](int) { return std::chrono::steady_clock::now() < streamEnd; },
      [&] { activity.step(); });
  EXPECT_GE(pictures, 10) << host.output();
  EXPECT_EQ(failures, 0);
  // The video leaves the cursor out ("tl.cursorVisible" off): its image came on the control channel.
  auto cursor = client.nextControl<vela::CursorImage>(answerWithin);
  ASSERT_TRUE(cursor) << linesSoFar(host);
  EXPECT_GT(cursor->pxW, 0);
  EXPECT_EQ(cursor->data.size(), size_t{cursor->pxW} * cursor->pxH * 4);

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

  // The client's input keeps the compositor keepalive on the virtual display.
  EXPECT_TRUE(eventually([&] { return keepaliveWindowShown(*x); }, answerWithin)) << "no keepalive window during input";

  // A text window under the pointer, with the cursor a toolkit names "xterm": the client gets an I-beam.
  {
    xcb_connection_t* c = x->get();
    xcb_discard_reply(c, xcb_xfixes_query_version(c, 4, 0).sequence);
    const xcb_font_t font = xcb_generate_id(c);
    const char fontName[] = "cursor";
    xcb_open_font(c, font, sizeof fontName - 1, fontName);
    const xcb_cursor_t textCursor = xcb_generate_id(c);
    xcb_create_glyph_cursor(c, textCursor, font, font, 152, 153, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF);  // XC_xterm
    xcb_xfixes_set_cursor_name(c, textCursor, 5, "xterm");
    // The root window's cursor as a desktop sets it: the theme's left_ptr.
    const xcb_cursor_t rootCursor = xcb_generate_id(c);
    xcb_create_glyph_cursor(c, rootCursor, font, font, 68, 69, 0, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF);  // XC_left_ptr
    xcb_xfixes_set_cursor_name(c, rootCursor, 8, "left_ptr");
    xcb_change_window_attributes(c, x->root(), XCB_CW_CURSOR, &rootCursor);
    const xcb_window_t window = xcb_generate_id(c);
    const uint32_t values[] = {1, textCursor};  // override-redirect: no window manager places it
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, x->root(), int16_t(streamed->x), int16_t(streamed->y),
                      uint16_t(streamed->pixelWidth), uint16_t(streamed->pixelHeight), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT | XCB_CW_CURSOR, values);
    xcb_map_window(c, window);
    xcb_flush(c);
    std::optional<vela::CursorImage> text;
    const auto deadline = std::chrono::steady_clock::now() + answerWithin;
    while (std::chrono::steady_clock::now() < deadline) {
      client.sendKeepalive();
      text = client.nextControl<vela::CursorImage>(500ms);
      if (text && text->shape == vela::CursorShape::iBeam) break;
    }
    ASSERT_TRUE(text && text->shape == vela::CursorShape::iBeam) << linesSoFar(host);
    xcb_destroy_window(c, window);
    xcb_free_cursor(c, textCursor);
    xcb_flush(c);
    // Back on the root window the client gets the arrow.
    std::optional<vela::CursorImage> back;
    const auto backDeadline = std::chrono::steady_clock::now() + answerWithin;
    while (std::chrono::steady_clock::now() < backDeadline) {
      back = client.nextControl<vela::CursorImage>(500ms);
      if (back && back->shape == vela::CursorShape::arrow) break;
    }
    ASSERT_TRUE(back && back->shape == vela::CursorShape::arrow) << linesSoFar(host);
    const uint32_t noCursor = XCB_NONE;
    xcb_change_window_attributes(c, x->root(), XCB_CW_CURSOR, &noCursor);
    xcb_free_cursor(c, rootCursor);
    xcb_close_font(c, font);
    xcb_flush(c);
  }
  // Three seconds without input take the keepalive away.
  EXPECT_TRUE(eventually([&] { return !keepaliveWindowShown(*x); }, 6s)) << "the keepalive outlived the input";

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

// SIGTERM while a client streams: the host closes the session, lets its loops end and exits 0 with the
// physical displays back (under AddressSanitizer a loop posting to the gone main executor would abort).
TEST_F(TavloHostEndToEnd, EndsCleanlyOnSigtermWhileAClientStreams) {
  HostProcess& host = *this->host;
  auto hello = admitClient();
  ASSERT_TRUE(hello) << linesSoFar(host);
  ASSERT_TRUE(client.nextControl<vela::VideoConfig>(answerWithin)) << linesSoFar(host);
  ScreenActivity activity(*x);
  activity.step();
  std::this_thread::sleep_for(500ms);  // frames in flight on the session's loops

  host.signal(SIGTERM);
  EXPECT_EQ(host.exitStatus(), 0) << host.output();
  EXPECT_EQ(enabledOutputs(*x), outputsBefore) << "the physical displays are back as they were";
  client.close();
  // The platform layers' own lines (the display controller's, the capture engine's, the device
  // installer's) go through the one log like every other: with its prefix, and into its file.
  std::istringstream lines(host.output());
  size_t platformLines = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Tavlo: ") == std::string::npos) continue;
    ++platformLines;
    EXPECT_EQ(line.rfind("[HOST] ", 0), 0u) << line;
  }
  EXPECT_GT(platformLines, 0u) << host.output();
}

// A device that comes back within a minute starts from the link its last session measured: the session's
// end stores the estimate under the key the next hello looks it up by.
TEST_F(TavloHostEndToEnd, AReconnectWithinAMinuteIsSeededFromTheLastSessionsLink) {
  HostProcess& host = *this->host;
  auto hello = admitClient();
  ASSERT_TRUE(hello) << linesSoFar(host);
  auto config = client.nextControl<vela::VideoConfig>(answerWithin);
  ASSERT_TRUE(config) << linesSoFar(host);
  client.setSession(hello->sessionId, config->generation);
  // Frames flow: the engines and the rate control whose estimate the session's end stores run.
  ScreenActivity activity(*x);
  std::optional<vela::FrameAssembler::Event> frame;
  const auto until = std::chrono::steady_clock::now() + answerWithin;
  while (!frame && std::chrono::steady_clock::now() < until) {
    client.sendKeepalive();
    activity.step();
    frame = client.nextFrame(30ms);
  }
  ASSERT_TRUE(frame) << linesSoFar(host);
  client.sendBye();
  client.close();  // a client's goodbye: the bye, then the connection ends
  ASSERT_TRUE(host.waitForLine("gotowy na kolejnego klienta")) << host.output();
  EXPECT_EQ(host.output().find("🩹 pamięć łącza ["), std::string::npos) << "a first session has nothing to seed";

  hosttest::HostTestClient again;
  ASSERT_TRUE(again.connect(base, key, &error)) << error << "\n" << host.output();
  again.sendHello(1280, 720);
  auto second = again.nextControl<vela::HostHello>(answerWithin);
  ASSERT_TRUE(second && second->accepted) << linesSoFar(host);
  EXPECT_TRUE(host.waitForLine("🩹 pamięć łącza [")) << host.output();
  again.sendBye();
}

// The clipboard both ways: a 5 MB file the client copies reaches the host's desktop as a file, and text
// the desktop copies reaches the client inline (but not a text larger than a client would take). The
// upload is a hundred sealed pieces in one burst: every piece must reach the session in order, or the
// receiver drops the rest and the file never completes.
TEST_F(TavloHostEndToEnd, SharesTheClipboardWithTheDesktop) {
  auto desktop = X11Pasteboard::open(server.display(), &error);
  ASSERT_NE(desktop, nullptr) << error;
  HostProcess& host = *this->host;
  auto hello = admitClient();
  ASSERT_TRUE(hello) << linesSoFar(host);

  Bytes file(5'000'000);
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  client.sendControl(vela::ClipAnnounce{77, "public.data", static_cast<uint32_t>(file.size()), "paczka.bin", std::nullopt});
  auto request = client.nextControl<vela::ClipRequest>(answerWithin);
  ASSERT_TRUE(request) << linesSoFar(host);
  EXPECT_EQ(request->clipId, 77u);
  constexpr size_t piece = 48 * 1024;
  for (size_t offset = request->fromOffset; offset < file.size(); offset += piece) {
    const size_t n = std::min(piece, file.size() - offset);
    client.sendKeepalive();  // the host watches the unreliable-input flow once these come regularly
    client.sendControl(vela::ClipData{77, static_cast<uint32_t>(file.size()), static_cast<uint32_t>(offset),
                                      Bytes(file.begin() + static_cast<ptrdiff_t>(offset),
                                            file.begin() + static_cast<ptrdiff_t>(offset + n))});
  }
  std::vector<std::filesystem::path> files;
  const auto until = std::chrono::steady_clock::now() + answerWithin;
  while (files.empty() && std::chrono::steady_clock::now() < until) {
    client.sendKeepalive();
    if (auto list = desktop->readTarget("text/uri-list")) {
      files = parseFileUriList(std::string_view(reinterpret_cast<const char*>(list->data()), list->size()));
    }
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(files.size(), 1u) << linesSoFar(host);
  EXPECT_EQ(files[0].filename(), "paczka.bin");
  std::ifstream in(files[0], std::ios::binary);
  EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == file) << "the file arrived whole";

  PasteboardContent copied;
  copied.text = "tekst z pulpitu";
  desktop->write(copied);
  std::optional<vela::ClipAnnounce> announce;
  const auto until2 = std::chrono::steady_clock::now() + answerWithin;
  while (!announce && std::chrono::steady_clock::now() < until2) {
    client.sendKeepalive();
    announce = client.nextControl<vela::ClipAnnounce>(500ms);
  }
  ASSERT_TRUE(announce) << linesSoFar(host);
  EXPECT_EQ(announce->uti, "public.utf8-plain-text");
  EXPECT_EQ(announce->inline_, std::optional<Bytes>(Bytes{'t', 'e', 'k', 's', 't', ' ', 'z', ' ', 'p', 'u', 'l', 'p', 'i', 't', 'u'}));

  // A desktop program offering more than any client would fetch: the host drops it and says so.
  using pasteboardtest::HostileClipboardOwner;
  HostileClipboardOwner hostile(server.display(),
                                {HostileClipboardOwner::Serves::oneProperty, Pasteboard::maxItemBytes + 1, 0, 0});
  ASSERT_TRUE(hostile.owns());
  const std::string dropped = "📋 schowek pulpitu: pomijam UTF8_STRING — większy niż 16777216 B";
  EXPECT_TRUE(eventually(
      [&] {
        client.sendKeepalive();
        host.drainOutput();
        return host.output().find(dropped) != std::string::npos;
      },
      answerWithin))
      << host.output();
  client.sendBye();
}

}  // namespace
}  // namespace tavlo
