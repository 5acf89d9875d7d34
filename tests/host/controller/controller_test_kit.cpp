#include "tests/host/controller/controller_test_kit.hpp"

#include <fstream>
#include <sstream>

#include "e2e/e2e_identity.hpp"

namespace tavlo::controllertest {

HostController::Dependencies ControllerRig::dependencies(uint64_t startTicks) {
  HostController::Dependencies deps{
      .main = main,
      .scheduler = scheduler,
      .settings = settings,
      .keyValueStore = keyValueStore,
      .identity =
          [this] {
            static auto identity = vela::E2EIdentity::load(
                {secrets, settings, std::nullopt, [] { return std::optional<std::string>("controller-test"); }});
            return identity;
          },
      .hostName = "testhost",
  };
  deps.logFilePath = logPath();
  deps.standardOutput = [this](const std::string& line) { standardOutput.push_back(line); };
  deps.instanceLockPath = dir / "run" / InstanceLock::fileName;
  deps.ownStartTicks = startTicks;
  deps.launchedByService = [] { return false; };
  deps.exit = [this](HostExit reason) {
    exited = reason;
    trace.push_back("exit");
  };
  deps.makeListener = [this](LogSink) { return listener; };
  deps.portProbe = {[](uint16_t) { return true; }, [](uint16_t) { return true; }};
  deps.listLocalSubnets = [] { return std::vector<Subnet>{{0xC0A80100, 0xFFFFFF00}}; };
  deps.sampleResources = [] { return ResourceSample{12, 34, 5}; };
  deps.handleSignals = false;
  deps.sharedDisplay = std::make_shared<RecordingDisplay>(trace);
  HostControllerSeams& s = deps.seams;
  s.recoverDisplayIsolation = [this] { trace.push_back("recover displays"); };
  s.reconcileAutostart = [this](LogSink, std::function<void(bool)> done) {
    trace.push_back("reconcile autostart");
    done(autostartTakesOver);
  };
  s.startUpdates = [this](LogSink, HostControllerSeams::UpdateHooks hooks) {
    trace.push_back("updates");
    updateHooks = std::move(hooks);
  };
  s.updatesSessionEnded = [this] { ++updateSessionEnds; };
  s.prewarmCapture = [this] { trace.push_back("prewarm capture"); };
  s.setDisplayLogSink = [this](LogSink) { trace.push_back("display log sink"); };
  s.isScreenLocked = [this] { return screenLocked; };
  s.startProbeResponder = [this](uint16_t port, const Uuid&, HostControllerSeams::AllowPeer, LogSink) {
    trace.push_back("probe responder " + std::to_string(port));
    return [this] { trace.push_back("probe responder stop"); };
  };
  s.startRelayLink = [this] { trace.push_back("relay link"); };
  s.publishRelayData = [this](bool on) { trace.push_back(std::string("relay data ") + (on ? "1" : "0")); };
  s.publishRelayEndpoint = [this](const std::string& endpoint) { trace.push_back("relay endpoint " + endpoint); };
  s.makePortMapper = [this](PortMapperKind kind, uint16_t controlTCP, std::vector<uint16_t> udpPorts, LogSink,
                            PortMapper::OnMapped onMapped) {
    auto mapper = std::make_shared<RecordingMapper>(trace, kind == PortMapperKind::natPmp ? "NAT-PMP" : "UPnP");
    mapper->onMapped = [self = mapper.get(), onMapped = std::move(onMapped)](const std::string& ip, uint16_t port) {
      self->holds = true;
      if (onMapped) onMapped(ip, port);
    };
    mapper->ports = controlTCP;
    for (uint16_t p : udpPorts) mapper->udp.push_back(p);
    mappers.push_back(mapper);
    return mapper;
  };
  s.startBonjour = [this](uint16_t port, const Uuid&, const std::string& name, LogSink) {
    trace.push_back("bonjour " + std::to_string(port) + " " + name);
    return [this] { trace.push_back("bonjour stop"); };
  };
  s.makeSession = [this](vela::SessionConfig config) {
    handedToSessions.push_back(config.transport);
    sessionConfigs.push_back(config);
    auto session = std::make_shared<FakeSession>("session " + std::to_string(sessions.size() + 1));
    sessions.push_back(session);
    return session;
  };
  s.engageDefaultInput = [this] { companions.push_back("default input"); };
  s.restoreDefaultInput = [this] { companions.push_back("default input restored"); };
  s.declareUserActivity = [this] { companions.push_back("user activity"); };
  s.preventDisplaySleep = [this] {
    companions.push_back("display awake");
    return [this] { companions.push_back("display may sleep"); };
  };
  s.startTextFocusWatching = [this] { companions.push_back("focus watching"); };
  s.stopTextFocusPolling = [this] { companions.push_back("focus poll stopped"); };
  s.lastTextFocus = [this] { return lastFocus; };
  s.setTextFocusHandler = [this](std::function<void(const TextFocusWatcher::FocusInfo&)> handler) {
    focusHandler = std::move(handler);
  };
  s.startCameraWatching = [this](LogSink) { companions.push_back("camera watching"); };
  s.setForce1xSuppressed = [this](bool on) { companions.push_back(std::string("force1x suppressed ") + (on ? "1" : "0")); };
  s.setActiveForce1x = [this](bool on) { companions.push_back(std::string("force1x active ") + (on ? "1" : "0")); };
  s.syncCursorTracking = [this] { seamCalls.push_back("cursor sync"); };
  s.noteInputActivity = [this] { seamCalls.push_back("input activity"); };
  s.recordLinkSnapshot = [this](const vela::LinkSnapshot& l) {
    seamCalls.push_back("link " + l.deviceKey + " " + std::to_string(l.appliedBitrate));
  };
  s.linkSeed = [this](const std::string& key) {
    seamCalls.push_back("seed " + key);
    return storedSeed;
  };
  s.clipboard.startSync = [this](const std::shared_ptr<ControlledSession>&) { seamCalls.push_back("clip sync"); };
  s.clipboard.announced = [this](uint64_t id, const std::string& uti, uint32_t size, const std::string&,
                                 const std::optional<Bytes>&) {
    seamCalls.push_back("clip announced " + std::to_string(id) + " " + uti + " " + std::to_string(size));
  };
  s.clipboard.completed = [this](uint64_t id, const std::string&, const std::string&, const vela::ClipPayload&) {
    seamCalls.push_back("clip complete " + std::to_string(id));
  };
  s.clipboard.failed = [this](uint64_t id, const std::string& reason) {
    seamCalls.push_back("clip failed " + std::to_string(id) + " " + reason);
  };
  s.clipboard.progress = [this](vela::ClipDir, uint32_t done, uint32_t total) {
    seamCalls.push_back("clip progress " + std::to_string(done) + "/" + std::to_string(total));
  };
  s.watchScreen = [this](HostControllerSeams::ScreenEvents events, LogSink) -> std::function<void()> {
    trace.push_back("screen watch");
    screenEvents = std::move(events);
    return [this] { trace.push_back("screen watch stop"); };
  };
  s.clipboard.stop = [this] { seamCalls.push_back("clip stop"); };
  s.clipboard.removeLeftovers = [this](LogSink) {
    ++clipLeftoverCleanups;
    traceAtClipCleanup = trace;
  };
  s.toggleDiagnosticsPanel = [this] { seamCalls.push_back("diagnostics panel"); };
  return deps;
}

std::shared_ptr<HostController> ControllerRig::make(HostController::Dependencies deps) {
  return HostController::create(std::move(deps));
}

std::shared_ptr<FakeSession> ControllerRig::wireSession(HostController& controller) {
  controller.handleSession(
      std::make_shared<vela::testkit::MemorySessionTransport>(vela::testkit::MemorySessionTransport::Options{}));
  return sessions.back();
}

std::shared_ptr<FakeSession> ControllerRig::admitSession(HostController& controller, const std::string& key,
                                                        const std::optional<std::string>& peer) {
  auto session = wireSession(controller);
  session->key = key;
  if (peer) session->peer = *peer;
  controller.approveTakeover(key, true, session, [](bool) {});
  main.runUntilIdle();
  scheduler.advanceBy(HostController::takeoverPauseUs);
  main.runUntilIdle();
  return session;
}

ControllerRig::Connected ControllerRig::connectClient(HostController& controller, const std::string& remote) {
  Connected connected;
  connected.host = std::make_shared<vela::testkit::MemorySessionTransport>(
      vela::testkit::MemorySessionTransport::Options{vela::defaultMaxDatagramSize, remote, false});
  auto clientSide = std::make_shared<vela::testkit::MemorySessionTransport>(
      vela::testkit::MemorySessionTransport::Options{vela::defaultMaxDatagramSize, "192.0.2.1:47700", true});
  vela::testkit::MemorySessionTransport::connect(connected.host, clientSide);
  controller.acceptTransport(connected.host);
  auto identity = dependencies().identity();  // the one identity every rig's controller publishes
  const auto& key = identity->signingPublicKey();
  connected.client = vela::EncryptedTransport::client(
      clientSide, Bytes(key.begin(), key.end()), [](const Uuid&, ByteView, const LogSink&) { return true; }, {});
  controller.handshakeGate()->waitIdle();
  main.runUntilIdle();
  return connected;
}

std::shared_ptr<HostController> ControllerRig::startedController(uint64_t startTicks) {
  auto controller = make(dependencies(startTicks));
  main.post([controller] { controller->start(); });
  main.runUntilIdle();
  return controller;
}

std::string ControllerRig::logFile() const {
  std::ifstream in(logPath());
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tavlo::controllertest
