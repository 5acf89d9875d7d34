#include "protocol/retransmit_buffer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vela {
namespace {

// A frame of `bytes` bytes cut by the chunker (so chunk i sits at position i).
std::vector<SharedVideoChunk> frameOf(uint32_t frameId, uint16_t generation, size_t bytes) {
  return Chunker::chunk(frameId, generation, {}, ltrTokenNone, 0, Bytes(bytes, uint8_t(frameId)));
}

VideoNack nackFor(uint32_t frameId, uint16_t generation, std::vector<uint16_t> missing) {
  return VideoNack::fromMissing(frameId, generation, missing);
}

std::vector<int> indicesOf(const std::vector<SharedVideoChunk>& chunks) {
  std::vector<int> out;
  for (const auto& c : chunks) out.push_back(c->chunkIdx);
  return out;
}

// Which of the given ids are held: a one-chunk NACK in each generation it might be in.
std::vector<uint32_t> heldIds(const RetransmitBuffer& buffer, uint32_t upTo, uint16_t generation = 0) {
  std::vector<uint32_t> out;
  for (uint32_t id = 0; id <= upTo; ++id) {
    if (!buffer.chunksFor(nackFor(id, generation, {0})).empty()) out.push_back(id);
  }
  return out;
}

TEST(RetransmitBuffer, ForgetsTheOldestFramesFirst) {
  struct Row {
    int64_t maxBytes;
    int maxFrames;
    std::vector<size_t> frameBytes;  // retained as ids 1, 2, ...
    std::vector<uint32_t> held;
    const char* why;
  };
  const Row rows[] = {
      {RetransmitBuffer::hostMaxBytes, RetransmitBuffer::hostMaxFrames, std::vector<size_t>(46, 100),
       [] {
         std::vector<uint32_t> ids;
         for (uint32_t id = 2; id <= 46; ++id) ids.push_back(id);
         return ids;
       }(),
       "the host's limits keep 45 frames: the 46th pushes out the first"},
      {10'000, 45, {6'000, 5'000}, {2}, "the byte limit pushes out the older frame"},
      {10'000, 45, {12'000}, {}, "a frame larger than the limit on its own leaves the store empty"},
      {10'000, 45, {4'000, 12'000}, {}, "and takes the older frames with it"},
      {10'000, 45, {5'000, 5'000}, {1, 2}, "exactly at the limit keeps both"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    RetransmitBuffer buffer(row.maxBytes, row.maxFrames);
    for (size_t i = 0; i < row.frameBytes.size(); ++i) {
      uint32_t id = uint32_t(i + 1);
      buffer.retain(id, 0, frameOf(id, 0, row.frameBytes[i]));
    }
    EXPECT_EQ(heldIds(buffer, 50), row.held);
    EXPECT_EQ(buffer.frameCount(), int(row.held.size()));
    int64_t expectedBytes = 0;
    for (uint32_t id : row.held) expectedBytes += int64_t(row.frameBytes[id - 1]);
    EXPECT_EQ(buffer.totalBytes(), expectedBytes);
  }
}

TEST(RetransmitBuffer, AnswersANackWithTheNamedChunksOfTheSameGeneration) {
  RetransmitBuffer buffer(RetransmitBuffer::hostMaxBytes, RetransmitBuffer::hostMaxFrames);
  buffer.retain(20, 4, frameOf(20, 4, 4 * 1310));  // chunks 0 to 3
  // A frame whose chunks are not at their own positions (a subset, out of order) is searched instead.
  auto scattered = frameOf(21, 4, 6 * 1310);
  buffer.retain(21, 4, {scattered[5], scattered[1], scattered[3]});
  struct Row {
    uint32_t frameId;
    uint16_t generation;
    std::vector<uint16_t> missing;
    std::vector<int> answered;
    const char* why;
  };
  const Row rows[] = {
      {20, 4, {1, 3}, {1, 3}, "exactly the named chunks, ascending"},
      {20, 4, {3, 0, 2}, {0, 2, 3}, "in chunk order whatever order they were named in"},
      {20, 5, {1, 3}, {}, "another generation: never answered with this one's chunks"},
      {20, 3, {1, 3}, {}, "an older generation neither"},
      {20, 4, {9}, {}, "an index beyond the frame's chunks names nothing"},
      {20, 4, {2, 9}, {2}, "the held part of a NACK is still answered"},
      {22, 4, {0}, {}, "a frame that is not held"},
      {21, 4, {1, 2, 5}, {5, 1}, "a frame held out of order answers in its held order, skipping what it lacks"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(indicesOf(buffer.chunksFor(nackFor(row.frameId, row.generation, row.missing))), row.answered);
  }
}

TEST(RetransmitBuffer, AnswersShareTheRetainedChunksAndOutliveEviction) {
  RetransmitBuffer buffer(10'000, 45);
  auto chunks = frameOf(1, 0, 3 * 1310);
  const uint8_t* payloadBytes = chunks[1]->payload.data();
  buffer.retain(1, 0, chunks);
  auto answer = buffer.chunksFor(nackFor(1, 0, {1}));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0], chunks[1]) << "the same shared chunk, not a copy";
  EXPECT_EQ(answer[0]->payload.data(), payloadBytes);

  chunks.clear();
  buffer.retain(2, 0, frameOf(2, 0, 9'000));  // evicts frame 1
  EXPECT_EQ(buffer.frameCount(), 1);
  EXPECT_EQ(answer[0]->frameId, 1u) << "a send still holding the chunk keeps it alive";
  EXPECT_EQ(answer[0]->payload, Bytes(1310, 1));
}

TEST(RetransmitBuffer, RetireForgetsFromTheFrontWhileIdsAreAtMostTheBound) {
  RetransmitBuffer buffer(RetransmitBuffer::hostMaxBytes, RetransmitBuffer::hostMaxFrames);
  for (uint32_t id : {8, 9, 11, 10}) buffer.retain(id, 0, frameOf(id, 0, 100));
  buffer.retire(10);
  EXPECT_EQ(heldIds(buffer, 20), (std::vector<uint32_t>{10, 11})) << "stops at 11 although 10 is behind it";
  EXPECT_EQ(buffer.totalBytes(), 200);
}

// Frame ids restart at 0 whenever the host rebuilds its encoder, so a held id comes again.
TEST(RetransmitBuffer, ReplacesAFrameIdThatIsStillHeld) {
  RetransmitBuffer buffer(RetransmitBuffer::hostMaxBytes, RetransmitBuffer::hostMaxFrames);
  for (uint32_t id = 0; id <= 44; ++id) buffer.retain(id, 1, frameOf(id, 1, 1'000 + id));
  buffer.retain(0, 2, frameOf(0, 2, 2 * 1310));

  EXPECT_EQ(buffer.frameCount(), 45) << "one entry for id 0";
  int64_t held = 2 * 1310;
  for (uint32_t id = 1; id <= 44; ++id) held += 1'000 + id;
  EXPECT_EQ(buffer.totalBytes(), held) << "the replaced frame's bytes left with it";
  EXPECT_EQ(indicesOf(buffer.chunksFor(nackFor(0, 2, {0, 1}))), (std::vector<int>{0, 1}));
  EXPECT_TRUE(buffer.chunksFor(nackFor(0, 1, {0})).empty()) << "the old generation's frame 0 is gone";

  // Id 0 is now the newest: the next frame pushes out id 1, not the frame just retained.
  buffer.retain(45, 2, frameOf(45, 2, 100));
  EXPECT_EQ(buffer.frameCount(), 45);
  EXPECT_TRUE(buffer.chunksFor(nackFor(1, 1, {0})).empty());
  EXPECT_EQ(buffer.chunksFor(nackFor(0, 2, {0})).size(), 1u);
}

TEST(RetransmitBuffer, RetainAndNackLookupsMayRunOnDifferentThreads) {
  RetransmitBuffer buffer(64 * 1310, 8);
  std::atomic<bool> done{false};
  std::atomic<int> answered{0};
  std::thread nacks([&] {
    while (!done.load()) {
      for (uint32_t id = 0; id < 500; id += 7) {
        for (const auto& c : buffer.chunksFor(nackFor(id, 0, {0, 2}))) {
          if (c->frameId != id) std::abort();
          answered.fetch_add(1);
        }
      }
    }
  });
  for (uint32_t id = 0; id < 500; ++id) buffer.retain(id, 0, frameOf(id, 0, 4 * 1310));
  done = true;
  nacks.join();
  EXPECT_EQ(buffer.frameCount(), 8);
  EXPECT_EQ(buffer.totalBytes(), 8 * 4 * 1310);
}

}  // namespace
}  // namespace vela
