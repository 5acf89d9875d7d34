// One video packet on the primary path (and its copies for the secondary paths), and the pacing of a
// frame's chunks and parity: inline on the encoder's callback thread for short spreads, on the pacer
// queue for long ones. Every wait sleeps on the session clock until an absolute deadline, so lateness
// never accumulates and tests run on a FakeClock.
#include <algorithm>
#include <functional>
#include <string>
#include <utility>

#include "hostcore/session/frame_send_math.hpp"
#include "hostcore/session/host_session.hpp"
#include "hostcore/session/host_session_locked.hpp"
#include "hostcore/session/host_sink.hpp"

namespace vela {

namespace {

// Header, the record's fixed fields and its payload in one buffer: one allocation per datagram.
constexpr size_t videoPacketOverhead = 16 + 64;  // the header and more than any record's fixed fields

template <class Record>
tavlo::Bytes encodeVideoPacket(const Record& record, uint32_t sessionId, uint32_t seq) {
  ByteWriter writer(videoPacketOverhead + record.payload.size());
  PacketHeader{Record::channel, Record::msgType, {}, sessionId, seq}.encode(writer);
  record.encodePayload(writer);
  return writer.take();
}

// Sleeps until `deadlineUs` in slices of at most `sliceUs` while `live()` holds, asked before each
// slice and at the end: false as soon as it fails. A paced job that lost its place in the backlog thus
// gives the pacer back at once rather than after the wait before its next datagram.
template <class Live>
bool waitWhileLive(const tavlo::Clock& clock, uint64_t deadlineUs, uint64_t sliceUs, Live&& live) {
  for (uint64_t now = clock.nowUs();; now = clock.nowUs()) {
    if (!live()) return false;
    if (now >= deadlineUs) return true;
    clock.sleepUntil(std::min(deadlineUs, now + sliceUs));
  }
}

void waitUntil(const tavlo::Clock& clock, uint64_t deadlineUs, uint64_t sliceUs) {
  waitWhileLive(clock, deadlineUs, sliceUs, [] { return true; });
}

}  // namespace

HostSession::VideoSlot HostSession::takeVideoSlot() {
  VideoSlot slot;
  Locked locked(*this);
  SessionState& s = locked.state();
  slot.sessionId = s.identity.sessionId;
  slot.seq = s.identity.videoSeq++;
  s.diag.diagTxPkts += 1;
  s.diag.diagTxPktsLog += 1;
  // Copied in the hold that took the sequence, so a path promoted meanwhile never sends it twice.
  if (!s.path.secondarySinks.empty()) slot.sinks = s.path.secondarySinks;
  slot.primary = s.path.effectiveTransport();
  return slot;
}

void HostSession::sendChunk(const SharedVideoChunk& chunk) {
  VideoSlot slot = takeVideoSlot();
  slot.primary->video().send(encodeVideoPacket(*chunk, slot.sessionId, slot.seq));
  if (!slot.sinks.empty()) fanOutVideo(slot.sinks, &chunk, nullptr);
}

void HostSession::sendParity(const VideoParity& parity) {
  VideoSlot slot = takeVideoSlot();
  slot.primary->video().send(encodeVideoPacket(parity, slot.sessionId, slot.seq));
  if (!slot.sinks.empty()) fanOutVideo(slot.sinks, nullptr, &parity);
}

void HostSession::fanOutVideo(const std::vector<std::shared_ptr<HostSink>>& sinks, const SharedVideoChunk* chunk,
                              const VideoParity* parity) {
  if (chunk) sendVideoToSinks(sinks, *chunk);
  if (parity) sendParityToSinks(sinks, *parity);
}

void HostSession::sendChunksPaced(std::vector<SharedVideoChunk> chunks, uint64_t spreadUs) {
  const uint64_t spread = tunables_.keyframePacingCfg ? spreadUs : 0;
  const uint64_t n = chunks.size();
  const tavlo::Clock& clock = deps_.scheduler->clock();
  if (spread == 0 || n < 2) {
    for (const auto& chunk : chunks) sendChunk(chunk);
    return;
  }
  if (spread <= FrameSendLimits::inlineMaxSpreadUs) {
    const uint64_t start = clock.nowUs();
    for (uint64_t i = 0; i < n; ++i) {
      waitUntil(clock, start + pacedOffsetUs(i, spread, n), FrameSendLimits::pacerSliceUs);
      sendChunk(chunks[i]);
    }
    return;
  }
  {
    Locked locked(*this);
    auto& send = locked->send;
    send.pacedPending += int64_t(n);
    if (!std::exchange(send.pacingActive, true)) {
      locked.log("🪣 pacer WAN: rozkładam burst " + std::to_string(n) + " chunków na " + std::to_string(spread / 1000) +
                 " ms");
    }
  }
  postPaced(int64_t(n), [chunks = std::move(chunks), spread, n](HostSession& self, uint64_t ticket) {
    const tavlo::Clock& clock = self.deps_.scheduler->clock();
    const uint64_t start = clock.nowUs();
    for (uint64_t i = 0; i < n; ++i) {
      const bool live = waitWhileLive(clock, start + pacedOffsetUs(i, spread, n), FrameSendLimits::pacerSliceUs,
                                      [&] { return self.pacedJobLive(ticket); });
      if (live) self.sendChunk(chunks[i]);
      Locked locked(self);
      auto& send = locked->send;
      // A dropped job gives back every chunk it will not send, so parity stops waiting for them.
      send.pacedPending -= live ? 1 : int64_t(n - i);
      if (send.pacedPending < 1) send.pacingActive = false;
      if (!live) break;
    }
  });
}

void HostSession::sendParityPaced(std::vector<VideoParity> parity, uint64_t spreadUs) {
  const uint64_t spread = tunables_.keyframePacingCfg ? spreadUs : 0;
  bool queued;
  {
    Locked locked(*this);
    queued = locked->send.pacedPending >= 1;
  }
  // `ticket` 0 is an inline run, which nothing can drop.
  auto run = [spread](HostSession& self, const std::vector<VideoParity>& packets, uint64_t sliceUs, uint64_t ticket) {
    const uint64_t count = packets.size();
    const tavlo::Clock& clock = self.deps_.scheduler->clock();
    const uint64_t start = clock.nowUs();
    const bool paced = spread != 0 && count >= 2;
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t at = paced ? start + pacedOffsetUs(i, spread, count) : 0;
      if (!waitWhileLive(clock, at, sliceUs, [&] { return ticket == 0 || self.pacedJobLive(ticket); })) return;
      self.sendParity(packets[i]);
    }
  };
  if (!queued) {
    run(*this, parity, FrameSendLimits::inlineParitySliceUs, 0);
    return;
  }
  // Behind the chunks already queued, so that parity never overtakes the chunks it protects.
  const auto count = int64_t(parity.size());
  postPaced(count, [parity = std::move(parity), run](HostSession& self, uint64_t ticket) {
    run(self, parity, FrameSendLimits::pacerSliceUs, ticket);
  });
}

void HostSession::sendParityInterleaved(std::vector<VideoParity> parity, int64_t chunkCount, int64_t groupCount,
                                        uint64_t spreadUs) {
  const uint64_t spread = tunables_.keyframePacingCfg ? spreadUs : 0;
  bool queued;
  {
    Locked locked(*this);
    queued = locked->send.pacedPending > 0;
  }
  auto order = interleavedParityOrder(parity.size(), chunkCount, groupCount);
  const auto count = int64_t(parity.size());
  // `ticket` 0 is an inline run, which nothing can drop.
  auto job = [parity = std::move(parity), order = std::move(order), spread](HostSession& self, uint64_t ticket) {
    const tavlo::Clock& clock = self.deps_.scheduler->clock();
    const uint64_t start = clock.nowUs();
    for (const auto& [index, post] : order) {
      const uint64_t at = spread != 0 ? start + uint64_t(post * double(spread)) : 0;
      if (!waitWhileLive(clock, at, FrameSendLimits::pacerSliceUs,
                         [&] { return ticket == 0 || self.pacedJobLive(ticket); })) {
        return;
      }
      self.sendParity(parity[index]);
    }
  };
  if (spread > FrameSendLimits::inlineMaxSpreadUs || queued) {
    postPaced(count, std::move(job));
    return;
  }
  job(*this, 0);
}

void HostSession::postPaced(int64_t packets, std::function<void(HostSession&, uint64_t ticket)> job) {
  uint64_t ticket = 0;
  {
    Locked locked(*this);
    auto& send = locked->send;
    auto admission = send.pacerBacklog.admit(packets);
    ticket = admission.ticket;
    if (admission.droppedJobs > 0 && !std::exchange(send.pacerDropLogged, true)) {
      locked.log("🪣 pacer: kolejka pełna — porzucam " + std::to_string(admission.droppedJobs) +
                 " najstarszych zadań (" + std::to_string(admission.droppedPackets) + " pakietów)");
    }
  }
  components_.pacerQ->post([weak = weak_from_this(), job = std::move(job), ticket] {
    auto self = weak.lock();
    if (!self) return;
    job(*self, ticket);
    self->finishPacedJob(ticket);
  });
}

bool HostSession::pacedJobLive(uint64_t ticket) const {
  // Asked before every paced datagram and every slice of the waits between them: no session lock.
  return state_.send.pacerBacklog.isLive(ticket);
}

void HostSession::finishPacedJob(uint64_t ticket) {
  Locked locked(*this);
  auto& send = locked->send;
  send.pacerBacklog.finish(ticket);
  if (send.pacerBacklog.queuedJobs() == 0) send.pacerDropLogged = false;
}

}  // namespace vela
