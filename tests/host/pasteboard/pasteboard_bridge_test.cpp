// The pasteboard bridge on the in-memory pasteboard, a fake session and a manual scheduler.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "host/controller/clip_paste_name.hpp"
#include "host/controller/pasteboard_bridge.hpp"
#include "platform/pasteboard/fake_pasteboard.hpp"
#include "tests/host/controller/fake_session.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using controllertest::FakeSession;

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

PasteboardContent textAndImage(std::optional<std::string> text, std::optional<Bytes> png = std::nullopt) {
  PasteboardContent content;
  content.text = std::move(text);
  content.png = std::move(png);
  return content;
}

PasteboardContent filesOf(std::vector<std::filesystem::path> files) {
  PasteboardContent content;
  content.files = std::move(files);
  return content;
}

class PasteboardBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bridge = PasteboardBridge::create({board, main, scheduler, [this](const std::string& line) { logs.push_back(line); },
                                       [this] { return platform; }, dir.path() / "out", reads});
  }
  // Moves the clock on and lets the main executor and the pasteboard reads settle.
  void advance(uint64_t us) {
    scheduler.advanceBy(us);
    main.runUntilIdle();
    reads->sync([] {});
    main.runUntilIdle();
  }
  std::filesystem::path writeFile(const std::string& name, std::string_view content) {
    const auto path = dir.path() / name;
    std::ofstream(path) << content;
    return path;
  }
  bool logged(const std::string& line) const { return std::find(logs.begin(), logs.end(), line) != logs.end(); }

  testkit::TempDir dir;
  FakeClock clock;
  ManualScheduler scheduler{clock};
  MainExecutor main;
  FakePasteboard board;
  std::shared_ptr<SerialExecutor> reads = std::make_shared<SerialExecutor>("test.clip.read");
  std::vector<std::string> logs;
  std::optional<vela::Platform> platform = vela::Platform::iPad;
  std::shared_ptr<FakeSession> session = std::make_shared<FakeSession>();
  std::shared_ptr<PasteboardBridge> bridge;
};

TEST_F(PasteboardBridgeTest, PollingOffersNewCopiesOnceAndNeverEchoesItsOwnWrites) {
  board.copyFromOutside(textAndImage("before the session"));
  bridge->startSync(session);
  advance(PasteboardBridge::pollIntervalUs);
  EXPECT_TRUE(session->announced.empty()) << "what was there at the start is not offered";

  board.copyFromOutside(textAndImage("hello", bytesOf("png")));
  advance(PasteboardBridge::pollIntervalUs - 1);
  EXPECT_TRUE(session->announced.empty()) << "the poll waits its 0.6 s";
  advance(1);
  ASSERT_EQ(session->announced.size(), 1u) << "text and image together: only the text";
  EXPECT_EQ(session->announced[0].uti, "public.utf8-plain-text");
  EXPECT_EQ(session->announced[0].payload, vela::ClipPayload::memory(bytesOf("hello")));
  advance(PasteboardBridge::pollIntervalUs * 3);
  EXPECT_EQ(session->announced.size(), 1u) << "an unchanged pasteboard is offered once";

  bridge->handleAnnounce(7, "public.utf8-plain-text", 4, "", bytesOf("mine"));
  EXPECT_EQ(board.text(), "mine");
  EXPECT_TRUE(board.hasOwnMarker());
  advance(PasteboardBridge::pollIntervalUs);
  EXPECT_EQ(session->announced.size(), 1u) << "the client's own item is not sent back";

  board.copyFromOutside(textAndImage("", bytesOf("image")));
  advance(PasteboardBridge::pollIntervalUs);
  ASSERT_EQ(session->announced.size(), 2u) << "an empty string falls through to the image";
  EXPECT_EQ(session->announced[1].uti, "public.png");

  const auto first = writeFile("first.txt", "1");
  board.copyFromOutside(filesOf({first, writeFile("second.txt", "2")}));
  advance(PasteboardBridge::pollIntervalUs);
  ASSERT_EQ(session->announced.size(), 3u);
  EXPECT_EQ(session->announced[2].uti, "public.data");
  EXPECT_EQ(session->announced[2].name, "first.txt");
  EXPECT_EQ(session->announced[2].payload, vela::ClipPayload::file(first));

  board.copyFromOutside(filesOf({dir.path()}));
  advance(PasteboardBridge::pollIntervalUs);
  EXPECT_EQ(session->announced.size(), 3u);
  EXPECT_TRUE(logged("📋 skopiowano katalog — pomijam (schowek przesyła pliki)"));

  bridge->stop();
  board.copyFromOutside(textAndImage("after the session"));
  advance(PasteboardBridge::pollIntervalUs * 2);
  EXPECT_EQ(session->announced.size(), 3u) << "polling ends with the session";
}

// Another program that takes its time to answer reads of what it copied, until `answer`.
class SlowOwnerPasteboard final : public Pasteboard {
 public:
  int64_t changeCount() const override { return board.changeCount(); }
  bool hasOwnMarker() const override { return board.hasOwnMarker(); }
  std::vector<std::filesystem::path> files() const override {
    Reading reading(*this);
    waitForAnswer();
    return board.files();
  }
  std::optional<std::string> text() const override {
    Reading reading(*this);
    waitForAnswer();
    return board.text();
  }
  std::optional<Bytes> png() const override {
    Reading reading(*this);
    waitForAnswer();
    return board.png();
  }
  // Reads of what was copied under way now.
  int readsUnderWay() const {
    std::lock_guard guard(mutex_);
    return reading_;
  }
  // Waits (at most 10 s) until a read has begun.
  void waitUntilReading() const {
    std::unique_lock lock(mutex_);
    readingChanged_.wait_for(lock, std::chrono::seconds(10), [this] { return reading_ > 0; });
  }
  int64_t write(PasteboardContent content) override { return board.write(std::move(content)); }
  void answer() {
    std::lock_guard guard(mutex_);
    released_.set_value();
  }
  // Reads wait again until the next `answer`.
  void hold() {
    std::lock_guard guard(mutex_);
    released_ = std::promise<void>();
    answered_ = released_.get_future().share();
  }

  FakePasteboard board;

 private:
  void waitForAnswer() const {
    std::shared_future<void> answered;
    {
      std::lock_guard guard(mutex_);
      answered = answered_;
    }
    answered.wait_for(std::chrono::seconds(10));
  }
  struct Reading {
    explicit Reading(const SlowOwnerPasteboard& board) : board(board) { board.countReading(+1); }
    ~Reading() { board.countReading(-1); }
    const SlowOwnerPasteboard& board;
  };
  void countReading(int delta) const {
    std::lock_guard guard(mutex_);
    reading_ += delta;
    readingChanged_.notify_all();
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable readingChanged_;
  mutable int reading_ = 0;
  std::promise<void> released_;
  std::shared_future<void> answered_ = released_.get_future().share();
};

// A bridge over a pasteboard whose copying program answers only when the test lets it.
struct PasteboardBridgeSlowOwner : ::testing::Test {
  testkit::TempDir dir;
  FakeClock clock;
  ManualScheduler scheduler{clock};
  MainExecutor main;
  SlowOwnerPasteboard board;
  std::shared_ptr<SerialExecutor> reads = std::make_shared<SerialExecutor>("test.clip.read");
  std::shared_ptr<FakeSession> session = std::make_shared<FakeSession>();
  std::shared_ptr<PasteboardBridge> bridge = PasteboardBridge::create(
      {board, main, scheduler, [](const std::string&) {}, [] { return std::optional<vela::Platform>(); },
       dir.path() / "out", reads});
};

TEST_F(PasteboardBridgeSlowOwner, ASlowCopyingProgramNeverStallsTheMainExecutor) {
  bridge->startSync(session);

  board.board.copyFromOutside(textAndImage("slow"));
  const auto started = std::chrono::steady_clock::now();
  scheduler.advanceBy(PasteboardBridge::pollIntervalUs);
  main.runUntilIdle();
  scheduler.advanceBy(PasteboardBridge::pollIntervalUs);  // a second poll while the first read waits
  main.runUntilIdle();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5))
      << "the polls came back without waiting for the copying program";
  EXPECT_TRUE(session->announced.empty());
  board.answer();
  reads->sync([] {});
  main.runUntilIdle();
  ASSERT_EQ(session->announced.size(), 1u) << "the answer is offered once, though two polls saw the change";
  EXPECT_EQ(session->announced[0].payload, vela::ClipPayload::memory(bytesOf("slow")));

  // The client's item is written while a read is on its way: what was read may be stale, it is not offered.
  board.hold();
  board.board.copyFromOutside(textAndImage("second"));
  scheduler.advanceBy(PasteboardBridge::pollIntervalUs);
  main.runUntilIdle();
  bridge->handleAnnounce(2, PasteboardBridge::textUti, 4, "", bytesOf("mine"));
  board.answer();
  reads->sync([] {});
  main.runUntilIdle();
  scheduler.advanceBy(PasteboardBridge::pollIntervalUs);
  main.runUntilIdle();
  reads->sync([] {});
  main.runUntilIdle();
  EXPECT_EQ(session->announced.size(), 1u);
  EXPECT_EQ(board.text(), "mine");
  bridge.reset();
}

TEST_F(PasteboardBridgeSlowOwner, ABridgeResetDuringAReadIsGoneOnlyOnceTheReadEnded) {
  bridge->startSync(session);
  board.board.copyFromOutside(textAndImage("slow"));
  scheduler.advanceBy(PasteboardBridge::pollIntervalUs);
  main.runUntilIdle();
  board.waitUntilReading();
  ASSERT_EQ(board.readsUnderWay(), 1);

  // The owner lets go of the bridge and then destroys the pasteboard: the copying program answers
  // only once the bridge is on its way out.
  std::weak_ptr<PasteboardBridge> weak = bridge;
  std::thread copyingProgram([&] {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!weak.expired() && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
    board.answer();
  });
  bridge.reset();
  EXPECT_TRUE(weak.expired()) << "the read kept the bridge alive past its owner";
  EXPECT_EQ(board.readsUnderWay(), 0) << "the pasteboard is still being read after the bridge went";
  copyingProgram.join();
  reads->sync([] {});
  main.runUntilIdle();
  EXPECT_TRUE(session->announced.empty());
}

TEST_F(PasteboardBridgeTest, InlineItemsAreWrittenUnderTheirTypes) {
  bridge->startSync(session);
  bridge->handleAnnounce(1, "public.utf8-plain-text", 2, "", Bytes{0xC3, 0x28});
  ASSERT_TRUE(board.content().data.has_value()) << "text that is not UTF-8 is stored as data";
  EXPECT_EQ(board.content().data->first, "text/plain;charset=utf-8");
  EXPECT_FALSE(board.text().has_value());

  bridge->handleAnnounce(2, "com.example.unknown", 3, "", bytesOf("abc"));
  EXPECT_EQ(board.content().data->first, "application/octet-stream") << "an unknown type is plain data";

  bridge->handleAnnounce(3, "public.png", 3, "", bytesOf("png"));
  EXPECT_EQ(board.png(), bytesOf("png"));
}

TEST_F(PasteboardBridgeTest, PrefetchedItemsAreWrittenOnlyWhenTheyArriveBeforeTheirDeadline) {
  bridge->startSync(session);
  EXPECT_DOUBLE_EQ(PasteboardBridge::fetchDeadlineSeconds(0), 10.0);
  EXPECT_DOUBLE_EQ(PasteboardBridge::fetchDeadlineSeconds(1'000'000), 17.8125);

  board.copyFromOutside(textAndImage("the user's"));
  bridge->handleAnnounce(5, "public.utf8-plain-text", 1'000'000, "", std::nullopt);
  ASSERT_EQ(session->requested, (std::vector<std::pair<uint64_t, uint32_t>>{{5, 0}}));
  EXPECT_TRUE(logged("📋 kotwica 5 public.utf8-plain-text 1000000 B → prefetch"));
  advance(17'812'499);
  EXPECT_EQ(bridge->pendingCount(), 1u);
  advance(1);
  EXPECT_TRUE(logged("📋 kotwica 5 nieudana: timeout 17 s"));
  bridge->handleComplete(5, vela::ClipPayload::memory(bytesOf("late")));
  EXPECT_EQ(board.text(), "the user's") << "a late item is not written, and the user's copy stays";

  // A named file within the cap is moved to a folder of its own under its cleaned name.
  bridge->handleAnnounce(6, "public.data", PasteboardBridge::fetchCapBytes, "../x/report.pdf", std::nullopt);
  EXPECT_EQ(session->requested.size(), 2u) << "exactly the cap is still fetched";
  const auto received = writeFile("received.tmp", "pdf");
  bridge->handleComplete(6, vela::ClipPayload::file(received));
  ASSERT_EQ(board.files().size(), 1u);
  EXPECT_EQ(board.files()[0].filename(), "report.pdf");
  EXPECT_EQ(board.files()[0].parent_path().parent_path(), dir.path() / "out");
  EXPECT_TRUE(board.hasOwnMarker());
  EXPECT_FALSE(std::filesystem::exists(received));

  // A received file that vanished before it could be placed or read leaves the clipboard as it was.
  bridge->handleAnnounce(8, "public.png", 10, "", std::nullopt);
  const int64_t before = board.changeCount();
  bridge->handleComplete(8, vela::ClipPayload::file(dir.path() / "gone.png"));
  EXPECT_EQ(board.changeCount(), before);
}

TEST_F(PasteboardBridgeTest, ItemsAboveTheCapArePromisedWhenNamedAndSkippedOtherwise) {
  bridge->startSync(session);
  bridge->handleAnnounce(9, "public.data", PasteboardBridge::fetchCapBytes + 1, "", std::nullopt);
  EXPECT_TRUE(logged("📋 kotwica 9 16777217 B > cap (nie-plik) — pomijam"));
  EXPECT_TRUE(session->requested.empty());

  for (uint64_t id = 10; id < 14; ++id) {
    bridge->handleAnnounce(id, "public.data", PasteboardBridge::fetchCapBytes + 1, "big.iso", std::nullopt);
  }
  EXPECT_EQ(bridge->promiseCount(), 3u) << "a fourth promise drops the oldest";
  EXPECT_TRUE(logged("📋 kotwica 13 PLIK 16777217 B > cap → obietnica pliku"));
  EXPECT_TRUE(session->requested.empty()) << "nothing is fetched before a reader asks";
  EXPECT_TRUE(board.hasOwnMarker());

  // A reader asks: the fetch blocks its own thread, the request goes out from the main executor.
  auto reading = std::async(std::launch::async, [this] { return board.readPromise(); });
  // The fetch posts its request just after it starts waiting.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (session->requested.empty() && std::chrono::steady_clock::now() < until) {
    main.runUntilIdle();
    std::this_thread::yield();
  }
  if (session->requested.empty()) bridge->rendezvous().deliver(13, vela::ClipPayload::memory({}));  // frees the reader
  ASSERT_EQ(session->requested, (std::vector<std::pair<uint64_t, uint32_t>>{{13, 0}}));
  bridge->handleComplete(13, vela::ClipPayload::file(writeFile("incoming.part", "iso")));
  const std::optional<std::filesystem::path> delivered = reading.get();
  ASSERT_TRUE(delivered.has_value());
  EXPECT_EQ(delivered->filename(), "big.iso");
  EXPECT_EQ(board.files().size(), 0u) << "a promise is not turned into a plain file list";

  // A client that never answers: the reader gets nothing once the fetch gives up.
  auto waiting = std::async(std::launch::async, [this] { return board.readPromise(); });
  while (bridge->rendezvous().waitingCount() == 0) std::this_thread::yield();
  scheduler.advanceBy(static_cast<uint64_t>(PasteboardBridge::promiseFetchTimeoutSeconds * 1e6));
  EXPECT_FALSE(waiting.get().has_value());
}

TEST_F(PasteboardBridgeTest, ReceivedFilesStayOnlyWhileThePasteboardOffersThem) {
  bridge->startSync(session);
  uint64_t nextId = 30;
  // The client copies a named file: it is fetched and placed on the pasteboard under its name.
  auto receiveFile = [&](const std::string& name) {
    const uint64_t id = nextId++;
    bridge->handleAnnounce(id, PasteboardBridge::fileUti, 3, name, std::nullopt);
    bridge->handleComplete(id, vela::ClipPayload::file(writeFile("received-" + std::to_string(id), "pdf")));
    EXPECT_EQ(board.files().size(), 1u) << name;
    return board.files().empty() ? std::filesystem::path() : board.files()[0];
  };

  const auto first = receiveFile("report.pdf");
  ASSERT_TRUE(std::filesystem::exists(first));
  // A clipboard manager takes the clipboard over with our file list: it is still offered.
  board.copyFromOutside(filesOf({first}));
  advance(PasteboardBridge::pollIntervalUs);
  EXPECT_TRUE(std::filesystem::exists(first)) << "a file the clipboard still offers was removed";
  // Another program copies something else: the file is no longer offered.
  board.copyFromOutside(textAndImage("theirs"));
  advance(PasteboardBridge::pollIntervalUs);
  EXPECT_FALSE(std::filesystem::exists(first.parent_path())) << "a replaced file stayed";

  const auto second = receiveFile("photo.heic");
  bridge->handleAnnounce(nextId++, PasteboardBridge::textUti, 4, "", bytesOf("text"));
  EXPECT_FALSE(std::filesystem::exists(second.parent_path())) << "the client's newer copy replaces it";

  const auto third = receiveFile("notes.txt");
  bridge->stop();
  EXPECT_FALSE(std::filesystem::exists(third.parent_path())) << "a file outlived its session";
  EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "out"));
}

TEST_F(PasteboardBridgeTest, AReceivedFileThePasteboardNeverShowsIsRemovedAtOnce) {
  bridge->startSync(session);
  // An unnamed item over the disk threshold arrives as a file: its bytes go onto the pasteboard.
  bridge->handleAnnounce(40, PasteboardBridge::pngUti, 5'000'000, "", std::nullopt);
  const auto image = writeFile("clip-image", "png bytes");
  bridge->handleComplete(40, vela::ClipPayload::file(image));
  EXPECT_EQ(board.png(), bytesOf("png bytes"));
  EXPECT_FALSE(std::filesystem::exists(image)) << "an unnamed item's file stayed after it was read";

  // Completed after its deadline, and never asked for: nothing takes them.
  bridge->handleAnnounce(41, PasteboardBridge::fileUti, 100, "late.bin", std::nullopt);
  advance(static_cast<uint64_t>(PasteboardBridge::fetchDeadlineSeconds(100) * 1e6));
  const auto late = writeFile("late-part", "late");
  bridge->handleComplete(41, vela::ClipPayload::file(late));
  EXPECT_FALSE(std::filesystem::exists(late)) << "an item completed past its deadline stayed";
  const auto unasked = writeFile("unasked-part", "?");
  bridge->handleComplete(42, vela::ClipPayload::file(unasked));
  EXPECT_FALSE(std::filesystem::exists(unasked));
  EXPECT_EQ(board.png(), bytesOf("png bytes")) << "the pasteboard is left as it was";
}

TEST_F(PasteboardBridgeTest, APromiseFailsAtOnceOnceItsSessionEndedOrANewerCopyReplacedIt) {
  bridge->startSync(session);
  const uint32_t big = PasteboardBridge::fetchCapBytes + 1;
  bridge->handleAnnounce(50, PasteboardBridge::fileUti, big, "big.iso", std::nullopt);
  // A reader (a clipboard manager) asks at once; the promise's file arrives and is offered.
  // The fetch posts its request to the main executor just after it starts waiting.
  auto requestsReach = [&](size_t count) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (session->requested.size() < count && std::chrono::steady_clock::now() < until) {
      main.runUntilIdle();
      std::this_thread::yield();
    }
    return session->requested.size() == count;
  };
  auto reading = std::async(std::launch::async, [this] { return board.readPromise(); });
  if (!requestsReach(1)) bridge->rendezvous().deliver(50, vela::ClipPayload::memory({}));  // frees the reader
  ASSERT_EQ(session->requested.size(), 1u);
  bridge->handleComplete(50, vela::ClipPayload::file(writeFile("iso-part", "iso")));
  const std::optional<std::filesystem::path> fetched = reading.get();
  ASSERT_TRUE(fetched);
  EXPECT_TRUE(std::filesystem::exists(*fetched));

  // A newer promise replaces it: its file goes, and a reader still holding it gets nothing at once.
  const std::shared_ptr<PasteboardFilePromise> replaced = board.content().promise;
  bridge->handleAnnounce(51, PasteboardBridge::fileUti, big, "bigger.iso", std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(*fetched)) << "a replaced promise's file stayed";
  auto stale = std::async(std::launch::async, [&] { return replaced->fulfil(); });
  ASSERT_EQ(stale.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(stale.get());

  // The session ends while a paste of the newer promise waits for its file: the paste fails at once,
  // and so does every later one, with no time passing on the clock.
  auto waiting = std::async(std::launch::async, [this] { return board.readPromise(); });
  EXPECT_TRUE(requestsReach(2));
  bridge->stop();
  const bool ended = waiting.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!ended) bridge->rendezvous().deliver(51, vela::ClipPayload::memory({}));  // frees the reader
  ASSERT_TRUE(ended) << "the paste waits out its 600 s after the session ended";
  EXPECT_FALSE(waiting.get());
  auto later = std::async(std::launch::async, [this] { return board.readPromise(); });
  const bool answered = later.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  if (!answered) bridge->rendezvous().deliver(51, vela::ClipPayload::memory({}));
  ASSERT_TRUE(answered) << "a promise left after its session waits instead of failing";
  EXPECT_FALSE(later.get());
  EXPECT_EQ(session->requested.size(), 2u) << "nothing more is asked of a client that is gone";
}

TEST_F(PasteboardBridgeTest, ProgressIsPublishedAndClearedAndSessionEndFailsPendingItems) {
  bridge->startSync(session);
  bridge->handleProgress(vela::ClipDir::receive, 10, 0);
  EXPECT_FALSE(bridge->clipXfer.get().has_value()) << "no total, no transfer";
  bridge->handleProgress(vela::ClipDir::receive, 50, 100);
  EXPECT_EQ(bridge->clipXfer.get(), (ClipXferState{vela::ClipDir::receive, vela::Platform::iPad, 50, 100, false}));
  platform.reset();
  bridge->handleProgress(vela::ClipDir::send, 120, 100);
  EXPECT_EQ(bridge->clipXfer.get(), (ClipXferState{vela::ClipDir::send, vela::Platform::mac, 100, 100, true}));
  advance(1'099'999);
  EXPECT_TRUE(bridge->clipXfer.get().has_value());
  advance(1);
  EXPECT_FALSE(bridge->clipXfer.get().has_value()) << "a finished transfer leaves after 1.1 s";

  bridge->handleProgress(vela::ClipDir::send, 100, 100);
  bridge->handleProgress(vela::ClipDir::send, 1, 200);
  advance(2'000'000);
  EXPECT_TRUE(bridge->clipXfer.get().has_value()) << "newer progress cancels the clear";

  bridge->handleAnnounce(20, "public.png", 100, "", std::nullopt);
  bridge->handleAnnounce(21, "public.png", 100, "", std::nullopt);
  bridge->stop();
  EXPECT_TRUE(logged("📋 anuluję 2 oczekujących (sesja zakończona)"));
  EXPECT_EQ(bridge->pendingCount(), 0u);
  EXPECT_FALSE(bridge->clipXfer.get().has_value());
  advance(20'000'000);
  EXPECT_FALSE(logged("📋 kotwica 20 nieudana: timeout 10 s")) << "their deadlines went with them";
}

TEST_F(PasteboardBridgeTest, ABridgeThatGoesLeavesNoTimerBehind) {
  bridge->startSync(session);
  bridge->handleAnnounce(5, "public.utf8-plain-text", 100, "", std::nullopt);
  bridge->handleProgress(vela::ClipDir::receive, 100, 100);
  EXPECT_EQ(scheduler.pendingCount(), 3u) << "the poll, the item's deadline and the panel's clear";
  bridge.reset();
  EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST(ClipPasteFileName, KeepsOneHarmlessComponent) {
  struct Row {
    std::string in;
    std::string out;
    const char* why;
  };
  const std::vector<Row> rows = {
      {"../x/y", "y", "only the last component"},
      {"..", "plik", "parent directory"},
      {"", "plik", "empty"},
      {"/", "_", "a lone slash"},
      {"dir/", "dir", "trailing slash"},
      {std::string("a\0b\x1f" "c", 5), "a_b_c", "NUL and control characters"},
      {"a\xff" "b", "a_b", "invalid UTF-8"},
      {std::string(300, 'n'), std::string(200, 'n'), "200 characters"},
      {[] { std::string s; for (int i = 0; i < 127; ++i) s += "\xC5\x9B"; return s + "\xE2\x82\xAC"; }(),
       [] { std::string s; for (int i = 0; i < 127; ++i) s += "\xC5\x9B"; return s; }(), "255 bytes at a boundary"},
  };
  for (const Row& row : rows) EXPECT_EQ(clipPasteFileName(row.in), row.out) << row.why;
}

}  // namespace
}  // namespace tavlo
