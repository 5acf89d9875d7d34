#include "host/controller/host_controller.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <system_error>
#include <thread>

#include "e2e/encrypted_transport.hpp"
#include "tests/host/controller/controller_test_kit.hpp"
#include "tests/testkit/memory_transport.hpp"
#include "transport/direct_dialer.hpp"

namespace tavlo {
namespace {

using controllertest::ControllerRig;
using controllertest::Trace;

TEST(HostController, StartsUpInOrderWithTheSettingsAtTheirDefaults) {
  ControllerRig rig;
  auto controller = rig.startedController();
  // The screen watch starts before the port search.
  EXPECT_EQ(rig.trace, (Trace{"recover displays", "reconcile autostart", "updates", "prewarm capture",
                              "display log sink", "screen watch", "listen 47700", "probe responder 47704", "relay link",
                              "purge NAT-PMP", "purge UPnP", "bonjour 47700 testhost"}));
  EXPECT_TRUE(controller->bootstrapped());
  EXPECT_TRUE(controller->isListening.get());
  EXPECT_EQ(controller->status.get(), "Listening on port 47700");
  EXPECT_EQ(controller->bufferMs.get(), 200);
  EXPECT_EQ(controller->clientForcePath.get(), "auto");
  EXPECT_TRUE(controller->allowLAN.get() && controller->allowVPN.get() && controller->natOnDemand());

  const auto& lines = controller->logLines.get();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "host nasłuchuje (control 47700, video 47701, audio 47702, input 47703)");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("🔐 tożsamość hosta [0-9A-F]{8}… \\(Ed25519; pub → lokalny plik "
                                                    "klucz-wartość\\)")))
      << lines[1];
  EXPECT_EQ(lines[2], "🌐 NAT na żądanie — port zamknięty do pierwszego żądania sesji przez relay (wejście relayem, "
                      "potem MbB → NAT)");
  EXPECT_TRUE(rig.keyValueStore.getValue("tl.hosts").has_value()) << "the identity is published";

  // The will-terminate handling is armed by bootstrap: the displays come back once.
  controller->applicationWillTerminate();
  controller->applicationWillTerminate();
  EXPECT_EQ(std::vector<std::string>(rig.trace.end() - 2, rig.trace.end()),
            (Trace{"restore displays", "destroy display"}));
  EXPECT_EQ(rig.trace.size(), 14u);
}

TEST(HostController, SettingsChooseTheMappingStepAndTheAdvertisement) {
  struct Row {
    const char* why;
    std::vector<std::pair<const char*, bool>> defaults;
    std::vector<std::string> expectedTail;
    const char* expectedLine;  // last log line
  };
  const Row rows[] = {
      {"NAT on demand only purges", {}, {"relay link", "purge NAT-PMP", "purge UPnP", "bonjour 47700 testhost"}, nullptr},
      {"NAT at once maps", {{"tl.natOnDemand", false}}, {"relay link", "start NAT-PMP", "bonjour 47700 testhost"}, nullptr},
      {"NAT off, LAN off", {{"tl.allowNAT", false}, {"tl.allowLAN", false}}, {"probe responder 47704", "relay link"},
       "🌐 NAT wyłączony przez użytkownika — pomijam mapowanie (zostaje LAN + relay)"},
  };
  for (const Row& row : rows) {
    ControllerRig rig;
    for (auto [key, value] : row.defaults) rig.settings.set(key, value);
    auto controller = rig.startedController();
    ASSERT_GE(rig.trace.size(), row.expectedTail.size()) << row.why;
    EXPECT_EQ(Trace(rig.trace.end() - row.expectedTail.size(), rig.trace.end()), row.expectedTail) << row.why;
    if (row.expectedLine) {
      EXPECT_EQ(controller->logLines.get().back(), row.expectedLine) << row.why;
    }
  }
}

TEST(HostController, ClampsStoredSettingsAndIgnoresValuesOfAnotherType) {
  ControllerRig rig;
  rig.settings.set("tl.scale", 2.7);
  rig.settings.set("tl.kfFixedSec", 0.15);
  rig.settings.set("tl.bufferMs", 5000);
  rig.settings.set("tl.wireCapKbps", -3);
  rig.settings.set("tl.kfAdaptive", "yes");
  auto controller = rig.make(rig.dependencies());
  EXPECT_EQ(controller->scale.get(), 2.0);
  EXPECT_EQ(controller->kfFixedSec.get(), 0.2);
  EXPECT_EQ(controller->bufferMs.get(), 1000);
  EXPECT_EQ(controller->maxBandwidthKbps.get(), 0);
  EXPECT_TRUE(controller->kfAdaptive.get());
  EXPECT_EQ(controller->status.get(), "Stopped");
}

TEST(HostController, ASecondHandStartedInstanceQuitsWithoutListening) {
  ControllerRig first;
  auto running = first.startedController(100);
  ControllerRig second;
  auto deps = second.dependencies(200);
  deps.instanceLockPath = first.dir / "run" / InstanceLock::fileName;
  auto controller = second.make(std::move(deps));
  controller->start();
  EXPECT_EQ(second.exited, HostExit::secondInstance);
  EXPECT_EQ(second.trace, (Trace{"exit"})) << "no start-up step ran, no port was bound";
  EXPECT_EQ(second.standardOutput, (std::vector<std::string>{"[HOST] 🚫 druga instancja hosta już działa (starsza) — "
                                                             "kończę, żeby nie zajmować drugiego bloku portów"}));
  EXPECT_FALSE(controller->bootstrapped());
}

TEST(HostController, AServiceInstanceWaitsBehindAnOlderOneAndTakesOverWhenItEnds) {
  ControllerRig first;
  auto running = first.startedController(100);
  ControllerRig second;
  auto deps = second.dependencies(200);
  deps.instanceLockPath = first.dir / "run" / InstanceLock::fileName;
  deps.launchedByService = [] { return true; };
  auto controller = second.make(std::move(deps));
  controller->start();
  EXPECT_TRUE(controller->standby.get());
  EXPECT_TRUE(second.trace.empty());
  EXPECT_EQ(controller->logLines.get().back(), "⏸ starsza instancja hosta (ręczna) działa — jako usługa systemd czekam "
                                               "w tle i przejmę hosta po jej zakończeniu");

  second.scheduler.advanceBy(HostController::standbyPollUs);
  second.main.runUntilIdle();
  EXPECT_TRUE(controller->standby.get()) << "still behind the older instance";

  running.reset();  // the older instance ends
  second.scheduler.advanceBy(HostController::standbyPollUs - 1);
  second.main.runUntilIdle();
  EXPECT_TRUE(controller->standby.get()) << "checks every 2 s, not sooner";
  second.scheduler.advanceBy(1);
  second.main.runUntilIdle();
  EXPECT_FALSE(controller->standby.get());
  EXPECT_TRUE(controller->bootstrapped());
  EXPECT_EQ(second.trace.front(), "recover displays");
  EXPECT_TRUE(controller->isListening.get());
}

TEST(HostController, OnlyTheInstanceThatRunsTheHostRemovesTheClipboardsLeftoversAndBeforeItListens) {
  ControllerRig first;
  auto running = first.startedController(100);
  EXPECT_EQ(first.clipLeftoverCleanups, 1);
  EXPECT_EQ(std::count(first.traceAtClipCleanup.begin(), first.traceAtClipCleanup.end(), "listen 47700"), 0)
      << "no client can send anything before the folder is clean";
  EXPECT_TRUE(running->isListening.get());

  // A younger instance that quits, and one that waits as the login service, leave the running one's files.
  const auto lock = first.dir / "run" / InstanceLock::fileName;
  for (bool service : {false, true}) {
    ControllerRig second;
    auto deps = second.dependencies(200);
    deps.instanceLockPath = lock;
    deps.launchedByService = [service] { return service; };
    auto controller = second.make(std::move(deps));
    controller->start();
    second.main.runUntilIdle();
    EXPECT_EQ(second.clipLeftoverCleanups, 0) << (service ? "waiting service" : "second instance");
    if (!service) continue;
    running.reset();  // the older instance ends: the waiting one runs the host now, and cleans
    second.scheduler.advanceBy(HostController::standbyPollUs);
    second.main.runUntilIdle();
    EXPECT_EQ(second.clipLeftoverCleanups, 1);
  }

  // An instance that hands the host over to the login service's instance leaves the folder to it.
  ControllerRig handing;
  handing.autostartTakesOver = true;
  handing.startedController();
  EXPECT_EQ(handing.clipLeftoverCleanups, 0);
}

TEST(HostController, HandsOverToTheLoginServiceInstanceBeforeListening) {
  ControllerRig rig;
  rig.autostartTakesOver = true;
  auto controller = rig.startedController();
  EXPECT_EQ(rig.trace, (Trace{"recover displays", "reconcile autostart", "exit"}));
  EXPECT_EQ(rig.exited, HostExit::handedOverToService);
  EXPECT_EQ(controller->logLines.get().back(), "🚀 przekazuję hosta instancji usługi systemd — kończę tę (ręczną) instancję");
}

TEST(HostController, AListenerThatCannotStartLeavesTheHostWithoutReachability) {
  ControllerRig rig;
  rig.listener->failWith = EADDRINUSE;
  auto controller = rig.startedController();
  EXPECT_EQ(rig.trace, (Trace{"recover displays", "reconcile autostart", "updates", "prewarm capture",
                              "display log sink", "screen watch"}));
  EXPECT_FALSE(controller->isListening.get());
  EXPECT_TRUE(controller->status.get().starts_with("Listen error: TCP bind port 47700")) << controller->status.get();
  EXPECT_TRUE(controller->logLines.get().back().starts_with("❌ start nasłuchu: TCP bind port 47700"));
  EXPECT_FALSE(rig.keyValueStore.getValue("tl.hosts").has_value());
}

TEST(HostController, WaitsForABusyBlockOnTimersThenLogsWhyItListensOnAnotherAndALockedScreen) {
  ControllerRig rig;
  rig.screenLocked = true;
  auto deps = rig.dependencies();
  deps.preferredPort = 47700;
  deps.portProbe.udpFree = [](uint16_t port) { return port != 47702; };
  auto controller = rig.make(std::move(deps));
  controller->start();
  EXPECT_FALSE(controller->hostLocked()) << "the lock state is not known before the watch has read it";
  // The watch's own thread reports its first reading; the check runs on the main executor.
  std::thread([&] { rig.screenEvents.stateRead(); }).join();
  rig.main.runUntilIdle();
  EXPECT_TRUE(controller->hostLocked());
  // The busy block is waited for on timers, with the main executor free in between.
  EXPECT_FALSE(controller->isListening.get());
  bool otherJobRan = false;
  rig.main.post([&] { otherJobRan = true; });
  rig.main.runUntilIdle();
  EXPECT_TRUE(otherJobRan);
  for (int pause = 1; pause < PortBlockSearch::preferredTests - 1; ++pause) {
    rig.scheduler.advanceBy(PortBlockSearch::retryPauseUs);
    rig.main.runUntilIdle();
  }
  EXPECT_FALSE(controller->isListening.get()) << "198 pauses: still waiting";
  rig.scheduler.advanceBy(PortBlockSearch::retryPauseUs);
  rig.main.runUntilIdle();
  EXPECT_TRUE(controller->isListening.get());
  const auto& lines = controller->logLines.get();
  auto at = [&lines](const std::string& line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
  const auto listening = at("host nasłuchuje (control 47705, video 47706, audio 47707, input 47708)");
  ASSERT_LT(size_t(listening), lines.size());
  EXPECT_EQ(at("🔢 wybór portu: blok 47700 zajęty przez 40 s — zajęte: 47702/udp"), listening + 1);
  // The lock was read while the search waited: it is said once, before the host listens.
  EXPECT_LT(at("🔒 start przy zablokowanym ekranie — auto-HELLO odrzucane do odblokowania"), listening);
  EXPECT_EQ(controller->status.get(), "Listening on port 47705");
}

// The port search may wait 40 s for a busy block: a lock in that time counts.
TEST(HostController, ALockDuringThePortSearchIsNotMissed) {
  ControllerRig rig;
  auto deps = rig.dependencies();
  int busy = 3;
  deps.portProbe.tcpFree = [&busy](uint16_t) { return busy-- <= 0; };
  auto controller = rig.make(std::move(deps));
  controller->start();
  rig.main.runUntilIdle();
  ASSERT_FALSE(controller->isListening.get()) << "the preferred block is still busy";
  // The screen locks while the search waits for the block.
  ASSERT_TRUE(rig.screenEvents.locked);
  std::thread([&] { rig.screenEvents.locked(); }).join();
  for (int pause = 0; pause < 3 && !controller->isListening.get(); ++pause) {
    rig.scheduler.advanceBy(PortBlockSearch::retryPauseUs);
    rig.main.runUntilIdle();
  }
  EXPECT_EQ(controller->controlPortInUse(), 47700);
  EXPECT_TRUE(controller->hostLocked());
}

TEST(HostController, LogGoesToStandardOutputTheFileAndTheLastHundredLines) {
  ControllerRig rig;
  auto controller = rig.make(rig.dependencies());
  for (int i = 0; i < 150; ++i) controller->log("linia " + std::to_string(i));
  controller->log("dwie\nlinie");
  controller->flushLog();
  const auto& lines = controller->logLines.get();
  ASSERT_EQ(lines.size(), HostController::logLinesKept);
  EXPECT_EQ(lines.front(), "linia 51");
  EXPECT_EQ(lines.back(), "dwie\nlinie");
  EXPECT_EQ(rig.standardOutput.front(), "[HOST] linia 0");
  EXPECT_EQ(rig.standardOutput.size(), 151u);
  std::string file = rig.logFile();
  EXPECT_TRUE(std::regex_search(file, std::regex(R"(^\[\d\d:\d\d:\d\d\.\d{3}\] linia 0\n)")));
  EXPECT_TRUE(file.ends_with("] dwie\nlinie\n"));
  EXPECT_EQ(testkit::fileMode(rig.logPath()), 0600u);
}

TEST(HostController, WritesTheResourceLineToTheFileEveryMinuteAfterListening) {
  ControllerRig rig;
  auto controller = rig.startedController();
  rig.scheduler.advanceBy(HostController::resourceMonitorIntervalUs - 1);
  rig.main.runUntilIdle();
  controller->flushLog();
  EXPECT_EQ(rig.logFile().find("zasoby"), std::string::npos);
  rig.scheduler.advanceBy(1 + HostController::resourceMonitorIntervalUs);
  rig.main.runUntilIdle();
  controller->flushLog();
  std::regex line(R"(\[\d\d:\d\d:\d\d\.\d{3}\] 🧠 zasoby: RSS 12 MB, fd 34, wątki 5\n)");
  auto file = rig.logFile();
  EXPECT_EQ(std::distance(std::sregex_iterator(file.begin(), file.end(), line), std::sregex_iterator()), 2);
  EXPECT_EQ(controller->logLines.get().size(), 3u) << "the resource line goes to the file only";
}

TEST(HostController, ClosesATransportOnAForbiddenPathAndWrapsAnAllowedOne) {
  ControllerRig rig;
  rig.settings.set("tl.allowNAT", false);
  auto controller = rig.startedController();
  vela::testkit::MemorySessionTransport::Options nat;
  nat.description = "203.0.113.9:5000";
  auto refused = std::make_shared<vela::testkit::MemorySessionTransport>(nat);
  controller->acceptTransport(refused);
  EXPECT_TRUE(refused->isClosed());
  EXPECT_EQ(controller->logLines.get().back(), "🚫 odrzucam sesję (tor nat wyłączony): 203.0.113.9:5000");
  EXPECT_TRUE(rig.handedToSessions.empty());

  auto accepted = rig.connectClient(*controller, "relay/abc");
  ASSERT_EQ(rig.handedToSessions.size(), 1u);
  EXPECT_NE(rig.handedToSessions[0].get(), accepted.host.get()) << "the session gets the encrypting wrapper";
  EXPECT_EQ(rig.handedToSessions[0]->remoteDescription(), "relay/abc");
  EXPECT_TRUE(accepted.client->isEncrypted());
  EXPECT_FALSE(accepted.host->isClosed());
  rig.handedToSessions[0]->close();
  EXPECT_TRUE(accepted.host->isClosed());
}

// Any peer can connect on a switched-off path as often as it likes: the refusals are all closed, and
// their lines keep to a budget per window that says how many it left out.
TEST(HostController, RefusalsOnASwitchedOffPathKeepToALogBudget) {
  ControllerRig rig;
  rig.settings.set("tl.allowNAT", false);
  auto controller = rig.startedController();
  const size_t linesBefore = controller->logLines.get().size();
  auto refuse = [&](int count) {
    for (int i = 0; i < count; ++i) {
      vela::testkit::MemorySessionTransport::Options nat;
      nat.description = "203.0.113.9:" + std::to_string(5000 + i);
      auto refused = std::make_shared<vela::testkit::MemorySessionTransport>(nat);
      controller->acceptTransport(refused);
      EXPECT_TRUE(refused->isClosed());
    }
  };
  auto refusals = [&] {
    size_t count = 0;
    const auto lines = controller->logLines.get();
    for (size_t i = linesBefore; i < lines.size(); ++i) count += lines[i].starts_with("🚫 odrzucam sesję (tor nat");
    return count;
  };
  refuse(100);
  EXPECT_EQ(refusals(), size_t(vela::HostListener::peerLogLinesPerWindow)) << "one window's budget";
  rig.scheduler.advanceBy(vela::HostListener::peerLogWindowUs);
  refuse(1);
  EXPECT_EQ(refusals(), size_t(vela::HostListener::peerLogLinesPerWindow) + 1);
  EXPECT_EQ(controller->logLines.get().back(),
            "🚫 odrzucam sesję (tor nat wyłączony): 203.0.113.9:5000 (pominięto " +
                std::to_string(100 - vela::HostListener::peerLogLinesPerWindow) + " podobnych)");
}

TEST(HostController, AConnectionWhoseThreadsCannotBeMadeIsClosedAndTheHostKeepsAccepting) {
  ControllerRig rig;
  auto deps = rig.dependencies();
  auto makeSession = deps.seams.makeSession;
  bool refuseThreads = true;
  deps.seams.makeSession = [&](vela::SessionConfig config) -> std::shared_ptr<ControlledSession> {
    if (refuseThreads) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return makeSession(std::move(config));
  };
  auto controller = rig.make(std::move(deps));
  rig.main.post([controller] { controller->start(); });
  rig.main.runUntilIdle();

  auto first = rig.connectClient(*controller, "127.0.0.1:5000");
  EXPECT_TRUE(first.host->isClosed());
  EXPECT_NE(controller->logLines.get().back().find("⚠️ brak zasobów na nowe połączenie ("), std::string::npos);
  EXPECT_NE(controller->logLines.get().back().find("— zamykam je: 127.0.0.1:5000"), std::string::npos);
  EXPECT_TRUE(controller->isListening.get());

  refuseThreads = false;
  auto second = rig.connectClient(*controller, "127.0.0.1:5000");
  ASSERT_EQ(rig.sessions.size(), 1u);
  EXPECT_FALSE(second.host->isClosed());
}

TEST(HostController, ConnectionsWaitingForAdmissionFromOneAddressAreCappedOldestFirst) {
  ControllerRig rig;
  auto controller = rig.startedController();
  const size_t cap = AdmissionWaitingList::defaultPerAddressCap;
  std::vector<ControllerRig::Connected> clients;
  for (size_t i = 0; i < cap + 1; ++i) clients.push_back(rig.connectClient(*controller, "127.0.0.1:5000"));
  ASSERT_EQ(rig.sessions.size(), cap + 1);
  EXPECT_EQ(std::count(rig.sessions[0]->calls.begin(), rig.sessions[0]->calls.end(), "close"), 1);
  for (size_t i = 1; i < rig.sessions.size(); ++i)
    EXPECT_EQ(std::count(rig.sessions[i]->calls.begin(), rig.sessions[i]->calls.end(), "close"), 0) << i;
  EXPECT_NE(controller->logLines.get().back().find("🚫 za dużo połączeń czekających na przyjęcie"), std::string::npos);
}

TEST(HostController, AcceptsAClientOnLoopbackAndHandsOnTheEncryptedTransport) {
  ControllerRig rig;
  auto deps = rig.dependencies();
  deps.makeListener = nullptr;  // the real listener
  deps.portProbe = PortBlockSearch::systemProbe();
  PortBlockSearch search(deps.portProbe);
  for (deps.preferredPort = 45000; !search.blockIsFree(deps.preferredPort); deps.preferredPort += 5) {
  }
  deps.seams.makeSession = [&rig](vela::SessionConfig config) {
    rig.handedToSessions.push_back(std::move(config.transport));
    rig.main.quit(0);
    return std::make_shared<controllertest::FakeSession>();
  };
  auto identity = deps.identity();
  auto controller = rig.make(std::move(deps));

  std::shared_ptr<vela::EncryptedTransport> client;
  std::thread dialing;
  controller->isListening.observe([&](bool listening) {
    if (!listening) return;
    dialing = std::thread([&, port = controller->controlPortInUse()] {
      vela::DirectDialer dialer;
      auto inner = dialer.connect("127.0.0.1", port);
      const auto& key = identity->signingPublicKey();
      client = vela::EncryptedTransport::client(inner, Bytes(key.begin(), key.end()),
                                                [](const Uuid&, ByteView, const LogSink&) { return true; }, {});
    });
  });
  rig.main.post([controller] { controller->start(); });
  rig.main.run();
  dialing.join();
  ASSERT_EQ(rig.handedToSessions.size(), 1u);
  EXPECT_TRUE(rig.handedToSessions[0]->remoteDescription().starts_with("127.0.0.1:"))
      << rig.handedToSessions[0]->remoteDescription();
  ASSERT_TRUE(client);
  EXPECT_TRUE(client->isEncrypted()) << "the host side of the handshake answered with the published key";
  client->close();
  rig.handedToSessions[0]->close();
}

TEST(HostController, SigtermRestoresTheDisplaysStopsListeningAndExitsWithSuccess) {
  ControllerRig rig;
  auto deps = rig.dependencies();
  deps.handleSignals = true;
  deps.exit = [&rig](HostExit reason) {
    rig.exited = reason;
    rig.trace.push_back("exit");
    rig.main.quit(0);
  };
  auto controller = rig.make(std::move(deps));
  controller->start();
  rig.trace.clear();
  ::raise(SIGTERM);
  EXPECT_EQ(rig.main.run(), 0);
  EXPECT_EQ(rig.exited, HostExit::signal);
  EXPECT_EQ(rig.trace, (Trace{"restore displays", "destroy display", "listener stop", "probe responder stop", "exit"}));
  controller->applicationWillTerminate();
  EXPECT_EQ(rig.trace.size(), 5u) << "the displays are restored once";
  controller.reset();
  struct sigaction now{};
  ::sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL) << "the handler leaves with the controller";
}

}  // namespace
}  // namespace tavlo
