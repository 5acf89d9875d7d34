#pragma once
// Keeps the host registered with the relay service for as long as the host runs, and turns each
// session notice into a relayed session transport for its owner.
//
// On one long-lived line connection (the registration) it answers the service's challenge with a
// signature of the host identity, publishes the host's public endpoint and whether it accepts relayed
// sessions, and waits for the service's answer: "OK" registers the host (a first notice does too, from a
// service that does not answer), "E <reason>" refuses it and a closed connection is a refusal without
// a reason; each is logged, and only an accepted registration is reported. Then it waits for notices
// "N <token>". For each notice it opens a join connection ("J
// <token>"), after which that connection carries the TCP multiplex, and three relay datagram flows,
// and hands the RelaySessionTransport ("relay/klient", followed by "/" and the client's address when
// the service named it in an "NA" line right before the notice) to `emit`. A broken registration is retried
// after 1, 2, 4, 8, 16, then 30 s.
//
// Threads: the registration runs on a thread of its own, its connection on the network thread
// "vela.relay.host"; each join runs on a thread of its own, its connection and the audio and input
// flows on "vela.relay.host.session", the video flow on "vela.relay.host.video".
#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/net/net_thread.hpp"
#include "platform/net/tcp_connection.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/transport_interfaces.hpp"
#include "transport/relay.hpp"
#include "transport/relay_line.hpp"

namespace vela {

class RelayHostLink : public std::enable_shared_from_this<RelayHostLink> {
 public:
  // Signs a challenge: the host identity's 64-byte Ed25519 signature, or nullopt when the signer fails.
  using Sign = std::function<std::optional<Bytes>(ByteView challenge)>;
  // Receives each joined session, on the join's own thread (the host controller posts it to its main
  // thread); the transport is the receiver's from then on (it closes it).
  using Emit = std::function<void(std::shared_ptr<SessionTransport> transport)>;

  // The limit on the readiness of a registration or join connection and on the service's first line.
  static constexpr int registrationTimeoutMs = 6000;
  static constexpr std::string_view remoteDescription = "relay/klient";
  // Joins in progress at once. Each holds threads of its own: a service that sends notice after notice
  // must not make the host start threads without end; a notice beyond the limit is not followed.
  static constexpr size_t maxJoinsAtOnce = 8;

  struct Params {
    std::string hostID;  // canonical UUID text of the host identity
    Bytes sigPub;        // the identity's raw 32-byte public signing key
    Sign sign;
    Emit emit;
    tavlo::LogSink log;
    tavlo::Scheduler* scheduler = nullptr;  // time limits, back-off, keepalives; must outlive the link
    RelayService service = {};
  };

  // Starts nothing. Throws std::invalid_argument without a scheduler.
  static std::shared_ptr<RelayHostLink> create(Params params);
  // Ends the registration and every join still in progress (their connections are cancelled) and
  // waits for their threads. What publish calls queued on the registration gets up to
  // `publishDrainMs` to leave first: a host that ends withdraws its endpoint this way. Transports
  // already emitted are their receivers'.
  ~RelayHostLink();
  static constexpr int publishDrainMs = 1000;
  RelayHostLink(const RelayHostLink&) = delete;
  RelayHostLink& operator=(const RelayHostLink&) = delete;

  // Starts the registration; does nothing while it runs.
  void start();
  // The registration ends at its next line (the connection is then cancelled), or at once while it
  // waits to retry; no new registration starts.
  void stop();

  // Records the public endpoint ("address:port", or "-" for none) and, while registered, sends it.
  void publishEndpoint(const std::string& endpoint);
  // Records whether relayed sessions are accepted and, while registered, sends it.
  void publishRelayData(bool on);
  // Called on every valid session notice, on the registration's thread.
  void setOnSessionRequest(std::function<void()> onSessionRequest);
  // Called on the registration's thread with true once the service accepted the registration, and
  // with false each time an attempt fails or is refused, or a registration ends with an error (the
  // link then retries).
  void setOnRegistration(std::function<void(bool registered)> onRegistration);

 private:
  explicit RelayHostLink(Params params);

  void registrationLoop();
  // One registration connection, from connecting to its end; throws why it ended.
  void runSignaling();
  // `client`: the client's address as the service named it, or empty.
  void startJoin(const std::array<uint8_t, Relay::tokenBytes>& token, const std::string& client);
  void joinSession(uint64_t joinId, const std::array<uint8_t, Relay::tokenBytes>& token, const std::string& client);
  // Hands out a new connection to the service unless the link is going away.
  std::shared_ptr<tavlo::TcpConnection> connectionFor(const std::shared_ptr<tavlo::NetThread>& thread,
                                                      std::optional<uint64_t> joinId);
  // Sends the first "EP" and "RD" lines, then lets publish calls send on their own.
  void publishInitial(RelayLine& line);
  void clearSignal();
  void reportRegistration(bool registered);
  // Sends one publish line on the registration, counted until the socket took it.
  void sendPublish(const std::shared_ptr<tavlo::TcpConnection>& signal, const std::string& line);
  void log(const std::string& line) const;

  const Params params_;
  const std::shared_ptr<tavlo::NetThread> thread_;  // "vela.relay.host"

  mutable std::mutex mutex_;  // the fields below
  std::condition_variable wake_;
  bool running_ = false;
  bool loopActive_ = false;
  bool destroying_ = false;
  bool backoffOver_ = false;
  std::shared_ptr<tavlo::TcpConnection> signal_;        // the registration's connection while registered
  std::shared_ptr<tavlo::TcpConnection> registration_;  // the registration's connection, for the destructor
  std::optional<std::string> endpoint_;
  bool relayData_ = true;
  std::function<void()> onSessionRequest_;
  std::function<void(bool registered)> onRegistration_;
  // Publish lines the registration's socket has not taken yet; shared with their completions, which
  // may run on the network thread while the link is being destroyed.
  struct PublishesInFlight {
    std::mutex mutex;
    std::condition_variable drained;
    int count = 0;
  };
  const std::shared_ptr<PublishesInFlight> publishesInFlight_ = std::make_shared<PublishesInFlight>();
  std::thread registrationThread_;
  struct Join {
    uint64_t id;
    std::thread thread;
    std::shared_ptr<tavlo::TcpConnection> connection;
    bool done = false;
  };
  std::list<Join> joins_;
  uint64_t nextJoinId_ = 1;
};

}  // namespace vela
