#include "transport/rebindable_udp_flow.hpp"

#include <gtest/gtest.h>

#include "tests/transport/loopback_host.hpp"

namespace vela {
namespace {

// A flow that delivers what the test pushes, synchronously, and records what is sent on it.
class FakeFlow final : public ForwardableFlow {
 public:
  void send(ByteView datagram) override { sent.emplace_back(datagram.begin(), datagram.end()); }
  PacketStream& incoming() override { return incoming_; }
  void close() override {
    if (closed) return;
    closed = true;
    auto f = std::exchange(forward_, {});
    incoming_.close();
    if (f.ended) f.ended();
  }
  void forwardTo(Forward f) override {
    while (auto waiting = incoming_.tryReceive()) f.datagram(std::move(*waiting));
    if (closed) {  // by the receiver, while it took what was waiting: it hears the end, as from a real flow
      if (f.ended) f.ended();
      return;
    }
    forward_ = std::move(f);
  }
  // The peer sends one datagram on this flow.
  void receive(Bytes datagram) {
    if (closed) return;
    auto f = forward_;  // the receiver may close this flow while it handles the datagram
    if (f.datagram) {
      f.datagram(std::move(datagram));
    } else {
      incoming_.send(std::move(datagram));
    }
  }

  bool closed = false;
  std::vector<Bytes> sent;

 private:
  PacketStream incoming_;
  Forward forward_;
};

Bytes sealed(uint8_t tag) { return {'S', 'E', 'A', 'L', tag}; }
Bytes unsealed(uint8_t tag) { return {'?', tag}; }
bool acceptsSealed(ByteView d) { return d.size() >= 4 && d[0] == 'S' && d[3] == 'L'; }

struct Fixture {
  Fixture() { box->setOnLog(log.sink()); }
  tavlo::FakeClock clock;
  std::shared_ptr<FakeFlow> primary = std::make_shared<FakeFlow>();
  std::shared_ptr<RebindableUDPFlow> box = RebindableUDPFlow::create(primary, "input", clock);
  testkit::LogRecorder log;
};

TEST(RebindableUDPFlow, AnOfferedFlowIsAdoptedOnceTrustedOrProvenAndDroppedOtherwise) {
  enum class Verifier { none, sealedOnly, never };
  struct Row {
    const char* why;
    Verifier verifier;
    bool trusted;
    std::vector<Bytes> datagrams;  // what the offered flow then receives, 10 ms apart
    uint64_t firstAfterUs;         // how long after the offer the first one comes
    bool adopted;
    size_t closedAfter;  // when dropped: at which datagram
    std::string lastLog;
  };
  std::vector<Bytes> forty;
  for (uint8_t i = 0; i < 40; ++i) forty.push_back(unsealed(i));
  const Row rows[] = {
      {"a candidate that proves the session key once the primary fell silent becomes primary, with its proof "
       "delivered; then everything passes",
       Verifier::sealedOnly, false, {sealed(1), unsealed(2)}, RebindableUDPFlow::primarySilenceUs, true, 0,
       "🔁 input: nowe źródło 10.0.0.5:4000 zweryfikowane kluczem sesji → adoptowane (#1); poprzednie czeka, czy "
       "klient na nie wróci"},
      {"a candidate is dropped at its 33rd unproven datagram: 32 failures are tolerated", Verifier::never, false, forty, 0,
       false, 33, "🔁 input: kandydat 10.0.0.5:4000 odrzucony (33 datagramów bez dowodu)"},
      {"a candidate whose first unproven datagram comes after 15 s is dropped at it", Verifier::never, false,
       {unsealed(1)}, 16'000'000, false, 1, "🔁 input: kandydat 10.0.0.5:4000 odrzucony (1 datagramów bez dowodu)"},
      {"without a verifier an unverified offer is refused at once", Verifier::none, false, {}, 0, false, 0,
       "🔁 input: spóźnione dziecko 10.0.0.5:4000 odrzucone — brak weryfikatora (sesja bez E2E)"},
      {"a trusted offer (the client's own new socket) switches at once", Verifier::none, true, {{4}}, 0, true, 0,
       "🔁 input: przepięty na nowe gniazdo (10.0.0.5:4000, #1)"},
  };
  for (const Row& row : rows) {
    Fixture f;
    if (row.verifier != Verifier::none)
      f.box->setAdoptionVerifier(row.verifier == Verifier::sealedOnly ? acceptsSealed : [](ByteView) { return false; });
    f.primary->receive({0});
    EXPECT_EQ(f.box->incoming().tryReceive(), Bytes{0}) << row.why << ": the primary's datagrams are forwarded";
    auto offered = std::make_shared<FakeFlow>();
    f.box->adopt(offered, "10.0.0.5:4000", row.trusted);
    bool candidate = !row.trusted && row.verifier != Verifier::none;
    EXPECT_EQ(f.box->candidateCount(), candidate ? 1u : 0u) << row.why;
    f.clock.advanceUs(row.firstAfterUs);
    for (size_t i = 0; i < row.datagrams.size(); ++i) {
      offered->receive(row.datagrams[i]);
      if (!row.adopted) {
        EXPECT_EQ(offered->closed, i + 1 >= row.closedAfter) << row.why << ": after datagram " << i + 1;
      }
      f.clock.advanceUs(10'000);
    }
    EXPECT_EQ(offered->closed, !row.adopted) << row.why;
    EXPECT_EQ(f.primary->closed, row.trusted) << row.why << ": the old primary stays open as the fallback unless the "
                                                            "client replaced it itself";
    EXPECT_EQ(f.box->adoptions(), row.adopted ? 1 : 0) << row.why;
    EXPECT_EQ(f.box->candidateCount(), 0u) << row.why;
    for (const Bytes& datagram : row.adopted ? row.datagrams : std::vector<Bytes>{})
      EXPECT_EQ(f.box->incoming().tryReceive(), datagram) << row.why;
    EXPECT_EQ(f.box->incoming().tryReceive(), std::nullopt) << row.why << ": nothing unproven reaches the consumer";
    Bytes out{7};
    f.box->send(out);
    EXPECT_EQ((row.adopted ? offered : f.primary)->sent, std::vector<Bytes>{out}) << row.why << ": sends go to the primary";
    EXPECT_EQ(f.log.lines().back(), row.lastLog) << row.why;
  }
}

TEST(RebindableUDPFlow, AFifthOfferClosesTheOldestCandidate) {
  Fixture f;
  f.box->setAdoptionVerifier(acceptsSealed);
  std::vector<std::shared_ptr<FakeFlow>> offered;
  for (int i = 0; i < 5; ++i) {
    offered.push_back(std::make_shared<FakeFlow>());
    f.box->adopt(offered.back(), "10.0.0." + std::to_string(i) + ":1", false);
  }
  EXPECT_TRUE(offered[0]->closed);
  for (int i = 1; i < 5; ++i) EXPECT_FALSE(offered[static_cast<size_t>(i)]->closed);
  EXPECT_EQ(f.box->candidateCount(), 4u);
}

TEST(RebindableUDPFlow, ACandidateThatFailsItsProofCostsOneLineWhateverItHadWaiting) {
  Fixture f;
  int judged = 0;
  f.box->setAdoptionVerifier([&judged](ByteView) {
    ++judged;
    return false;
  });
  auto offered = std::make_shared<FakeFlow>();
  for (int i = 0; i < 4000; ++i) offered->receive(unsealed(uint8_t(i)));  // waiting before it is offered
  f.box->adopt(offered, "10.0.0.5:4000", false);
  EXPECT_TRUE(offered->closed);
  EXPECT_EQ(judged, RebindableUDPFlow::maxRejections + 1) << "the rest is dropped unjudged";
  EXPECT_EQ(f.log.count("odrzucony"), 1u);
  EXPECT_EQ(f.box->incoming().tryReceive(), std::nullopt);
}

TEST(RebindableUDPFlow, LinesAboutUnprovenSourcesKeepToABudgetButAnAdoptionIsAlwaysLogged) {
  Fixture f;
  f.box->setAdoptionVerifier(acceptsSealed);
  for (int i = 0; i < 50; ++i) {  // each offer makes two lines: the candidate, and its refusal
    auto offered = std::make_shared<FakeFlow>();
    f.box->adopt(offered, "10.0.1." + std::to_string(i) + ":1", false);
    for (int k = 0; k <= RebindableUDPFlow::maxRejections; ++k) offered->receive(unsealed(1));
    EXPECT_TRUE(offered->closed);
  }
  EXPECT_EQ(f.log.lines().size(), size_t{RebindableUDPFlow::unprovenLogLinesPerWindow});
  auto proving = std::make_shared<FakeFlow>();
  f.box->adopt(proving, "10.0.0.9:9", false);
  f.clock.advanceUs(RebindableUDPFlow::primarySilenceUs);
  proving->receive(sealed(1));
  EXPECT_EQ(f.log.lines().back(), "🔁 input: nowe źródło 10.0.0.9:9 zweryfikowane kluczem sesji → adoptowane (#1); "
                                  "poprzednie czeka, czy klient na nie wróci");
  f.clock.advanceUs(RebindableUDPFlow::unprovenLogWindowUs - RebindableUDPFlow::primarySilenceUs);
  f.box->adopt(std::make_shared<FakeFlow>(), "10.0.0.7:7", false);
  EXPECT_EQ(f.log.lines().back(), "🔁 input: kandydat 10.0.0.7:7 — czekam na datagram z pieczęcią sesji (pominięto 95 podobnych)");
}

// A copy of an old datagram of the client opens under the session key like a new one, so proof alone
// must not move a flow: a source that proves the key is taken only once the client stopped sending from
// its own (longer than its keepalive), and the client's next proven datagram from the source it left
// takes the flow back at once.
TEST(RebindableUDPFlow, AProvenSourceWaitsForThePrimarysSilenceAndTheClientTakesTheFlowBack) {
  Fixture f;
  f.box->setAdoptionVerifier(acceptsSealed);
  const uint64_t silence = RebindableUDPFlow::primarySilenceUs;
  auto replayer = std::make_shared<FakeFlow>();
  f.box->adopt(replayer, "10.0.0.66:6666", false);
  struct Step {
    const char* why;
    uint64_t afterUs;                      // since the step before
    std::shared_ptr<FakeFlow> from;        // who sends
    Bytes datagram;
    int adoptions;
    std::optional<Bytes> delivered;        // what the consumer reads next
    std::shared_ptr<FakeFlow> sendsGoTo;
  };
  const Step steps[] = {
      {"the client's keepalive", 0, f.primary, unsealed(1), 0, unsealed(1), f.primary},
      {"a proven copy while the client keeps sending", 1'000'000, replayer, sealed(2), 0, std::nullopt, f.primary},
      {"the client's next keepalive", 400'000, f.primary, unsealed(3), 0, unsealed(3), f.primary},
      {"a proven copy just short of the silence", silence - 1, replayer, sealed(4), 0, std::nullopt, f.primary},
      {"a proven copy once the client was silent longer than its keepalive", 1, replayer, sealed(5), 1, sealed(5),
       replayer},
      {"the moved flow delivers", 10'000, replayer, unsealed(6), 1, unsealed(6), replayer},
      {"an unproven datagram from the client's own source does not take it back", 1'000, f.primary, unsealed(7), 1,
       std::nullopt, replayer},
      {"the client's next proven datagram takes it back at once", 1'000, f.primary, sealed(8), 2, sealed(8), f.primary},
      {"and its datagrams pass again", 1'000, f.primary, unsealed(9), 2, unsealed(9), f.primary},
  };
  for (const Step& step : steps) {
    f.clock.advanceUs(step.afterUs);
    step.from->receive(step.datagram);
    EXPECT_EQ(f.box->adoptions(), step.adoptions) << step.why;
    EXPECT_EQ(f.box->incoming().tryReceive(), step.delivered) << step.why;
    EXPECT_EQ(f.box->incoming().tryReceive(), std::nullopt) << step.why;
    step.sendsGoTo->sent.clear();
    f.box->send(Bytes{0x55});
    EXPECT_EQ(step.sendsGoTo->sent.size(), 1u) << step.why;
  }
  EXPECT_TRUE(replayer->closed) << "the source the flow was moved to is not a fallback: it must wait for silence again";
  EXPECT_FALSE(f.primary->closed);
  EXPECT_FALSE(f.box->hasFallback());
  EXPECT_EQ(f.log.count("ma pieczęć sesji, ale obecne źródło wciąż nadaje"), 1u) << "one line per candidate";
  EXPECT_EQ(f.log.lines().back(), "🔁 input: klient wrócił na poprzednie źródło → przywrócone (#2); 10.0.0.66:6666 zamknięte");
}

// A flow the client leaves quiet is judged by the client's other flows: while one of them hears it at
// the address the quiet flow points to, a source at another address cannot take it (a copy of an old
// datagram); a new port of that address can (the client's NAT); once the client is silent there on every
// flow (it moved), the other address can.
TEST(RebindableUDPFlow, AQuietFlowGoesElsewhereOnlyOnceTheClientIsSilentOnEveryFlowAtItsAddress) {
  tavlo::FakeClock clock;
  auto videoPrimary = std::make_shared<FakeFlow>();
  auto inputPrimary = std::make_shared<FakeFlow>();
  auto video = RebindableUDPFlow::create(videoPrimary, "video", clock, "10.0.0.5:5001");
  auto audio = RebindableUDPFlow::create(std::make_shared<FakeFlow>(), "audio", clock, "10.0.0.5:5002");
  auto input = RebindableUDPFlow::create(inputPrimary, "input", clock, "10.0.0.5:5003");
  video->setSiblings({audio, input});
  audio->setSiblings({video, input});
  input->setSiblings({video, audio});
  video->setAdoptionVerifier(acceptsSealed);
  audio->setAdoptionVerifier(acceptsSealed);
  const uint64_t silence = RebindableUDPFlow::primarySilenceUs;

  auto elsewhere = std::make_shared<FakeFlow>();
  video->adopt(elsewhere, "10.0.0.66:6666", false);
  clock.advanceUs(silence + 500'000);
  inputPrimary->receive(unsealed(1));  // the client's keepalive on its input flow
  elsewhere->receive(sealed(2));
  EXPECT_EQ(video->adoptions(), 0) << "another address took the quiet flow of a client heard on its input flow";

  auto newPort = std::make_shared<FakeFlow>();
  video->adopt(newPort, "10.0.0.5:7001", false);
  newPort->receive(sealed(3));
  EXPECT_EQ(video->adoptions(), 1) << "a new port of the client's address takes the quiet flow";

  // The client moved: nothing more from 10.0.0.5 on any flow. Its audio flow has long been quiet.
  auto moved = std::make_shared<FakeFlow>();
  audio->adopt(moved, "10.0.0.77:5002", false);
  clock.advanceUs(silence - 1);
  moved->receive(sealed(4));
  EXPECT_EQ(audio->adoptions(), 0) << "the input flow heard the client at its old address 1.5 s ago";
  clock.advanceUs(1);
  moved->receive(sealed(5));
  EXPECT_EQ(audio->adoptions(), 1) << "silent at its old address on every flow, the client moved";
}

TEST(RebindableUDPFlow, AProvenCandidateHeldPastItsWindowIsDropped) {
  Fixture f;
  f.box->setAdoptionVerifier(acceptsSealed);
  auto held = std::make_shared<FakeFlow>();
  f.box->adopt(held, "10.0.0.5:5", false);
  for (uint64_t t = 0; t < RebindableUDPFlow::candidateWindowUs; t += 1'000'000) {
    f.primary->receive(unsealed(1));
    held->receive(sealed(2));
    EXPECT_FALSE(held->closed);
    f.clock.advanceUs(1'000'000);
  }
  f.primary->receive(unsealed(1));
  held->receive(sealed(2));
  EXPECT_TRUE(held->closed);
  EXPECT_EQ(f.box->candidateCount(), 0u);
  EXPECT_EQ(f.box->adoptions(), 0);
}

TEST(RebindableUDPFlow, AfterCloseNothingIsAdoptedOrSent) {
  Fixture f;
  f.box->setAdoptionVerifier(acceptsSealed);
  auto waiting = std::make_shared<FakeFlow>();
  f.box->adopt(waiting, "10.0.0.5:1", false);
  f.box->close();
  EXPECT_TRUE(f.primary->closed);
  EXPECT_TRUE(waiting->closed) << "candidates close with the flow";
  EXPECT_EQ(f.box->incoming().receive(), std::nullopt);
  auto late = std::make_shared<FakeFlow>();
  f.box->adopt(late, "10.0.0.6:1", true);
  EXPECT_TRUE(late->closed);
  Bytes out{1};
  f.box->send(out);
  EXPECT_TRUE(f.primary->sent.empty());
}

TEST(RebindableUDPFlow, GoingAwayClosesEveryFlow) {
  auto primary = std::make_shared<FakeFlow>();
  auto candidate = std::make_shared<FakeFlow>();
  {
    tavlo::FakeClock clock;
    auto box = RebindableUDPFlow::create(primary, "video", clock);
    box->setAdoptionVerifier(acceptsSealed);
    box->adopt(candidate, "x", false);
  }
  EXPECT_TRUE(primary->closed);
  EXPECT_TRUE(candidate->closed);
}

}  // namespace
}  // namespace vela
