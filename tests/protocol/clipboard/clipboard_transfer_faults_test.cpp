// What the engine does with trouble: bad sources, bad pieces, hostile names, full disks, too many items.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>

#include "platform/runtime/private_files.hpp"
#include "protocol/clipboard/clipboard_transfer.hpp"
#include "tests/protocol/clipboard/clip_session_fixture.hpp"

namespace vela {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using tavlo::toBytes;

TEST(ClipboardTransfer, AnUnreadableOrShrunkSourceFailsOnBothSides) {
  struct Row {
    const char* why;
    size_t keptBytes;  // what is left of the 100,000-byte source after the announcement; SIZE_MAX: removed
    size_t piecesBeforeFailure;
  };
  const Row rows[] = {
      {"the file was removed", SIZE_MAX, 0},
      {"the file shrank: a short read fails instead of stalling the peer", 20'000, 1},
  };
  for (const auto& row : rows) {
    ClipSessionPair pair;
    auto source = writeFile(pair.dir / "source.bin", pattern(100'000));
    auto clipId = pair.host.announceClipboard("public.data", "source.bin", ClipPayload::file(source));
    pair.settle();
    if (row.keptBytes == SIZE_MAX) fs::remove(source);
    else fs::resize_file(source, row.keptBytes);
    pair.client.requestClip(*clipId);
    pair.runUntilIdle();

    auto arrived = pair.client.arrived();
    ASSERT_EQ(arrived.size(), row.piecesBeforeFailure + 1) << row.why;
    EXPECT_EQ(arrived.back(), (ArrivedPiece{*clipId, 0, 0, 0, arrived.back().atUs})) << row.why;
    EXPECT_EQ(pair.host.failed(), (std::vector<uint64_t>{*clipId})) << row.why;
    EXPECT_EQ(pair.client.failed(), (std::vector<uint64_t>{*clipId})) << row.why;
    EXPECT_TRUE(pair.client.completed().empty()) << row.why;
    EXPECT_TRUE(filesIn(pair.client.engine().tempFolder()).empty()) << row.why << ": the partial file is deleted";
  }
}

TEST(ClipboardTransfer, HostileNamesNeverLeaveThePrivateFolder) {
  struct Row { std::string name; std::string expected; };
  const Row rows[] = {
      {"../../../../tmp/owned", "owned"},
      {"/etc/cron.d/job", "job"},
      {"..", "clip"},
      {"..\\..\\autorun.inf", "autorun.inf"},
      {std::string("a\0/../b", 7), "b"},
      {"\x1b[31mred\x1b[0m", "[31mred[0m"},
      {std::string(400, 'n'), std::string(255, 'n')},
  };
  ClipSessionPair pair;
  for (const auto& row : rows) {
    auto clipId = pair.client.announceClipboard("public.data", row.name, ClipPayload::memory(toBytes("payload")));
    pair.settle();
    pair.host.requestClip(*clipId);
    pair.runUntilIdle();
  }
  auto completed = pair.host.completed();
  ASSERT_EQ(completed.size(), std::size(rows));
  for (size_t i = 0; i < completed.size(); ++i) {
    EXPECT_EQ(completed[i].name, rows[i].expected) << "the callback gets the safe name";
    ASSERT_TRUE(completed[i].payload.isFile());
    const auto& path = completed[i].payload.path();
    EXPECT_EQ(path.parent_path(), pair.host.engine().tempFolder());
    EXPECT_LE(path.filename().string().size(), 255u);
    EXPECT_EQ(tavlo::readWholeFile(path), toBytes("payload"));
  }
  size_t everywhere = 0;
  for (const auto& entry : fs::recursive_directory_iterator(pair.dir.path())) everywhere += entry.is_regular_file();
  EXPECT_EQ(everywhere, std::size(rows)) << "no file anywhere but the received ones";
}

TEST(ClipboardTransfer, AFileThatCannotBeCreatedFailsTheItemInsteadOfCompletingEmpty) {
  ClipSessionPair pair;
  // The host's folder path is taken by a regular file, so no folder and no file can be made there.
  fs::create_directories(pair.host.engine().tempFolder().parent_path());
  std::ofstream(pair.host.engine().tempFolder()) << "in the way";
  auto clipId = pair.client.announceClipboard("public.data", "a.txt", ClipPayload::memory(pattern(40'000)));
  pair.settle();
  pair.host.requestClip(*clipId);
  pair.runUntilIdle();
  EXPECT_EQ(pair.client.arrived().size(), 0u);
  EXPECT_EQ(pair.host.arrived().size(), 3u) << "the sender still sends; the receiver ignores the rest";
  EXPECT_TRUE(pair.host.completed().empty());
  EXPECT_EQ(pair.host.failed(), (std::vector<uint64_t>{*clipId}));
  EXPECT_EQ(pair.host.logLines().size(), 1u);
}

TEST(ClipboardTransfer, AFailedWriteFailsTheItemAndDeletesThePartialFile) {
  ClipSessionPair pair;
  auto clipId = pair.client.announceClipboard("public.data", "big.bin", ClipPayload::memory(pattern(100'000)));
  pair.settle();
  pair.host.requestClip(*clipId);
  pair.settle();  // the first piece is written
  ASSERT_EQ(filesIn(pair.host.engine().tempFolder()).size(), 1u);

  // Files of this process may grow no further: the next write fails with EFBIG.
  struct rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = saved;
  limit.rlim_cur = 20'000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  pair.step();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  pair.runUntilIdle();
  EXPECT_EQ(pair.host.failed(), (std::vector<uint64_t>{*clipId}));
  EXPECT_TRUE(pair.host.completed().empty()) << "later pieces are ignored";
  EXPECT_TRUE(filesIn(pair.host.engine().tempFolder()).empty());
}

TEST(ClipboardTransfer, AnItemOf4GiBOrMoreIsRefusedAtProvide) {
  ClipSessionPair pair;
  auto make = [&](const char* name, uint64_t size) {
    auto path = pair.dir / name;
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);  // sparse: no disk space used
    ::close(fd);
    return path;
  };
  auto tooLarge = make("4g", 4'294'967'296ULL);
  auto largest = make("4g-1", 4'294'967'295ULL);
  EXPECT_EQ(pair.host.engine().provide(1, ClipPayload::file(tooLarge)), std::nullopt);
  EXPECT_EQ(pair.host.announceClipboard("public.data", "4g", ClipPayload::file(tooLarge)), std::nullopt);
  EXPECT_EQ(pair.host.engine().provide(2, ClipPayload::file(largest)), 4'294'967'295u);
  pair.settle();
  EXPECT_TRUE(pair.client.announcements().empty()) << "a refused item is not announced";
  EXPECT_EQ(pair.host.logLines().size(), 2u);
}

TEST(ClipboardTransfer, AnItemPushedOutWhileBeingSentFinishesItsPlannedPiecesThenFails) {
  ClipSessionPair pair;
  pair.host.engine().setMaxBytesPerSec(50 * 40'000);  // three pieces in one tick
  Bytes body = pattern(100'000);
  auto source = writeFile(pair.dir / "src.bin", body);
  auto clipId = pair.host.announceClipboard("public.data", "src.bin", ClipPayload::file(source));
  pair.settle();
  bool pushedOut = false;
  pair.host.afterSend = [&](const ClipData&) {
    // Six newer offers push the item out between two reads of the same tick; the read handle the tick
    // holds stays open, so the planned pieces still read the right bytes.
    if (!std::exchange(pushedOut, true))
      for (int i = 0; i < 6; ++i) pair.host.engine().provide(100 + i, ClipPayload::memory({1}));
  };
  pair.client.requestClip(*clipId);
  pair.runUntilIdle();

  auto arrived = pair.client.arrived();
  ASSERT_EQ(pieceSizes(arrived), (std::vector<size_t>{16'384, 16'384, 16'384, 0}));
  EXPECT_EQ(arrived.back().total, 0u) << "the peer is told instead of waiting for ever";
  EXPECT_EQ(pair.host.failed(), (std::vector<uint64_t>{*clipId}));
  EXPECT_EQ(pair.client.failed(), (std::vector<uint64_t>{*clipId}));
}

TEST(ClipboardTransfer, AtMostEightItemsAreReceivedAtOnceAndTheOldestGivesWay) {
  ClipSessionPair pair;
  auto first = pair.client.announceClipboard("public.data", "first.bin", ClipPayload::memory(pattern(100'000)));
  pair.settle();
  pair.host.requestClip(*first);
  pair.steps(2);
  ASSERT_EQ(filesIn(pair.host.engine().tempFolder()).size(), 1u);
  for (int i = 0; i < 8; ++i) pair.client.announceClipboard("public.data", "", ClipPayload::memory({1, 2}));
  pair.settle();
  EXPECT_EQ(pair.host.engine().incomingCount(), 8u);
  EXPECT_EQ(pair.host.failed(), (std::vector<uint64_t>{*first}));
  EXPECT_TRUE(filesIn(pair.host.engine().tempFolder()).empty()) << "its partial file is deleted";
  pair.runUntilIdle();
  EXPECT_TRUE(pair.host.completed().empty()) << "its later pieces are ignored";
}

TEST(ClipboardTransfer, ResetDeletesUnfinishedFilesAndIgnoresLaterPieces) {
  ClipSessionPair pair;
  auto clipId = pair.client.announceClipboard("public.data", "movie.mov", ClipPayload::memory(pattern(200'000)));
  pair.settle();
  pair.host.requestClip(*clipId);
  pair.steps(3);
  EXPECT_GT(pair.host.engine().receivedOffset(*clipId), 0u);
  ASSERT_EQ(filesIn(pair.host.engine().tempFolder()).size(), 1u);
  pair.host.close();
  EXPECT_TRUE(filesIn(pair.host.engine().tempFolder()).empty());
  EXPECT_EQ(pair.host.engine().receivedOffset(*clipId), 0u);
  pair.runUntilIdle();
  EXPECT_TRUE(pair.host.completed().empty());
  EXPECT_TRUE(pair.host.failed().empty()) << "reset reports nothing";
  EXPECT_TRUE(filesIn(pair.host.engine().tempFolder()).empty());

  pair.client.close();
  EXPECT_FALSE(pair.client.engine().isPacing());
  pair.host.requestClip(*clipId);
  pair.settle();
  EXPECT_EQ(pair.host.arrived().back().total, 0u) << "after reset nothing is on offer";
}

TEST(ClipboardTransfer, ResetRemovesTheCompletedFilesTheOwnerLeftWhereTheyWereReceived) {
  ClipSessionPair pair;
  auto kept = pair.client.announceClipboard("public.data", "left.bin", ClipPayload::memory(pattern(30'000)));
  auto moved = pair.client.announceClipboard("public.data", "moved.bin", ClipPayload::memory(pattern(30'000)));
  pair.settle();
  pair.host.requestClip(*kept);
  pair.host.requestClip(*moved);
  pair.runUntilIdle();
  ASSERT_EQ(pair.host.completed().size(), 2u);
  // The owner moves one away (it now lives elsewhere) and leaves the other where it arrived.
  tavlo::testkit::TempDir elsewhere;
  fs::rename(pair.host.completed()[1].payload.path(), elsewhere / "moved.bin");
  ASSERT_EQ(filesIn(pair.host.engine().tempFolder()).size(), 1u);

  pair.host.close();
  EXPECT_TRUE(filesIn(pair.host.engine().tempFolder()).empty()) << "a completed file outlived its session";
  EXPECT_TRUE(fs::exists(elsewhere / "moved.bin")) << "what the owner moved away is the owner's";
}

TEST(ClipboardTransfer, OnlyTheNewestCompletedFilesAreKeptForTheirOwner) {
  ClipSessionPair pair;
  std::vector<uint64_t> ids;
  for (size_t i = 0; i <= ClipReceiver::maxCompletedFiles; ++i) {
    ids.push_back(*pair.client.announceClipboard("public.data", "f.bin", ClipPayload::memory(pattern(100))));
    pair.settle();
    pair.host.requestClip(ids.back());
    pair.runUntilIdle();
  }
  ASSERT_EQ(pair.host.completed().size(), ClipReceiver::maxCompletedFiles + 1);
  EXPECT_FALSE(fs::exists(pair.host.completed().front().payload.path())) << "the oldest one left goes";
  EXPECT_EQ(filesIn(pair.host.engine().tempFolder()).size(), ClipReceiver::maxCompletedFiles);
}

TEST(ClipboardTransfer, BadPiecesFailTheItemAndOutOfOrderOnesAreIgnored) {
  struct Row { const char* why; ClipData bad; bool fails; };
  const Row rows[] = {
      {"a piece past the announced size", ClipData{1, 20'000, 16'384, pattern(4'000)}, true},
      {"a total other than the announced size", ClipData{1, 30'000, 16'384, pattern(100)}, true},
      {"the sender gave up (total 0)", ClipData{1, 0, 0, {}}, true},
      {"a piece ahead of the data (out of order)", ClipData{1, 20'000, 17'000, pattern(100)}, false},
      {"a repeated piece", ClipData{1, 20'000, 0, pattern(16'384)}, false},
      {"a piece of an unknown item", ClipData{2, 20'000, 0, pattern(100)}, false},
  };
  for (const auto& row : rows) {
    ClipSessionPair pair;
    auto& engine = pair.host.engine();
    engine.handleAnnounce(announcement(1, 20'000, "doc.pdf"));
    engine.handleData(ClipData{1, 20'000, 0, pattern(16'384)});
    engine.handleData(row.bad);
    if (row.fails) {
      EXPECT_EQ(pair.host.failed(), (std::vector<uint64_t>{1})) << row.why;
      EXPECT_TRUE(filesIn(engine.tempFolder()).empty()) << row.why;
      engine.handleData(ClipData{1, 20'000, 16'384, pattern(3'616)});
      EXPECT_TRUE(pair.host.completed().empty()) << row.why << ": later pieces are ignored";
    } else {
      EXPECT_TRUE(pair.host.failed().empty()) << row.why;
      EXPECT_EQ(engine.receivedOffset(1), 16'384u) << row.why;
      engine.handleData(ClipData{1, 20'000, 16'384, pattern(3'616)});
      EXPECT_EQ(pair.host.completed().size(), 1u) << row.why;
    }
  }
}

TEST(ClipboardTransfer, TheEngineMayBeDestroyedFromItsOwnCallbackOnThePacerThread) {
  tavlo::FakeClock clock;
  tavlo::ManualScheduler scheduler(clock);
  tavlo::testkit::TempDir dir;
  auto* engine = new ClipboardTransfer(scheduler, dir / "tl-clip");
  std::promise<void> destroyed;
  ClipboardCallbacks callbacks;
  callbacks.onSendData = [&](const ClipData&) {
    delete engine;
    destroyed.set_value();
  };
  engine->setCallbacks(callbacks);
  ASSERT_TRUE(engine->provide(1, ClipPayload::memory(pattern(100'000))));
  engine->handleRequest(ClipRequest{1, 0});
  scheduler.runDue();
  destroyed.get_future().wait();
  scheduler.advanceBy(100 * ms);  // the cancelled pacer does not tick again
  EXPECT_EQ(scheduler.pendingCount(), 0u);
}

}  // namespace
}  // namespace vela
