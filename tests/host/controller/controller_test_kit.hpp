#pragma once
// A host controller on a manual scheduler with every other part of the host replaced by recorders:
// the steps it calls land in one trace, in order, and nothing touches sockets or the window system.
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "e2e/encrypted_transport.hpp"
#include "host/controller/host_controller.hpp"
#include "tests/testkit/memory_transport.hpp"
#include "tests/host/controller/fake_session.hpp"
#include "platform/runtime/secret_store.hpp"
#include "tests/testkit/temp_dir.hpp"

namespace tavlo::controllertest {

using Trace = std::vector<std::string>;

class FakeListener final : public vela::TransportListener {
 public:
  explicit FakeListener(Trace& trace) : trace_(trace) {}
  void start(uint16_t port) override {
    if (failWith) throw std::system_error(*failWith, std::generic_category(), "TCP bind port " + std::to_string(port));
    trace_.push_back("listen " + std::to_string(port));
  }
  vela::SessionStream& sessions() override { return stream; }
  void stop() override {
    trace_.push_back("listener stop");
    stream.close();
  }

  std::optional<int> failWith;
  vela::SessionStream stream;

 private:
  Trace& trace_;
};

class RecordingDisplay final : public vela::DisplayProviding {
 public:
  explicit RecordingDisplay(Trace& trace) : trace_(trace) {}
  bool isActive() const override { return false; }
  int64_t reModeCount() const override { return 0; }
  std::string displayLabel() const override { return "Tavlo Display"; }
  void setDisplayLabel(std::string) override {}
  std::optional<vela::ProvidedDisplay> createDisplay(int64_t, int64_t) override { return std::nullopt; }
  bool applyMode(int64_t, int64_t, int64_t, int64_t) override { return false; }
  bool modeRequiresRecreate(int64_t, int64_t, int64_t, int64_t) override { return false; }
  std::optional<vela::ProvidedDisplay> recreateForMode(int64_t, int64_t, int64_t, int64_t) override {
    return std::nullopt;
  }
  bool setAsMainDisplay() override { return true; }
  void restoreMainDisplay() override {}
  void isolatePhysicalDisplays() override {}
  void enforceIsolation() override {}
  bool isolationSettled() const override { return true; }
  bool restorePhysicalDisplays() override {
    trace_.push_back("restore displays");
    return false;
  }
  void destroy() override { trace_.push_back("destroy display"); }

 private:
  Trace& trace_;
};

// A port mapper that records what the policy asks of it; the test reports a mapping through `onMapped`.
class RecordingMapper final : public PortMapper {
 public:
  RecordingMapper(Trace& trace, std::string name) : name(std::move(name)), trace_(trace) {}
  void start() override { trace_.push_back("start " + name); }
  void stop(bool deleteMapping) override { trace_.push_back("stop " + name + (deleteMapping ? " delete" : "")); }
  void purgeStaleMappings() override { trace_.push_back("purge " + name); }
  void cancelPurge() override { trace_.push_back("cancel purge " + name); }
  bool hasMapping() const override { return holds; }
  void setFallbackPaths(const std::string& paths) override { fallback = paths; }

  std::string name;
  OnMapped onMapped;  // reporting a mapping makes the mapper hold it
  bool holds = false;
  std::string fallback;  // what the mapper was told still reaches the host without it
  uint16_t ports = 0;
  std::vector<uint16_t> udp;

 private:
  Trace& trace_;
};

struct ControllerRig {
  testkit::TempDir dir;
  FakeClock clock;
  ManualScheduler scheduler{clock};
  MainExecutor main;
  Settings settings;
  KeyValueStore keyValueStore;
  MemorySecretStore secrets;
  Trace trace;
  std::vector<std::string> standardOutput;
  std::optional<HostExit> exited;
  std::shared_ptr<FakeListener> listener = std::make_shared<FakeListener>(trace);
  std::vector<std::shared_ptr<vela::SessionTransport>> handedToSessions;
  // The sessions session wiring made, with the configuration each was made with.
  std::vector<std::shared_ptr<FakeSession>> sessions;
  std::vector<vela::SessionConfig> sessionConfigs;
  // Every port mapper the policy made, in order.
  std::vector<std::shared_ptr<RecordingMapper>> mappers;
  // What admitted clients switched on and off, in order ("default input", "display awake", …).
  Trace companions;
  std::optional<TextFocusWatcher::FocusInfo> lastFocus;
  std::function<void(const TextFocusWatcher::FocusInfo&)> focusHandler;
  // What reached the parts of the host that are only seams so far (watchers, link memory, pasteboard
  // bridge, diagnostics panel), in order.
  Trace seamCalls;
  std::optional<vela::LinkSeed> storedSeed;
  // The desktop session's lock and sleep events, as the controller asked to be told of them.
  HostControllerSeams::ScreenEvents screenEvents;
  bool autostartTakesOver = false;
  // What the controller handed the updater, and how often it told it that a session ended.
  HostControllerSeams::UpdateHooks updateHooks;
  int updateSessionEnds = 0;
  bool screenLocked = false;
  // How often the controller had the clipboard folder's leftovers removed, and what the trace held then.
  int clipLeftoverCleanups = 0;
  Trace traceAtClipCleanup;

  // Every dependency filled with recorders; tests adjust the result before create().
  HostController::Dependencies dependencies(uint64_t startTicks = 100);
  std::shared_ptr<HostController> make(HostController::Dependencies deps);
  std::shared_ptr<HostController> startedController(uint64_t startTicks = 100);
  // Session wiring's next session, on a fresh memory transport: made and started, not yet admitted.
  std::shared_ptr<FakeSession> wireSession(HostController& controller);
  // A wired session whose client `key` the user approved, past the takeover pause: the controller's
  // active session, from `peer` when given.
  std::shared_ptr<FakeSession> admitSession(HostController& controller, const std::string& key,
                                            const std::optional<std::string>& peer = std::nullopt);
  // A client on a memory transport from `remote`: the controller accepts the host side, and the client
  // side runs its E2E handshake against the gate; returns once the keyed transport has been handed to
  // session wiring (or refused). `client` is the client's wrapper, encrypted when the gate answered.
  struct Connected {
    std::shared_ptr<vela::testkit::MemorySessionTransport> host;
    std::shared_ptr<vela::EncryptedTransport> client;
  };
  Connected connectClient(HostController& controller, const std::string& remote);
  std::filesystem::path logPath() const { return dir / "state" / "tavlo-host.log"; }
  std::string logFile() const;
};

}  // namespace tavlo::controllertest
