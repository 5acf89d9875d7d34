#include <gtest/gtest.h>

#include <numeric>

#include "platform/runtime/random.hpp"
#include "protocol/chunker.hpp"
#include "protocol/parity_encoder.hpp"
#include "protocol/parity_groups.hpp"
#include "protocol/xor_bytes.hpp"

namespace vela {
namespace {

Bytes patternBytes(size_t size, uint64_t seed = 1) {
  tavlo::SeededRandom random(seed);
  return random.bytes(size);
}

std::vector<SharedVideoChunk> chunkFrame(const Bytes& frame, uint32_t frameId = 7) {
  return Chunker::chunk(frameId, 3, FrameFlags::idr, 12, 555'000, frame);
}

std::vector<size_t> payloadSizes(const std::vector<SharedVideoChunk>& chunks) {
  std::vector<size_t> sizes;
  for (const auto& c : chunks) sizes.push_back(c->payload.size());
  return sizes;
}

Bytes xorReference(std::vector<Bytes> members) {
  size_t longest = 0;
  for (const auto& m : members) longest = std::max(longest, m.size());
  Bytes out(longest, 0);
  for (const auto& m : members) {
    for (size_t i = 0; i < m.size(); ++i) out[i] ^= m[i];
  }
  return out;
}

TEST(Chunker, CutsFramesInto1310ByteChunksWithTheRemainderLast) {
  struct Row { size_t frameBytes; std::vector<size_t> sizes; const char* why; };
  const Row rows[] = {
      {0, {0}, "an empty frame still travels as one empty chunk"},
      {1, {1}, "one byte"},
      {1310, {1310}, "exactly one full chunk"},
      {1311, {1310, 1}, "one byte over spills into a second chunk"},
      {2620, {1310, 1310}, "two full chunks, no empty third"},
      {3000, {1310, 1310, 380}, "the last chunk holds the remainder"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Bytes frame = patternBytes(row.frameBytes);
    auto chunks = chunkFrame(frame, 41);
    EXPECT_EQ(payloadSizes(chunks), row.sizes);
    EXPECT_EQ(Chunker::chunkCount(row.frameBytes), row.sizes.size());
    Bytes joined;
    for (size_t i = 0; i < chunks.size(); ++i) {
      const VideoChunk& c = *chunks[i];
      EXPECT_EQ(c.chunkIdx, i);
      EXPECT_EQ(c.chunkCount, chunks.size());
      EXPECT_EQ(c.frameId, 41u);
      EXPECT_EQ(c.generation, 3);
      EXPECT_EQ(c.frameFlags, FrameFlags::idr);
      EXPECT_EQ(c.ltrToken, 12);
      EXPECT_EQ(c.captureTimestampUs, 555'000u);
      EXPECT_EQ(c.frameByteLength, row.frameBytes);
      joined.insert(joined.end(), c.payload.begin(), c.payload.end());
    }
    EXPECT_EQ(joined, frame);
  }
}

TEST(Chunker, RefusesAFrameTheChunkFieldsCannotCount) {
  Bytes frame(Chunker::maxFrameBytes + 1, 0x5A);
  EXPECT_TRUE(chunkFrame(frame).empty());
  auto largest = chunkFrame(Bytes(frame.begin(), frame.end() - 1));
  ASSERT_EQ(largest.size(), 65'535u);
  EXPECT_EQ(largest.back()->chunkIdx, 65'534);
  EXPECT_EQ(largest.back()->payload.size(), 1310u);
}

TEST(ParityGroups, MembershipIsInterleaved) {
  struct Row { int group, groupCount, chunkCount, size; const char* why; };
  const Row rows[] = {
      {0, 2, 5, 3, "group 0 of 2 over 5 chunks holds 0, 2, 4"},
      {1, 2, 5, 2, "group 1 of 2 over 5 chunks holds 1, 3"},
      {4, 8, 5, 1, "a group below the chunk count holds its own index only"},
      {5, 8, 5, 0, "a group at or beyond the chunk count is empty"},
      {0, 0, 5, 0, "no groups at all"},
      {7, 8, 382, 47, "a 500 KB keyframe with 8 groups: 382 chunks, the last groups one short"},
      {5, 8, 382, 48, "the first six groups get the extra member"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(parityGroupSize(row.group, row.groupCount, row.chunkCount), row.size);
  }
  EXPECT_EQ(parityGroupOf(13, 8), 5);
}

TEST(ParityEncoder, XorsEachInterleavedGroup) {
  Bytes frame = patternBytes(5 * 1310, 9);
  auto chunks = chunkFrame(frame, 70);
  auto payload = [&](int i) { return chunks[size_t(i)]->payload; };
  struct Row { int groupCount; std::vector<std::vector<int>> groups; const char* why; };
  const Row rows[] = {
      {1, {{0, 1, 2, 3, 4}}, "one group over every chunk"},
      {2, {{0, 2, 4}, {1, 3}}, "two interleaved groups"},
      {8, {{0}, {1}, {2}, {3}, {4}}, "more groups than chunks: one packet per chunk, a copy of it"},
      {255, {{0}, {1}, {2}, {3}, {4}}, "the largest group count the field can carry"},
      {0, {}, "no groups: no parity"},
      {-3, {}, "a negative group count: no parity"},
      {256, {}, "a group count the field cannot carry is refused"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    auto parity = ParityEncoder::encode(chunks, row.groupCount);
    ASSERT_EQ(parity.size(), row.groups.size());
    for (size_t g = 0; g < parity.size(); ++g) {
      std::vector<Bytes> members;
      for (int m : row.groups[g]) members.push_back(payload(m));
      EXPECT_EQ(parity[g].payload, xorReference(members)) << "group " << g;
      EXPECT_EQ(parity[g].groupIndex, g);
      EXPECT_EQ(parity[g].groupCount, uint8_t(row.groupCount));
      EXPECT_EQ(parity[g].frameId, 70u);
      EXPECT_EQ(parity[g].chunkCount, 5);
      EXPECT_EQ(parity[g].frameFlags, FrameFlags::idr);
      EXPECT_EQ(parity[g].ltrToken, 12);
      EXPECT_EQ(parity[g].generation, 3);
      EXPECT_EQ(parity[g].captureTimestampUs, 555'000u);
      EXPECT_EQ(parity[g].frameByteLength, frame.size());
    }
  }
}

TEST(ParityEncoder, AShortMemberCountsAsPaddedWithZeros) {
  Bytes frame = patternBytes(3000, 4);
  auto chunks = chunkFrame(frame);
  auto parity = ParityEncoder::encode(chunks, 2);  // groups {0, 2} and {1}
  ASSERT_EQ(parity.size(), 2u);
  ASSERT_EQ(parity[0].payload.size(), 1310u);
  EXPECT_EQ(parity[0].payload, xorReference({chunks[0]->payload, chunks[2]->payload}));
  EXPECT_TRUE(std::equal(parity[0].payload.begin() + 380, parity[0].payload.end(), chunks[0]->payload.begin() + 380))
      << "the last 930 bytes are the longer member's own";
  EXPECT_EQ(parity[1].payload, chunks[1]->payload);
}

TEST(ParityEncoder, EmptyGroupsAndEmptyListsGiveNothing) {
  EXPECT_TRUE(ParityEncoder::encode(chunkFrame({}), 1).empty()) << "one empty chunk: nothing to protect";
  EXPECT_TRUE(ParityEncoder::encode(std::span<const SharedVideoChunk>{}, 4).empty());
  auto oneShort = ParityEncoder::encode(chunkFrame(patternBytes(100)), 1);
  ASSERT_EQ(oneShort.size(), 1u);
  EXPECT_EQ(oneShort[0].payload.size(), 100u) << "a group of short members gets a short parity";
}

TEST(ParityEncoder, SharedAndPlainChunkListsGiveTheSameParity) {
  auto shared = chunkFrame(patternBytes(40'000, 3));
  std::vector<VideoChunk> plain;
  for (const auto& c : shared) plain.push_back(*c);
  for (int g : {1, 3, 8}) EXPECT_EQ(ParityEncoder::encode(shared, g), ParityEncoder::encode(plain, g));
}

TEST(XorBytes, MatchesAByteLoopAtEveryLengthAndAlignment) {
  // Lengths around each step of the word-wise loop; offsets that misalign both ranges.
  const size_t lengths[] = {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 127, 128, 200, 1309, 1310};
  for (size_t length : lengths) {
    for (size_t srcOffset : {0, 1, 3}) {
      for (size_t dstOffset : {0, 5}) {
        Bytes src = patternBytes(length + srcOffset, length + 1);
        Bytes dst = patternBytes(length + dstOffset + 9, length + 2);
        Bytes expected = dst;
        for (size_t i = 0; i < length; ++i) expected[dstOffset + i] ^= src[srcOffset + i];
        xorInto(std::span(dst).subspan(dstOffset), ByteView(src).subspan(srcOffset));
        EXPECT_EQ(dst, expected) << "length " << length << " offsets " << srcOffset << "/" << dstOffset;
      }
    }
  }
}

TEST(XorBytes, SeveralSourcesInOneSweepMatchOneAtATime) {
  struct Row { std::vector<size_t> lengths; const char* why; };
  const Row rows[] = {
      {{}, "no sources leave the destination as it is"},
      {{1310, 1310, 1310}, "fewer than four: one at a time"},
      {{1310, 1310, 1310, 1310}, "four full members in one sweep"},
      {{1310, 1310, 1310, 1310, 1310, 1310, 1310, 1310, 1310}, "two sweeps and one left over"},
      {{1310, 380, 1310, 1310}, "a short member among four: the sweep stops at it, the rest follow"},
      {{0, 1310, 7, 33}, "an empty member"},
      {{31, 32, 33, 1}, "lengths around one sweep step"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    std::vector<Bytes> sources;
    for (size_t i = 0; i < row.lengths.size(); ++i) sources.push_back(patternBytes(row.lengths[i], 100 + i));
    Bytes dst = patternBytes(1310, 99);
    Bytes expected = dst;
    for (const Bytes& source : sources) xorInto(expected, source);
    std::vector<ByteView> views(sources.begin(), sources.end());
    xorAllInto(dst, views);
    EXPECT_EQ(dst, expected);
  }
}

}  // namespace
}  // namespace vela
