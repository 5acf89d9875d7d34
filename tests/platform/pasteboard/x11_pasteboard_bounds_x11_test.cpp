// What another program on the desktop can make the X11 pasteboard hold or wait for: reads of a hostile
// owner's clipboard are bounded in bytes, types and time, and what we serve is held once however many
// programs read it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "platform/pasteboard/x11_pasteboard.hpp"
#include "tests/platform/pasteboard/clipboard_test_clients.hpp"
#include "tests/testkit/heap_usage.hpp"
#include "tests/testkit/xorg_server.hpp"

namespace tavlo {
namespace {

using pasteboardtest::HostileClipboardOwner;
using pasteboardtest::eventually;
using pasteboardtest::RawClipboardReader;

Bytes pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  return bytes;
}

class X11PasteboardBoundsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.failureText();
    std::string error;
    X11Pasteboard::Options options;
    options.log = [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
    options.clock = &clock;
    host = X11Pasteboard::open(server.display(), &error, options);
    ASSERT_NE(host, nullptr) << error;
  }
  void TearDown() override { host.reset(); }

  std::string logged() {
    std::lock_guard lock(mutex);
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }

  testkit::XorgServer server;
  FakeClock clock;
  std::mutex mutex;
  std::vector<std::string> lines;
  std::unique_ptr<X11Pasteboard> host;
};

// The heap's high-water mark over the calls between its creation and stop().
class HeapPeak {
 public:
  HeapPeak() : start_(testkit::heapBytesInUse()), peak_(start_) {
    sampler_ = std::thread([this] {
      while (!stopped_) {
        peak_ = std::max(peak_.load(), testkit::heapBytesInUse());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~HeapPeak() { stop(); }
  size_t stop() {
    stopped_ = true;
    if (sampler_.joinable()) sampler_.join();
    return peak_ > start_ ? peak_ - start_ : 0;
  }

 private:
  size_t start_;
  std::atomic<size_t> peak_;
  std::atomic<bool> stopped_{false};
  std::thread sampler_;
};

// How the test moves the fake clock while the read runs.
enum class Drive {
  none,
  pastTheIdleTimeOut,    // once the owner has the request, past the time one step may take
  secondByChunkForEver,  // a second after each chunk, never long enough for one step to time out
};

struct HostileCase {
  const char* why;
  HostileClipboardOwner::Behaviour owner;
  Drive drive;
  const char* line;  // what the dropped read's log line says
};

constexpr size_t cap = Pasteboard::maxItemBytes;

const HostileCase hostileCases[] = {
    {"one property four times the bound (appended piece by piece, as no request carries it whole)",
     {HostileClipboardOwner::Serves::oneProperty, 4 * cap, 0, 0}, Drive::none, "większy niż 16777216 B"},
    {"an INCR transfer that goes on to four times the bound while its header claims a kilobyte",
     {HostileClipboardOwner::Serves::incr, 4 * cap, X11Pasteboard::chunkBytes, 0}, Drive::none,
     "większy niż 16777216 B"},
    {"a target list of a million types (naming each took a round trip: minutes)",
     {HostileClipboardOwner::Serves::oneProperty, 16, 0, 1'000'000}, Drive::none, "ponad 1024 typów"},
    {"an owner that trickles one byte a chunk for ever, each chunk in time",
     {HostileClipboardOwner::Serves::incr, 0, 1, 0}, Drive::secondByChunkForEver, "trwa ponad 10 s"},
    {"an owner that never answers the item's request",
     {HostileClipboardOwner::Serves::nothing, 0, 0, 0}, Drive::pastTheIdleTimeOut, "brak odpowiedzi od 3 s"},
};

TEST_F(X11PasteboardBoundsTest, AHostileOwnersItemIsDroppedWithALogLineWithinTheBounds) {
  for (const HostileCase& row : hostileCases) {
    SCOPED_TRACE(row.why);
    {
      std::lock_guard lock(mutex);
      lines.clear();
    }
    // A new owner is a new clipboard: what the last row's owner offered is not remembered.
    const int64_t count = host->changeCount();
    HostileClipboardOwner owner(server.display(), row.owner);
    ASSERT_TRUE(owner.owns());
    ASSERT_TRUE(eventually([&] { return host->changeCount() != count; }));

    HeapPeak heap;
    auto reading = std::async(std::launch::async, [this] { return host->text(); });
    if (row.drive == Drive::pastTheIdleTimeOut) {
      ASSERT_TRUE(eventually([&] { return owner.itemRequests() == 1; }));
      clock.advanceUs((X11Pasteboard::readTimeoutMs + 1) * 1000);
    }
    if (row.drive == Drive::secondByChunkForEver) {
      const auto over = [&] { return reading.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
      uint64_t seen = 0;
      for (int second = 0; second < 40; ++second) {
        // A chunk written means the one before was taken: the host has seen the owner within the second.
        ASSERT_TRUE(eventually([&] { return owner.chunksSent() > seen || over(); }));
        if (over()) break;
        seen = owner.chunksSent();
        clock.advanceUs(1'000'000);
      }
    }
    const bool ended = reading.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    // A read that did not end on its own ends now, so the row can report it.
    owner.stop();
    clock.advanceUs(60'000'000);
    const size_t grown = heap.stop();
    EXPECT_TRUE(ended);
    const std::optional<std::string> text = reading.get();
    EXPECT_FALSE(text.has_value()) << text->size() << " bytes read";
    EXPECT_NE(logged().find(row.line), std::string::npos) << logged();
    EXPECT_LT(grown, 2 * cap) << "the read held more than the bound";
  }
}

using X11PasteboardServingTest = X11PasteboardBoundsTest;

TEST_F(X11PasteboardServingTest, ManyReadersOfALargeItemAreServedFromTheOneCopyItHolds) {
  const size_t size = 8 * 1024 * 1024;
  PasteboardContent content;
  content.png = pattern(size);
  host->write(std::move(content));
  RawClipboardReader reader(server.display());
  ASSERT_TRUE(reader.connected());

  const size_t before = testkit::heapBytesInUse();
  const int readers = 24;
  for (int i = 0; i < readers; ++i) {
    const std::string property = "READ_" + std::to_string(i);
    reader.ask("image/png", property);
    // Each reader is answered with INCR and takes no chunk: every transfer stays open.
    ASSERT_EQ(reader.awaitAnswer(property), std::optional<bool>(true)) << property;
  }
  const size_t after = testkit::heapBytesInUse();
  EXPECT_LT(after > before ? after - before : 0, size) << readers << " open transfers of one item";
}

TEST_F(X11PasteboardServingTest, TwoIncrTransfersToOneWindowBothCompleteByteExact) {
  const Bytes image = pattern(3 * X11Pasteboard::chunkBytes + 17);
  PasteboardContent content;
  content.png = image;
  host->write(std::move(content));
  RawClipboardReader reader(server.display());
  ASSERT_TRUE(reader.connected());
  reader.ask("image/png", "FIRST");
  reader.ask("image/png", "SECOND");
  ASSERT_EQ(reader.awaitAnswer("FIRST"), std::optional<bool>(true));
  ASSERT_EQ(reader.awaitAnswer("SECOND"), std::optional<bool>(true));
  ASSERT_TRUE(reader.takeChunk("FIRST"));  // the headers: both transfers begin
  ASSERT_TRUE(reader.takeChunk("SECOND"));

  // The second takes one chunk, the first runs to its end, then the second goes on.
  std::optional<Bytes> chunk = reader.takeChunk("SECOND");
  ASSERT_TRUE(chunk);
  Bytes second = *chunk;
  Bytes first;
  while ((chunk = reader.takeChunk("FIRST")) && !chunk->empty()) {
    first.insert(first.end(), chunk->begin(), chunk->end());
  }
  EXPECT_TRUE(chunk) << "the first transfer ends with an empty chunk";
  while ((chunk = reader.takeChunk("SECOND")) && !chunk->empty()) {
    second.insert(second.end(), chunk->begin(), chunk->end());
  }
  EXPECT_TRUE(chunk) << "the second transfer ends with an empty chunk, " << second.size() << " bytes in";
  EXPECT_TRUE(first == image);
  EXPECT_TRUE(second == image);
}

}  // namespace
}  // namespace tavlo
