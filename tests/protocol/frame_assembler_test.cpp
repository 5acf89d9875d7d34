#include "protocol/frame_assembler.hpp"

#include <gtest/gtest.h>

#include "platform/runtime/random.hpp"
#include "protocol/parity_encoder.hpp"
#include "tests/testkit/heap_usage.hpp"

namespace vela {
namespace {

using Kind = FrameAssembler::Event::Kind;

constexpr uint64_t t0 = 1'000'000'000'000ULL;  // where FakeClock starts: 0 means "never"

// Loose enough that only the rule under test holds a frame back.
constexpr FrameAssembler::NackPolicy openPolicy{.holdoffUs = 10'000,
                                                .maxRounds = 3,
                                                .giveUpAgeUs = 100'000,
                                                .idrMaxRounds = 5,
                                                .idrGiveUpAgeUs = 300'000,
                                                .firstNackDelayUs = 0,
                                                .fecFirstNackDelayUs = 0};

struct Frame {
  Bytes bytes;
  std::vector<VideoChunk> chunks;
  std::vector<VideoParity> parity;
};

Frame makeFrame(uint32_t frameId, size_t size, int groupCount = 0, FrameFlags flags = {}, uint16_t generation = 1) {
  Frame frame;
  frame.bytes = tavlo::SeededRandom(frameId * 31 + size).bytes(size);
  auto shared = Chunker::chunk(frameId, generation, flags, 9, 777, frame.bytes);
  for (const auto& c : shared) frame.chunks.push_back(*c);
  frame.parity = ParityEncoder::encode(shared, groupCount);
  return frame;
}

struct Assembler {
  FrameAssembler assembler{16};
  std::vector<std::string> lines;
  Assembler() {
    assembler.setOnLossDiag([this](const std::string& line) { lines.push_back(line); });
  }
  FrameAssembler* operator->() { return &assembler; }
};

// Feeds every chunk but the `lost` ones; returns the completion, or the last event when nothing completed.
FrameAssembler::Event feed(FrameAssembler& assembler, const Frame& frame, const std::vector<int>& lost = {},
                           uint64_t now = t0) {
  FrameAssembler::Event last;
  for (size_t i = 0; i < frame.chunks.size(); ++i) {
    if (std::find(lost.begin(), lost.end(), int(i)) != lost.end()) continue;
    auto event = assembler.ingest(frame.chunks[i], now);
    if (last.kind != Kind::completed) last = std::move(event);
  }
  return last;
}

std::vector<std::vector<uint16_t>> nackLists(FrameAssembler& assembler, uint64_t now,
                                             const FrameAssembler::NackPolicy& policy = openPolicy) {
  std::vector<std::vector<uint16_t>> out;
  for (auto& request : assembler.framesNeedingNack(now, policy)) {
    EXPECT_EQ(request.nack.missingChunks(), request.missing) << "the NACK names exactly the listed chunks";
    out.push_back(request.missing);
  }
  return out;
}

TEST(FrameAssembler, GenerationsGateThePackets) {
  Assembler a;
  auto old = makeFrame(4, 3000, 0, {}, 5);
  EXPECT_EQ(a->ingest(old.chunks[0], t0).kind, Kind::pending);
  auto stale = makeFrame(4, 3000, 0, {}, 3);
  EXPECT_EQ(a->ingest(stale.chunks[1], t0).kind, Kind::staleGeneration);
  EXPECT_EQ(a->ingestParity(makeFrame(9, 3000, 1, {}, 4).parity[0], t0).kind, Kind::staleGeneration);

  // Generation 6 drops every frame of 5 and lets ids start again.
  auto next = makeFrame(0, 100, 0, {}, 6);
  EXPECT_EQ(a->ingest(next.chunks[0], t0).kind, Kind::completed);
  EXPECT_EQ(a->inFlightCount(), 0);
  EXPECT_EQ(a->ingest(old.chunks[1], t0).kind, Kind::staleGeneration);
  a->setGeneration(6);
  a->setGeneration(2);
  EXPECT_EQ(a->ingest(makeFrame(1, 100, 0, {}, 6).chunks[0], t0).kind, Kind::completed)
      << "an equal or older setGeneration changes nothing";
}

TEST(FrameAssembler, CompletedFramesAndRepeatedPacketsAreDuplicates) {
  Assembler a;
  auto f100 = makeFrame(100, 500);
  auto done = a->ingest(f100.chunks[0], t0);
  ASSERT_EQ(done.kind, Kind::completed) << "a frame of one chunk completes on it";
  EXPECT_EQ(done.frameId, 100u);
  EXPECT_EQ(done.data, f100.bytes);
  EXPECT_EQ(done.ltrToken, 9);
  EXPECT_EQ(done.captureTimestampUs, 777u);
  EXPECT_FALSE(done.fecRecovered);
  EXPECT_EQ(a->ingest(f100.chunks[0], t0).kind, Kind::duplicate) << "its second copy";
  EXPECT_EQ(a->ingest(makeFrame(90, 3000).chunks[0], t0).kind, Kind::duplicate) << "an older frame not in flight";

  auto f101 = makeFrame(101, 3000);
  EXPECT_EQ(a->ingest(f101.chunks[1], t0).kind, Kind::pending) << "a newer frame is taken";
  EXPECT_EQ(a->ingest(f101.chunks[1], t0).kind, Kind::duplicate) << "a chunk already present";
  EXPECT_EQ(a->ingest(f101.chunks[0], t0).kind, Kind::pending);
  EXPECT_EQ(a->ingest(f101.chunks[2], t0).data, f101.bytes);
}

TEST(FrameAssembler, UnusablePacketsArePendingAndStoreWhatTheRulesSay) {
  const VideoChunk chunk = makeFrame(1, 3000).chunks[0];
  const std::vector<VideoParity> parity = makeFrame(1, 3000, 2).parity;
  auto withParity = [&](size_t group, auto change) {
    return [&, group, change](FrameAssembler& a) {
      VideoParity p = parity[group];
      change(p);
      return a.ingestParity(p, t0);
    };
  };
  struct Row { std::function<FrameAssembler::Event(FrameAssembler&)> feed; Kind kind; int inFlight; const char* why; };
  const Row rows[] = {
      {[&](FrameAssembler& a) {
         VideoChunk c = chunk;
         c.chunkIdx = c.chunkCount;
         return a.ingest(c, t0);
       },
       Kind::pending, 0, "a chunk index equal to its count creates no frame"},
      {withParity(0, [](VideoParity&) {}), Kind::pending, 1, "parity before any chunk creates the frame from its own fields"},
      {withParity(0, [](VideoParity& p) { p.groupCount = 0; }), Kind::pending, 1,
       "a group count of 0 creates the frame and is pending"},
      {withParity(0, [](VideoParity& p) { p.chunkCount = 0; }), Kind::pending, 0,
       "parity of a frame without chunks stores nothing"},
      {withParity(1, [](VideoParity& p) { p.groupIndex = 2; }), Kind::pending, 1,
       "a group index beyond the count is ignored but the frame stays"},
      {[&](FrameAssembler& a) {
         a.ingestParity(parity[1], t0);
         return a.ingestParity(parity[1], t0);
       },
       Kind::duplicate, 1, "a parity group already present"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FrameAssembler assembler(16);
    EXPECT_EQ(row.feed(assembler).kind, row.kind);
    EXPECT_EQ(assembler.inFlightCount(), row.inFlight);
  }
}

TEST(FrameAssembler, ParityRebuildsOneLostMemberPerGroupWithItsTrueLength) {
  struct Row { size_t frameBytes; int groupCount; std::vector<int> lost; bool completes; const char* why; };
  const Row rows[] = {
      {3000, 2, {2}, true, "groups {0, 2} and {1}: the short last chunk comes back as 380 bytes"},
      {3000, 2, {0}, true, "a full chunk in front of a short member"},
      {3000, 2, {0, 1}, true, "one member of each group"},
      {3000, 1, {0, 2}, false, "two members of one group cannot be rebuilt"},
      {10 * 1310, 3, {0, 4, 8}, true, "full-size frame, one loss in each of three groups"},
      {1310 * 4 + 1, 4, {4}, true, "a one-byte last chunk alone in its group's tail"},
      {700, 1, {0}, true, "a frame of one short chunk, rebuilt from parity alone"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    for (bool parityFirst : {false, true}) {
      FrameAssembler assembler(16);
      auto frame = makeFrame(8, row.frameBytes, row.groupCount);
      FrameAssembler::Event last;
      auto keep = [&](FrameAssembler::Event event) {
        if (last.kind != Kind::completed) last = std::move(event);
      };
      auto feedParity = [&] {
        for (const auto& p : frame.parity) keep(assembler.ingestParity(p, t0));
      };
      if (parityFirst) feedParity();
      keep(feed(assembler, frame, row.lost));
      if (!parityFirst) feedParity();
      if (row.completes) {
        ASSERT_EQ(last.kind, Kind::completed) << "parity first " << parityFirst;
        EXPECT_EQ(last.data, frame.bytes);
        EXPECT_TRUE(last.fecRecovered);
      } else {
        EXPECT_EQ(last.kind, Kind::pending);
        EXPECT_EQ(nackLists(assembler, t0 + 5'000), (std::vector<std::vector<uint16_t>>{{0, 2}}));
      }
    }
  }
}

TEST(FrameAssembler, ParityThatCannotCarryTheLostChunkRebuildsNothing) {
  auto frame = makeFrame(3, 3000, 2);
  struct Row { int lost; std::function<void(VideoParity&)> damage; const char* why; };
  const Row rows[] = {
      {0, [](VideoParity& p) { p.payload.resize(1309); }, "shorter than a full chunk"},
      {2, [](VideoParity& p) { p.payload.resize(379); }, "shorter than the last chunk's true length"},
      {2, [](VideoParity& p) { p.frameByteLength = 2620; }, "a claimed length that leaves the last chunk empty"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FrameAssembler assembler(16);
    VideoParity parity = frame.parity[0];
    row.damage(parity);
    EXPECT_EQ(assembler.ingestParity(parity, t0).kind, Kind::pending);
    EXPECT_EQ(feed(assembler, frame, {row.lost}).kind, Kind::pending);
  }
}

TEST(FrameAssembler, ANewGroupCountDiscardsEarlierParity) {
  FrameAssembler assembler(16);
  auto frame = makeFrame(5, 3000, 1);
  auto regrouped = makeFrame(5, 3000, 2);
  assembler.ingestParity(frame.parity[0], t0);             // G = 1
  assembler.ingestParity(regrouped.parity[1], t0);         // G = 2: group 1 = {1}
  assembler.ingest(frame.chunks[1], t0);
  EXPECT_EQ(assembler.ingest(frame.chunks[2], t0).kind, Kind::pending)
      << "the G = 1 parity that would rebuild chunk 0 was discarded";
  EXPECT_EQ(assembler.ingestParity(regrouped.parity[0], t0).data, frame.bytes);
}

TEST(FrameAssembler, AdaptiveGiveUpFollowsTheAssemblyPeak) {
  struct Step { uint64_t spanUs; FrameFlags flags; size_t frameBytes; uint64_t adaptive; };
  struct Row { std::vector<Step> steps; const char* why; };
  const Row rows[] = {
      {{{10'000, {}, 3000, 15'500}}, "14/10 of the peak plus 1.5 ms"},
      {{{4'000, {}, 3000, 8'000}}, "below 65 ms of t the floor holds"},
      {{{30'000, {}, 3000, 35'000}}, "capped at 35 ms"},
      {{{10'000, {}, 3000, 15'500}, {1'000, {}, 3000, 15'220}}, "the peak decays by 2 % per completed frame"},
      {{{10'000, FrameFlags::idr, 3000, 8'000}}, "keyframes do not count"},
      {{{10'000, {}, 2620, 8'000}}, "frames of fewer than 3 chunks do not count"},
      {{{0, {}, 3000, 8'000}}, "a frame completing at its first packet does not count"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FrameAssembler assembler(16);
    uint32_t id = 1;
    uint64_t now = t0;
    for (const Step& step : row.steps) {
      auto frame = makeFrame(id++, step.frameBytes, 0, step.flags);
      for (size_t i = 0; i + 1 < frame.chunks.size(); ++i) assembler.ingest(frame.chunks[i], now);
      EXPECT_EQ(assembler.ingest(frame.chunks.back(), now + step.spanUs).kind, Kind::completed);
      EXPECT_EQ(assembler.adaptivePGiveUpUs(), step.adaptive);
      now += 1'000'000;
    }
  }
}

TEST(FrameAssembler, TailHoldWithholdsChunksBeyondTheHighestReceived) {
  struct Row { uint64_t sinceLastChunkUs; std::vector<uint16_t> nacked; const char* why; };
  const Row rows[] = {
      {1'000, {2, 4}, "later chunks may still be on their way"},
      {1'499, {2, 4}, "still within the hold"},
      {1'500, {2, 4, 6, 7, 8, 9}, "after 1.5 ms the tail counts as missing"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FrameAssembler assembler(16);
    feed(assembler, makeFrame(12, 10 * 1310), {2, 4, 6, 7, 8, 9});
    EXPECT_EQ(nackLists(assembler, t0 + row.sinceLastChunkUs), (std::vector<std::vector<uint16_t>>{row.nacked}));
  }
  FrameAssembler onlyParity(16);
  onlyParity.ingestParity(makeFrame(12, 10 * 1310, 2).parity[0], t0);
  EXPECT_EQ(nackLists(onlyParity, t0 + 100), (std::vector<std::vector<uint16_t>>{{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}))
      << "no chunk yet: no tail hold";
}

TEST(FrameAssembler, FirstNackWaitsForParityThatMayStillRebuildEverything) {
  auto policy = openPolicy;
  policy.firstNackDelayUs = 1'000;
  policy.fecFirstNackDelayUs = 6'000;
  struct Row { std::vector<int> lost; uint64_t ageUs; bool nacked; const char* why; };
  // Groups {0, 3, 6}, {1, 4, 7}, {2, 5}; only group 2's parity has arrived.
  const Row rows[] = {
      {{1}, 500, false, "before the first-NACK delay nothing is NACKed"},
      {{1}, 3'000, false, "the lost chunk is alone in a group whose parity is still coming"},
      {{1, 3}, 3'000, false, "one lost chunk in each of two such groups"},
      {{1}, 6'000, true, "once the parity delay passed it is NACKed"},
      {{1, 4}, 3'000, true, "two lost in one group: its parity cannot rebuild them, NACK at once"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FrameAssembler assembler(16);
    auto frame = makeFrame(30, 8 * 1310, 3);
    feed(assembler, frame, row.lost);
    assembler.ingestParity(frame.parity[2], t0);
    EXPECT_EQ(!nackLists(assembler, t0 + row.ageUs, policy).empty(), row.nacked);
  }

  // Held back, the parity then arrives and rebuilds the chunk: no NACK was ever needed.
  FrameAssembler assembler(16);
  auto frame = makeFrame(31, 8 * 1310, 3);
  assembler.ingestParity(frame.parity[2], t0);  // the frame is known to carry parity
  feed(assembler, frame, {0});
  EXPECT_TRUE(nackLists(assembler, t0 + 3'000, policy).empty());
  auto done = assembler.ingestParity(frame.parity[0], t0 + 3'500);
  EXPECT_EQ(done.kind, Kind::completed);
  EXPECT_TRUE(done.fecRecovered);
}

TEST(FrameAssembler, NacksAreSpacedByTheHoldoffAndLimitedInRounds) {
  struct Row { FrameFlags flags; int rounds; const char* why; };
  const Row rows[] = {
      {{}, 3, "maxRounds for a non-keyframe"},
      {FrameFlags::idr, 5, "idrMaxRounds for a keyframe"},
      {FrameFlags::refreshFromLTR, 3, "a long-term-reference refresh uses the non-keyframe limits"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FrameAssembler assembler(16);
    auto frame = makeFrame(40, 5 * 1310, 0, row.flags);
    assembler.ingest(frame.chunks[0], t0);
    int rounds = 0;
    uint64_t lastNack = 0;
    for (uint64_t now = t0 + 2'000; now < t0 + 95'000; now += 1'000) {
      if (!nackLists(assembler, now).empty()) {
        if (lastNack != 0) {
          EXPECT_GE(now - lastNack, openPolicy.holdoffUs);
        }
        lastNack = now;
        ++rounds;
      }
    }
    EXPECT_EQ(rounds, row.rounds);
  }
}

TEST(FrameAssembler, FramesOlderThanTheirLimitAreNeitherNackedNorKept) {
  struct Row { FrameFlags flags; uint64_t ageUs; bool expired; bool wasIdr; const char* why; };
  const Row rows[] = {
      {{}, 100'000, false, false, "at the give-up age a frame is still kept"},
      {{}, 100'001, true, false, "past it the frame is given up"},
      {FrameFlags::idr, 100'001, false, true, "a keyframe has its own, longer limit"},
      {FrameFlags::idr, 300'001, true, true, "past which it is given up as a keyframe"},
      {FrameFlags::refreshFromLTR, 100'001, true, true, "a refresh is reported like a keyframe"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FrameAssembler assembler(16);
    assembler.ingest(makeFrame(50, 5 * 1310, 0, row.flags).chunks[0], t0);
    EXPECT_EQ(nackLists(assembler, t0 + row.ageUs).empty(), row.expired);
    auto reaped = assembler.reapExpired(t0 + row.ageUs, openPolicy.giveUpAgeUs, openPolicy.idrGiveUpAgeUs);
    if (row.expired) {
      EXPECT_EQ(reaped, (std::vector<FrameAssembler::ExpiredFrame>{{50, row.wasIdr}}));
    } else {
      EXPECT_TRUE(reaped.empty());
    }
    EXPECT_EQ(assembler.inFlightCount(), row.expired ? 0 : 1);
  }
}

TEST(FrameAssembler, AdaptiveGiveUpRaisesTheAgeLimitOfNonKeyframes) {
  FrameAssembler assembler(16);
  assembler.ingest(makeFrame(2, 3000).chunks[0], t0);  // waits for its other chunks
  auto slow = makeFrame(4, 3000);
  assembler.ingest(slow.chunks[0], t0);
  assembler.ingest(slow.chunks[1], t0);
  assembler.ingest(slow.chunks[2], t0 + 30'000);  // assembled in 30 ms: the limit becomes 35 ms
  ASSERT_EQ(assembler.adaptivePGiveUpUs(), 35'000u);
  EXPECT_TRUE(assembler.reapExpired(t0 + 35'000, 10'000, 300'000).empty()) << "35 ms beats the caller's 10 ms";
  EXPECT_EQ(assembler.reapExpired(t0 + 35'001, 10'000, 300'000),
            (std::vector<FrameAssembler::ExpiredFrame>{{2, false}}));
}

TEST(FrameAssembler, LossDiagnosticLinesHaveTheirExactText) {
  Assembler a;
  // A keyframe of 50 chunks, 47 received: chunks 10, 40 and 45 missing; first packet at 0, last chunk at
  // 12,345 µs.
  auto key = makeFrame(57, 50 * 1310, 0, FrameFlags::idr);
  for (int i = 0; i < 50; ++i) {
    if (i == 10 || i == 40 || i == 45) continue;
    a->ingest(key.chunks[size_t(i)], i == 0 ? 0 : (i == 49 ? 12'345 : 5'000));
  }
  auto nacks = a->framesNeedingNack(20'000, openPolicy);
  ASSERT_EQ(nacks.size(), 1u);
  EXPECT_EQ(nacks[0].missing, (std::vector<uint16_t>{10, 40, 45}));
  nackLists(a.assembler, 40'000);  // a second round writes no line
  auto reaped = a->reapExpired(300'001, 100'000, 300'000);
  EXPECT_EQ(reaped, (std::vector<FrameAssembler::ExpiredFrame>{{57, true}}));
  EXPECT_EQ(a.lines, (std::vector<std::string>{
                         "📊 KEYFRAME f=57 chunks=50 miss=3 tail=66% span=12ms",
                         "📊 DROP KEYFRAME f=57 chunks=50 got=47 miss=3 tail=66% span=12ms",
                     }));

  struct Row { size_t chunks; std::vector<int> received; std::vector<std::string> lines; const char* why; };
  const Row rows[] = {
      {41,
       {0},
       {"📊 P f=60 chunks=41 miss=40 tail=30% span=0ms", "📊 DROP P f=60 chunks=41 got=1 miss=40 tail=30% span=0ms"},
       "a P-frame of 41 chunks gets both lines"},
      {40, {0}, {"📊 DROP P f=60 chunks=40 got=1 miss=39 tail=30% span=0ms"}, "of 40 chunks only the drop line"},
      {21, {0, 20}, {"📊 DROP P f=60 chunks=21 got=2 miss=19 tail=26% span=0ms"}, "of 21 chunks still a drop line"},
      {20, {0}, {}, "of 20 chunks no line at all"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Assembler b;
    auto frame = makeFrame(60, row.chunks * 1310);
    for (int i : row.received) b->ingest(frame.chunks[size_t(i)], t0);
    nackLists(b.assembler, t0 + 2'000);
    EXPECT_EQ(b->reapExpired(t0 + 100'001, 100'000, 300'000).size(), 1u);
    EXPECT_EQ(b.lines, row.lines);
  }
}

TEST(FrameAssembler, PruningDropsTheOldestNonKeyframesOnly) {
  struct Row {
    std::vector<FrameFlags> flags;  // frames 1, 2, 3: one chunk of three each
    std::vector<uint32_t> kept;
    const char* why;
  };
  const Row rows[] = {
      {{FrameFlags::idr, FrameFlags::idr, FrameFlags::idr}, {1, 2, 3}, "keyframes are never pruned"},
      {{{}, {}, {}}, {2, 3}, "the lowest id goes first"},
      {{FrameFlags::idr, {}, {}}, {1, 3}, "a keyframe in front is skipped"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    FrameAssembler assembler(2);
    for (uint32_t id = 1; id <= 3; ++id) assembler.ingest(makeFrame(id, 3000, 0, row.flags[id - 1]).chunks[0], t0);
    std::vector<uint32_t> inFlight;
    for (const auto& request : assembler.framesNeedingNack(t0 + 2'000, openPolicy)) {
      inFlight.push_back(request.nack.frameId);
    }
    std::sort(inFlight.begin(), inFlight.end());
    EXPECT_EQ(inFlight, row.kept);
    EXPECT_EQ(assembler.inFlightCount(), int(row.kept.size()));
  }
}

// A retransmission that arrives after its frame was given up must not start the frame over: it would be
// NACKed again from round 0 and could even be handed out after its loss was reported.
TEST(FrameAssembler, LatePacketsOfAGivenUpFrameAreRefused) {
  FrameAssembler assembler(16);
  auto frame = makeFrame(70, 4 * 1310, 2);
  assembler.ingest(frame.chunks[0], t0);
  ASSERT_EQ(assembler.reapExpired(t0 + 200'000, 100'000, 300'000).size(), 1u);
  EXPECT_EQ(assembler.ingest(frame.chunks[1], t0 + 201'000).kind, Kind::duplicate);
  EXPECT_EQ(assembler.ingestParity(frame.parity[0], t0 + 201'000).kind, Kind::duplicate);
  EXPECT_EQ(assembler.inFlightCount(), 0);
  EXPECT_TRUE(assembler.framesNeedingNack(t0 + 210'000, openPolicy).empty());

  assembler.setGeneration(2);
  EXPECT_EQ(assembler.ingest(makeFrame(70, 100, 0, {}, 2).chunks[0], t0).kind, Kind::completed)
      << "a new generation reuses the id";
}

TEST(FrameAssembler, UntrustedLengthsNeverReachAnAllocation) {
  FrameAssembler assembler(16);
  auto frame = makeFrame(80, 100);
  VideoChunk chunk = frame.chunks[0];
  chunk.frameByteLength = 0xFFFF'FFFF;
  auto done = assembler.ingest(chunk, t0);
  ASSERT_EQ(done.kind, Kind::completed);
  EXPECT_EQ(done.data, frame.bytes) << "the frame is what arrived, whatever length it claimed";

  Assembler a;
  chunk.frameId = 81;
  chunk.chunkCount = 65'535;
  chunk.frameFlags = FrameFlags::idr;
  EXPECT_EQ(a->ingest(chunk, t0).kind, Kind::pending);
  auto nacks = a->framesNeedingNack(t0 + 2'000, openPolicy);
  ASSERT_EQ(nacks.size(), 1u);
  EXPECT_EQ(nacks[0].missing.size(), 65'534u);
  EXPECT_EQ(a->reapExpired(t0 + 300'001, 100'000, 300'000).size(), 1u);
  EXPECT_EQ(a.lines.back(), "📊 DROP KEYFRAME f=81 chunks=65535 got=1 miss=65534 tail=29% span=0ms");
}

// Keyframes are never pruned by count, so a peer can start one keyframe after another, each claiming
// the largest chunk count. What a frame holds must follow what arrived (200 one-byte chunks once took
// 400 MiB of bookkeeping), and past the bound the oldest frames go and are reported as given up.
TEST(FrameAssembler, EverNewKeyframesStayWithinTheMemoryBound) {
  auto hostileChunk = [](uint32_t frameId, size_t payloadSize) {
    VideoChunk chunk;
    chunk.frameId = frameId;
    chunk.chunkIdx = 65'534;
    chunk.chunkCount = 65'535;
    chunk.frameFlags = FrameFlags::idr;
    chunk.generation = 1;
    chunk.frameByteLength = 0xFFFF'FFFF;
    chunk.payload = Bytes(payloadSize, 0x5A);
    return chunk;
  };
  auto grownSince = [](size_t before) { return int64_t(tavlo::testkit::heapBytesInUse()) - int64_t(before); };

  {
    size_t before = tavlo::testkit::heapBytesInUse();
    FrameAssembler assembler(16);
    for (uint32_t id = 1; id <= 200; ++id) assembler.ingest(hostileChunk(id, 1), t0);
    EXPECT_EQ(assembler.inFlightCount(), 200) << "all kept: far below the bound";
    EXPECT_LT(grownSince(before), 1 << 20);
  }

  constexpr size_t bound = 1 << 20;
  size_t before = tavlo::testkit::heapBytesInUse();
  FrameAssembler assembler(16, bound);
  for (uint32_t id = 1; id <= 1'500; ++id) assembler.ingest(hostileChunk(id, maxVideoChunkPayload), t0);  // 2 MiB
  EXPECT_LE(assembler.heldBytes(), bound);
  EXPECT_LT(grownSince(before), int64_t(2 * bound));
  EXPECT_TRUE(assembler.frameIsIdr(1'500)) << "the newest frame stays";
  EXPECT_FALSE(assembler.frameIsIdr(1)) << "the oldest went";

  auto given = assembler.reapExpired(t0 + 1, 100'000, 300'000);
  EXPECT_EQ(given.size() + size_t(assembler.inFlightCount()), 1'500u) << "every frame dropped is reported once";
  EXPECT_TRUE(std::all_of(given.begin(), given.end(), [](const auto& frame) { return frame.wasIdr; }));
  EXPECT_TRUE(assembler.reapExpired(t0 + 2, 100'000, 300'000).empty());
  EXPECT_EQ(assembler.ingest(hostileChunk(1, 1), t0 + 3).kind, Kind::duplicate) << "a dropped frame stays given up";
}

}  // namespace
}  // namespace vela
