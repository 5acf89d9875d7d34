#pragma once
// The datagram flow a direct session transport exposes for video, audio and unreliable input. It wraps
// a current flow (the primary) and can move to a new one: at once, when the client opened it itself
// (its input rebind), or when the host saw a new source address and a datagram on the new flow passes
// the adoption verifier (it opens under the session key and was never taken before) after the primary
// has gone silent. Until then the new flow is a candidate; one that keeps failing is dropped. The
// consumer sees one uninterrupted stream across any number of moves, and every send goes to the
// current primary.
//
// Why silence: the peers seal with random nonces and the verifier remembers only recent ones, so a
// copy of an old datagram, sent from anywhere, can pass it. What it cannot do is make the client stop
// sending. A client whose address changed (its NAT rebound, it moved network or opened a new socket)
// has stopped sending from the old one, and its keepalive runs every second; so a new source is taken
// only once the primary has been silent for longer than that. And because a client may also just have
// paused, the flow it left is kept as the fallback: the client's next datagram that passes the
// verifier there takes the flow back at once, and the source it was moved to is closed.
//
// A flow's own silence says little when the client has nothing to send on it (on the video flow a
// client speaks only when something was lost): the session's other flows carry its keepalives. So while
// a sibling flow still hears the client at the address this flow points to, only a source at that same
// address (the client's NAT gave the quiet flow a new port) can take it; a client that moved falls
// silent on every flow at its old address.
#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/clock.hpp"
#include "platform/runtime/system_log.hpp"
#include "transport/forwardable_flow.hpp"
#include "transport/log_rate_limiter.hpp"

namespace vela {

class RebindableUDPFlow final : public AdoptableDatagramFlow, public std::enable_shared_from_this<RebindableUDPFlow> {
 public:
  static constexpr size_t maxCandidates = 4;
  // A candidate is dropped at its 33rd datagram that fails verification...
  static constexpr int maxRejections = 32;
  // ...or at the first one that arrives this long after it was offered or later (also a proven one
  // while the primary keeps sending).
  static constexpr uint64_t candidateWindowUs = 15'000'001;
  // A proven candidate is adopted only when nothing came from the primary for this long: longer than
  // the client's one-second keepalive, with room for a late one.
  static constexpr uint64_t primarySilenceUs = 1'500'000;
  // Datagrams held for a consumer that stalls; beyond it the oldest are dropped.
  static constexpr size_t incomingLimit = 4096;
  // Lines about sources that have proved nothing (offered, refused, dropped, held): any peer can make
  // them by sending from new ports, so at most this many per window are written.
  static constexpr uint32_t unprovenLogLinesPerWindow = 6;
  static constexpr uint64_t unprovenLogWindowUs = 10'000'000;

  // Starts forwarding the primary's datagrams. `clock` times the candidates and the primary's silence;
  // it must outlive this flow and the flows handed to it.
  // `remote` is the primary's source ("a.b.c.d:port", "[v6]:port"); its address is where the client is
  // heard, and unknown (empty) it leaves the flow to its own silence.
  static std::shared_ptr<RebindableUDPFlow> create(std::shared_ptr<ForwardableFlow> primary, std::string label,
                                                   const tavlo::Clock& clock = tavlo::SteadyClock::shared(),
                                                   std::string remote = {});
  // Closes the primary, the fallback and every candidate.
  ~RebindableUDPFlow() override;

  void setOnLog(tavlo::LogSink onLog);
  // Offers a new flow: trusted (`verified`, the client's own rebind) it becomes the primary at once;
  // otherwise it becomes a candidate that must prove itself, or is refused when there is no verifier.
  void adopt(std::shared_ptr<ForwardableFlow> flow, const std::string& remote, bool verified);
  void setAdoptionVerifier(Verifier verifier) override;
  // The other flows of the same session (held weakly), asked before a source at another address may
  // take this flow.
  void setSiblings(std::vector<std::weak_ptr<RebindableUDPFlow>> siblings);
  // Whether the current source is at address `ip` and was heard within primarySilenceUs of `nowUs`.
  bool hearsFrom(const std::string& ip, uint64_t nowUs) const;

  void send(ByteView datagram) override;
  void sendBatch(std::span<const ByteView> datagrams) override;
  PacketStream& incoming() override { return *incoming_; }
  void close() override;

  const std::string& label() const { return label_; }
  // Switches of the primary, takings-back included.
  int adoptions() const;
  size_t candidateCount() const;
  bool hasFallback() const;

 private:
  // One flow handed to this object and what it is to it now. The role changes under the mutex and is
  // read without it by the flow's forward, so a primary's datagrams cost one load and one clock read.
  struct Link {
    enum Role : uint8_t { candidate, primary, fallback, gone };
    std::shared_ptr<ForwardableFlow> flow;
    std::string remote;  // for log lines; empty for the first primary
    uint64_t sinceUs = 0;
    std::atomic<uint8_t> role{candidate};
    std::atomic<uint64_t> heardUs{0};  // the last datagram that came while it was the primary
    int rejected = 0;                  // guarded by the flow's mutex
    bool heldLogged = false;           // likewise
  };
  enum class Verdict : uint8_t { promoted, wait, forget, forgetHeld };

  RebindableUDPFlow(std::string label, const tavlo::Clock& clock);
  static std::shared_ptr<Link> makeLink(std::shared_ptr<ForwardableFlow> flow, std::string remote, uint64_t nowUs);
  void attach(const std::shared_ptr<Link>& link);
  void judge(const std::shared_ptr<Link>& link, Bytes&& datagram);
  void judgeCandidate(const std::shared_ptr<Link>& link, Bytes&& datagram);
  void judgeFallback(const std::shared_ptr<Link>& link, Bytes&& datagram);
  Verdict classify(const std::shared_ptr<Link>& link, ByteView datagram, std::shared_ptr<Link>& dropped,
                   int& count, bool& logHeld);
  void forgetLink(const std::shared_ptr<Link>& link);
  void log(const std::string& line) const;
  // Whether a line about an unproven source may be written now, and how it ends (unprovenLog_).
  std::optional<std::string> admitUnprovenLine();

  const std::string label_;
  const tavlo::Clock& clock_;
  const std::shared_ptr<PacketStream> incoming_;

  mutable std::mutex mutex_;  // everything below, and each link's `rejected` and `heldLogged`
  tavlo::LogSink onLog_;
  std::shared_ptr<Link> primary_;
  std::shared_ptr<Link> fallback_;  // the primary before the last adoption of a candidate
  Verifier verifier_;
  std::list<std::shared_ptr<Link>> candidates_;  // oldest first
  std::vector<std::weak_ptr<RebindableUDPFlow>> siblings_;
  bool closed_ = false;
  int adoptions_ = 0;
  LogRateLimiter unprovenLog_{unprovenLogWindowUs, unprovenLogLinesPerWindow};
};

}  // namespace vela
