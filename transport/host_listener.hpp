#pragma once
// The host's listener for the direct path. It listens on four consecutive ports (TCP control on the
// base, UDP video, audio and unreliable input on the next three) and pairs each client's TCP
// connection and three UDP flows into one DirectSessionTransport, yielded on `sessions`.
//
// The pieces arrive as independent connections in any interleaving. Each TCP connection waits for its
// three flows, and a flow joins only a connection from its own IP address (the newest one of that
// address that still lacks the flow's slot), so what one address sends never takes or cancels the
// pieces of another. Waiting connections are capped in total and per address (an IPv6 one by its
// /64); a new one over a cap closes the oldest of its own address, or when the total is full the oldest
// of the address that holds the most. A UDP flow that arrives while no connection from its address waits but sessions are live
// is a client whose address changed: 300 ms later it is offered for adoption to the live transport
// whose peer has the same IP address (else the newest), where it must prove the session key before it
// carries anything. A connection is read only once its transport is assembled: what a client sends
// before that waits in the kernel.
//
// A connection that never becomes a transport is closed, with whatever flows it gathered, once it has
// waited pendingConnectionTimeoutUs: the session's hello watchdog starts only once a transport exists,
// and a peer that connects and does nothing must not hold a descriptor for ever.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/net/net_thread.hpp"
#include "platform/net/tcp_listen_socket.hpp"
#include "platform/net/udp_listen_socket.hpp"
#include "platform/runtime/capped_waiting_list.hpp"
#include "platform/runtime/scheduler.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/transport_interfaces.hpp"
#include "transport/direct_session_transport.hpp"
#include "transport/log_rate_limiter.hpp"

namespace vela {

class HostListener final : public TransportListener, public std::enable_shared_from_this<HostListener> {
 public:
  // How long a UDP flow with no TCP connection waiting has to be claimed by a new connection before it
  // is taken for a live session's moved client.
  static constexpr uint64_t lateChildDelayUs = 300'000;
  // Live transports that can still receive late flows; older ones are forgotten, not closed.
  static constexpr size_t maxLiveTransports = 3;
  // How long a TCP connection may wait for its three flows; as long as a session waits for its hello.
  static constexpr uint64_t pendingConnectionTimeoutUs = 8'000'000;
  // Connections waiting for their flows, in total and per address: the caps of every other wait for
  // something a peer has not proved yet.
  static constexpr size_t maxPendingConnections = tavlo::CappedWaitingList<int>::defaultTotalCap;
  static constexpr size_t maxPendingConnectionsPerAddress = tavlo::CappedWaitingList<int>::defaultPerAddressCap;
  // Datagrams a flow holds until a transport takes it (assembly or adoption), oldest dropped first:
  // anyone can open a flow, so what it may keep before it proves anything is small. Each datagram is
  // at most a receive slot, so a waiting flow holds at most 64 × 4,096 bytes; a client sends a handful
  // before its flows are taken.
  static constexpr size_t unprovenFlowHoldLimit = 64;
  // Lines any peer can make the host write (late flows offered for adoption here, connections the host
  // controller refuses on a switched-off path): at most this many per window, each kind on its own.
  static constexpr uint32_t peerLogLinesPerWindow = 6;
  static constexpr uint64_t peerLogWindowUs = 10'000'000;

  // `scheduler` runs the late-flow checks and its clock times adoption candidates; it must outlive
  // the listener. Without one, the listener keeps a timer thread of its own.
  static std::shared_ptr<HostListener> create(tavlo::Scheduler* scheduler = nullptr);
  // Stops listening. Transports already yielded go on.
  ~HostListener() override;

  // Set before start(): where log lines go (also the adoption lines of every transport's flows).
  void setOnLog(tavlo::LogSink onLog);
  // Listens on `port` (TCP) and port + 1 to port + 3 (UDP). Throws TransportError::badEndpoint for a
  // port that cannot start a block of four, std::system_error when a port cannot be bound. A failed
  // start leaves nothing of itself open.
  void start(uint16_t port) override;
  SessionStream& sessions() override { return sessions_; }
  // Closes the listening sockets and finishes `sessions`. Pending pieces and live transports are
  // left as they are: live sessions go on.
  void stop() override;

  // The assembly state, for diagnostics and tests.
  struct Snapshot {
    int64_t connectionsTaken = 0;  // TCP connections handled so far
    int64_t flowsTaken = 0;        // UDP flows handled so far
    size_t pendingConnections = 0;
    std::array<size_t, 3> pairedFlows{};               // by Slot: flows waiting with their connection
    std::array<std::string, 3> unpairedFlowRemotes;    // by Slot: the flow with no connection; empty when none
    std::array<size_t, 3> unpairedFlowHeld{};          // datagrams that flow holds
    size_t liveTransports = 0;
    size_t scheduledChecks = 0;  // late-flow and waiting-connection checks not yet run
  };
  Snapshot snapshot() const;
  // Returns once the listener's thread has run everything queued before the call (tests use it to
  // know a connection, a flow or a late check has been handled).
  void waitIdle();

 private:
  // A TCP connection and the flows of its address that it gathered so far.
  struct PendingConnection {
    std::shared_ptr<MultiplexedTCP> mux;
    std::string remote;  // the printed remote endpoint
    std::string ip;      // its host part: flows join by it
    std::array<std::shared_ptr<UDPFlow>, 3> flows;  // by Slot
    std::optional<tavlo::Scheduler::JobId> expiry;
  };
  // A flow from an address with no connection waiting: a moved client's, until its late check.
  struct UnpairedFlow {
    std::shared_ptr<UDPFlow> flow;
    std::string ip;
    std::optional<tavlo::Scheduler::JobId> lateCheck;  // of this flow; a newer flow cancels it
  };

  explicit HostListener(tavlo::Scheduler* scheduler);
  void handleConnection(std::shared_ptr<tavlo::TcpConnection> connection);  // NetThread
  void handlePeer(Slot slot, std::shared_ptr<tavlo::UdpLink> link);         // NetThread
  void lateChildCheck(const std::shared_ptr<UDPFlow>& flow, Slot slot, const std::string& remote);  // NetThread
  // Runs `check` on the listener's thread after `delayUs` of the scheduler, unless the listener went.
  tavlo::Scheduler::JobId scheduleCheck(uint64_t delayUs, std::function<void(HostListener&)> check);
  void cancelCheck(tavlo::Scheduler::JobId id);
  void expirePending(const std::shared_ptr<PendingConnection>& pending);  // NetThread
  // Builds and yields the transport of `pending` once it has all three flows.
  void tryAssemble(const std::shared_ptr<PendingConnection>& pending);
  // Closes what a displaced or expired connection holds and cancels its check.
  void discard(const std::shared_ptr<PendingConnection>& pending);
  void forgetClosedLocked();
  void log(const std::string& line) const;

  std::unique_ptr<tavlo::ThreadScheduler> ownScheduler_;
  tavlo::Scheduler& scheduler_;
  const std::shared_ptr<tavlo::NetThread> q_;
  SessionStream sessions_;

  mutable std::mutex mutex_;  // everything below
  std::shared_ptr<tavlo::TcpListenSocket> tcpListener_;
  std::vector<std::unique_ptr<tavlo::UdpListenSocket>> udpListeners_;
  int64_t connectionsTaken_ = 0;
  int64_t flowsTaken_ = 0;
  std::vector<std::shared_ptr<PendingConnection>> pendingConnections_;  // oldest first
  tavlo::CappedWaitingList<PendingConnection> pendingCaps_{maxPendingConnections, maxPendingConnectionsPerAddress};
  std::array<UnpairedFlow, 3> unpaired_;  // by Slot
  std::vector<std::shared_ptr<DirectSessionTransport>> liveTransports_;  // oldest first
  tavlo::LogSink onLog_;
  std::set<tavlo::Scheduler::JobId> lateChecks_;  // late-flow and waiting-connection checks
  LogRateLimiter lateFlowLog_{peerLogWindowUs, peerLogLinesPerWindow};
  LogRateLimiter expiredConnectionLog_{peerLogWindowUs, peerLogLinesPerWindow};
};

}  // namespace vela
