// The whole video reliability loop over a simulated lossy link, deterministic per seed: the host's
// chunker, retransmission buffer and parity encoder on one side, the frame assembler on the other,
// NACKs going back and retransmissions coming again, all as encoded packets, all on a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

#include "platform/runtime/random.hpp"
#include "platform/runtime/scheduler.hpp"
#include "protocol/frame_assembler.hpp"
#include "protocol/parity_encoder.hpp"
#include "protocol/retransmit_buffer.hpp"

namespace vela {
namespace {

constexpr uint64_t packetTimeUs = 10;  // serialization of one 1350-byte datagram, about 1 Gbit/s
constexpr uint64_t tickUs = 1'000;      // the client's NACK and reap timer

// The client's policy for a link of the given one-way delay: NACK rounds spaced by a round trip, give-up
// ages that leave room for a few rounds, or (a client that favours latency) for about one, so that
// retransmissions often arrive after their frame was given up.
FrameAssembler::NackPolicy policyFor(uint64_t propagationUs, bool tight) {
  const uint64_t rttUs = 2 * propagationUs;
  return {.holdoffUs = rttUs + 2'000,
          .maxRounds = 3,
          .giveUpAgeUs = tight ? rttUs + 4'000 : 60'000 + 3 * rttUs,
          .idrMaxRounds = 5,
          .idrGiveUpAgeUs = tight ? 2 * rttUs + 8'000 : 150'000 + 5 * rttUs,
          .firstNackDelayUs = 1'000,
          .fecFirstNackDelayUs = 3'000};
}

// Gilbert-Elliott losses: a good state that drops now and then and a bad state that drops most
// packets, with bursts of a few packets on average.
class BurstyLoss {
 public:
  BurstyLoss(tavlo::SeededRandom& random, double lossRate, bool bursty) : random_(random) {
    if (!bursty) {
      goodLoss_ = lossRate;
      return;
    }
    goodLoss_ = lossRate / 2;
    const double badShare = (lossRate - goodLoss_) / (badLoss_ - goodLoss_);
    leaveBad_ = 1.0 / double(2 + random.below(7));  // bursts of 2 to 8 packets
    enterBad_ = leaveBad_ * badShare / (1 - badShare);
  }
  bool drop() {
    if (bad_ ? random_.unit() < leaveBad_ : random_.unit() < enterBad_) bad_ = !bad_;
    return random_.unit() < (bad_ ? badLoss_ : goodLoss_);
  }

 private:
  tavlo::SeededRandom& random_;
  double goodLoss_ = 0, enterBad_ = 0, leaveBad_ = 1;
  const double badLoss_ = 0.7;
  bool bad_ = false;
};

enum class Outcome { none, completed, givenUp, superseded };

// What the host sent and, mirrored from the packets the client took, what the client should hold.
struct SentFrame {
  uint16_t generation = 0;
  uint32_t frameId = 0;
  Bytes bytes;
  int chunkCount = 0;
  int groupCount = 0;
  bool keyframe = false;
  int originalsDelivered = 0;
  std::vector<bool> present;
  int presentCount = 0;
  std::vector<bool> parityArrived;
  std::vector<int> absentInGroup;
  bool rebuilt = false;
  bool nacked = false;
  Outcome outcome = Outcome::none;

  void start(int chunks, int groups) {
    chunkCount = chunks;
    groupCount = groups;
    present.assign(size_t(chunks), false);
    parityArrived.assign(size_t(groups), false);
    absentInGroup.assign(size_t(groups), 0);
    for (int m = 0; m < chunks && groups > 0; ++m) absentInGroup[size_t(m % groups)] += 1;
  }

  void arrived(int index) {
    if (present[size_t(index)]) return;
    present[size_t(index)] = true;
    ++presentCount;
    if (groupCount > 0) {
      absentInGroup[size_t(index % groupCount)] -= 1;
      recover(index % groupCount);
    }
  }

  void parity(int group) {
    parityArrived[size_t(group)] = true;
    recover(group);
  }

  // The rule the assembler must follow: a group whose parity arrived and that lacks exactly one member
  // gets it back.
  void recover(int group) {
    if (!parityArrived[size_t(group)] || absentInGroup[size_t(group)] != 1) return;
    for (int m = group; m < chunkCount; m += groupCount) {
      if (!present[size_t(m)]) {
        rebuilt = true;
        arrived(m);
        return;
      }
    }
  }
};

// Frame contents: slices of one random pool, so that making a frame costs a copy.
const Bytes& contentPool() {
  static const Bytes pool = tavlo::SeededRandom(2024).bytes(1 << 20);
  return pool;
}

struct Totals {
  int frames = 0, completed = 0, viaParity = 0, viaNack = 0, givenUp = 0, superseded = 0, neverSeen = 0;
  int nacks = 0, retransmitted = 0, unansweredOtherGeneration = 0;
};

class Simulation {
 public:
  Simulation(uint64_t seed, Totals& totals)
      : random_(seed),
        totals_(totals),
        scheduler_(clock_),
        propagationUs_(1'000 + random_.below(14'001)),
        frameIntervalUs_(random_.below(2) == 0 ? 16'667 : 8'333),
        policy_(policyFor(propagationUs_, random_.below(3) == 0)),
        down_(random_, random_.unit() * 0.2, random_.below(2) == 1),
        up_(random_, random_.unit() * 0.2, random_.below(2) == 1) {}

  void run() {
    clientTimer_ = tavlo::ScopedTimer(scheduler_, scheduler_.every(tickUs, [this] { clientTick(); }));
    // Two encoder lifetimes: the second restarts its frame ids at 0 in a new generation, often while
    // frames of the first are still being repaired.
    const int framesPerGeneration[2] = {1 + int(random_.below(3)), 1 + int(random_.below(3))};
    // The first encoder has been running for a while; the second starts from 0.
    const uint32_t firstIds[2] = {uint32_t(random_.below(3)), 0};
    for (uint16_t generation : {uint16_t(1), uint16_t(2)}) {
      for (int k = 0; k < framesPerGeneration[generation - 1]; ++k) {
        sendFrame(generation, firstIds[generation - 1] + uint32_t(k), k == 0);
        scheduler_.advanceBy(frameIntervalUs_);
      }
      if (generation == 1) {
        scheduler_.advanceBy(random_.below(2) == 0 ? random_.below(20'000) : random_.below(120'000));
      }
    }
    scheduler_.advanceBy(policy_.idrGiveUpAgeUs + 2 * propagationUs_ + 100'000);
    EXPECT_EQ(assembler_.inFlightCount(), 0) << "every frame completes or is given up";
    for (const SentFrame& frame : sent_) check(frame);
  }

 private:
  SentFrame* find(uint16_t generation, uint32_t frameId) {
    for (SentFrame& f : sent_) {
      if (f.generation == generation && f.frameId == frameId) return &f;
    }
    return nullptr;
  }

  void sendFrame(uint16_t generation, uint32_t frameId, bool keyframe) {
    SentFrame frame;
    frame.generation = generation;
    frame.frameId = frameId;
    // 0 to 300,000 bytes, spread evenly over the orders of magnitude: as many one-chunk frames as
    // keyframes of hundreds of chunks, and now and then an empty one.
    const size_t size =
        random_.below(16) == 0 ? 0 : size_t(std::exp(random_.unit() * std::log(300'001.0))) - 1;
    const size_t offset = random_.below(contentPool().size() - size + 1);
    frame.bytes.assign(contentPool().begin() + ptrdiff_t(offset), contentPool().begin() + ptrdiff_t(offset + size));
    const int groupCount = int(random_.below(9));
    frame.keyframe = keyframe;
    FrameFlags flags = keyframe ? FrameFlags::idr : FrameFlags{};

    auto chunks = Chunker::chunk(frameId, generation, flags, ltrTokenNone, clock_.nowUs(), frame.bytes);
    buffer_.retain(frameId, generation, chunks);
    hostHeldGeneration_[frameId] = generation;
    for (const auto& chunk : chunks) sendDown(encodePacket(*chunk, 1, seq_++), true, generation, frameId);
    for (const auto& parity : ParityEncoder::encode(chunks, groupCount)) {
      sendDown(encodePacket(parity, 1, seq_++), true, generation, frameId);
    }
    frame.start(int(chunks.size()), groupCount);
    sent_.push_back(std::move(frame));
  }

  void sendDown(Bytes packet, bool original, uint16_t generation, uint32_t frameId) {
    const uint64_t departure = std::max(clock_.nowUs(), linkFreeUs_) + packetTimeUs;
    linkFreeUs_ = departure;
    if (down_.drop()) return;
    scheduler_.after(departure + propagationUs_ - clock_.nowUs(), [this, packet = std::move(packet), original,
                                                                   generation, frameId] {
      if (original) find(generation, frameId)->originalsDelivered += 1;
      clientReceive(packet);
    });
  }

  void clientReceive(const Bytes& packet) {
    RawPacket raw = RawPacket::decode(packet);
    if (raw.header.msgType == VideoType::chunk) {
      VideoChunk chunk = raw.decodePayload<VideoChunk>();
      SentFrame* frame = find(chunk.generation, chunk.frameId);
      const int index = chunk.chunkIdx;
      noteGeneration(chunk.generation);
      auto event = assembler_.ingest(std::move(chunk), clock_.nowUs());
      if (frame->outcome != Outcome::none) return;
      frame->arrived(index);
      expectEvent(*frame, event);
    } else if (raw.header.msgType == VideoType::parity) {
      VideoParity parity = raw.decodePayload<VideoParity>();
      SentFrame* frame = find(parity.generation, parity.frameId);
      const int group = parity.groupIndex;
      noteGeneration(parity.generation);
      auto event = assembler_.ingestParity(std::move(parity), clock_.nowUs());
      if (frame->outcome != Outcome::none) return;
      frame->parity(group);
      expectEvent(*frame, event);
    } else {
      ADD_FAILURE() << "unexpected message type " << int(raw.header.msgType);
    }
  }

  // A new generation drops every unfinished frame of the older ones.
  void noteGeneration(uint16_t generation) {
    if (generation <= seenGeneration_) return;
    seenGeneration_ = generation;
    for (SentFrame& f : sent_) {
      if (f.generation < generation && f.outcome == Outcome::none && f.originalsDelivered > 0) {
        f.outcome = Outcome::superseded;
      }
    }
  }

  void expectEvent(SentFrame& frame, const FrameAssembler::Event& event) {
    const bool whole = frame.presentCount == frame.chunkCount;
    if (!whole) {
      EXPECT_NE(event.kind, FrameAssembler::Event::Kind::completed) << "frame " << frame.frameId;
      return;
    }
    ASSERT_EQ(event.kind, FrameAssembler::Event::Kind::completed)
        << "frame " << frame.frameId << " is whole, parity rebuilt it: " << frame.rebuilt;
    EXPECT_EQ(event.data, frame.bytes) << "frame " << frame.frameId << " arrives byte-identical";
    EXPECT_EQ(event.fecRecovered, frame.rebuilt) << "parity rebuilds exactly when one member is missing";
    EXPECT_EQ(event.generation, frame.generation);
    frame.outcome = Outcome::completed;
  }

  void clientTick() {
    const uint64_t now = clock_.nowUs();
    for (auto& request : assembler_.framesNeedingNack(now, policy_)) {
      SentFrame* frame = find(request.nack.generation, request.nack.frameId);
      ASSERT_NE(frame, nullptr);
      EXPECT_EQ(frame->outcome, Outcome::none) << "only frames in flight are NACKed";
      for (uint16_t index : request.missing) {
        ASSERT_LT(int(index), frame->chunkCount);
        EXPECT_FALSE(frame->present[index]) << "NACKs name only missing chunks";
      }
      EXPECT_EQ(request.nack.missingChunks(), request.missing);
      frame->nacked = true;
      ++totals_.nacks;
      sendUp(encodePacket(request.nack, 1, seq_++));
    }
    for (const auto& expired : assembler_.reapExpired(now, policy_.giveUpAgeUs, policy_.idrGiveUpAgeUs)) {
      SentFrame* frame = find(seenGeneration_, expired.frameId);
      ASSERT_NE(frame, nullptr);
      EXPECT_EQ(frame->outcome, Outcome::none) << "a frame is given up once, and never after completing";
      EXPECT_LT(frame->presentCount, frame->chunkCount);
      EXPECT_EQ(expired.wasIdr, frame->keyframe);
      frame->outcome = Outcome::givenUp;
    }
  }

  void sendUp(Bytes packet) {
    if (up_.drop()) return;
    scheduler_.after(propagationUs_, [this, packet = std::move(packet)] { hostReceiveNack(packet); });
  }

  void hostReceiveNack(const Bytes& packet) {
    VideoNack nack = RawPacket::decode(packet).decodePayload<VideoNack>();
    const std::vector<uint16_t> named = nack.missingChunks();
    auto answer = buffer_.chunksFor(nack);
    for (const auto& chunk : answer) {
      EXPECT_EQ(chunk->frameId, nack.frameId);
      EXPECT_EQ(chunk->generation, nack.generation) << "never another generation's chunks";
      EXPECT_TRUE(std::binary_search(named.begin(), named.end(), chunk->chunkIdx));
      ++totals_.retransmitted;
      sendDown(encodePacket(*chunk, 1, seq_++), false, chunk->generation, chunk->frameId);
    }
    if (hostHeldGeneration_[nack.frameId] != nack.generation) {
      EXPECT_TRUE(answer.empty()) << "the id was retained again in another generation";
      ++totals_.unansweredOtherGeneration;
    }
  }

  void check(const SentFrame& frame) {
    ++totals_.frames;
    switch (frame.outcome) {
      case Outcome::completed:
        ++totals_.completed;
        if (frame.rebuilt) ++totals_.viaParity;
        if (frame.nacked) ++totals_.viaNack;
        break;
      case Outcome::givenUp: ++totals_.givenUp; break;
      case Outcome::superseded: ++totals_.superseded; break;
      case Outcome::none:
        EXPECT_EQ(frame.originalsDelivered, 0)
            << "frame " << frame.generation << "/" << frame.frameId
            << " neither arrived nor was given up, though the client saw some of it";
        ++totals_.neverSeen;
        break;
    }
  }

  tavlo::SeededRandom random_;
  Totals& totals_;
  tavlo::FakeClock clock_;
  tavlo::ManualScheduler scheduler_;
  const uint64_t propagationUs_;  // one way
  const uint64_t frameIntervalUs_;
  const FrameAssembler::NackPolicy policy_;
  BurstyLoss down_;
  BurstyLoss up_;
  RetransmitBuffer buffer_{RetransmitBuffer::hostMaxBytes, RetransmitBuffer::hostMaxFrames};
  FrameAssembler assembler_{32};
  tavlo::ScopedTimer clientTimer_;
  std::vector<SentFrame> sent_;
  uint64_t linkFreeUs_ = 0;
  uint32_t seq_ = 0;
  uint16_t seenGeneration_ = 0;
  std::map<uint32_t, uint16_t> hostHeldGeneration_;
};

TEST(LossyLinkSimulation, EveryFrameArrivesWholeOrIsGivenUpOverAThousandSeeds) {
  Totals totals;
  for (uint64_t seed = 1; seed <= 1'000; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Simulation(seed, totals).run();
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("frames %d: completed %d (%d with a chunk rebuilt from parity, %d after NACKs), given up %d, "
              "superseded %d, never seen %d; %d NACKs, %d chunks retransmitted, %d NACKs of an old generation "
              "unanswered\n",
              totals.frames, totals.completed, totals.viaParity, totals.viaNack, totals.givenUp, totals.superseded,
              totals.neverSeen, totals.nacks, totals.retransmitted, totals.unansweredOtherGeneration);
  // The seeds reach every path.
  EXPECT_GT(totals.viaParity, 0);
  EXPECT_GT(totals.viaNack, 0);
  EXPECT_GT(totals.retransmitted, 0);
  EXPECT_GT(totals.givenUp, 0);
  EXPECT_GT(totals.superseded, 0);
  EXPECT_GT(totals.unansweredOtherGeneration, 0);
  EXPECT_GT(totals.completed, totals.frames * 3 / 4);
}

}  // namespace
}  // namespace vela
