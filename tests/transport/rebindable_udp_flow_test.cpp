#include "transport/rebindable_udp_flow.hpp"

#include <gtest/gtest.h>

#include <mutex>

namespace vela {
namespace {

// A flow that delivers what the test pushes, synchronously, and records what is sent on it.
class FakeFlow final : public ForwardableFlow {
 public:
  explicit FakeFlow(std::string name) : name(std::move(name)) {}
  void send(ByteView datagram) override {
    std::lock_guard guard(mutex);
    sent.emplace_back(datagram.begin(), datagram.end());
  }
  PacketStream& incoming() override { return incoming_; }
  void close() override {
    Forward f;
    {
      std::lock_guard guard(mutex);
      if (closed) return;
      closed = true;
      f = std::move(forward);
      forward = {};
    }
    incoming_.close();
    if (f.ended) f.ended();
  }
  void forwardTo(Forward f) override {
    while (auto waiting = incoming_.tryReceive()) f.datagram(std::move(*waiting));
    std::lock_guard guard(mutex);
    forward = std::move(f);
  }
  // The peer sends one datagram on this flow.
  void receive(Bytes datagram) {
    Forward f;
    {
      std::lock_guard guard(mutex);
      if (closed) return;
      f = forward;
    }
    if (f.datagram) {
      f.datagram(std::move(datagram));
    } else {
      incoming_.send(std::move(datagram));
    }
  }
  bool isClosed() {
    std::lock_guard guard(mutex);
    return closed;
  }
  std::vector<Bytes> sentDatagrams() {
    std::lock_guard guard(mutex);
    return sent;
  }

  const std::string name;

 private:
  std::mutex mutex;
  PacketStream incoming_;
  Forward forward;
  bool closed = false;
  std::vector<Bytes> sent;
};

Bytes sealed(uint8_t tag) { return {'S', 'E', 'A', 'L', tag}; }
Bytes unsealed(uint8_t tag) { return {'?', tag}; }
bool acceptsSealed(ByteView d) { return d.size() >= 4 && d[0] == 'S' && d[3] == 'L'; }

struct Fixture {
  Fixture() : primary(std::make_shared<FakeFlow>("primary")), box(RebindableUDPFlow::create(primary, "input", clock)) {
    box->setOnLog([this](const std::string& line) {
      std::lock_guard guard(mutex);
      lines.push_back(line);
    });
  }
  std::vector<std::string> log() {
    std::lock_guard guard(mutex);
    return lines;
  }
  tavlo::FakeClock clock;
  std::shared_ptr<FakeFlow> primary;
  std::shared_ptr<RebindableUDPFlow> box;
  std::mutex mutex;
  std::vector<std::string> lines;
};

TEST(RebindableUDPFlow, ForwardsThePrimaryAndSendsThroughIt) {
  Fixture f;
  f.primary->receive({1});
  EXPECT_EQ(f.box->incoming().tryReceive(), Bytes{1});
  Bytes out{9, 9};
  f.box->send(out);
  EXPECT_EQ(f.primary->sentDatagrams(), std::vector<Bytes>{out});
}

TEST(RebindableUDPFlow, ACandidateThatProvesTheKeyBecomesPrimaryWithItsProof) {
  Fixture f;
  f.box->setAdoptionVerifier(acceptsSealed);
  auto late = std::make_shared<FakeFlow>("late");
  f.box->adopt(late, "10.0.0.5:4000", false);
  EXPECT_EQ(f.box->candidateCount(), 1u);
  late->receive(sealed(1));
  EXPECT_EQ(f.box->incoming().tryReceive(), sealed(1)) << "the proving datagram is delivered, not dropped";
  EXPECT_EQ(f.box->adoptions(), 1);
  EXPECT_EQ(f.box->candidateCount(), 0u);
  EXPECT_TRUE(f.primary->isClosed()) << "the old primary is closed";
  late->receive(unsealed(2));
  EXPECT_EQ(f.box->incoming().tryReceive(), unsealed(2)) << "once primary, everything passes";
  Bytes out{7};
  f.box->send(out);
  EXPECT_EQ(late->sentDatagrams(), std::vector<Bytes>{out}) << "sends go to the promoted flow";
  EXPECT_EQ(f.log().back(),
            "🔁 input: nowe źródło 10.0.0.5:4000 zweryfikowane kluczem sesji → adoptowane (#1); stare gniazdo zamknięte");
}

TEST(RebindableUDPFlow, DropsACandidateAtItsThirtyThirdUnprovenDatagram) {
  Fixture f;
  f.box->setAdoptionVerifier([](ByteView) { return false; });
  auto late = std::make_shared<FakeFlow>("late");
  f.box->adopt(late, "10.0.0.5:4000", false);
  for (uint8_t i = 0; i < 40; ++i) {
    late->receive(unsealed(i));
    if (i == 31) {
      EXPECT_FALSE(late->isClosed()) << "32 failures are tolerated";
    }
    f.clock.advanceUs(10'000);
  }
  EXPECT_TRUE(late->isClosed());
  EXPECT_EQ(f.box->candidateCount(), 0u);
  EXPECT_EQ(f.box->incoming().tryReceive(), std::nullopt) << "nothing unproven reaches the consumer";
  EXPECT_EQ(f.log().back(), "🔁 input: kandydat 10.0.0.5:4000 odrzucony (33 datagramów bez dowodu)");
  EXPECT_FALSE(f.primary->isClosed());
}

TEST(RebindableUDPFlow, DropsACandidateWhoseFirstUnprovenDatagramComesAfterFifteenSeconds) {
  Fixture f;
  f.box->setAdoptionVerifier([](ByteView) { return false; });
  auto late = std::make_shared<FakeFlow>("late");
  f.box->adopt(late, "10.0.0.5:4000", false);
  f.clock.advanceUs(16'000'000);
  late->receive(unsealed(1));
  EXPECT_TRUE(late->isClosed());
  EXPECT_EQ(f.log().back(), "🔁 input: kandydat 10.0.0.5:4000 odrzucony (1 datagramów bez dowodu)");
}

TEST(RebindableUDPFlow, AFifthOfferClosesTheOldestCandidate) {
  Fixture f;
  f.box->setAdoptionVerifier(acceptsSealed);
  std::vector<std::shared_ptr<FakeFlow>> offered;
  for (int i = 0; i < 5; ++i) {
    offered.push_back(std::make_shared<FakeFlow>("c" + std::to_string(i)));
    f.box->adopt(offered.back(), "10.0.0." + std::to_string(i) + ":1", false);
  }
  EXPECT_TRUE(offered[0]->isClosed());
  for (int i = 1; i < 5; ++i) EXPECT_FALSE(offered[static_cast<size_t>(i)]->isClosed());
  EXPECT_EQ(f.box->candidateCount(), 4u);
}

TEST(RebindableUDPFlow, RefusesUnverifiedOffersWithoutAVerifier) {
  Fixture f;
  auto late = std::make_shared<FakeFlow>("late");
  f.box->adopt(late, "10.0.0.5:4000", false);
  EXPECT_TRUE(late->isClosed());
  EXPECT_EQ(f.box->candidateCount(), 0u);
  EXPECT_EQ(f.log().back(), "🔁 input: spóźnione dziecko 10.0.0.5:4000 odrzucone — brak weryfikatora (sesja bez E2E)");
}

TEST(RebindableUDPFlow, TrustedAdoptionSwitchesAtOnce) {
  Fixture f;
  auto fresh = std::make_shared<FakeFlow>("fresh");
  f.box->adopt(fresh, "192.168.1.2:5000", true);
  EXPECT_TRUE(f.primary->isClosed());
  EXPECT_EQ(f.box->adoptions(), 1);
  fresh->receive({4});
  EXPECT_EQ(f.box->incoming().tryReceive(), Bytes{4});
  EXPECT_EQ(f.log().back(), "🔁 input: przepięty na nowe gniazdo (192.168.1.2:5000, #1)");
}

TEST(RebindableUDPFlow, AfterCloseNothingIsAdoptedOrSent) {
  Fixture f;
  f.box->setAdoptionVerifier(acceptsSealed);
  auto waiting = std::make_shared<FakeFlow>("waiting");
  f.box->adopt(waiting, "10.0.0.5:1", false);
  f.box->close();
  EXPECT_TRUE(f.primary->isClosed());
  EXPECT_TRUE(waiting->isClosed()) << "candidates close with the flow";
  EXPECT_EQ(f.box->incoming().receive(), std::nullopt);
  auto late = std::make_shared<FakeFlow>("late");
  f.box->adopt(late, "10.0.0.6:1", true);
  EXPECT_TRUE(late->isClosed());
  Bytes out{1};
  f.box->send(out);
  EXPECT_TRUE(f.primary->sentDatagrams().empty());
}

TEST(RebindableUDPFlow, GoingAwayClosesEveryFlow) {
  auto primary = std::make_shared<FakeFlow>("primary");
  auto candidate = std::make_shared<FakeFlow>("candidate");
  {
    tavlo::FakeClock clock;
    auto box = RebindableUDPFlow::create(primary, "video", clock);
    box->setAdoptionVerifier(acceptsSealed);
    box->adopt(candidate, "x", false);
  }
  EXPECT_TRUE(primary->isClosed());
  EXPECT_TRUE(candidate->isClosed());
}

}  // namespace
}  // namespace vela
