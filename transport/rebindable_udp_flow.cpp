#include "transport/rebindable_udp_flow.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "transport/peer_address_key.hpp"

namespace vela {

std::shared_ptr<RebindableUDPFlow> RebindableUDPFlow::create(std::shared_ptr<ForwardableFlow> primary,
                                                             std::string label, const tavlo::Clock& clock,
                                                             std::string remote) {
  auto flow = std::shared_ptr<RebindableUDPFlow>(new RebindableUDPFlow(std::move(label), clock));
  auto link = makeLink(std::move(primary), std::move(remote), clock.nowUs());
  link->role = Link::primary;
  flow->primary_ = link;
  flow->attach(link);
  return flow;
}

RebindableUDPFlow::RebindableUDPFlow(std::string label, const tavlo::Clock& clock)
    : label_(std::move(label)), clock_(clock), incoming_(std::make_shared<PacketStream>(incomingLimit)) {}

RebindableUDPFlow::~RebindableUDPFlow() { close(); }

std::shared_ptr<RebindableUDPFlow::Link> RebindableUDPFlow::makeLink(std::shared_ptr<ForwardableFlow> flow,
                                                                     std::string remote, uint64_t nowUs) {
  auto link = std::make_shared<Link>();
  link->flow = std::move(flow);
  link->remote = std::move(remote);
  link->sinceUs = nowUs;
  link->heardUs = nowUs;
  return link;
}

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

// Every flow handed over gets one forward for its whole life. The primary's datagrams go straight into
// the one stream, stamped with their arrival; a candidate's and the fallback's are judged first; a
// flow that is gone has its datagrams dropped unjudged (a source that failed its proof costs one line,
// not one per datagram it managed to send). The forward holds the stream and the link, not this
// object, and ends with the flow.
void RebindableUDPFlow::attach(const std::shared_ptr<Link>& link) {
  std::weak_ptr<RebindableUDPFlow> weak = weak_from_this();
  ForwardableFlow::Forward forward;
  forward.datagram = [weak, link, stream = incoming_, clock = &clock_](Bytes&& datagram) {
    const uint8_t role = link->role.load(std::memory_order_acquire);
    if (role == Link::primary) {
      link->heardUs.store(clock->nowUs(), std::memory_order_relaxed);
      stream->send(std::move(datagram));
      return;
    }
    if (role == Link::gone) return;
    if (auto self = weak.lock()) self->judge(link, std::move(datagram));
  };
  std::weak_ptr<Link> weakLink = link;
  forward.ended = [weak, weakLink] {
    auto self = weak.lock();
    auto link = weakLink.lock();
    if (self && link) self->forgetLink(link);
  };
  link->flow->forwardTo(std::move(forward));
}

void RebindableUDPFlow::judge(const std::shared_ptr<Link>& link, Bytes&& datagram) {
  switch (link->role.load(std::memory_order_acquire)) {
    case Link::candidate: return judgeCandidate(link, std::move(datagram));
    case Link::fallback: return judgeFallback(link, std::move(datagram));
    case Link::primary:  // became the primary since the forward looked
      link->heardUs.store(clock_.nowUs(), std::memory_order_relaxed);
      incoming_->send(std::move(datagram));
      return;
    default: return;
  }
}

void RebindableUDPFlow::judgeCandidate(const std::shared_ptr<Link>& link, Bytes&& datagram) {
  std::shared_ptr<Link> dropped;
  int count = 0;
  bool logHeld = false;
  switch (classify(link, datagram, dropped, count, logHeld)) {
    case Verdict::promoted:
      // The datagram that proved the source is delivered, before any later one of its flow.
      incoming_->send(std::move(datagram));
      if (dropped) dropped->flow->close();
      log("🔁 " + label_ + ": nowe źródło " + link->remote + " zweryfikowane kluczem sesji → adoptowane (#" +
          std::to_string(count) + "); poprzednie czeka, czy klient na nie wróci");
      return;
    case Verdict::wait:
      if (logHeld) {
        if (auto end = admitUnprovenLine())
          log("🔁 " + label_ + ": kandydat " + link->remote +
              " ma pieczęć sesji, ale obecne źródło wciąż nadaje — zostaję przy nim" + *end);
      }
      return;
    case Verdict::forget:
    case Verdict::forgetHeld: {
      std::optional<std::string> end;
      int rejected;
      {
        std::lock_guard guard(mutex_);
        end = unprovenLog_.admit(clock_.nowUs());
        rejected = link->rejected;
      }
      if (end) {
        log("🔁 " + label_ + ": kandydat " + link->remote + " odrzucony (" + std::to_string(rejected) +
            " datagramów bez dowodu)" + *end);
      }
      link->flow->close();
      return;
    }
  }
}

RebindableUDPFlow::Verdict RebindableUDPFlow::classify(const std::shared_ptr<Link>& link, ByteView datagram,
                                                       std::shared_ptr<Link>& dropped, int& count, bool& logHeld) {
  auto listed = [&] { return std::find(candidates_.begin(), candidates_.end(), link) != candidates_.end(); };
  Verifier verifier;
  std::shared_ptr<Link> primary;
  std::vector<std::weak_ptr<RebindableUDPFlow>> siblings;
  {
    std::lock_guard guard(mutex_);
    if (!listed()) return Verdict::forget;
    verifier = verifier_;
    primary = primary_;
    siblings = siblings_;
  }
  const bool proven = verifier && verifier(datagram);
  // Asked outside this flow's lock: a sibling asks this one the same under its own.
  bool clientHeardThere = false;
  const std::string there = ipPart(primary->remote);
  if (proven && !primary->remote.empty() && ipPart(link->remote) != there) {
    const uint64_t now = clock_.nowUs();
    for (const auto& weak : siblings) {
      auto sibling = weak.lock();
      if (sibling && sibling->hearsFrom(there, now)) clientHeardThere = true;
    }
  }
  std::lock_guard guard(mutex_);
  if (!listed()) return Verdict::forget;
  const uint64_t now = clock_.nowUs();
  const auto forget = [&] {
    candidates_.remove(link);
    link->role = Link::gone;
  };
  if (proven) {
    const uint64_t heard = primary_->heardUs.load(std::memory_order_relaxed);
    if (now >= heard && now - heard >= primarySilenceUs && primary_ == primary && !clientHeardThere) {
      candidates_.remove(link);
      dropped = std::exchange(fallback_, primary_);
      if (dropped) dropped->role = Link::gone;
      fallback_->role = Link::fallback;
      link->heardUs.store(now, std::memory_order_relaxed);
      link->role = Link::primary;
      primary_ = link;
      count = ++adoptions_;
      return Verdict::promoted;
    }
    // The current source is still sending: the key proves that the client sealed this datagram once,
    // not that it sent it from here now.
    if (now - link->sinceUs < candidateWindowUs) {
      logHeld = !std::exchange(link->heldLogged, true);
      return Verdict::wait;
    }
    forget();
    return Verdict::forgetHeld;
  }
  link->rejected += 1;
  if (link->rejected <= maxRejections && now - link->sinceUs < candidateWindowUs) return Verdict::wait;
  forget();
  return Verdict::forget;
}

// The source the flow was moved away from sends again, and proves it: the client paused rather than
// moved, and a copy of its old datagram moved the flow meanwhile. The flow goes back at once, and the
// source it was moved to is closed: it is not a fallback, so it cannot take the flow again until the
// client falls silent.
void RebindableUDPFlow::judgeFallback(const std::shared_ptr<Link>& link, Bytes&& datagram) {
  Verifier verifier;
  {
    std::lock_guard guard(mutex_);
    if (fallback_ != link || closed_) return;
    verifier = verifier_;
  }
  if (!verifier || !verifier(datagram)) return;
  std::shared_ptr<Link> usurper;
  int count;
  {
    std::lock_guard guard(mutex_);
    if (fallback_ != link || closed_) return;
    usurper = std::exchange(primary_, link);
    fallback_.reset();
    usurper->role = Link::gone;
    link->heardUs.store(clock_.nowUs(), std::memory_order_relaxed);
    link->role = Link::primary;
    count = ++adoptions_;
  }
  incoming_->send(std::move(datagram));
  usurper->flow->close();
  log("🔁 " + label_ + ": klient wrócił na poprzednie źródło" + (link->remote.empty() ? "" : " " + link->remote) +
      " → przywrócone (#" + std::to_string(count) + "); " + usurper->remote + " zamknięte");
}

void RebindableUDPFlow::forgetLink(const std::shared_ptr<Link>& link) {
  std::lock_guard guard(mutex_);
  candidates_.remove(link);
  if (fallback_ == link) fallback_.reset();
}

void RebindableUDPFlow::setSiblings(std::vector<std::weak_ptr<RebindableUDPFlow>> siblings) {
  std::lock_guard guard(mutex_);
  siblings_ = std::move(siblings);
}

bool RebindableUDPFlow::hearsFrom(const std::string& ip, uint64_t nowUs) const {
  std::lock_guard guard(mutex_);
  if (closed_ || !primary_ || primary_->remote.empty() || ipPart(primary_->remote) != ip) return false;
  const uint64_t heard = primary_->heardUs.load(std::memory_order_relaxed);
  return nowUs < heard || nowUs - heard < primarySilenceUs;
}

void RebindableUDPFlow::adopt(std::shared_ptr<ForwardableFlow> flow, const std::string& remote, bool verified) {
  std::vector<std::shared_ptr<Link>> dropped;
  std::shared_ptr<Link> link;
  int count = 0;
  enum { refusedClosed, trusted, refusedNoVerifier, listed } outcome;
  {
    std::lock_guard guard(mutex_);
    if (closed_) {
      outcome = refusedClosed;
    } else if (verified) {
      link = makeLink(flow, remote, clock_.nowUs());
      link->role = Link::primary;
      // The client opened this socket itself: nothing on the old one is waited for.
      for (auto* old : {&primary_, &fallback_}) {
        if (!*old) continue;
        (*old)->role = Link::gone;
        dropped.push_back(std::exchange(*old, nullptr));
      }
      primary_ = link;
      count = ++adoptions_;
      outcome = trusted;
    } else if (!verifier_) {
      outcome = refusedNoVerifier;
    } else {
      if (candidates_.size() >= maxCandidates) {
        candidates_.front()->role = Link::gone;
        dropped.push_back(candidates_.front());
        candidates_.pop_front();
      }
      link = makeLink(flow, remote, clock_.nowUs());
      candidates_.push_back(link);
      outcome = listed;
    }
  }
  for (auto& old : dropped) old->flow->close();
  switch (outcome) {
    case refusedClosed:
      flow->close();
      return;
    case trusted:
      attach(link);
      log("🔁 " + label_ + ": przepięty na nowe gniazdo (" + remote + ", #" + std::to_string(count) + ")");
      return;
    case refusedNoVerifier:
      flow->close();
      if (auto end = admitUnprovenLine())
        log("🔁 " + label_ + ": spóźnione dziecko " + remote + " odrzucone — brak weryfikatora (sesja bez E2E)" + *end);
      return;
    case listed:
      if (auto end = admitUnprovenLine())
        log("🔁 " + label_ + ": kandydat " + remote + " — czekam na datagram z pieczęcią sesji" + *end);
      attach(link);
      return;
  }
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
    primary = primary_->flow;
  }
  primary->send(datagram);
}

void RebindableUDPFlow::sendBatch(std::span<const ByteView> datagrams) {
  std::shared_ptr<ForwardableFlow> primary;
  {
    std::lock_guard guard(mutex_);
    if (closed_) return;
    primary = primary_->flow;
  }
  primary->sendBatch(datagrams);
}

void RebindableUDPFlow::close() {
  std::vector<std::shared_ptr<Link>> links;
  {
    std::lock_guard guard(mutex_);
    if (closed_) return;
    closed_ = true;
    for (auto* held : {&primary_, &fallback_})
      if (*held) links.push_back(*held);
    links.insert(links.end(), candidates_.begin(), candidates_.end());
    candidates_.clear();
    fallback_.reset();
    for (auto& link : links) link->role = Link::gone;
  }
  for (auto& link : links) link->flow->close();
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

bool RebindableUDPFlow::hasFallback() const {
  std::lock_guard guard(mutex_);
  return fallback_ != nullptr;
}

}  // namespace vela
