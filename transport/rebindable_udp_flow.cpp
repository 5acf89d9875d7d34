#include "transport/rebindable_udp_flow.hpp"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

namespace vela {

std::shared_ptr<RebindableUDPFlow> RebindableUDPFlow::create(std::shared_ptr<ForwardableFlow> primary,
                                                             std::string label, const tavlo::Clock& clock) {
  auto flow = std::shared_ptr<RebindableUDPFlow>(new RebindableUDPFlow(primary, std::move(label), clock));
  flow->pump(primary);
  return flow;
}

RebindableUDPFlow::RebindableUDPFlow(std::shared_ptr<ForwardableFlow> primary, std::string label,
                                     const tavlo::Clock& clock)
    : label_(std::move(label)), clock_(clock), incoming_(std::make_shared<PacketStream>(incomingLimit)),
      primary_(std::move(primary)) {}

RebindableUDPFlow::~RebindableUDPFlow() { close(); }

void RebindableUDPFlow::setOnLog(tavlo::LogSink onLog) {
  std::lock_guard guard(mutex_);
  onLog_ = std::move(onLog);
}

void RebindableUDPFlow::log(const std::string& line) const {
  tavlo::LogSink sink;
  {
    std::lock_guard guard(mutex_);
    sink = onLog_;
  }
  if (sink) sink(line);
}

std::optional<std::string> RebindableUDPFlow::admitUnprovenLine() {
  std::lock_guard guard(mutex_);
  return unprovenLog_.admit(clock_.nowUs());
}

// The primary's datagrams go straight into the one stream. The forward holds the stream, not this
// object, and ends with the flow (closed, failed or replaced); the stream itself goes on.
void RebindableUDPFlow::pump(const std::shared_ptr<ForwardableFlow>& flow) {
  flow->forwardTo({[stream = incoming_](Bytes&& datagram) { stream->send(std::move(datagram)); }, {}});
}

void RebindableUDPFlow::adopt(std::shared_ptr<ForwardableFlow> flow, const std::string& remote, bool verified) {
  std::shared_ptr<ForwardableFlow> previous;
  std::shared_ptr<Candidate> evicted;
  std::shared_ptr<Candidate> candidate;
  int count = 0;
  enum { refusedClosed, trusted, refusedNoVerifier, listed } outcome;
  {
    std::lock_guard guard(mutex_);
    if (closed_) {
      outcome = refusedClosed;
    } else if (verified) {
      previous = std::exchange(primary_, flow);
      count = ++adoptions_;
      outcome = trusted;
    } else if (!verifier_) {
      outcome = refusedNoVerifier;
    } else {
      if (candidates_.size() >= maxCandidates) {
        evicted = candidates_.front();
        candidates_.pop_front();
      }
      candidate = std::make_shared<Candidate>(Candidate{flow, remote, clock_.nowUs()});
      candidates_.push_back(candidate);
      outcome = listed;
    }
  }
  switch (outcome) {
    case refusedClosed:
      flow->close();
      return;
    case trusted:
      if (previous) previous->close();
      pump(flow);
      log("🔁 " + label_ + ": przepięty na nowe gniazdo (" + remote + ", #" + std::to_string(count) + ")");
      return;
    case refusedNoVerifier:
      flow->close();
      if (auto end = admitUnprovenLine())
        log("🔁 " + label_ + ": spóźnione dziecko " + remote + " odrzucone — brak weryfikatora (sesja bez E2E)" + *end);
      return;
    case listed:
      if (evicted) evicted->flow->close();
      if (auto end = admitUnprovenLine())
        log("🔁 " + label_ + ": kandydat " + remote + " — czekam na datagram z pieczęcią sesji" + *end);
      watch(candidate);
      return;
  }
}

// Every datagram of a candidate is judged until one proves the source; from then on the candidate's
// flow is the primary and this same forward delivers its datagrams, the proving one included. Once the
// candidate is forgotten, what it still had waiting is dropped unjudged: a source that failed its
// proof costs one line, not one per datagram it managed to send.
void RebindableUDPFlow::watch(const std::shared_ptr<Candidate>& candidate) {
  std::weak_ptr<RebindableUDPFlow> weak = weak_from_this();
  auto stream = incoming_;
  ForwardableFlow::Forward forward;
  enum Phase : uint8_t { judging, promoted, forgotten };
  // The phase lives outside the closure so that copies of the forward share it.
  auto phase = std::make_shared<std::atomic<uint8_t>>(judging);
  forward.datagram = [weak, candidate, stream, phase](Bytes&& datagram) {
    // Once promoted the flow is the primary, and its datagrams go straight into the stream as pump()
    // sends the primary's: one load per datagram, no lock of this object.
    const uint8_t now = phase->load();
    if (now == promoted) {
      stream->send(std::move(datagram));
      return;
    }
    if (now == forgotten) return;
    auto self = weak.lock();
    if (!self) return;
    switch (self->classify(candidate, datagram)) {
      case Verdict::promote:
        self->promote(candidate);
        stream->send(std::move(datagram));
        phase->store(promoted);
        return;
      case Verdict::wait:
        return;
      case Verdict::forget: {
        phase->store(forgotten);
        std::optional<std::string> end;
        int rejected;
        {
          std::lock_guard guard(self->mutex_);
          end = self->unprovenLog_.admit(self->clock_.nowUs());
          rejected = candidate->rejected;
        }
        if (end) {
          self->log("🔁 " + self->label_ + ": kandydat " + candidate->remote + " odrzucony (" +
                    std::to_string(rejected) + " datagramów bez dowodu)" + *end);
        }
        candidate->flow->close();
        return;
      }
    }
  };
  std::weak_ptr<Candidate> weakCandidate = candidate;
  forward.ended = [weak, weakCandidate] {
    auto self = weak.lock();
    auto candidate = weakCandidate.lock();
    if (self && candidate) self->removeCandidate(candidate);
  };
  candidate->flow->forwardTo(std::move(forward));
}

RebindableUDPFlow::Verdict RebindableUDPFlow::classify(const std::shared_ptr<Candidate>& candidate, ByteView datagram) {
  Verifier verifier;
  {
    std::lock_guard guard(mutex_);
    if (std::find(candidates_.begin(), candidates_.end(), candidate) == candidates_.end()) return Verdict::forget;
    verifier = verifier_;
  }
  if (verifier && verifier(datagram)) return Verdict::promote;
  std::lock_guard guard(mutex_);
  candidate->rejected += 1;
  if (candidate->rejected <= maxRejections && clock_.nowUs() - candidate->sinceUs < candidateWindowUs)
    return Verdict::wait;
  candidates_.remove(candidate);
  return Verdict::forget;
}

void RebindableUDPFlow::promote(const std::shared_ptr<Candidate>& candidate) {
  std::shared_ptr<ForwardableFlow> previous;
  int count;
  {
    std::lock_guard guard(mutex_);
    candidates_.remove(candidate);
    previous = std::exchange(primary_, candidate->flow);
    count = ++adoptions_;
  }
  if (previous) previous->close();
  log("🔁 " + label_ + ": nowe źródło " + candidate->remote + " zweryfikowane kluczem sesji → adoptowane (#" +
      std::to_string(count) + "); stare gniazdo zamknięte");
}

void RebindableUDPFlow::removeCandidate(const std::shared_ptr<Candidate>& candidate) {
  std::lock_guard guard(mutex_);
  candidates_.remove(candidate);
}

void RebindableUDPFlow::setAdoptionVerifier(Verifier verifier) {
  std::lock_guard guard(mutex_);
  verifier_ = std::move(verifier);
}

void RebindableUDPFlow::send(ByteView datagram) {
  std::shared_ptr<ForwardableFlow> primary;
  {
    std::lock_guard guard(mutex_);
    if (closed_) return;
    primary = primary_;
  }
  primary->send(datagram);
}

void RebindableUDPFlow::sendBatch(std::span<const ByteView> datagrams) {
  std::shared_ptr<ForwardableFlow> primary;
  {
    std::lock_guard guard(mutex_);
    if (closed_) return;
    primary = primary_;
  }
  primary->sendBatch(datagrams);
}

void RebindableUDPFlow::close() {
  std::shared_ptr<ForwardableFlow> primary;
  std::list<std::shared_ptr<Candidate>> candidates;
  {
    std::lock_guard guard(mutex_);
    if (closed_) return;
    closed_ = true;
    primary = primary_;
    candidates.swap(candidates_);
  }
  if (primary) primary->close();
  for (auto& candidate : candidates) candidate->flow->close();
  incoming_->close();
}

int RebindableUDPFlow::adoptions() const {
  std::lock_guard guard(mutex_);
  return adoptions_;
}

size_t RebindableUDPFlow::candidateCount() const {
  std::lock_guard guard(mutex_);
  return candidates_.size();
}

}  // namespace vela
