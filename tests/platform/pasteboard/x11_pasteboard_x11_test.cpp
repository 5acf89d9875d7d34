// The bridge on the X11 pasteboard of a private dummy Xorg. The other program on the desktop is a
// second X11Pasteboard: its own connection, owning and reading the CLIPBOARD selection like any client.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include "host/controller/pasteboard_bridge.hpp"
#include "platform/pasteboard/uri_list.hpp"
#include "platform/pasteboard/x11_pasteboard.hpp"
#include "platform/x11/xcb_connection.hpp"
#include "tests/host/controller/fake_session.hpp"
#include "tests/platform/pasteboard/clipboard_test_clients.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using pasteboardtest::eventually;
using pasteboardtest::RawClipboardReader;

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

class X11PasteboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.failureText();
    std::string error;
    host = X11Pasteboard::open(server.display(), &error);
    ASSERT_NE(host, nullptr) << error;
    desktop = X11Pasteboard::open(server.display(), &error);
    ASSERT_NE(desktop, nullptr) << error;
    bridge = PasteboardBridge::create({*host, main, scheduler, [](const std::string&) {}, [] { return std::nullopt; },
                                       dir.path() / "out", reads});
    bridge->startSync(session);
  }
  void TearDown() override {
    // Workers of promises still waiting give up with the bridge.
    bridge.reset();
  }
  // The host sees the desktop's newest owner change, then polls and takes the read's answer.
  void pollAfterChange(int64_t before) {
    ASSERT_TRUE(eventually([&] { return host->changeCount() != before; }));
    bridge->poll();
    reads->sync([] {});
    main.runUntilIdle();
  }
  std::vector<std::filesystem::path> readFiles() {
    const auto list = desktop->readTarget("text/uri-list");
    if (!list) return {};
    return parseFileUriList(std::string_view(reinterpret_cast<const char*>(list->data()), list->size()));
  }

  testkit::XorgServer server;
  testkit::TempDir dir;
  FakeClock clock;
  ManualScheduler scheduler{clock};
  MainExecutor main;
  std::unique_ptr<X11Pasteboard> host;
  std::unique_ptr<X11Pasteboard> desktop;
  std::shared_ptr<SerialExecutor> reads = std::make_shared<SerialExecutor>("test.clip.read");
  std::shared_ptr<controllertest::FakeSession> session = std::make_shared<controllertest::FakeSession>();
  std::shared_ptr<PasteboardBridge> bridge;
};

TEST_F(X11PasteboardTest, TextGoesBothWaysAndTheHostsOwnWriteIsNotEchoed) {
  PasteboardContent copied;
  copied.text = "zażółć z pulpitu";
  int64_t before = host->changeCount();
  desktop->write(copied);
  pollAfterChange(before);
  ASSERT_EQ(session->announced.size(), 1u);
  EXPECT_EQ(session->announced[0].payload, vela::ClipPayload::memory(bytesOf("zażółć z pulpitu")));

  before = host->changeCount();
  bridge->handleAnnounce(1, "public.utf8-plain-text", 10, "", bytesOf("od klienta"));
  EXPECT_EQ(desktop->readTarget("UTF8_STRING"), bytesOf("od klienta"));
  const std::vector<std::string> offered = desktop->targets();
  EXPECT_NE(std::find(offered.begin(), offered.end(), "application/x-tavlo-clip"), offered.end());
  pollAfterChange(before);
  EXPECT_EQ(session->announced.size(), 1u) << "the client's item is not sent back";
}

TEST_F(X11PasteboardTest, APngRoundTripsInIncrChunksBothWays) {
  Bytes image(3 * X11Pasteboard::chunkBytes + 17);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  PasteboardContent copied;
  copied.png = image;
  const int64_t before = host->changeCount();
  desktop->write(copied);
  pollAfterChange(before);
  ASSERT_EQ(session->announced.size(), 1u);
  EXPECT_EQ(session->announced[0].uti, "public.png");
  EXPECT_TRUE(session->announced[0].payload == vela::ClipPayload::memory(image));

  image[0] ^= 0xFF;
  bridge->handleAnnounce(2, "public.png", static_cast<uint32_t>(image.size()), "", image);
  EXPECT_TRUE(desktop->readTarget("image/png") == image);
}

TEST_F(X11PasteboardTest, APromisedFileIsFetchedWhenAReaderAsksAndATimeoutGivesNothing) {
  const uint32_t big = PasteboardBridge::fetchCapBytes + 1;
  bridge->handleAnnounce(3, "public.data", big, "film.mkv", std::nullopt);
  EXPECT_TRUE(session->requested.empty());

  auto reading = std::async(std::launch::async, [this] { return readFiles(); });
  ASSERT_TRUE(eventually([&] { return bridge->rendezvous().waitingCount() == 1; }));
  // The reader waits before its request reaches the main executor: the request is run once it is there.
  EXPECT_TRUE(eventually([&] {
    main.runUntilIdle();
    return !session->requested.empty();
  }));
  ASSERT_EQ(session->requested.size(), 1u);
  const auto received = dir.path() / "received.part";
  std::ofstream(received) << "klatki";
  bridge->handleComplete(3, vela::ClipPayload::file(received));
  const std::vector<std::filesystem::path> files = reading.get();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename(), "film.mkv");
  std::ifstream in(files[0]);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "klatki");
  EXPECT_EQ(readFiles(), files) << "a second paste takes the fetched file";

  // A client that never sends the file: the reader is refused and no file is left behind, not even the
  // first promise's, which the newer one replaced on the clipboard.
  bridge->handleAnnounce(4, "public.data", big, "drugi.mkv", std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(files[0])) << "a replaced promise's file stayed";
  auto waiting = std::async(std::launch::async, [this] { return readFiles(); });
  ASSERT_TRUE(eventually([&] { return bridge->rendezvous().waitingCount() == 1; }));
  scheduler.advanceBy(static_cast<uint64_t>(PasteboardBridge::promiseFetchTimeoutSeconds * 1e6));
  EXPECT_TRUE(waiting.get().empty());
  size_t placed = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path() / "out")) {
    placed += entry.is_regular_file() ? 1 : 0;
  }
  EXPECT_EQ(placed, 0u);
}

TEST_F(X11PasteboardTest, ReadersAskingWhileAPromiseIsFetchedShareTheOneFetch) {
  bridge->handleAnnounce(5, "public.data", PasteboardBridge::fetchCapBytes + 1, "wspolny.mkv", std::nullopt);
  auto reading = std::async(std::launch::async, [this] { return readFiles(); });
  ASSERT_TRUE(eventually([&] { return bridge->rendezvous().waitingCount() == 1; }));

  // A second program pastes while the file is still on its way.
  RawClipboardReader other(server.display());
  ASSERT_TRUE(other.connected());
  other.ask("text/uri-list");
  // The host answers in order: once a third program has the target list, it has seen the paste above.
  std::string error;
  auto third = X11Pasteboard::open(server.display(), &error);
  ASSERT_NE(third, nullptr) << error;
  EXPECT_FALSE(third->targets().empty());
  main.runUntilIdle();
  EXPECT_EQ(session->requested.size(), 1u) << "the file is asked for once";

  const auto received = dir.path() / "wspolny.part";
  std::ofstream(received) << "jedna kopia";
  bridge->handleComplete(5, vela::ClipPayload::file(received));
  const std::vector<std::filesystem::path> files = reading.get();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename(), "wspolny.mkv");
  const std::optional<Bytes> list = other.answer();
  ASSERT_TRUE(list.has_value()) << "the second reader is answered too";
  EXPECT_EQ(parseFileUriList(std::string_view(reinterpret_cast<const char*>(list->data()), list->size())), files);
}

}  // namespace
}  // namespace tavlo
