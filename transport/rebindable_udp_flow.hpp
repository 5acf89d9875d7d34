#pragma once
// The datagram flow a direct session transport exposes for video, audio and unreliable input. It wraps
// a current flow (the primary) and can move to a new one: at once, when the client opened it itself
// (its input rebind), or once a datagram on the new flow passes the adoption verifier (a datagram that
// opens under the session key and was never taken before: a copy proves nothing about its sender)
// when the host saw a new source address. Until then the new flow is a candidate; one that keeps
// failing is dropped. The consumer sees one uninterrupted stream across any number of moves, and every
// send goes to the current primary.
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

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
  // ...or at the first one that arrives this long after it was offered or later.
  static constexpr uint64_t candidateWindowUs = 15'000'001;
  // Datagrams held for a consumer that stalls; beyond it the oldest are dropped.
  static constexpr size_t incomingLimit = 4096;
  // Lines about sources that have proved nothing (offered, refused, dropped): any peer can make them
  // by sending from new ports, so at most this many per window are written.
  static constexpr uint32_t unprovenLogLinesPerWindow = 6;
  static constexpr uint64_t unprovenLogWindowUs = 10'000'000;

  // Starts forwarding the primary's datagrams. `clock` times the candidates.
  static std::shared_ptr<RebindableUDPFlow> create(std::shared_ptr<ForwardableFlow> primary, std::string label,
                                                   const tavlo::Clock& clock = tavlo::SteadyClock::shared());
  // Closes the primary and every candidate.
  ~RebindableUDPFlow() override;

  void setOnLog(tavlo::LogSink onLog);
  // Offers a new flow: trusted (`verified`, the client's own rebind) it becomes the primary at once;
  // otherwise it becomes a candidate that must prove itself, or is refused when there is no verifier.
  void adopt(std::shared_ptr<ForwardableFlow> flow, const std::string& remote, bool verified);
  void setAdoptionVerifier(Verifier verifier) override;

  void send(ByteView datagram) override;
  void sendBatch(std::span<const ByteView> datagrams) override;
  PacketStream& incoming() override { return *incoming_; }
  void close() override;

  const std::string& label() const { return label_; }
  int adoptions() const;
  size_t candidateCount() const;

 private:
  struct Candidate {
    std::shared_ptr<ForwardableFlow> flow;
    std::string remote;
    uint64_t sinceUs;
    int rejected = 0;  // guarded by the flow's mutex
  };
  enum class Verdict : uint8_t { promote, wait, forget };

  RebindableUDPFlow(std::shared_ptr<ForwardableFlow> primary, std::string label, const tavlo::Clock& clock);
  void pump(const std::shared_ptr<ForwardableFlow>& flow);
  void watch(const std::shared_ptr<Candidate>& candidate);
  Verdict classify(const std::shared_ptr<Candidate>& candidate, ByteView datagram);
  void promote(const std::shared_ptr<Candidate>& candidate);
  void removeCandidate(const std::shared_ptr<Candidate>& candidate);
  void log(const std::string& line) const;
  // Whether a line about an unproven source may be written now, and how it ends (unprovenLog_).
  std::optional<std::string> admitUnprovenLine();

  const std::string label_;
  const tavlo::Clock& clock_;
  const std::shared_ptr<PacketStream> incoming_;

  mutable std::mutex mutex_;  // everything below, and each candidate's `rejected`
  tavlo::LogSink onLog_;
  std::shared_ptr<ForwardableFlow> primary_;
  Verifier verifier_;
  std::list<std::shared_ptr<Candidate>> candidates_;  // oldest first
  bool closed_ = false;
  int adoptions_ = 0;
  LogRateLimiter unprovenLog_{unprovenLogWindowUs, unprovenLogLinesPerWindow};
};

}  // namespace vela
