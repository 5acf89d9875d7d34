#pragma once
// The host's listener for the direct path. It listens on four consecutive ports (TCP control on the
// base, UDP video, audio and unreliable input on the next three) and pairs each client's TCP
// connection and three UDP flows into one DirectSessionTransport, yielded on `sessions`.
//
// A connection that says nothing cannot be told from a client that has not spoken yet, so a race of
// caps alone cannot keep a flood from locking clients out. With a proof check set (the host controller
// sets one: the first packet is this host's E2E hello with a gate MAC that checks, which only a client
// told the host's key can make), a connection gets flows only once it has proved itself: until then
// the flows of its address wait by themselves, and the first packet of every connection is read (at
// most maxFirstFrameBytes) and checked. A proved connection takes its address's flows that came after
// it and those that come later; a connection that never speaks never receives one.
//
// What waits is bounded and shared fairly. Connections that have not proved themselves wait in a room
// sized from the descriptor limit, filed by address blocks (IPv4 /24 and address, IPv6 /48, /64 and
// address): when it is full, the oldest of the fullest block goes, so a flood from many addresses or
// from one pushes out its own connections, never a client's that came a round trip ago. A proved
// connection is never pushed out by one that has not proved itself (they are capped apart). Every
// waiting connection is closed after pendingConnectionTimeoutUs. Flows wait per address and slot, in a
// room of their own shared the same way: what one address sends never takes or cancels what another
// waits with.
//
// Without a proof check (tests of the transport alone) every connection counts as proved on arrival.
//
// A flow that nobody's connection takes while sessions are live is a client whose address changed:
// 300 ms later it is offered for adoption to the live transport whose peer has the same IP address
// (else the newest), where it must prove the session key before it carries anything; while a
// connection of its address that came before it has still to prove itself, it waits for that one. A
// proved connection is read only once its transport is assembled: what a client sends after its first
// packet waits in the kernel.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
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
  // How long a TCP connection may wait for its proof and its three flows; as long as a session waits
  // for its hello.
  static constexpr uint64_t pendingConnectionTimeoutUs = 8'000'000;
  // Proved connections waiting for their flows, in total and per address (with no proof check, every
  // connection waiting for its flows).
  static constexpr size_t maxPendingConnections = tavlo::CappedWaitingList<int>::defaultTotalCap;
  static constexpr size_t maxPendingConnectionsPerAddress = tavlo::CappedWaitingList<int>::defaultPerAddressCap;
  // The longest first packet read before a connection proved itself: an E2E hello is 96 bytes. Frames
  // too short to be a packet (a client's empty first frame) may come before it, within twice as much.
  static constexpr uint32_t maxFirstFrameBytes = 1024;
  // Flows waiting for a connection of their address (or for their late check), shared by address blocks.
  static constexpr size_t maxWaitingFlows = 96;
  // Connections that have not proved themselves, for a descriptor limit: each holds a descriptor, so a
  // quarter of the limit, leaving the rest to sessions and the host's own files.
  static size_t waitingRoomFor(uint64_t descriptorLimit);
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

  // What the first packet of a connection says of it: proved, or refused (with the line to log, if any;
  // the connection is closed).
  struct FirstPacketVerdict {
    bool proved = false;
    std::optional<std::string> refusalLine;
  };
  using ProofCheck = std::function<FirstPacketVerdict(ByteView firstPacket)>;
  // Set before start(): how a connection proves itself; runs on the listener's thread. Unset, every
  // connection counts as proved on arrival.
  void setProofCheck(ProofCheck check);
  // Set before start(): the room of connections that have not proved themselves; 0 (the default)
  // sizes it from the descriptor limit at start().
  void setWaitingRoom(size_t connections);

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
    size_t pendingConnections = 0;    // proved or not
    size_t unprovedConnections = 0;   // of them, not proved yet
    size_t waitingRoom = 0;           // the room of those not proved
    size_t waitingFlows = 0;          // flows waiting with no connection, every slot and address
    std::array<size_t, 3> pairedFlows{};               // by Slot: flows waiting with their connection
    std::array<std::string, 3> unpairedFlowRemotes;    // by Slot: the newest flow with no connection; empty when none
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
    std::shared_ptr<tavlo::TcpConnection> connection;
    std::shared_ptr<MultiplexedTCP> mux;  // once proved (at once without a proof check)
    std::string remote;  // the printed remote endpoint
    std::string ip;      // its host part: flows join by it
    std::vector<std::string> blocks;  // the address blocks it waits under
    uint64_t arrival = 0;             // order of arrival among connections and flows
    uint64_t arrivalUs = 0;
    bool proved = false;
    bool readFirst = false;  // its first packet was read (and is the start of its stream)
    Bytes firstBytes;        // what was read before the proof; listener's thread only
    std::array<std::shared_ptr<UDPFlow>, 3> flows;  // by Slot
    std::optional<tavlo::Scheduler::JobId> expiry;
  };
  // A flow from an address none of whose proved connections took it.
  struct WaitingFlow {
    std::shared_ptr<UDPFlow> flow;
    Slot slot = Slot::video;
    std::string remote;
    std::string ip;
    uint64_t arrival = 0;
    uint64_t sinceUs = 0;
    std::optional<tavlo::Scheduler::JobId> lateCheck;
  };
  using FlowKey = std::pair<std::string, Slot>;  // ip, slot

  explicit HostListener(tavlo::Scheduler* scheduler);
  void handleConnection(std::shared_ptr<tavlo::TcpConnection> connection);  // NetThread
  void readFirstPacket(const std::shared_ptr<PendingConnection>& pending);    // NetThread
  void firstPacketRead(const std::shared_ptr<PendingConnection>& pending, ByteView data, bool ended);  // NetThread
  // Moves `pending` among the proved and gives it the flows of its address that came after it.
  void prove(const std::shared_ptr<PendingConnection>& pending);  // NetThread
  void handlePeer(Slot slot, std::shared_ptr<tavlo::UdpLink> link);         // NetThread
  void lateChildCheck(const std::shared_ptr<WaitingFlow>& waiting);          // NetThread
  void scheduleLateCheck(const std::shared_ptr<WaitingFlow>& waiting);
  // Runs `check` on the listener's thread after `delayUs` of the scheduler, unless the listener went.
  tavlo::Scheduler::JobId scheduleCheck(uint64_t delayUs, std::function<void(HostListener&)> check);
  void cancelCheck(tavlo::Scheduler::JobId id);
  void expirePending(const std::shared_ptr<PendingConnection>& pending);  // NetThread
  // Unproved connections arrive in time order, so one timer ends them all: it closes those whose time
  // is up and waits for the next. A timer of their own each would cost a flood two timer wake-ups a
  // connection.
  void armSilenceSweep(uint64_t dueUs);
  void sweepSilent();  // NetThread
  // Builds and yields the transport of `pending` once it has all three flows.
  void tryAssemble(const std::shared_ptr<PendingConnection>& pending);
  // Closes what a displaced, refused or expired connection holds and cancels its check.
  void discard(const std::shared_ptr<PendingConnection>& pending);
  void discard(const std::shared_ptr<WaitingFlow>& waiting);
  // Under the lock: the connection waits no longer (false when it was not waiting).
  bool removePendingLocked(const std::shared_ptr<PendingConnection>& pending);
  void removeWaitingFlowLocked(const std::shared_ptr<WaitingFlow>& waiting);
  bool earlierUnprovedLocked(const std::string& ip, uint64_t arrival) const;
  void forgetClosedLocked();
  void log(const std::string& line) const;

  std::unique_ptr<tavlo::ThreadScheduler> ownScheduler_;
  tavlo::Scheduler& scheduler_;
  const std::shared_ptr<tavlo::NetThread> q_;
  SessionStream sessions_;

  mutable std::mutex mutex_;  // everything below
  std::shared_ptr<tavlo::TcpListenSocket> tcpListener_;
  std::vector<std::unique_ptr<tavlo::UdpListenSocket>> udpListeners_;
  ProofCheck proofCheck_;
  size_t waitingRoomSetting_ = 0;
  size_t waitingRoom_ = 0;
  int64_t connectionsTaken_ = 0;
  int64_t flowsTaken_ = 0;
  uint64_t arrivals_ = 0;
  std::set<std::shared_ptr<PendingConnection>> unproved_;
  std::deque<std::weak_ptr<PendingConnection>> silentOrder_;  // unproved ones, oldest first (stale ones skipped)
  bool silenceSweepArmed_ = false;
  std::map<std::string, std::set<uint64_t>> unprovedArrivalsByIp_;
  std::unique_ptr<tavlo::CappedWaitingList<PendingConnection>> unprovedRoom_;
  std::vector<std::shared_ptr<PendingConnection>> proved_;  // oldest first
  tavlo::CappedWaitingList<PendingConnection> provedCaps_{maxPendingConnections, maxPendingConnectionsPerAddress};
  std::map<FlowKey, std::shared_ptr<WaitingFlow>> waitingFlows_;
  tavlo::CappedWaitingList<WaitingFlow> waitingFlowRoom_{maxWaitingFlows, maxWaitingFlows};
  std::vector<std::shared_ptr<DirectSessionTransport>> liveTransports_;  // oldest first
  tavlo::LogSink onLog_;
  std::set<tavlo::Scheduler::JobId> lateChecks_;  // late-flow and waiting-connection checks
  LogRateLimiter lateFlowLog_{peerLogWindowUs, peerLogLinesPerWindow};
  LogRateLimiter expiredConnectionLog_{peerLogWindowUs, peerLogLinesPerWindow};
  LogRateLimiter refusedConnectionLog_{peerLogWindowUs, peerLogLinesPerWindow};
};

}  // namespace vela
