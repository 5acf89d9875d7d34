#pragma once
// Test kit of the session tests: a session over an in-memory transport pair, with fresh process-wide
// objects, a FakeClock/ManualScheduler, in-memory user defaults and a fake display provider; the client
// side of the pair sends records and reads the host's replies; a probe reads and sets session state
// under the session mutex. Waits on other threads are bounded (they guard against a hang; nothing sleeps).
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "platform/capture/synthetic_capture.hpp"
#include "platform/encoder/fake_encoder.hpp"
#include "platform/input/recording_poster.hpp"
#include "platform/runtime/scheduler.hpp"
#include "tests/hostcore/session/host_session_probe.hpp"
#include "tests/testkit/fake_display_provider.hpp"
#include "tests/testkit/memory_transport.hpp"
#include "tests/testkit/temp_dir.hpp"
#include "tests/transport/loopback_host.hpp"

namespace vela {
namespace testkit {

using namespace std::chrono_literals;

// Waits (bounded) until `condition` holds; false when it never did.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s);

// The client's end of the pair: what it sends reaches the session's control loop in order.
class SessionClient {
 public:
  explicit SessionClient(std::shared_ptr<SessionTransport> transport) : transport_(std::move(transport)) {}

  template <WirePayload T>
  void send(const T& record, uint32_t sessionId = 0) {
    sendRaw(encodePacket(record, sessionId, 0));
  }
  void sendRaw(const Bytes& packet) { transport_->control().send(packet); }

  // The next control packet from the host, or nothing within the bound.
  std::optional<Bytes> nextPacket();
  // The next control packet decoded as T; nothing when none came or it is another record.
  template <WirePayload T>
  std::optional<T> next() {
    auto packet = nextPacket();
    if (!packet) return std::nullopt;
    try {
      return RawPacket::decode(*packet).decodePayload<T>();
    } catch (const WireError&) {
      return std::nullopt;
    }
  }
  // Header of the next control packet.
  std::optional<PacketHeader> nextHeader();

  // A ping and its pong: once it returns, everything sent before has been handled. Packets that arrive
  // before the pong stay for nextPacket.
  bool roundTrip();

 private:
  std::shared_ptr<SessionTransport> transport_;
  std::deque<Bytes> held_;
  uint64_t nextMark_ = 0x5E55'0000'0000'0000ULL;
};

// Time, defaults, process-wide objects, in-process engine backends (synthetic capture, fake encoder, a
// recording poster for the injectors) and a transport pair for one or more sessions. Its destructor
// drops what it holds of the sessions, closes the pair and waits until every session thread has ended.
class SessionRig {
 public:
  SessionRig();
  ~SessionRig();
  SessionRig(const SessionRig&) = delete;
  SessionRig& operator=(const SessionRig&) = delete;

  // Wraps both sides of the pair in the encrypting transport and runs the handshake, before make():
  // the session then runs over an established end-to-end encryption.
  void encrypt();
  // A configuration over the host side of the pair (`hostTransport`), logging into `log`.
  SessionConfig config();
  // A session of `config` (the default one when absent), kept by the rig as `session`.
  std::shared_ptr<HostSession> make(std::optional<SessionConfig> config = std::nullopt);
  // make(), then start().
  std::shared_ptr<HostSession> started(std::optional<SessionConfig> config = std::nullopt);
  // A hello from the client, and the round trip that shows it was handled.
  bool hello(uint16_t windowPxW = 1280, uint16_t windowPxH = 720);

  tavlo::FakeClock& clock() { return time_->clock; }
  tavlo::ManualScheduler& scheduler() { return time_->scheduler; }
  tavlo::Settings& settings() { return *deps.settings; }
  template <class F>
  auto probe(F&& read) {
    return HostSessionProbe::with(*session, std::forward<F>(read));
  }

  // An encoder engine of the fake backend, as engine setup would make it.
  std::shared_ptr<EncoderEngine> makeEncoder(int64_t width = 1280, int64_t height = 720);

  LogRecorder log;
  std::shared_ptr<tavlo::SyntheticCapture> captureBackend = tavlo::SyntheticCapture::create();
  std::shared_ptr<tavlo::FakeEncoder> encoderBackend = std::make_shared<tavlo::FakeEncoder>();
  // Swaps the encoder backend (for one with other options) before `make`.
  void useEncoderBackend(std::shared_ptr<tavlo::FakeEncoder> backend);
  std::shared_ptr<tavlo::RecordingPoster> poster = std::make_shared<tavlo::RecordingPoster>();
  std::shared_ptr<FakeDisplayProvider> display = std::make_shared<FakeDisplayProvider>();
  MemoryTransportPair pair = MemoryTransportPair::make();
  std::shared_ptr<SessionTransport> hostTransport = pair.host;
  SessionClient client{pair.client};
  SessionDeps deps;
  std::shared_ptr<HostSession> session;

 private:
  struct Time {
    tavlo::FakeClock clock;
    tavlo::ManualScheduler scheduler{clock};
  };
  std::shared_ptr<Time> time_ = std::make_shared<Time>();
  tavlo::testkit::TempDir clipFolder_;
};

// A second session on its own transport pair with the rig's process-wide objects (clock, display gate,
// display provider, engine backends): the next client of a takeover or a reconnect. Declared after its
// rig, so it ends first; its end closes its transport.
struct SecondSession {
  explicit SecondSession(SessionRig& rig, std::optional<SessionConfig> base = std::nullopt) {
    SessionConfig config = base ? std::move(*base) : rig.config();
    config.transport = pair.host;
    session = HostSession::create(std::move(config), rig.deps);
  }
  ~SecondSession() {
    session.reset();
    pair.host->close();
  }
  SecondSession(const SecondSession&) = delete;
  SecondSession& operator=(const SecondSession&) = delete;

  std::optional<ProvidedDisplay> provided() {
    return HostSessionProbe::with(*session, [](SessionState& s) { return s.engines.providedDisplay; });
  }

  MemoryTransportPair pair = MemoryTransportPair::make();
  SessionClient client{pair.client};
  std::shared_ptr<HostSession> session;
};

}  // namespace testkit
}  // namespace vela
