#include "host/reachability/nat_pmp_mapper.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

#include "tests/host/reachability/fake_router.hpp"

namespace tavlo {
namespace {

using testkit::FakeNatPmpGateway;
using testkit::natPmpAddressAnswer;
using testkit::natPmpMappingAnswer;

constexpr uint64_t second = 1'000'000;

Bytes mapRequest(uint8_t opcode, uint16_t internal, uint16_t suggested, uint32_t lifetime) {
  auto r = natpmp::mappingRequest(static_cast<natpmp::Proto>(opcode), internal, suggested, lifetime);
  return Bytes(r.begin(), r.end());
}
const Bytes addressRequest{0, 0};

// A router that grants what it is asked, unless `grant` says otherwise (returns the external port,
// or none for a refusal with result code 2).
struct Router {
  std::function<std::optional<uint16_t>(uint8_t opcode, uint16_t internal, uint16_t suggested)> grant;
  uint32_t lifetimeSec = 900;
  uint32_t epoch = 1000;
  std::array<uint8_t, 4> address{203, 0, 113, 7};
  bool answerAddress = true;
  std::mutex mutex;

  std::optional<Bytes> answer(ByteView request) {
    std::lock_guard guard(mutex);
    if (request.size() == 2) {
      if (!answerAddress) return Bytes{0, 128, 0};  // short: not an answer
      return natPmpAddressAnswer(epoch, address[0], address[1], address[2], address[3]);
    }
    if (request.size() != 12) return std::nullopt;
    uint16_t internal = static_cast<uint16_t>(request[4] << 8 | request[5]);
    uint16_t suggested = static_cast<uint16_t>(request[6] << 8 | request[7]);
    std::optional<uint16_t> port = suggested;
    if (grant && suggested != 0) port = grant(request[1], internal, suggested);
    if (!port) return natPmpMappingAnswer(request, 2, 0, 0);
    return natPmpMappingAnswer(request, 0, *port, suggested == 0 ? 0 : lifetimeSec);
  }
};

struct Fixture {
  explicit Fixture(bool withGateway = true) : gatewayPresent(withGateway) {
    NATPMPEnvironment env;
    env.queue = queue;
    env.scheduler = scheduler;
    env.gateway = [this]() -> std::optional<std::string> {
      if (!gatewayPresent.load()) return std::nullopt;
      return "127.0.0.1";
    };
    env.gatewayPort = gateway.port();
    env.exchangeTimeoutMs = 1000;
    env.makePathMonitor = [this] {
      auto made = std::make_unique<ManualPathMonitor>();
      monitor = made.get();
      return made;
    };
    mapper = NATPMPMapper::create(47700, {47701, 47702, 47703, 47704}, env);
    mapper->setOnLog([this](const std::string& line) { lines.push_back(line); });
    mapper->setOnMapped([this](const std::string& ip, uint16_t port) { mapped.emplace_back(ip, port); });
  }
  // Twice: a path change's pass is queued by a job on the queue itself.
  void settle() {
    queue->sync([] {});
    queue->sync([] {});
  }
  // The gateway's thread reads the router's script under its lock.
  void configure(const std::function<void(Router&)>& change) {
    std::lock_guard guard(router.mutex);
    change(router);
  }
  void advance(uint64_t us) {
    scheduler->advanceBy(us);
    settle();
  }
  // What the gateway got besides public-address questions (the 30-s poll asks those on its own).
  std::vector<Bytes> mappingRequests() const {
    std::vector<Bytes> out;
    for (auto& r : gateway.requests())
      if (r.size() == 12) out.push_back(r);
    return out;
  }
  bool logged(const std::string& line) const { return std::count(lines.begin(), lines.end(), line) > 0; }

  Router router;
  FakeNatPmpGateway gateway{[this](ByteView request) { return router.answer(request); }};
  FakeClock clock;
  std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>(clock);
  std::shared_ptr<SerialExecutor> queue = std::make_shared<SerialExecutor>("tl.natpmp.test");
  std::atomic<bool> gatewayPresent;
  ManualPathMonitor* monitor = nullptr;
  std::shared_ptr<NATPMPMapper> mapper;
  // Written on the queue, read by the test after settle().
  std::vector<std::string> lines;
  std::vector<std::pair<std::string, uint16_t>> mapped;
};

TEST(NATPMPMapper, MapsTheWholeBlockOnTheFirstBaseAndReportsIt) {
  Fixture f;
  f.mapper->start();
  f.settle();
  std::vector<Bytes> expected{addressRequest, mapRequest(2, 47700, 47700, 900), mapRequest(1, 47701, 47701, 900),
                              mapRequest(1, 47702, 47702, 900), mapRequest(1, 47703, 47703, 900),
                              mapRequest(1, 47704, 47704, 900)};
  EXPECT_EQ(f.gateway.requests(), expected);
  EXPECT_EQ(f.mapped, (std::vector<std::pair<std::string, uint16_t>>{{"203.0.113.7", 47700}}));
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: brama 127.0.0.1 — pytam o publiczny adres…"));
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: publiczny adres = 203.0.113.7 — mapuję porty…"));
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: host osiągalny z internetu na 203.0.113.7:47700 (spójny blok 47700–47704, control TCP)"));
}

TEST(NATPMPMapper, RenewsAfterHalfTheGrantedLeaseAtMostEveryTwoMinutes) {
  struct Row {
    uint32_t grantedSec;
    uint64_t renewAfterUs;
    const char* why;
  };
  for (const Row& row : {Row{900, 120 * second, "a full lease renews on the two-minute period"},
                         Row{100, 50 * second, "a short lease renews at its half, before it lapses"},
                         Row{1, 15 * second, "a lease of a second renews no sooner than the floor"},
                         Row{0, 15 * second, "a grant of no time renews on the floor, not every second"}}) {
    SCOPED_TRACE(row.why);
    Fixture f;
    f.configure([&](Router& r) { r.lifetimeSec = row.grantedSec; });
    f.mapper->start();
    f.settle();
    f.gateway.clear();
    f.advance(row.renewAfterUs - 1);
    EXPECT_TRUE(f.mappingRequests().empty());
    f.advance(1);
    EXPECT_EQ(f.mappingRequests().size(), 5u);
    EXPECT_EQ(f.mapped.size(), 2u);
  }
}

TEST(NATPMPMapper, ABaseWithAMovedPortIsTakenDownAndTheNextBaseTried) {
  Fixture f;
  f.configure([](Router& r) {
    r.grant = [](uint8_t, uint16_t internal, uint16_t suggested) -> std::optional<uint16_t> {
      if (internal == 47702 && suggested == 47702) return 50000;  // the router picks another port
      return suggested;
    };
  });
  f.mapper->start();
  f.settle();
  auto requests = f.gateway.requests();
  std::vector<Bytes> expected{addressRequest,
                              mapRequest(2, 47700, 47700, 900),
                              mapRequest(1, 47701, 47701, 900),
                              mapRequest(1, 47702, 47702, 900),
                              mapRequest(1, 47702, 0, 0),  // the moved mapping goes at once
                              mapRequest(2, 47700, 0, 0),  // then what the base already had
                              mapRequest(1, 47701, 0, 0),
                              mapRequest(2, 47700, 47710, 900),
                              mapRequest(1, 47701, 47711, 900),
                              mapRequest(1, 47702, 47712, 900),
                              mapRequest(1, 47703, 47713, 900),
                              mapRequest(1, 47704, 47714, 900)};
  EXPECT_EQ(requests, expected);
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: baza 47700 niedostępna w całości — próbuję następnej"));
  EXPECT_EQ(f.mapped, (std::vector<std::pair<std::string, uint16_t>>{{"203.0.113.7", 47710}}));

  // The next pass starts at the good base; a failure half-way through it keeps what it renewed.
  f.configure([](Router& r) {
    r.grant = [](uint8_t, uint16_t internal, uint16_t suggested) -> std::optional<uint16_t> {
      if (internal == 47703) return std::nullopt;
      return suggested;
    };
  });
  f.gateway.clear();
  f.advance(120 * second);
  requests = f.mappingRequests();
  ASSERT_GE(requests.size(), 5u);
  EXPECT_EQ(requests[0], mapRequest(2, 47700, 47710, 900));
  EXPECT_EQ(requests[3], mapRequest(1, 47703, 47713, 900));
  EXPECT_EQ(requests[4], mapRequest(2, 47700, 47700, 900));  // no delete in between: next base
}

TEST(NATPMPMapper, RetriesWithAGrowingDelayAndAPathChangeResetsIt) {
  Fixture f(false);
  f.mapper->start();
  f.settle();
  for (int64_t delay : {15, 30, 45, 60, 60}) f.advance(static_cast<uint64_t>(delay) * second);
  std::vector<std::string> retries;
  for (const auto& line : f.lines)
    if (line.starts_with("🌐 NAT-PMP: ponowna próba")) retries.push_back(line);
  EXPECT_EQ(retries, (std::vector<std::string>{
                         "🌐 NAT-PMP: ponowna próba za 15 s (#1)", "🌐 NAT-PMP: ponowna próba za 30 s (#2)",
                         "🌐 NAT-PMP: ponowna próba za 45 s (#3)", "🌐 NAT-PMP: ponowna próba za 60 s (#4)",
                         "🌐 NAT-PMP: ponowna próba za 60 s (#5)", "🌐 NAT-PMP: ponowna próba za 60 s (#6)"}));
  f.lines.clear();
  f.monitor->push({true, "eth1"});
  f.settle();
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: zmiana sieci (eth1) — re-mapuję"));
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: ponowna próba za 15 s (#1)"));
}

TEST(NATPMPMapper, ShortAnswersCountAsNoAnswerAndMapNothing) {
  Fixture f;
  f.configure([](Router& r) { r.answerAddress = false; });
  f.mapper->start();
  f.settle();
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: brak odpowiedzi na zapytanie o adres — PONOWIĘ (router chwilowo zajęty?)"));
  EXPECT_EQ(f.gateway.requests().size(), 1u);
  EXPECT_TRUE(f.mapped.empty());
}

TEST(NATPMPMapper, ThePollNoticesANewPublicAddressAndTheRouterResetIsLogged) {
  Fixture f;
  f.mapper->start();
  f.settle();
  f.configure([](Router& r) {
    r.address = {198, 51, 100, 9};
    r.epoch = 5;
  });
  f.advance(30 * second);
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: szybki monitor — IP 203.0.113.7 → 198.51.100.9, re-map+re-publish"));
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: router zresetowany (epoch 1000→5) — re-mapuję"));
  EXPECT_TRUE(f.logged("🌐 NAT-PMP: ZMIANA publicznego IP 203.0.113.7 → 198.51.100.9 — re-publikuję endpoint"));
  EXPECT_EQ(f.mapped.back(), std::make_pair(std::string("198.51.100.9"), uint16_t{47700}));
}

TEST(NATPMPMapper, StopDeletesEveryMappingEvenWhenTheMapperIsReleasedAtOnce) {
  Fixture f;
  f.mapper->start();
  f.settle();
  f.gateway.clear();
  f.mapper->stop();
  f.mapper.reset();
  f.settle();
  std::vector<Bytes> expected{mapRequest(2, 47700, 0, 0), mapRequest(1, 47701, 0, 0), mapRequest(1, 47702, 0, 0),
                              mapRequest(1, 47703, 0, 0), mapRequest(1, 47704, 0, 0)};
  EXPECT_EQ(f.gateway.requests(), expected);
  f.advance(600 * second);  // no timer of the stopped mapper maps again
  EXPECT_EQ(f.gateway.requests().size(), expected.size());
}

// A gateway that answers what `answer` returns and keeps every other request unanswered, for a mapper
// whose exchanges would wait a minute: stop() must not wait that out.
struct SilentGatewayRig {
  explicit SilentGatewayRig(FakeNatPmpGateway::Answer answer) : gateway(std::move(answer)) {
    NATPMPEnvironment env;
    env.queue = queue;
    env.scheduler = scheduler;
    env.gateway = [] { return std::optional<std::string>("127.0.0.1"); };
    env.gatewayPort = gateway.port();
    env.exchangeTimeoutMs = 60'000;
    env.makePathMonitor = [] { return std::make_unique<ManualPathMonitor>(); };
    mapper = NATPMPMapper::create(47700, {47701, 47702, 47703, 47704}, env);
    mapper->setOnLog([this](const std::string& line) {
      std::lock_guard guard(mutex);
      lines.push_back(line);
    });
  }
  // Waits (a guard against a hang, not a speed target) until the gateway got `count` requests.
  bool gatewayGot(size_t count) {
    for (int i = 0; i < 500 && gateway.requests().size() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return gateway.requests().size() >= count;
  }
  std::vector<std::string> logged() {
    std::lock_guard guard(mutex);
    return lines;
  }

  FakeNatPmpGateway gateway;
  FakeClock clock;
  std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>(clock);
  std::shared_ptr<SerialExecutor> queue = std::make_shared<SerialExecutor>("tl.natpmp.test");
  std::shared_ptr<NATPMPMapper> mapper;
  std::mutex mutex;
  std::vector<std::string> lines;
};

TEST(NATPMPMapper, StopAbandonsAnAddressQueryAndDeletesNothingThatWasNeverMapped) {
  SilentGatewayRig rig([](ByteView) -> std::optional<Bytes> { return std::nullopt; });
  rig.mapper->start();
  ASSERT_TRUE(rig.gatewayGot(1));
  EXPECT_FALSE(rig.mapper->hasMapping());
  rig.mapper->stop();
  EXPECT_TRUE(rig.queue->drainWithin(std::chrono::seconds(5))) << "the query is abandoned, not waited out";
  EXPECT_EQ(rig.gateway.requests(), std::vector<Bytes>{addressRequest}) << "no delete of a mapping that never existed";
  for (const auto& line : rig.logged()) EXPECT_EQ(line.find("PONOWIĘ"), std::string::npos) << "no retry after stop";
}

TEST(NATPMPMapper, StopDeletesWhatTheRouterGrantedAndTheRequestItAbandoned) {
  // Grants the control port and the first media port, then falls silent.
  SilentGatewayRig rig([](ByteView request) -> std::optional<Bytes> {
    if (request.size() == 2) return natPmpAddressAnswer(1000, 203, 0, 113, 7);
    const uint16_t internal = static_cast<uint16_t>(request[4] << 8 | request[5]);
    const uint16_t suggested = static_cast<uint16_t>(request[6] << 8 | request[7]);
    if (suggested == 0 || internal <= 47701) return natPmpMappingAnswer(request, 0, suggested, suggested == 0 ? 0 : 900);
    return std::nullopt;
  });
  rig.mapper->start();
  ASSERT_TRUE(rig.gatewayGot(4));  // the address, two mappings, the unanswered third
  EXPECT_TRUE(rig.mapper->hasMapping());
  rig.gateway.clear();
  rig.mapper->stop();
  EXPECT_TRUE(rig.queue->drainWithin(std::chrono::seconds(5)));
  // The third may have reached the router though its answer never came: it goes too. The last two were
  // never asked for.
  EXPECT_EQ(rig.gateway.requests(), (std::vector<Bytes>{mapRequest(2, 47700, 0, 0), mapRequest(1, 47701, 0, 0),
                                                         mapRequest(1, 47702, 0, 0)}));
  EXPECT_FALSE(rig.mapper->hasMapping());
}

TEST(NATPMPMapper, CleanUpTriesThreeTimesThenLeavesTheLeases) {
  Fixture f;
  // Deletes carry suggested port 0, which the router grants; refuse them too.
  FakeNatPmpGateway refusing([](ByteView request) -> std::optional<Bytes> {
    if (request.size() != 12) return std::nullopt;
    return natPmpMappingAnswer(request, 3, 0, 0);
  });
  NATPMPEnvironment env;
  env.queue = f.queue;
  env.scheduler = f.scheduler;
  env.gateway = [] { return std::optional<std::string>("127.0.0.1"); };
  env.gatewayPort = refusing.port();
  auto purge = NATPMPMapper::create(47700, {47701}, env);
  std::vector<std::string> lines;
  purge->setOnLog([&](const std::string& line) { lines.push_back(line); });
  purge->purgeStaleMappings(1);
  f.settle();
  f.advance(5 * second);
  f.advance(15 * second);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "🌐 NAT-PMP: sprzątanie 0/2 (próba #1: tcp47700:result=3 udp47701:result=3) — ponowię",
                       "🌐 NAT-PMP: sprzątanie 0/2 (próba #2: tcp47700:result=3 udp47701:result=3) — ponowię",
                       "🌐 NAT-PMP: sprzątanie nieudane po 3 próbach (tcp47700:result=3 udp47701:result=3) — lease "
                       "wygaśnie sam (≤15 min nowe / ≤2 h stare)"}));

  auto cancelled = NATPMPMapper::create(47700, {47701}, env);
  cancelled->setOnLog([&](const std::string& line) { lines.push_back(line); });
  lines.clear();
  cancelled->cancelPurge();
  cancelled->purgeStaleMappings(1);
  f.settle();
  EXPECT_EQ(lines, std::vector<std::string>{"🌐 NAT-PMP: sprzątanie odwołane — mapowanie na żądanie już założone"});
}

}  // namespace
}  // namespace tavlo
