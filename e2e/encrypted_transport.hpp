#pragma once
// A session transport that seals every packet of an inner one once a session key is agreed, and opens
// every envelope that arrives. Before that it lets through only what its rules allow, and it hands
// every inbound control packet to a control intercept, which runs the handshake. The same wrapper
// serves both ends: EncryptedTransport::host for the host, EncryptedTransport::client for the client.
//
// Inbound rules, per inner channel (one pump thread each, so order is kept):
// - An envelope opens under the current key or is dropped (also when there is no key yet).
// - Reliable channels: the control intercept sees each packet first. With encryption required, nothing
//   unsealed passes before the key, and once keyed nothing unsealed is taken from the byte stream at
//   all (whoever can write into it, a relay for one, could otherwise inject input or a re-key). An
//   opened packet whose header names the other reliable channel is delivered there: the inner
//   multiplex cannot read the sealed header.
// - Datagram flows: before the key, unsealed datagrams pass only when encryption is not required.
//   Once keyed, the only unsealed datagram that passes is a bare 16-byte header of message type 0 (a
//   bind or keepalive sent before the peer had the key), and not on the input flow, where it would count
//   as a keepalive: only a sealed keepalive proves that the peer is alive.
// - Every sealed packet is taken at most once, whichever inner channel or flow it comes in by, and a
//   packet this end sealed itself, sent back at it, is never taken. The nonces taken are kept by the
//   channel named in the opened header (ReplayWindow): on the reliable channels every one for the
//   whole session, so a key, button or text frame is never delivered twice (when that set is full the
//   session ends before anything is forgotten); on each datagram flow the most recent ones. A copy of
//   a datagram older than its flow's window opens as new: it can show a pointer position again or
//   repeat a feedback report, a short stretch of microphone sound or a camera picture, and it cannot
//   move the flow away from a client that is still sending (RebindableUDPFlow).
// Outbound, with a key every packet leaves sealed under a nonce of this end's own (SealNonces); a
// packet whose sealing fails is dropped (logged once per wrapper), never sent in plaintext. Without a
// key packets leave unchanged.
//
// The wrapper owns the inner transport: closing or destroying the wrapper closes it. Incoming streams
// finish when the inner ones end.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "e2e/e2e_client_handshake.hpp"
#include "e2e/e2e_envelope.hpp"
#include "e2e/e2e_identity.hpp"
#include "platform/crypto/secret_array.hpp"
#include "platform/runtime/clock.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/transport_interfaces.hpp"

namespace vela {

class EncryptedTransport final : public RebindableTransport, public std::enable_shared_from_this<EncryptedTransport> {
 public:
  // Given the wrapper, one inbound control packet (opened when it came sealed) and whether it came
  // sealed; returns true when it consumed the packet.
  using ControlIntercept = std::function<bool(EncryptedTransport& wrapper, ByteView packet, bool sealed)>;
  // Seals one packet under `nonce`; the envelope's seal unless a test substitutes a failing one.
  using Sealer = std::function<std::optional<Bytes>(ByteView packet, const tavlo::crypto::SymmetricKey& key,
                                                    const E2EEnvelope::Nonce& nonce)>;

  static constexpr uint64_t clientAckTimeoutMs = 1500;
  static constexpr uint64_t keepaliveIntervalUs = 1'000'000;
  static constexpr int minDatagramSize = 256;
  // Datagrams a flow holds for a consumer that stalls, as the flows under it do; the oldest go first.
  static constexpr size_t datagramQueueLimit = 4096;
  static constexpr const char* keyedLine = "🔐 E2E aktywne (ChaCha20-Poly1305, ECDH efemeryczny)";

  static std::shared_ptr<EncryptedTransport> create(std::shared_ptr<SessionTransport> inner, tavlo::LogSink onLog,
                                                    bool requireEncrypted, ControlIntercept controlIntercept = {},
                                                    Sealer sealer = {});

  // The host's wrapper: answers the client's E2EHello with one unsealed E2EAck signed by `identity`,
  // installing the key before the ack leaves; with `requireSecure` a hello without a valid gate MAC gets silence. Returns
  // at once; the handshake runs on the control pump. A re-key is accepted only sealed under the
  // current key.
  static std::shared_ptr<EncryptedTransport> host(std::shared_ptr<SessionTransport> inner,
                                                  std::shared_ptr<const E2EIdentity> identity, bool requireSecure,
                                                  tavlo::LogSink onLog);

  // The host's wrapper for a transport whose handshake has already been answered (the controller runs
  // the first handshake of every connection before any thread of the connection's own exists): `key`
  // is installed before the pumps start, so every packet the pumps judge is judged under it. Later
  // re-keys are taken as by host().
  static std::shared_ptr<EncryptedTransport> hostKeyed(std::shared_ptr<SessionTransport> inner,
                                                       std::shared_ptr<const E2EIdentity> identity,
                                                       const tavlo::crypto::SymmetricKey& key, tavlo::LogSink onLog);

  // The client's wrapper (the test peer): sends one E2EHello (with the gate MAC when `hostSigPub` is
  // known) on the inner control channel and blocks up to 1,500 ms of `clock` for a valid E2EAck.
  // Always returns the wrapper; isEncrypted() tells whether a key was agreed.
  static std::shared_ptr<EncryptedTransport> client(std::shared_ptr<SessionTransport> inner,
                                                    std::optional<Bytes> hostSigPub,
                                                    E2EClientHandshake::VerifyHost verify, tavlo::LogSink onLog,
                                                    const tavlo::Clock& clock = tavlo::SteadyClock::shared());

  ~EncryptedTransport() override;
  EncryptedTransport(const EncryptedTransport&) = delete;
  EncryptedTransport& operator=(const EncryptedTransport&) = delete;

  bool isEncrypted() const;

  ReliableChannel& control() override;
  ReliableChannel& inputReliable() override;
  DatagramFlow& video() override;
  DatagramFlow& audio() override;
  DatagramFlow& inputUnreliable() override;
  std::string remoteDescription() const override;
  // Stops the client keepalive and closes the inner transport; the streams finish once drained.
  void close() override;

  // Client side: rebinds the inner unreliable-input flow and sends one bind header through this
  // wrapper's flow (sealed when keyed), the first datagram the host can adopt the new source by.
  bool rebindInputFlow() override;
  // Client side: a bare header on `audio` (channel 2) and on `inputUnreliable` (channel 4) every
  // second, the first one second from now, through this wrapper (so sealed once keyed). A second start
  // replaces the first. `scheduler` must outlive the wrapper.
  void startClientKeepalive(tavlo::Scheduler& scheduler);

  // Used by the handshakes: the inner transport's control channel (packets leave unsealed), and the
  // installation of a new session key together with the adoption verifiers of the inner flows.
  ReliableChannel& innerControl();
  void installKey(const tavlo::crypto::SymmetricKey& key);
  void log(const std::string& line) const;

 private:
  struct Private {};
  static ControlIntercept hostIntercept(std::shared_ptr<const E2EIdentity> identity, bool requireSecure);

 public:
  EncryptedTransport(Private, std::shared_ptr<SessionTransport> inner, tavlo::LogSink onLog, bool requireEncrypted,
                     ControlIntercept controlIntercept, Sealer sealer);

 private:
  class EncReliable;
  class EncDatagram;
  struct KeyState;
  struct Inbound;

  std::optional<tavlo::crypto::SymmetricKey> currentKey() const;
  // The envelope of `packet`, or nullopt when sealing failed: the packet is then dropped, never sent
  // in plaintext (the first failure is logged).
  std::optional<Bytes> seal(ByteView packet, const tavlo::crypto::SymmetricKey& key);
  bool reliablePlaintextAllowed(bool sealed) const;
  void startPumps();
  // The packet that `envelope` (which isEnvelope() accepted) seals, when it opens under `key` and is
  // neither a copy of one taken before nor one of this end's own; `innerChannel` is the way it came in.
  std::optional<Bytes> openNew(ByteView envelope, const tavlo::crypto::SymmetricKey& key, Channel innerChannel);
  void endSessionBeforeForgetting();
  void reliablePump(EncReliable& channel);
  void deliverReliable(EncReliable& target, Bytes packet, bool sealed);
  void datagramPump(EncDatagram& flow);
  void installAdoptionVerifiers();

  const std::shared_ptr<SessionTransport> inner_;
  const tavlo::LogSink onLog_;
  const bool requireEncrypted_;
  const ControlIntercept controlIntercept_;
  const Sealer sealer_;
  const std::shared_ptr<KeyState> keyState_;  // shared with the adoption verifiers of the inner flows
  const std::shared_ptr<Inbound> inbound_;    // likewise

  mutable std::mutex mutex_;  // keepaliveTimer_
  tavlo::ScopedTimer keepaliveTimer_;
  std::atomic<bool> sealFailureLogged_{false};
  std::atomic<bool> reliableExhausted_{false};

  std::unique_ptr<EncReliable> control_;
  std::unique_ptr<EncReliable> inputReliable_;
  std::unique_ptr<EncDatagram> video_;
  std::unique_ptr<EncDatagram> audio_;
  std::unique_ptr<EncDatagram> inputUnreliable_;
  std::vector<std::thread> pumps_;
};

}  // namespace vela
