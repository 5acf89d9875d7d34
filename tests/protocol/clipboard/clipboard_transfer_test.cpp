#include "protocol/clipboard/clipboard_transfer.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <latch>

#include "platform/crypto/sha256.hpp"
#include "platform/runtime/private_files.hpp"
#include "protocol/clipboard/clip_fetch_rendezvous.hpp"
#include "tests/protocol/clipboard/clip_session_fixture.hpp"

namespace vela {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using tavlo::testkit::fileMode;

// Checks a progress sequence of one direction against the step rule.
void expectProgressSteps(const std::vector<ProgressReport>& all, ClipDir dir, uint32_t total) {
  std::vector<uint32_t> done;
  for (const auto& report : all)
    if (report.dir == dir) {
      EXPECT_EQ(report.total, total);
      done.push_back(report.done);
    }
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(done.back(), total) << "the last report carries done = total";
  const uint32_t step = std::max<uint32_t>(65'536, total >= 6'553'700 ? total / 100 : 0);
  for (size_t i = 0; i + 1 < done.size(); ++i) {
    uint32_t since = done[i] - (i ? done[i - 1] : 0);
    EXPECT_GE(since, step);
    EXPECT_LT(since, step + ClipboardTransfer::chunkSize);
  }
}

TEST(ClipboardTransfer, A40000ByteItemArrivesAsTwoFullPiecesAndTheRestAt0And20And60Ms) {
  ClipSessionPair pair;
  Bytes body = pattern(40'000);
  auto clipId = pair.host.announceClipboard("public.utf8-plain-text", "", ClipPayload::memory(body));
  ASSERT_TRUE(clipId);
  pair.settle();
  ASSERT_EQ(pair.client.announcements().size(), 1u);
  EXPECT_EQ(pair.client.announcements()[0].size, 40'000u);
  EXPECT_FALSE(pair.client.announcements()[0].inline_) << "above 8,192 bytes nothing travels inline";

  pair.client.requestClip(*clipId);
  pair.runUntilIdle();
  EXPECT_EQ(pair.client.arrived(), (std::vector<ArrivedPiece>{{1, 40'000, 0, 16'384, 0},
                                                              {1, 40'000, 16'384, 16'384, 20 * ms},
                                                              {1, 40'000, 32'768, 7'232, 60 * ms}}));
  ASSERT_EQ(pair.client.completed().size(), 1u);
  EXPECT_EQ(pair.client.completed()[0].payload, ClipPayload::memory(body));
  EXPECT_FALSE(pair.host.engine().isPacing()) << "the pacer stops once the queue is empty";
}

TEST(ClipboardTransfer, ATenMegabyteFileArrivesByteIdenticalWithProgressEveryPerCent) {
  ClipSessionPair pair;
  Bytes body = pattern(10'000'000, 7);
  auto source = writeFile(pair.dir / "source" / "report.bin", body);
  auto clipId = pair.host.announceClipboard("public.data", "report.bin", ClipPayload::file(source));
  ASSERT_TRUE(clipId);
  pair.settle();
  pair.client.requestClip(*clipId);
  int ticks = pair.runUntilIdle();
  EXPECT_NEAR(ticks, 10'000'000 / 10'240, 3) << "512,000 bytes a second";

  auto completed = pair.client.completed();
  ASSERT_EQ(completed.size(), 1u);
  const auto& done = completed[0];
  EXPECT_EQ(done.name, "report.bin");
  ASSERT_TRUE(done.payload.isFile());
  const fs::path received = done.payload.path();
  EXPECT_EQ(received.parent_path(), pair.client.engine().tempFolder());
  EXPECT_EQ(received.filename().string().substr(36), "-report.bin");
  EXPECT_EQ(fileMode(received), 0600u);
  EXPECT_EQ(fileMode(received.parent_path()), 0700u);
  auto bytes = tavlo::readWholeFile(received);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(tavlo::crypto::sha256(*bytes), tavlo::crypto::sha256(body));

  expectProgressSteps(pair.host.progress(), ClipDir::send, 10'000'000);
  expectProgressSteps(pair.client.progress(), ClipDir::receive, 10'000'000);
}

TEST(ClipboardTransfer, NothingIsSentAndNoTokensAccrueWhileTheControlChannelIsBacklogged) {
  ClipSessionPair pair;
  auto clipId = pair.host.announceClipboard("public.data", "", ClipPayload::memory(pattern(100'000)));
  pair.settle();
  pair.hostToClient.setOutstandingBytes(70'000);
  pair.client.requestClip(*clipId);
  pair.steps(50);
  pair.hostToClient.setOutstandingBytes(65'536);  // at the limit the pacer runs again
  pair.settle();
  EXPECT_TRUE(pair.client.arrived().empty());
  pair.step();
  EXPECT_EQ(pieceSizes(pair.client.arrived()), (std::vector<size_t>{16'384}))
      << "one tick's tokens only: a second of holding back did not fill the bucket";
}

TEST(ClipboardTransfer, AnUnknownIdGetsExactlyOneEmptyFinalPieceAndNoPacer) {
  ClipSessionPair pair;
  pair.client.engine().handleAnnounce(announcement(42, 10, ""));
  pair.client.requestClip(42);
  pair.settle();
  EXPECT_FALSE(pair.host.engine().isPacing());
  pair.steps(5);
  EXPECT_EQ(pair.client.arrived(), (std::vector<ArrivedPiece>{{42, 0, 0, 0, 0}}));
  EXPECT_EQ(pair.client.failed(), (std::vector<uint64_t>{42}));
}

TEST(ClipboardTransfer, UnnamedItemsUpTo4MiBAreReceivedInMemoryTheRestIntoFiles) {
  struct Row { uint32_t size; std::string name; bool inFile; };
  const Row rows[] = {{4'194'304, "", false}, {4'194'305, "", true}, {10, "notes.txt", true}};
  for (const auto& row : rows) {
    ClipSessionPair pair;
    auto& engine = pair.host.engine();
    Bytes body = pattern(row.size);
    engine.handleAnnounce(announcement(1, row.size, row.name));
    engine.handleData(ClipData{1, row.size, 0, body});
    auto completed = pair.host.completed();
    ASSERT_EQ(completed.size(), 1u) << row.size;
    EXPECT_EQ(completed[0].payload.isFile(), row.inFile) << row.size;
    EXPECT_EQ(completed[0].payload.readData(), body) << row.size;
  }
}

TEST(ClipboardTransfer, OfferAndRequestRules) {
  ClipSessionPair pair;
  for (int i = 0; i < 7; ++i) pair.host.announceClipboard("public.data", "", ClipPayload::memory(pattern(40'000)));
  EXPECT_EQ(pair.host.engine().offeredCount(), 6u);
  pair.settle();
  pair.client.requestClip(1);  // pushed out by the seventh
  pair.client.requestClip(2, 50'000);  // an offset past the end
  pair.client.requestClip(3, 30'000);  // a resume
  pair.runUntilIdle();
  auto arrived = pair.client.arrived();
  ASSERT_EQ(arrived.size(), 2u);
  EXPECT_EQ(arrived[0], (ArrivedPiece{1, 0, 0, 0, 0})) << "a pushed-out item is answered as unknown";
  EXPECT_EQ(arrived[1].clipId, 3u) << "nothing is sent for an offset past the end";
  EXPECT_EQ(arrived[1].offset, 30'000u);
  EXPECT_EQ(arrived[1].size, 10'000u);
}

TEST(ClipboardTransfer, ProgressOfBothDirectionsIsCountedApartForTheSameClipId) {
  ClipSessionPair pair;
  // Both sides count their clip ids from 1, so the host sends item 1 while it receives the client's 1.
  auto hostItem = pair.host.announceClipboard("public.data", "", ClipPayload::memory(pattern(1'000'000, 1)));
  auto clientItem = pair.client.announceClipboard("public.data", "", ClipPayload::memory(pattern(1'000'000, 2)));
  ASSERT_EQ(hostItem, clientItem);
  pair.settle();
  pair.client.requestClip(*hostItem);
  pair.host.requestClip(*clientItem);
  pair.runUntilIdle();
  expectProgressSteps(pair.host.progress(), ClipDir::send, 1'000'000);
  expectProgressSteps(pair.host.progress(), ClipDir::receive, 1'000'000);
  expectProgressSteps(pair.client.progress(), ClipDir::send, 1'000'000);
  expectProgressSteps(pair.client.progress(), ClipDir::receive, 1'000'000);
  ASSERT_EQ(pair.host.completed().size(), 1u);
  EXPECT_EQ(pair.host.completed()[0].payload, ClipPayload::memory(pattern(1'000'000, 2)));
}

TEST(ClipboardTransfer, APasteWaitsInTheRendezvousUntilTheItemHasArrived) {
  ClipSessionPair pair;
  ClipFetchRendezvous rendezvous;
  pair.host.afterComplete = [&](const testing::CompletedClip& clip) { rendezvous.deliver(clip.clipId, clip.payload); };
  Bytes body = pattern(300'000);
  auto clipId = pair.client.announceClipboard("public.data", "photo.heic", ClipPayload::memory(body));
  pair.settle();

  std::latch requested(1);
  auto paste = std::async(std::launch::async, [&] {
    return rendezvous.fetch(*clipId, 600, [&] {
      pair.host.requestClip(*clipId);
      requested.count_down();
    });
  });
  requested.wait();
  pair.runUntilIdle();
  auto payload = paste.get();
  ASSERT_TRUE(payload);
  EXPECT_EQ(payload->readData(), body);
}

}  // namespace
}  // namespace vela
